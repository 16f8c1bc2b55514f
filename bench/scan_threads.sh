#!/usr/bin/env bash
# Whole-program benchmark: demo recordings of 720x576 (1,000 frames) and 1920x1080 (600 frames)
# through vesk with the shipped default.txt (Images_in_buffer 60), menu answered with 0, console
# output to /dev/null, the scan on 1 thread and on every core. Prints, per size and thread count,
# the frames per second of the fastest of RUNS runs and the peak memory (from /usr/bin/time -v)
# next to the run's buffers, and checks that every thread count wrote the same flash_info.dat.
# The frames live in a temporary folder that is deleted afterwards.
#
# Usage: [RUNS=3] [SIZES="720x576 1920x1080"] [THREADS="1 $(nproc)"] \
#            bench/scan_threads.sh [BUILD_DIR [VESK_BINARY]]
#   BUILD_DIR    build folder holding tools/make_demo_frames and bench/vesk_run_bench
#                (default: build)
#   VESK_BINARY  a vesk to measure instead, run as it is (no thread count), e.g. a baseline build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
binary=${2:+$(realpath "$2")}
runs=${RUNS:-3}
sizes=${SIZES:-720x576 1920x1080}
if [ -n "$binary" ]; then
  threads_list=binary
else
  threads_list=${THREADS:-1 $(nproc)}
fi

"$root/tools/install-deps" time
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One run of the program in the working folder with `threads`; writes time.txt.
run_once() {
  local threads=$1 status=0
  if [ "$threads" = binary ]; then
    /usr/bin/time -v -o time.txt "$binary" <<<"0" >/dev/null || status=$?
  else
    /usr/bin/time -v -o time.txt "$build/bench/vesk_run_bench" "$threads" <<<"0" >/dev/null ||
      status=$?
  fi
  if [ "$status" -ne 0 ]; then
    echo "vesk exited with status $status" >&2
    exit 1
  fi
}

printf '%-10s %-7s %8s %8s %14s %10s %12s %13s %7s\n' size threads frames/s "wall s" \
  "user+sys s" "peak MiB" "buffers MiB" "peak/buffers" records
for size in $sizes; do
  width=${size%x*}
  height=${size#*x}
  frames=1000
  [ "$width" -ge 1280 ] && frames=600
  rm -rf "${work:?}"/*
  "$build/tools/make_demo_frames" --size "$size" --frames "$frames" --seed 1 "$work" >/dev/null
  mkdir "$work/BMP_FLASHES"
  cp "$root/data/default.txt" "$root/data/about.txt" "$root/data/bmpheader.dat" "$work/"
  cp "$root/data/default.txt" "$work/settings.txt"
  images=$(awk '$1 == "Images_in_buffer=" { print $2 }' "$work/settings.txt")
  (
    cd "$work"
    cat BMP_RAW/*.bmp >/dev/null # the frames come from the page cache, as on a second pass
    for threads in $threads_list; do
      # The fastest of $runs runs is reported, which discounts other programs on the machine;
      # peak memory is the largest of all runs.
      best=""
      peak_kb=0
      for ((run = 1; run <= runs; ++run)); do
        run_once "$threads"
        elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' time.txt)
        seconds=$(echo "$elapsed" | awk -F: '{ s = 0; for (i = 1; i <= NF; ++i) s = s * 60 + $i; print s }')
        kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt)
        [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
        if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
          best=$seconds
          cpu=$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' time.txt)
        fi
      done
      if [ -f flash_info.first ]; then
        cmp -s flash_info.dat flash_info.first ||
          { echo "flash_info.dat differs with $threads threads" >&2; exit 1; }
      else
        cp flash_info.dat flash_info.first
      fi
      pixels=$((width * height))
      # ring + pixel_sum + pixel_sq_dev + marked_frame + the 3-byte-per-pixel report image + the
      # 40-row thumbnail strip (3 x 40 x width) + the candidate map, and the read-ahead queue of
      # 3 frames when the scan has more than one thread.
      queue=0
      [ "$threads" != binary ] && [ "$threads" -gt 1 ] && queue=$((3 * pixels))
      budget=$((images * pixels + 16 * pixels + pixels + 3 * pixels + 120 * width + pixels / 64 + queue))
      awk -v z="$size" -v t="$threads" -v f="$frames" -v s="$best" -v c="$cpu" -v k="$peak_kb" \
        -v b="$budget" -v n="$(($(wc -l <flash_info.dat) - 1))" 'BEGIN {
        printf "%-10s %-7s %8.0f %8.2f %14.2f %10.1f %12.1f %13.3f %7d\n", z, t, f / s, s, c,
               k / 1024, b / 1048576, k * 1024 / b, n
      }'
    done
  )
done
echo "frames: 1,000 (720x576) or 600 (wider), Images_in_buffer $images, fastest of $runs runs;" \
  "$(nproc) cores in the affinity set; same flash_info.dat for every thread count"
