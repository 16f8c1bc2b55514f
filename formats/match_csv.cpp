#include "formats/match_csv.h"

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{256} << 20;
constexpr int kMostEventNumber = 9999999;

// The columns in file order. Append new ones at the end, with their cell in match_line and in
// the reader.
constexpr std::string_view kColumns[] = {"a_event",        "b_event", "dt",     "a_class",
                                         "b_class",        "a_peak",  "b_peak", "separation",
                                         "separation_err", "verdict"};
// Files written before the place columns have the first 7.
constexpr std::size_t kLeastColumns = 7;
constexpr std::string_view kClassWords[] = {"",       "flash",     "moving", "edge",     "off_moon",
                                            "sunlit", "hot_pixel", "sharp",  "scattered"};
constexpr std::string_view kVerdictWords[] = {"", "validated", "parallax"};

std::string number_cell(const std::optional<int>& n) {
  return n ? std::to_string(*n) : "";
}

bool read_event(const CsvLines& lines, std::string_view column, std::string_view cell,
                std::optional<int>& event, std::string* error) {
  event.reset();
  if (cell.empty()) return true;
  int n = 0;
  if (!read_int_cell(lines, column, cell, 1, kMostEventNumber, n, error)) return false;
  event = n;
  return true;
}

}  // namespace

std::span<const std::string_view> match_columns() {
  return kColumns;
}

std::string match_header() {
  return csv_header(kColumns);
}

std::string match_line(const MatchRow& row) {
  return number_cell(row.a_event) + "," + number_cell(row.b_event) + "," + fixed_cell(row.dt, 6) +
         "," + row.a_class + "," + row.b_class + "," + fixed_cell(row.a_peak, 2) + "," +
         fixed_cell(row.b_peak, 2) + "," + fixed_cell(row.separation, 3) + "," +
         fixed_cell(row.separation_err, 3) + "," + row.verdict + "\n";
}

bool read_match_csv(const std::filesystem::path& path, std::vector<MatchRow>& rows,
                    std::string* error) {
  rows.clear();
  const auto row = [&](const CsvLines& lines, const std::vector<std::string_view>& cells,
                       std::string* e) {
    MatchRow r;
    const char* classes = "a class of flashes.csv or empty";
    if (!read_event(lines, "a_event", cells[0], r.a_event, e) ||
        !read_event(lines, "b_event", cells[1], r.b_event, e) ||
        !read_optional_number_cell(lines, "dt", cells[2], r.dt, e) ||
        !read_word_cell(lines, "a_class", cells[3], kClassWords, classes, r.a_class, e) ||
        !read_word_cell(lines, "b_class", cells[4], kClassWords, classes, r.b_class, e) ||
        !read_optional_number_cell(lines, "a_peak", cells[5], r.a_peak, e) ||
        !read_optional_number_cell(lines, "b_peak", cells[6], r.b_peak, e)) {
      return false;
    }
    if (cells.size() == std::size(kColumns) &&
        (!read_optional_number_cell(lines, "separation", cells[7], r.separation, e) ||
         !read_optional_number_cell(lines, "separation_err", cells[8], r.separation_err, e) ||
         !read_word_cell(lines, "verdict", cells[9], kVerdictWords, "validated, parallax or empty",
                         r.verdict, e))) {
      return false;
    }
    if (!r.a_event && !r.b_event) {
      *e = lines.where() + "neither a_event nor b_event";
      return false;
    }
    rows.push_back(std::move(r));
    return true;
  };
  return read_csv_rows(path, kMostFileBytes, kColumns, kLeastColumns, row, false, error);
}
