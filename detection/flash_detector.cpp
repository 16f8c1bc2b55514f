#include "detection/flash_detector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/check.h"
#include "detection/detector_parts.h"
#include "detection/vector_clones.h"

namespace {

using detector_parts::kHighestBackground;
using detector_parts::kLowestBackground;
using detector_parts::pixel_index;
using detector_parts::TemporalValues;

// A cheap necessary condition for the temporal test, so that most pixels never reach its
// divisions and square root. With n = N >= 3, v the pixel, K = S - v (the very double the test
// divides) and b = K / (n - 1) rounded:
//  - b > 5 and b < 250 need K > 5 (n - 1) and K < 250 (n - 1): rounding is monotonic and 5 and
//    250 are doubles, so K <= 5 (n - 1) gives b <= 5 (likewise for 250). Both products are exact.
//  - v - b > Time_sd * tau needs v - b > X, the least value Time_sd * tau takes for a pixel that
//    can pass. The floored tau is NaN (no pass) or at least max(Min_sd2, 0) (a NaN Min_sd2
//    counting as 0), so for Time_sd >= 0, X = Time_sd * max(Min_sd2, 0), rounding being
//    monotonic. A negative Time_sd gives no bound; a NaN one lets no pixel pass.
//  - As 5 < b < 250, the rounding of b and of the excess E = v (n - 1) - K (v (n - 1) is exact)
//    are each below 300 (n - 1) 2^-53, so v - b > X needs E > (X - 10^-13) (n - 1).
//    `excess_min` keeps a margin of 10^-9 (n - 1) and more.
struct TemporalBound {
  bool every_pixel = false;  // N < 3: no bound is claimed, every pixel takes the exact test
  bool no_pixel = false;     // no pixel can pass, whatever its values
  double spread = 0.0;       // n - 1
  double k_low = 0.0;        // K must exceed this
  double k_high = 0.0;       // K must stay below this
  double excess_min = -std::numeric_limits<double>::infinity();  // v (n - 1) - K must exceed this
};

TemporalBound temporal_bound(int images_in_buffer, const DetectionThresholds& thresholds) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const double time_sd = thresholds.time_sd;
  const double min_sd2 = thresholds.min_sd2;
  TemporalBound bound;
  if (images_in_buffer < 3) {
    bound.every_pixel = true;
    return bound;
  }
  bound.spread = static_cast<double>(images_in_buffer) - 1.0;
  bound.k_low = kLowestBackground * bound.spread;
  bound.k_high = kHighestBackground * bound.spread;
  if (std::isnan(time_sd)) {
    bound.no_pixel = true;
  } else if (time_sd >= 0.0) {
    const double least_tau = min_sd2 > 0.0 ? min_sd2 : 0.0;
    // Infinite, or NaN from infinity x 0: Time_sd * tau is then infinite or NaN for every tau.
    const double least = time_sd * least_tau;
    if (!(least < kInfinity)) {
      bound.no_pixel = true;
    } else {
      bound.excess_min = (least - (1e-9 + 1e-12 * least)) * bound.spread;
    }
  }
  return bound;
}

// The bound for one pixel: 1.0 when it may pass the temporal test, 0.0 when it cannot. Written
// with selects on doubles so that the loops using it vectorise.
inline double may_pass(double v, double s, double spread, double k_low, double k_high,
                       double excess_min) {
  const double k = s - v;
  const double excess = v * spread - k;
  const double above = k > k_low ? 1.0 : 0.0;
  const double inside = k < k_high ? above : 0.0;
  return excess > excess_min ? inside : 0.0;
}

