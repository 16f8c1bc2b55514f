#include "detection/detector_parts.h"

#include <algorithm>
#include <cmath>

#include "base/check.h"

namespace detector_parts {

bool temporal_test(const FrameRing& ring, std::size_t target_offset, std::size_t p, double time_sd,
                   double min_sd2, TemporalValues& values) {
  const auto n = static_cast<double>(ring.images_in_buffer);
  const auto v = static_cast<double>(ring.frame_ring[target_offset + p]);
  const double s = ring.pixel_sum[p];
  const double q = ring.pixel_sq_dev[p];
  const double u = v - s / (n - 1.0);
  double tau = std::sqrt((q - u * u) / (n - 2.0));
  const double b = (s - v) / (n - 1.0);
  if (min_sd2 > tau) tau = min_sd2;
  values = {b, tau, v};
  return v - b > time_sd * tau && b > kLowestBackground && b < kHighestBackground;
}

BlockValues block_values(const FrameRing& ring, int x, int y, int target_slot, int image_width) {
  const int slots = ring.images_in_buffer;
  // Nine positions in each of the N - 1 other frames; kept in double so no N can overflow it.
  const double n = 9.0 * (static_cast<double>(slots) - 1.0);

  double sum = 0.0;
  for (int j = 0; j < slots; ++j) {
    if (j == target_slot) continue;
    for (int row = y - 2; row <= y + 2; row += 2) {
      for (int col = x - 1; col <= x + 1; ++col) {
        sum += static_cast<double>(
            ring.frame_ring[slot_offset(ring, j) + pixel_index(col, row, image_width)]);
      }
    }
  }
  const double m = sum / n;

  double dev = 0.0;
  for (int j = 0; j < slots; ++j) {
    if (j == target_slot) continue;
    for (int row = y - 2; row <= y + 2; row += 2) {
      for (int col = x - 1; col <= x + 1; ++col) {
        const double d =
            static_cast<double>(
                ring.frame_ring[slot_offset(ring, j) + pixel_index(col, row, image_width)]) -
            m;
        dev += d * d;
      }
    }
  }
  // The square root of the sum, divided by n - 1 (not the root of the sum divided by n - 1).
  const double sigma = std::sqrt(dev) / (n - 1.0);
  const double d =
      static_cast<double>(
          ring.frame_ring[slot_offset(ring, target_slot) + pixel_index(x, y, image_width)]) -
      m;
  return {m, sigma, d};
}

bool double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                  double neighbour_sd, double min_sd1, FlashMeasurement& measurement) {
  const BlockValues block = block_values(ring, x, y, target_slot, image_width);
  measurement.bckgrnd = static_cast<float>(block.mean);
  measurement.bckgrnd_sigma = static_cast<float>(block.sigma);
  measurement.signal = static_cast<float>(block.excess);
  return block_confirms(block, neighbour_sd, min_sd1);
}

void draw_box(std::span<std::uint8_t> marked_frame, const FrameGeometry& geometry, int x, int y,
              std::uint8_t colour) {
  for (int dy = -kBoxHalfSize; dy <= kBoxHalfSize; ++dy) {
    for (int dx = -kBoxHalfSize; dx <= kBoxHalfSize; ++dx) {
      const bool outline =
          dx == -kBoxHalfSize || dx == kBoxHalfSize || dy == -kBoxHalfSize || dy == kBoxHalfSize;
      const int bx = x + dx;
      const int by = y + dy;
      if (outline && bx >= 0 && bx < geometry.image_width && by >= 0 &&
          by < geometry.image_height) {
        marked_frame[pixel_index(bx, by, geometry.image_width)] = colour;
      }
    }
  }
}

void cluster_test(double flash_sd_sep, DetectionResult& result) {
  const int count = result.flash_count;
  result.listed = count;
  const auto n = static_cast<double>(count);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (int i = 0; i < count; ++i) {
    sum_x += result.pixels[i].x;
    sum_y += result.pixels[i].y;
  }
  const double mx = sum_x / n;
  const double my = sum_y / n;
  result.measurement.sample = static_cast<float>(mx);
  result.measurement.line = static_cast<float>(my);

  double sx = 0.0;
  double sy = 0.0;
  for (int i = 0; i < count; ++i) {
    sx += (result.pixels[i].x - mx) * (result.pixels[i].x - mx);
    sy += (result.pixels[i].y - my) * (result.pixels[i].y - my);
  }
  const double rx = std::sqrt(sx);
  const double ry = std::sqrt(sy);
  // Not divided by the count: the scatter grows with the number of pixels.
  const double scatter = count >= 2 ? std::sqrt(rx * rx + ry * ry) : 0.0;
  result.measurement.scatter = static_cast<float>(scatter);

  // The stored single-precision value is the one compared.
  if (static_cast<double>(result.measurement.scatter) > flash_sd_sep) {
    result.flash_count = 0;
    result.found = false;
    return;
  }
  result.found = true;
}

std::span<const std::uint8_t> start_scan(const FrameRing& ring, int target_slot,
                                         std::span<std::uint8_t> marked_frame,
                                         DetectionResult& result, bool copy_frame) {
  result.found = false;
  result.flash_count = 0;
  result.listed = 0;
  const std::span<const std::uint8_t> target = ring.frame_ring.subspan(
      slot_offset(ring, target_slot), static_cast<std::size_t>(ring.frame_pixels));
  if (copy_frame) std::copy(target.begin(), target.end(), marked_frame.begin());
  return target;
}

bool confirm_candidate(const FrameRing& ring, const FrameGeometry& geometry, int target_slot, int x,
                       int y, const DetectionThresholds& thresholds,
                       std::span<std::uint8_t> marked_frame, DetectionResult& result) {
  const int width = geometry.image_width;
  if (!double_check(ring, x, y, target_slot, width, thresholds.neighbour_sd, thresholds.min_sd1,
                    result.measurement)) {
    return false;
  }
  list_pixel(result, x, y);
  const std::uint8_t value =
      ring.frame_ring[slot_offset(ring, target_slot) + pixel_index(x, y, width)];
  draw_box(marked_frame, geometry, x, y, value < 128 ? 255 : 0);
  return true;
}

bool ring_fits(const FrameRing& ring, const FrameGeometry& geometry, int target_slot) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  return geometry.image_width > 0 && geometry.image_height > 0 &&
         pixels == static_cast<std::size_t>(geometry.image_width) *
                       static_cast<std::size_t>(geometry.image_height) &&
         ring.frame_pixels == geometry.frame_pixels && ring.images_in_buffer >= 1 &&
         ring.frame_ring.size() == pixels * static_cast<std::size_t>(ring.images_in_buffer) &&
         ring.pixel_sum.size() == pixels && ring.pixel_sq_dev.size() == pixels &&
         target_slot >= 0 && target_slot < ring.images_in_buffer;
}

void check_detector_buffers(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                            std::span<const std::uint8_t> marked_frame) {
  const bool fits = ring_fits(ring, geometry, target_slot) &&
                    marked_frame.size() == static_cast<std::size_t>(geometry.frame_pixels);
  check_or_die(fits, "detector buffers do not match the frame geometry");
}

}  // namespace detector_parts
