#include "moon/disc_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr double kDeg = 180.0 / kPi;
constexpr double kLimbFloor = 0.07;  // pixels

struct EdgePoint {
  double x, y;    // sub-pixel position
  double gx, gy;  // unit gradient, towards the brighter side
  double strength;
};

// The limb fit's buffers (LimbFitBuffers): the full frame's smoothed copy and gradient are
// filled only in the band round the circle, and nothing outside what was filled is read.
using Buffer = FitBuffer;

// Two doubles worked on at once (the compiler's vector type: each lane's operations and their
// rounding are those of a double, a < b ? a : b picks lane by lane).
using DoublePair = double __attribute__((vector_size(16)));

// out[j] = the float of the sum over k of kernel[k] tap[k][j], for j below n, each sum a double
// from 0 in k's order (the same bits as one pixel at a time); four pixels' sums are kept in
// registers while the taps go by.
void weighted_sums(const double* kernel, int taps, const float* const* tap, int n, float* out) {
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    DoublePair a = {0.0, 0.0}, b = {0.0, 0.0};
    for (int k = 0; k < taps; ++k) {
      const DoublePair w = {kernel[k], kernel[k]};
      const float* t = tap[k] + j;
      const DoublePair p = {t[0], t[1]}, q = {t[2], t[3]};
      a += w * p;
      b += w * q;
    }
    out[j] = static_cast<float>(a[0]);
    out[j + 1] = static_cast<float>(a[1]);
    out[j + 2] = static_cast<float>(b[0]);
    out[j + 3] = static_cast<float>(b[1]);
  }
  for (; j < n; ++j) {
    double v = 0.0;
    for (int k = 0; k < taps; ++k) v += kernel[k] * tap[k][j];
    out[j] = static_cast<float>(v);
  }
}

struct Circle {
  double cx = 0.0, cy = 0.0, r = 0.0;
};

// The Gaussian's weights for sigma `sigma`, out to `reach` pixels each side, summing to 1.
std::vector<double> gaussian(double sigma, int reach) {
  std::vector<double> kernel(static_cast<std::size_t>(2 * reach + 1));
  double total = 0.0;
  for (int k = -reach; k <= reach; ++k) {
    kernel[static_cast<std::size_t>(k + reach)] = std::exp(-(k * k) / (2.0 * sigma * sigma));
    total += kernel[static_cast<std::size_t>(k + reach)];
  }
  for (double& k : kernel) k /= total;
  return kernel;
}

struct Ring;
int row_stretches(const Ring* ring, int y, int lo, int hi, int stretch[2][2]);

// A smoothed copy of the image (Gaussian, separable, edges clamped; sigma 1.5 px at full size)
// into `out` (and the rows' pass into `rows`), both made the image's size; with `ring`, only the
// pixels of the ring are smoothed, each to the same bits as in the whole frame's copy.
void smooth_into(const MeanImage& image, double sigma, int reach, const Ring* ring, Buffer& rows,
                 Buffer& out);

