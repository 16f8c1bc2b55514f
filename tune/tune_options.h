// The command line of vesk-tune.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/site_file.h"
#include "sources/recording.h"

inline constexpr const char* kVeskTuneUsage =
    "usage: vesk-tune [RUN_DIR | RECORDING] [--out DIR] [--first N] [--count M] [--write] "
    "[--accept-loss] [--false-alarms F] [--flashes K] [--psf FWHM] [--threads T] [--byte-order "
    "little|big] "
    "[--depth D] [--start-utc T] [--fps F] [--site LAT,LON[,HEIGHT]] [--mirror yes|no] "
    "[--rotation DEG[@UTC]] [--mount altaz|equatorial] [--scale ARCSEC]";

struct TuneOptions {
  // The run folder: its frames (BMP_RAW), settings.txt and the borders in it. Recordings (SER,
  // video) are read through a FrameSource too, so one can take the folder's place once vesk reads
  // them directly.
  std::filesystem::path run_dir = ".";
  // A recording (a SER file or a video) read directly, as `vesk RECORDING` reads it; run_dir is
  // then its run folder (--out DIR, else NAME.vesk beside it as vesk makes it), which gets the
  // tune/ results and the settings written.
  std::string recording;
  std::string out;
  RecordingOptions reading;  // --byte-order, --depth, --start-utc, --fps for the recording
  std::vector<std::filesystem::path> data_folders;  // searched for the shipped data files
  std::int64_t first = 0;                           // first frame used, from 0
  std::int64_t count = 10000;                       // frames used at most
  bool write = false;  // update settings.txt with the recommended setting
  // --write even when the recommended setting finds fewer flashes of 8 times the noise and more
  // than the current one (TuneScores::losing)
  bool accept_loss = false;
  double false_alarms = 1.0;  // most false alarms per 10,000 frames of the recommended setting
  int flashes = 50;           // injected flashes per strength bin
  double psf = 2.5;           // full width at half maximum of the injected flashes, pixels
  int threads = 0;            // worker threads; 0: one per core
  // The observer's site and the image's orientation, as vesk takes them (--site, --mirror,
  // --rotation, --mount, --scale); without --site, the run folder's site.txt when it is there.
  SiteSettings site;
};

// Reads the command line after the program name into `options`. False with `error`, one line
// (the usage line when arguments are missing or extra), for an unknown option or a bad value;
// `help` is set for -h or --help.
bool parse_tune_arguments(std::span<const std::string> args, TuneOptions& options, bool& help,
                          std::string* error);
