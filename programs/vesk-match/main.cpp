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

#include "formats/flashes_csv.h"
#include "formats/match_csv.h"
#include "formats/utc.h"

namespace {

constexpr double kDefaultWindow = 0.1;
constexpr double kMostWindow = 86400.0;
constexpr const char* kUsage = "usage: vesk-match A/flashes.csv B/flashes.csv [--window SECONDS]";

struct Event {
  int number = 0;
  UtcTime utc;
  std::string verdict;
  double peak = 0.0;
  double seconds = 0.0;  // from the common reference time
};

// Reads the events of catalogue `path` (formats/flashes_csv.h checks every cell). False with
// `error` (one line naming the file) when it cannot be read, is not a flashes.csv, or has an
// event without a UTC time.
bool read_catalogue(const char* path, std::vector<Event>& events, std::string& error) {
  std::vector<FlashRow> rows;
  if (!read_flashes_csv(path, rows, &error)) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const FlashRow& row = rows[i];
    Event e;
    e.number = row.event;
    // The reader has checked the time; an event without one cannot be paired.
    if (row.utc.empty() || !parse_utc(row.utc, e.utc)) {
      error = std::string(path) + ": event " + std::to_string(e.number) + " has no UTC time (line " +
              std::to_string(i + 2) +
              "); vesk-match needs the times of the run folder's frame_times.csv";
      return false;
    }
    e.verdict = row.event_class;
    e.peak = row.peak;
    events.push_back(std::move(e));
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
  std::fputs(match_header().c_str(), stdout);
  for (const Event& ea : a) {
    auto it = std::lower_bound(by_time.begin(), by_time.end(), ea.seconds - reach,
                               [&](std::size_t i, double t) { return b[i].seconds < t; });
    std::vector<std::size_t> paired;
    for (; it != by_time.end() && b[*it].seconds <= ea.seconds + reach; ++it) paired.push_back(*it);
    std::sort(paired.begin(), paired.end());
    for (const std::size_t i : paired) {
      const Event& eb = b[i];
      const MatchRow row{ea.number, eb.number, seconds_between(ea.utc, eb.utc),
                         ea.verdict,  eb.verdict, ea.peak, eb.peak};
      std::fputs(match_line(row).c_str(), stdout);
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vesk-match: standard output: write failed: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