inline std::uint64_t bits_of(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// flags[i] = may_pass for `count` pixels of the frame under test from `values` / `sums`.
// Answers whether any flag is set.
VESK_VECTOR_CLONES
bool mark_candidates(const TemporalBound& bound, const std::uint8_t* __restrict values,
                     const double* __restrict sums, int count, double* __restrict flags) {
  if (bound.every_pixel) {
    std::fill_n(flags, count, 1.0);
    return count > 0;
  }
  const double spread = bound.spread;
  const double k_low = bound.k_low;
  const double k_high = bound.k_high;
  const double excess_min = bound.excess_min;
  std::uint64_t any = 0;
  for (int i = 0; i < count; ++i) {
    flags[i] = may_pass(values[i], sums[i], spread, k_low, k_high, excess_min);
    any |= bits_of(flags[i]);
  }
  return any != 0;
}

// The candidate map of `pixels` pixels of the frame under test.
VESK_VECTOR_CLONES
void mark_chunks(const TemporalBound& bound, const std::uint8_t* __restrict values,
                 const double* __restrict sums, std::size_t pixels,
                 std::uint8_t* __restrict chunks) {
  const double spread = bound.spread;
  const double k_low = bound.k_low;
  const double k_high = bound.k_high;
  const double excess_min = bound.excess_min;
  for (std::size_t begin = 0; begin < pixels; begin += kCandidateChunkPixels) {
    const std::size_t end = std::min(begin + kCandidateChunkPixels, pixels);
    std::uint64_t any = 0;
    for (std::size_t p = begin; p < end; ++p) {
      any |= bits_of(may_pass(values[p], sums[p], spread, k_low, k_high, excess_min));
    }
    chunks[begin / kCandidateChunkPixels] = any != 0 ? 1 : 0;
  }
}

// replace_slot and mark_chunks in one pass: each pixel's sums are updated and the frame under
// test (`target`, which is `fresh` when the load slot is under test) is bounded with them.
VESK_VECTOR_CLONES
void replace_and_mark_chunks(const TemporalBound& bound, double n, std::uint8_t* __restrict frame,
                             const std::uint8_t* __restrict fresh,
                             const std::uint8_t* __restrict target, double* __restrict sum,
                             double* __restrict sq_dev, std::size_t pixels,
                             std::uint8_t* __restrict chunks) {
  const double spread = bound.spread;
  const double k_low = bound.k_low;
  const double k_high = bound.k_high;
  const double excess_min = bound.excess_min;
  for (std::size_t begin = 0; begin < pixels; begin += kCandidateChunkPixels) {
    const std::size_t end = std::min(begin + kCandidateChunkPixels, pixels);
    std::uint64_t any = 0;
    for (std::size_t p = begin; p < end; ++p) {
      retire_then_admit(sum[p], sq_dev[p], frame[p], fresh[p], n);
      frame[p] = fresh[p];
      any |= bits_of(may_pass(target[p], sum[p], spread, k_low, k_high, excess_min));
    }
    chunks[begin / kCandidateChunkPixels] = any != 0 ? 1 : 0;
  }
}

// Columns per piece of a row whose bound is computed in one vectorised loop.
constexpr int kPieceColumns = 256;

// The scan of flash_detector; `chunks` may be null (every pixel is looked at).
void detect(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
            const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
            const std::uint8_t* chunks, DetectionResult& result, MarkedStart start) {
  using detector_parts::temporal_test;
  const std::span<const std::uint8_t> target = detector_parts::start_scan(
      ring, target_slot, marked_frame, result, start != MarkedStart::target_frame);
  FlashMeasurement& measurement = result.measurement;
  const std::size_t target_offset = slot_offset(ring, target_slot);

  const TemporalBound bound = temporal_bound(ring.images_in_buffer, thresholds);
  if (bound.no_pixel) return;
  const double time_sd = thresholds.time_sd;
  const double min_sd2 = thresholds.min_sd2;
  const int width = geometry.image_width;
  // Raised borders keep every read (x - 1, x + 1, y - 2, y + 2) inside the frame; with them no
  // limit below can overflow.
  const ScanBorders borders = usable_borders(thresholds.borders);
  const int x_end = width - borders.right;
  const int y_end = geometry.image_height - borders.bottom;

  // Bounds of one piece of a row and of the right-hand neighbour of its last pixel.
  double flags[kPieceColumns + 1];
  for (int y = borders.top; y < y_end; ++y) {
    const std::size_t row = pixel_index(0, y, width);
    // The right-hand neighbour's test, kept for when that pixel's own turn comes.
    int known_x = -1;
    bool known_pass = false;
    TemporalValues known;
    for (int piece = borders.left; piece < x_end; piece += kPieceColumns) {
      const int count = std::min(kPieceColumns, x_end - piece);
      const std::size_t first = row + static_cast<std::size_t>(piece);
      if (chunks != nullptr) {
        const std::size_t first_chunk = first / kCandidateChunkPixels;
        const std::size_t last_chunk =
            (first + static_cast<std::size_t>(count)) / kCandidateChunkPixels;
        if (std::memchr(chunks + first_chunk, 1, last_chunk - first_chunk + 1) == nullptr) {
          continue;
        }
      }
      if (!mark_candidates(bound, target.data() + first, ring.pixel_sum.data() + first, count + 1,
                           flags)) {
        continue;
      }
      for (int i = 0; i < count; ++i) {
        if (flags[i] == 0.0) continue;  // outside the bound: fails the temporal test
        const int x = piece + i;
        const std::size_t p = first + static_cast<std::size_t>(i);
        TemporalValues own = known;
        bool own_pass = known_pass;
        if (x != known_x) own_pass = temporal_test(ring, target_offset, p, time_sd, min_sd2, own);
        if (!own_pass) continue;
        measurement.time_back = static_cast<float>(own.b);
        measurement.time_sigma = static_cast<float>(own.tau);
        measurement.time_signal = static_cast<float>(own.v - own.b);

        if (flags[i + 1] == 0.0) continue;
        known_x = x + 1;
        known_pass = temporal_test(ring, target_offset, p + 1, time_sd, min_sd2, known);
        if (!known_pass) continue;

        detector_parts::confirm_candidate(ring, geometry, target_slot, x, y, thresholds,
                                          marked_frame, result);
      }
    }
  }
  detector_parts::finish_scan(thresholds, result);
}
}  // namespace

