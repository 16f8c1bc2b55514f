// How vesk runs beyond the working folder: a recording read directly, the menu left out, the
// console text chosen, the thread count. The defaults are vesk without arguments.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/site_file.h"
#include "sources/recording.h"
#include "sources/ser_follow.h"

class TerminalLine;

struct RunOptions {
  // The recording to read; empty: the frame files of the run folder's BMP_RAW.
  std::string recording;
  // Several recordings read as one (a night in files); empty or one: `recording` alone.
  std::vector<std::string> recordings;
  RecordingOptions reading;  // which frames of the recording, and how SER samples are read
  // Searched in order for the shipped data files when the run folder of a recording is laid out.
  std::vector<std::filesystem::path> data_folders;
  bool menu = true;               // false: the run starts at once with settings.txt (--no-menu)
  bool frame_lines = true;        // false: no "Processing frame N" line or progress line (--quiet)
  bool progress_line = false;     // a recording on a terminal: one line rewritten in place of the
                                  // per-frame lines
  int threads = 0;                // worker threads for the run; 0: one per core
  double psf = 0.0;               // the optics' FWHM in pixels (--psf); 0: measured on the limb
  bool replace = false;           // --replace: a folder of another recording is started afresh
  std::uint64_t max_memory = 0;   // --max-memory in bytes; 0: only the machine's limits
  std::int64_t max_reports = -1;  // --max-reports: report images drawn at most; -1: no limit
  std::string command_options;    // the arguments as given, recorded in run.txt
  // Set by a signal handler (SIGINT, SIGTERM): the run stops reading, closes its events and
  // writes its summary and page. Null: nothing stops the run from outside.
  const volatile std::sig_atomic_t* stop = nullptr;
  // The observer's site and the image's orientation (--site ...); written to site.txt for a
  // recording, read from site.txt for the frame folder.
  SiteSettings site;
  // --follow: the SER recording is read while it is written, to its close (see ser_follow.h);
  // --idle: the seconds without growth after which the run ends.
  bool follow = false;
  double idle_seconds = 30.0;
  // Under --follow, on a terminal: one line on the error stream rewritten with the frames, the
  // rate, the lag behind the writer and the events so far.
  bool live_line = false;
  // Kept up to date by the followed recording for the live line; set by run_vesk.
  FollowProgress* follow_progress = nullptr;
  // --mask FILE: checked against the frames and copied into the run folder as mask.png before
  // the run; empty: the run folder's mask.png is used when there.
  std::string mask_file;
  // The pixels the detector scans (see DetectionThresholds::mask), set by run_vesk from the run
  // folder's mask.png; empty: every pixel inside the borders.
  std::span<const std::uint8_t> scan_mask;
  // The terminal the live line is drawn on; set by run_vesk when live_line.
  TerminalLine* terminal_line = nullptr;
};
