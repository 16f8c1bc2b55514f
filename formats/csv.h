// What the run folder's CSV tables share: the header built from a table's column list, cells
// written with fixed decimals, and a reader that walks a whole file's lines, splits them at
// commas and checks each cell, naming the file, the line and the column in every message
// ("flashes.csv:7: column x: 'abc' is not a number"). Only a cell of free text (a file name) is
// ever quoted, when it holds a comma or a quote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The header line of a table: its columns joined with commas, ending in "\n".
std::string csv_header(std::span<const std::string_view> columns);

// `value` with `decimals` digits after the point ("%.2f" for 2), or "" when it is not finite.
std::string fixed_cell(double value, int decimals);
std::string fixed_cell(const std::optional<double>& value, int decimals);

// printf into a string of whatever length it takes.
std::string printed(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A cell of free text: control bytes shown as \xNN (as messages show them), then put in double
// quotes, each quote doubled, when it holds a comma or a quote.
std::string text_cell(std::string_view text);

// A cell quoted for a message: at most 40 bytes, anything unprintable shown as '?'.
std::string quoted_cell(std::string_view cell);

// Reads all of the regular file `path`, at most `most_bytes`. False with `error` naming the file.
bool read_csv_file(const std::filesystem::path& path, std::size_t most_bytes, std::string& text,
                   std::string* error);

// Walks the lines of a CSV text and splits them into cells.
class CsvLines {
 public:
  // `name` names the file in messages. Lines longer than `most_line_bytes` are bad lines.
  CsvLines(std::string name, std::string_view text, std::size_t most_line_bytes = 4096);

  // For a file the user may have saved from a spreadsheet: a UTF-8 byte-order mark before the
  // first line is skipped, and empty lines at the end are the end of the text. Call it first.
  void allow_spreadsheet_ends();

  // The next line's cells; false at the end of the text (`error` left empty) or on a line that
  // is empty or too long (`error` set). A "\r" before the "\n" is dropped.
  bool next(std::vector<std::string_view>& cells, std::string* error);

  // "<name>:<line>: ", the start of a message about the current line.
  std::string where() const;
  // "<name>:<line>: column <column>: ".
  std::string where(std::string_view column) const;
  int line_number() const { return line_number_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string_view text_;
  std::size_t most_line_bytes_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
  bool spreadsheet_ends_ = false;
};

// Reads the header line. It must be `columns` joined with commas, or, for a file of an earlier
// version (columns are only ever appended), the first `used` of them with `used` at least
// `least_columns`; every line then has `used` cells.
bool check_csv_header(CsvLines& lines, std::span<const std::string_view> columns,
                      std::size_t least_columns, std::size_t& used, std::string* error);

// The line's cells must be one per column.
bool check_cell_count(const CsvLines& lines, const std::vector<std::string_view>& cells,
                      std::span<const std::string_view> columns, std::string* error);

// Cell readers: each takes the whole cell, or says on which line, in which column, what is wrong.
// A whole number in [lo, hi].
bool read_integer_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                       std::int64_t lo, std::int64_t hi, std::int64_t& value, std::string* error);
bool read_int_cell(const CsvLines& lines, std::string_view column, std::string_view cell, int lo,
                   int hi, int& value, std::string* error);
// A finite decimal number (no '+', "inf" or "nan").
bool read_number_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                      double& value, std::string* error);
// The same, or empty.
bool read_optional_number_cell(const CsvLines& lines, std::string_view column,
                               std::string_view cell, std::optional<double>& value,
                               std::string* error);
// An ISO 8601 UTC time (formats/utc.h), or empty.
bool read_utc_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                   std::string& value, std::string* error);
// The text of a cell text_cell wrote: a cell in quotes loses them and each doubled quote inside
// becomes one; a cell that starts with no quote is taken as it is. False when a quoted cell does
// not end at its closing quote.
bool unquote_text_cell(std::string_view cell, std::string& value);
// Free text as text_cell writes it: a quoted cell loses its quotes and its doubled quotes become
// one; a cell that starts with no quote is taken as it is.
bool read_text_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                    std::string& value, std::string* error);
// One of `words`; the message lists them.
bool read_word_cell(const CsvLines& lines, std::string_view column, std::string_view cell,
                    std::span<const std::string_view> words, std::string_view listed,
                    std::string& value, std::string* error);

// What a table's reader does with each line after the header: takes the line's cells (one per
// column of the file's header) or says what is wrong (false with `error`).
using CsvRowReader = std::function<bool(
    const CsvLines& lines, const std::vector<std::string_view>& cells, std::string* error)>;

// Reads a table from `text` (named `name`): its header (check_csv_header with `columns` and
// `least_columns`), then every line with as many cells as the header has, handed to `row` in
// order. `used`, when given, receives the number of columns of the file. False with `error` at
// the first bad line.
// `spreadsheet_ends` lets the text start with a UTF-8 byte-order mark and end in empty lines, as a
// file saved again from a spreadsheet does.
bool parse_csv_rows(const std::string& name, std::string_view text,
                    std::span<const std::string_view> columns, std::size_t least_columns,
                    const CsvRowReader& row, bool spreadsheet_ends, std::string* error);
// The same for the whole file at `path`, at most `most_bytes`.
bool read_csv_rows(const std::filesystem::path& path, std::size_t most_bytes,
                   std::span<const std::string_view> columns, std::size_t least_columns,
                   const CsvRowReader& row, bool spreadsheet_ends, std::string* error);