// Bilinear sample, clamped to the image.
double sample(const Buffer& img, int w, int h, double x, double y) {
  x = std::clamp(x, 0.0, w - 1.0);
  y = std::clamp(y, 0.0, h - 1.0);
  const int x0 = std::min(static_cast<int>(x), w - 2 < 0 ? 0 : w - 2);
  const int y0 = std::min(static_cast<int>(y), h - 2 < 0 ? 0 : h - 2);
  const double fx = x - x0;
  const double fy = y - y0;
  auto at = [&](int xx, int yy) {
    return static_cast<double>(
        img[static_cast<std::size_t>(std::min(yy, h - 1)) * w + std::min(xx, w - 1)]);
  };
  return (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
         fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
}

// The sky: the darkest mode of the histogram of grey levels (quarter-level bins), and the noise
// about it from the mode's half width.
void sky_level(const MeanImage& image, double* sky, double* noise) {
  constexpr int kBins = 1024;
  // Counted in four histograms taking the pixels in turn: most of the frame's pixels fall in a
  // few bins, and one count waiting on the one before would hold every pixel up.
  constexpr std::size_t kWays = 4;
  std::vector<std::uint32_t> counts(kWays * kBins, 0);
  auto bin = [](float v) {
    return static_cast<std::size_t>(std::clamp(static_cast<int>(v * 4.0f), 0, kBins - 1));
  };
  const std::size_t n = image.pixels.size();
  std::size_t i = 0;
  for (; i + kWays <= n; i += kWays) {
    for (std::size_t k = 0; k < kWays; ++k) ++counts[k * kBins + bin(image.pixels[i + k])];
  }
  for (; i < n; ++i) ++counts[bin(image.pixels[i])];
  std::vector<double> hist(kBins, 0.0);
  for (std::size_t b = 0; b < static_cast<std::size_t>(kBins); ++b) {
    std::uint32_t c = 0;
    for (std::size_t k = 0; k < kWays; ++k) c += counts[k * kBins + b];
    hist[b] = static_cast<double>(c);
  }
  std::vector<double> smooth(kBins, 0.0);
  for (int b = 0; b < kBins; ++b) {
    for (int k = -2; k <= 2; ++k) {
      const int bb = b + k;
      if (bb >= 0 && bb < kBins)
        smooth[static_cast<std::size_t>(b)] += hist[static_cast<std::size_t>(bb)];
    }
  }
  const double least = 0.02 * static_cast<double>(image.pixels.size());
  int mode = 0;
  // The first local maximum from the dark end holding a fair share of the frame.
  for (int b = 0; b < kBins; ++b) {
    const double here = smooth[static_cast<std::size_t>(b)];
    const double next = b + 1 < kBins ? smooth[static_cast<std::size_t>(b + 1)] : 0.0;
    if (here >= least && here >= next) {
      mode = b;
      break;
    }
  }
  const double half = smooth[static_cast<std::size_t>(mode)] / 2.0;
  int hi = mode;
  while (hi + 1 < kBins && smooth[static_cast<std::size_t>(hi)] > half) ++hi;
  int lo = mode;
  while (lo > 0 && smooth[static_cast<std::size_t>(lo)] > half) --lo;
  *sky = (mode + 0.5) / 4.0;
  // Half width at half maximum of a Gaussian is 1.1774 sigma; the 5-bin smoothing widens it.
  const double hwhm = std::max(0.25, (hi - lo) / 2.0 / 4.0 - 0.5);
  *noise = std::max(0.1, hwhm / 1.1774);
}

// The smoothed image's gradient at pixel i (not on the image's edge): its components, as floats.
float gradient_x(const Buffer& s, std::size_t i) {
  return 0.5f * (s[i + 1] - s[i - 1]);
}
float gradient_y(const Buffer& s, int w, std::size_t i) {
  return 0.5f * (s[i + static_cast<std::size_t>(w)] - s[i - static_cast<std::size_t>(w)]);
}

// The length of the smoothed image's gradient at every pixel (0 on the image's edge) into `g`,
// made the image's size.
void gradient_into(const Buffer& s, int w, int h, Buffer& g) {
  g.resize(s.size());
  std::fill(g.begin(), g.begin() + w, 0.0f);
  std::fill(g.end() - w, g.end(), 0.0f);
  for (int y = 1; y + 1 < h; ++y) {
    float* row = g.data() + static_cast<std::size_t>(y) * w;
    row[0] = 0.0f;
    row[w - 1] = 0.0f;
    for (int x = 1; x + 1 < w; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * w + x;
      const float gx = gradient_x(s, i), gy = gradient_y(s, w, i);
      row[x] = std::sqrt(gx * gx + gy * gy);
    }
  }
}

// A ring round a circle: the pixels whose distance from (cx, cy) is within `margin` of `r`.
struct Ring {
  double cx = 0.0, cy = 0.0, r = 0.0, margin = 0.0;
};

// The stretches [from, to) of row y, within [lo, hi), that hold every pixel of `ring` (a pixel to
// spare each side); no ring: the whole of [lo, hi). Returns how many (0 to 2), left to right.
int row_stretches(const Ring* ring, int y, int lo, int hi, int stretch[2][2]) {
  if (ring == nullptr) {
    stretch[0][0] = lo;
    stretch[0][1] = hi;
    return hi > lo ? 1 : 0;
  }
  const double dy = y - ring->cy;
  const double outer = ring->r + ring->margin;
  const double inner = ring->r - ring->margin;
  if (std::abs(dy) > outer) return 0;
  const double xo = std::sqrt(outer * outer - dy * dy);
  auto clip = [&](double v) { return static_cast<int>(std::clamp(v, double(lo), double(hi))); };
  int spans[2][2];
  int n = 0;
  if (inner > 0.0 && std::abs(dy) < inner) {
    const double xi = std::sqrt(inner * inner - dy * dy);
    spans[0][0] = clip(std::floor(ring->cx - xo) - 1.0);
    spans[0][1] = clip(std::ceil(ring->cx - xi) + 2.0);
    spans[1][0] = clip(std::floor(ring->cx + xi) - 1.0);
    spans[1][1] = clip(std::ceil(ring->cx + xo) + 2.0);
    n = 2;
    if (spans[0][1] >= spans[1][0]) {
      spans[0][1] = spans[1][1];
      n = 1;
    }
  } else {
    spans[0][0] = clip(std::floor(ring->cx - xo) - 1.0);
    spans[0][1] = clip(std::ceil(ring->cx + xo) + 2.0);
    n = 1;
  }
  int kept = 0;
  for (int k = 0; k < n; ++k) {
    if (spans[k][1] <= spans[k][0]) continue;
    stretch[kept][0] = spans[k][0];
    stretch[kept][1] = spans[k][1];
    ++kept;
  }
  return kept;
}

Ring widened(const Ring* ring, double by) {
  return Ring{ring->cx, ring->cy, ring->r, ring->margin + by};
}

void smooth_into(const MeanImage& image, double sigma, int reach, const Ring* ring, Buffer& rows,
                 Buffer& out) {
  const int w = image.width;
  const int h = image.height;
  const std::vector<double> kernel = gaussian(sigma, reach);
  // The rows' pass is needed `reach` rows beyond the ring: a ring `reach` wider holds them.
  const Ring wide = ring != nullptr ? widened(ring, reach) : Ring{};
  const Ring* row_ring = ring != nullptr ? &wide : nullptr;
  const std::size_t size = static_cast<std::size_t>(w) * h;
  rows.resize(size);
  out.resize(size);
  // Each output is the sum over k in the same order throughout (weighted_sums away from the
  // edges, several pixels at a time, to the same bits).
  const int taps = 2 * reach + 1;
  std::vector<const float*> tap(static_cast<std::size_t>(taps));
  int stretch[2][2];
  for (int y = 0; y < h; ++y) {
    const float* in = image.pixels.data() + static_cast<std::size_t>(y) * w;
    float* row = rows.data() + static_cast<std::size_t>(y) * w;
    const int stretches = row_stretches(row_ring, y, 0, w, stretch);
    for (int t = 0; t < stretches; ++t) {
      const int from = stretch[t][0], to = stretch[t][1];
      const int inner_from = std::max(from, reach), inner_to = std::min(to, w - reach);
      if (inner_to > inner_from) {
        for (int k = 0; k < taps; ++k)
          tap[static_cast<std::size_t>(k)] = in + inner_from + k - reach;
        weighted_sums(kernel.data(), taps, tap.data(), inner_to - inner_from, row + inner_from);
      }
      for (int x = from; x < to; ++x) {
        if (x >= reach && x < w - reach) continue;
        double v = 0.0;
        for (int k = -reach; k <= reach; ++k)
          v += kernel[static_cast<std::size_t>(k + reach)] * in[std::clamp(x + k, 0, w - 1)];
        row[x] = static_cast<float>(v);
      }
    }
  }
  for (int y = 0; y < h; ++y) {
    const int stretches = row_stretches(ring, y, 0, w, stretch);
    float* row = out.data() + static_cast<std::size_t>(y) * w;
    for (int t = 0; t < stretches; ++t) {
      const int from = stretch[t][0], to = stretch[t][1];
      for (int k = 0; k < taps; ++k) {
        tap[static_cast<std::size_t>(k)] =
            rows.data() + static_cast<std::size_t>(std::clamp(y + k - reach, 0, h - 1)) * w + from;
      }
      weighted_sums(kernel.data(), taps, tap.data(), to - from, row + from);
    }
  }
}

// The gradient of `s` (as gradient_into) at the pixels of `ring` into `g`, made the image's size.
void gradient_near(const Buffer& s, int w, int h, const Ring& ring, Buffer& g) {
  g.resize(s.size());
  int stretch[2][2];
  for (int y = 1; y + 1 < h; ++y) {
    const int stretches = row_stretches(&ring, y, 1, w - 1, stretch);
    for (int t = 0; t < stretches; ++t) {
      for (int x = stretch[t][0]; x < stretch[t][1]; ++x) {
        const std::size_t i = static_cast<std::size_t>(y) * w + x;
        const float gx = gradient_x(s, i), gy = gradient_y(s, w, i);
        g[i] = std::sqrt(gx * gx + gy * gy);
      }
    }
  }
}

// The image shrunk 2 times: each pixel the mean of a 2 x 2 block (an odd last row or column
// left out).
void shrink_into(const MeanImage& image, int* w2, int* h2, Buffer& out) {
  *w2 = image.width / 2;
  *h2 = image.height / 2;
  out.resize(static_cast<std::size_t>(*w2) * *h2);
  for (int y = 0; y < *h2; ++y) {
    const float* a = image.pixels.data() + static_cast<std::size_t>(2 * y) * image.width;
    const float* b = a + image.width;
    float* row = out.data() + static_cast<std::size_t>(y) * *w2;
    for (int x = 0; x < *w2; ++x)
      row[x] = 0.25f * ((a[2 * x] + a[2 * x + 1]) + (b[2 * x] + b[2 * x + 1]));
  }
}

// Edge points: gradient maxima along the gradient, sub-pixel, stronger than `least_gradient`,
// whose darker side (`dark_offset` px away) is within `sky_tolerance` of the sky; within `ring`
// when given (a point lies within half a pixel of its pixel), in the order of the pixels.
std::vector<EdgePoint> edge_points(const MeanImage& image, const Buffer& s, const Buffer& g,
                                   double sky, double sky_tolerance, double least_gradient,
                                   double saturation, const Ring* ring = nullptr,
                                   double dark_offset = 6.0) {
  const int w = image.width;
  const int h = image.height;
  std::vector<EdgePoint> points;
  constexpr int kBorder = 8;
  for (int y = kBorder; y < h - kBorder; ++y) {
    int stretch[2][2];
    const int stretches = row_stretches(ring, y, kBorder, w - kBorder, stretch);
    for (int k = 0; k < stretches; ++k) {
      for (int x = stretch[k][0]; x < stretch[k][1]; ++x) {
        const std::size_t i = static_cast<std::size_t>(y) * w + x;
        if (g[i] < least_gradient) continue;
        const double ux = gradient_x(s, i) / g[i];
        const double uy = gradient_y(s, w, i) / g[i];
        const double before = sample(g, w, h, x - ux, y - uy);
        const double after = sample(g, w, h, x + ux, y + uy);
        if (!(g[i] >= before && g[i] > after)) continue;
        const double curve = before - 2.0 * g[i] + after;
        const double t = curve < 0.0 ? 0.5 * (before - after) / curve : 0.0;
        const double px = x + t * ux;
        const double py = y + t * uy;
        const double dark = sample(s, w, h, px - dark_offset * ux, py - dark_offset * uy);
        if (std::abs(dark - sky) > sky_tolerance) continue;
        if (sample(s, w, h, px, py) >= saturation - 4.0) continue;
        points.push_back({px, py, ux, uy, g[i]});
      }
    }
  }
  return points;
}

bool circle_through(const EdgePoint& a, const EdgePoint& b, const EdgePoint& c, Circle* out) {
  const double bx = b.x - a.x, by = b.y - a.y, cx = c.x - a.x, cy = c.y - a.y;
  const double d = 2.0 * (bx * cy - by * cx);
  if (std::abs(d) < 1e-9) return false;
  const double b2 = bx * bx + by * by, c2 = cx * cx + cy * cy;
  const double ux = (cy * b2 - by * c2) / d;
  const double uy = (bx * c2 - cx * b2) / d;
  out->cx = a.x + ux;
  out->cy = a.y + uy;
  out->r = std::sqrt(ux * ux + uy * uy);
  return true;
}

// The circle of radius r through a and b whose centre lies on a's brighter side.
bool circle_of_radius(const EdgePoint& a, const EdgePoint& b, double r, Circle* out) {
  const double mx = 0.5 * (a.x + b.x), my = 0.5 * (a.y + b.y);
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double d = std::sqrt(dx * dx + dy * dy);
  if (d < 1e-6 || d > 2.0 * r) return false;
  const double hgt = std::sqrt(r * r - d * d / 4.0);
  const double nx = -dy / d, ny = dx / d;
  const double side = (nx * a.gx + ny * a.gy) >= 0.0 ? 1.0 : -1.0;
  out->cx = mx + side * hgt * nx;
  out->cy = my + side * hgt * ny;
  out->r = r;
  return true;
}

// A limb point of `c`: on it within `tolerance`, its gradient pointing inward within 30 degrees.
bool fits(const EdgePoint& p, const Circle& c, double tolerance) {
  const double dx = c.cx - p.x, dy = c.cy - p.y;
  const double d = std::sqrt(dx * dx + dy * dy);
  if (d <= 0.0 || std::abs(d - c.r) > tolerance) return false;
  return (dx * p.gx + dy * p.gy) / d > 0.8660254037844386;
}

// Points as columns, for counting those a candidate circle fits several at a time.
struct PointColumns {
  std::vector<double> x, y, gx, gy;
};

// How many of `p` fit `c` within `tolerance` (as `fits` says), or any number up to `beat` once
// more than `beat` can no longer be reached.
std::size_t count_fitting(const PointColumns& p, const Circle& c, double tolerance,
                          std::size_t beat) {
  const std::size_t n = p.x.size();
  constexpr std::size_t kBlock = 64;
  std::size_t count = 0;
  for (std::size_t from = 0; from < n; from += kBlock) {
    if (count + (n - from) <= beat) break;
    const std::size_t to = std::min(n, from + kBlock);
    std::size_t here = 0;
    for (std::size_t i = from; i < to; ++i) {
      // fits(), written without branches (its tests in the same sense, NaN included).
      const double dx = c.cx - p.x[i], dy = c.cy - p.y[i];
      const double d = std::sqrt(dx * dx + dy * dy);
      const bool on = !(d <= 0.0) & !(std::abs(d - c.r) > tolerance) &
                      ((dx * p.gx[i] + dy * p.gy[i]) / d > 0.8660254037844386);
      here += on ? 1 : 0;
    }
    count += here;
  }
  return count;
}

// Taubin's algebraic circle fit (Newton on its characteristic polynomial, after Chernov).
bool taubin(const std::vector<EdgePoint>& pts, Circle* out) {
  const double n = static_cast<double>(pts.size());
  if (pts.size() < 3) return false;
  double mx = 0.0, my = 0.0;
  for (const EdgePoint& p : pts) {
    mx += p.x;
    my += p.y;
  }
  mx /= n;
  my /= n;
  double mxx = 0, myy = 0, mxy = 0, mxz = 0, myz = 0, mzz = 0;
  for (const EdgePoint& p : pts) {
    const double xi = p.x - mx, yi = p.y - my, zi = xi * xi + yi * yi;
    mxy += xi * yi;
    mxx += xi * xi;
    myy += yi * yi;
    mxz += xi * zi;
    myz += yi * zi;
    mzz += zi * zi;
  }
  mxx /= n;
  myy /= n;
  mxy /= n;
  mxz /= n;
  myz /= n;
  mzz /= n;
  const double mz = mxx + myy;
  const double cov_xy = mxx * myy - mxy * mxy;
  const double var_z = mzz - mz * mz;
  const double a3 = 4.0 * mz;
  const double a2 = -3.0 * mz * mz - mzz;
  const double a1 = var_z * mz + 4.0 * cov_xy * mz - mxz * mxz - myz * myz;
  const double a0 = mxz * (mxz * myy - myz * mxy) + myz * (myz * mxx - mxz * mxy) - var_z * cov_xy;
  double x = 0.0, y = a0;
  for (int k = 0; k < 99; ++k) {
    const double dy = a1 + x * (2.0 * a2 + 3.0 * a3 * x);
    const double xn = x - y / dy;
    if (xn == x || !std::isfinite(xn)) break;
    const double yn = a0 + xn * (a1 + xn * (a2 + xn * a3));
    if (std::abs(yn) >= std::abs(y)) break;
    x = xn;
    y = yn;
  }
  const double det = x * x - x * mz + cov_xy;
  if (det == 0.0) return false;
  const double ux = (mxz * (myy - x) - myz * mxy) / det / 2.0;
  const double uy = (myz * (mxx - x) - mxz * mxy) / det / 2.0;
  out->cx = ux + mx;
  out->cy = uy + my;
  out->r = std::sqrt(ux * ux + uy * uy + mz);
  return std::isfinite(out->r);
}

// Solves the symmetric system a x = b (n <= 3) by Gauss-Jordan; false when singular. `a` is
// replaced by its inverse.
bool invert(int n, double a[3][3]) {
  double inv[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r)
      if (std::abs(a[r][c]) > std::abs(a[pivot][c])) pivot = r;
    if (std::abs(a[pivot][c]) < 1e-300) return false;
    std::swap(a[c], a[pivot]);
    std::swap(inv[c], inv[pivot]);
    const double d = a[c][c];
    for (int k = 0; k < n; ++k) {
      a[c][k] /= d;
      inv[c][k] /= d;
    }
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (int k = 0; k < n; ++k) {
        a[r][k] -= f * a[c][k];
        inv[r][k] -= f * inv[c][k];
      }
    }
  }
  for (int r = 0; r < n; ++r)
    for (int k = 0; k < n; ++k) a[r][k] = inv[r][k];
  return true;
}

