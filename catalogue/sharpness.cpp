#include "catalogue/sharpness.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "catalogue/measure.h"
#include "imaging/flash_report.h"

namespace {

// Full width at half maximum of a Gaussian of sigma 1.
constexpr double kFwhmPerSigma = 2.3548200450309493;
constexpr double kWidthStep = 0.02;  // FWHM grid of the fits, pixels
// Edge places whose profiles are fitted at most: spread evenly over those that qualify.
constexpr std::size_t kMostEdgeSamples = 400;
// A profile is a clean step when the fit's residual (root mean square) is at most this share of
// the step's height.
constexpr double kMostStepResidual = 0.1;
// The gradient an edge place needs is half that of the place this far down from the steepest,
// so that a few hot pixels or stars cannot set it.
constexpr std::size_t kSteepRank = 50;

double nan() {
  return std::numeric_limits<double>::quiet_NaN();
}

// Share of a unit Gaussian of `sigma` centred at `centre` falling between a and b.
double gaussian_share(double a, double b, double centre, double sigma) {
  const double k = 1.0 / (sigma * std::numbers::sqrt2);
  return 0.5 * (std::erf((b - centre) * k) - std::erf((a - centre) * k));
}

// The integral of the unit step blurred by a Gaussian of `sigma` at `centre` (the normal
// cumulative distribution), from 0 to t: s (z Phi(z) + phi(z)) with z = (t - centre) / sigma, up
// to a constant.
double step_integral(double t, double centre, double sigma) {
  const double z = (t - centre) / sigma;
  const double phi = std::exp(-0.5 * z * z) / std::sqrt(2.0 * std::numbers::pi);
  const double cdf = 0.5 * std::erfc(-z / std::numbers::sqrt2);
  return sigma * (z * cdf + phi);
}

// The FWHM of the grid from kLeastFittedFwhm to kMostFittedFwhm that maximises `score`, refined
// by a parabola through it and its neighbours; NaN when no score is finite.
template <typename Score>
double best_width(Score score) {
  const int steps =
      static_cast<int>(std::lround((kMostFittedFwhm - kLeastFittedFwhm) / kWidthStep));
  std::vector<double> scores(static_cast<std::size_t>(steps + 1));
  int best = -1;
  for (int i = 0; i <= steps; ++i) {
    const double fwhm = kLeastFittedFwhm + kWidthStep * i;
    const double s = score(fwhm / kFwhmPerSigma);
    scores[static_cast<std::size_t>(i)] = s;
    if (std::isfinite(s) && (best < 0 || s > scores[static_cast<std::size_t>(best)])) best = i;
  }
  if (best < 0) return nan();
  double fwhm = kLeastFittedFwhm + kWidthStep * best;
  if (best > 0 && best < steps) {
    const double l = scores[static_cast<std::size_t>(best - 1)];
    const double c = scores[static_cast<std::size_t>(best)];
    const double r = scores[static_cast<std::size_t>(best + 1)];
    const double curve = l - 2.0 * c + r;
    if (std::isfinite(l) && std::isfinite(r) && curve < 0.0) {
      fwhm += kWidthStep * 0.5 * (l - r) / curve;
    }
  }
  return std::clamp(fwhm, kLeastFittedFwhm, kMostFittedFwhm);
}

// A blurred step fitted to a profile: floor + height * (the step of `sigma` at `centre`,
// integrated over each pixel), floor and height by least squares.
struct StepFit {
  double floor = 0.0;
  double height = 0.0;
  double rms = 0.0;  // root mean square of the residual
  bool held = false;
};

StepFit fit_step(const std::vector<double>& values, double centre, double sigma) {
  double n = 0.0, sg = 0.0, sgg = 0.0, sv = 0.0, sgv = 0.0, svv = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double p = static_cast<double>(i);
    const double g = step_integral(p + 0.5, centre, sigma) - step_integral(p - 0.5, centre, sigma);
    const double v = values[i];
    n += 1.0;
    sg += g;
    sgg += g * g;
    sv += v;
    sgv += g * v;
    svv += v * v;
  }
  StepFit fit;
  const double det = n * sgg - sg * sg;
  if (!(det > 0.0)) return fit;
  fit.height = (n * sgv - sg * sv) / det;
  fit.floor = (sv - fit.height * sg) / n;
  const double squares = svv - 2.0 * fit.floor * sv - 2.0 * fit.height * sgv +
                         n * fit.floor * fit.floor + 2.0 * fit.floor * fit.height * sg +
                         fit.height * fit.height * sgg;
  fit.rms = std::sqrt(std::max(squares, 0.0) / n);
  fit.held = fit.height > 0.0;
  return fit;
}

