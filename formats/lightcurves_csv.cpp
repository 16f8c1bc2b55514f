#include "formats/lightcurves_csv.h"

#include <set>
#include <utility>

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{256} << 20;
constexpr int kMostEventNumber = 9999999;
constexpr std::int64_t kMostFrame = std::int64_t{1} << 40;

// The columns in file order. Append new ones at the end, with their cell in lightcurves_line and
// in the reader.
constexpr std::string_view kColumns[] = {"event", "frame", "offset", "flux", "flux_err", "peak"};
constexpr std::size_t kLeastColumns = 6;

}  // namespace

std::span<const std::string_view> lightcurves_columns() {
  return kColumns;
}

std::string lightcurves_header() {
  return csv_header(kColumns);
}

std::string lightcurves_line(const LightCurveRow& row) {
  return std::to_string(row.event) + "," + (row.frame ? std::to_string(*row.frame) : "") + "," +
         std::to_string(row.offset) + "," + fixed_cell(row.flux, 2) + "," +
         fixed_cell(row.flux_err, 2) + "," + fixed_cell(row.peak, 2) + "\n";
}

bool read_lightcurves_csv(const std::filesystem::path& path, const std::vector<FlashRow>& events,
                          std::vector<LightCurveRow>& rows, std::string* error) {
  rows.clear();
  std::set<int> known;
  for (const FlashRow& e : events) known.insert(e.event);
  std::set<std::pair<int, int>> seen;
  const auto row = [&](const CsvLines& lines, const std::vector<std::string_view>& cells,
                       std::string* e) {
    LightCurveRow p;
    if (!read_int_cell(lines, "event", cells[0], 1, kMostEventNumber, p.event, e)) return false;
    if (!cells[1].empty()) {
      std::int64_t frame = 0;
      if (!read_integer_cell(lines, "frame", cells[1], -kMostFrame, kMostFrame, frame, e)) {
        return false;
      }
      p.frame = frame;
    }
    if (!read_int_cell(lines, "offset", cells[2], kCurveFirstOffset, kCurveLastOffset, p.offset,
                       e) ||
        !read_optional_number_cell(lines, "flux", cells[3], p.flux, e) ||
        !read_optional_number_cell(lines, "flux_err", cells[4], p.flux_err, e) ||
        !read_optional_number_cell(lines, "peak", cells[5], p.peak, e)) {
      return false;
    }
    if (known.count(p.event) == 0) {
      *e = lines.where() + "event " + std::to_string(p.event) + " is not in flashes.csv";
      return false;
    }
    if (!seen.insert({p.event, p.offset}).second) {
      *e = lines.where() + "event " + std::to_string(p.event) + " offset " +
           std::to_string(p.offset) + " appears twice";
      return false;
    }
    rows.push_back(p);
    return true;
  };
  return read_csv_rows(path, kMostFileBytes, kColumns, kLeastColumns, row, false, error);
}
