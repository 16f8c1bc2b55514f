#!/usr/bin/env bash
# Whole-program benchmark: 1,000 frames of 720x576 through vesk with the shipped default.txt
# (Images_in_buffer 60), console output to /dev/null, three ways in:
#   frame folder   vesk in a folder of frame files (menu answered with 0), frames cached
#   two steps      vesk-frames night.ser DIR, then vesk in DIR: a night's work from a SER file
#   recording      vesk night.ser --no-menu: the frames read straight from the SER file
# The SER file (8-bit mono, with frame times) is written from the demo frames by frames_to_ser.
# Prints frames per second of the fastest run of each, and the peak memory of the frame-folder
# run (from /usr/bin/time -v) next to the memory budget of the run's buffers. Everything lives in
# a temporary folder that is deleted afterwards.
#
# Then, when vesk takes options, a table of the frame folder and the recording on 1 thread and on
# every core (THREADS), for each of SIZES (1,000 frames each; FRAMES to change), every run
# checked to write the same flash log as the first.
#
# Usage: [RUNS=3] [SIZES="720x576 1920x1080"] [THREADS="1 $(nproc)"] [FRAMES=1000] \
#            bench/whole_program.sh [BUILD_DIR [VESK_BINARY]]
#   BUILD_DIR    build folder holding tools/make_demo_frames, tools/frames_to_ser and
#                vesk-frames (default: build)
#   VESK_BINARY  the vesk to measure (default: BUILD_DIR/vesk), e.g. a baseline build; one that
#                takes no recording measures the frame folder only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
vesk=$(realpath "${2:-$build/vesk}")
width=720
height=576
frames=1000
runs=${RUNS:-3}

"$root/tools/install-deps" time
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tools/make_demo_frames" --size "${width}x$height" --frames "$frames" --seed 1 "$work" \
  >/dev/null
images=$(awk '$1 == "Images_in_buffer=" { print $2 }' "$work/settings.txt")
recording=$work/recording
mkdir "$recording"
"$build/tools/frames_to_ser" "$work" "$recording/night.ser"

