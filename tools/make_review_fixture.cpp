// Writes a small run folder for the review page: flashes.csv, lightcurves.csv, frame_times.csv
// (when the events end by frame 10,000) and the event pictures in review/ (through
// write_event_images), from synthetic frames of the Moon's night side made on the fly. The browser
// test and the page-size check build their runs with it.
//
// Usage: make_review_fixture OUTDIR [--events N] [--pictures K] [--size WxH] [--interlaced]
//                            [--site]
//   --events 0 writes a catalogue with no events. With the default 3 events: event 1 is a flash
//   at frame 3 (offsets -5 and -4 are before the recording), event 2 a moving point, event 3 a
//   flash at the frame's left edge that lasts two frames.
//   --pictures K draws pictures for the first K events only (default: all, at most 200); every
//   later event gets hard links to the pictures of event (n - 1) % K + 1, or none when K is 0, so
//   that a run of 100,000 events is made in seconds.
//   --site makes it a run with the observer's site: moon.csv with a fit of the drawn disc every
//   250 frames (the Moon seen from Madrid at 2024-03-15T21:04Z, the lit limb on the right), and
//   every event on the disc gets its place; those beyond the limb are off_moon.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "formats/flashes_csv.h"
#include "formats/frame_times_csv.h"
#include "formats/lightcurves_csv.h"
#include "formats/moon_csv.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "moon/ephemeris.h"
#include "review/event_images.h"
#include "review/moon_overlay.h"

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
  int pictures = -1;  // events drawn; -1: all
  int width = 320;
  int height = 240;
  bool interlaced = false;
  bool site = false;
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

