// run.txt: how a run folder was made, one `key= value` line per field in a fixed order (Program,
// Version, Commit, Recording, Recording_id, Options, Started, Ended). Recording_id names the
// recording the folder belongs to; a run of another recording into the folder is refused.
#pragma once

#include <filesystem>
#include <string>

struct RunInfo {
  std::string program;       // "vesk", "vesk-frames", "vesk-tune"
  std::string version;       // build version (git describe)
  std::string commit;        // git commit of the build
  std::string recording;     // the recording as given on the command line
  std::string recording_id;  // see recording_id() in sources/recording_id.h
  std::string options;       // the command line's arguments, space-separated
  std::string started;       // UTC, "2026-12-10T18:40:00Z"
  std::string ended;         // UTC; empty while the run is going or when it died
};

// The text of run.txt for `info`.
std::string format_run_info(const RunInfo& info);

// Reads run.txt's `text` into `info`. Unknown keys are skipped (later versions may add some).
// False with `error` "run.txt line N: ..." for a line without "= " or a key given twice.
bool parse_run_info(const std::string& text, RunInfo& info, std::string* error);

// Reads `dir`/run.txt. `missing` is set when there is none (the result is then false with no
// error). Refuses a file that is not a regular file without waiting on it.
bool read_run_info(const std::filesystem::path& dir, RunInfo& info, bool* missing,
                   std::string* error);

// Writes `dir`/run.txt through a temporary name. False with `error` naming run.txt.
bool write_run_info(const std::filesystem::path& dir, const RunInfo& info, std::string* error);

// The current time in UTC as run.txt writes it.
std::string run_info_time_now();
