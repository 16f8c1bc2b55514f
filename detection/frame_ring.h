// The ring of the last N frames and its per-pixel running sums: pixel_sum (sum of the N values)
// and pixel_sq_dev (sum of squared deviations from the mean, kept approximately between full
// recomputations by retire_slot / admit_slot).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Views of the driver's ring buffers. Slot s is frame_ring[s * frame_pixels, (s + 1) *
// frame_pixels). Offsets are computed in size_t, so N * frame_pixels may exceed 2^31.
struct FrameRing {
  std::span<std::uint8_t> frame_ring;  // images_in_buffer * frame_pixels bytes
  std::span<double> pixel_sum;         // frame_pixels values
  std::span<double> pixel_sq_dev;      // frame_pixels values
  int frame_pixels = 0;
  int images_in_buffer = 0;  // N, at least 1
};

// The pixels [begin, end) of a frame, as indices into a slot and into the sums.
struct PixelRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Every pixel of a frame of the ring: [0, frame_pixels).
PixelRange whole_frame(const FrameRing& ring);

// The running sums drift by rounding as frames enter and leave them: a run recomputes them whole
// before each frame whose number is a multiple of this.
inline constexpr std::int64_t kRecomputePeriod = 100;

// Full recomputation of pixel_sum from the ring.
void sum_average(const FrameRing& ring);
// Full recomputation of pixel_sq_dev from the ring and pixel_sum (slots in ascending order).
void sum_sd(const FrameRing& ring);
// sum_average, then sum_sd.
void recompute_statistics(const FrameRing& ring);
// recompute_statistics of the pixels in `pixels` only (begin <= end <= frame_pixels, checked):
// each pixel's sums take the same bits as in a recomputation of the whole frame, so ranges side
// by side may be recomputed on different threads.
void recompute_statistics(const FrameRing& ring, PixelRange pixels);

// Takes the frame in `slot` out of both sums (before the slot is overwritten).
void retire_slot(const FrameRing& ring, int slot);
// Adds the frame now in `slot` to both sums.
void admit_slot(const FrameRing& ring, int slot);

// One pixel's share of retire_slot followed by admit_slot, for `leaving` replaced by `entering`
// in a ring of n = N frames: the same operations in the same order, so the same bits.
inline void retire_then_admit(double& sum, double& sq_dev, double leaving, double entering,
                              double n) {
  const double retire_d = leaving - sum / n;
  double q = sq_dev - retire_d * retire_d;
  double s = sum - leaving;
  s += entering;
  const double admit_d = entering - s / n;
  q += admit_d * admit_d;
  sum = s;
  sq_dev = q;
}

// Copies `entering` (frame_pixels bytes, outside the ring) into `slot` and brings both sums up
// to date in one pass: bit for bit what retire_slot, copying the bytes in, then admit_slot give.
void replace_slot(const FrameRing& ring, int slot, std::span<const std::uint8_t> entering);
// replace_slot of the pixels in `pixels` only (begin <= end <= frame_pixels, checked); `entering`
// is still the whole frame.
void replace_slot(const FrameRing& ring, int slot, std::span<const std::uint8_t> entering,
                  PixelRange pixels);
