// The catalogue's pure units on small generated sequences: photometry of a report from the ring
// (flux, error, light curve, surroundings, fields) and the grouping of reports into events. The
// run's ring is rebuilt for every tested frame as process_frames holds it, and reports are put
// where a detector would put them.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <vector>

#include "catalogue/clusters.h"
#include "catalogue/events.h"
#include "catalogue/measure.h"
#include "catalogue/sharpness.h"
#include "detection/frame_ring.h"
#include "reference/oracle_support.h"

namespace {

// A Gaussian spot of `total` grey levels summed over all pixels, `sigma` pixels wide, in one
// frame. `rows` 1 or 2 keeps only its light on odd or even stored rows (one field of an
// interlaced frame).
struct Spot {
  int frame;
  double x;
  double y;
  double total;
  double sigma = 0.9;
  int rows = 0;
};

// Frames of width x height: a background image (flat unless given), Gaussian noise, the spots
// integrated over each pixel, rounded and clipped to 0..255. Pixels listed in `saturated` are
// 255 in every frame.
struct Sequence {
  int width = 48;
  int height = 40;
  int frames = 100;
  double background = 40.0;
  std::vector<double> base;  // width * height when not flat
  double noise = 2.0;
  std::vector<Spot> spots;
  std::vector<std::size_t> saturated;
  std::uint64_t seed = 7;

  std::vector<std::vector<std::uint8_t>> render() const {
    std::vector<std::vector<std::uint8_t>> out;
    Random random{seed};
    const auto uniform = [&] { return (static_cast<double>(random.next() >> 11) + 0.5) * 0x1p-53; };
    for (int f = 0; f < frames; ++f) {
      std::vector<double> light(static_cast<std::size_t>(width * height));
      for (std::size_t p = 0; p < light.size(); ++p) light[p] = base.empty() ? background : base[p];
      for (const Spot& s : spots) {
        if (s.frame != f) continue;
        for (int py = 0; py < height; ++py) {
          if (s.rows != 0 && (py % 2 == 1 ? 1 : 2) != s.rows) continue;
          for (int px = 0; px < width; ++px) {
            light[static_cast<std::size_t>(py * width + px)] +=
                s.total * cell(px, s.x, s.sigma) * cell(py, s.y, s.sigma);
          }
        }
      }
      std::vector<std::uint8_t> pixels(light.size());
      for (std::size_t p = 0; p < light.size(); ++p) {
        // Box-Muller, one value per pixel.
        const double g =
            std::sqrt(-2.0 * std::log(uniform())) * std::cos(2.0 * std::numbers::pi * uniform());
        pixels[p] =
            static_cast<std::uint8_t>(std::clamp(std::lround(light[p] + noise * g), 0L, 255L));
      }
      for (std::size_t p : saturated) pixels[p] = 255;
      out.push_back(std::move(pixels));
    }
    return out;
  }

  // Share of a unit Gaussian centred at `centre` that falls in pixel `p`.
  static double cell(int p, double centre, double sigma) {
    const auto phi = [&](double t) {
      return 0.5 * std::erfc(-(t - centre) / (sigma * std::numbers::sqrt2));
    };
    return phi(p + 0.5) - phi(p - 0.5);
  }
};

// The ring of a run over a sequence, as it stands when frame t is tested: slot s holds the frame
// of t - before .. t + after that is s modulo N (frames before 0 are frames N + d, as the run
// filled them), with both sums recomputed.
struct Ring {
  std::vector<std::vector<std::uint8_t>> frames;
  FrameGeometry geometry;
  int n;
  std::vector<std::uint8_t> bytes;
  std::vector<double> sum;
  std::vector<double> sq_dev;

  Ring(const Sequence& seq, int images)
      : frames(seq.render()),
        geometry{seq.width, seq.height, seq.width * seq.height},
        n(images),
        bytes(static_cast<std::size_t>(images * geometry.frame_pixels)),
        sum(static_cast<std::size_t>(geometry.frame_pixels)),
        sq_dev(static_cast<std::size_t>(geometry.frame_pixels)) {}

