#include "sources/recording.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "formats/utc.h"
#include "sources/fits_source.h"
#include "sources/ser_reader.h"
#include "sources/ser_source.h"
#include "sources/video_source.h"

namespace {

bool parse_count(const std::string& text, std::int64_t smallest, std::int64_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= smallest;
}

// A finite number, the whole text.
bool parse_number(const std::string& text, double& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end && std::isfinite(value);
}

}  // namespace

bool is_recording_option(const std::string& option) {
  return option == "--first" || option == "--count" || option == "--byte-order" ||
         option == "--depth" || option == "--start-utc" || option == "--range" || option == "--fps";
}

bool parse_recording_option(const std::string& option, const std::string& value,
                            RecordingOptions& options, std::string* error) {
  if (option == "--first") {
    if (!parse_count(value, 0, options.first)) {
      *error = "--first: \"" + value + "\" is not a whole number of 0 or more";
      return false;
    }
    // Frame numbers stay far from overflow when counts are added to them.
    if (options.first > std::numeric_limits<std::int32_t>::max()) {
      *error = "--first: " + std::to_string(options.first) + " is past any recording";
      return false;
    }
    return true;
  }
  if (option == "--count") {
    if (!parse_count(value, 1, options.count)) {
      *error = "--count: \"" + value + "\" is not a whole number of 1 or more";
      return false;
    }
    return true;
  }
  if (option == "--byte-order") {
    if (value != "little" && value != "big") {
      *error = "--byte-order: \"" + value + "\" is not little or big";
      return false;
    }
    options.byte_order = value == "little" ? ByteOrder::little : ByteOrder::big;
    return true;
  }
  if (option == "--depth") {
    std::int64_t depth = 0;
    if (!parse_count(value, 8, depth) || depth > 16) {
      *error = "--depth: \"" + value + "\" is not a whole number from 8 to 16";
      return false;
    }
    options.depth = static_cast<int>(depth);
    return true;
  }
  if (option == "--start-utc") {
    std::int64_t ticks = 0;
    if (!parse_utc_text(value, ticks)) {
      *error = "--start-utc: \"" + value + "\" is not a UTC time such as 2024-03-15T21:04:05.25Z";
      return false;
    }
    // A clock outside these years is a typing slip; later frames would run past any UTC text.
    std::int64_t earliest = 0;
    std::int64_t latest = 0;
    if (!parse_utc_text("1990-01-01T00:00:00Z", earliest) ||
        !parse_utc_text("2101-01-01T00:00:00Z", latest) || ticks < earliest || ticks >= latest) {
      *error = "--start-utc: " + value + " is outside the years 1990 to 2100";
      return false;
    }
    options.start_utc = ticks;
    return true;
  }
  if (option == "--range") {
    const std::size_t comma = value.find(',');
    double low = 0;
    double high = 0;
    if (comma == std::string::npos || !parse_number(value.substr(0, comma), low) ||
        !parse_number(value.substr(comma + 1), high) || !(low < high)) {
      *error = "--range: \"" + value + "\" is not two numbers LO,HI with LO below HI";
      return false;
    }
    options.range = std::pair{low, high};
    return true;
  }
  if (option == "--fps") {
    double fps = 0;
    if (!parse_number(value, fps) || !(fps > 0) || fps > 1e6) {
      *error = "--fps: \"" + value + "\" is not a frame rate above 0 and up to 1000000";
      return false;
    }
    options.fps = fps;
    return true;
  }
  *error = option + ": not a recording option";
  return false;
}

bool check_recording_kind(const std::string& path, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) ||
                                           S_ISBLK(info.st_mode) || S_ISSOCK(info.st_mode))) {
    *error = path + ": not a regular file; a recording is read from a file";
    return false;
  }
  return true;
}

std::unique_ptr<FrameSource> open_recording(const std::string& path,
                                            const RecordingOptions& options,
                                            std::vector<std::string>& notices, std::string* error) {
  // A FIFO or a device would block the open or never end: refused before anything opens it.
  if (!check_recording_kind(path, error)) return nullptr;
  bool is_fits = false;
  if (!is_fits_recording(path, is_fits, error)) return nullptr;
  if (is_fits) return open_fits_source(path, options, notices, error);
  bool is_ser = false;
  if (!is_ser_recording(path, is_ser, error)) return nullptr;
  return is_ser ? open_ser_source(path, options, notices, error)
                : open_video_source(path, options, notices, error);
}
