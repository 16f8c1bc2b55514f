// What vesk-tune shows and writes: the short table on the console, tune/completeness.csv,
// tune/index.html, and the updated settings.txt.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "control/settings.h"
#include "tune/tune.h"

// The console text after the runs: noise, injections, the table (the recommended setting, the
// current one and the next best within the limit, `rows` lines at most) and the recommendation.
std::string tune_summary(const TuneOutcome& outcome, std::size_t rows);

// The page's cards: the candidates shown (all but those of kind `other`, at most kMostCards), as
// indices into scores.candidates; card n (from 1) shows kCardFolder/e000n_strip.png.
inline constexpr std::size_t kMostCards = 400;
inline constexpr const char* kCardFolder = "cards";
inline constexpr const char* kMaskImageName = "mask.png";
std::vector<std::size_t> shown_candidates(const TuneScores& scores);

// completeness.csv: the header line, then one line per setting and strength bin, in grid order.
std::string completeness_csv(const TuneOutcome& outcome);

// index.html: self-contained (inline SVG and style, no scripts). `title` names the recording,
// `first` is the recording number of the first frame used.
std::string tune_page(const TuneOutcome& outcome, const std::string& title, std::int64_t first);

// Writes `run_dir`/tune/completeness.csv and index.html (the folder created when missing), each
// through a temporary file and a rename. False with `error` naming the file that failed.
bool write_tune_files(const std::filesystem::path& run_dir, const std::string& csv,
                      const std::string& page, std::string* error);

// Puts the thresholds of `chosen` into `run_dir`/settings.txt, the other parameters as `settings`
// holds them (read from that file): the file as it was is first written to settings.txt.bak,
// then the new one, both through a temporary file and a rename. `changes` says what changed
// ("Time_sd 5 -> 4, Min_sd2 4 -> 3"), empty when nothing did; nothing is written then. False
// with `error` when a file cannot be read or written (a failed backup leaves settings.txt alone).
bool write_tuned_settings(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                          const GridSetting& chosen, std::string& changes, std::string* error);
