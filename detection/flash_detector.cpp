#include "detection/flash_detector.h"

#include <algorithm>
#include <array>
#include <bit>
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
  const std::uint8_t* mask = thresholds.mask.empty() ? nullptr : thresholds.mask.data();

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
        if (mask != nullptr && mask[p] == 0) continue;  // masked: never a candidate
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
  check_or_die(thresholds.mask.empty() ||
                   thresholds.mask.size() == static_cast<std::size_t>(geometry.frame_pixels),
               "mask does not match the frame size");
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

namespace {

bool same_borders(const ScanBorders& a, const ScanBorders& b) {
  return a.left == b.left && a.right == b.right && a.top == b.top && a.bottom == b.bottom;
}

bool same_mask(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.data() == b.data() && a.size() == b.size();
}

bool same_bits(double a, double b) {
  return bits_of(a) == bits_of(b);
}

// The distinct (time_sd, min_sd2) pairs of `grid` and the thresholds of each, in grid order.
void group_pairs(std::span<const DetectionThresholds> grid, GridScratch& s) {
  s.pair_time_sd.clear();
  s.pair_min_sd2.clear();
  s.pair_of.assign(grid.size(), 0);
  for (std::size_t k = 0; k < grid.size(); ++k) {
    std::size_t g = 0;
    while (g < s.pair_time_sd.size() && !(same_bits(s.pair_time_sd[g], grid[k].time_sd) &&
                                          same_bits(s.pair_min_sd2[g], grid[k].min_sd2))) {
      ++g;
    }
    if (g == s.pair_time_sd.size()) {
      s.pair_time_sd.push_back(grid[k].time_sd);
      s.pair_min_sd2.push_back(grid[k].min_sd2);
    }
    s.pair_of[k] = g;
  }
  const std::size_t pairs = s.pair_time_sd.size();
  s.member_start.assign(pairs + 1, 0);
  for (const std::size_t g : s.pair_of) ++s.member_start[g + 1];
  for (std::size_t g = 0; g < pairs; ++g) s.member_start[g + 1] += s.member_start[g];
  s.members.assign(grid.size(), 0);
  std::vector<std::size_t> filled(s.member_start.begin(), s.member_start.end() - 1);
  for (std::size_t k = 0; k < grid.size(); ++k) s.members[filled[s.pair_of[k]]++] = k;
  const std::size_t words = (pairs + 63) / 64;
  s.own.assign(words, 0);
  s.known.assign(words, 0);
}

// The temporal test of pixel p under every pair, as temporal_test computes it, into `mask` (bit
// g of word g / 64 for pair g). True when some pair passes.
bool temporal_mask(const FrameRing& ring, std::size_t target_offset, std::size_t p,
                   const GridScratch& s, std::span<std::uint64_t> mask) {
  const auto n = static_cast<double>(ring.images_in_buffer);
  const auto v = static_cast<double>(ring.frame_ring[target_offset + p]);
  const double sum = ring.pixel_sum[p];
  const double q = ring.pixel_sq_dev[p];
  const double u = v - sum / (n - 1.0);
  const double spread = std::sqrt((q - u * u) / (n - 2.0));
  const double b = (sum - v) / (n - 1.0);
  std::fill(mask.begin(), mask.end(), 0);
  if (!(b > kLowestBackground && b < kHighestBackground)) return false;
  const double excess = v - b;
  std::uint64_t any = 0;
  for (std::size_t g = 0; g < s.pair_time_sd.size(); ++g) {
    double tau = spread;
    if (s.pair_min_sd2[g] > tau) tau = s.pair_min_sd2[g];
    if (excess > s.pair_time_sd[g] * tau) {
      mask[g / 64] |= std::uint64_t{1} << (g % 64);
      any = 1;
    }
  }
  return any != 0;
}

}  // namespace

