// The straightforward versions, written from the detector's rules alone; see the header.
#include "reference/reference_detection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace reference {

namespace {

std::size_t pixel_index(int x, int y, int width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
         static_cast<std::size_t>(x);
}

std::size_t slot_start(const FrameRing& ring, int slot) {
  return static_cast<std::size_t>(slot) * static_cast<std::size_t>(ring.frame_pixels);
}

std::uint8_t at(const FrameRing& ring, int slot, std::size_t p) {
  return ring.frame_ring[slot_start(ring, slot) + p];
}

// The values the temporal test finds for one pixel.
struct Temporal {
  bool passes = false;
  double b = 0.0;
  double tau = 0.0;
  double v = 0.0;
};

// The temporal test of pixel p of the frame in `slot`: u = v - S / (N - 1) with the whole sum S,
// tau = sqrt((Q - u^2) / (N - 2)) floored at Min_sd2 (a NaN stays NaN), b = (S - v) / (N - 1);
// it passes when v - b > Time_sd * tau, b > 5 and b < 250.
Temporal temporal(const FrameRing& ring, int slot, std::size_t p, double time_sd, double min_sd2) {
  Temporal t;
  const double n = static_cast<double>(ring.images_in_buffer);
  t.v = static_cast<double>(at(ring, slot, p));
  const double s = ring.pixel_sum[p];
  const double u = t.v - s / (n - 1.0);
  t.tau = std::sqrt((ring.pixel_sq_dev[p] - u * u) / (n - 2.0));
  t.b = (s - t.v) / (n - 1.0);
  if (min_sd2 > t.tau) t.tau = min_sd2;
  t.passes = t.v - t.b > time_sd * t.tau && t.b > 5.0 && t.b < 250.0;
  return t;
}

// The block of rows y - 2, y, y + 2 and columns x - 1 to x + 1 in every slot but the tested one:
// its mean m, sigma = sqrt(sum of (value - m)^2) / (n - 1) for its n values, and the pixel's
// excess d = v - m, all three stored; confirmed when d > Neighbour_sd * sigma floored at Min_sd1.
bool neighbourhood_confirms(const FrameRing& ring, int width, int slot, int x, int y,
                            const DetectionThresholds& thresholds, FlashMeasurement& m) {
  // Visits the block's values in order: slots, then rows, then columns ascending.
  auto each_value = [&](auto&& use) {
    for (int j = 0; j < ring.images_in_buffer; ++j) {
      if (j == slot) continue;
      for (int row = y - 2; row <= y + 2; row += 2) {
        for (int col = x - 1; col <= x + 1; ++col) {
          use(static_cast<double>(at(ring, j, pixel_index(col, row, width))));
        }
      }
    }
  };
  const double n = 9.0 * (static_cast<double>(ring.images_in_buffer) - 1.0);
  double sum = 0.0;
  each_value([&](double value) { sum += value; });
  const double mean = sum / n;
  double squares = 0.0;
  each_value([&](double value) { squares += (value - mean) * (value - mean); });
  double sigma = std::sqrt(squares) / (n - 1.0);
  const double d = static_cast<double>(at(ring, slot, pixel_index(x, y, width))) - mean;
  m.bckgrnd = static_cast<float>(mean);
  m.bckgrnd_sigma = static_cast<float>(sigma);
  m.signal = static_cast<float>(d);
  if (thresholds.min_sd1 > sigma) sigma = thresholds.min_sd1;
  return d > thresholds.neighbour_sd * sigma;
}

// The outline of the 21 x 21 square round (x, y), inside the frame only.
void box(std::span<std::uint8_t> marked, const FrameGeometry& geometry, int x, int y,
         std::uint8_t colour) {
  for (int dy = -10; dy <= 10; ++dy) {
    for (int dx = -10; dx <= 10; ++dx) {
      if (dx != -10 && dx != 10 && dy != -10 && dy != 10) continue;
      const int bx = x + dx;
      const int by = y + dy;
      if (bx < 0 || bx >= geometry.image_width || by < 0 || by >= geometry.image_height) continue;
      marked[pixel_index(bx, by, geometry.image_width)] = colour;
    }
  }
}

// Mean place and scatter sqrt(Sx + Sy) (not divided by the count) of the listed pixels; the
// frame is rejected when the scatter, as stored in single precision, exceeds Flash_sd_sep.
void cluster(double flash_sd_sep, DetectionResult& result) {
  const int count = result.flash_count;
  result.listed = count;
  double sx = 0.0;
  double sy = 0.0;
  for (int i = 0; i < count; ++i) {
    sx += result.pixels[i].x;
    sy += result.pixels[i].y;
  }
  const double mx = sx / count;
  const double my = sy / count;
  double dx2 = 0.0;
  double dy2 = 0.0;
  for (int i = 0; i < count; ++i) {
    dx2 += (result.pixels[i].x - mx) * (result.pixels[i].x - mx);
    dy2 += (result.pixels[i].y - my) * (result.pixels[i].y - my);
  }
  result.measurement.sample = static_cast<float>(mx);
  result.measurement.line = static_cast<float>(my);
  const double rx = std::sqrt(dx2);
  const double ry = std::sqrt(dy2);
  result.measurement.scatter = static_cast<float>(count >= 2 ? std::sqrt(rx * rx + ry * ry) : 0.0);
  // Rejected only when the scatter exceeds the threshold (a NaN threshold rejects nothing).
  result.found = !(static_cast<double>(result.measurement.scatter) > flash_sd_sep);
  if (!result.found) result.flash_count = 0;
}

}  // namespace

