#include "detection/frame_ring.h"

#include <algorithm>
#include <limits>

#include "base/check.h"
#include "detection/vector_clones.h"

namespace {

// Pixels per block of the full recomputation: the block's bytes in all N slots (N x 256) stay in
// the first-level cache between the two sums.
constexpr std::size_t kBlockPixels = 256;

// Largest N whose sums (at most 255 N) fit a 32-bit integer.
constexpr int kMaxIntegerSumSlots = std::numeric_limits<std::int32_t>::max() / 255;

// pixel_sum of pixels [begin, begin + count) from the ring. The sums are whole numbers, exact in
// either type, so they are added up as integers, which vectorise wider, and converted once.
VESK_VECTOR_CLONES
void sum_block(const FrameRing& ring, std::size_t begin, std::size_t count) {
  double* __restrict sum = ring.pixel_sum.data() + begin;
  if (ring.images_in_buffer > kMaxIntegerSumSlots) {
    for (std::size_t i = 0; i < count; ++i) sum[i] = 0.0;
    for (int j = 0; j < ring.images_in_buffer; ++j) {
      const std::uint8_t* __restrict values = ring.frame_ring.data() + slot_offset(ring, j) + begin;
      for (std::size_t i = 0; i < count; ++i) sum[i] += static_cast<double>(values[i]);
    }
    return;
  }
  std::int32_t total[kBlockPixels] = {};
  for (int j = 0; j < ring.images_in_buffer; ++j) {
    const std::uint8_t* __restrict values = ring.frame_ring.data() + slot_offset(ring, j) + begin;
    for (std::size_t i = 0; i < count; ++i) total[i] += values[i];
  }
  for (std::size_t i = 0; i < count; ++i) sum[i] = static_cast<double>(total[i]);
}

// pixel_sq_dev of pixels [begin, begin + count) from the ring and pixel_sum, slot by slot in
// ascending order; each pixel's mean is divided out once.
VESK_VECTOR_CLONES
void sq_dev_block(const FrameRing& ring, std::size_t begin, std::size_t count) {
  const double n = ring.images_in_buffer;
  const double* __restrict sum = ring.pixel_sum.data() + begin;
  double* __restrict sq_dev = ring.pixel_sq_dev.data() + begin;
  double mean[kBlockPixels];
  for (std::size_t i = 0; i < count; ++i) {
    mean[i] = sum[i] / n;
    sq_dev[i] = 0.0;
  }
  for (int j = 0; j < ring.images_in_buffer; ++j) {
    const std::uint8_t* __restrict values = ring.frame_ring.data() + slot_offset(ring, j) + begin;
    for (std::size_t i = 0; i < count; ++i) {
      const double d = mean[i] - static_cast<double>(values[i]);
      sq_dev[i] += d * d;
    }
  }
}

void check_range(const FrameRing& ring, PixelRange pixels) {
  check_or_die(
      pixels.begin <= pixels.end && pixels.end <= static_cast<std::size_t>(ring.frame_pixels),
      "a pixel range reaches outside the frame");
}

}  // namespace

PixelRange whole_frame(const FrameRing& ring) {
  return {0, ring.frame_pixels > 0 ? static_cast<std::size_t>(ring.frame_pixels) : 0};
}

// The full recomputation runs block by block: a block's bytes in all N slots are read once for
// the sums and again, still in cache, for the squared deviations. Each pixel's terms are still
// added slot by slot in ascending order, so every value is the same as a pixel-by-pixel loop's.

void sum_average(const FrameRing& ring) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  for (std::size_t begin = 0; begin < pixels; begin += kBlockPixels) {
    sum_block(ring, begin, std::min(kBlockPixels, pixels - begin));
  }
}

void sum_sd(const FrameRing& ring) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  for (std::size_t begin = 0; begin < pixels; begin += kBlockPixels) {
    sq_dev_block(ring, begin, std::min(kBlockPixels, pixels - begin));
  }
}

void recompute_statistics(const FrameRing& ring) {
  recompute_statistics(ring, whole_frame(ring));
}

// Blocks start at pixels.begin: where a block starts changes no pixel's value.
void recompute_statistics(const FrameRing& ring, PixelRange pixels) {
  check_range(ring, pixels);
  for (std::size_t begin = pixels.begin; begin < pixels.end; begin += kBlockPixels) {
    const std::size_t count = std::min(kBlockPixels, pixels.end - begin);
    sum_block(ring, begin, count);
    sq_dev_block(ring, begin, count);
  }
}

// The leaving value's squared deviation from the current mean (which still includes it) is taken
// off; the other values' terms are not revised, so pixel_sq_dev drifts until the next full
// recomputation.
void retire_slot(const FrameRing& ring, int slot) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const double n = ring.images_in_buffer;
  const std::uint8_t* __restrict frame = slot_bytes(ring, slot).data();
  double* __restrict sum = ring.pixel_sum.data();
  double* __restrict sq_dev = ring.pixel_sq_dev.data();
  for (std::size_t p = 0; p < pixels; ++p) {
    const double v = frame[p];
    const double d = v - sum[p] / n;
    sq_dev[p] -= d * d;
    sum[p] -= v;
  }
}

// The entering value's squared deviation from the updated mean is added.
void admit_slot(const FrameRing& ring, int slot) {
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const double n = ring.images_in_buffer;
  const std::uint8_t* __restrict frame = slot_bytes(ring, slot).data();
  double* __restrict sum = ring.pixel_sum.data();
  double* __restrict sq_dev = ring.pixel_sq_dev.data();
  for (std::size_t p = 0; p < pixels; ++p) {
    const double v = frame[p];
    sum[p] += v;
    const double d = v - sum[p] / n;
    sq_dev[p] += d * d;
  }
}

void replace_slot(const FrameRing& ring, int slot, std::span<const std::uint8_t> entering) {
  replace_slot(ring, slot, entering, whole_frame(ring));
}

VESK_VECTOR_CLONES
void replace_slot(const FrameRing& ring, int slot, std::span<const std::uint8_t> entering,
                  PixelRange pixels) {
  check_range(ring, pixels);
  const double n = ring.images_in_buffer;
  std::uint8_t* __restrict frame = slot_bytes(ring, slot).data();
  const std::uint8_t* __restrict fresh = entering.data();
  double* __restrict sum = ring.pixel_sum.data();
  double* __restrict sq_dev = ring.pixel_sq_dev.data();
  for (std::size_t p = pixels.begin; p < pixels.end; ++p) {
    retire_then_admit(sum[p], sq_dev[p], frame[p], fresh[p], n);
    frame[p] = fresh[p];
  }
}

RingView view_at(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                 std::int64_t target_frame) {
  return {ring.frame_ring,       ring.pixel_sum, ring.pixel_sq_dev, geometry,
          ring.images_in_buffer, target_slot,    target_frame};
}

FrameRing ring_of(const RingView& view) {
  auto* frames = const_cast<std::uint8_t*>(view.frames.data());
  auto* sums = const_cast<double*>(view.pixel_sum.data());
  auto* sq_devs = const_cast<double*>(view.pixel_sq_dev.data());
  return {{frames, view.frames.size()},
          {sums, view.pixel_sum.size()},
          {sq_devs, view.pixel_sq_dev.size()},
          view.geometry.frame_pixels,
          view.images_in_buffer};
}
