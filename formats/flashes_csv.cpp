#include "formats/flashes_csv.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <set>

#include "formats/csv.h"

namespace {

constexpr int kMostEventNumber = 9999999;
constexpr std::int64_t kMostFrame = std::int64_t{1} << 40;
constexpr int kMostDuration = 1000000;
constexpr double kMostPosition = 1e6;
// Files of the first version have the first 17 columns.
constexpr std::size_t kLeastColumns = 17;
// A frame lists at most 100 confirmed pixels, so at most 100 clusters.
constexpr int kMaxListedClusters = 100;

using Cell = std::string_view;

// A column: its name, how its cell is written, and how it is read back.
struct FlashColumn {
  std::string_view name;
  std::string (*write)(const FlashRow& row);
  bool (*read)(const CsvLines& lines, Cell cell, FlashRow& row, std::string* error);
};

std::string two(double value) {
  return fixed_cell(value, 2);
}

bool read_position(const CsvLines& lines, std::string_view column, Cell cell, double& value,
                   std::string* error) {
  if (!read_number_cell(lines, column, cell, value, error)) return false;
  if (std::fabs(value) > kMostPosition) {
    *error = lines.where(column) + std::string(cell) + " is beyond 1000000 pixels";
    return false;
  }
  return true;
}

// A report image path relative to the run folder: letters, digits, "_.-/", no ".." part, no
// leading '/', at most 200 bytes; or empty.
bool read_report(const CsvLines& lines, Cell cell, std::string& value, std::string* error) {
  bool ok = cell.size() <= 200 && (cell.empty() || cell.front() != '/');
  for (const char c : cell) {
    ok = ok && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                c == '_' || c == '.' || c == '-' || c == '/');
  }
  if (ok) {
    for (const auto& part : std::filesystem::path(std::string(cell))) {
      if (part == "..") ok = false;
    }
  }
  if (!ok) {
    *error = lines.where("report") + quoted_cell(cell) + " is not a path inside the run folder";
    return false;
  }
  value = std::string(cell);
  return true;
}

constexpr std::string_view kSaturatedWords[] = {"0", "1"};
constexpr std::string_view kFieldsWords[] = {"", "both", "odd", "even"};
constexpr std::string_view kClassWords[] = {"flash", "moving",    "off_moon", "sunlit",
                                            "edge",  "hot_pixel", "sharp",    "scattered"};
constexpr std::string_view kRingWords[] = {"", "full", "end"};

