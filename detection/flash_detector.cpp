#include "detection/flash_detector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "detection/vector_clones.h"

namespace {

constexpr int kMaxListedPixels = 100;  // capacity of the list of flash pixels
constexpr int kBoxHalfSize = 10;       // boxes are 21 x 21 outlines
constexpr double kLowestBackground = 5.0;
constexpr double kHighestBackground = 250.0;

struct PixelPosition {
  double x = 0.0;
  double y = 0.0;
};

std::size_t pixel_index(int x, int y, int image_width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(image_width) +
         static_cast<std::size_t>(x);
}

std::size_t slot_offset(const FrameRing& ring, int slot) {
  return static_cast<std::size_t>(slot) * static_cast<std::size_t>(ring.frame_pixels);
}

// What the temporal test finds for one pixel.
struct TemporalValues {
  double b = 0.0;    // mean of the pixel over the other N - 1 frames
  double tau = 0.0;  // temporal spread, floored at Min_sd2
  double v = 0.0;    // the pixel in the frame under test
};

// The pixel at index p of the frame under test against its running sums. S / (N - 1) uses the
// whole sum, target frame included; a negative radicand gives NaN, which fails every comparison.
bool temporal_test(const FrameRing& ring, std::size_t target_offset, std::size_t p, double time_sd,
                   double min_sd2, TemporalValues& values) {
  const auto n = static_cast<double>(ring.images_in_buffer);
  const auto v = static_cast<double>(ring.frame_ring[target_offset + p]);
  const double s = ring.pixel_sum[p];
  const double q = ring.pixel_sq_dev[p];
  const double u = v - s / (n - 1.0);
  double tau = std::sqrt((q - u * u) / (n - 2.0));
  const double b = (s - v) / (n - 1.0);
  if (min_sd2 > tau) tau = min_sd2;
  values = {b, tau, v};
  return v - b > time_sd * tau && b > kLowestBackground && b < kHighestBackground;
}

// Outline of the 21 x 21 square centred on (x, y), clipped at the frame edges.
void draw_box(std::span<std::uint8_t> marked_frame, const FrameGeometry& geometry, int x, int y,
              std::uint8_t colour) {
  for (int dy = -kBoxHalfSize; dy <= kBoxHalfSize; ++dy) {
    for (int dx = -kBoxHalfSize; dx <= kBoxHalfSize; ++dx) {
      const bool outline =
          dx == -kBoxHalfSize || dx == kBoxHalfSize || dy == -kBoxHalfSize || dy == kBoxHalfSize;
      const int bx = x + dx;
      const int by = y + dy;
      if (outline && bx >= 0 && bx < geometry.image_width && by >= 0 &&
          by < geometry.image_height) {
        marked_frame[pixel_index(bx, by, geometry.image_width)] = colour;
      }
    }
  }
}

// Mean position and scatter of the listed pixels; answers whether they are close enough together.
int cluster_test(const std::array<PixelPosition, kMaxListedPixels>& flash_pixels, int& flash_count,
                 float flash_sd_sep, FlashMeasurement& measurement) {
  const int count = flash_count;
  const auto n = static_cast<double>(count);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (int i = 0; i < count; ++i) {
    sum_x += flash_pixels[i].x;
    sum_y += flash_pixels[i].y;
  }
  const double mx = sum_x / n;
  const double my = sum_y / n;
  measurement.sample = static_cast<float>(mx);
  measurement.line = static_cast<float>(my);

  double sx = 0.0;
  double sy = 0.0;
  for (int i = 0; i < count; ++i) {
    sx += (flash_pixels[i].x - mx) * (flash_pixels[i].x - mx);
    sy += (flash_pixels[i].y - my) * (flash_pixels[i].y - my);
  }
  const double rx = std::sqrt(sx);
  const double ry = std::sqrt(sy);
  // Not divided by the count: the scatter grows with the number of pixels.
  const double scatter = count >= 2 ? std::sqrt(rx * rx + ry * ry) : 0.0;
  measurement.scatter = static_cast<float>(scatter);

  // The stored single-precision value is the one compared.
  if (static_cast<double>(measurement.scatter) > static_cast<double>(flash_sd_sep)) {
    flash_count = 0;
    return 0;
  }
  return 1;
}

bool buffers_fit(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                 std::span<const std::uint8_t> marked_frame) {
  if (ring.images_in_buffer < 1 || ring.frame_pixels < 0 || geometry.image_width < 0 ||
      geometry.image_height < 0 || ring.frame_pixels != geometry.frame_pixels) {
    return false;
  }
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const auto slots = static_cast<std::size_t>(ring.images_in_buffer);
  return pixels == static_cast<std::size_t>(geometry.image_width) *
                       static_cast<std::size_t>(geometry.image_height) &&
         pixels != 0 && ring.frame_ring.size() / pixels == slots &&
         ring.frame_ring.size() % pixels == 0 && ring.pixel_sum.size() == pixels &&
         ring.pixel_sq_dev.size() == pixels && marked_frame.size() == pixels && target_slot >= 0 &&
         target_slot < ring.images_in_buffer;
}

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

TemporalBound temporal_bound(int images_in_buffer, const DetectionSettings& settings) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const auto time_sd = static_cast<double>(settings.Time_sd);
  const auto min_sd2 = static_cast<double>(settings.Min_sd2);
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

// The scan of flash_detector, with or without a candidate map (`chunks` may be null).
int detect(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
           const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
           int& flash_count, FlashMeasurement& measurement, const std::uint8_t* chunks) {
  flash_count = 0;
  if (!buffers_fit(ring, geometry, target_slot, marked_frame)) return 0;
  std::array<PixelPosition, kMaxListedPixels> flash_pixels{};

  const std::size_t target_offset = slot_offset(ring, target_slot);
  const std::span<const std::uint8_t> target =
      ring.frame_ring.subspan(target_offset, static_cast<std::size_t>(ring.frame_pixels));
  std::copy(target.begin(), target.end(), marked_frame.begin());

  const TemporalBound bound = temporal_bound(ring.images_in_buffer, settings);
  if (bound.no_pixel) return 0;
  const double time_sd = static_cast<double>(settings.Time_sd);
  const double min_sd2 = static_cast<double>(settings.Min_sd2);
  const int width = geometry.image_width;
  // Raised borders keep every read (x - 1, x + 1, y - 2, y + 2) inside the frame; with them no
  // limit below can overflow.
  const ScanBorders borders = usable_borders(settings);
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

        if (double_check(ring, x, y, target_slot, width, settings.Neighbour_sd, settings.Min_sd1,
                         measurement) == 0) {
          continue;
        }

        // From the 101st confirmed pixel on, each new one replaces the last entry.
        if (flash_count > kMaxListedPixels - 2) flash_count = kMaxListedPixels - 1;
        flash_pixels[flash_count] = {static_cast<double>(x), static_cast<double>(y)};
        ++flash_count;

        const std::uint8_t colour = target[p] < 128 ? 255 : 0;
        draw_box(marked_frame, geometry, x, y, colour);
      }
    }
  }

  if (flash_count == 0) return 0;
  return cluster_test(flash_pixels, flash_count, settings.Flash_sd_sep, measurement);
}
}  // namespace