ScanBorders usable_borders(ScanBorders typed) {
  return {std::max(typed.left, kLeastSideBorder), std::max(typed.right, kLeastSideBorder),
          std::max(typed.top, kLeastLineBorder), std::max(typed.bottom, kLeastLineBorder)};
}

void flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                    const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
                    std::span<const std::uint8_t> candidate_chunks, DetectionResult& result,
                    MarkedStart start) {
  detector_parts::check_detector_buffers(ring, geometry, target_slot, marked_frame);
  check_or_die(candidate_chunks.empty() ||
                   candidate_chunks.size() == candidate_chunk_count(ring.frame_pixels),
               "candidate map does not match the frame size");
  detect(ring, geometry, target_slot, thresholds, marked_frame,
         candidate_chunks.empty() ? nullptr : candidate_chunks.data(), result, start);
}

std::size_t candidate_chunk_count(int frame_pixels) {
  if (frame_pixels <= 0) return 0;
  return (static_cast<std::size_t>(frame_pixels) + kCandidateChunkPixels - 1) /
         kCandidateChunkPixels;
}

void mark_candidate_chunks(const FrameRing& ring, int target_slot,
                           const DetectionThresholds& thresholds,
                           std::span<std::uint8_t> candidate_chunks) {
  if (candidate_chunks.size() != candidate_chunk_count(ring.frame_pixels)) return;
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const TemporalBound bound = temporal_bound(ring.images_in_buffer, thresholds);
  if (bound.every_pixel || bound.no_pixel) {
    std::fill(candidate_chunks.begin(), candidate_chunks.end(), bound.every_pixel ? 1 : 0);
    return;
  }
  mark_chunks(bound, ring.frame_ring.data() + slot_offset(ring, target_slot), ring.pixel_sum.data(),
              pixels, candidate_chunks.data());
}

void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionThresholds& thresholds,
                      std::span<std::uint8_t> candidate_chunks) {
  replace_and_mark(ring, load_slot, entering, target_slot, thresholds, candidate_chunks,
                   whole_frame(ring));
}

void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionThresholds& thresholds,
                      std::span<std::uint8_t> candidate_chunks, PixelRange pixels) {
  const std::size_t frame_pixels = whole_frame(ring).end;
  check_or_die(pixels.begin <= pixels.end && pixels.end <= frame_pixels &&
                   pixels.begin % kCandidateChunkPixels == 0 &&
                   (pixels.end % kCandidateChunkPixels == 0 || pixels.end == frame_pixels),
               "a pixel range does not start and end on candidate chunks");
  const TemporalBound bound = temporal_bound(ring.images_in_buffer, thresholds);
  const bool map_fits = candidate_chunks.size() == candidate_chunk_count(ring.frame_pixels);
  if (bound.every_pixel || bound.no_pixel || !map_fits) {
    replace_slot(ring, load_slot, entering, pixels);
    if (!map_fits) return;  // a misfit map is left alone
    const std::size_t first = pixels.begin / kCandidateChunkPixels;
    const std::size_t last = (pixels.end + kCandidateChunkPixels - 1) / kCandidateChunkPixels;
    std::fill(candidate_chunks.begin() + static_cast<std::ptrdiff_t>(first),
              candidate_chunks.begin() + static_cast<std::ptrdiff_t>(last),
              bound.every_pixel ? 1 : 0);
    return;
  }
  std::uint8_t* frame = ring.frame_ring.data() + slot_offset(ring, load_slot);
  const std::uint8_t* target = target_slot == load_slot
                                   ? entering.data()
                                   : ring.frame_ring.data() + slot_offset(ring, target_slot);
  const std::size_t b = pixels.begin;
  replace_and_mark_chunks(bound, static_cast<double>(ring.images_in_buffer), frame + b,
                          entering.data() + b, target + b, ring.pixel_sum.data() + b,
                          ring.pixel_sq_dev.data() + b, pixels.end - b,
                          candidate_chunks.data() + b / kCandidateChunkPixels);
}
