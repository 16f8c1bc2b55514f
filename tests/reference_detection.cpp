// The straightforward versions, as the detection core first had them; see the header.
#include "reference_detection.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace reference {
namespace {

std::size_t slot_offset(const FrameRing& ring, int slot) {
  return static_cast<std::size_t>(slot) * static_cast<std::size_t>(ring.frame_pixels);
}

std::span<std::uint8_t> slot_bytes(const FrameRing& ring, int slot) {
  return ring.frame_ring.subspan(slot_offset(ring, slot),
                                 static_cast<std::size_t>(ring.frame_pixels));
}

constexpr int kMaxListedPixels = 100;  // capacity of the list of flash pixels
constexpr int kBoxHalfSize = 10;       // boxes are 21 x 21 outlines
constexpr double kLowestBackground = 5.0;
constexpr double kHighestBackground = 250.0;

struct PixelPosition {
  double x = 0.0;
  double y = 0.0;
};

std::size_t pixel_index(int x, int y, int image_width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(image_width) +
         static_cast<std::size_t>(x);
}

// What the temporal test finds for one pixel.
struct TemporalValues {
  double b = 0.0;    // mean of the pixel over the other N - 1 frames
  double tau = 0.0;  // temporal spread, floored at Min_sd2
  double v = 0.0;    // the pixel in the frame under test
};

// The pixel at index p of the frame under test against its running sums. S / (N - 1) uses the
// whole sum, target frame included; a negative radicand gives NaN, which fails every comparison.
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

// Outline of the 21 x 21 square centred on (x, y), clipped at the frame edges.
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

// Mean position and scatter of the listed pixels; answers whether they are close enough together.
int cluster_test(const std::array<PixelPosition, kMaxListedPixels>& flash_pixels, int& flash_count,
                 float flash_sd_sep, FlashMeasurement& measurement) {
  const int count = flash_count;
  const auto n = static_cast<double>(count);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (int i = 0; i < count; ++i) {
    sum_x += flash_pixels[i].x;
    sum_y += flash_pixels[i].y;
  }
  const double mx = sum_x / n;
  const double my = sum_y / n;
  measurement.sample = static_cast<float>(mx);
  measurement.line = static_cast<float>(my);

  double sx = 0.0;
  double sy = 0.0;
  for (int i = 0; i < count; ++i) {
    sx += (flash_pixels[i].x - mx) * (flash_pixels[i].x - mx);
    sy += (flash_pixels[i].y - my) * (flash_pixels[i].y - my);
  }
  const double rx = std::sqrt(sx);
  const double ry = std::sqrt(sy);
  // Not divided by the count: the scatter grows with the number of pixels.
  const double scatter = count >= 2 ? std::sqrt(rx * rx + ry * ry) : 0.0;
  measurement.scatter = static_cast<float>(scatter);

  // The stored single-precision value is the one compared.
  if (static_cast<double>(measurement.scatter) > static_cast<double>(flash_sd_sep)) {
    flash_count = 0;
    return 0;
  }
  return 1;
}

bool buffers_fit(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                 std::span<const std::uint8_t> marked_frame) {
  if (ring.images_in_buffer < 1 || ring.frame_pixels < 0 || geometry.image_width < 0 ||
      geometry.image_height < 0 || ring.frame_pixels != geometry.frame_pixels) {
    return false;
  }
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto slots = static_cast<std::size_t>(ring.images_in_buffer);
  return pixels == static_cast<std::size_t>(geometry.image_width) *
                       static_cast<std::size_t>(geometry.image_height) &&
         pixels != 0 && ring.frame_ring.size() / pixels == slots &&
         ring.frame_ring.size() % pixels == 0 && ring.pixel_sum.size() == pixels &&
         ring.pixel_sq_dev.size() == pixels && marked_frame.size() == pixels && target_slot >= 0 &&
         target_slot < ring.images_in_buffer;
}

}  // namespace

