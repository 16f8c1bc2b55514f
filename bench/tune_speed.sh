#!/usr/bin/env bash
# vesk-tune's time against a plain vesk run of the same frames: demo frames of 720x576
# (make_demo_frames, shipped default.txt, Images_in_buffer 60) written as an 8-bit SER file
# (frames_to_ser), then for each of FRAMES frame counts and each of THREADS thread counts
#   vesk night.ser --no-menu --threads T        the plain run
#   vesk-tune night.ser --count F --threads T   the noise survey, the 180-setting grid on the
#                                               frames as they are, their negative and each
#                                               injected pass, the page and its pictures
# each timed by /usr/bin/time (the fastest of RUNS runs). Prints wall and processor seconds, the
# grid's own wall time as vesk-tune prints it ("Tested 180 settings ... N s"), and the ratio of
# vesk-tune's processor time to the plain run's, and the machine's load average over the last
# minute as vesk-tune starts (a shared machine: other work there lengthens the wall times).
#
# Usage: [FRAMES="1000 10000"] [THREADS="1 2"] [RUNS=1] bench/tune_speed.sh [BUILD_DIR]
# 10,000 frames take 4.1 GB of disk (the SER file) in a temporary folder, deleted at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
counts=${FRAMES:-1000 10000}
threads_list=${THREADS:-1 2}
runs=${RUNS:-1}

"$root/tools/install-deps" time
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs "$@" $runs times; sets wall, cpu (user + system, of the fastest run).
measure() {
  wall=""
  for ((run = 1; run <= runs; ++run)); do
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" </dev/null >"$work/out.txt" 2>&1 || {
      echo "$* failed:" >&2
      cat "$work/out.txt" >&2
      exit 1
    }
    read -r w u s <"$work/time.txt"
    if [ -z "$wall" ] || awk -v a="$w" -v b="$wall" 'BEGIN { exit !(a < b) }'; then
      wall=$w
      cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
      cp "$work/out.txt" "$work/best.txt"
    fi
  done
}

printf "%-7s %-7s | %-20s | %-32s | %-9s | %s\n" frames threads "vesk: wall, cpu (s)" \
  "vesk-tune: wall, cpu, grid (s)" "cpu ratio" "load"
for frames in $counts; do
  rm -rf "$work/frames" "$work/rec"
  "$build/tools/make_demo_frames" --size 720x576 --frames "$frames" --seed 1 "$work/frames" \
    >/dev/null
  mkdir "$work/rec"
  "$build/tools/frames_to_ser" "$work/frames" "$work/rec/night.ser"
  settings=$work/frames/settings.txt
  rm -rf "$work/frames/BMP_RAW"  # only the SER file is read from here on
  for threads in $threads_list; do
    rm -rf "$work/rec/plain"
    measure "$build/vesk" "$work/rec/night.ser" --out "$work/rec/plain" --no-menu \
      --threads "$threads"
    vesk_wall=$wall vesk_cpu=$cpu
    load=$(cut -d' ' -f1 /proc/loadavg)
    mkdir -p "$work/rec/tuned"
    cp "$settings" "$work/rec/tuned/settings.txt"
    measure "$build/vesk-tune" "$work/rec/night.ser" --out "$work/rec/tuned" --count "$frames" \
      --threads "$threads"
    grid=$(grep -o '^Tested [0-9]* settings.*: [0-9.]* s' "$work/best.txt" | grep -o '[0-9.]* s$' |
      grep -o '[0-9.]*')
    ratio=$(awk -v a="$cpu" -v b="$vesk_cpu" 'BEGIN { printf "%.1f", a / b }')
    printf "%-7s %-7s | %8s %8s    | %8s %8s %8s      | %-9s | %s\n" "$frames" "$threads" \
      "$vesk_wall" "$vesk_cpu" "$wall" "$cpu" "$grid" "$ratio" "$load"
  done
done