void sum_average(const FrameRing& ring) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  for (std::size_t p = 0; p < pixels; ++p) {
    ring.pixel_sum[p] = 0.0;
    for (int j = 0; j < ring.images_in_buffer; ++j) {
      ring.pixel_sum[p] += static_cast<double>(ring.frame_ring[slot_start(ring, j) + p]);
    }
  }
}

void sum_sd(const FrameRing& ring) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto n = static_cast<double>(ring.images_in_buffer);
  for (std::size_t p = 0; p < pixels; ++p) {
    ring.pixel_sq_dev[p] = 0.0;
    for (int j = 0; j < ring.images_in_buffer; ++j) {
      const double d =
          ring.pixel_sum[p] / n - static_cast<double>(ring.frame_ring[slot_start(ring, j) + p]);
      ring.pixel_sq_dev[p] += d * d;
    }
  }
}

void recompute_statistics(const FrameRing& ring) {
  reference::sum_average(ring);
  reference::sum_sd(ring);
}

// The leaving value's squared deviation from the current mean (which still includes it) is taken
// off; the other values' terms are not revised, so pixel_sq_dev drifts until the next full
// recomputation.
void retire_slot(const FrameRing& ring, int slot) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto n = static_cast<double>(ring.images_in_buffer);
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto v = static_cast<double>(ring.frame_ring[slot_start(ring, slot) + p]);
    const double d = v - ring.pixel_sum[p] / n;
    ring.pixel_sq_dev[p] -= d * d;
    ring.pixel_sum[p] -= v;
  }
}

// The entering value's squared deviation from the updated mean is added.
void admit_slot(const FrameRing& ring, int slot) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto n = static_cast<double>(ring.images_in_buffer);
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto v = static_cast<double>(ring.frame_ring[slot_start(ring, slot) + p]);
    ring.pixel_sum[p] += v;
    const double d = v - ring.pixel_sum[p] / n;
    ring.pixel_sq_dev[p] += d * d;
  }
}

bool passes_temporal_test(const FrameRing& ring, int target_slot, std::size_t p,
                          const DetectionThresholds& thresholds) {
  return temporal(ring, target_slot, p, thresholds.time_sd, thresholds.min_sd2).passes;
}

void flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                    const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
                    DetectionResult& result) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  if (ring.frame_pixels != geometry.frame_pixels || marked_frame.size() != pixels ||
      ring.frame_ring.size() != pixels * static_cast<std::size_t>(ring.images_in_buffer) ||
      target_slot < 0 || target_slot >= ring.images_in_buffer ||
      (!thresholds.mask.empty() && thresholds.mask.size() != pixels)) {
    std::fprintf(stderr, "reference detector: buffers do not fit the geometry\n");
    std::abort();
  }
  result.found = false;
  result.flash_count = 0;
  result.listed = 0;
  for (std::size_t p = 0; p < pixels; ++p) marked_frame[p] = at(ring, target_slot, p);
  FlashMeasurement& m = result.measurement;

  const int width = geometry.image_width;
  // Every read stays inside the frame: columns x - 1 and x + 1, rows y - 2 and y + 2.
  const int left = std::max(thresholds.borders.left, 1);
  const int right = std::max(thresholds.borders.right, 1);
  const int top = std::max(thresholds.borders.top, 2);
  const int bottom = std::max(thresholds.borders.bottom, 2);

  for (int y = top; y < geometry.image_height - bottom; ++y) {
    for (int x = left; x < width - right; ++x) {
      const std::size_t p = pixel_index(x, y, width);
      // A pixel the user masked out is never tested itself; it is still read as a neighbour.
      if (!thresholds.mask.empty() && thresholds.mask[p] == 0) continue;
      const Temporal own = temporal(ring, target_slot, p, thresholds.time_sd, thresholds.min_sd2);
      if (!own.passes) continue;
      m.time_back = static_cast<float>(own.b);
      m.time_sigma = static_cast<float>(own.tau);
      m.time_signal = static_cast<float>(own.v - own.b);
      if (!temporal(ring, target_slot, p + 1, thresholds.time_sd, thresholds.min_sd2).passes) {
        continue;
      }
      if (!neighbourhood_confirms(ring, width, target_slot, x, y, thresholds, m)) continue;
      // From the 101st confirmed pixel on, each takes the last entry.
      if (result.flash_count > 98) result.flash_count = 99;
      result.pixels[static_cast<std::size_t>(result.flash_count)] = {static_cast<double>(x),
                                                                     static_cast<double>(y)};
      ++result.flash_count;
      box(marked_frame, geometry, x, y, at(ring, target_slot, p) < 128 ? 255 : 0);
    }
  }
  if (result.flash_count > 0) cluster(thresholds.flash_sd_sep, result);
}

}  // namespace reference
