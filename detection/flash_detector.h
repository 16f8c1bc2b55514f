// The per-frame flash detector: temporal test from the running sums, neighbourhood confirmation,
// boxes in marked_frame, and the cluster test on the confirmed pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "control/settings.h"
#include "detection/frame_ring.h"
#include "imaging/frame_files.h"

// The nine measured values, in the column order of flash_info.dat. Never cleared between calls:
// a field keeps the value of the last pixel that reached its writing step.
struct FlashMeasurement {
  float sample = 0.0f;
  float line = 0.0f;
  float scatter = 0.0f;
  float bckgrnd = 0.0f;
  float bckgrnd_sigma = 0.0f;
  float signal = 0.0f;
  float time_back = 0.0f;
  float time_sigma = 0.0f;
  float time_signal = 0.0f;
};

// The detector reads column x - 1 and x + 1 and rows y - 2 and y + 2 of every scanned pixel, so
// the side borders are at least 1 and the top and bottom borders at least 2.
inline constexpr int kLeastSideBorder = 1;
inline constexpr int kLeastLineBorder = 2;

// Borders in pixels: scanned columns are left <= x < width - right, rows top <= y < height -
// bottom.
struct ScanBorders {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};

// The borders the detector scans with: each typed border raised to its least usable value.
ScanBorders usable_borders(const DetectionSettings& settings);

// Tests the frame in `target_slot`: rebuilds `marked_frame` (frame_pixels bytes) as that frame
// with a 21x21 box outline round every confirmed pixel, sets `flash_count` (0 to 100) and
// updates `measurement`. Answers 1 when at least one pixel was confirmed and their scatter is at
// most Flash_sd_sep, else 0 (flash_count then 0). Borders below the reads' needs are narrowed,
// so nothing outside the ring or the sums is read for any settings. Buffers that do not match
// the geometry, or a target slot outside the ring, answer 0 with marked_frame untouched.
int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement);

// The same detector, told by `candidate_chunks` (from mark_candidate_chunks or replace_and_mark
// for this ring, target slot and settings) which runs of pixels may hold a candidate at all, so
// it looks at the others no further. The results are those of the call above; a map of another
// size than candidate_chunk_count(frame_pixels) is ignored.
int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement,
                   std::span<const std::uint8_t> candidate_chunks);

// A candidate map holds one byte per chunk of kCandidateChunkPixels consecutive pixels of a frame
// (the last chunk may be shorter): 1 when some pixel of the chunk may pass the temporal test, 0
// when none can. It is a cheap bound, so most pixels never reach the test's divisions.
inline constexpr int kCandidateChunkPixels = 64;

// Bytes of a candidate map for frames of `frame_pixels` pixels.
std::size_t candidate_chunk_count(int frame_pixels);

// Fills `candidate_chunks` (candidate_chunk_count bytes; a map of another size is left alone)
// for the frame in `target_slot` under the current sums and `settings`.
void mark_candidate_chunks(const FrameRing& ring, int target_slot,
                           const DetectionSettings& settings,
                           std::span<std::uint8_t> candidate_chunks);

// The run's pass over the sums: replace_slot(ring, load_slot, entering) and, in the same pass,
// mark_candidate_chunks for the frame in `target_slot` with the updated sums.
void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionSettings& settings,
                      std::span<std::uint8_t> candidate_chunks);

// Confirms candidate (x, y) of the frame in `target_slot` against the block of rows y - 2, y,
// y + 2 and columns x - 1 to x + 1 in every other slot. Always stores the block mean, its
// unfloored spread and the pixel's excess over the mean in bckgrnd, bckgrnd_sigma and signal of
// `measurement`. Answers 1 when the excess beats Neighbour_sd times the spread floored at Min_sd1.
// The caller keeps 1 <= x <= image_width - 2 and 2 <= y <= image_height - 3.
int double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                 float neighbour_sd, float min_sd1, FlashMeasurement& measurement);