void sum_average(const FrameRing& ring) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  for (std::size_t p = 0; p < pixels; ++p) {
    ring.pixel_sum[p] = 0.0;
    for (int j = 0; j < ring.images_in_buffer; ++j) {
      ring.pixel_sum[p] += static_cast<double>(ring.frame_ring[slot_offset(ring, j) + p]);
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
          ring.pixel_sum[p] / n - static_cast<double>(ring.frame_ring[slot_offset(ring, j) + p]);
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
  const std::span<const std::uint8_t> frame = slot_bytes(ring, slot);
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto v = static_cast<double>(frame[p]);
    const double d = v - ring.pixel_sum[p] / n;
    ring.pixel_sq_dev[p] -= d * d;
    ring.pixel_sum[p] -= v;
  }
}

// The entering value's squared deviation from the updated mean is added.
void admit_slot(const FrameRing& ring, int slot) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto n = static_cast<double>(ring.images_in_buffer);
  const std::span<const std::uint8_t> frame = slot_bytes(ring, slot);
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto v = static_cast<double>(frame[p]);
    ring.pixel_sum[p] += v;
    const double d = v - ring.pixel_sum[p] / n;
    ring.pixel_sq_dev[p] += d * d;
  }
}
bool passes_temporal_test(const FrameRing& ring, int target_slot, std::size_t p,
                          const DetectionSettings& settings) {
  TemporalValues values;
  return temporal_test(ring, slot_offset(ring, target_slot), p,
                       static_cast<double>(settings.Time_sd), static_cast<double>(settings.Min_sd2),
                       values);
}

int double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                 float neighbour_sd, float min_sd1, FlashMeasurement& measurement) {
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
  double sigma = std::sqrt(dev) / (n - 1.0);
  const double d =
      static_cast<double>(
          ring.frame_ring[slot_offset(ring, target_slot) + pixel_index(x, y, image_width)]) -
      m;

  measurement.bckgrnd = static_cast<float>(m);
  measurement.bckgrnd_sigma = static_cast<float>(sigma);
  measurement.signal = static_cast<float>(d);

  if (static_cast<double>(min_sd1) > sigma) sigma = static_cast<double>(min_sd1);
  return d > static_cast<double>(neighbour_sd) * sigma ? 1 : 0;
}

int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement) {
  flash_count = 0;
  if (!buffers_fit(ring, geometry, target_slot, marked_frame)) return 0;
  std::array<PixelPosition, kMaxListedPixels> flash_pixels{};

  const std::size_t target_offset = slot_offset(ring, target_slot);
  const std::span<const std::uint8_t> target =
      ring.frame_ring.subspan(target_offset, static_cast<std::size_t>(ring.frame_pixels));
  std::copy(target.begin(), target.end(), marked_frame.begin());

  const double time_sd = static_cast<double>(settings.Time_sd);
  const double min_sd2 = static_cast<double>(settings.Min_sd2);
  const int width = geometry.image_width;
  // Raised borders keep every read (x - 1, x + 1, y - 2, y + 2) inside the frame; with them no
  // limit below can overflow.
  const ScanBorders borders = usable_borders(settings);
  const int x_end = width - borders.right;
  const int y_end = geometry.image_height - borders.bottom;

  for (int y = borders.top; y < y_end; ++y) {
    for (int x = borders.left; x < x_end; ++x) {
      const std::size_t p = pixel_index(x, y, width);
      TemporalValues own;
      if (!temporal_test(ring, target_offset, p, time_sd, min_sd2, own)) continue;
      measurement.time_back = static_cast<float>(own.b);
      measurement.time_sigma = static_cast<float>(own.tau);
      measurement.time_signal = static_cast<float>(own.v - own.b);

      TemporalValues neighbour;
      if (!temporal_test(ring, target_offset, p + 1, time_sd, min_sd2, neighbour)) continue;

      if (reference::double_check(ring, x, y, target_slot, width, settings.Neighbour_sd,
                                  settings.Min_sd1, measurement) == 0) {
        continue;
      }

      // From the 101st confirmed pixel on, each new one replaces the last entry.
      if (flash_count > kMaxListedPixels - 2) flash_count = kMaxListedPixels - 1;
      flash_pixels[flash_count] = {static_cast<double>(x), static_cast<double>(y)};
      ++flash_count;

      const std::uint8_t colour = target[p] < 128 ? 255 : 0;
      draw_box(marked_frame, geometry, x, y, colour);
    }
  }

  if (flash_count == 0) return 0;
  return cluster_test(flash_pixels, flash_count, settings.Flash_sd_sep, measurement);
}

}  // namespace reference
