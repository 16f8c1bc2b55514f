// The ring of the last N frames and its per-pixel running sums: pixel_sum (sum of the N values)
// and pixel_sq_dev (sum of squared deviations from the mean, kept approximately between full
// recomputations by retire_slot / admit_slot).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/frame_geometry.h"

// Views of the driver's ring buffers. Slot s is frame_ring[s * frame_pixels, (s + 1) *
// frame_pixels). Offsets are computed in size_t, so N * frame_pixels may exceed 2^31.
struct FrameRing {
  std::span<std::uint8_t> frame_ring;  // images_in_buffer * frame_pixels bytes
  std::span<double> pixel_sum;         // frame_pixels values
  std::span<double> pixel_sq_dev;      // frame_pixels values
  int frame_pixels = 0;
  int images_in_buffer = 0;  // N, at least 1
};

// ---- slots ------------------------------------------------------------------------------------
// A run loads frame f into slot f mod N and tests the frame N/2 behind the newest, so the ring
// holds N - 1 - N/2 frames before the tested one and N/2 after it. Every slot computation of the
// program is one of these.

// Where slot `slot` starts in frame_ring (and the bytes of a ring of `slot` slots).
inline std::size_t slot_offset(const FrameRing& ring, int slot) {
  return static_cast<std::size_t>(slot) * static_cast<std::size_t>(ring.frame_pixels);
}
// The frame in slot `slot`.
inline std::span<std::uint8_t> slot_bytes(const FrameRing& ring, int slot) {
  return ring.frame_ring.subspan(slot_offset(ring, slot),
                                 static_cast<std::size_t>(ring.frame_pixels));
}
// The slot after `slot` in a ring of `n`, and the one before it.
inline int next_slot(int slot, int n) {
  return slot + 1 >= n ? 0 : slot + 1;
}
inline int previous_slot(int slot, int n) {
  return slot == 0 ? n - 1 : slot - 1;
}
// The slot `d` frames after the frame in `slot` (d may be negative).
inline int slot_after(int slot, std::int64_t d, int n) {
  const std::int64_t wide = n;
  return static_cast<int>(((slot + d) % wide + wide) % wide);
}
// Frames a ring of `n` holds after the tested one (the newest is this far ahead), and before it.
inline int frames_after_target(int n) {
  return n / 2;
}
inline int frames_before_target(int n) {
  return n - 1 - n / 2;
}

// The ring as it stands when a frame is tested, read only: slot `target_slot` holds frame
// `target_frame`, and slot_after(target_slot, d) holds frame target_frame + d for every d with
// frame_held(target_frame + d) true.
struct RingView {
  std::span<const std::uint8_t> frames;  // images_in_buffer * frame_pixels bytes
  std::span<const double> pixel_sum;     // sum of each pixel over the N frames
  std::span<const double> pixel_sq_dev;  // running sum of squared deviations (drifts slowly)
  FrameGeometry geometry;
  int images_in_buffer = 0;  // N
  int target_slot = 0;
  std::int64_t target_frame = 0;
  // The newest frame in the ring when it is the recording's last ring (the tested frame is then
  // one of the last N/2); -1 during the run, when the ring reaches N/2 frames past the tested one.
  std::int64_t newest_frame = -1;
  // The first frame of the ring's fill: 0, or the first frame after a gap in the recording,
  // where the ring starts afresh; no frame before it is held.
  std::int64_t first_frame = 0;

  // True when the ring is the recording's last and the tested frame one of its last N/2 frames.
  bool end_ring() const { return newest_frame >= 0; }
  // Frames after the tested one that the ring holds: N/2 during the run.
  int frames_after() const {
    return end_ring() ? static_cast<int>(newest_frame - target_frame)
                      : frames_after_target(images_in_buffer);
  }
  // Frames before it: N - 1 - N/2 during the run.
  int frames_before() const { return images_in_buffer - 1 - frames_after(); }
  // True when frame `frame` is in the ring (never a frame before 0).
  bool frame_held(std::int64_t frame) const {
    const std::int64_t d = frame - target_frame;
    return frame >= 0 && frame >= first_frame && d >= -frames_before() && d <= frames_after();
  }
  // The pixels of frame `frame`; the caller checks frame_held first.
  std::span<const std::uint8_t> frame_pixels(std::int64_t frame) const {
    const int slot = slot_after(target_slot, frame - target_frame, images_in_buffer);
    return frames.subspan(
        static_cast<std::size_t>(slot) * static_cast<std::size_t>(geometry.frame_pixels),
        static_cast<std::size_t>(geometry.frame_pixels));
  }
};

// The view of `ring` with frame `target_frame` in `target_slot`.
RingView view_at(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                 std::int64_t target_frame);
// The ring behind a view, for the detector's read-only passes (its spans are writable in type
// only: nothing that takes it from here writes through them).
FrameRing ring_of(const RingView& view);

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
