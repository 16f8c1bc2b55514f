#include "formats/match_csv.h"

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{256} << 20;
constexpr int kMostEventNumber = 9999999;

// The columns in file order. Append new ones at the end, with their cell in match_line and in
// the reader.
constexpr std::string_view kColumns[] = {"a_event", "b_event", "dt",    "a_class",
                                         "b_class", "a_peak",  "b_peak"};
constexpr std::string_view kClassWords[] = {"flash", "moving", "edge"};

}  // namespace

std::span<const std::string_view> match_columns() { return kColumns; }

std::string match_header() { return csv_header(kColumns); }

std::string match_line(const MatchRow& row) {
  return std::to_string(row.a_event) + "," + std::to_string(row.b_event) + "," +
         fixed_cell(row.dt, 6) + "," + row.a_class + "," + row.b_class + "," +
         fixed_cell(row.a_peak, 2) + "," + fixed_cell(row.b_peak, 2) + "\n";
}

bool read_match_csv(const std::filesystem::path& path, std::vector<MatchRow>& rows,
                    std::string* error) {
  rows.clear();
  std::string text;
  if (!read_csv_file(path, kMostFileBytes, text, error)) return false;
  CsvLines lines(path.string(), text);
  std::size_t used = 0;
  if (!check_csv_header(lines, kColumns, std::size(kColumns), used, error)) return false;
  std::vector<std::string_view> cells;
  while (lines.next(cells, error)) {
    if (!check_cell_count(lines, cells, kColumns, error)) return false;
    MatchRow r;
    const char* classes = "flash, moving or edge";
    if (!read_int_cell(lines, "a_event", cells[0], 1, kMostEventNumber, r.a_event, error) ||
        !read_int_cell(lines, "b_event", cells[1], 1, kMostEventNumber, r.b_event, error) ||
        !read_number_cell(lines, "dt", cells[2], r.dt, error) ||
        !read_word_cell(lines, "a_class", cells[3], kClassWords, classes, r.a_class, error) ||
        !read_word_cell(lines, "b_class", cells[4], kClassWords, classes, r.b_class, error) ||
        !read_number_cell(lines, "a_peak", cells[5], r.a_peak, error) ||
        !read_number_cell(lines, "b_peak", cells[6], r.b_peak, error)) {
      return false;
    }
    rows.push_back(std::move(r));
  }
  return error->empty();
}
