#include "catalogue/measure.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "catalogue/sharpness.h"
#include "imaging/flash_report.h"

namespace {

constexpr int kCentroidPasses = 3;
constexpr double kCentroidSettled = 0.01;  // pixels: a pass that moves less ends the search
constexpr int kGradientReach = 2;          // the gradient is looked at within this many pixels
constexpr int kSaturationReach = 3;        // and saturated pixels within this many
constexpr int kErrorPasses = 3;            // passes that look for frames still lit by the flash

// The pixels of one aperture: index into a frame and stored row. A disc of radius 3 covers at
// most 32 pixel centres wherever it is put.
struct Aperture {
  std::array<std::size_t, 64> index{};
  std::array<int, 64> row{};
  int count = 0;
};

Aperture aperture_at(const FrameGeometry& g, double cx, double cy) {
  Aperture a;
  // Pixel centres on the circle count as inside, also when the centre is off by a rounding.
  const double r2 = kApertureRadius * kApertureRadius + 1e-9;
  const double reach = kApertureRadius + 1e-6;
  const int y0 = std::max(0, static_cast<int>(std::ceil(cy - reach)));
  const int y1 = std::min(g.image_height - 1, static_cast<int>(std::floor(cy + reach)));
  const int x0 = std::max(0, static_cast<int>(std::ceil(cx - reach)));
  const int x1 = std::min(g.image_width - 1, static_cast<int>(std::floor(cx + reach)));
  for (int py = y0; py <= y1; ++py) {
    for (int px = x0; px <= x1; ++px) {
      const double dx = px - cx;
      const double dy = py - cy;
      if (dx * dx + dy * dy > r2 || a.count == static_cast<int>(a.index.size())) continue;
      a.index[static_cast<std::size_t>(a.count)] =
          static_cast<std::size_t>(py) * static_cast<std::size_t>(g.image_width) +
          static_cast<std::size_t>(px);
      a.row[static_cast<std::size_t>(a.count)] = py;
      ++a.count;
    }
  }
  return a;
}

// `value` taken into [0, limit - 1]; NaN to 0.
double clamp_into(double value, int limit) {
  if (std::isnan(value)) return 0.0;
  return std::clamp(value, 0.0, static_cast<double>(limit - 1));
}

// Excess of value v of a pixel whose sum over the ring is s: v minus its mean over the others.
double excess(double v, double s, double n) {
  return v - (s - v) / (n - 1.0);
}

// Frames from the reported one on whose flux stands above kLitSignificance times `flux_err`
// (at least the reported frame).
int lit_frames(const std::array<FrameFlux, kCurveFrames>& curve, double flux_err) {
  int lit = 0;
  for (std::size_t k = kCurveBefore; k < curve.size(); ++k) {
    if (!curve[k].held || !(curve[k].flux > kLitSignificance * flux_err)) break;
    ++lit;
  }
  return std::max(lit, 1);
}

// Variance over time of each aperture pixel, from its running sums with the `lit` frames from
// the reported one taken out (a value x leaves a set of n with mean m taking (x - m)^2 n / (n - 1)
// from the squared deviations), at least two frames kept; floored. Times N / (N - 1): the excess
// is the pixel less the mean of the N - 1 others.
void excess_variances(const RingView& ring, const Aperture& a, int lit,
                      std::array<double, 64>& variances) {
  const auto big_n = static_cast<double>(ring.images_in_buffer);
  for (int i = 0; i < a.count; ++i) {
    const std::size_t p = a.index[static_cast<std::size_t>(i)];
    double n = big_n;
    double s = ring.pixel_sum[p];
    double q = ring.pixel_sq_dev[p];
    for (int j = 0; j < lit && n > 2.0; ++j) {
      const double x = ring.frame_pixels(ring.target_frame + j)[p];
      const double d = x - s / n;
      q -= d * d * n / (n - 1.0);
      s -= x;
      n -= 1.0;
    }
    const double var = q / (n - 1.0);
    // NaN takes the floor too.
    variances[static_cast<std::size_t>(i)] =
        (var > kLeastPixelVariance ? var : kLeastPixelVariance) * big_n / (big_n - 1.0);
  }
}

double root_of_sum(const std::array<double, 64>& values, int count) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += values[static_cast<std::size_t>(i)];
  return std::sqrt(sum);
}