// Least squares on sum((|p - c| - r)^2) with Huber weights, Gauss-Newton; the radius held when
// `fixed`. Fills the covariance and rms.
bool refine(const std::vector<EdgePoint>& pts, bool fixed, Circle* c, double cov[3][3],
            double* rms) {
  const int np = fixed ? 2 : 3;
  if (static_cast<int>(pts.size()) <= np + 2) return false;
  double scale = 1.0;
  std::vector<double> res(pts.size()), dist(pts.size());
  for (int it = 0; it < 30; ++it) {
    for (std::size_t i = 0; i < pts.size(); ++i) {
      dist[i] = std::hypot(pts[i].x - c->cx, pts[i].y - c->cy);
      res[i] = dist[i] - c->r;
    }
    std::vector<double> a(res.size());
    for (std::size_t i = 0; i < res.size(); ++i) a[i] = std::abs(res[i]);
    std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(a.size() / 2), a.end());
    scale = std::max(0.05, 1.4826 * a[a.size() / 2]);
    const double k = 1.345 * scale;
    double jtj[3][3] = {};
    double jtr[3] = {};
    for (std::size_t i = 0; i < pts.size(); ++i) {
      const double dx = pts[i].x - c->cx, dy = pts[i].y - c->cy;
      const double d = dist[i];
      if (d <= 0.0) continue;
      const double j[3] = {-dx / d, -dy / d, -1.0};
      const double wgt = std::abs(res[i]) <= k ? 1.0 : k / std::abs(res[i]);
      for (int p = 0; p < np; ++p) {
        jtr[p] += wgt * j[p] * res[i];
        for (int q = 0; q < np; ++q) jtj[p][q] += wgt * j[p] * j[q];
      }
    }
    if (!invert(np, jtj)) return false;
    double step[3] = {};
    for (int p = 0; p < np; ++p)
      for (int q = 0; q < np; ++q) step[p] -= jtj[p][q] * jtr[q];
    c->cx += step[0];
    c->cy += step[1];
    if (!fixed) c->r += step[2];
    if (std::abs(step[0]) + std::abs(step[1]) + std::abs(step[2]) < 1e-7) {
      // Covariance: the weighted residual variance times the inverse normal matrix, times the
      // number of points one independent measurement spans along the arc (the smoothing's
      // Gaussian correlates about 2 sqrt(pi) sigma = 5.3 px of neighbours).
      double ssq = 0.0;
      double wsum = 0.0;
      for (std::size_t i = 0; i < pts.size(); ++i) {
        const double wgt = std::abs(res[i]) <= k ? 1.0 : k / std::abs(res[i]);
        ssq += wgt * res[i] * res[i];
        wsum += wgt;
      }
      const double var = ssq / (static_cast<double>(pts.size()) - np) * 5.3;
      for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) cov[p][q] = (p < np && q < np) ? jtj[p][q] * var : 0.0;
      *rms = std::sqrt(ssq / std::max(1.0, wsum));
      return true;
    }
  }
  return false;
}

