#include "formats/run_info.h"

#include <array>
#include <ctime>
#include <utility>

#include "imaging/file_io.h"

namespace {

constexpr const char* kRunInfoName = "run.txt";

std::array<std::pair<const char*, std::string RunInfo::*>, 8> fields() {
  return {{{"Program", &RunInfo::program},
           {"Version", &RunInfo::version},
           {"Commit", &RunInfo::commit},
           {"Recording", &RunInfo::recording},
           {"Recording_id", &RunInfo::recording_id},
           {"Options", &RunInfo::options},
           {"Started", &RunInfo::started},
           {"Ended", &RunInfo::ended}}};
}

// A value on one line: line breaks in a name or an option would start a new key.
std::string one_line(const std::string& value) {
  std::string text;
  for (const char c : value) text += (c == '\n' || c == '\r') ? ' ' : c;
  return text;
}

}  // namespace

std::string format_run_info(const RunInfo& info) {
  std::string text;
  for (const auto& [key, member] : fields()) {
    text += std::string(key) + "= " + one_line(info.*member) + "\n";
  }
  return text;
}

bool parse_run_info(const std::string& text, RunInfo& info, std::string* error) {
  info = RunInfo{};
  std::array<bool, 8> seen{};
  int line_number = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      *error = std::string(kRunInfoName) + " line " + std::to_string(line_number) +
               ": no \"key= value\"";
      return false;
    }
    const std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    const auto all = fields();
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (key != all[i].first) continue;
      if (seen[i]) {
        *error = std::string(kRunInfoName) + " line " + std::to_string(line_number) + ": " + key +
                 " given twice";
        return false;
      }
      seen[i] = true;
      info.*(all[i].second) = value;
    }
  }
  return true;
}

bool read_run_info(const std::filesystem::path& dir, RunInfo& info, bool* missing,
                   std::string* error) {
  std::string message;
  FileHandle file = open_regular_file(dir, kRunInfoName, missing, &message);
  if (!file) {
    if (missing == nullptr || !*missing) *error = message;
    return false;
  }
  std::string text;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
    if (text.size() > (1u << 20)) {
      *error = std::string(kRunInfoName) + ": longer than 1 MiB; not a run record";
      return false;
    }
  }
  if (std::ferror(file.get()) != 0) {
    *error = errno_message(kRunInfoName, "cannot read");
    return false;
  }
  return parse_run_info(text, info, error);
}

bool write_run_info(const std::filesystem::path& dir, const RunInfo& info, std::string* error) {
  return replace_text_file_in(dir, kRunInfoName, format_run_info(info), error);
}

std::string run_info_time_now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