# Runs `$@` $runs times under /usr/bin/time -v (with `$setup` run before each, untimed) and sets
# best (the fastest wall time in seconds), user and system (of that run) and peak_kb (the largest
# resident size of any run).
measure() {
  best=""
  peak_kb=0
  for ((run = 1; run <= runs; ++run)); do
    eval "$setup"
    status=0
    /usr/bin/time -v -o "$work/time.txt" "$@" </dev/null >/dev/null || status=$?
    if [ "$status" -ne 0 ]; then
      echo "$* exited with status $status" >&2
      exit 1
    fi
    elapsed=$(awk -F': ' '/Elapsed \(wall clock\)/ { print $2 }' "$work/time.txt")
    seconds=$(echo "$elapsed" | awk -F: '{ s = 0; for (i = 1; i <= NF; ++i) s = s * 60 + $i; print s }')
    kb=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
    [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
    if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
      user=$(awk -F': ' '/User time/ { print $2 }' "$work/time.txt")
      system=$(awk -F': ' '/System time/ { print $2 }' "$work/time.txt")
    fi
  done
}

cd "$work"
# The frames come from the page cache, as on a second pass.
cat BMP_RAW/*.bmp "$recording/night.ser" >/dev/null
# The fastest of $runs runs is reported, which discounts other programs on the machine.
setup="sync"
measure bash -c 'echo 0 | "$1"' vesk "$vesk"
folder_best=$best folder_user=$user folder_system=$system folder_peak_kb=$peak_kb
records=$(($(wc -l <flash_info.dat) - 1))

two_step_best="" two_step_cpu="" recording_best="" recording_cpu=""
if "$vesk" --help </dev/null >/dev/null 2>&1; then
  cd "$recording"
  setup='rm -rf "$recording/converted"; sync'
  measure bash -c '"$1" night.ser converted && cd converted && echo 0 | "$2"' two_step \
    "$build/vesk-frames" "$vesk"
  two_step_best=$best two_step_cpu=$(awk -v u="$user" -v y="$system" 'BEGIN { print u + y }')
  two_step_records=$(($(wc -l <converted/flash_info.dat) - 1))
  setup="sync"
  measure "$vesk" night.ser --no-menu
  recording_best=$best recording_cpu=$(awk -v u="$user" -v y="$system" 'BEGIN { print u + y }')
  recording_records=$(($(wc -l <night.vesk/flash_info.dat) - 1))
  if [ "$two_step_records" -ne "$records" ] || [ "$recording_records" -ne "$records" ] ||
    ! cmp -s converted/flash_info.dat night.vesk/flash_info.dat; then
    echo "the three ways in wrote different flash logs" >&2
    exit 1
  fi
  cd "$work"
fi

pixels=$((width * height))
# ring + pixel_sum + pixel_sq_dev + one frame of report buffers (marked_frame, the 3-byte-per-pixel
# report image, the 40-row thumbnail strip of 3 x 40 x width bytes)
budget_bytes=$((images * pixels + 16 * pixels + pixels + 3 * pixels + 120 * width))
awk -v f="$frames" -v s="$folder_best" -v u="$folder_user" -v y="$folder_system" \
  -v k="$folder_peak_kb" -v b="$budget_bytes" -v n="$records" -v r="$runs" -v w="$width" \
  -v h="$height" -v N="$images" -v t="$two_step_best" -v d="$recording_best" \
  -v tc="$two_step_cpu" -v dc="$recording_cpu" 'BEGIN {
  printf "frames            %d of %dx%d, Images_in_buffer %d, fastest of %d runs\n", f, w, h, N, r
  printf "wall time         %.2f s (user %.2f s, system %.2f s)\n", s, u, y
  printf "frames per second %.0f (frame folder)\n", f / s
  if (t != "") printf "frames per second %.0f (two steps: vesk-frames night.ser DIR, then vesk in DIR; %.2f s wall, %.2f s processor)\n", f / t, t, tc
  if (d != "") printf "frames per second %.0f (vesk night.ser, frames read from the recording; %.2f s wall, %.2f s processor)\n", f / d, d, dc
  printf "peak memory       %.1f MiB (frame folder)\n", k / 1024
  printf "buffer budget     %.1f MiB (x 1.1 = %.1f MiB): peak / budget = %.3f\n", b / 1048576, 1.1 * b / 1048576, k * 1024 / b
  printf "flash records     %d\n", n
}'

# Frame folder and recording, per size and thread count.
"$vesk" --help </dev/null >/dev/null 2>&1 || exit 0
sizes=${SIZES:-720x576 1920x1080}
threads_list=${THREADS:-1 $(nproc)}
table_frames=${FRAMES:-1000}
echo
echo "size       threads  frame folder   recording      peak memory (recording)"
for size in $sizes; do
  grid=$work/grid_$size
  mkdir -p "$grid"
  "$build/tools/make_demo_frames" --size "$size" --frames "$table_frames" --seed 1 "$grid/folder" \
    >/dev/null
  "$build/tools/frames_to_ser" "$grid/folder" "$grid/night.ser"
  cat "$grid"/folder/BMP_RAW/*.bmp "$grid/night.ser" >/dev/null
  reference=""
  for threads in $threads_list; do
    cd "$grid/folder"
    setup="sync"
    measure "$vesk" --no-menu --quiet --threads "$threads"
    folder_fps=$(awk -v f="$table_frames" -v s="$best" 'BEGIN { printf "%.0f", f / s }')
    [ -n "$reference" ] || reference=$(cat flash_info.dat)
    [ "$(cat flash_info.dat)" = "$reference" ] || { echo "$size: flash logs differ" >&2; exit 1; }
    cd "$grid"
    measure "$vesk" night.ser --no-menu --quiet --threads "$threads" --out run
    recording_fps=$(awk -v f="$table_frames" -v s="$best" 'BEGIN { printf "%.0f", f / s }')
    [ "$(cat run/flash_info.dat)" = "$reference" ] || { echo "$size: flash logs differ" >&2; exit 1; }
    printf "%-10s %-8s %-14s %-14s %.1f MiB\n" "$size" "$threads" "$folder_fps frames/s" \
      "$recording_fps frames/s" "$(awk -v k="$peak_kb" 'BEGIN { print k / 1024 }')"
  done
  rm -rf "$grid"
done