// Degrees of the circle the points span: 360 less the largest gap between their directions.
double arc_span(const std::vector<EdgePoint>& pts, const Circle& c) {
  if (pts.size() < 2) return 0.0;
  std::vector<double> a;
  a.reserve(pts.size());
  for (const EdgePoint& p : pts) a.push_back(std::atan2(p.y - c.cy, p.x - c.cx) * kDeg);
  std::sort(a.begin(), a.end());
  double gap = a.front() + 360.0 - a.back();
  for (std::size_t i = 1; i < a.size(); ++i) gap = std::max(gap, a[i] - a[i - 1]);
  return 360.0 - gap;
}

}  // namespace

LimbFit fit_limb(const MeanImage& image, const LimbFitSettings& settings) {
  LimbFitBuffers buffers;
  return fit_limb(image, settings, &buffers);
}

LimbFit fit_limb(const MeanImage& image, const LimbFitSettings& settings, LimbFitBuffers* buffers) {
  LimbFit fit;
  if (image.width < 32 || image.height < 32 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
    fit.problem = "frame too small for a limb fit";
    return fit;
  }
  sky_level(image, &fit.sky, &fit.noise);
  const double noise = fit.noise;
  const double tolerance = std::max(1.0, 4.0 * noise);
  const double least_gradient = std::max(2.0, 4.0 * noise);
  // Strong points find the circle; faint ones (the earthshine limb) join it afterwards. A frame
  // of 300,000 pixels or more is searched for strong points shrunk 2 times (the gradient per
  // shrunk pixel twice as steep, the smoothing and the dark side's distance halved), for a
  // quarter of the work; the faint points, which the final fits use, come from the full frame
  // in a band round the circle, which is all that is smoothed of it.
  const bool shrink = static_cast<long>(image.width) * image.height >= 300000;
  Buffer& s = buffers->smoothed;
  Buffer& rows = buffers->rows;
  Buffer& gradient = buffers->gradient;
  std::vector<EdgePoint> strong;
  if (shrink) {
    int w2 = 0, h2 = 0;
    shrink_into(image, &w2, &h2, buffers->half);
    const MeanImage small{buffers->half, w2, h2};
    smooth_into(small, 0.75, 3, nullptr, buffers->half_rows, buffers->half_smoothed);
    gradient_into(buffers->half_smoothed, w2, h2, buffers->half_gradient);
    strong = edge_points(small, buffers->half_smoothed, buffers->half_gradient, fit.sky, tolerance,
                         2.0 * least_gradient, settings.saturation, nullptr, 3.0);
    for (EdgePoint& p : strong) {
      p.x = 2.0 * p.x + 0.5;
      p.y = 2.0 * p.y + 0.5;
    }
  } else {
    smooth_into(image, 1.5, 5, nullptr, rows, s);
    gradient_into(s, image.width, image.height, gradient);
    strong =
        edge_points(image, s, gradient, fit.sky, tolerance, least_gradient, settings.saturation);
  }
  // At least 20 px of limb (a strong point to every pixel of it, or to every other shrunk).
  const std::size_t least_points = shrink ? 10 : 20;
  if (strong.size() < least_points) {
    fit.problem = "no limb in view";
    return fit;
  }
  const bool fixed = settings.fixed_radius > 0.0;
  std::mt19937 random(12345);  // a fixed seed: the same frame gives the same fit
  std::uniform_int_distribution<std::size_t> pick(0, strong.size() - 1);
  // Candidates are scored on at most 1000 points spread over all of them (the limb's points
  // follow one another along it, so these are still a few pixels apart on a long limb).
  const std::size_t stride = std::max<std::size_t>(1, strong.size() / 1000);
  Circle best;
  std::size_t best_count = 0;
  const double largest = 4.0 * std::max(image.width, image.height);
  PointColumns scored;
  for (std::size_t i = 0; i < strong.size(); i += stride) {
    scored.x.push_back(strong[i].x);
    scored.y.push_back(strong[i].y);
    scored.gx.push_back(strong[i].gx);
    scored.gy.push_back(strong[i].gy);
  }
  for (int it = 0; it < 600; ++it) {
    Circle c;
    const EdgePoint& a = strong[pick(random)];
    const EdgePoint& b = strong[pick(random)];
    if (fixed) {
      if (!circle_of_radius(a, b, settings.fixed_radius, &c)) continue;
    } else {
      if (!circle_through(a, b, strong[pick(random)], &c)) continue;
      if (c.r < 16.0 || c.r > largest) continue;
    }
    const std::size_t count = count_fitting(scored, c, 1.5, best_count);
    if (count > best_count) {
      best_count = count;
      best = c;
    }
  }
  if (best_count < least_points / 2) {
    fit.problem = "no limb in view";
    return fit;
  }
  Circle c = best;
  std::vector<EdgePoint> used;
  for (const EdgePoint& p : strong)
    if (fits(p, c, 1.5)) used.push_back(p);
  if (!fixed) {
    Circle algebraic;
    if (taubin(used, &algebraic)) c = algebraic;
  }
  double cov[3][3] = {};
  double rms = 0.0;
  if (!refine(used, fixed, &c, cov, &rms)) {
    fit.problem = "limb fit did not converge";
    return fit;
  }
  // The faint limb: every point, down to the noise, in a band round the circle, then refit. Only
  // the pixels near the band are looked at.
  // The first round smooths a ring a little wider than its band needs (`filled`), which usually
  // holds the second round's too: the second circle lies within a pixel of the first, and the
  // smoothed frame's pixels are the same whichever ring they are smoothed in.
  constexpr double kSpare = 4.0;
  Ring filled;
  bool any_filled = false;
  for (int round = 0; round < 2; ++round) {
    const double band = std::max(2.0, 3.0 * rms);
    const Ring near{c.cx, c.cy, c.r, band + 1.0};
    // A ring's stretches (row_stretches) hold pixels up to 3 px from it: those of `near`
    // widened by w lie within those of `filled` widened by w when its margin exceeds near's by
    // 3 px and the circles' difference.
    const double apart = std::hypot(c.cx - filled.cx, c.cy - filled.cy) + std::abs(c.r - filled.r);
    if (shrink && !(any_filled && near.margin + 3.0 + apart <= filled.margin)) {
      filled = widened(&near, kSpare);
      any_filled = true;
      // What the band's points read: the gradient up to 2 px beyond it, the smoothed frame up
      // to 8 px (the dark side 6 px off, and a pixel more for the bilinear samples).
      const Ring area = widened(&filled, 9.0);
      smooth_into(image, 1.5, 5, &area, rows, s);
      gradient_near(s, image.width, image.height, widened(&filled, 3.0), gradient);
    }
    const std::vector<EdgePoint> faint =
        edge_points(image, s, gradient, fit.sky, tolerance, std::max(0.3, 1.5 * noise),
                    settings.saturation, &near);
    std::vector<EdgePoint> next;
    for (const EdgePoint& p : faint)
      if (fits(p, c, band)) next.push_back(p);
    Circle trial = c;
    double trial_cov[3][3] = {};
    double trial_rms = 0.0;
    if (next.size() < used.size() / 2 || !refine(next, fixed, &trial, trial_cov, &trial_rms)) break;
    c = trial;
    used.swap(next);
    rms = trial_rms;
    for (int p = 0; p < 3; ++p)
      for (int q = 0; q < 3; ++q) cov[p][q] = trial_cov[p][q];
  }
  // A floor for what the residuals cannot show: the gradient maximum of a limb whose lit side
  // brightens towards the edge (as the Moon's does) lies up to 0.1 px outside the true limb.
  for (int p = 0; p < (fixed ? 2 : 3); ++p) cov[p][p] += kLimbFloor * kLimbFloor;
  fit.found = true;
  fit.cx = c.cx;
  fit.cy = c.cy;
  fit.radius = c.r;
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q) fit.cov[p][q] = cov[p][q];
  fit.rms = rms;
  fit.points = static_cast<int>(used.size());
  fit.arc = arc_span(used, c);
  fit.radius_known = fixed || fit.arc >= settings.least_arc;
  if (!fit.radius_known) {
    fit.problem = "limb arc too short to fix the radius (give --scale)";
  }
  return fit;
}

