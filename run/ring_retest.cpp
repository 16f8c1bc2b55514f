#include "run/ring_retest.h"

#include <algorithm>

#include "detection/frame_ring.h"

void mark_ring_candidates(const RingView& ring, const DetectionThresholds& thresholds,
                          std::span<std::uint8_t> candidate_chunks) {
  mark_candidate_chunks(ring_of(ring), ring.target_slot, thresholds, candidate_chunks);
}

bool no_candidates(std::span<const std::uint8_t> candidate_chunks) {
  if (candidate_chunks.empty()) return false;  // no map: every pixel is scanned
  return std::find(candidate_chunks.begin(), candidate_chunks.end(), std::uint8_t{1}) ==
         candidate_chunks.end();
}

void retest_ring_frame(const RingView& ring, const DetectionThresholds& thresholds,
                       std::span<const std::uint8_t> candidate_chunks,
                       std::span<std::uint8_t> marked_frame, DetectionResult& result) {
  flash_detector(ring_of(ring), ring.geometry, ring.target_slot, thresholds, marked_frame,
                 candidate_chunks, result);
}

void retest_ring_grid(const RingView& ring, std::span<const DetectionThresholds> grid,
                      GridScratch& scratch, std::span<DetectionResult> results) {
  flash_detector_grid(ring_of(ring), ring.geometry, ring.target_slot, grid, scratch, results);
}
