#include "detection/frame_ring.h"

#include <cerrno>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace {

std::size_t slot_offset(const FrameRing& ring, int slot) {
  return static_cast<std::size_t>(slot) * static_cast<std::size_t>(ring.frame_pixels);
}

std::span<std::uint8_t> slot_bytes(const FrameRing& ring, int slot) {
  return ring.frame_ring.subspan(slot_offset(ring, slot),
                                 static_cast<std::size_t>(ring.frame_pixels));
}

}  // namespace

bool fill_ring(const FrameRing& ring, std::span<std::uint8_t> header_scratch, std::string& error,
               std::vector<std::string>& warnings) {
  const int n = ring.images_in_buffer;
  for (int i = 0; i < n; ++i) {
    std::string warning;
    errno = 0;
    if (!read_raw_frame(i, slot_bytes(ring, i), header_scratch, warning)) {
      const std::string path = numbered_file_name(kRawFramePattern, i);
      error = errno_message(path.c_str(), "cannot open") + "; the ring of Images_in_buffer " +
              std::to_string(n) + " needs frames 0 to " + std::to_string(n - 1) +
              " before the run can start";
      return false;
    }
    if (!warning.empty()) warnings.push_back(warning);
  }
  return true;
}

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
  sum_average(ring);
  sum_sd(ring);
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