// The table, in file order. Append new columns at the end.
const std::array<FlashColumn, 27> kColumns = {{
    {"event", [](const FlashRow& r) { return std::to_string(r.event); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_int_cell(l, "event", c, 1, kMostEventNumber, r.event, e);
     }},
    {"frame", [](const FlashRow& r) { return std::to_string(r.frame); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_integer_cell(l, "frame", c, 0, kMostFrame, r.frame, e);
     }},
    {"frames", [](const FlashRow& r) { return std::to_string(r.frames); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_int_cell(l, "frames", c, 1, kMostDuration, r.frames, e);
     }},
    {"utc", [](const FlashRow& r) { return r.utc; },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_utc_cell(l, "utc", c, r.utc, e);
     }},
    {"seconds", [](const FlashRow& r) { return fixed_cell(r.seconds, 6); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "seconds", c, r.seconds, e);
     }},
    {"x", [](const FlashRow& r) { return two(r.x); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_position(l, "x", c, r.x, e);
     }},
    {"y", [](const FlashRow& r) { return two(r.y); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_position(l, "y", c, r.y, e);
     }},
    {"peak", [](const FlashRow& r) { return two(r.peak); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_number_cell(l, "peak", c, r.peak, e);
     }},
    {"flux", [](const FlashRow& r) { return two(r.flux); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_number_cell(l, "flux", c, r.flux, e);
     }},
    {"flux_err", [](const FlashRow& r) { return two(r.flux_err); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_number_cell(l, "flux_err", c, r.flux_err, e);
     }},
    {"snr", [](const FlashRow& r) { return fixed_cell(r.snr, 2); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "snr", c, r.snr, e);
     }},
    {"m_inst", [](const FlashRow& r) { return fixed_cell(r.m_inst, 2); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "m_inst", c, r.m_inst, e);
     }},
    {"saturated", [](const FlashRow& r) { return std::string(r.saturated ? "1" : "0"); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       std::string word;
       if (!read_word_cell(l, "saturated", c, kSaturatedWords, "0 or 1", word, e)) return false;
       r.saturated = word == "1";
       return true;
     }},
    {"motion", [](const FlashRow& r) { return two(r.motion); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_number_cell(l, "motion", c, r.motion, e);
     }},
    {"fields", [](const FlashRow& r) { return r.fields; },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_word_cell(l, "fields", c, kFieldsWords, "both, odd, even or empty", r.fields, e);
     }},
    {"class", [](const FlashRow& r) { return r.event_class; },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_word_cell(l, "class", c, kClassWords,
                             "flash, moving, off_moon, sunlit, edge, hot_pixel, sharp or scattered",
                             r.event_class, e);
     }},
    {"report", [](const FlashRow& r) { return r.report; },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_report(l, c, r.report, e);
     }},
    {"fwhm", [](const FlashRow& r) { return fixed_cell(r.fwhm, 2); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "fwhm", c, r.fwhm, e);
     }},
    {"optics_fwhm", [](const FlashRow& r) { return fixed_cell(r.optics_fwhm, 2); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "optics_fwhm", c, r.optics_fwhm, e);
     }},
    {"ring", [](const FlashRow& r) { return r.ring; },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_word_cell(l, "ring", c, kRingWords, "full, end or empty", r.ring, e);
     }},
    {"lat", [](const FlashRow& r) { return fixed_cell(r.lat, 3); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "lat", c, r.lat, e);
     }},
    {"lon", [](const FlashRow& r) { return fixed_cell(r.lon, 3); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "lon", c, r.lon, e);
     }},
    {"lat_err", [](const FlashRow& r) { return fixed_cell(r.lat_err, 3); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "lat_err", c, r.lat_err, e);
     }},
    {"lon_err", [](const FlashRow& r) { return fixed_cell(r.lon_err, 3); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_optional_number_cell(l, "lon_err", c, r.lon_err, e);
     }},
    {"clusters",
     [](const FlashRow& r) { return r.clusters ? std::to_string(*r.clusters) : std::string(); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       if (c.empty()) return true;
       int value = 0;
       if (!read_int_cell(l, "clusters", c, 1, kMaxListedClusters, value, e)) return false;
       r.clusters = value;
       return true;
     }},
    {"file", [](const FlashRow& r) { return text_cell(r.file); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       return read_text_cell(l, "file", c, r.file, e);
     }},
    {"file_frame",
     [](const FlashRow& r) { return r.file_frame ? std::to_string(*r.file_frame) : std::string(); },
     [](const CsvLines& l, Cell c, FlashRow& r, std::string* e) {
       if (c.empty()) return true;
       std::int64_t value = 0;
       if (!read_integer_cell(l, "file_frame", c, 0, kMostFrame, value, e)) return false;
       r.file_frame = value;
       return true;
     }},
}};

const std::array<std::string_view, kColumns.size()> kColumnNames = [] {
  std::array<std::string_view, kColumns.size()> names{};
  for (std::size_t i = 0; i < kColumns.size(); ++i) names[i] = kColumns[i].name;
  return names;
}();

}  // namespace

std::span<const std::string_view> flashes_columns() {
  return kColumnNames;
}

std::string flashes_header() {
  return csv_header(kColumnNames);
}

std::string flashes_line(const FlashRow& row) {
  std::string line;
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (i > 0) line += ',';
    line += kColumns[i].write(row);
  }
  return line + "\n";
}

bool parse_flashes_csv(const std::string& name, std::string_view text, std::vector<FlashRow>& rows,
                       std::string* error) {
  rows.clear();
  std::set<int> seen;
  const auto row = [&](const CsvLines& lines, const std::vector<std::string_view>& cells,
                       std::string* e) {
    if (rows.size() == kMostFlashRows) {
      *e = lines.where() + "more than " + std::to_string(kMostFlashRows) + " events";
      return false;
    }
    FlashRow r;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (!kColumns[i].read(lines, cells[i], r, e)) return false;
    }
    if (!seen.insert(r.event).second) {
      *e = lines.where() + "event " + std::to_string(r.event) + " appears twice";
      return false;
    }
    rows.push_back(std::move(r));
    return true;
  };
  return parse_csv_rows(name, text, kColumnNames, kLeastColumns, row, false, error);
}

bool read_flashes_csv(const std::filesystem::path& path, std::vector<FlashRow>& rows,
                      std::string* error) {
  std::string text;
  return read_csv_file(path, kMostFlashesBytes, text, error) &&
         parse_flashes_csv(path.string(), text, rows, error);
}
