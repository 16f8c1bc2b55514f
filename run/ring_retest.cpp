#include "run/ring_retest.h"

#include <algorithm>

#include "detection/frame_ring.h"

namespace {

// The detector takes the ring as a FrameRing, whose spans are writable because the run updates
// the ring through them. Marking and detection only read it, so the run's read-only view is
// lent to them as it is.
FrameRing read_only_ring(const RingView& view) {
  auto* frames = const_cast<std::uint8_t*>(view.frames.data());
  auto* sums = const_cast<double*>(view.pixel_sum.data());
  auto* sq_devs = const_cast<double*>(view.pixel_sq_dev.data());
  return {{frames, view.frames.size()},
          {sums, view.pixel_sum.size()},
          {sq_devs, view.pixel_sq_dev.size()},
          view.geometry.frame_pixels,
          view.images_in_buffer};
}

}  // namespace

void mark_ring_candidates(const RingView& ring, const DetectionThresholds& thresholds,
                          std::span<std::uint8_t> candidate_chunks) {
  mark_candidate_chunks(read_only_ring(ring), ring.target_slot, thresholds, candidate_chunks);
}

bool no_candidates(std::span<const std::uint8_t> candidate_chunks) {
  if (candidate_chunks.empty()) return false;  // no map: every pixel is scanned
  return std::find(candidate_chunks.begin(), candidate_chunks.end(), std::uint8_t{1}) ==
         candidate_chunks.end();
}

void retest_ring_frame(const RingView& ring, const DetectionThresholds& thresholds,
                       std::span<const std::uint8_t> candidate_chunks,
                       std::span<std::uint8_t> marked_frame, DetectionResult& result) {
  flash_detector(read_only_ring(ring), ring.geometry, ring.target_slot, thresholds, marked_frame,
                 candidate_chunks, result);
}