void flash_detector_grid(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                         std::span<const DetectionThresholds> grid, GridScratch& scratch,
                         std::span<DetectionResult> results) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  const bool fits =
      detector_parts::ring_fits(ring, geometry, target_slot) && results.size() == grid.size() &&
      std::all_of(grid.begin(), grid.end(),
                  [&grid](const DetectionThresholds& t) {
                    return same_borders(t.borders, grid.front().borders) &&
                           same_mask(t.mask, grid.front().mask);
                  }) &&
      (grid.empty() || grid.front().mask.empty() || grid.front().mask.size() == pixels);
  check_or_die(grid.empty() || fits, "grid detector buffers or borders do not match");
  for (DetectionResult& r : results) {
    r.found = false;
    r.flash_count = 0;
    r.listed = 0;
  }
  if (grid.empty()) return;
  group_pairs(grid, scratch);

  // The loosest bound: a pixel that one pair's bound lets through passes this one too (the range
  // of K is the same for every pair; the excess must beat the least of the pairs' minimums).
  TemporalBound loose = temporal_bound(ring.images_in_buffer, grid.front());
  if (!loose.every_pixel) {
    bool some_pixel = false;
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g < scratch.pair_time_sd.size(); ++g) {
      DetectionThresholds pair = grid.front();
      pair.time_sd = scratch.pair_time_sd[g];
      pair.min_sd2 = scratch.pair_min_sd2[g];
      const TemporalBound b = temporal_bound(ring.images_in_buffer, pair);
      if (b.no_pixel) continue;
      some_pixel = true;
      least = std::min(least, b.excess_min);
    }
    if (!some_pixel) return;
    loose.no_pixel = false;
    loose.excess_min = least;
  }
  const std::size_t target_offset = slot_offset(ring, target_slot);
  const std::uint8_t* target = ring.frame_ring.data() + target_offset;
  scratch.chunks.resize(candidate_chunk_count(ring.frame_pixels));
  if (loose.every_pixel) {
    std::fill(scratch.chunks.begin(), scratch.chunks.end(), 1);
  } else {
    mark_chunks(loose, target, ring.pixel_sum.data(), pixels, scratch.chunks.data());
  }
  const std::uint8_t* chunks = scratch.chunks.data();
  const std::uint8_t* mask = grid.front().mask.empty() ? nullptr : grid.front().mask.data();

  const int width = geometry.image_width;
  const ScanBorders borders = usable_borders(grid.front().borders);
  const int x_end = width - borders.right;
  const int y_end = geometry.image_height - borders.bottom;
  const std::span<std::uint64_t> own(scratch.own);
  const std::span<std::uint64_t> known(scratch.known);
  double flags[kPieceColumns + 1];
  for (int y = borders.top; y < y_end; ++y) {
    const std::size_t row = pixel_index(0, y, width);
    int known_x = -1;  // the right-hand neighbour whose passes `known` holds
    for (int piece = borders.left; piece < x_end; piece += kPieceColumns) {
      const int count = std::min(kPieceColumns, x_end - piece);
      const std::size_t first = row + static_cast<std::size_t>(piece);
      const std::size_t first_chunk = first / kCandidateChunkPixels;
      const std::size_t last_chunk =
          (first + static_cast<std::size_t>(count)) / kCandidateChunkPixels;
      if (std::memchr(chunks + first_chunk, 1, last_chunk - first_chunk + 1) == nullptr) continue;
      if (!mark_candidates(loose, target + first, ring.pixel_sum.data() + first, count + 1,
                           flags)) {
        continue;
      }
      for (int i = 0; i < count; ++i) {
        if (flags[i] == 0.0) continue;
        const int x = piece + i;
        const std::size_t p = first + static_cast<std::size_t>(i);
        if (mask != nullptr && mask[p] == 0) continue;  // masked: never a candidate
        bool any = false;
        if (x == known_x) {
          std::copy(known.begin(), known.end(), own.begin());
          any = std::any_of(own.begin(), own.end(), [](std::uint64_t w) { return w != 0; });
        } else {
          any = temporal_mask(ring, target_offset, p, scratch, own);
        }
        if (!any || flags[i + 1] == 0.0) continue;
        known_x = x + 1;
        if (!temporal_mask(ring, target_offset, p + 1, scratch, known)) continue;
        bool both = false;
        for (std::size_t w = 0; w < own.size(); ++w) both = both || (own[w] & known[w]) != 0;
        if (!both) continue;
        const detector_parts::BlockValues block =
            detector_parts::block_values(ring, x, y, target_slot, width);
        for (std::size_t w = 0; w < own.size(); ++w) {
          for (std::uint64_t bits = own[w] & known[w]; bits != 0; bits &= bits - 1) {
            const std::size_t g = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
            for (std::size_t m = scratch.member_start[g]; m < scratch.member_start[g + 1]; ++m) {
              const std::size_t k = scratch.members[m];
              if (detector_parts::block_confirms(block, grid[k].neighbour_sd, grid[k].min_sd1)) {
                detector_parts::list_pixel(results[k], x, y);
              }
            }
          }
        }
      }
    }
  }
  for (std::size_t k = 0; k < grid.size(); ++k) detector_parts::finish_scan(grid[k], results[k]);
}
