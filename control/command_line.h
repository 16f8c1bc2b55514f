// vesk's command line: an optional recording, the options of a run, and the options that choose
// and read the recording's frames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/site_file.h"
#include "sources/recording.h"

inline constexpr const char* kVeskUsage =
    "usage: vesk [RECORDING...] [--out DIR] [--no-menu] [--quiet] [--threads N] [--first N] "
    "[--count M] [--byte-order little|big] [--depth D] [--start-utc T] [--psf FWHM] "
    "[--replace] [--max-memory SIZE] [--max-reports N] [--site LAT,LON[,HEIGHT]] [--mirror yes|no] "
    "[--rotation DEG[@UTC]] [--mount altaz|equatorial] [--scale ARCSEC] [--range LO,HI] "
    "[--fps F] [--follow [--idle SECONDS]] [--mask FILE] [--] [RECORDING...]";

// Most worker threads --threads accepts.
inline constexpr int kMostThreads = 1024;
// The optics' widths --psf accepts, pixels (as vesk-tune's --psf).
inline constexpr double kLeastPsf = 0.5;
inline constexpr double kMostPsf = 20.0;

struct CommandLine {
  std::string recording;  // empty: the frame folder in the current folder; else the first
  std::vector<std::string> recordings;  // every recording given, in order (several: one night)
  std::string out;                      // --out DIR; empty: NAME.vesk (see run_folder_of)
  bool no_menu = false;                 // --no-menu
  bool quiet = false;                   // --quiet
  int threads = 0;                      // --threads N, 0 to kMostThreads; 0: one per core
  double psf = 0.0;              // --psf FWHM, kLeastPsf to kMostPsf; 0: measured on the limb
  RecordingOptions reading;      // --first, --count, --byte-order, --depth, --start-utc
  bool help = false;             // -h or --help
  bool replace = false;          // --replace: a run folder of another recording started afresh
  std::uint64_t max_memory = 0;  // --max-memory SIZE in bytes (K, M, G suffixes); 0: no limit
  std::int64_t max_reports = -1;  // --max-reports N: report images drawn at most; -1: no limit
  std::string options;           // the arguments as given, for run.txt
  SiteSettings site;  // --site, --mirror, --rotation, --mount, --scale (with a recording)
  bool follow = false;       // --follow: one SER recording read while it is written
  double idle_seconds = 30;  // --idle SECONDS (with --follow), above 0
  std::string mask;          // --mask FILE: copied into the run folder as mask.png
};

// Reads the arguments after the program name into `line`. False with `error`, one line naming
// the argument and what is wrong ("--threads: \"x\" is not a whole number from 0 to 1024",
// "--first: only with a recording; usage: ..."), for an unknown option, a missing or bad value,
// a second recording, or a recording option (--out, --first, --count, --byte-order, --depth,
// --start-utc, --mask) without a recording; --follow with several recordings or --site, --idle
// without --follow; an option given twice; a value that starts with "--" (the
// value is missing). "--" ends the options. -h or --help sets `help` and ends the reading.
bool parse_command_line(std::span<const std::string> args, CommandLine& line, std::string* error);

// The run folder of `line`: --out when given, else NAME.vesk in the current folder for a
// recording (NAME its file name without the last extension: night.ser gives night.vesk), else
// the current folder.
std::filesystem::path run_folder_of(const CommandLine& line);