namespace {

struct DiscSample {
  float dx, dy;  // offsets from the centre in limb radii
  float value;   // 1 seen lit, 0 not
  double z;      // the sphere's height towards the observer there, limb radii
  double edge;   // where the predicted share passes half: g = edge (see predicted_share)
};

// The predicted lit share of sample `p` for the bright limb in screen direction (ux, uy). By
// Lommel-Seeliger's law a surface is as bright as mu0 / (mu0 + mu) (mu0, mu the cosines of the
// Sun's and the observer's angles from the normal): it fades to nothing at the terminator, and a
// pixel shows as lit once that share of the lit side's brightness passes `least_share`. The share
// goes from 0 to 1 over `width` (limb radii) at that edge.
// The sample's z and edge depend on the trial angle not at all and are computed once (edge_of).
double predicted_share(const DiscSample& p, double ux, double uy, double sin_i, double cos_i,
                       double width) {
  const double along = p.dx * ux + p.dy * uy;
  const double g = sin_i * along + cos_i * p.z;
  return std::clamp(0.5 + (g - p.edge) / width, 0.0, 1.0);
}

double height_of(float dx, float dy) {
  const double r2 = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
  return std::sqrt(std::max(0.0, 1.0 - r2));
}

double edge_of(double z, double least_share) {
  return least_share * z / (1.0 - least_share);
}

// How badly the lit region predicted for the bright limb at screen angle `psi` (radians) matches
// the pixels seen lit: the sum of (seen - predicted)^2. Only whether a pixel is lit counts, not
// how bright: albedo barely moves the answer.
double separation_cost(const std::vector<DiscSample>& samples, double psi, double sin_i,
                       double cos_i, double width) {
  const double ux = -std::sin(psi), uy = -std::cos(psi);
  double cost = 0.0;
  for (const DiscSample& p : samples) {
    const double d = p.value - predicted_share(p, ux, uy, sin_i, cos_i, width);
    cost += d * d;
  }
  return cost;
}

constexpr int kSteps = 12;  // a search grid holds the centre and 12 angles each side
constexpr int kGrid = 2 * kSteps + 1;

// separation_cost at the grid's angles centre + span k / kSteps (k = -kSteps to kSteps) into
// `cost`, in one pass over the samples: each angle's sum runs over the samples in the same
// order, to the same bits, while the angles' sums go side by side, two at a time (the last pair
// holds the last angle twice).
void grid_costs(const std::vector<DiscSample>& samples, double centre, double span, double sin_i,
                double cos_i, double width, double cost[kGrid]) {
  constexpr int kPairs = (kGrid + 1) / 2;
  DoublePair ux[kPairs], uy[kPairs], sums[kPairs];
  for (int k = 0; k < 2 * kPairs; ++k) {
    const double a = centre + span * (std::min(k, kGrid - 1) - kSteps) / kSteps;
    ux[k / 2][k % 2] = -std::sin(a);
    uy[k / 2][k % 2] = -std::cos(a);
    sums[k / 2][k % 2] = 0.0;
  }
  const DoublePair sin_pair = {sin_i, sin_i}, width_pair = {width, width};
  const DoublePair half = {0.5, 0.5}, one = {1.0, 1.0}, zero = {0.0, 0.0};
  for (const DiscSample& p : samples) {
    const double height = cos_i * p.z;
    const DoublePair dx = {p.dx, p.dx}, dy = {p.dy, p.dy}, value = {p.value, p.value};
    const DoublePair height_pair = {height, height}, edge = {p.edge, p.edge};
    for (int k = 0; k < kPairs; ++k) {
      const DoublePair along = dx * ux[k] + dy * uy[k];
      const DoublePair g = sin_pair * along + height_pair;
      // std::clamp's answer.
      const DoublePair v = half + (g - edge) / width_pair;
      const DoublePair below_one = one < v ? one : v;
      const DoublePair share = below_one < zero ? zero : below_one;
      const DoublePair d = value - share;
      sums[k] += d * d;
    }
  }
  for (int k = 0; k < kGrid; ++k) cost[k] = sums[k / 2][k % 2];
}

// The angle of the grid round `centre` with the least cost plus `constant` (the first of equals).
double grid_best(const std::vector<DiscSample>& samples, double centre, double span, double sin_i,
                 double cos_i, double width, double constant = 0.0) {
  double cost[kGrid];
  grid_costs(samples, centre, span, sin_i, cos_i, width, cost);
  double best = centre;
  double best_cost = 0.0;
  for (int k = -kSteps; k <= kSteps; ++k) {
    const double c = constant + cost[k + kSteps];
    if (k == -kSteps || c < best_cost) {
      best_cost = c;
      best = centre + span * k / kSteps;
    }
  }
  return best;
}

// The screen angle of the bright limb minimising the cost, searched within `span` of `start`:
// a grid of 25 angles, then `levels` - 1 grids each 8 times finer round the best.
double best_angle(const std::vector<DiscSample>& samples, double start, double span, double sin_i,
                  double cos_i, double width, int levels) {
  double centre = start;
  for (int level = 0; level < levels; ++level) {
    centre = grid_best(samples, centre, span, sin_i, cos_i, width);
    span /= 8.0;
  }
  return centre;
}

// Whether sample `p`'s predicted share can change while the bright limb turns by up to `reach`
// from the screen direction (ux, uy): turning it changes g by at most sin(i) r reach, and the
// share is 0 or 1 wherever g is more than width / 2 from the edge. When it cannot, the sample's
// part of every such trial's cost (0 or 1: a sample is seen lit or not, and predicted so or not)
// is added to `constant`. `widest` is the test's bound for r = 1, which no sample's exceeds: a
// sample beyond it needs no square root.
struct BandTest {
  double ux, uy, sin_i, cos_i, width, reach, widest;
  BandTest(double psi, double reach_, double sin_i_, double cos_i_, double width_)
      : ux(-std::sin(psi)),
        uy(-std::cos(psi)),
        sin_i(sin_i_),
        cos_i(cos_i_),
        width(width_),
        reach(reach_),
        widest(std::abs(sin_i_) * 1.0 * reach_ + width_) {}
  bool varies(const DiscSample& p, double* constant) const {
    const double g = sin_i * (p.dx * ux + p.dy * uy) + cos_i * p.z;
    const double off = std::abs(g - p.edge);
    if (off <= widest) {
      const double r2 = static_cast<double>(p.dx) * p.dx + static_cast<double>(p.dy) * p.dy;
      if (off <= std::abs(sin_i) * std::sqrt(r2) * reach + width) return true;
    }
    const double share = g > p.edge ? 1.0 : 0.0;
    *constant += (p.value - share) * (p.value - share);
    return false;
  }
};

// For `n` samples of one row (offsets dx, their squares dx2, the row's dy and its square dy2, dy
// a float's value): each one's height z and edge (height_of, edge_of) and g, and how far it
// lies beyond the bound of `test`, step for step as BandTest::varies (whose share can change
// where `beyond` is not above 0: the difference of two finite doubles has the sign of theirs),
// several samples at once. The samples lie within 0.98 of the limb, where 1 - r^2 is above
// 0.03: height_of's floor at 0 changes nothing there and is left out.
void band_terms(const BandTest& test, double least_share, const double* __restrict dx,
                const double* __restrict dx2, std::size_t n, double dy, double dy2,
                double* __restrict z, double* __restrict edge, double* __restrict g,
                double* __restrict beyond) {
  const double sin_i = test.sin_i, cos_i = test.cos_i, ux = test.ux, uy = test.uy;
  const double reach = test.reach, width = test.width, keep = 1.0 - least_share;
  for (std::size_t j = 0; j < n; ++j) {
    const double r2 = dx2[j] + dy2;
    const double height = std::sqrt(1.0 - r2);
    const double e = least_share * height / keep;
    const double gj = sin_i * (dx[j] * ux + dy * uy) + cos_i * height;
    const double off = std::abs(gj - e);
    const double bound = std::abs(sin_i) * std::sqrt(r2) * reach + width;
    z[j] = height;
    edge[j] = e;
    g[j] = gj;
    beyond[j] = off - bound;
  }
}

// The samples whose predicted share can change while the bright limb turns by up to `reach`
// from screen angle `psi` go to `varying` (BandTest), in their order; the others' part of every
// such trial's cost is returned.
double split_band(const std::vector<DiscSample>& samples, double psi, double reach, double sin_i,
                  double cos_i, double width, std::vector<DiscSample>* varying) {
  const BandTest test(psi, reach, sin_i, cos_i, width);
  varying->clear();
  double constant = 0.0;
  for (const DiscSample& p : samples)
    if (test.varies(p, &constant)) varying->push_back(p);
  return constant;
}

// The fine search: 4 grids, each 8 times finer round the best of the one before, then a parabola
// through the best and its neighbours. Each finer grid is costed on only the samples whose share
// can change within it, the others' constant part added: the same costs but for rounding, for a
// fraction of the work.
double best_angle_narrowing(const std::vector<DiscSample>& samples, double start, double span,
                            double sin_i, double cos_i, double width) {
  constexpr int kLevels = 4;
  double centre = start;
  std::vector<DiscSample> narrow[2];
  const std::vector<DiscSample>* in = &samples;
  double constant = 0.0;
  for (int level = 0; level < kLevels; ++level) {
    centre = grid_best(*in, centre, span, sin_i, cos_i, width, constant);
    span /= 8.0;
    // The next grid (and the parabola after the last) stays within `span` of the centre.
    std::vector<DiscSample>* out = &narrow[level % 2];
    constant += split_band(*in, centre, span, sin_i, cos_i, width, out);
    in = out;
  }
  const double h = span * 8.0 / kSteps;
  const double c0 = constant + separation_cost(*in, centre - h, sin_i, cos_i, width);
  const double c1 = constant + separation_cost(*in, centre, sin_i, cos_i, width);
  const double c2 = constant + separation_cost(*in, centre + h, sin_i, cos_i, width);
  const double curve = c0 - 2.0 * c1 + c2;
  if (curve > 0.0) centre += 0.5 * h * (c0 - c2) / curve;
  return centre;
}

}  // namespace

