#include "formats/decisions_csv.h"

#include <set>

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{64} << 20;
constexpr std::size_t kMostRows = 1000000;
constexpr int kMostEventNumber = 9999999;
constexpr std::int64_t kMostFrame = std::int64_t{1} << 40;

// The columns in file order; the page's export writes the same.
constexpr std::string_view kColumns[] = {"event", "frame", "utc", "decision"};
constexpr std::string_view kWords[] = {"accepted", "rejected", "undecided"};

}  // namespace

const char* decision_word(Decision decision) {
  switch (decision) {
    case Decision::accepted:
      return "accepted";
    case Decision::rejected:
      return "rejected";
    case Decision::undecided:
      break;
  }
  return "undecided";
}

std::span<const std::string_view> decisions_columns() {
  return kColumns;
}

std::string decisions_header() {
  return csv_header(kColumns);
}

std::string decisions_line(const DecisionRow& row) {
  return std::to_string(row.event) + "," + std::to_string(row.frame) + "," + row.utc + "," +
         decision_word(row.decision) + "\n";
}

bool read_decisions_csv(const std::filesystem::path& path, std::vector<DecisionRow>& rows,
                        std::string* error) {
  rows.clear();
  std::set<int> seen;
  const auto row = [&](const CsvLines& lines, const std::vector<std::string_view>& cells,
                       std::string* e) {
    if (rows.size() == kMostRows) {
      *e = lines.where() + "more than " + std::to_string(kMostRows) + " decisions";
      return false;
    }
    DecisionRow d;
    d.line = lines.line_number();
    std::string word;
    if (!read_int_cell(lines, "event", cells[0], 1, kMostEventNumber, d.event, e) ||
        !read_integer_cell(lines, "frame", cells[1], 0, kMostFrame, d.frame, e) ||
        !read_utc_cell(lines, "utc", cells[2], d.utc, e) ||
        !read_word_cell(lines, "decision", cells[3], kWords, "accepted, rejected or undecided",
                        word, e)) {
      return false;
    }
    d.decision = word == "accepted"   ? Decision::accepted
                 : word == "rejected" ? Decision::rejected
                                      : Decision::undecided;
    if (!seen.insert(d.event).second) {
      *e = lines.where() + "event " + std::to_string(d.event) + " appears twice";
      return false;
    }
    rows.push_back(std::move(d));
    return true;
  };
  // Often saved again from a spreadsheet: a byte-order mark and trailing empty lines are allowed.
  return read_csv_rows(path, kMostFileBytes, kColumns, std::size(kColumns), row,
                       /*spreadsheet_ends=*/true, error);
}
