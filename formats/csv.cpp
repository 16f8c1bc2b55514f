#include "formats/csv.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "base/message.h"
#include "formats/utc.h"
#include "imaging/file_io.h"

std::string csv_header(std::span<const std::string_view> columns) {
  std::string header;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) header += ',';
    header += columns[i];
  }
  return header + "\n";
}

std::string fixed_cell(double value, int decimals) {
  if (!std::isfinite(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string fixed_cell(const std::optional<double>& value, int decimals) {
  return value ? fixed_cell(*value, decimals) : "";
}

std::string printed(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(again);
  return text;
}

std::string text_cell(std::string_view text) {
  const std::string shown = escaped_text(text);
  if (shown.find_first_of(",\"") == std::string::npos) return shown;
  std::string cell = "\"";
  for (const char c : shown) {
    cell += c;
    if (c == '"') cell += '"';
  }
  return cell + "\"";
}

std::string quoted_cell(std::string_view cell) {
  std::string out = "'";
  for (std::size_t i = 0; i < cell.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(cell[i]);
    out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  }
  if (cell.size() > 40) out += "...";
  return out + "'";
}

bool read_csv_file(const std::filesystem::path& path, std::size_t most_bytes, std::string& text,
                   std::string* error) {
  const std::string name = path.string();
  FileHandle file = open_text_to_read("", name.c_str(), error);
  if (!file) return false;
  text.clear();
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    if (got == 0) break;
    if (text.size() + got > most_bytes) {
      *error = name + ": larger than " + std::to_string(most_bytes >> 20) + " MiB";
      return false;
    }
    text.append(buffer, got);
  }
  if (std::ferror(file.get()) != 0) {
    *error = errno_message(name.c_str(), "read failed");
    return false;
  }
  return true;
}

CsvLines::CsvLines(std::string name, std::string_view text, std::size_t most_line_bytes)
    : name_(std::move(name)), text_(text), most_line_bytes_(most_line_bytes) {}

void CsvLines::allow_spreadsheet_ends() {
  if (pos_ == 0 && text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
  spreadsheet_ends_ = true;
}

bool CsvLines::next(std::vector<std::string_view>& cells, std::string* error) {
  error->clear();
  if (spreadsheet_ends_ && text_.find_first_not_of("\r\n", pos_) == std::string_view::npos) {
    pos_ = text_.size();
  }
  if (pos_ >= text_.size()) return false;
  std::size_t end = text_.find('\n', pos_);
  if (end == std::string_view::npos) end = text_.size();
  std::string_view line = text_.substr(pos_, end - pos_);
  pos_ = end + 1;
  ++line_number_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() > most_line_bytes_) {
    *error = where() + "longer than " + std::to_string(most_line_bytes_) + " bytes";
    return false;
  }
  if (line.empty()) {
    *error = where() + "empty line";
    return false;
  }
  cells.clear();
  std::size_t start = 0;
  for (;;) {
    // A quoted cell runs to its closing quote (a doubled quote inside it is not one).
    std::size_t from = start;
    if (from < line.size() && line[from] == '"') {
      ++from;
      while (from < line.size()) {
        if (line[from] != '"') {
          ++from;
        } else if (from + 1 < line.size() && line[from + 1] == '"') {
          from += 2;
        } else {
          ++from;
          break;
        }
      }
    }
    const std::size_t comma = line.find(',', from);
    if (comma == std::string_view::npos) {
      cells.push_back(line.substr(start));
      break;
    }
    cells.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
  return true;
}

std::string CsvLines::where() const {
  return name_ + ":" + std::to_string(line_number_) + ": ";
}

std::string CsvLines::where(std::string_view column) const {
  return where() + "column " + std::string(column) + ": ";
}

bool check_csv_header(CsvLines& lines, std::span<const std::string_view> columns,
                      std::size_t least_columns, std::size_t& used, std::string* error) {
  std::string header = csv_header(columns);
  header.pop_back();
  std::vector<std::string_view> cells;
  if (!lines.next(cells, error)) {
    if (error->empty()) *error = lines.name() + ": empty file; the first line must be " + header;
    return false;
  }
  used = cells.size();
  const bool known = used >= least_columns && used <= columns.size() &&
                     std::equal(cells.begin(), cells.end(), columns.begin());
  if (!known) {
    std::string joined;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) joined += ',';
      joined += cells[i];
    }
    *error = lines.where() + "header is " + quoted_cell(joined) + ", not " + header;
    return false;
  }
  return true;
}

bool check_cell_count(const CsvLines& lines, const std::vector<std::string_view>& cells,
                      std::span<const std::string_view> columns, std::string* error) {
  if (cells.size() != columns.size()) {
    std::string header = csv_header(columns);
    header.pop_back();
    *error = lines.where() + std::to_string(cells.size()) + " cells, " +
             std::to_string(columns.size()) + " expected (" + header + ")";
    return false;
  }
  return true;
}

bool read_integer_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                       std::int64_t lo, std::int64_t hi, std::int64_t& value, std::string* error) {
  const char* first = cell.data();
  const char* last = cell.data() + cell.size();
  const auto [end, ec] = std::from_chars(first, last, value);
  if (cell.empty() || ec != std::errc() || end != last) {
    *error = lines.where(column) + quoted_cell(cell) + " is not a whole number";
    return false;
  }
  if (value < lo || value > hi) {
    *error = lines.where(column) + std::string(cell) + " is outside " + std::to_string(lo) +
             " to " + std::to_string(hi);
    return false;
  }
  return true;
}

