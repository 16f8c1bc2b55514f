// The straightforward versions, as the detection core first had them; see the header.
#include "reference/reference_detection.h"

#include <algorithm>

#include "detection/detector_parts.h"

namespace reference {

using detector_parts::pixel_index;

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
  for (std::size_t p = 0; p < pixels; ++p) {
    const auto v = static_cast<double>(ring.frame_ring[slot_offset(ring, slot) + p]);
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
    const auto v = static_cast<double>(ring.frame_ring[slot_offset(ring, slot) + p]);
    ring.pixel_sum[p] += v;
    const double d = v - ring.pixel_sum[p] / n;
    ring.pixel_sq_dev[p] += d * d;
  }
}

bool passes_temporal_test(const FrameRing& ring, int target_slot, std::size_t p,
                          const DetectionThresholds& thresholds) {
  detector_parts::TemporalValues values;
  return detector_parts::temporal_test(ring, slot_offset(ring, target_slot), p, thresholds.time_sd,
                                       thresholds.min_sd2, values);
}

void flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                    const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
                    DetectionResult& result) {
  detector_parts::check_detector_buffers(ring, geometry, target_slot, marked_frame);
  detector_parts::start_scan(ring, target_slot, marked_frame, result);
  FlashMeasurement& measurement = result.measurement;
  const std::size_t target_offset = slot_offset(ring, target_slot);

  const int width = geometry.image_width;
  const ScanBorders borders = usable_borders(thresholds.borders);
  const int x_end = width - borders.right;
  const int y_end = geometry.image_height - borders.bottom;

  for (int y = borders.top; y < y_end; ++y) {
    for (int x = borders.left; x < x_end; ++x) {
      const std::size_t p = pixel_index(x, y, width);
      detector_parts::TemporalValues own;
      if (!detector_parts::temporal_test(ring, target_offset, p, thresholds.time_sd,
                                         thresholds.min_sd2, own)) {
        continue;
      }
      measurement.time_back = static_cast<float>(own.b);
      measurement.time_sigma = static_cast<float>(own.tau);
      measurement.time_signal = static_cast<float>(own.v - own.b);

      detector_parts::TemporalValues neighbour;
      if (!detector_parts::temporal_test(ring, target_offset, p + 1, thresholds.time_sd,
                                         thresholds.min_sd2, neighbour)) {
        continue;
      }
      detector_parts::confirm_candidate(ring, geometry, target_slot, x, y, thresholds, marked_frame,
                                        result);
    }
  }
  detector_parts::finish_scan(thresholds, result);
}

}  // namespace reference
