#!/usr/bin/env bash
# Re-checks the shipped thresholds: vesk-tune on generated recordings of the night side with the
# noise of real cameras, the completeness of every setting of its grid summed over them. The
# recordings hold no flashes or glints of their own (--flashes 0 --glints 0), only single-pixel
# hits, so every report away from the injected flashes is a false alarm. Each recording lives in
# a temporary folder, deleted after its tune.
#
# Usage: [SEEDS="1 2 3"] [NOISES="1.6 2.5 3"] [FRAMES=600] [SETTINGS=data/default.txt]
#        bench/tune_defaults.sh [BUILD_DIR]
# SETTINGS is the settings.txt of every recording, its thresholds the ones compared. Prints, per
# recording, the noise vesk-tune measured, its recommendation and the events most settings
# report; then the summed table: the compared setting, the 12 best settings without a false
# alarm or an edge alarm in any recording, and the 6 best with some (best: most found at 8-12
# times the noise, then over all bins).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seeds=${SEEDS:-1 2 3}
noises=${NOISES:-1.6 2.5 3}
frames=${FRAMES:-600}
settings=$(realpath "${SETTINGS:-$root/data/default.txt}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for noise in $noises; do
  for seed in $seeds; do
    run="$work/run"
    rm -rf "$run"
    "$build/tools/make_demo_frames" --frames "$frames" --seed "$seed" --noise "$noise" \
      --flashes 0 --glints 0 "$run" >/dev/null
    mkdir "$run/BMP_FLASHES"
    cp "$root/data/default.txt" "$root/data/about.txt" "$root/data/bmpheader.dat" "$run/"
    cp "$settings" "$run/settings.txt"
    "$build/vesk-tune" "$run" >"$work/out.txt"
    echo "noise $noise seed $seed: $(grep -o 'median [0-9.]* grey levels' "$work/out.txt"); \
$(grep -o '^Recommended: [^(]*' "$work/out.txt" || echo 'no recommendation'); \
reported by most settings: $(grep -o 'false alarms: [0-9]*' "$work/out.txt" | grep -o '[0-9]*' || echo 0)"
    tail -n +2 "$run/tune/completeness.csv" >>"$work/all.csv"
  done
done

# time_sd,min_sd2,min_sd1,neighbour_sd,strength_from,strength_to,injected,found,false_alarms,
# edge_alarms,frames
current=$(awk '$1 == "Time_sd=" { t = $2 } $1 == "Min_sd2=" { m2 = $2 } $1 == "Min_sd1=" { m1 = $2 }
               $1 == "Neighbour_sd=" { n = $2 }
               END { printf "%g,%g,%g,%g", t, m2, m1, n }' "$settings")
awk -F, -v current="$current" '
  {
    key = $1 "," $2 "," $3 "," $4
    bin = $5 "-" $6
    if (!(bin in seen_bin)) { seen_bin[bin] = 1; bins[++nbins] = bin }
    injected[key, bin] += $7
    found[key, bin] += $8
    if ($5 == 2) { alarms[key] += $9; edges[key] += $10; frames[key] += $11 }
    keys[key] = 1
  }
  function line(key, note,   b, text) {
    text = sprintf("%-12s", key)
    for (b = 1; b <= nbins; ++b) {
      text = text sprintf(" %4.0f%%", 100 * found[key, bins[b]] / injected[key, bins[b]])
    }
    return text sprintf(" %6d %5d  %s", alarms[key], edges[key], note)
  }
  END {
    header = sprintf("%-12s", "setting")
    for (b = 1; b <= nbins; ++b) header = header sprintf(" %5s", bins[b])
    print ""
    print header "  alarms  edge  (summed over " frames[current] " tested frames)"
    print line(current, "compared")
    for (key in keys) {
      score[key] = found[key, "8-12"] * 100000
      for (b = 1; b <= nbins; ++b) score[key] += found[key, bins[b]]
      order[++n] = key
    }
    for (i = 2; i <= n; ++i) {
      k = order[i]
      for (j = i - 1; j >= 1 && score[order[j]] < score[k]; --j) order[j + 1] = order[j]
      order[j + 1] = k
    }
    shown = 0
    for (i = 1; i <= n && shown < 12; ++i) {
      if (alarms[order[i]] > 0 || edges[order[i]] > 0) continue
      print line(order[i], ""); ++shown
    }
    shown = 0
    for (i = 1; i <= n && shown < 6; ++i) {
      if (alarms[order[i]] == 0 && edges[order[i]] == 0) continue
      print line(order[i], "with alarms"); ++shown
    }
  }' "$work/all.csv"