ScanBorders usable_borders(const DetectionSettings& settings) {
  return {std::max(settings.Left_sample_border, kLeastSideBorder),
          std::max(settings.Right_sample_border, kLeastSideBorder),
          std::max(settings.Top_line_limit, kLeastLineBorder),
          std::max(settings.Bott_line_limit, kLeastLineBorder)};
}

int double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                 float neighbour_sd, float min_sd1, FlashMeasurement& measurement) {
  const int slots = ring.images_in_buffer;
  // Nine positions in each of the N - 1 other frames; kept in double so no N can overflow it.
  const double n = 9.0 * (static_cast<double>(slots) - 1.0);

  double sum = 0.0;
  for (int j = 0; j < slots; ++j) {
    if (j == target_slot) continue;
    for (int row = y - 2; row <= y + 2; row += 2) {
      for (int col = x - 1; col <= x + 1; ++col) {
        sum += static_cast<double>(
            ring.frame_ring[slot_offset(ring, j) + pixel_index(col, row, image_width)]);
      }
    }
  }
  const double m = sum / n;

  double dev = 0.0;
  for (int j = 0; j < slots; ++j) {
    if (j == target_slot) continue;
    for (int row = y - 2; row <= y + 2; row += 2) {
      for (int col = x - 1; col <= x + 1; ++col) {
        const double d =
            static_cast<double>(
                ring.frame_ring[slot_offset(ring, j) + pixel_index(col, row, image_width)]) -
            m;
        dev += d * d;
      }
    }
  }
  // The square root of the sum, divided by n - 1 (not the root of the sum divided by n - 1).
  double sigma = std::sqrt(dev) / (n - 1.0);
  const double d =
      static_cast<double>(
          ring.frame_ring[slot_offset(ring, target_slot) + pixel_index(x, y, image_width)]) -
      m;

  measurement.bckgrnd = static_cast<float>(m);
  measurement.bckgrnd_sigma = static_cast<float>(sigma);
  measurement.signal = static_cast<float>(d);

  if (static_cast<double>(min_sd1) > sigma) sigma = static_cast<double>(min_sd1);
  return d > static_cast<double>(neighbour_sd) * sigma ? 1 : 0;
}