bool write_fixture(const Options& o, std::string* error) {
  namespace fs = std::filesystem;
  const fs::path dir = o.out_dir;
  std::error_code ec;
  fs::create_directories(dir / "review", ec);
  const std::vector<FixtureEvent> events = choose_events(o);

  // The drawn disc seen from Madrid at the fixture's time, the bright limb on the right.
  DiscView view;
  MoonGeometry g;
  if (o.site) {
    Instant instant;
    std::string warning;
    if (!instant_from_utc({2024, 3, 15, 21, 4, 0.0}, &instant, &warning, error)) return false;
    g = moon_geometry(instant, Site{40.4, -3.7, 650.0});
    view.cx = 0.55 * o.width;
    view.cy = 0.5 * o.height;
    view.radius = 0.47 * std::min(o.width, o.height);
    view.rotation = std::remainder(g.bright_limb_pa + 90.0, 360.0);  // chi at screen angle -90
    view.lib_lon = g.topo.l;
    view.lib_lat = g.topo.b;
    view.axis_pa = g.topo.axis_pa;
    view.apparent_radius = g.apparent_radius;
  }
  std::string flashes = flashes_header();
  std::string curves = lightcurves_header();
  const double flux_err = 6.0;
  const std::size_t drawn = o.pictures < 0
                                ? events.size()
                                : std::min(events.size(), static_cast<std::size_t>(o.pictures));
  const std::vector<FixtureEvent> lit(events.begin(), events.begin() + drawn);
  for (std::size_t i = 0; i < events.size(); ++i) {
    const FixtureEvent& e = events[i];
    const int number = static_cast<int>(i) + 1;
    const double seconds = e.frame * 0.04;
    // 2024-03-15T21:04:00Z plus `seconds`, the day carried on for long fixtures.
    const double clock = 21 * 3600 + 4 * 60 + seconds;
    const int day = 15 + static_cast<int>(clock / 86400);
    const double of_day = std::fmod(clock, 86400.0);
    const int hour = static_cast<int>(of_day / 3600);
    const int minute = static_cast<int>(std::fmod(of_day, 3600.0) / 60);
    const double flux = e.peak * 2.0 * 3.14159 * 1.1 * 1.1;
    FlashRow row;
    row.event = number;
    row.frame = e.frame;
    row.frames = e.frames;
    char utc[64];
    std::snprintf(utc, sizeof utc, "2024-03-%02dT%02d:%02d:%06.3fZ", day, hour, minute,
                  std::fmod(of_day, 60.0));
    row.utc = utc;
    row.seconds = rounded(seconds, 3);
    row.x = rounded(e.x, 2);
    row.y = rounded(e.y, 2);
    row.peak = rounded(e.peak, 1);
    row.flux = rounded(flux, 1);
    // The error of the flux summed over the event's frames, as the catalogue gives it.
    row.flux_err = rounded(flux_err * std::sqrt(static_cast<double>(e.frames)), 1);
    row.snr = rounded(flux / flux_err, 1);
    row.m_inst = rounded(-2.5 * std::log10(flux) + 20.0, 2);
    row.motion = rounded(e.motion, 2);
    row.fields = o.interlaced ? "both" : "";
    row.event_class = e.event_class;
    if (o.site) {
      LunarPlace place;
      if (pixel_to_place(view, row.x, row.y, &place)) {
        row.lat = rounded(place.lat, 3);
        row.lon = rounded(place.lon, 3);
        row.lat_err = 0.08;
        row.lon_err = 0.09;
      } else {
        row.event_class = "off_moon";
      }
    }
    row.report = numbered_file_name(kReportPattern, e.frame);
    flashes += flashes_line(row);

    const bool draw = i < drawn;
    std::vector<std::vector<std::uint8_t>> pixels(kOffsetCount);
    std::vector<std::span<const std::uint8_t>> spans(kOffsetCount);
    for (int off = kFirstOffset; off <= kLastOffset; ++off) {
      const int n = e.frame + off;
      const int k = off - kFirstOffset;
      LightCurveRow point;
      point.event = number;
      point.offset = off;
      if (n >= 0) {
        if (draw) {
          pixels[k] = make_frame(o, lit, n);
          spans[k] = pixels[k];
        }
        const bool in_event = off >= 0 && off < e.frames;
        const double f = in_event ? flux * std::pow(0.5, off) : 0.7 * noise(n, off, number);
        const double p = in_event ? e.peak * std::pow(0.5, off) : 3.0 + noise(n, number, off);
        point.frame = n;
        point.flux = rounded(f, 2);
        point.flux_err = rounded(flux_err, 2);
        point.peak = rounded(p, 1);
      }
      curves += lightcurves_line(point);
    }
    if (draw) {
      // The ring's sums for the difference strip: a ring of the 16 frames drawn (those before
      // the recording count as black).
      std::vector<double> sums(static_cast<std::size_t>(o.width) * o.height, 0.0);
      for (const auto& frame : pixels) {
        for (std::size_t p = 0; p < frame.size(); ++p) sums[p] += frame[p];
      }
      EventFrames in{number, o.width, o.height, e.x, e.y, o.interlaced, spans};
      in.pixel_sum = sums;
      in.sum_frames = kOffsetCount;
      if (!write_event_images(dir / "review", in, error)) return false;
    } else if (drawn > 0) {
      const int source = static_cast<int>(i % drawn) + 1;
      for (const EventImage kind :
           {EventImage::strip, EventImage::crop, EventImage::overview, EventImage::difference}) {
        const fs::path to = dir / "review" / event_image_name(number, kind);
        fs::remove(to, ec);
        fs::create_hard_link(dir / "review" / event_image_name(source, kind), to, ec);
        if (ec) {
          *error = to.string() + ": cannot link: " + ec.message();
          return false;
        }
      }
    }
  }
  // frame_times.csv as a recording run writes it (25 frames a second from 21:04:00), for the
  // light curves' time axis; left out of long fixtures.
  std::string times = kFrameTimesHeader;
  const int last_frame = events.empty() ? 0 : events.back().frame + events.back().frames + 10;
  if (last_frame <= 10000) {
    for (int n = 0; n <= last_frame; ++n) {
      char line[96];
      std::snprintf(line, sizeof line, "%d,2024-03-15T21:%02d:%06.3fZ,%.3f\n", n, 4 + n / 1500,
                    std::fmod(n * 0.04, 60.0), n * 0.04);
      times += line;
    }
  }
  if (o.site) {
    std::string fits = moon_fits_header();
    for (int n = 0; n <= std::max(0, last_frame); n += 250) {
      char line[512];
      std::snprintf(
          line, sizeof line,
          "%d,2024-03-15T21:%02d:%06.3fZ,%.3f,%.3f,%.3f,%.3f,no,%.4f,0.05,0.05,0.05,0.2,"
          "%.3f,%.3f,%.3f,%.3f,%.4f,%.3f,%.3f,%.1f,%.3f,180.0,0.4,%d,%d\n",
          n, 4 + (n / 1500) % 56, std::fmod(n * 0.04, 60.0), view.cx, view.cy, view.radius,
          view.rotation,
          std::atan(std::tan(g.apparent_radius * 3.14159265358979 / 180.0) / view.radius) * 180.0 /
              3.14159265358979 * 3600.0,
          g.topo.l, g.topo.b, g.topo.axis_pa, g.bright_limb_pa, g.illuminated, g.sun_lon, g.sun_lat,
          g.distance_km, g.altitude, o.width, o.height);
      fits += line;
    }
    if (!replace_text_file(dir / kMoonFitsName, fits, error)) return false;
  }
  return replace_text_file(dir / kFlashesName, flashes, error) &&
         replace_text_file(dir / kLightCurvesName, curves, error) &&
         (last_frame > 10000 || replace_text_file(dir / kFrameTimesName, times, error));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--interlaced") {
      o.interlaced = true;
    } else if (a == "--site") {
      o.site = true;
    } else if (a == "--events" && i + 1 < argc) {
      o.events = std::atoi(argv[++i]);
    } else if (a == "--pictures" && i + 1 < argc) {
      o.pictures = std::atoi(argv[++i]);
    } else if (a == "--size" && i + 1 < argc &&
               std::sscanf(argv[++i], "%dx%d", &o.width, &o.height) == 2) {
    } else if (!a.empty() && a[0] != '-' && o.out_dir.empty()) {
      o.out_dir = a;
    } else {
      std::fprintf(stderr, "make_review_fixture: bad argument %s\n", a.c_str());
      return 2;
    }
  }
  if (o.out_dir.empty() || o.events < 0 || o.events > 100000 || o.pictures < -1 ||
      o.pictures > 200 || (o.pictures < 0 && o.events > 200) || o.width < 64 || o.height < 64 ||
      o.width > 4096 || o.height > 4096) {
    std::fprintf(stderr,
                 "usage: make_review_fixture OUTDIR [--events N (0-100000)] [--pictures K (0-200, "
                 "needed above 200 events)] [--size WxH (64-4096)] [--interlaced] [--site]\n");
    return 2;
  }
  std::string error;
  if (!write_fixture(o, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
