// Fuzzes the review page's readers with any bytes as the run folder's flashes.csv,
// lightcurves.csv and decisions.csv (the input's parts, split at its first two zero bytes; a part
// that is not there leaves its file out), then checks what write_review_page answers: one line
// naming a file on failure; on success a page whose embedded data cannot end its script early.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "review/review_page.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

namespace {

bool one_line(const std::string& text) {
  return !text.empty() && text.find('\n') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  const char* names[] = {"run/flashes.csv", "run/lightcurves.csv", "run/decisions.csv"};
  std::span<const std::uint8_t> rest(data, size);
  for (int part = 0; part < 3 && (part == 0 || !rest.empty()); ++part) {
    std::size_t end = 0;
    while (end < rest.size() && (part == 2 || rest[end] != 0)) ++end;
    write_fuzz_file(names[part], rest.first(end));
    rest = rest.subspan(end == rest.size() ? end : end + 1);
  }

  ReviewPageResult result;
  std::string error;
  const std::filesystem::path run = fuzz_folder() / "run";
  const bool ok = write_review_page(run, result, &error);
  const std::string named = (run / "").string();  // every message names a file of the run
  for (const std::string& notice : result.notices) {
    if (!one_line(notice) || notice.rfind(named, 0) != 0) std::abort();
  }
  if (!ok) {
    if (!one_line(error) || error.rfind(named, 0) != 0) std::abort();
    return 0;
  }
  // The data file is one call with two arrays of single-quoted string pieces, a piece to a line:
  // inside a piece every backslash starts an escape and no quote, line end or U+2028/9 stands
  // alone (nothing ends a piece early), and the call ends the file.
  std::FILE* page = std::fopen((run / "review/events.js").c_str(), "rb");
  if (page == nullptr) std::abort();
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, page)) > 0;) {
    text.append(buffer, got);
  }
  std::fclose(page);
  const std::string_view open = "\nveskReview([\n";
  const std::size_t from = text.find(open);
  if (from == std::string::npos || !text.ends_with("\n]);\n")) std::abort();
  int arrays = 1;
  for (std::size_t at = from + open.size(); at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) std::abort();
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (line == "]," || line == "]);") continue;
    if (line == "[") {
      ++arrays;
      continue;
    }
    const std::size_t close = line.ends_with("',") ? line.size() - 2 : line.size() - 1;
    if (line.size() < 2 || line.front() != '\'' || line[close] != '\'') std::abort();
    for (std::size_t i = 1; i < close; ++i) {
      if (line[i] == '\'' || line[i] == '\r' || line.substr(i, 3) == "\xE2\x80\xA8" ||
          line.substr(i, 3) == "\xE2\x80\xA9") {
        std::abort();
      }
      if (line[i] == '\\' &&
          (++i == close || std::string_view("\\'nu").find(line[i]) == std::string_view::npos)) {
        std::abort();
      }
    }
  }
  if (arrays != 2) std::abort();
  return 0;
}