// Flux-weighted centre of the positive excess round (cx, cy); false when there is none.
bool centroid_pass(const RingView& ring, std::span<const std::uint8_t> target, double& cx,
                   double& cy) {
  const FrameGeometry& g = ring.geometry;
  const auto n = static_cast<double>(ring.images_in_buffer);
  const Aperture a = aperture_at(g, cx, cy);
  double w = 0.0;
  double wx = 0.0;
  double wy = 0.0;
  for (int i = 0; i < a.count; ++i) {
    const std::size_t p = a.index[static_cast<std::size_t>(i)];
    const double e = excess(target[p], ring.pixel_sum[p], n);
    if (!(e > 0.0)) continue;
    w += e;
    wx += e * static_cast<double>(p % static_cast<std::size_t>(g.image_width));
    wy += e * static_cast<double>(a.row[static_cast<std::size_t>(i)]);
  }
  if (!(w > 0.0)) return false;
  cx = clamp_into(wx / w, g.image_width);
  cy = clamp_into(wy / w, g.image_height);
  return true;
}

// Mean of pixel p over the frames of the ring other than the `lit` from the reported one on.
double quiet_mean(const RingView& ring, int lit, std::size_t p) {
  double s = ring.pixel_sum[p];
  for (int j = 0; j < lit; ++j) s -= ring.frame_pixels(ring.target_frame + j)[p];
  return s / (static_cast<double>(ring.images_in_buffer) - lit);
}

void measure_surroundings(const RingView& ring, ReportMeasure& m) {
  const FrameGeometry& g = ring.geometry;
  const int sx = static_cast<int>(std::lround(m.x));
  const int sy = static_cast<int>(std::lround(m.y));
  const auto at = [&](int x, int y) {
    return quiet_mean(ring, m.frames_lit,
                      static_cast<std::size_t>(y) * static_cast<std::size_t>(g.image_width) +
                          static_cast<std::size_t>(x));
  };
  double steepest = 0.0;
  for (int y = std::max(1, sy - kGradientReach);
       y <= std::min(g.image_height - 2, sy + kGradientReach); ++y) {
    for (int x = std::max(1, sx - kGradientReach);
         x <= std::min(g.image_width - 2, sx + kGradientReach); ++x) {
      const double gx = (at(x + 1, y) - at(x - 1, y)) / 2.0;
      const double gy = (at(x, y + 1) - at(x, y - 1)) / 2.0;
      steepest = std::max(steepest, std::hypot(gx, gy));
    }
  }
  bool saturated = false;
  for (int y = std::max(0, sy - kSaturationReach);
       y <= std::min(g.image_height - 1, sy + kSaturationReach); ++y) {
    for (int x = std::max(0, sx - kSaturationReach);
         x <= std::min(g.image_width - 1, sx + kSaturationReach); ++x) {
      saturated = saturated || at(x, y) >= kSaturatedMean;
    }
  }
  m.mean_gradient = steepest;
  m.near_saturated = saturated;
}

}  // namespace

