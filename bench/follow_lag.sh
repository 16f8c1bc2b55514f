#!/usr/bin/env bash
# Following a recording while it is written: the lag behind the writer and the processor time.
# Makes FRAMES demo frames of SIZE (1280x1024) with flashes as an 8-bit SER file (make_demo_frames,
# frames_to_ser), then for each rate in RATES writes it again with tools/ser_writer at that many
# frames per second while `vesk --follow` reads it, RUNS times, alternating with a run of `vesk`
# over the finished file. Prints per rate:
#   lag      frames written but not yet read by vesk, sampled every 20 ms while the writer writes
#            (from the file positions in /proc/PID/fdinfo of both programs): median and maximum,
#            in frames and in seconds at the rate
#   flash    seconds from the writing of each flash's frame to its row in flashes.csv
#   catch-up seconds from the writer's last frame to vesk's reading it (near 0: it kept up)
#   rate     frames read per second from the first frame written to the last read
#   cpu      user + sys of the follow run and of the run over the finished file (median of RUNS)
# Every follow run must write the finished run's flash_info.dat and flashes.csv.
#
# Usage: [FRAMES=600] [RATES="50 200"] [RUNS=3] [SIZE=1280x1024] bench/follow_lag.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
frames=${FRAMES:-600}
rates=${RATES:-50 200}
runs=${RUNS:-3}
size=${SIZE:-1280x1024}
width=${size%x*}
height=${size#*x}
frame_bytes=$((width * height))
header_bytes=178

"$root/tools/install-deps" time
work=$(mktemp -d)
[ -n "${KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
cd "$work"
# One event every 45 frames or so: the demo keeps 30 frames between events.
"$build/tools/make_demo_frames" --size "${width}x$height" --frames "$frames" \
  --flashes $((frames / 45 - 1)) \
  --hits 1 --glints 0 --seed 5 demo >/dev/null
"$build/tools/frames_to_ser" demo night.ser
rm -rf demo
cat night.ser >/dev/null

# A pause without a process per sample: a read with a time-out on a pipe nobody writes to.
exec {never}<> <(:)
pause() { read -r -t "$1" -u "$never" || true; }

# The file position of the descriptor of `pid` open on `path` (its lowest); empty when none.
fd_of() {
  local pid=$1 path=$2 fd
  for fd in /proc/"$pid"/fd/*; do
    [ "$(readlink "$fd" 2>/dev/null)" = "$path" ] && { echo "${fd##*/}"; return 0; }
  done
  return 0
}
# Sets pos to the file position of descriptor $2 of process $1, -1 when it is gone (no process
# is started for it: this runs every 20 ms beside the programs measured).
position() {
  local line
  pos=-1
  { while read -r line; do
    [[ $line == pos:* ]] && { pos=${line#pos:}; pos=${pos//[[:space:]]/}; return; }
  done <"/proc/$1/fdinfo/$2"; } 2>/dev/null || true
}

cpu_of() { awk '{ printf "%.2f", $2 + $3 }' "$1"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Both runs read the file by one path, $work/growing/night.ser: flashes.csv names it.
finished() {
  rm -rf finished growing
  mkdir growing
  ln night.ser growing/night.ser
  /usr/bin/time -o time.txt -f "%e %U %S" "$build/vesk" "$work/growing/night.ser" --out finished \
    --no-menu --quiet </dev/null >/dev/null 2>finished.err
  cpu_of time.txt >>finished_cpu.txt
  echo >>finished_cpu.txt
}

# One follow run at `rate`: samples.txt holds "seconds written read" lines, rows.txt "seconds
# frame" for each flash row as it appears.
follow() {
  local rate=$1 live=$work/growing/night.ser
  rm -rf live growing samples.txt rows.txt
  mkdir growing
  "$build/tools/ser_writer" night.ser "$live" --fps "$rate" &
  local writer=$!
  /usr/bin/time -o time.txt -f "%e %U %S" "$build/vesk" "$live" --follow --idle 2 --out live \
    --no-menu --quiet </dev/null >/dev/null 2>follow.err &
  local timer=$!
  local vesk="" wfd="" vfd="" written=0 read=0 seen=0 now frame
  local -a rows
  while kill -0 "$timer" 2>/dev/null; do
    now=$EPOCHREALTIME
    [ -z "$vesk" ] && vesk=$(pgrep -P "$timer" -x vesk || true)
    # Once the writer has closed the file, every frame is written (its exit status is checked).
    if ((written < frames)); then
      [ -z "$wfd" ] && wfd=$(fd_of "$writer" "$live")
      if [ -n "$wfd" ]; then
        position "$writer" "$wfd"
        ((pos > header_bytes)) && written=$(((pos - header_bytes) / frame_bytes))
        ((pos < 0)) && written=$frames
      fi
    fi
    if [ -n "$vesk" ]; then
      [ -z "$vfd" ] && vfd=$(fd_of "$vesk" "$live")
      if [ -n "$vfd" ]; then
        position "$vesk" "$vfd"
        # A descriptor opened for a moment (the header read when the file is opened): looked
        # for again.
        ((pos < 0)) && vfd=""
        ((pos > header_bytes && (pos - header_bytes) / frame_bytes > read)) &&
          read=$(((pos - header_bytes) / frame_bytes))
      fi
    fi
    echo "$now $written $read" >>samples.txt
    if [ -f live/flashes.csv ]; then
      mapfile -t rows <live/flashes.csv
      while ((seen + 1 < ${#rows[@]})); do
        seen=$((seen + 1))
        IFS=, read -r _ frame _ <<<"${rows[$seen]}"
        echo "$now $frame" >>rows.txt
      done
    fi
    pause 0.02
  done
  wait "$writer"
  wait "$timer" || { cat follow.err >&2; exit 1; }
  cmp -s live/flash_info.dat finished/flash_info.dat && cmp -s live/flashes.csv finished/flashes.csv ||
    { echo "follow at $rate frames/s wrote other flashes than the finished file's run" >&2; exit 1; }
  cpu_of time.txt >>"follow_cpu_$rate.txt"
  echo >>"follow_cpu_$rate.txt"
  awk -v rate="$rate" -v frames="$frames" -v base="$(head -c 10 samples.txt)" '
    { $1 -= base }
    FILENAME == "samples.txt" {
      t[NR] = $1; w[NR] = $2; r[NR] = $3; n = NR
      if ($2 > 0 && first_w == "") first_w = $1
      if ($2 >= frames && last_w == "") last_w = $1
      if ($3 >= frames && last_r == "") last_r = $1
      for (f = prev_w; f < $2; ++f) written_at[f] = $1
      if ($2 > prev_w) prev_w = $2
      next
    }
    { delay = $1 - written_at[$2]; print "flash", delay }
    END {
      for (i = 1; i <= n; ++i) if (w[i] > 0 && w[i] < frames) print "lag", w[i] - r[i]
      print "catchup", last_r - last_w
      print "rate", frames / (last_r - first_w)
    }' samples.txt rows.txt >>"figures_$rate.txt"
}

for ((run = 1; run <= runs; ++run)); do
  finished
  for rate in $rates; do follow "$rate"; done
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
echo "$frames frames of ${width}x$height, 8-bit SER, $(nproc) cores, load average $load," \
  "$(date -u +%Y-%m-%dT%H:%MZ), $runs runs"
printf '%-8s %-22s %-22s %-12s %-12s %-22s\n' "rate" "lag median (max)" \
  "flash row delay" "catch-up" "read rate" "cpu follow / finished"
finished_cpu=$(grep . finished_cpu.txt | median)
for rate in $rates; do
  f=figures_$rate.txt
  lag_med=$(awk '$1 == "lag" { print $2 }' "$f" | median)
  lag_max=$(awk '$1 == "lag" && $2 > m { m = $2 } END { print m + 0 }' "$f")
  flash_med=$(awk '$1 == "flash" { print $2 }' "$f" | median)
  flash_max=$(awk '$1 == "flash" && $2 > m { m = $2 } END { print m + 0 }' "$f")
  catchup=$(awk '$1 == "catchup" { print $2 }' "$f" | median)
  read_rate=$(awk '$1 == "rate" { print $2 }' "$f" | median)
  cpu=$(grep . "follow_cpu_$rate.txt" | median)
  printf '%-8s %-22s %-22s %-12s %-12s %-22s\n' "$rate/s" \
    "$lag_med ($lag_max) fr, $(awk -v a="$lag_med" -v b="$lag_max" -v r="$rate" 'BEGIN { printf "%.2f (%.2f) s", a / r, b / r }')" \
    "$(printf '%.2f (%.2f) s' "$flash_med" "$flash_max")" \
    "$(printf '%.2f s' "$catchup")" "$(printf '%.0f/s' "$read_rate")" \
    "$cpu / $finished_cpu s ($(awk -v a="$cpu" -v b="$finished_cpu" 'BEGIN { printf "%+.0f%%", 100 * (a / b - 1) }'))"
done
