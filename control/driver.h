// The program's phases in order: start-up checks, parameter menu, buffer allocation, processing
// run, teardown.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "control/run_options.h"
#include "control/settings.h"
#include "detection/flash_detector.h"
#include "run/processing_run.h"
#include "sources/frame_source.h"

// Added to the message about a missing first frame when vesk is started on a folder without
// frames: how it is meant to be started.
inline constexpr const char* kNoFramesHint =
    "vesk without arguments works on the frame folder it is started in (BMP_RAW/a00000.bmp ..., "
    "settings.txt); to read a recording give it: vesk RECORDING (vesk --help says more)";

// The lines that close every run on standard error: frames read and tested (and why any were
// not), events by class (from flashes.csv), the run folder and its review page, e.g.
// "run: 200 frames read, 200 tested", "run: 3 events (flash 2, sharp 1)",
// "run: results in night.vesk, review page night.vesk/review/index.html".
std::vector<std::string> run_end_lines(const std::filesystem::path& run_dir,
                                       const RunOutcome& outcome);

// Runs VESK once in the run folder `run_dir` (every file is found there, and named relative to it
// in messages): answers from `in`, the program's own console text to `out`, one-line error and
// warning messages to `err`. `threads` is how many threads the scan uses, 0 (or less) for the
// cores the process may run on (see scan_thread_count); with more than one, the frames are also
// read ahead on a thread of their own. Every count writes the same files and text. Returns the exit
// status: 0, or 1 when it stopped on an error or finished having lost output.
int run_vesk(const std::filesystem::path& run_dir, std::FILE* in, std::FILE* out, std::FILE* err,
             int threads = 0);

// run_vesk with `options`: a recording read directly (its notices on `err`, `run_dir` laid out
// for it, frame_times.csv written beside the results), the menu left out, the console text
// chosen. Default options give run_vesk above.
int run_vesk(const std::filesystem::path& run_dir, const RunOptions& options, std::FILE* in,
             std::FILE* out, std::FILE* err);

// Every byte a run of `images_in_buffer` frames of `geometry` takes for its work, with a
// read-ahead queue of `read_ahead_frames`: the detector's buffers and each output's work space,
// as each states them. Known before anything is allocated; the largest size_t when the sum does
// not fit.
std::size_t run_memory_bytes(const FrameGeometry& geometry, int images_in_buffer,
                             int read_ahead_frames);

// The processing phase of run_vesk: the run over `source` with every output of a run in
// `run_dir` (flash log, report images, console notices as `options` choose them, run summary,
// flash catalogue, and frame_times.csv for a recording). `report_header` is the template with
// this run's size; `buffers` come from allocate_run_buffers. The outcome's errors are not printed
// here.
RunOutcome run_detection(const std::filesystem::path& run_dir, FrameSource& source,
                         const DetectionSettings& settings,
                         std::span<const std::uint8_t> report_header, RunBuffers& buffers,
                         std::FILE* out, std::FILE* err, const RunOptions& options = {});

// The detector's thresholds from the typed settings: the five as double, the borders raised to
// the least the detector needs.
DetectionThresholds detection_thresholds(const DetectionSettings& settings);
