#include "demo_truth.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "imaging/file_io.h"

namespace demo {
namespace {

constexpr const char* kTruthColumns = "frame,x,y,peak,width,kind";
constexpr std::size_t kMaxLineBytes = 1000;
// Positions, peaks and widths beyond this are no recording's.
constexpr double kMaxValue = 1.0e6;

constexpr EventKind kKinds[] = {EventKind::Flash, EventKind::FlashFade, EventKind::CosmicRay,
                                EventKind::HotPixel, EventKind::Glint};

enum class LineRead { Line, End, TooLong, Failed };

// The next line of `file` into `line`, without its '\n' or "\r\n". TooLong when it exceeds
// kMaxLineBytes (the rest of the file is left unread); Failed on a read error.
LineRead next_line(std::FILE* file, std::string& line) {
  line.clear();
  int c = std::getc(file);
  if (c == EOF) return std::ferror(file) != 0 ? LineRead::Failed : LineRead::End;
  while (c != EOF && c != '\n') {
    if (line.size() == kMaxLineBytes) return LineRead::TooLong;
    line.push_back(static_cast<char>(c));
    c = std::getc(file);
  }
  if (std::ferror(file) != 0) return LineRead::Failed;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineRead::Line;
}

// "<path>: line <n>: <what>"
std::string line_error(const char* path, int line_number, const std::string& what) {
  return std::string(path) + ": line " + std::to_string(line_number) + ": " + what;
}

// Reads the next line into `line`, counting it. False when there is none; `error` is then set
// unless the file simply ended.
bool read_line(std::FILE* file, const char* path, int& line_number, std::string& line,
               std::string* error) {
  ++line_number;
  switch (next_line(file, line)) {
    case LineRead::Line:
      return true;
    case LineRead::End:
      return false;
    case LineRead::TooLong:
      *error = line_error(path, line_number,
                          "longer than " + std::to_string(kMaxLineBytes) + " characters");
      return false;
    case LineRead::Failed:
      *error = errno_message(path, "read failed");
      return false;
  }
  return false;
}

// The whole of `text` as an integer in [lo, hi].
bool parse_whole(std::string_view text, int lo, int hi, int& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= lo && value <= hi;
}

// The whole of `text` as a finite number in [0, kMaxValue].
bool parse_real(std::string_view text, double& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value) &&
         value >= 0.0 && value <= kMaxValue;
}

bool parse_kind(std::string_view text, EventKind& kind) {
  for (const EventKind k : kKinds) {
    if (text == event_kind_name(k)) {
      kind = k;
      return true;
    }
  }
  return false;
}

// `text` cut at every `separator` (runs of blanks count as one when `separator` is ' ').
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    if (separator == ' ') {
      while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
      if (start == text.size()) return fields;
    }
    std::size_t end = start;
    while (end < text.size() && text[end] != separator && !(separator == ' ' && text[end] == '\t'))
      ++end;
    fields.push_back(text.substr(start, end - start));
    if (end == text.size()) return fields;
    start = end + 1;
  }
}

// One truth row from `line`; on failure `what` says which field is wrong.
bool parse_truth_row(std::string_view line, TruthRow& row, std::string* what) {
  const std::vector<std::string_view> f = split(line, ',');
  if (f.size() != 6) {
    *what = "not six fields frame,x,y,peak,width,kind";
    return false;
  }
  const auto bad = [&](const char* name, std::string_view text, const char* need) {
    *what = std::string(name) + " '" + std::string(text) + "': need " + need;
    return false;
  };
  if (!parse_whole(f[0], 0, kMaxTruthFrame, row.frame)) {
    return bad("frame", f[0], "a whole number from 0 to 99999");
  }
  double* const reals[] = {&row.x, &row.y, &row.peak, &row.width};
  const char* const names[] = {"x", "y", "peak", "width"};
  for (int i = 0; i < 4; ++i) {
    if (!parse_real(f[1 + i], *reals[i])) return bad(names[i], f[1 + i], "a number from 0 to 1e6");
  }
  if (!parse_kind(f[5], row.kind)) {
    return bad("kind", f[5], "flash, flash_fade, cosmic_ray, hot_pixel or glint");
  }
  return true;
}

