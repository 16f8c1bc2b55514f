// vesk-match's output: the pairs of events of two flash catalogues, a_event,b_event,dt,a_class,
// b_class,a_peak,b_peak,separation,separation_err,verdict, written to standard output; an event
// left unmatched has a row with the other side's cells and dt empty. This module owns the row, the
// columns, the writer and a reader (for scripts and tests).
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct MatchRow {
  std::optional<int> a_event;
  std::optional<int> b_event;
  std::optional<double> dt;  // B's time minus A's, seconds, 6 decimals; empty unless a pair
  std::string a_class;       // empty when the row has no event of A
  std::string b_class;
  std::optional<double> a_peak;  // 2 decimals
  std::optional<double> b_peak;
  // With places in both catalogues: great-circle distance of the two places and its 1-sigma
  // error (degrees, 3 decimals); for two flashes "validated" or "parallax", else empty.
  std::optional<double> separation{};
  std::optional<double> separation_err{};
  std::string verdict{};
};

std::span<const std::string_view> match_columns();
std::string match_header();
std::string match_line(const MatchRow& row);

// Reads a saved output of vesk-match; false with `error` naming file, line and column.
bool read_match_csv(const std::filesystem::path& path, std::vector<MatchRow>& rows,
                    std::string* error);
