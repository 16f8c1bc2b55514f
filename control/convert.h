// vesk-frames: turns a recording (SER, or any video FFmpeg reads) into a VESK run folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/site_file.h"
#include "imaging/frame_files.h"
#include "run/run_folder.h"
#include "sources/recording.h"

inline constexpr const char* kVeskFramesUsage =
    "usage: vesk-frames RECORDING OUTDIR [--first N] [--count M] [--byte-order little|big] "
    "[--depth D] [--start-utc TIME] [--fps F] [--site LAT,LON[,HEIGHT]] [--mirror yes|no] "
    "[--rotation DEG[@UTC]] [--mount altaz|equatorial] [--scale ARCSEC]";

// The frames to convert and how to read them (RecordingOptions: --first, --count, up to
// frame_limit, --byte-order, --depth, --start-utc), and where they go.
struct ConvertOptions : RecordingOptions {
  std::string recording;
  std::string outdir;
  int frame_limit = kMaxFolderFrames;               // most frames written into one folder
  bool progress = false;                            // draw the progress bar on `out`
  std::vector<std::filesystem::path> data_folders;  // searched in order for the shipped files
  SiteSettings site;  // --site and the rest: written to site.txt for vesk's run in the folder
  std::string command_options;  // the arguments as given, recorded in run.txt
};

// Reads the command line after the program name into `options` (recording, outdir, --first,
// --count, --byte-order, --depth, --start-utc). False with `error` one line for an unknown option
// or a bad value, or the usage line for a wrong number of arguments; `help` is set for -h or
// --help.
bool parse_arguments(std::span<const std::string> args, ConvertOptions& options, bool& help,
                     std::string* error);

// The progress bar for `done` of `total` frames, e.g. "[##########------------------------------]
// 25% 250/1000 frames" (40 marks); "250 frames" when `total` is unknown (below 1).
std::string progress_bar(std::int64_t done, std::int64_t total);

// Converts the recording: frame files, run folder, frame_times.csv when frame times are known,
// and run.txt (how the folder was made: written when the folder is laid out, again with its Ended
// time when the conversion is complete).
// Writes the progress bar (when asked), the limit notice and the final line with the frame count
// and size to `out`; each correction of the recording, each warning about the folder and each
// problem as one line on `err`. Returns the exit status: 0, or 1 on an error (every frame file
// already written is complete).
int convert_recording(const ConvertOptions& options, std::FILE* out, std::FILE* err);