// One flash log record from `line`; on failure `what` says which field is wrong.
bool parse_flash_record(std::string_view line, FlashReport& report, std::string* what) {
  const std::vector<std::string_view> f = split(line, ' ');
  if (f.size() < 4 || !parse_whole(f[0], 0, kMaxTruthFrame, report.frame) ||
      !parse_whole(f[1], 0, 1 << 30, report.pixels) || !parse_real(f[2], report.sample) ||
      !parse_real(f[3], report.line)) {
    *what = "not a flash record (frame, pixels, sample, line, ...)";
    return false;
  }
  return true;
}

// Opens `path` and checks that its first line starts with `columns`.
FileHandle open_with_columns(const char* path, std::string_view columns, std::string* error) {
  FileHandle file = open_text_to_read("", path, error);
  if (!file) return file;
  int line_number = 0;
  std::string line;
  if (!read_line(file.get(), path, line_number, line, error)) {
    if (error->empty()) *error = std::string(path) + ": empty, no column names";
    return nullptr;
  }
  if (line.compare(0, columns.size(), columns) != 0) {
    *error = line_error(path, 1, "not the column names " + std::string(columns));
    return nullptr;
  }
  return file;
}

// Reads every line after the column names of `path` through `parse` into `out`.
template <typename Row, typename Parse>
bool read_rows(const char* path, std::string_view columns, Parse parse, std::vector<Row>& out,
               std::string* error) {
  error->clear();
  FileHandle file = open_with_columns(path, columns, error);
  if (!file) return false;
  int line_number = 1;
  std::string line;
  std::string what;
  while (read_line(file.get(), path, line_number, line, error)) {
    if (out.size() == kMaxTruthRows) {
      *error =
          line_error(path, line_number, "more than " + std::to_string(kMaxTruthRows) + " rows");
      return false;
    }
    Row row;
    if (!parse(line, row, &what)) {
      *error = line_error(path, line_number, what);
      return false;
    }
    out.push_back(row);
  }
  return error->empty();
}

}  // namespace

const char* event_kind_name(EventKind kind) {
  switch (kind) {
    case EventKind::Flash:
      return "flash";
    case EventKind::FlashFade:
      return "flash_fade";
    case EventKind::CosmicRay:
      return "cosmic_ray";
    case EventKind::HotPixel:
      return "hot_pixel";
    case EventKind::Glint:
      return "glint";
  }
  return "";
}

bool is_single_pixel_hit(EventKind kind) {
  return kind == EventKind::CosmicRay || kind == EventKind::HotPixel;
}

bool report_matches(const FlashReport& report, const TruthRow& row, double pixels) {
  return report.frame == row.frame &&
         std::hypot(report.sample - row.x, report.line - row.y) <= pixels;
}

bool read_truth(const char* path, std::vector<TruthRow>& rows, std::string* error) {
  return read_rows(path, kTruthColumns, parse_truth_row, rows, error);
}

bool read_flash_log(const char* path, std::vector<FlashReport>& reports, std::string* error) {
  return read_rows(path, "Frame Flashes sample line", parse_flash_record, reports, error);
}

bool write_truth(const char* path, std::span<const TruthRow> rows, std::string* error) {
  const std::string part = std::string(path) + ".part";
  FileHandle file = open_file(part.c_str(), "w", error);
  if (!file) return false;
  bool written = std::fprintf(file.get(), "%s\n", kTruthColumns) >= 0;
  for (const TruthRow& r : rows) {
    written = written && std::fprintf(file.get(), "%d,%.2f,%.2f,%.1f,%.2f,%s\n", r.frame, r.x, r.y,
                                      r.peak, r.width, event_kind_name(r.kind)) >= 0;
  }
  if (!written) {
    *error = errno_message(part.c_str(), "write failed");
    return false;
  }
  if (!close_file(file, part.c_str(), error)) return false;
  if (std::rename(part.c_str(), path) != 0) {
    *error = errno_message(path, "cannot rename the finished file");
    return false;
  }
  return true;
}

}  // namespace demo
