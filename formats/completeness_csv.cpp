#include "formats/completeness_csv.h"

#include <cstdio>
#include <limits>

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{64} << 20;
constexpr int kMostCount = std::numeric_limits<int>::max();

// The columns in file order. Append new ones at the end, with their cell in completeness_line
// and in the reader.
constexpr std::string_view kColumns[] = {
    "time_sd",       "min_sd2",  "min_sd1", "neighbour_sd", "strength_from", "strength_to",
    "injected",      "found",    "false_alarms", "edge_alarms", "frames",
    "noise_alarms",  "upward_alarms", "moving_alarms", "uncertain"};
// The columns of the first version.
constexpr std::size_t kFirstColumns = 11;

std::string general(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

std::span<const std::string_view> completeness_columns() { return kColumns; }

std::string completeness_header() { return csv_header(kColumns); }

std::string completeness_line(const CompletenessRow& r) {
  return general(r.time_sd) + "," + general(r.min_sd2) + "," + general(r.min_sd1) + "," +
         general(r.neighbour_sd) + "," + general(r.strength_from) + "," + general(r.strength_to) +
         "," + std::to_string(r.injected) + "," + std::to_string(r.found) + "," +
         std::to_string(r.false_alarms) + "," + std::to_string(r.edge_alarms) + "," +
         std::to_string(r.frames) + "," + std::to_string(r.noise_alarms) + "," +
         std::to_string(r.upward_alarms) + "," + std::to_string(r.moving_alarms) + "," +
         std::to_string(r.uncertain) + "\n";
}

bool read_completeness_csv(const std::filesystem::path& path, std::vector<CompletenessRow>& rows,
                           std::string* error) {
  rows.clear();
  std::string text;
  if (!read_csv_file(path, kMostFileBytes, text, error)) return false;
  CsvLines lines(path.string(), text);
  std::size_t used = 0;
  if (!check_csv_header(lines, kColumns, kFirstColumns, used, error)) return false;
  std::vector<std::string_view> cells;
  while (lines.next(cells, error)) {
    if (!check_cell_count(lines, cells, std::span(kColumns).first(used), error)) return false;
    CompletenessRow r;
    if (!read_number_cell(lines, "time_sd", cells[0], r.time_sd, error) ||
        !read_number_cell(lines, "min_sd2", cells[1], r.min_sd2, error) ||
        !read_number_cell(lines, "min_sd1", cells[2], r.min_sd1, error) ||
        !read_number_cell(lines, "neighbour_sd", cells[3], r.neighbour_sd, error) ||
        !read_number_cell(lines, "strength_from", cells[4], r.strength_from, error) ||
        !read_number_cell(lines, "strength_to", cells[5], r.strength_to, error) ||
        !read_int_cell(lines, "injected", cells[6], 0, kMostCount, r.injected, error) ||
        !read_int_cell(lines, "found", cells[7], 0, kMostCount, r.found, error) ||
        !read_int_cell(lines, "false_alarms", cells[8], 0, kMostCount, r.false_alarms, error) ||
        !read_int_cell(lines, "edge_alarms", cells[9], 0, kMostCount, r.edge_alarms, error) ||
        !read_integer_cell(lines, "frames", cells[10], 0, std::numeric_limits<std::int64_t>::max(),
                           r.frames, error)) {
      return false;
    }
    if (used > kFirstColumns &&
        (!read_int_cell(lines, "noise_alarms", cells[11], 0, kMostCount, r.noise_alarms, error) ||
         !read_int_cell(lines, "upward_alarms", cells[12], 0, kMostCount, r.upward_alarms,
                        error) ||
         !read_int_cell(lines, "moving_alarms", cells[13], 0, kMostCount, r.moving_alarms,
                        error) ||
         !read_int_cell(lines, "uncertain", cells[14], 0, kMostCount, r.uncertain, error))) {
      return false;
    }
    rows.push_back(r);
  }
  return error->empty();
}