int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement) {
  return detect(ring, geometry, target_slot, settings, marked_frame, flash_count, measurement,
                nullptr);
}

int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement,
                   std::span<const std::uint8_t> candidate_chunks) {
  // A map of the wrong size is not this frame's: scan without it.
  const bool fits =
      ring.frame_pixels > 0 && candidate_chunks.size() == candidate_chunk_count(ring.frame_pixels);
  return detect(ring, geometry, target_slot, settings, marked_frame, flash_count, measurement,
                fits ? candidate_chunks.data() : nullptr);
}

std::size_t candidate_chunk_count(int frame_pixels) {
  if (frame_pixels <= 0) return 0;
  return (static_cast<std::size_t>(frame_pixels) + kCandidateChunkPixels - 1) /
         kCandidateChunkPixels;
}

void mark_candidate_chunks(const FrameRing& ring, int target_slot,
                           const DetectionSettings& settings,
                           std::span<std::uint8_t> candidate_chunks) {
  if (candidate_chunks.size() != candidate_chunk_count(ring.frame_pixels)) return;
  const auto pixels = static_cast<std::size_t>(ring.frame_pixels);
  const TemporalBound bound = temporal_bound(ring.images_in_buffer, settings);
  if (bound.every_pixel || bound.no_pixel) {
    std::fill(candidate_chunks.begin(), candidate_chunks.end(), bound.every_pixel ? 1 : 0);
    return;
  }
  mark_chunks(bound, ring.frame_ring.data() + slot_offset(ring, target_slot), ring.pixel_sum.data(),
              pixels, candidate_chunks.data());
}

void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionSettings& settings,
                      std::span<std::uint8_t> candidate_chunks) {
  const TemporalBound bound = temporal_bound(ring.images_in_buffer, settings);
  if (bound.every_pixel || bound.no_pixel ||
      candidate_chunks.size() != candidate_chunk_count(ring.frame_pixels)) {
    replace_slot(ring, load_slot, entering);
    mark_candidate_chunks(ring, target_slot, settings, candidate_chunks);  // a no-op if misfit
    return;
  }
  std::uint8_t* frame = ring.frame_ring.data() + slot_offset(ring, load_slot);
  const std::uint8_t* target = target_slot == load_slot
                                   ? entering.data()
                                   : ring.frame_ring.data() + slot_offset(ring, target_slot);
  replace_and_mark_chunks(bound, static_cast<double>(ring.images_in_buffer), frame, entering.data(),
                          target, ring.pixel_sum.data(), ring.pixel_sq_dev.data(),
                          static_cast<std::size_t>(ring.frame_pixels), candidate_chunks.data());
}
