// tune/completeness.csv, written by vesk-tune: for each setting of the grid and each bin of
// injected flash strength, how many flashes were injected and found, and the setting's false
// alarms. This module owns the row, the columns, the writer and a reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The file's name inside the run folder's tune/ folder.
inline constexpr const char* kCompletenessName = "completeness.csv";

struct CompletenessRow {
  double time_sd = 0.0;
  double min_sd2 = 0.0;
  double min_sd1 = 0.0;
  double neighbour_sd = 0.0;
  double strength_from = 0.0;  // the bin, in multiples of the noise
  double strength_to = 0.0;
  int injected = 0;
  int found = 0;
  int false_alarms = 0;
  int edge_alarms = 0;
  std::int64_t frames = 0;  // frames tested
  // false_alarms split into those of noise (on the recording's negative) and those the catalogue
  // explains that the negative cannot show; edge_alarms' companion for moving events; candidates
  // only some settings report, never counted as false alarms. 0 in a file of an earlier version.
  int noise_alarms = 0;
  int upward_alarms = 0;
  int moving_alarms = 0;
  int uncertain = 0;
};

std::span<const std::string_view> completeness_columns();
std::string completeness_header();
// The line of `row`: numbers as "%g", counts as whole numbers.
std::string completeness_line(const CompletenessRow& row);

// Reads a completeness.csv; false with `error` naming file, line and column.
bool read_completeness_csv(const std::filesystem::path& path, std::vector<CompletenessRow>& rows,
                           std::string* error);