// The sigma, pixels, of the blurred step that best fits `values` (pixels 0, 1, ...) centred at
// `centre`; NaN when the profile is not a clean step (the residual above kMostStepResidual of
// its height: a spot, a crater rim, a slope that bends).
double step_sigma(const std::vector<double>& values, double centre) {
  const double fwhm = best_width([&](double sigma) {
    const StepFit fit = fit_step(values, centre, sigma);
    return fit.held ? -fit.rms : -std::numeric_limits<double>::infinity();
  });
  if (!std::isfinite(fwhm)) return nan();
  const double sigma = fwhm / kFwhmPerSigma;
  const StepFit fit = fit_step(values, centre, sigma);
  if (!fit.held || fit.rms > kMostStepResidual * fit.height) return nan();
  return sigma;
}

}  // namespace

double fitted_fwhm(const RingView& ring, double cx, double cy, WidthRows rows) {
  const FrameGeometry& g = ring.geometry;
  const auto n = static_cast<double>(ring.images_in_buffer);
  const std::span<const std::uint8_t> target = ring.frame_pixels(ring.target_frame);
  const int sx = static_cast<int>(std::lround(cx));
  const int sy = static_cast<int>(std::lround(cy));
  const int x0 = std::max(0, sx - kWidthReach);
  const int x1 = std::min(g.image_width - 1, sx + kWidthReach);
  const int y0 = std::max(0, sy - kWidthReach);
  const int y1 = std::min(g.image_height - 1, sy + kWidthReach);
  struct Pixel {
    int column;  // from x0
    int row;     // from y0
    double excess;
  };
  std::vector<Pixel> pixels;
  bool lit = false;
  for (int y = y0; y <= y1; ++y) {
    if (rows != WidthRows::all && odd_or_even(y) != static_cast<int>(rows)) continue;
    for (int x = x0; x <= x1; ++x) {
      const std::size_t p = static_cast<std::size_t>(y) * static_cast<std::size_t>(g.image_width) +
                            static_cast<std::size_t>(x);
      const double v = target[p];
      const double e = v - (ring.pixel_sum[p] - v) / (n - 1.0);
      pixels.push_back({x - x0, y - y0, e});
      lit = lit || e > 0.0;
    }
  }
  if (!lit) return nan();
  std::vector<double> across(static_cast<std::size_t>(x1 - x0 + 1));
  std::vector<double> down(static_cast<std::size_t>(y1 - y0 + 1));
  return best_width([&](double sigma) {
    for (std::size_t i = 0; i < across.size(); ++i) {
      const double p = x0 + static_cast<double>(i);
      across[i] = gaussian_share(p - 0.5, p + 0.5, cx, sigma);
    }
    for (std::size_t i = 0; i < down.size(); ++i) {
      const double p = y0 + static_cast<double>(i);
      down[i] = gaussian_share(p - 0.5, p + 0.5, cy, sigma);
    }
    // Least squares with the height free: the fit is as good as (sum e g)^2 / sum g^2 is large.
    double eg = 0.0;
    double gg = 0.0;
    for (const Pixel& px : pixels) {
      const double model =
          across[static_cast<std::size_t>(px.column)] * down[static_cast<std::size_t>(px.row)];
      eg += px.excess * model;
      gg += model * model;
    }
    if (!(eg > 0.0) || !(gg > 0.0)) return -std::numeric_limits<double>::infinity();
    return eg * eg / gg;
  });
}

