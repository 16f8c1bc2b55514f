// vesk-match A/flashes.csv B/flashes.csv [--window SECONDS]
// Pairs the events of two flash catalogues, e.g. of two telescopes watching the Moon on the same
// night: every pair whose UTC times differ by at most the window (0.1 s unless given), as CSV
// `a_event,b_event,dt,a_class,b_class,a_peak,b_peak` on standard output, dt = B's time minus
// A's in seconds, in the order of A's events and then B's. A catalogue whose events have no UTC
// time (its run folder had no frame_times.csv) is refused with one line on standard error and
// exit status 1; bad options give one line and exit status 2.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/frame_times.h"
#include "imaging/file_io.h"

namespace {

constexpr double kDefaultWindow = 0.1;
constexpr double kMostWindow = 86400.0;
constexpr std::size_t kMostLineBytes = 4096;
constexpr std::size_t kMostEvents = 1000000;
constexpr const char* kUsage = "usage: vesk-match A/flashes.csv B/flashes.csv [--window SECONDS]";

struct Event {
  std::string number;
  UtcTime utc;
  std::string verdict;
  std::string peak;
  double seconds = 0.0;  // from the common reference time
};

std::vector<std::string> split(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = line.find(',', at);
    fields.emplace_back(line.substr(at, comma == std::string_view::npos ? comma : comma - at));
    if (comma == std::string_view::npos) return fields;
    at = comma + 1;
  }
}

bool whole_number(const std::string& text) {
  return !text.empty() && text.size() <= 12 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads the events of catalogue `path`. False with `error` (one line naming the file) when it
// cannot be read, is not a flashes.csv, or has an event without a UTC time.
bool read_catalogue(const char* path, std::vector<Event>& events, std::string& error) {
  FileHandle file = open_text_to_read("", path, error);
  if (!file) return false;
  const std::string name(path);
  char text[kMostLineBytes + 2];
  std::size_t number = 0;
  std::size_t columns = 0;
  std::size_t event_at = 0;
  std::size_t utc_at = 0;
  std::size_t class_at = 0;
  std::size_t peak_at = 0;
  while (std::fgets(text, sizeof text, file.get()) != nullptr) {
    ++number;
    const std::string where = name + ": line " + std::to_string(number) + ": ";
    std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') {
      --length;
    } else if (length == sizeof text - 1) {
      error = where + "longer than " + std::to_string(kMostLineBytes) + " bytes";
      return false;
    }
    if (length > 0 && text[length - 1] == '\r') --length;
    const std::vector<std::string> fields = split(std::string_view(text, length));
    if (number == 1) {
      const auto column = [&](const char* wanted, std::size_t& at) {
        const auto it = std::find(fields.begin(), fields.end(), wanted);
        at = static_cast<std::size_t>(it - fields.begin());
        return it != fields.end();
      };
      if (!column("event", event_at) || !column("utc", utc_at) || !column("class", class_at) ||
          !column("peak", peak_at)) {
        error = where + "not the header of a flashes.csv (it needs event, utc, class and peak)";
        return false;
      }
      columns = fields.size();
      continue;
    }
    if (length == 0) continue;
    if (fields.size() != columns) {
      error = where + std::to_string(fields.size()) + " fields where the header has " +
              std::to_string(columns);
      return false;
    }
    if (events.size() == kMostEvents) {
      error = name + ": more than " + std::to_string(kMostEvents) + " events";
      return false;
    }
    Event e;
    e.number = fields[event_at];
    if (!whole_number(e.number)) {
      error = where + "event \"" + e.number + "\" is not an event number";
      return false;
    }
    if (fields[utc_at].empty()) {
      error = name + ": event " + e.number + " has no UTC time (line " + std::to_string(number) +
              "); vesk-match needs the times of the run folder's frame_times.csv";
      return false;
    }
    if (!parse_utc(fields[utc_at], e.utc)) {
      error = where + "utc \"" + fields[utc_at] + "\" is not a time like 2024-03-15T21:04:05.12Z";
      return false;
    }
    e.verdict = fields[class_at];
    e.peak = fields[peak_at];
    events.push_back(std::move(e));
  }
  if (std::ferror(file.get())) {
    error = errno_message(path, "read failed");
    return false;
  }
  if (number == 0) {
    error = name + ": empty; not a flashes.csv";
    return false;
  }
  return true;
}

// The window from the text after --window; false when it is not a number of seconds above 0.
bool parse_window(const char* text, double& window) {
  char* end = nullptr;
  errno = 0;
  window = std::strtod(text, &end);
  return *text != '\0' && *end == '\0' && errno == 0 && std::isfinite(window) && window > 0.0 &&
         window <= kMostWindow;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> files;
  double window = kDefaultWindow;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n", kUsage);
      return 0;
    }
    if (arg == "--window") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vesk-match: --window needs a number of seconds\n");
        return 2;
      }
      if (!parse_window(argv[++i], window)) {
        std::fprintf(
            stderr, "vesk-match: --window \"%s\": not a number of seconds above 0 and up to %.0f\n",
            argv[i], kMostWindow);
        return 2;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "vesk-match: unknown option %s; %s\n", arg.c_str(), kUsage);
      return 2;
    }
    files.push_back(argv[i]);
  }
  if (files.size() != 2) {
    std::fprintf(stderr, "vesk-match: two catalogues needed, %zu given; %s\n", files.size(),
                 kUsage);
    return 2;
  }

  std::vector<Event> a;
  std::vector<Event> b;
  std::string error;
  if (!read_catalogue(files[0], a, error) || !read_catalogue(files[1], b, error)) {
    std::fprintf(stderr, "vesk-match: %s\n", error.c_str());
    return 1;
  }

  // Times as seconds from one reference, so that pairs are found in B sorted by time.
  const UtcTime reference = !a.empty() ? a.front().utc : (!b.empty() ? b.front().utc : UtcTime{});
  for (Event& e : a) e.seconds = seconds_between(reference, e.utc);
  for (Event& e : b) e.seconds = seconds_between(reference, e.utc);
  std::vector<std::size_t> by_time(b.size());
  for (std::size_t i = 0; i < by_time.size(); ++i) by_time[i] = i;
  std::stable_sort(by_time.begin(), by_time.end(),
                   [&](std::size_t x, std::size_t y) { return b[x].seconds < b[y].seconds; });

  // A window met exactly still pairs, whatever the rounding of the times' difference.
  const double reach = window + 1e-9;
  std::printf("a_event,b_event,dt,a_class,b_class,a_peak,b_peak\n");
  for (const Event& ea : a) {
    auto it = std::lower_bound(by_time.begin(), by_time.end(), ea.seconds - reach,
                               [&](std::size_t i, double t) { return b[i].seconds < t; });
    std::vector<std::size_t> paired;
    for (; it != by_time.end() && b[*it].seconds <= ea.seconds + reach; ++it) paired.push_back(*it);
    std::sort(paired.begin(), paired.end());
    for (const std::size_t i : paired) {
      const Event& eb = b[i];
      std::printf("%s,%s,%.6f,%s,%s,%s,%s\n", ea.number.c_str(), eb.number.c_str(),
                  seconds_between(ea.utc, eb.utc), ea.verdict.c_str(), eb.verdict.c_str(),
                  ea.peak.c_str(), eb.peak.c_str());
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vesk-match: standard output: write failed: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
