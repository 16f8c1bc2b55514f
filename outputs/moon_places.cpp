#include "outputs/moon_places.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "catalogue/classes.h"
#include "formats/frame_times_csv.h"
#include "formats/utc.h"
#include "imaging/file_io.h"
#include "moon/disc_fit.h"
#include "moon/ephemeris.h"
#include "moon/projection.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;

CivilUtc civil(const UtcTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second + t.nanos * 1e-9};
}

// One fit of the disc and what the places need from it.
struct DiscFitRecord {
  std::int64_t frame = 0;
  UtcTime utc;
  LimbFit limb;
  bool rotation_known = false;
  double rotation = 0.0;
  double rotation_err = 0.0;
  MoonGeometry geometry;
  double scale = 0.0;         // arcseconds per pixel, given or from the fit
  int width = 0, height = 0;  // the frame's
  // A place can be computed: a circle with its radius, a rotation and the mirror sense.
  bool usable = false;
};

std::string cell(double v, const char* format = "%.3f") {
  if (!std::isfinite(v)) return "";
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

class MoonPlacesOutput final : public MoonPlaces {
 public:
  explicit MoonPlacesOutput(MoonPlacesSettings settings) : settings_(std::move(settings)) {}

  OutputStatus start(std::string*) override {
    fits_.clear();
    read_frame_times();
    std::string error;
    file_ = open_file_in(settings_.run_dir, kMoonFitsName, "w", &error);
    if (!file_) {
      say(error);
      return OutputStatus::lost;
    }
    if (!write_line(moon_fits_header())) return OutputStatus::lost;
    if (settings_.site.mirror == MirrorSense::unknown) {
      say("site.txt/--mirror: not given; the image may be mirror-reversed, so no event gets a "
          "place on the Moon (give --mirror yes or no)");
    }
    if (settings_.site.altaz && !settings_.site.rotation_utc.empty()) {
      UtcTime t;
      Instant instant;
      std::string warning;
      if (parse_utc(settings_.site.rotation_utc, t) &&
          instant_from_utc(civil(t), &instant, &warning, &error)) {
        reference_parallactic_ = moon_geometry(instant, site()).parallactic;
        reference_known_ = true;
      } else {
        say("--rotation: " + settings_.site.rotation_utc + ": not a time the ephemeris can take");
      }
    }
    return OutputStatus::ok;
  }

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView& ring, std::string*) override {
    const std::int64_t target = frame.target_frame;
    // A frame's time is read (it is formatted and parsed: the most a frame costs here) only where
    // something can happen: before the first fit, at the move checks, and on every frame once the
    // clock comes near the next fit (within two check intervals at the rate of the last ones), so
    // that the fit falls on the frame whose time makes it due.
    const bool check = target - last_move_check_ >= kFramesBetweenMoveChecks;
    if (!fits_.empty() && !check && !near_due_) return OutputStatus::ok;
    UtcTime utc;
    double seconds = 0.0;
    if (!time_of(target, utc, seconds)) {
      if (!said_no_time_) {
        say("frame " + std::to_string(target) +
            ": no UTC time (no frame_times.csv and no --start-utc); events get no place on the "
            "Moon");
        said_no_time_ = true;
      }
      return OutputStatus::ok;
    }
    bool due = fits_.empty() || seconds - last_fit_seconds_ >= kSecondsBetweenFits;
    if (!due && check) {
      const double per_frame =
          (seconds - last_check_seconds_) / static_cast<double>(target - last_move_check_);
      last_move_check_ = target;
      last_check_seconds_ = seconds;
      if (seconds + 2.0 * kFramesBetweenMoveChecks * std::max(0.0, per_frame) - last_fit_seconds_ >=
          kSecondsBetweenFits) {
        near_due_ = true;
      }
      double cx = 0.0, cy = 0.0;
      if (bright_centroid(ring, cx, cy) && std::hypot(cx - centroid_x_, cy - centroid_y_) > 1.0) {
        due = true;
      }
    }
    if (!due) return OutputStatus::ok;
    last_fit_seconds_ = seconds;
    last_move_check_ = target;
    last_check_seconds_ = seconds;
    near_due_ = false;
    return fit(target, utc, ring) ? OutputStatus::ok : OutputStatus::lost;
  }

  OutputStatus finish(const RunEnd&, std::string*) override {
    std::string error;
    if (!close_file(file_, kMoonFitsName, &error)) {
      say(error);
      return OutputStatus::lost;
    }
    return lost_ ? OutputStatus::lost : OutputStatus::ok;
  }

  EventPlace place(CatalogueEvent& event, const UtcTime* time) override {
    EventPlace place;
    const DiscFitRecord* fit = nearest_fit(event.frame);
    if (fit == nullptr) return place;
    MoonGeometry g = fit->geometry;
    double rotation = fit->rotation;
    if (time != nullptr) {
      if (geometry_at(*time, &g)) {
        if (settings_.site.altaz && reference_known_ && settings_.site.rotation_known) {
          rotation = settings_.site.rotation + g.parallactic - reference_parallactic_;
        }
      }
    }
    DiscView view;
    view.cx = fit->limb.cx;
    view.cy = fit->limb.cy;
    view.radius = fit->limb.radius;
    view.rotation = rotation;
    view.mirror = settings_.site.mirror == MirrorSense::yes;
    view.lib_lon = g.topo.l;
    view.lib_lat = g.topo.b;
    view.axis_pa = g.topo.axis_pa;
    view.apparent_radius = g.apparent_radius;
    DiscCovariance cov{};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        cov[static_cast<std::size_t>(a)][static_cast<std::size_t>(b)] = fit->limb.cov[a][b];
    cov[3][3] = fit->rotation_err * fit->rotation_err;
    // A flash's centroid: about the seeing's sigma (1.5 px) over its signal-to-noise ratio.
    const double snr = event.first.flux_err > 0.0 ? event.first.flux / event.first.flux_err : 0.0;
    const double centroid = snr > 0.0 ? std::clamp(1.5 / snr, 0.05, 3.0) : 1.0;
    // Beyond the limb by more than 3 times the error of its distance from the centre.
    const double distance = std::hypot(event.x - view.cx, event.y - view.cy);
    const double distance_err =
        std::sqrt(centroid * centroid + 0.5 * (cov[0][0] + cov[1][1]) + cov[2][2]);
    if (distance - view.radius > std::max(1.0, 3.0 * distance_err)) {
      event.signs.off_moon = true;
      event.verdict = class_of(event.signs);
      return place;
    }
    LunarPlace where;
    PlaceError error;
    if (!pixel_to_place(view, event.x, event.y, &where) ||
        !place_error(view, cov, event.x, event.y, centroid, &error)) {
      return place;
    }
    place.known = true;
    place.lat = where.lat;
    place.lon = where.lon;
    place.lat_err = error.lat;
    place.lon_err = error.lon;
    // The Sun's side of the terminator, unless the Earth's umbra covers the Moon.
    const double sun_cos = std::sin(where.lat * kRad) * std::sin(g.sun_lat * kRad) +
                           std::cos(where.lat * kRad) * std::cos(g.sun_lat * kRad) *
                               std::cos((where.lon - g.sun_lon) * kRad);
    if (sun_cos > 0.0 && !in_umbra(g)) {
      event.signs.sunlit = true;
      event.verdict = class_of(event.signs);
    }
    return place;
  }

 private:
  Site site() const {
    return {settings_.site.latitude, settings_.site.longitude, settings_.site.height};
  }

  void say(const std::string& message) { print_message(settings_.out, settings_.err, message); }

  bool write_line(const std::string& line) {
    if (!file_) return false;
    errno = 0;
    if (std::fputs(line.c_str(), file_.get()) != EOF && std::fflush(file_.get()) == 0) return true;
    say(errno_message(kMoonFitsName, "write failed"));
    file_.reset();
    lost_ = true;
    return false;
  }

  // The Moon's centre within the Earth's umbra (its radius 1.02 (pi_moon + pi_sun - s_sun)) by
  // more than its own radius: a total eclipse, with no sunlit side.
  static bool in_umbra(const MoonGeometry& g) {
    const double anti_ra = g.sun_ra + 180.0;
    const double anti_dec = -g.sun_dec;
    const double c = std::sin(g.geo_dec * kRad) * std::sin(anti_dec * kRad) +
                     std::cos(g.geo_dec * kRad) * std::cos(anti_dec * kRad) *
                         std::cos((g.geo_ra - anti_ra) * kRad);
    const double separation = std::acos(std::clamp(c, -1.0, 1.0)) / kRad;
    const double sun_au = g.sun_distance_km / 149597870.7;
    const double umbra =
        1.02 * (g.horizontal_parallax + 8.794 / 3600.0 / sun_au - 959.63 / 3600.0 / sun_au);
    return separation < umbra - g.apparent_radius;
  }

  // The geometry at `time`, between those of the two whole seconds of TT round it: the Moon's
  // geometry costs far more than an event's place, and a noisy night closes thousands of events.
  // Each second's geometry is kept for the events after it; the result depends on the time alone.
  bool geometry_at(const UtcTime& time, MoonGeometry* g) {
    Instant instant;
    std::string warning, error;
    if (!instant_from_utc(civil(time), &instant, &warning, &error)) return false;
    const double seconds = instant.tt2 * 86400.0;
    const double whole = std::floor(seconds);
    const MoonGeometry a = knot(instant, whole);  // a copy: the next look-up may drop it
    const MoonGeometry& b = knot(instant, whole + 1.0);
    *g = interpolate_geometry(a, b, seconds - whole);
    return true;
  }

  // The geometry at `second` seconds of TT into the second part of `instant`'s dates.
  const MoonGeometry& knot(const Instant& instant, double second) {
    for (const Knot& k : knots_)
      if (k.day == instant.tt1 && k.second == second) return k.geometry;
    Instant at = instant;
    const double shift = second / 86400.0 - instant.tt2;
    at.tt2 = second / 86400.0;
    at.utc2 += shift;
    at.ut1_2 += shift;
    if (knots_.size() >= kKnotsKept) knots_.erase(knots_.begin());
    knots_.push_back({instant.tt1, second, moon_geometry(at, site())});
    return knots_.back().geometry;
  }

  const DiscFitRecord* nearest_fit(std::int64_t frame) const {
    const DiscFitRecord* best = nullptr;
    for (const DiscFitRecord& f : fits_) {
      if (!f.usable) continue;
      if (best == nullptr || std::llabs(f.frame - frame) < std::llabs(best->frame - frame))
        best = &f;
    }
    return best;
  }

  // The centroid of the mean frame's light above the sky of the last fit.
  bool bright_centroid(const RingView& ring, double& cx, double& cy) const {
    return ::bright_centroid(ring.pixel_sum, ring.geometry.image_width, ring.geometry.image_height,
                             ring.images_in_buffer, sky_, &cx, &cy);
  }

  bool fit(std::int64_t frame, const UtcTime& utc, const RingView& ring) {
    DiscFitRecord r;
    r.frame = frame;
    r.utc = utc;
    r.width = ring.geometry.image_width;
    r.height = ring.geometry.image_height;
    Instant instant;
    std::string warning, error;
    if (!instant_from_utc(civil(utc), &instant, &warning, &error)) {
      if (!said_bad_time_)
        say("frame " + std::to_string(frame) + ": " + format_utc(utc) + ": " + error);
      said_bad_time_ = true;
      return true;
    }
    if (!warning.empty() && !said_dubious_) {
      say(format_utc(utc) + ": " + warning);
      said_dubious_ = true;
    }
    r.geometry = moon_geometry(instant, site());
    const MoonGeometry& g = r.geometry;
    if (g.altitude < 0.0 && !said_below_) {
      say("--site " + cell(settings_.site.latitude, "%.4f") + "," +
          cell(settings_.site.longitude, "%.4f") + ": the Moon is below the horizon at " +
          format_utc(utc) + " (altitude " + cell(g.altitude, "%.1f") +
          " degrees); places are still computed");
      said_below_ = true;
    }
    // The mean frame.
    const int w = ring.geometry.image_width;
    const int h = ring.geometry.image_height;
    mean_.resize(static_cast<std::size_t>(w) * h);
    const double n = ring.images_in_buffer;
    for (std::size_t i = 0; i < mean_.size(); ++i)
      mean_[i] = static_cast<float>(ring.pixel_sum[i] / n);
    const MeanImage image{mean_, w, h};
    LimbFitSettings limb_settings;
    if (settings_.site.scale_known) {
      // A gnomonic camera: R = tan(s') / tan(one pixel).
      limb_settings.fixed_radius =
          std::tan(g.apparent_radius * kRad) / std::tan(settings_.site.scale / 3600.0 * kRad);
    }
    r.limb = fit_limb(image, limb_settings, &limb_buffers_);
    if (!r.limb.found || !r.limb.radius_known) {
      if (said_problem_ != r.limb.problem)
        say("frame " + std::to_string(frame) + ": " + r.limb.problem +
            "; events get no place on the Moon until the disc is found");
      said_problem_ = r.limb.problem;
    }
    if (r.limb.found) {
      sky_ = r.limb.sky;
      bright_centroid(ring, centroid_x_, centroid_y_);
      r.scale = settings_.site.scale_known
                    ? settings_.site.scale
                    : std::atan(std::tan(g.apparent_radius * kRad) / r.limb.radius) / kRad * 3600.0;
    }
    const bool mirror_known = settings_.site.mirror != MirrorSense::unknown;
    if (settings_.site.rotation_known) {
      r.rotation_known = true;
      r.rotation = settings_.site.rotation;
      if (settings_.site.altaz && reference_known_)
        r.rotation += g.parallactic - reference_parallactic_;
      r.rotation_err = 0.1;  // as well as a rotation is measured by hand
    } else if (r.limb.found && mirror_known) {
      const OrientationFit turn = fit_orientation(image, r.limb, g.bright_limb_pa, g.phase,
                                                  settings_.site.mirror == MirrorSense::yes);
      if (turn.found) {
        r.rotation_known = true;
        r.rotation = turn.rotation;
        r.rotation_err = turn.error;
      } else if (!said_no_lit_limb_) {
        say("frame " + std::to_string(frame) + ": " + turn.problem +
            " and no --rotation given; events get no place on the Moon");
        said_no_lit_limb_ = true;
      }
    }
    r.usable = r.limb.found && r.limb.radius_known && r.rotation_known && mirror_known;
    fits_.push_back(r);
    return write_line(fit_line(r));
  }

  std::string fit_line(const DiscFitRecord& r) const {
    const bool found = r.limb.found;
    const double nan = std::nan("");
    const LimbFit& l = r.limb;
    const MoonGeometry& g = r.geometry;
    const char* mirror = settings_.site.mirror == MirrorSense::yes
                             ? "yes"
                             : (settings_.site.mirror == MirrorSense::no ? "no" : "");
    auto sd = [&](int k) { return found ? std::sqrt(std::max(0.0, l.cov[k][k])) : nan; };
    return std::to_string(r.frame) + "," + format_utc(r.utc) + "," + cell(found ? l.cx : nan) +
           "," + cell(found ? l.cy : nan) + "," + cell(found ? l.radius : nan) + "," +
           cell(r.rotation_known ? r.rotation : nan) + "," + mirror + "," +
           cell(found ? r.scale : nan, "%.4f") + "," + cell(sd(0)) + "," + cell(sd(1)) + "," +
           cell(sd(2)) + "," + cell(r.rotation_known ? r.rotation_err : nan) + "," +
           cell(g.topo.l) + "," + cell(g.topo.b) + "," + cell(g.topo.axis_pa) + "," +
           cell(g.bright_limb_pa) + "," + cell(g.illuminated, "%.4f") + "," + cell(g.sun_lon) +
           "," + cell(g.sun_lat) + "," + cell(g.distance_km, "%.1f") + "," + cell(g.altitude) +
           "," + cell(found ? l.arc : nan, "%.1f") + "," + cell(found ? l.rms : nan) + "," +
           std::to_string(r.width) + "," + std::to_string(r.height) + "\n";
  }

  // The UTC of `frame` and its seconds from the first frame.
  bool time_of(std::int64_t frame, UtcTime& utc, double& seconds) const {
    if (settings_.source_times) {
      const FrameTime t = settings_.source_times(frame);
      if (t.known && !t.utc.empty() && parse_utc(t.utc, utc)) {
        seconds = t.seconds;
        return true;
      }
    }
    const FrameTimeEntry* e = find_frame_time(times_, frame);
    if (e == nullptr || !e->utc_known) return false;
    utc = e->utc;
    seconds = e->seconds;
    return true;
  }

  // frame_times.csv of the run folder, when there (its problems are the catalogue's to say).
  void read_frame_times() {
    times_ = FrameTimes{};
    std::vector<std::string> warnings;
    std::string error;
    read_frame_times_csv(settings_.run_dir, times_, warnings, &error);
  }

  MoonPlacesSettings settings_;
  FileHandle file_;
  bool lost_ = false;
  FrameTimes times_;
  std::vector<DiscFitRecord> fits_;
  std::vector<float> mean_;
  LimbFitBuffers limb_buffers_;  // kept between the fits
  struct Knot {
    double day = 0.0;     // the first part of TT's two-part date
    double second = 0.0;  // whole seconds of its second part
    MoonGeometry geometry;
  };
  static constexpr std::size_t kKnotsKept = 8;
  std::vector<Knot> knots_;
  double last_fit_seconds_ = 0.0;
  std::int64_t last_move_check_ = 0;
  double last_check_seconds_ = 0.0;  // the time of that frame
  bool near_due_ = false;            // the next fit comes within two move checks by the clock
  double centroid_x_ = 0.0, centroid_y_ = 0.0;
  double sky_ = 0.0;
  bool reference_known_ = false;
  double reference_parallactic_ = 0.0;
  bool said_no_time_ = false, said_bad_time_ = false, said_dubious_ = false, said_below_ = false;
  bool said_no_lit_limb_ = false;
  std::string said_problem_;
};

}  // namespace

std::unique_ptr<MoonPlaces> make_moon_places(MoonPlacesSettings settings) {
  return std::make_unique<MoonPlacesOutput>(std::move(settings));
}