double edge_fwhm(const RingView& ring) {
  const FrameGeometry& g = ring.geometry;
  const int w = g.image_width;
  const int h = g.image_height;
  const int reach = kEdgeReach;
  if (w < 2 * reach + 3 || h < 2 * reach + 3) return nan();
  const auto n = static_cast<double>(ring.images_in_buffer);
  const auto mean = [&](int x, int y) {
    return ring.pixel_sum[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                          static_cast<std::size_t>(x)] /
           n;
  };
  const auto gx = [&](int x, int y) { return (mean(x + 1, y) - mean(x - 1, y)) / 2.0; };
  const auto gy = [&](int x, int y) { return (mean(x, y + 1) - mean(x, y - 1)) / 2.0; };

  std::vector<double> steep;
  for (int y = 1; y < h - 1; ++y) {
    for (int x = 1; x < w - 1; ++x) {
      const double size = std::hypot(gx(x, y), gy(x, y));
      if (size >= kLeastEdgeGradient) steep.push_back(size);
    }
  }
  if (steep.size() < static_cast<std::size_t>(kLeastEdgeSamples)) return nan();
  const std::size_t rank = std::min(steep.size(), kSteepRank) - 1;
  std::nth_element(steep.begin(), steep.begin() + static_cast<std::ptrdiff_t>(rank), steep.end(),
                   std::greater<>());
  const double least = std::max(kLeastEdgeGradient, 0.5 * steep[rank]);

  // Places where the gradient peaks across the edge, with the whole profile inside the frame.
  struct Place {
    int x;
    int y;
    bool along_row;
    double slant;  // |gradient component along the profile| / |gradient|
  };
  std::vector<Place> places;
  for (int y = reach + 1; y < h - reach - 1; ++y) {
    for (int x = reach + 1; x < w - reach - 1; ++x) {
      const double ax = std::fabs(gx(x, y));
      const double ay = std::fabs(gy(x, y));
      const double size = std::hypot(ax, ay);
      if (size < least) continue;
      if (ax >= ay) {
        if (ax < std::fabs(gx(x - 1, y)) || ax <= std::fabs(gx(x + 1, y))) continue;
        places.push_back({x, y, true, ax / size});
      } else {
        if (ay < std::fabs(gy(x, y - 1)) || ay <= std::fabs(gy(x, y + 1))) continue;
        places.push_back({x, y, false, ay / size});
      }
    }
  }
  const std::size_t every = places.size() / kMostEdgeSamples + 1;
  std::vector<double> sigmas;
  std::vector<double> profile(static_cast<std::size_t>(2 * reach + 1));
  for (std::size_t k = 0; k < places.size(); k += every) {
    const Place& at = places[k];
    bool saturated = false;
    for (int i = -reach; i <= reach; ++i) {
      const double v = at.along_row ? mean(at.x + i, at.y) : mean(at.x, at.y + i);
      profile[static_cast<std::size_t>(i + reach)] = v;
      saturated = saturated || v >= kSaturatedMean;
    }
    if (saturated) continue;
    // The profile rising: a falling edge read the other way.
    if (profile.back() < profile.front()) std::reverse(profile.begin(), profile.end());
    // The edge's centre: the centre of its rise from pixel to pixel.
    double rise = 0.0;
    double moment = 0.0;
    for (std::size_t i = 0; i + 1 < profile.size(); ++i) {
      const double d = profile[i + 1] - profile[i];
      if (d <= 0.0) continue;
      rise += d;
      moment += d * (static_cast<double>(i) + 0.5);
    }
    if (!(rise > 0.0)) continue;
    const double sigma = step_sigma(profile, moment / rise);
    if (std::isfinite(sigma) && sigma * kFwhmPerSigma <= kMostEdgeFwhm) {
      sigmas.push_back(sigma * at.slant);
    }
  }
  if (sigmas.size() < static_cast<std::size_t>(kLeastEdgeSamples)) return nan();
  const auto middle = sigmas.begin() + static_cast<std::ptrdiff_t>(sigmas.size() / 2);
  std::nth_element(sigmas.begin(), middle, sigmas.end());
  return *middle * kFwhmPerSigma;
}
