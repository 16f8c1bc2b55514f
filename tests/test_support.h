// Shared fixtures for the tests: scratch folders, frame files written from known pixels, and runs
// of the built vesk program with captured output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "control/settings.h"

// Creates a fresh folder under /tmp for one test and removes it when destroyed. The working
// folder of the test process never changes: while a ScratchDir lives, the file helpers below
// take relative names in it, and programs started by run_command run in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  ScratchDir* outer_;
};

// The folder of the innermost live ScratchDir (the test process's working folder when none).
std::filesystem::path scratch_folder();

// `relative` in scratch_folder(); an absolute path is returned as it is.
std::filesystem::path in_scratch(const std::string& relative);

// `message` with every "<scratch folder>/" taken out, so that messages naming files given by
// their full path read as if named relative to the scratch folder.
std::string without_scratch(std::string message);

// Writes `bytes` to `path` (relative to the scratch folder), creating parent folders.
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::vector<std::uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);

// A raw frame file: 54-byte header stating width x height, then the payload as given.
std::vector<std::uint8_t> raw_frame_bytes(int width, int height,
                                          const std::vector<std::uint8_t>& payload);
// Writes BMP_RAW/a%05d.bmp for frame `number`.
void write_raw_frame(int number, int width, int height, const std::vector<std::uint8_t>& payload);

// A run folder: BMP_RAW/, BMP_FLASHES/, bmpheader.dat, about.txt and default.txt from data/, and
// settings.txt with `settings_text` (default.txt's text when empty).
void make_run_folder(const std::string& settings_text = "");

// Settings for runs on small test frames: limits 1 to 20, Flash_sd_sep 10, Neighbour_sd 3,
// Time_sd 1.5, both floors 4, borders 3, Peak_killer 95.
DetectionSettings small_run_settings(int images_in_buffer, int interlace = 0);

// The fourteen settings lines with the given values, in file order.
std::string settings_text(int min_flash, int max_flash, float flash_sd_sep, float neighbour_sd,
                          float time_sd, float min_sd1, float min_sd2, int left, int right, int top,
                          int bottom, float peak_killer, int interlace, int images);

struct ProgramRun {
  int exit_status = -1;
  std::string out;
  std::string err;
};
// Runs `command` through the shell in the scratch folder, capturing its standard output and error.
ProgramRun run_command(const std::string& command);
// Standard error of a vesk run without the three lines that close every run that started
// ("run: N frames read, M tested...", "run: ...events...", "run: results in ..."), for tests about
// the other messages; the closing lines are tested on their own. Text without them is returned
// as it is.
std::string without_run_end(const std::string& err);

// Runs the built vesk in the scratch folder with `console` as its standard input.
// `folder`, when given, is a folder in the scratch folder to run it in.
ProgramRun run_vesk_program(const std::string& console, const std::string& folder = "");

// The text of a flashes.csv or frame_times.csv without its last two columns, file,file_frame
// (file names without commas), for comparing runs on one recording stored in other files.
std::string without_file_columns(const std::string& csv);
// The same for those two files of a folder's results, named relative to the folder.
void drop_file_columns(std::map<std::string, std::vector<std::uint8_t>>& results);

// Every result file of the run folder `folder` (in the scratch folder), by name: flash log, run
// summary, frame times, the flash catalogue, light curves and report images (BMP_FLASHES/...).
std::map<std::string, std::vector<std::uint8_t>> run_results(const std::string& folder);
// run_results with drop_file_columns applied: for runs of one recording stored in other files.
std::map<std::string, std::vector<std::uint8_t>> run_results_without_file_columns(
    const std::string& folder);

// What review/events.js hands the review page: the table's JSON and the cards' lines, each read
// from its array of single-quoted string pieces and joined. `read` is false (and the texts empty)
// when the file is not one call veskReview([...],\n[...]); at its end, or a piece holds an escape
// or a character a piece may not hold unescaped (a quote, a backslash, a line end, U+2028/9).
struct ReviewScript {
  bool read = false;
  std::string data;
  std::string cards;
};
ReviewScript read_review_script(const std::string& script);