  int last_tested() const { return static_cast<int>(frames.size()) - 1 - n / 2; }

  RingView at(int t) {
    const int before = n - 1 - n / 2;
    for (int d = -before; d <= n / 2; ++d) {
      const int f = t + d < 0 ? t + d + n : t + d;
      EXPECT_LT(f, static_cast<int>(frames.size())) << "the sequence is too short for the ring";
      if (f >= static_cast<int>(frames.size())) continue;
      const int slot = ((t + d) % n + n) % n;
      std::copy(frames[static_cast<std::size_t>(f)].begin(),
                frames[static_cast<std::size_t>(f)].end(),
                bytes.begin() + static_cast<std::ptrdiff_t>(slot) * geometry.frame_pixels);
    }
    recompute_statistics({bytes, sum, sq_dev, geometry.frame_pixels, n});
    return {bytes, sum, sq_dev, geometry, n, t % n, t};
  }
};

// Where a detector put its report of a frame.
struct Reported {
  int frame;
  double x;
  double y;
};

// Every event of a run over `seq` with ring size `images` whose reports are `reports`.
std::vector<CatalogueEvent> catalogue_of(const Sequence& seq, int images,
                                         const std::vector<Reported>& reports) {
  Ring ring(seq, images);
  EventBook book;
  std::vector<CatalogueEvent> closed;
  for (int t = 0; t <= ring.last_tested(); ++t) {
    const RingView view = ring.at(t);
    for (const Reported& r : reports) {
      if (r.frame == t) add_report(book, measure_report(view, r.x, r.y));
    }
    close_events(book, t, closed);
  }
  close_all_events(book, closed);
  return closed;
}

ReportMeasure measure_at(const Sequence& seq, int images, int frame, double x, double y) {
  Ring ring(seq, images);
  return measure_report(ring.at(frame), x, y);
}

}  // namespace

