// The frame a run shows its outputs, tested again under other thresholds: one pass over a
// recording then answers for many settings at once, as the ring and its running sums do not
// depend on the thresholds. What it finds is what process_frames with those thresholds finds in
// that frame, bit for bit.
#pragma once

#include <cstdint>
#include <span>

#include "detection/flash_detector.h"
#include "run/run_output.h"

// Fills `candidate_chunks` (candidate_chunk_count(frame_pixels) bytes; a map of another size is
// left alone) for the frame `ring` tests, under `thresholds`. One map serves every setting with
// the same time_sd and min_sd2.
void mark_ring_candidates(const RingView& ring, const DetectionThresholds& thresholds,
                          std::span<std::uint8_t> candidate_chunks);

// True when a map (not empty) marks no chunk: no pixel of the frame can pass the temporal test,
// so the detector finds nothing under any thresholds the map was made for.
bool no_candidates(std::span<const std::uint8_t> candidate_chunks);

// flash_detector on the frame `ring` tests: rebuilds `marked_frame` (frame_pixels bytes) and
// fills `result` as the run's own detector call with `thresholds` would. `candidate_chunks` from
// mark_ring_candidates with the same time_sd and min_sd2, or empty to scan every pixel. The
// caller sizes the buffers (checked: a mismatch stops the program).
void retest_ring_frame(const RingView& ring, const DetectionThresholds& thresholds,
                       std::span<const std::uint8_t> candidate_chunks,
                       std::span<std::uint8_t> marked_frame, DetectionResult& result);

// flash_detector_grid on the frame `ring` tests: results[k] as retest_ring_frame with grid[k]
// gives (found, flash_count, listed, the pixel list, sample, line and scatter), for every k, in
// one scan of the frame. `scratch` is reused from frame to frame.
void retest_ring_grid(const RingView& ring, std::span<const DetectionThresholds> grid,
                      GridScratch& scratch, std::span<DetectionResult> results);
