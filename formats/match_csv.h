// vesk-match's output: the pairs of events of two flash catalogues, a_event,b_event,dt,a_class,
// b_class,a_peak,b_peak, written to standard output. This module owns the row, the columns, the
// writer and a reader (for scripts and tests).
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct MatchRow {
  int a_event = 0;
  int b_event = 0;
  double dt = 0.0;  // B's time minus A's, seconds, 6 decimals
  std::string a_class;
  std::string b_class;
  double a_peak = 0.0;  // 2 decimals
  double b_peak = 0.0;
};

std::span<const std::string_view> match_columns();
std::string match_header();
std::string match_line(const MatchRow& row);

// Reads a saved output of vesk-match; false with `error` naming file, line and column.
bool read_match_csv(const std::filesystem::path& path, std::vector<MatchRow>& rows,
                    std::string* error);