// An isolated flash of known total on a flat noisy background: the aperture gives the total
// within 5%, the error the noise of 29 pixels, the peak the brightest pixel's excess.
TEST(CatalogueMeasure, FluxOfAnIsolatedGaussianFlash) {
  struct Case {
    const char* name;
    double x, y, total, sigma, noise;
  };
  const std::vector<Case> cases = {
      {"centred on a pixel", 20.0, 17.0, 800.0, 0.8, 2.0},
      {"off the pixel centre", 23.37, 15.61, 800.0, 1.0, 2.0},
      {"bright", 26.5, 20.5, 1200.0, 1.0, 3.0},
      {"faint, noisier", 18.8, 21.2, 500.0, 0.9, 2.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.noise = c.noise;
    seq.spots = {{30, c.x, c.y, c.total, c.sigma}};
    // The detector's position is whole pixels; the centroid finds the spot from there.
    const ReportMeasure m = measure_at(seq, 60, 30, std::round(c.x), std::round(c.y));
    EXPECT_NEAR(m.at_report.flux, c.total, 0.05 * c.total);
    EXPECT_NEAR(m.x, c.x, 0.2);
    EXPECT_NEAR(m.y, c.y, 0.2);
    // 29 pixels, each with the noise of its value and of the mean of the 59 others.
    EXPECT_NEAR(m.at_report.flux_err, c.noise * std::sqrt(29.0 * 60.0 / 59.0),
                0.15 * m.at_report.flux_err);
    double brightest = 0.0;
    for (int py = 0; py < seq.height; ++py) {
      for (int px = 0; px < seq.width; ++px) {
        brightest = std::max(brightest, c.total * Sequence::cell(px, c.x, c.sigma) *
                                            Sequence::cell(py, c.y, c.sigma));
      }
    }
    EXPECT_NEAR(m.at_report.peak, brightest, 4.0 * c.noise);
    EXPECT_FALSE(m.at_report.saturated);
    // Frames without the flash lie at the small negative share the flash adds to their mean.
    EXPECT_NEAR(m.curve[kCurveBefore + 1].flux, -c.total / 59.0, 4.0 * m.at_report.flux_err);
  }
}

// The light curve holds exactly the frames the ring holds: with a small ring, or near frame 0,
// the other offsets stay empty even though their slots hold other frames (here a bright spot at
// the site in a frame the ring holds but the curve must not show).
TEST(CatalogueMeasure, LightCurveLeavesOutFramesTheRingDoesNotHold) {
  struct Case {
    const char* name;
    int images;
    int frame;
    int first_held;  // offsets first_held .. last_held are held
    int last_held;
    int decoy_frame;  // a frame in the ring, at the site, outside the curve's held range
  };
  const std::vector<Case> cases = {
      {"N 5 at frame 1: frame -1 is not a frame", 5, 1, -1, 2, 4},
      {"N 5 at frame 20", 5, 20, -2, 2, 23},
      {"N 4 at frame 12: one frame before", 4, 12, -1, 2, 15},
      {"N 60 at frame 2: frames before 0", 60, 2, -2, 10, 40},
      {"N 30 at frame 20", 30, 20, -5, 10, 35},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.spots = {{c.frame, 20.0, 20.0, 800.0}, {c.decoy_frame, 20.0, 20.0, 3000.0, 1.5}};
    const ReportMeasure m = measure_at(seq, c.images, c.frame, 20.0, 20.0);
    for (int k = 0; k < kCurveFrames; ++k) {
      const int offset = k - kCurveBefore;
      const FrameFlux& f = m.curve[static_cast<std::size_t>(k)];
      SCOPED_TRACE(offset);
      EXPECT_EQ(f.held, offset >= c.first_held && offset <= c.last_held);
      if (!f.held) {
        EXPECT_EQ(f.flux, 0.0);
        EXPECT_EQ(f.peak, 0.0);
      } else if (offset != 0) {
        EXPECT_LT(f.flux, 200.0) << "the decoy's light";
      }
    }
  }
}

// The surroundings of a site: a saturated band or a steep slope of the mean frame makes an edge,
// a gentle slope or a flat night side a flash.
TEST(CatalogueEvents, SitesOnEdgesAreEdgeAndOthersFlash) {
  struct Case {
    const char* name;
    int band_rows;  // rows 0 .. band_rows - 1 saturated
    double slope;   // grey levels per column from column 20 on
    double x, y;
    EventClass verdict;
  };
  const std::vector<Case> cases = {
      {"on the edge of a saturated band", 9, 0.0, 24.0, 11.0, EventClass::edge},
      {"on a steep slope", 0, 12.0, 24.0, 20.0, EventClass::edge},
      {"on a gentle slope", 0, 2.0, 24.0, 20.0, EventClass::flash},
      {"on the flat night side, clear of the band", 9, 0.0, 24.0, 20.0, EventClass::flash},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.base.resize(static_cast<std::size_t>(seq.width * seq.height));
    for (int py = 0; py < seq.height; ++py) {
      for (int px = 0; px < seq.width; ++px) {
        seq.base[static_cast<std::size_t>(py * seq.width + px)] =
            std::min(230.0, 30.0 + c.slope * std::max(0, px - 20));
        if (py < c.band_rows)
          seq.saturated.push_back(static_cast<std::size_t>(py * seq.width + px));
      }
    }
    seq.spots = {{30, c.x, c.y, 800.0}};
    const std::vector<CatalogueEvent> events = catalogue_of(seq, 20, {{30, c.x, c.y}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(event_class_name(events[0].verdict), event_class_name(c.verdict));
  }
}

// Field lines of an interlaced frame, counted as the report image counts them (stored row 11 is
// odd): an excess in one field's lines only names that field.
TEST(CatalogueMeasure, FieldsNameTheLinesThatHoldTheExcess) {
  struct Case {
    const char* name;
    int rows;
    double y;
    FieldVerdict fields;
  };
  const std::vector<Case> cases = {
      {"odd lines only", 1, 11.0, FieldVerdict::odd},
      {"odd lines only, centred on an even line", 1, 12.0, FieldVerdict::odd},
      {"even lines only", 2, 11.0, FieldVerdict::even},
      {"both fields", 0, 11.0, FieldVerdict::both},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.spots = {{30, 20.0, c.y, 900.0, 1.0, c.rows}};
    const ReportMeasure m = measure_at(seq, 30, 30, 20.0, c.y);
    EXPECT_EQ(field_verdict_name(field_verdict(m.fields)), field_verdict_name(c.fields));
  }
}

// Reports grouped into events: a flash fading over frames is one event whose duration counts
// its unreported tail; points moving 4 or 8 pixels per frame are one moving event each, also
// when a frame of theirs goes unreported; separate flashes stay separate.
TEST(CatalogueEvents, ReportsGroupIntoEvents) {
  struct Expected {
    EventClass verdict;
    int frame;
    int frames;
    int reports;
    double motion;
  };
  struct Case {
    const char* name;
    std::vector<Spot> spots;
    std::vector<int> unreported;  // frames with a spot that the detector missed
    std::vector<Expected> events;
  };
  // A point from (8, 8) moving `speed` pixels per frame along (dx, dy) in frames 20 to 24.
  const auto moving = [](double speed, double dx, double dy) {
    std::vector<Spot> spots;
    const double length = std::hypot(dx, dy);
    for (int k = 0; k < 5; ++k) {
      spots.push_back(
          {20 + k, 8.0 + speed * k * dx / length, 8.0 + speed * k * dy / length, 700.0});
    }
    return spots;
  };
  const std::vector<Case> cases = {
      {"a flash in one frame", {{20, 30.0, 20.0, 800.0}}, {}, {{EventClass::flash, 20, 1, 1, 0.0}}},
      {"a flash fading over three frames, reported in each",
       {{20, 30.0, 20.0, 1200.0}, {21, 30.0, 20.0, 600.0}, {22, 30.0, 20.0, 300.0}},
       {},
       {{EventClass::flash, 20, 3, 3, -1.0}}},
      {"a flash fading over three frames, its tail never reported",
       {{20, 30.0, 20.0, 1200.0}, {21, 30.0, 20.0, 600.0}, {22, 30.0, 20.0, 300.0}},
       {21, 22},
       {{EventClass::flash, 20, 3, 1, 0.0}}},
      {"a flash whose fainter second frame lies 1.5 pixels aside",
       {{20, 30.0, 20.0, 1200.0}, {21, 31.5, 20.0, 500.0}},
       {},
       {{EventClass::flash, 20, 2, 2, -1.0}}},
      {"4 pixels per frame", moving(4.0, 1.0, 0.0), {}, {{EventClass::moving, 20, 5, 5, 4.0}}},
      {"4 pixels per frame, the middle frame unreported",
       moving(4.0, 0.6, 0.8),
       {22},
       {{EventClass::moving, 20, 5, 4, 4.0}}},
      {"8 pixels per frame", moving(8.0, 0.6, 0.8), {}, {{EventClass::moving, 20, 5, 5, 8.0}}},
      {"8 pixels per frame, the second frame unreported",
       moving(8.0, 1.0, 0.3),
       {21},
       {{EventClass::moving, 20, 5, 4, 8.0}}},
      {"two flashes in successive frames 30 pixels apart",
       {{20, 8.0, 20.0, 800.0}, {21, 38.0, 20.0, 800.0}},
       {},
       {{EventClass::flash, 20, 1, 1, 0.0}, {EventClass::flash, 21, 1, 1, 0.0}}},
      {"the same site flashing again after three quiet frames",
       {{20, 30.0, 20.0, 800.0}, {24, 30.0, 20.0, 800.0}},
       {},
       {{EventClass::flash, 20, 1, 1, 0.0}, {EventClass::flash, 24, 1, 1, 0.0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.spots = c.spots;
    std::vector<Reported> reports;
    const std::set<int> missed(c.unreported.begin(), c.unreported.end());
    for (const Spot& s : c.spots) {
      // The detector's position: the confirmed pixels' mean, a pixel or so off the centre.
      if (missed.count(s.frame) == 0)
        reports.push_back({s.frame, std::round(s.x), std::round(s.y)});
    }
    const std::vector<CatalogueEvent> events = catalogue_of(seq, 20, reports);
    ASSERT_EQ(events.size(), c.events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      const CatalogueEvent& e = events[i];
      const Expected& x = c.events[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(e.number, static_cast<int>(i) + 1);
      EXPECT_EQ(event_class_name(e.verdict), event_class_name(x.verdict));
      EXPECT_EQ(e.frame, x.frame);
      EXPECT_EQ(e.frames, x.frames);
      EXPECT_EQ(e.reports, x.reports);
      if (x.motion >= 0.0) {
        EXPECT_NEAR(e.motion, x.motion, 0.3);
        // A moving event's step per frame has the length of its motion (the review's close-ups
        // follow it); an event that stays has none.
        EXPECT_NEAR(std::hypot(e.step_x, e.step_y),
                    e.verdict == EventClass::moving ? x.motion : 0.0, 0.5);
      }
    }
  }
}

// The flux of an event is summed over its frames, its error over theirs. Each frame's flux is
// its excess over the mean of the other frames, which hold the rest of the flash: with N = 60 the
// three frames of 2100 grey levels give 2100 (1 - 2 / 59).
TEST(CatalogueEvents, FluxOfAFadingFlashIsSummedOverItsFrames) {
  Sequence seq;
  seq.spots = {{30, 30.0, 20.0, 1200.0}, {31, 30.0, 20.0, 600.0}, {32, 30.0, 20.0, 300.0}};
  const std::vector<CatalogueEvent> events = catalogue_of(seq, 60, {{30, 30.0, 20.0}});
  ASSERT_EQ(events.size(), 1u);
  const CatalogueEvent& e = events[0];
  EXPECT_EQ(e.frames, 3);
  EXPECT_NEAR(e.flux, 2100.0 * (1.0 - 2.0 / 59.0), 0.02 * 2100.0);
  EXPECT_NEAR(e.flux_err, std::sqrt(3.0) * e.first.flux_err, 1e-9);
  EXPECT_NEAR(e.first.flux, 1200.0 - 900.0 / 59.0, 0.03 * 1200.0);
  EXPECT_EQ(e.peak, e.first.peak);
}

// The width fitted to a report against the truth of the scene: Gaussian flashes of known FWHM
// (none saturated) come out within 12% (noise of 2 grey levels, and the centre taken from the
// centroid rather than fitted, move the fit by up to a few tenths of a pixel); hits of one or two
// pixels with no blur come out below 1 pixel (the noise round the centroid keeps them above 0),
// against 2.5 for the flash of the same peak, so below 0.6 of any optics 1.7 pixels or wider. In
// an interlaced frame a flash in one field lights every other row: over all rows the fit sees it
// narrow, over the rows of its field it has the optics' width again.
TEST(CatalogueSharpness, FittedWidthOfFlashesAndHits) {
  struct Case {
    const char* name;
    Spot spot;
    double fwhm;        // truth; 0 for a hit narrower than any optics
    double field_fwhm;  // truth over the brighter field's rows; 0 as above
  };
  constexpr double kSigmaPerFwhm = 1.0 / 2.3548200450309493;
  const std::vector<Case> cases = {
      {"a flash of FWHM 2.5", {50, 20.3, 18.6, 1200.0, 2.5 * kSigmaPerFwhm}, 2.5, 2.5},
      {"a flash of FWHM 1.6", {50, 20.0, 18.0, 600.0, 1.6 * kSigmaPerFwhm}, 1.6, 1.6},
      {"a flash of FWHM 4", {50, 24.5, 20.2, 2500.0, 4.0 * kSigmaPerFwhm}, 4.0, 4.0},
      // Two pixels of 158 each: the peak of the FWHM 2.5 flash of 1200 in all.
      {"a hit on two pixels", {50, 20.5, 18.0, 316.0, 0.01}, 0.0, 0.0},
      {"a hit on one pixel", {50, 20.0, 18.0, 158.0, 0.01}, 0.0, 0.0},
      {"a flash in one field", {50, 20.2, 19.0, 1000.0, 2.5 * kSigmaPerFwhm, 1}, -1.0, 2.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.spots = {c.spot};
    const ReportMeasure m = measure_at(seq, 20, 50, c.spot.x, c.spot.y);
    if (c.fwhm > 0.0) {
      EXPECT_NEAR(m.fwhm, c.fwhm, 0.12 * c.fwhm);
    } else if (c.fwhm == 0.0) {
      EXPECT_LT(m.fwhm, 1.0);
    } else {
      EXPECT_LT(m.fwhm, 0.6 * c.field_fwhm);  // narrow in y over all rows
    }
    if (c.field_fwhm > 0.0) {
      EXPECT_NEAR(m.field_fwhm, c.field_fwhm, 0.12 * c.field_fwhm);
    } else {
      EXPECT_LT(m.field_fwhm, 1.0);
    }
  }
}

// The optics' width from the limb in the mean frame: a sharp edge of 150 grey levels between
// dark sky and a lit Moon, blurred by a Gaussian of known FWHM, straight or slanted, with noise of
// 2 per frame; the median over the edge's places comes within 10% of the truth (the slant
// correction leaves a few percent). Frames without such an edge (flat, spots only, an edge whose
// bright side is saturated, a soft terminator) give none.
TEST(CatalogueSharpness, OpticsWidthFromTheLimb) {
  struct Case {
    const char* name;
    double fwhm;    // of the blur; 0: no edge at all
    double slope;   // columns the edge moves per row
    double bright;  // grey level of the lit side
    bool expected;  // a width is found
  };
  const std::vector<Case> cases = {
      {"a straight edge, FWHM 2", 2.0, 0.0, 170.0, true},
      {"a straight edge, FWHM 3.5", 3.5, 0.0, 170.0, true},
      {"an edge slanted 17 degrees, FWHM 2.5", 2.5, 0.3, 170.0, true},
      {"an edge slanted 45 degrees, FWHM 2.5", 2.5, 1.0, 170.0, true},
      {"a flat frame", 0.0, 0.0, 0.0, false},
      {"an edge saturated on its lit side", 2.5, 0.0, 300.0, false},
      {"a soft terminator (FWHM 20)", 20.0, 0.0, 170.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sequence seq;
    seq.width = 72;
    seq.height = 56;
    seq.frames = 40;
    seq.spots = {{10, 12.0, 30.0, 2000.0}};  // a flash on the dark side, in the ring's mean
    if (c.fwhm > 0.0) {
      const double sigma = c.fwhm / 2.3548200450309493;
      seq.base.resize(static_cast<std::size_t>(seq.width * seq.height));
      for (int py = 0; py < seq.height; ++py) {
        const double edge = 34.0 + c.slope * (py - seq.height / 2.0);
        for (int px = 0; px < seq.width; ++px) {
          // The lit side right of the edge, the edge's distance measured across it; the step
          // integrated over the pixel's width along the row.
          const double cosine = 1.0 / std::sqrt(1.0 + c.slope * c.slope);
          double share = 0.0;
          for (int k = 0; k < 16; ++k) {
            const double t = (px - 0.5 + (k + 0.5) / 16.0 - edge) * cosine;
            share += 0.5 * std::erfc(-t / (sigma * std::numbers::sqrt2)) / 16.0;
          }
          seq.base[static_cast<std::size_t>(py * seq.width + px)] =
              10.0 + (c.bright - 10.0) * share;
        }
      }
    }
    Ring ring(seq, 20);
    const double width = edge_fwhm(ring.at(15));
    if (c.expected) {
      EXPECT_NEAR(width, c.fwhm, 0.1 * c.fwhm);
    } else {
      EXPECT_TRUE(std::isnan(width)) << width;
    }
  }
}

// One order for every class: each sign beats those after it, whatever else the row shows.
TEST(CatalogueClasses, FirstSignInTheOrderWins) {
  const std::vector<EventClass> order = {
      EventClass::moving,    EventClass::off_moon, EventClass::sunlit,   EventClass::edge,
      EventClass::hot_pixel, EventClass::sharp,    EventClass::scattered};
  const auto signs_from = [](std::size_t first) {
    ClassSigns s;
    bool* flags[] = {&s.moving,    &s.off_moon, &s.sunlit,   &s.edge,
                     &s.hot_pixel, &s.sharp,    &s.scattered};
    for (std::size_t i = first; i < std::size(flags); ++i) *flags[i] = true;
    return s;
  };
  for (std::size_t i = 0; i < order.size(); ++i) {
    SCOPED_TRACE(event_class_name(order[i]));
    EXPECT_EQ(class_of(signs_from(i)), order[i]);  // with every later sign too
  }
  EXPECT_EQ(class_of(ClassSigns{}), EventClass::flash);
  ClassSigns hot_and_sharp;
  hot_and_sharp.sharp = hot_and_sharp.hot_pixel = true;
  EXPECT_STREQ(event_class_name(class_of(hot_and_sharp)), "hot_pixel");
}

// Compact clusters of a frame's confirmed pixels: one flash is one cluster whether its pixels
// touch or lie on every other row (one field), two sites further apart than the link are two,
// a chain joins through its middle, and the link is inclusive.
TEST(CatalogueClusters, PixelsJoinWithinTheLink) {
  struct Case {
    const char* name;
    std::vector<PixelPosition> pixels;
    std::vector<std::pair<double, double>> centres;
    std::vector<int> sizes;
  };
  const std::vector<Case> cases = {
      {"no pixel", {}, {}, {}},
      {"one pixel", {{10, 10}}, {{10, 10}}, {1}},
      {"a 2 x 2 flash", {{10, 10}, {11, 10}, {10, 11}, {11, 11}}, {{10.5, 10.5}}, {4}},
      {"one field: every other row", {{20, 4}, {20, 6}, {21, 8}, {21, 10}}, {{20.5, 7}}, {4}},
      {"two flashes in one frame",
       {{10, 10}, {11, 10}, {40, 30}, {41, 30}, {10, 11}},
       {{31.0 / 3.0, 31.0 / 3.0}, {40.5, 30}},
       {3, 2}},
      {"a chain through its middle", {{0, 0}, {12, 0}, {6, 0}}, {{6, 0}}, {3}},
      {"gap of exactly the link", {{0, 0}, {6, 0}}, {{3, 0}}, {2}},
      {"gap just past the link", {{0, 0}, {6.01, 0}}, {{0, 0}, {6.01, 0}}, {1, 1}},
      {"diagonal past the link", {{0, 0}, {4.3, 4.3}}, {{0, 0}, {4.3, 4.3}}, {1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<PixelCluster> clusters = compact_clusters(c.pixels);
    ASSERT_EQ(clusters.size(), c.centres.size());
    for (std::size_t i = 0; i < clusters.size(); ++i) {
      // Means of at most four small integers or two-decimal values: exact to rounding.
      EXPECT_NEAR(clusters[i].x, c.centres[i].first, 1e-12);
      EXPECT_NEAR(clusters[i].y, c.centres[i].second, 1e-12);
      EXPECT_EQ(clusters[i].pixels, c.sizes[i]);
    }
  }
}
