#include "control/command_line.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

namespace {

bool parse_threads(const std::string& text, int& threads) {
  const char* end = text.data() + text.size();
  int value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 0 || value > kMostThreads) return false;
  threads = value;
  return true;
}

// "512M", "2G", "100000K" or a plain number of bytes.
bool parse_memory_size(const std::string& text, std::uint64_t& bytes) {
  if (text.empty()) return false;
  std::uint64_t unit = 1;
  std::string digits = text;
  const char last = digits.back();
  if (last == 'K' || last == 'k') unit = std::uint64_t{1} << 10;
  if (last == 'M' || last == 'm') unit = std::uint64_t{1} << 20;
  if (last == 'G' || last == 'g') unit = std::uint64_t{1} << 30;
  if (unit != 1) digits.pop_back();
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
  if (ec != std::errc() || ptr != end || digits.empty() || value == 0 ||
      value > UINT64_MAX / unit) {
    return false;
  }
  bytes = value * unit;
  return true;
}

// A plain decimal number (digits, at most one point) from kLeastPsf to kMostPsf.
bool parse_psf(const std::string& text, double& psf) {
  const char* end = text.data() + text.size();
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (ec != std::errc() || ptr != end || !(value >= kLeastPsf) || !(value <= kMostPsf)) {
    return false;
  }
  psf = value;
  return true;
}

// Seconds of --idle: a plain decimal number above 0, at most a day.
bool parse_idle(const std::string& text, double& seconds) {
  const char* end = text.data() + text.size();
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (ec != std::errc() || ptr != end || !(value > 0.0) || !(value <= 86400.0)) return false;
  seconds = value;
  return true;
}

}  // namespace

bool parse_command_line(std::span<const std::string> args, CommandLine& line, std::string* error) {
  line = CommandLine{};
  std::string needs_recording;     // the first option given that applies to a recording only
  std::vector<std::string> given;  // options seen, each allowed once
  bool options_done = false;       // after "--" every argument is a recording name
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i > 0) line.options += ' ';
    line.options += arg;
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (options_done) {
      if (arg.empty()) {
        *error = "\"\": not a recording name; " + std::string(kVeskUsage);
        return false;
      }
      if (!line.recording.empty()) {
        *error = arg + ": one recording at most (" + line.recording + " is given); " + kVeskUsage;
        return false;
      }
      line.recording = arg;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      if (std::find(given.begin(), given.end(), arg) != given.end()) {
        *error = arg + ": given twice; give each option once";
        return false;
      }
      given.push_back(arg);
    }
    if (arg == "-h" || arg == "--help") {
      line.help = true;
      return true;
    }
    if (arg.empty()) {
      *error = "\"\": not a recording name; " + std::string(kVeskUsage);
      return false;
    }
    if (arg[0] != '-' || arg == "-") {
      if (line.recording.empty()) line.recording = arg;
      line.recordings.push_back(arg);
      continue;
    }
    if (arg == "--no-menu" || arg == "--quiet") {
      (arg == "--no-menu" ? line.no_menu : line.quiet) = true;
      continue;
    }
    if (arg == "--follow") {
      line.follow = true;
      if (needs_recording.empty()) needs_recording = arg;
      continue;
    }
    if (arg == "--replace") {
      line.replace = true;
      if (needs_recording.empty()) needs_recording = arg;
      continue;
    }
    if (arg != "--out" && arg != "--threads" && arg != "--psf" && arg != "--max-memory" &&
        arg != "--max-reports" && arg != "--idle" && arg != "--mask" &&
        !is_recording_option(arg) && !is_site_option(arg)) {
      *error = arg + ": unknown option; " + kVeskUsage;
      return false;
    }
    // A value that looks like an option is another option: this one's value was left out.
    if (i + 1 == args.size() || args[i + 1].starts_with("--")) {
      *error = arg + ": needs a value";
      return false;
    }
    const std::string& value = args[++i];
    line.options += ' ';
    line.options += value;
    if (arg == "--max-memory") {
      if (!parse_memory_size(value, line.max_memory)) {
        *error =
            "--max-memory: \"" + value + "\" is not a size such as 512M or 2G (bytes, or K, M, G)";
        return false;
      }
      continue;
    }
    if (arg == "--max-reports") {
      const char* end = value.data() + value.size();
      std::int64_t most = 0;
      const auto [ptr, ec] = std::from_chars(value.data(), end, most);
      if (ec != std::errc() || ptr != end || most < 0) {
        *error = "--max-reports: \"" + value + "\" is not a whole number of 0 or more";
        return false;
      }
      line.max_reports = most;
      continue;
    }
    if (arg == "--threads") {
      if (!parse_threads(value, line.threads)) {
        *error = "--threads: \"" + value + "\" is not a whole number from 0 to " +
                 std::to_string(kMostThreads);
        return false;
      }
      continue;
    }
    if (arg == "--psf") {
      if (!parse_psf(value, line.psf)) {
        *error = "--psf: \"" + value + "\" is not a width in pixels from 0.5 to 20";
        return false;
      }
      continue;
    }
    if (needs_recording.empty()) needs_recording = arg;
    if (arg == "--idle") {
      if (!parse_idle(value, line.idle_seconds)) {
        *error = "--idle: \"" + value + "\" is not a number of seconds above 0 and up to 86400";
        return false;
      }
      continue;
    }
    if (arg == "--mask") {
      if (value.empty()) {
        *error = "--mask: \"\" is not a file name";
        return false;
      }
      line.mask = value;
      continue;
    }
    if (arg == "--out") {
      if (value.empty()) {
        *error = "--out: \"\" is not a folder name";
        return false;
      }
      line.out = value;
      continue;
    }
    if (is_site_option(arg)) {
      if (!parse_site_option(arg, value, line.site, error)) return false;
      continue;
    }
    if (!parse_recording_option(arg, value, line.reading, error)) return false;
  }
  if (!check_site_options(line.site, error)) return false;
  if (line.recording.empty() && !needs_recording.empty()) {
    *error = needs_recording + ": only with a recording; " + kVeskUsage;
    return false;
  }
  if (std::find(given.begin(), given.end(), "--idle") != given.end() && !line.follow) {
    *error = "--idle: only with --follow; " + std::string(kVeskUsage);
    return false;
  }
  if (line.follow && line.recordings.size() > 1) {
    *error = "--follow: one recording (" + line.recording +
             "); the files after it are followed by their numbers";
    return false;
  }
  if (line.follow && line.site.site_known) {
    *error =
        "--site: not with --follow; the frame times a place needs come with the file's close, "
        "so run vesk over the finished recording for places on the Moon";
    return false;
  }
  return true;
}

std::filesystem::path run_folder_of(const CommandLine& line) {
  if (!line.out.empty()) return line.out;
  if (line.recording.empty()) return ".";
  const std::string name = std::filesystem::path(line.recording).stem().string();
  // A name with nothing to keep ("dir/", "..") still gets a folder of its own.
  return (name.empty() || name == "." || name == ".." ? std::string("recording") : name) + ".vesk";
}
