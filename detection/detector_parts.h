// The detector's pieces that its fast scan and the straightforward scan kept as its oracle both
// use unchanged: the exact temporal test of one pixel, the neighbourhood confirmation, the box
// outline and the cluster test. Internal to detection/ and its oracle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/frame_geometry.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"

namespace detector_parts {

inline constexpr int kBoxHalfSize = 10;  // boxes are 21 x 21 outlines
inline constexpr double kLowestBackground = 5.0;
inline constexpr double kHighestBackground = 250.0;

inline std::size_t pixel_index(int x, int y, int image_width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(image_width) +
         static_cast<std::size_t>(x);
}

// What the temporal test finds for one pixel.
struct TemporalValues {
  double b = 0.0;    // mean of the pixel over the other N - 1 frames
  double tau = 0.0;  // temporal spread, floored at min_sd2
  double v = 0.0;    // the pixel in the frame under test
};

// The pixel at index p of the frame under test (at `target_offset` in the ring) against its
// running sums. S / (N - 1) uses the whole sum, target frame included; a negative radicand gives
// NaN, which fails every comparison.
bool temporal_test(const FrameRing& ring, std::size_t target_offset, std::size_t p, double time_sd,
                   double min_sd2, TemporalValues& values);

// What the neighbourhood confirmation measures for a candidate, whatever the thresholds.
struct BlockValues {
  double mean = 0.0;    // of the block over the other N - 1 frames
  double sigma = 0.0;   // its spread, not floored
  double excess = 0.0;  // the pixel over the mean
};

// The block of rows y - 2, y, y + 2 and columns x - 1 to x + 1 in every slot but `target_slot`,
// measured as double_check measures it. The caller keeps x and y as for double_check.
BlockValues block_values(const FrameRing& ring, int x, int y, int target_slot, int image_width);

// double_check's test of measured `block`: the excess beats neighbour_sd times the spread
// floored at min_sd1.
inline bool block_confirms(const BlockValues& block, double neighbour_sd, double min_sd1) {
  double sigma = block.sigma;
  if (min_sd1 > sigma) sigma = min_sd1;
  return block.excess > neighbour_sd * sigma;
}

// Confirms candidate (x, y) of the frame in `target_slot` against the block of rows y - 2, y,
// y + 2 and columns x - 1 to x + 1 in every other slot. Always stores the block mean, its
// unfloored spread and the pixel's excess over the mean in bckgrnd, bckgrnd_sigma and signal of
// `measurement`. True when the excess beats neighbour_sd times the spread floored at min_sd1.
// The caller keeps 1 <= x <= image_width - 2 and 2 <= y <= image_height - 3.
bool double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                  double neighbour_sd, double min_sd1, FlashMeasurement& measurement);

// Outline of the 21 x 21 square centred on (x, y) in `marked_frame`, clipped at the frame edges.
void draw_box(std::span<std::uint8_t> marked_frame, const FrameGeometry& geometry, int x, int y,
              std::uint8_t colour);

// Mean position and scatter of the first result.flash_count listed pixels into the measurement;
// sets result.listed to that count, result.found, and flash_count to 0 when the scatter exceeds
// flash_sd_sep.
void cluster_test(double flash_sd_sep, DetectionResult& result);

// Puts confirmed pixel (x, y) in the list of `result`: from the 101st on, each replaces the last
// entry.
inline void list_pixel(DetectionResult& result, int x, int y) {
  if (result.flash_count > kMaxListedPixels - 2) result.flash_count = kMaxListedPixels - 1;
  result.pixels[static_cast<std::size_t>(result.flash_count)] = {static_cast<double>(x),
                                                                 static_cast<double>(y)};
  ++result.flash_count;
}

// The last steps for candidate (x, y), whose temporal tests and its right neighbour's passed:
// the neighbourhood confirmation, then for a confirmed pixel its entry in the list (from the
// 101st on, each replaces the last entry) and its box in `marked_frame`, white on a dark pixel.
// True when confirmed.
bool confirm_candidate(const FrameRing& ring, const FrameGeometry& geometry, int target_slot, int x,
                       int y, const DetectionThresholds& thresholds,
                       std::span<std::uint8_t> marked_frame, DetectionResult& result);

// The start of a scan: the result cleared (its measurement carried on) and `marked_frame` set
// to the frame under test, unless `copy_frame` is false (the caller has put it there). Returns the
// frame under test.
std::span<const std::uint8_t> start_scan(const FrameRing& ring, int target_slot,
                                         std::span<std::uint8_t> marked_frame,
                                         DetectionResult& result, bool copy_frame = true);

// The end of a scan: the cluster test when any pixel was confirmed.
inline void finish_scan(const DetectionThresholds& thresholds, DetectionResult& result) {
  if (result.flash_count > 0) cluster_test(thresholds.flash_sd_sep, result);
}

// True when the ring's buffers hold `geometry`'s frames and `target_slot` is one of its slots:
// what every detector checks once before its loops, which do no bounds tests.
bool ring_fits(const FrameRing& ring, const FrameGeometry& geometry, int target_slot);

// Stops the program unless the ring, its sums, `marked_frame` and `target_slot` fit `geometry`.
void check_detector_buffers(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                            std::span<const std::uint8_t> marked_frame);

}  // namespace detector_parts