bool read_int_cell(const CsvLines& lines, std::string_view column, std::string_view cell, int lo,
                   int hi, int& value, std::string* error) {
  std::int64_t wide = 0;
  if (!read_integer_cell(lines, column, cell, lo, hi, wide, error)) return false;
  value = static_cast<int>(wide);
  return true;
}

bool read_number_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                      double& value, std::string* error) {
  const char* first = cell.data();
  const char* last = cell.data() + cell.size();
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (cell.empty() || ec != std::errc() || end != last || !std::isfinite(value)) {
    *error = lines.where(column) + quoted_cell(cell) + " is not a number";
    return false;
  }
  return true;
}

bool read_optional_number_cell(const CsvLines& lines, std::string_view column,
                               std::string_view cell, std::optional<double>& value,
                               std::string* error) {
  value.reset();
  if (cell.empty()) return true;
  double v = 0.0;
  if (!read_number_cell(lines, column, cell, v, error)) return false;
  value = v;
  return true;
}

bool read_utc_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                   std::string& value, std::string* error) {
  UtcTime parsed;
  if (!cell.empty() && !parse_utc(cell, parsed)) {
    *error = lines.where(column) + quoted_cell(cell) + " is not an ISO 8601 time";
    return false;
  }
  value = std::string(cell);
  return true;
}

bool unquote_text_cell(std::string_view cell, std::string& value) {
  if (cell.empty() || cell.front() != '"') {
    value = std::string(cell);
    return true;
  }
  value.clear();
  std::size_t at = 1;
  while (at < cell.size()) {
    if (cell[at] != '"') {
      value += cell[at++];
    } else if (at + 1 < cell.size() && cell[at + 1] == '"') {
      value += '"';
      at += 2;
    } else {
      break;
    }
  }
  return at + 1 == cell.size();
}

bool read_text_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                    std::string& value, std::string* error) {
  if (unquote_text_cell(cell, value)) return true;
  *error = lines.where(column) + quoted_cell(cell) +
           " is not a quoted text (\"...\" with \"\" for a quote)";
  return false;
}

bool read_word_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                    std::span<const std::string_view> words, std::string_view listed,
                    std::string& value, std::string* error) {
  if (std::find(words.begin(), words.end(), cell) == words.end()) {
    *error = lines.where(column) + quoted_cell(cell) + " is not " + std::string(listed);
    return false;
  }
  value = std::string(cell);
  return true;
}

bool parse_csv_rows(const std::string& name, std::string_view text,
                    std::span<const std::string_view> columns, std::size_t least_columns,
                    const CsvRowReader& row, bool spreadsheet_ends, std::string* error) {
  CsvLines lines(name, text);
  if (spreadsheet_ends) lines.allow_spreadsheet_ends();
  std::size_t used = 0;
  if (!check_csv_header(lines, columns, least_columns, used, error)) return false;
  const std::span<const std::string_view> in_file = columns.first(used);
  std::vector<std::string_view> cells;
  while (lines.next(cells, error)) {
    if (!check_cell_count(lines, cells, in_file, error) || !row(lines, cells, error)) return false;
  }
  return error->empty();
}

bool read_csv_rows(const std::filesystem::path& path, std::size_t most_bytes,
                   std::span<const std::string_view> columns, std::size_t least_columns,
                   const CsvRowReader& row, bool spreadsheet_ends, std::string* error) {
  std::string text;
  return read_csv_file(path, most_bytes, text, error) &&
         parse_csv_rows(path.string(), text, columns, least_columns, row, spreadsheet_ends, error);
}