ReportMeasure measure_report(const RingView& ring, double sample, double line) {
  const FrameGeometry& g = ring.geometry;
  const auto n = static_cast<double>(ring.images_in_buffer);
  const std::span<const std::uint8_t> target = ring.frame_pixels(ring.target_frame);
  ReportMeasure m;
  m.frame = ring.target_frame;
  m.end_ring = ring.end_ring();
  double cx = clamp_into(sample, g.image_width);
  double cy = clamp_into(line, g.image_height);
  for (int pass = 0; pass < kCentroidPasses; ++pass) {
    const double px = cx;
    const double py = cy;
    if (!centroid_pass(ring, target, cx, cy)) break;
    if (std::hypot(cx - px, cy - py) < kCentroidSettled) break;
  }
  m.x = cx;
  m.y = cy;

  const Aperture a = aperture_at(g, cx, cy);
  for (int k = 0; k < kCurveFrames; ++k) {
    const std::int64_t frame = ring.target_frame - kCurveBefore + k;
    if (!ring.frame_held(frame)) continue;
    const std::span<const std::uint8_t> pixels = ring.frame_pixels(frame);
    FrameFlux& f = m.curve[static_cast<std::size_t>(k)];
    f.held = true;
    int brightest = -1;
    for (int i = 0; i < a.count; ++i) {
      const std::size_t p = a.index[static_cast<std::size_t>(i)];
      const double e = excess(pixels[p], ring.pixel_sum[p], n);
      f.flux += e;
      if (pixels[p] == 255) f.saturated = true;
      if (pixels[p] > brightest || (pixels[p] == brightest && e > f.peak)) {
        brightest = pixels[p];
        f.peak = e;
      }
    }
  }

  // The error comes from the pixels' spreads over the frames the flash leaves dark: first
  // without the reported frame, then also without the frames after it that stand out, until
  // those stay the same.
  std::array<double, 64> variances{};
  int lit = 1;
  excess_variances(ring, a, lit, variances);
  double flux_err = root_of_sum(variances, a.count);
  for (int pass = 0; pass < kErrorPasses; ++pass) {
    const int now = lit_frames(m.curve, flux_err);
    if (now <= lit) break;
    lit = now;
    excess_variances(ring, a, lit, variances);
    flux_err = root_of_sum(variances, a.count);
  }
  m.frames_lit = lit_frames(m.curve, flux_err);
  for (FrameFlux& f : m.curve) {
    if (f.held) f.flux_err = flux_err;
  }
  m.at_report = m.curve[kCurveBefore];

  double odd_variance = 0.0;
  double even_variance = 0.0;
  for (int i = 0; i < a.count; ++i) {
    const std::size_t p = a.index[static_cast<std::size_t>(i)];
    const double e = excess(target[p], ring.pixel_sum[p], n);
    if (odd_or_even(a.row[static_cast<std::size_t>(i)]) == 1) {
      m.fields.odd_flux += e;
      odd_variance += variances[static_cast<std::size_t>(i)];
    } else {
      m.fields.even_flux += e;
      even_variance += variances[static_cast<std::size_t>(i)];
    }
  }
  m.fields.odd_err = std::sqrt(odd_variance);
  m.fields.even_err = std::sqrt(even_variance);

  double largest = -std::numeric_limits<double>::infinity();
  for (int i = 0; i < a.count; ++i) {
    const std::size_t p = a.index[static_cast<std::size_t>(i)];
    const double e = excess(target[p], ring.pixel_sum[p], n);
    if (e > largest) {
      largest = e;
      m.pixel_x = static_cast<int>(p % static_cast<std::size_t>(g.image_width));
      m.pixel_y = a.row[static_cast<std::size_t>(i)];
    }
  }
  m.fwhm = fitted_fwhm(ring, cx, cy, WidthRows::all);
  m.field_fwhm = fitted_fwhm(
      ring, cx, cy, m.fields.odd_flux >= m.fields.even_flux ? WidthRows::odd : WidthRows::even);
  measure_surroundings(ring, m);
  return m;
}

FrameFlux measure_aperture(const RingView& ring, std::int64_t frame, double cx, double cy) {
  const FrameGeometry& g = ring.geometry;
  const auto n = static_cast<double>(ring.images_in_buffer);
  const std::span<const std::uint8_t> pixels = ring.frame_pixels(frame);
  const Aperture a = aperture_at(g, clamp_into(cx, g.image_width), clamp_into(cy, g.image_height));
  FrameFlux f;
  f.held = true;
  int brightest = -1;
  double variance = 0.0;
  for (int i = 0; i < a.count; ++i) {
    const std::size_t p = a.index[static_cast<std::size_t>(i)];
    const double e = excess(pixels[p], ring.pixel_sum[p], n);
    f.flux += e;
    if (pixels[p] == 255) f.saturated = true;
    if (pixels[p] > brightest || (pixels[p] == brightest && e > f.peak)) {
      brightest = pixels[p];
      f.peak = e;
    }
    // The pixel's spread over the other frames: this frame's value taken out of the sums.
    const double x = pixels[p];
    const double d = x - ring.pixel_sum[p] / n;
    const double var = (ring.pixel_sq_dev[p] - d * d * n / (n - 1.0)) / (n - 2.0);
    variance += (var > kLeastPixelVariance ? var : kLeastPixelVariance) * n / (n - 1.0);
  }
  f.flux_err = std::sqrt(variance);
  return f;
}