OrientationFit fit_orientation(const MeanImage& image, const LimbFit& limb, double bright_limb_pa,
                               double phase, bool mirror) {
  OrientationFit fit;
  if (!limb.found || limb.radius <= 0.0) {
    fit.problem = "no disc to orient";
    return fit;
  }
  // The disc's pixels (to 0.98 of the limb, clear of its blur) in the frame. Each row's lie in
  // one stretch (the test below holds from the stretch's ends inwards): the first pass finds the
  // stretches and the levels' statistics, the samples themselves are made where they are used,
  // without a copy of the disc.
  // Only the rows and columns the disc covers (one more each side) can hold its pixels.
  auto first = [](double from, int size) {
    return static_cast<int>(std::clamp(std::floor(from) - 1.0, 0.0, static_cast<double>(size)));
  };
  auto last = [](double to, int size) {
    return static_cast<int>(std::clamp(std::ceil(to) + 1.0, -1.0, size - 1.0));
  };
  const double reach = 0.98 * limb.radius;
  const int y0 = first(limb.cy - reach, image.height), y1 = last(limb.cy + reach, image.height);
  const int x0 = first(limb.cx - reach, image.width), x1 = last(limb.cx + reach, image.width);
  // A disc of 1000 px in radius or more is sampled on every 2nd pixel and row (every 3rd from
  // 1500 px, and so on): its terminator still crosses thousands of samples, which fix the angle
  // far better than the lit region's model does, for a quarter of the work or less.
  const int step = std::max(1, static_cast<int>(limb.radius / 500.0));
  // The columns' offsets from the centre in limb radii, column x0 + k step at k.
  std::vector<double> column_dx;
  for (int x = x0; x <= x1; x += step) column_dx.push_back((x - limb.cx) / limb.radius);
  auto column = [&](int x) { return static_cast<std::size_t>((x - x0) / step); };
  auto inside = [&](int x, double dy) {
    const double dx = column_dx[column(x)];
    return dx * dx + dy * dy <= 0.98 * 0.98;
  };
  struct Stretch {
    int y, from, to;    // x from `from` to `to` by `step`, both included
    std::size_t first;  // the index of its first sample
  };
  std::vector<Stretch> stretches;
  // Grey levels in sixteenths (the lit level's order statistic is looked for in one of them);
  // eight make the night side's half-level bins.
  constexpr int kBins = 512;
  constexpr int kFine = 8 * kBins;
  auto fine_bin = [](float v) { return std::clamp(static_cast<int>(v * 16.0f), 0, kFine - 1); };
  std::vector<std::uint32_t> fine(kFine, 0);
  double mx = 0.0, my = 0.0, total = 0.0;
  std::size_t count = 0;
  const int x_last = column_dx.empty() ? x0 - step : x0 + (x1 - x0) / step * step;
  for (int y = y0; y <= y1; y += step) {
    const double dy = (y - limb.cy) / limb.radius;
    int from = x0;
    while (from <= x1 && !inside(from, dy)) from += step;
    if (from > x1) continue;
    int to = x_last;
    while (!inside(to, dy)) to -= step;
    stretches.push_back({y, from, to, count});
    const float* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width;
    for (int x = from; x <= to; x += step) {
      const double dx = column_dx[column(x)];
      const float v = row[x];
      ++fine[static_cast<std::size_t>(fine_bin(v))];
      const double above = std::max(0.0, v - limb.sky);
      mx += above * dx;
      my += above * dy;
      total += above;
    }
    count += static_cast<std::size_t>((to - from) / step + 1);
  }
  if (count < 100 || total <= 0.0 || std::hypot(mx, my) < 1e-3 * total) {
    fit.problem = "lit limb not in view";
    return fit;
  }
  const double sin_i = std::sin(phase * kRad);
  const double cos_i = std::cos(phase * kRad);
  const double width = 2.0 / limb.radius;
  // The night side's level: the darkest mode of the disc's grey levels (half-level bins, summed
  // over 5), holding at least 1% of the pixels; its population (earthshine, with the night
  // side's albedo) ends where the histogram falls below 2% of the mode. A pixel is lit above
  // that, by at least 3 grey levels and 4 times the noise. The lit side's level: the brightest
  // two-hundredth (near the bright limb, where the whole of the lit side's brightness shows; a thin
  // crescent is a tenth of the disc or less).
  // That order statistic is found among the values of the one sixteenth of a level holding it
  // (the bins follow the values' order).
  const std::size_t rank = count - 1 - count / 200;
  std::size_t below = 0;
  int day_bin = 0;
  while (below + fine[static_cast<std::size_t>(day_bin)] <= rank) {
    below += fine[static_cast<std::size_t>(day_bin)];
    ++day_bin;
  }
  std::vector<float> day_values;
  day_values.reserve(fine[static_cast<std::size_t>(day_bin)]);
  for (const Stretch& s : stretches) {
    const float* row = image.pixels.data() + static_cast<std::size_t>(s.y) * image.width;
    for (int x = s.from; x <= s.to; x += step)
      if (fine_bin(row[x]) == day_bin) day_values.push_back(row[x]);
  }
  const auto day_at = day_values.begin() + static_cast<std::ptrdiff_t>(rank - below);
  std::nth_element(day_values.begin(), day_at, day_values.end());
  const double day = *day_at;
  std::vector<double> hist(kBins, 0.0);
  for (int b = 0; b < kFine; ++b)
    hist[static_cast<std::size_t>(b / 8)] += static_cast<double>(fine[static_cast<std::size_t>(b)]);
  std::vector<double> smooth(kBins, 0.0);
  for (int b = 0; b < kBins; ++b) {
    for (int k = -2; k <= 2; ++k) {
      if (b + k >= 0 && b + k < kBins) {
        smooth[static_cast<std::size_t>(b)] += hist[static_cast<std::size_t>(b + k)];
      }
    }
  }
  int mode = 0;
  for (int b = 0; b + 1 < kBins; ++b) {
    const double here = smooth[static_cast<std::size_t>(b)];
    if (here >= 0.01 * static_cast<double>(count) &&
        here >= smooth[static_cast<std::size_t>(b + 1)]) {
      mode = b;
      break;
    }
  }
  int top = mode;
  while (top + 1 < kBins &&
         smooth[static_cast<std::size_t>(top)] >= 0.02 * smooth[static_cast<std::size_t>(mode)]) {
    ++top;
  }
  const double night = (mode + 0.5) / 2.0;
  const double threshold = std::max({3.0, 4.0 * limb.noise, (top + 0.5) / 2.0 - night});
  if (day - night < 4.0 * threshold) {
    fit.problem = "lit limb not in view";
    return fit;
  }
  const double least_share = threshold / (day - night);
  // The sample at pixel (x, y) of row `row`: seen lit or not, its height and edge.
  auto sample_at = [&](const float* row, int x, int y) {
    const float dx = static_cast<float>(column_dx[column(x)]);
    const float dy = static_cast<float>((y - limb.cy) / limb.radius);
    const float value = row[x] - night > threshold ? 1.0f : 0.0f;
    const double z = height_of(dx, dy);
    return DiscSample{dx, dy, value, z, edge_of(z, least_share)};
  };
  // The samples within `reach` of screen angle `psi` (split_band, BandTest) over all of them, in
  // their order, a row's stretch at a time: first every sample's terms and test (several samples
  // at once), then the band's samples kept and the others' mismatches counted.
  // A sample's offset across as a float, and that and its square as doubles, by column.
  std::vector<float> column_fdx(column_dx.size());
  std::vector<double> column_fdx_d(column_dx.size()), column_fdx2(column_dx.size());
  for (std::size_t c = 0; c < column_dx.size(); ++c) {
    column_fdx[c] = static_cast<float>(column_dx[c]);
    column_fdx_d[c] = column_fdx[c];
    column_fdx2[c] = column_fdx_d[c] * column_fdx[c];
  }
  std::vector<double> stretch_z, stretch_edge, stretch_g, stretch_beyond;
  auto split_all = [&](double psi, double reach_angle, std::vector<DiscSample>* varying) {
    const BandTest test(psi, reach_angle, sin_i, cos_i, width);
    varying->clear();
    std::size_t mismatched = 0;
    // g - edge is A dx + B + K z along a row (z = sqrt(1 - dx^2 - dy^2)); its slope is at most
    // |A| + |K| |dx| / z. A run of samples whose middle one's g - edge lies beyond the widest
    // bound by more than that slope times the run's half length (and far more than rounding)
    // holds no sample of the band, and its samples' shares are all on the middle one's side.
    const double slope_a = std::abs(test.sin_i * test.ux);
    const double slope_k = std::abs(test.cos_i - least_share / (1.0 - least_share));
    constexpr std::size_t kRun = 16;
    for (const Stretch& st : stretches) {
      const std::size_t n = static_cast<std::size_t>((st.to - st.from) / step + 1);
      stretch_z.resize(n);
      stretch_edge.resize(n);
      stretch_g.resize(n);
      stretch_beyond.resize(n);
      const float dy = static_cast<float>((st.y - limb.cy) / limb.radius);
      const double dy_d = dy, dy2 = dy_d * dy;
      const std::size_t first_column = column(st.from);
      const double* dx_of = column_fdx_d.data() + first_column;
      const float* row = image.pixels.data() + static_cast<std::size_t>(st.y) * image.width;
      auto lit_at = [&](std::size_t j) {
        return row[st.from + static_cast<int>(j) * step] - night > threshold;
      };
      for (std::size_t from = 0; from < n; from += kRun) {
        const std::size_t to = std::min(n, from + kRun);
        const std::size_t mid = (from + to - 1) / 2;
        const double m = std::max(std::abs(dx_of[from]), std::abs(dx_of[to - 1]));
        const double slope = (slope_a + slope_k * m / std::sqrt(1.0 - m * m - dy2)) * 1.01;
        const double half = std::max(dx_of[mid] - dx_of[from], dx_of[to - 1] - dx_of[mid]);
        const double z_mid = std::sqrt(1.0 - column_fdx2[first_column + mid] - dy2);
        const double off_mid = test.sin_i * (dx_of[mid] * test.ux + dy_d * test.uy) +
                               test.cos_i * z_mid - least_share * z_mid / (1.0 - least_share);
        if (std::abs(off_mid) > test.widest + slope * half + 1e-9) {
          const bool share = off_mid > 0.0;
          for (std::size_t j = from; j < to; ++j) mismatched += lit_at(j) != share ? 1 : 0;
          continue;
        }
        band_terms(test, least_share, dx_of + from, column_fdx2.data() + first_column + from,
                   to - from, dy_d, dy2, stretch_z.data(), stretch_edge.data(), stretch_g.data(),
                   stretch_beyond.data());
        for (std::size_t j = from; j < to; ++j) {
          const std::size_t k = j - from;
          const bool lit = lit_at(j);
          if (!(stretch_beyond[k] > 0.0)) {
            varying->push_back({column_fdx[first_column + j], dy, lit ? 1.0f : 0.0f, stretch_z[k],
                                stretch_edge[k]});
          } else {
            mismatched += lit != (stretch_g[k] > stretch_edge[k]) ? 1 : 0;
          }
        }
      }
    }
    // Each mismatch costs 1 in every trial, a match 0: their sum is the count, exactly.
    return static_cast<double>(mismatched);
  };
  // A coarse answer, to an eighth of a degree, on about 8000 of the pixels, starting from the
  // brighter half of the disc, which shows roughly where the bright limb is; the fine search
  // below needs it within its turn of 3 degrees only.
  const std::size_t stride = std::max<std::size_t>(1, count / 8000);
  std::vector<DiscSample> coarse_samples;
  coarse_samples.reserve(count / stride + 1);
  {
    std::size_t next = 0;
    for (const Stretch& s : stretches) {
      const float* row = image.pixels.data() + static_cast<std::size_t>(s.y) * image.width;
      const std::size_t end = s.first + static_cast<std::size_t>((s.to - s.from) / step + 1);
      for (; next < end; next += stride) {
        const int x = s.from + static_cast<int>(next - s.first) * step;
        coarse_samples.push_back(sample_at(row, x, s.y));
      }
    }
  }
  // Its two grids try angles within 12 + 1.5 degrees of the start. A sample whose share is the
  // same for all of them (BandTest) and matches what is seen adds exactly 0 to every trial's
  // cost: it is left out, the others kept in their order, and every cost is the same.
  const double coarse_start = std::atan2(-mx, -my);
  {
    const BandTest coarse_test(coarse_start, 14.0 * kRad, sin_i, cos_i, width);
    std::size_t kept = 0;
    for (const DiscSample& p : coarse_samples) {
      double mismatch = 0.0;
      if (coarse_test.varies(p, &mismatch) || mismatch != 0.0) coarse_samples[kept++] = p;
    }
    coarse_samples.resize(kept);
  }
  double centre_angle =
      best_angle(coarse_samples, coarse_start, 12.0 * kRad, sin_i, cos_i, width, 2);
  // The fine answer on every pixel whose predicted share can change within `turn` of the coarse
  // one (turning the bright limb by up to `turn` changes g by at most sin(i) r turn, and the
  // share is 0 or 1 wherever g is more than width / 2 from the edge); the others add the same to
  // every trial's cost. When the answer comes near the turn's end the band is drawn again.
  const double turn = 3.0 * kRad;
  // The rounds draw their bands from a wider one round the coarse answer, which holds every
  // sample whose share can change within 3.5 turns of it (the others' share is the same for every
  // round's trials); a round whose band would reach beyond it draws from all the samples.
  const double start_angle = centre_angle;
  const double wide_reach = 3.5 * turn;
  std::vector<DiscSample> wide;
  const double wide_constant = split_all(start_angle, wide_reach, &wide);
  std::vector<DiscSample> band;
  double constant = 0.0;
  double psi = centre_angle;
  for (int round = 0; round < 3; ++round) {
    if (std::abs(centre_angle - start_angle) + turn <= wide_reach) {
      constant = wide_constant + split_band(wide, centre_angle, turn, sin_i, cos_i, width, &band);
    } else {
      constant = split_all(centre_angle, turn, &band);
    }
    psi = best_angle_narrowing(band, centre_angle, 0.8 * turn, sin_i, cos_i, width);
    if (std::abs(psi - centre_angle) < 0.6 * turn) break;
    centre_angle = psi;
  }
  // The statistical error from the cost's curvature (the residual variance per pixel over half
  // the second derivative), times 3 for misfits along the terminator coming in runs of a few
  // pixels.
  const double h = 0.05 * kRad;
  const double c0 = separation_cost(band, psi - h, sin_i, cos_i, width);
  const double c1 = separation_cost(band, psi, sin_i, cos_i, width);
  const double c2 = separation_cost(band, psi + h, sin_i, cos_i, width);
  const double curvature = (c0 - 2.0 * c1 + c2) / (h * h);
  const double variance = (c1 + constant) / static_cast<double>(count);
  const double statistical = curvature > 0.0 ? std::sqrt(2.0 * variance / curvature * 3.0) : 0.0;
  // A centre error across the bright-limb axis turns the lit region about the true centre.
  const double centre = std::sqrt(0.5 * (limb.cov[0][0] + limb.cov[1][1])) / limb.radius;
  const double psi_deg = psi * kDeg;
  fit.rotation = mirror ? bright_limb_pa + psi_deg : bright_limb_pa - psi_deg;
  fit.rotation = std::remainder(fit.rotation, 360.0);
  // With a floor of 0.05 degrees for what the lit region's model leaves out (albedo near the
  // cusps, the terminator's own shape): the synthetic discs of the tests are off by up to 0.08.
  fit.error =
      std::sqrt(statistical * statistical + centre * centre + 0.05 * kRad * 0.05 * kRad) * kDeg;
  fit.found = true;
  return fit;
}

