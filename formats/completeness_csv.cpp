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
    "time_sd",     "min_sd2",      "min_sd1",       "neighbour_sd",  "strength_from",
    "strength_to", "injected",     "found",         "false_alarms",  "edge_alarms",
    "frames",      "noise_alarms", "upward_alarms", "moving_alarms", "uncertain"};
// The columns of the first version.
constexpr std::size_t kFirstColumns = 11;

std::string general(double value) {
  return printed("%g", value);
}

}  // namespace

std::span<const std::string_view> completeness_columns() {
  return kColumns;
}

std::string completeness_header() {
  return csv_header(kColumns);
}

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
  const auto row = [&](const CsvLines& l, const std::vector<std::string_view>& c, std::string* e) {
    CompletenessRow r;
    if (!read_number_cell(l, "time_sd", c[0], r.time_sd, e) ||
        !read_number_cell(l, "min_sd2", c[1], r.min_sd2, e) ||
        !read_number_cell(l, "min_sd1", c[2], r.min_sd1, e) ||
        !read_number_cell(l, "neighbour_sd", c[3], r.neighbour_sd, e) ||
        !read_number_cell(l, "strength_from", c[4], r.strength_from, e) ||
        !read_number_cell(l, "strength_to", c[5], r.strength_to, e) ||
        !read_int_cell(l, "injected", c[6], 0, kMostCount, r.injected, e) ||
        !read_int_cell(l, "found", c[7], 0, kMostCount, r.found, e) ||
        !read_int_cell(l, "false_alarms", c[8], 0, kMostCount, r.false_alarms, e) ||
        !read_int_cell(l, "edge_alarms", c[9], 0, kMostCount, r.edge_alarms, e) ||
        !read_integer_cell(l, "frames", c[10], 0, std::numeric_limits<std::int64_t>::max(),
                           r.frames, e)) {
      return false;
    }
    if (c.size() > kFirstColumns &&
        (!read_int_cell(l, "noise_alarms", c[11], 0, kMostCount, r.noise_alarms, e) ||
         !read_int_cell(l, "upward_alarms", c[12], 0, kMostCount, r.upward_alarms, e) ||
         !read_int_cell(l, "moving_alarms", c[13], 0, kMostCount, r.moving_alarms, e) ||
         !read_int_cell(l, "uncertain", c[14], 0, kMostCount, r.uncertain, e))) {
      return false;
    }
    rows.push_back(r);
    return true;
  };
  return read_csv_rows(path, kMostFileBytes, kColumns, kFirstColumns, row, false, error);
}
