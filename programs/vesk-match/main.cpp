// vesk-match A/flashes.csv B/flashes.csv [--window SECONDS] [--max-separation DEG]
// Pairs the events of two flash catalogues, e.g. of two telescopes watching the Moon on the same
// night. Pairs are one to one: of all pairs whose UTC times differ by at most the window (0.1 s
// unless given), the one with the smallest |dt| is taken first, then the smallest among the
// events still free, and so on (ties to the earlier event of A, then of B). Standard output is
// CSV `a_event,b_event,dt,a_class,b_class,a_peak,b_peak`, dt = B's time minus A's in seconds:
// the pairs in the order of A's events, then one row for each event of A left unmatched (B's
// cells empty), then one for each of B (A's cells empty). One line on standard error counts the
// pairs and the unmatched events of each side. A catalogue whose events have no UTC time (its
// run folder had no frame_times.csv) is refused with one line on standard error and exit status
// 1; bad options give one line and exit status 2.
// When both catalogues give places on the Moon (lat, lon and their errors), a pair's time and
// place choose it together (|dt| plus the window times the separation over its limit), and the
// output's last columns `separation,separation_err,verdict` give the great-circle distance of the
// two places, its 1-sigma error from both sides' errors, and for two flashes `validated` (within
// 3 sigma, or --max-separation DEG) or `parallax` (the same time, not the same place: a glint
// near the Earth seen from two sites); empty when a side has no place or is not a flash.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/message.h"
#include "base/signals.h"
#include "formats/flashes_csv.h"
#include "formats/match_csv.h"
#include "formats/utc.h"
#include "programs/version_line.h"

namespace {

constexpr double kDefaultWindow = 0.1;
constexpr double kMostWindow = 86400.0;
// Pairs within the window held at once for the pairing (about 24 bytes each).
constexpr std::size_t kMostCandidates = 20000000;
constexpr const char* kUsage =
    "usage: vesk-match A/flashes.csv B/flashes.csv [--window SECONDS] [--max-separation DEG]";
// --help: the usage line, then every option and what it means.
constexpr const char* kHelp =
    "\n"
    "Pairs the events of two stations' flash catalogues one to one, the closest in time first,\n"
    "then lists each event of either side left unmatched. Where both have places on the Moon, a\n"
    "flash pair at the same place is validated, one at another place shows parallax (a glint).\n"
    "\n"
    "  --window SECONDS     the largest time difference of a pair (default 0.1)\n"
    "  --max-separation DEG the largest distance on the Moon of a validated pair (default: 3\n"
    "                       sigma of the two places' errors)\n"
    "  -h, --help           this text\n"
    "  --version            the version and the git commit this program was built from\n"
    "\n"
    "Writes CSV to standard output, a summary line to standard error. Exit status: 0 done, 1 a\n"
    "bad catalogue or a failed write, 2 bad command line. Manual: docs/catalogue.md";
constexpr double kRad = 3.14159265358979323846 / 180.0;

struct Event {
  int number = 0;
  UtcTime utc;
  std::string verdict;
  double peak = 0.0;
  double seconds = 0.0;  // from the common reference time
  bool placed = false;   // lat, lon and their errors given
  double lat = 0.0, lon = 0.0, lat_err = 0.0, lon_err = 0.0;
};

// Great-circle distance of two places (degrees) and its 1-sigma error: each side's errors
// projected on the direction from one place to the other.
void separation_of(const Event& a, const Event& b, double& separation, double& error) {
  const double c =
      std::sin(a.lat * kRad) * std::sin(b.lat * kRad) +
      std::cos(a.lat * kRad) * std::cos(b.lat * kRad) * std::cos((a.lon - b.lon) * kRad);
  separation = std::acos(std::clamp(c, -1.0, 1.0)) / kRad;
  double north = b.lat - a.lat;
  double east = std::remainder(b.lon - a.lon, 360.0) * std::cos(0.5 * (a.lat + b.lat) * kRad);
  const double length = std::hypot(north, east);
  if (length > 0.0) {
    north /= length;
    east /= length;
  } else {
    north = east = std::sqrt(0.5);
  }
  double variance = 0.0;
  for (const Event* e : {&a, &b}) {
    const double lon_err = e->lon_err * std::cos(e->lat * kRad);
    variance += north * north * e->lat_err * e->lat_err + east * east * lon_err * lon_err;
  }
  error = std::sqrt(variance);
}

// Reads the events of catalogue `path` (formats/flashes_csv.h checks every cell). False with
// `error` (one line naming the file) when it cannot be read, is not a flashes.csv, or has an
// event without a UTC time.
bool read_catalogue(const char* path, std::vector<Event>& events, std::string* error) {
  std::vector<FlashRow> rows;
  if (!read_flashes_csv(path, rows, error)) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const FlashRow& row = rows[i];
    Event e;
    e.number = row.event;
    // The reader has checked the time; an event without one cannot be paired.
    if (row.utc.empty() || !parse_utc(row.utc, e.utc)) {
      *error = std::string(path) + ": event " + std::to_string(e.number) +
               " has no UTC time (line " + std::to_string(i + 2) +
               "); vesk-match needs the times of the run folder's frame_times.csv";
      return false;
    }
    e.verdict = row.event_class;
    e.peak = row.peak;
    if (row.lat && row.lon && row.lat_err && row.lon_err) {
      e.placed = true;
      e.lat = *row.lat;
      e.lon = *row.lon;
      e.lat_err = *row.lat_err;
      e.lon_err = *row.lon_err;
    }
    events.push_back(std::move(e));
  }
  return true;
}