bool bright_centroid(std::span<const double> sum, int width, int height, double frames, double sky,
                     double* cx, double* cy) {
  // Every 4th pixel of every 8th row: a disc's centroid moves with the disc to well under a pixel
  // on that grid, and the reads, which cost the most (the sums are rarely in the cache), come
  // from an eighth of the rows.
  constexpr int kStep = 4;
  constexpr int kRowStep = 8;
  constexpr int kSide = 4;  // rows summed side by side
  const double floor = sky * frames;
  double sx = 0.0, sy = 0.0, total = 0.0;
  // Each row's two sums wait on their own last addition only: four rows' run side by side, and
  // go into the totals in the rows' order, the same sums as one row after the other. A pixel at
  // or below the sky adds +0, which changes no sum (they start at +0 and only grow).
  int y = kRowStep / 2;
  for (; y + (kSide - 1) * kRowStep < height; y += kSide * kRowStep) {
    const double* rows[kSide];
    double row_x[kSide] = {}, row_total[kSide] = {};
    for (int k = 0; k < kSide; ++k)
      rows[k] = sum.data() + static_cast<std::size_t>(y + k * kRowStep) * width;
    for (int x = kStep / 2; x < width; x += kStep) {
      for (int k = 0; k < kSide; ++k) {
        const double v = rows[k][x] - floor;
        const double above = v <= 0.0 ? 0.0 : v;
        row_x[k] += above * x;
        row_total[k] += above;
      }
    }
    for (int k = 0; k < kSide; ++k) {
      sx += row_x[k];
      sy += row_total[k] * (y + k * kRowStep);
      total += row_total[k];
    }
  }
  for (; y < height; y += kRowStep) {
    const double* row = sum.data() + static_cast<std::size_t>(y) * width;
    double row_total = 0.0, row_x = 0.0;
    for (int x = kStep / 2; x < width; x += kStep) {
      const double v = row[x] - floor;
      if (v <= 0.0) continue;
      row_x += v * x;
      row_total += v;
    }
    sx += row_x;
    sy += row_total * y;
    total += row_total;
  }
  if (total <= 0.0) return false;
  *cx = sx / total;
  *cy = sy / total;
  return true;
}
