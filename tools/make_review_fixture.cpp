// Writes a small run folder for the review page: flashes.csv, lightcurves.csv and the event
// pictures in review/ (through write_event_images), from synthetic frames of the Moon's night
// side made on the fly. The browser test and the page-size check build their runs with it.
//
// Usage: make_review_fixture OUTDIR [--events N] [--size WxH] [--interlaced]
//   --events 0 writes a catalogue with no events. With the default 3 events: event 1 is a flash
//   at frame 3 (offsets -5 and -4 are before the recording), event 2 a moving point, event 3 a
//   flash at the frame's left edge that lasts two frames.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/flashes_csv.h"
#include "formats/lightcurves_csv.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "review/event_images.h"

namespace {

// `value` as the fixture's catalogue has always given it, to `decimals` decimals.
double rounded(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return std::strtod(text, nullptr);
}

struct Options {
  std::string out_dir;
  int events = 3;
  int width = 320;
  int height = 240;
  bool interlaced = false;
};

struct FixtureEvent {
  int frame = 0;
  int frames = 1;
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double motion = 0.0;  // pixels per frame along x
  const char* event_class = "flash";
};

// Deterministic hash noise in -3..3 for pixel (x, y) of frame `n`.
int noise(int n, int x, int y) {
  std::uint32_t h = static_cast<std::uint32_t>(n) * 2654435761u ^
                    static_cast<std::uint32_t>(x) * 2246822519u ^
                    static_cast<std::uint32_t>(y) * 3266489917u;
  h ^= h >> 15;
  h *= 2246822519u;
  h ^= h >> 13;
  return static_cast<int>(h % 7) - 3;
}

// Frame `n`: black sky, the night side in earthshine with darker maria, the sunlit crescent on the
// right, and every event that is lit in frame n.
std::vector<std::uint8_t> make_frame(const Options& o, const std::vector<FixtureEvent>& events,
                                     int n) {
  std::vector<std::uint8_t> f(static_cast<std::size_t>(o.width) * o.height);
  const double cx = 0.55 * o.width, cy = 0.5 * o.height, r = 0.47 * std::min(o.width, o.height);
  for (int y = 0; y < o.height; ++y) {
    for (int x = 0; x < o.width; ++x) {
      const double dx = x - cx, dy = y - cy;
      double v = 4.0;
      if (dx * dx + dy * dy < r * r) {
        v = 26.0 + 6.0 * std::sin(x * 0.07) * std::cos(y * 0.05);
        if (dx > 0.55 * r) v = 235.0;
      }
      for (const auto& e : events) {
        const int k = n - e.frame;
        if (k < 0 || k >= e.frames) continue;
        const double sx = e.x + e.motion * k;
        const double d2 = (x - sx) * (x - sx) + (y - e.y) * (y - e.y);
        v += e.peak * std::pow(0.5, k) * std::exp(-d2 / (2 * 1.1 * 1.1));
      }
      v += noise(n, x, y);
      f[static_cast<std::size_t>(y) * o.width + x] =
          static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
    }
  }
  return f;
}

std::vector<FixtureEvent> choose_events(const Options& o) {
  std::vector<FixtureEvent> events;
  if (o.events == 3) {
    events.push_back({3, 1, 0.30 * o.width + 0.4, 0.33 * o.height + 0.6, 140.0, 0.0, "flash"});
    events.push_back({60, 3, 0.40 * o.width, 0.60 * o.height, 90.0, 3.0, "moving"});
    events.push_back({120, 2, 12.3, 0.83 * o.height + 0.7, 100.0, 0.0, "edge"});
    return events;
  }
  const char* classes[] = {"flash", "flash", "moving", "flash", "edge"};
  for (int i = 0; i < o.events; ++i) {
    const double fx = 0.12 + 0.05 * (i % 8), fy = 0.2 + 0.09 * (i % 7);
    events.push_back({10 + 40 * i, 1 + i % 2, fx * o.width + 0.25, fy * o.height + 0.5,
                      30.0 + 15.0 * (i % 9), i % 5 == 2 ? 2.5 : 0.0, classes[i % 5]});
  }
  return events;
}

bool write_fixture(const Options& o, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path dir = o.out_dir;
  std::error_code ec;
  fs::create_directories(dir / "review", ec);
  const std::vector<FixtureEvent> events = choose_events(o);

  std::string flashes = flashes_header();
  std::string curves = lightcurves_header();
  const double flux_err = 6.0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const FixtureEvent& e = events[i];
    const int number = static_cast<int>(i) + 1;
    const double seconds = e.frame * 0.04;
    const double flux = e.peak * 2.0 * 3.14159 * 1.1 * 1.1;
    FlashRow row;
    row.event = number;
    row.frame = e.frame;
    row.frames = e.frames;
    char utc[64];
    std::snprintf(utc, sizeof utc, "2024-03-15T21:%02d:%06.3fZ", 4 + static_cast<int>(seconds) / 60,
                  std::fmod(seconds, 60.0));
    row.utc = utc;
    row.seconds = rounded(seconds, 3);
    row.x = rounded(e.x, 2);
    row.y = rounded(e.y, 2);
    row.peak = rounded(e.peak, 1);
    row.flux = rounded(flux, 1);
    row.flux_err = rounded(flux_err, 1);
    row.snr = rounded(flux / flux_err, 1);
    row.m_inst = rounded(-2.5 * std::log10(flux) + 20.0, 2);
    row.motion = rounded(e.motion, 2);
    row.fields = o.interlaced ? "both" : "";
    row.event_class = e.event_class;
    row.report = numbered_file_name(kReportPattern, e.frame);
    flashes += flashes_line(row);

    std::vector<std::vector<std::uint8_t>> pixels(kOffsetCount);
    std::vector<std::span<const std::uint8_t>> spans(kOffsetCount);
    for (int off = kFirstOffset; off <= kLastOffset; ++off) {
      const int n = e.frame + off;
      const int k = off - kFirstOffset;
      LightCurveRow point;
      point.event = number;
      point.offset = off;
      if (n >= 0) {
        pixels[k] = make_frame(o, events, n);
        spans[k] = pixels[k];
        const bool lit = off >= 0 && off < e.frames;
        const double f = lit ? flux * std::pow(0.5, off) : 0.7 * noise(n, off, number);
        const double p = lit ? e.peak * std::pow(0.5, off) : 3.0 + noise(n, number, off);
        point.frame = n;
        point.flux = rounded(f, 2);
        point.flux_err = rounded(flux_err, 2);
        point.peak = rounded(p, 1);
      }
      curves += lightcurves_line(point);
    }
    const EventFrames in{number, o.width, o.height, e.x, e.y, o.interlaced, spans};
    if (!write_event_images(dir / "review", in, error)) return false;
  }
  return replace_text_file(dir / kFlashesName, flashes, error) &&
         replace_text_file(dir / kLightCurvesName, curves, error);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--interlaced") {
      o.interlaced = true;
    } else if (a == "--events" && i + 1 < argc) {
      o.events = std::atoi(argv[++i]);
    } else if (a == "--size" && i + 1 < argc &&
               std::sscanf(argv[++i], "%dx%d", &o.width, &o.height) == 2) {
    } else if (!a.empty() && a[0] != '-' && o.out_dir.empty()) {
      o.out_dir = a;
    } else {
      std::fprintf(stderr, "make_review_fixture: bad argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.out_dir.empty() || o.events < 0 || o.events > 200 || o.width < 64 || o.height < 64 ||
      o.width > 4096 || o.height > 4096) {
    std::fprintf(stderr,
                 "usage: make_review_fixture OUTDIR [--events N (0-200)] [--size WxH (64-4096)] "
                 "[--interlaced]\n");
    return 2;
  }
  std::string error;
  if (!write_fixture(o, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
