#!/usr/bin/env bash
# Detection figures of a settings file on generated recordings: vesk on demo recordings of
# 720x576 and 600 frames (make_demo_frames, 12 flashes, 4 single-pixel hits and a glint each),
# every flash held against the truth file. Each recording lives in a temporary folder, deleted
# after its runs; every settings file given runs on the same frames.
#
# Usage: [SEEDS="$(seq 1 24)"] [NOISE=1.6] bench/demo_figures.sh BUILD_DIR SETTINGS...
# Prints per settings file: flashes found by peak (grey levels above the background at the
# centre: 15-25, 25-30, 30-40, 40+), reports at single-pixel hits, and spurious reports (at no
# flash or glint of their frame).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
seeds=${SEEDS:-$(seq 1 24)}
noise=${NOISE:-1.6}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
settings=()
for s in "$@"; do settings+=("$(realpath "$s")"); done
for seed in $seeds; do
  run="$work/run"
  rm -rf "$run"
  "$build/tools/make_demo_frames" --seed "$seed" --noise "$noise" "$run" >/dev/null
  mkdir "$run/BMP_FLASHES"
  cp "$root/data/default.txt" "$root/data/about.txt" "$root/data/bmpheader.dat" "$run/"
  for k in "${!settings[@]}"; do
    cp "${settings[$k]}" "$run/settings.txt"
    (cd "$run" && "$build/vesk" <<<"0" >/dev/null)
    # truth rows, then flash log records, tagged by settings file
    awk -v k="$k" -v seed="$seed" 'FNR == 1 { file++; next }
      file == 1 { split($0, f, ","); print k, seed, "T", f[1], f[2], f[3], f[4], f[6] }
      file == 2 { print k, seed, "R", $1, $3, $4, $2, "-" }' \
      "$run/truth.csv" "$run/flash_info.dat" >>"$work/all.txt"
  done
done

awk -v files="$(printf '%s\n' "$@" | paste -sd' ')" '
  $3 == "T" { n = ++events[$1, $2]; ef[$1, $2, n] = $4; ex[$1, $2, n] = $5; ey[$1, $2, n] = $6
              ep[$1, $2, n] = $7; ek[$1, $2, n] = $8; keys[$1] = 1; seeds[$2] = 1 }
  $3 == "R" { n = ++reports[$1, $2]; rf[$1, $2, n] = $4; rx[$1, $2, n] = $5; ry[$1, $2, n] = $6 }
  function bin(p) { return p < 15 ? "" : p < 25 ? "15-25" : p < 30 ? "25-30" : p < 40 ? "30-40" : "40+" }
  END {
    split(files, names, " ")
    for (k in keys) {
      delete found; delete total; hits = 0; spurious = 0; frames = 0
      for (s in seeds) {
        for (i = 1; i <= events[k, s]; ++i) {
          if (ek[k, s, i] != "flash" || bin(ep[k, s, i]) == "") continue
          b = bin(ep[k, s, i]); total[b]++
          for (j = 1; j <= reports[k, s]; ++j) {
            if (rf[k, s, j] == ef[k, s, i] &&
                (rx[k, s, j] - ex[k, s, i])^2 + (ry[k, s, j] - ey[k, s, i])^2 <= 4) { found[b]++; break }
          }
        }
        for (j = 1; j <= reports[k, s]; ++j) {
          why = "spurious"
          for (i = 1; i <= events[k, s]; ++i) {
            if (ef[k, s, i] != rf[k, s, j]) continue
            if ((rx[k, s, j] - ex[k, s, i])^2 + (ry[k, s, j] - ey[k, s, i])^2 > 25) continue
            why = (ek[k, s, i] == "cosmic_ray" || ek[k, s, i] == "hot_pixel") ? "hit" : "event"
            if (why == "event") break
          }
          if (why == "hit") hits++
          if (why == "spurious") { spurious++; where = where sprintf(" seed %s frame %s (%.0f, %.0f);", s, rf[k, s, j], rx[k, s, j], ry[k, s, j]) }
        }
      }
      line = names[k + 1] ":"
      split("15-25 25-30 30-40 40+", order, " ")
      for (b = 1; b <= 4; ++b) line = line sprintf(" %s: %d of %d,", order[b], found[order[b]], total[order[b]])
      print line sprintf(" hits reported: %d, spurious: %d%s", hits, spurious, where)
      where = ""
    }
  }' "$work/all.txt"
