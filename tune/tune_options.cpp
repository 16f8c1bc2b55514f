#include "tune/tune_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "imaging/frame_files.h"

namespace {

bool parse_whole(const std::string& option, const std::string& text, long long lo, long long hi,
                 std::int64_t& value, std::string* error) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || v < lo || v > hi) {
    *error = option + " " + text + ": need a whole number from " + std::to_string(lo) + " to " +
             std::to_string(hi);
    return false;
  }
  value = v;
  return true;
}

bool parse_real(const std::string& option, const std::string& text, double lo, double hi,
                double& value, std::string* error) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(v) ||
      v < lo || v > hi) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    *error = option + " " + text + ": need a number from " + range;
    return false;
  }
  value = v;
  return true;
}

bool parse_value(const std::string& option, const std::string& text, TuneOptions& options,
                 std::string* error) {
  std::int64_t whole = 0;
  if (option == "--first") {
    return parse_whole(option, text, 0, kMaxFolderFrames - 1, options.first, error);
  }
  if (option == "--count") {
    return parse_whole(option, text, 3, kMaxFolderFrames, options.count, error);
  }
  if (option == "--flashes") {
    if (!parse_whole(option, text, 1, 10000, whole, error)) return false;
    options.flashes = static_cast<int>(whole);
    return true;
  }
  if (option == "--threads") {
    if (!parse_whole(option, text, 1, 64, whole, error)) return false;
    options.threads = static_cast<int>(whole);
    return true;
  }
  if (option == "--false-alarms") {
    return parse_real(option, text, 0.0, 1e6, options.false_alarms, error);
  }
  return parse_real(option, text, 0.5, 20.0, options.psf, error);  // --psf
}

}  // namespace

bool parse_tune_arguments(std::span<const std::string> args, TuneOptions& options, bool& help,
                          std::string* error) {
  help = false;
  std::vector<std::string> positional;
  std::vector<std::string> given;  // options seen, each allowed once
  bool options_done = false;       // after "--" every argument is a name
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (options_done) {
      positional.push_back(arg);
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      help = true;
      return true;
    }
    if (arg.starts_with("--")) {
      if (std::find(given.begin(), given.end(), arg) != given.end()) {
        *error = arg + ": given twice; give each option once";
        return false;
      }
      given.push_back(arg);
    }
    if (arg == "--write") {
      options.write = true;
      continue;
    }
    if (arg == "--accept-loss") {
      options.accept_loss = true;
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--byte-order" || arg == "--depth" || arg == "--start-utc" || arg == "--out") {
      if (i + 1 >= args.size() || args[i + 1].starts_with("--")) {
        *error = arg + ": needs a value";
        return false;
      }
      const std::string& value = args[++i];
      if (arg == "--out") {
        options.out = value;
      } else if (!parse_recording_option(arg, value, options.reading, error)) {
        return false;
      }
      continue;
    }
    if (is_site_option(arg)) {
      if (i + 1 >= args.size()) {
        *error = arg + ": needs a value";
        return false;
      }
      if (!parse_site_option(arg, args[++i], options.site, error)) return false;
      continue;
    }
    if (arg != "--first" && arg != "--count" && arg != "--false-alarms" && arg != "--flashes" &&
        arg != "--psf" && arg != "--threads") {
      *error = arg + ": unknown option; " + kVeskTuneUsage;
      return false;
    }
    // A value that looks like an option is another option: this one's value was left out.
    if (i + 1 >= args.size() || args[i + 1].starts_with("--")) {
      *error = arg + ": needs a value";
      return false;
    }
    if (!parse_value(arg, args[++i], options, error)) return false;
  }
  if (!check_site_options(options.site, error)) return false;
  if (positional.size() > 1) {
    *error = positional[1] + ": only one run folder may be given; " + kVeskTuneUsage;
    return false;
  }
  // A folder is a run folder; anything else is a recording, tuned in its own run folder.
  std::error_code ec;
  if (!positional.empty() && !std::filesystem::is_directory(positional[0], ec)) {
    options.recording = positional[0];
    options.run_dir = options.out.empty()
                          ? std::filesystem::path(positional[0]).stem().string() + ".vesk"
                          : options.out;
    return true;
  }
  if (!options.out.empty() || options.reading.byte_order != ByteOrder::from_header ||
      options.reading.depth != 0 || options.reading.start_utc) {
    *error = std::string("--out, --byte-order, --depth and --start-utc need a recording; ") +
             kVeskTuneUsage;
    return false;
  }
  if (!positional.empty()) options.run_dir = positional[0];
  return true;
}