// The window from the text after --window: plain decimal digits with at most one point (no
// sign, exponent, hexadecimal or spaces), above 0 and up to kMostWindow; false otherwise.
bool parse_window(const char* text, double& window) {
  const std::string_view digits(text);
  std::size_t points = 0;
  std::size_t figures = 0;
  for (const char c : digits) {
    if (c == '.') {
      ++points;
    } else if (c >= '0' && c <= '9') {
      ++figures;
    } else {
      return false;
    }
  }
  if (figures == 0 || points > 1 || digits.size() > 32) return false;
  char* end = nullptr;
  errno = 0;
  window = std::strtod(text, &end);
  return *end == '\0' && errno == 0 && std::isfinite(window) && window > 0.0 &&
         window <= kMostWindow;
}

struct Candidate {
  double distance = 0.0;  // |dt|, seconds
  std::size_t a = 0;
  std::size_t b = 0;
};

}  // namespace

int main(int argc, char** argv) {
  ignore_write_signals();
  if (asks_version(argc, argv)) {
    std::printf("%s\n", version_line("vesk-match").c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  std::vector<const char*> files;
  double window = kDefaultWindow;
  double max_separation = 0.0;  // 0: 3 sigma
  std::vector<std::string> given;  // options seen, each allowed once
  bool options_done = false;       // after "--" every argument is a catalogue
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (options_done) {
      files.push_back(argv[i]);
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf("%s%s\n", kUsage, kHelp);
      return 0;
    }
    if (arg.starts_with("--")) {
      if (std::find(given.begin(), given.end(), arg) != given.end()) {
        print_message(stdout, stderr, "vesk-match: " + arg + " given twice; give each option once");
        return 2;
      }
      given.push_back(arg);
    }
    // A value that looks like an option is another option: this one's value was left out.
    const bool value_missing = i + 1 >= argc || std::string_view(argv[i + 1]).starts_with("--");
    if (arg == "--window") {
      if (value_missing) {
        std::fprintf(stderr, "vesk-match: --window needs a number of seconds\n");
        return 2;
      }
      if (!parse_window(argv[++i], window)) {
        std::fprintf(
            stderr, "vesk-match: --window \"%s\": not a number of seconds above 0 and up to %.0f\n",
            escaped_text(argv[i]).c_str(), kMostWindow);
        return 2;
      }
      continue;
    }
    if (arg == "--max-separation") {
      if (value_missing || !parse_window(argv[i + 1], max_separation) || max_separation > 180.0) {
        std::fprintf(stderr,
                     "vesk-match: --max-separation needs a number of degrees above 0 and up to "
                     "180\n");
        return 2;
      }
      ++i;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      print_message(stdout, stderr, "vesk-match: unknown option " + arg + "; " + kUsage);
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
  if (!read_catalogue(files[0], a, &error) || !read_catalogue(files[1], b, &error)) {
    print_message(stdout, stderr, "vesk-match: " + error);
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

  // Every pair within the window. A window met exactly still pairs, whatever the rounding of
  // the times' difference.
  const double reach = window + 1e-9;
  std::vector<Candidate> candidates;
  for (std::size_t ia = 0; ia < a.size(); ++ia) {
    const Event& ea = a[ia];
    auto it = std::lower_bound(by_time.begin(), by_time.end(), ea.seconds - reach,
                               [&](std::size_t i, double t) { return b[i].seconds < t; });
    for (; it != by_time.end() && b[*it].seconds <= ea.seconds + reach; ++it) {
      if (candidates.size() == kMostCandidates) {
        std::fprintf(stderr,
                     "vesk-match: --window %g: more than %zu pairs of events within it; give a "
                     "narrower window\n",
                     window, kMostCandidates);
        return 1;
      }
      double distance = std::fabs(seconds_between(ea.utc, b[*it].utc));
      if (ea.placed && b[*it].placed) {
        double separation = 0.0, separation_err = 0.0;
        separation_of(ea, b[*it], separation, separation_err);
        const double limit = max_separation > 0.0 ? max_separation : 3.0 * separation_err;
        distance += window * separation / std::max(limit, 1e-6);
      }
      candidates.push_back({distance, ia, *it});
    }
  }
  // Greedy one-to-one: the closest pair first, each event used once.
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& x, const Candidate& y) {
    if (x.distance != y.distance) return x.distance < y.distance;
    if (x.a != y.a) return x.a < y.a;
    return x.b < y.b;
  });
  constexpr std::size_t kFree = static_cast<std::size_t>(-1);
  std::vector<std::size_t> partner_of_a(a.size(), kFree);
  std::vector<bool> b_taken(b.size(), false);
  std::size_t pairs = 0;
  for (const Candidate& c : candidates) {
    if (partner_of_a[c.a] != kFree || b_taken[c.b]) continue;
    partner_of_a[c.a] = c.b;
    b_taken[c.b] = true;
    ++pairs;
  }

  std::fputs(match_header().c_str(), stdout);
  for (std::size_t ia = 0; ia < a.size(); ++ia) {
    if (partner_of_a[ia] == kFree) continue;
    const Event& ea = a[ia];
    const Event& eb = b[partner_of_a[ia]];
    MatchRow row{ea.number,  eb.number,  seconds_between(ea.utc, eb.utc),
                 ea.verdict, eb.verdict, ea.peak,
                 eb.peak,    {},         {},
                 {}};
    if (ea.placed && eb.placed) {
      double separation = 0.0, separation_err = 0.0;
      separation_of(ea, eb, separation, separation_err);
      const double limit = max_separation > 0.0 ? max_separation : 3.0 * separation_err;
      row.separation = separation;
      row.separation_err = separation_err;
      if (ea.verdict == "flash" && eb.verdict == "flash") {
        row.verdict = separation <= limit ? "validated" : "parallax";
      }
    }
    std::fputs(match_line(row).c_str(), stdout);
  }
  for (std::size_t ia = 0; ia < a.size(); ++ia) {
    if (partner_of_a[ia] != kFree) continue;
    MatchRow row;
    row.a_event = a[ia].number;
    row.a_class = a[ia].verdict;
    row.a_peak = a[ia].peak;
    std::fputs(match_line(row).c_str(), stdout);
  }
  for (std::size_t ib = 0; ib < b.size(); ++ib) {
    if (b_taken[ib]) continue;
    MatchRow row;
    row.b_event = b[ib].number;
    row.b_class = b[ib].verdict;
    row.b_peak = b[ib].peak;
    std::fputs(match_line(row).c_str(), stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "vesk-match: standard output: write failed: %s\n", std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "vesk-match: %zu %s, %zu unmatched in A (%s), %zu unmatched in B (%s)\n",
               pairs, pairs == 1 ? "pair" : "pairs", a.size() - pairs,
               escaped_text(files[0]).c_str(), b.size() - pairs, escaped_text(files[1]).c_str());
  return 0;
}
