#include "imaging/flash_report.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/check.h"

int odd_or_even(int value) {
  return (value & 1) != 0 ? 1 : 2;
}

namespace {

constexpr int kStripRows = 40;
constexpr int kWindowHalf = 10;  // close-ups are 21 x 21 pixels round the flash centre
constexpr int kThumbnailsEachSide = 5;

// `value` truncated toward zero into the int range; NaN and values beyond the range land at the
// range's ends, so that their close-up windows fall outside every frame and stay black.
std::int64_t truncate_to_int(float value) {
  if (std::isnan(value)) return std::numeric_limits<int>::min();
  const double t = std::trunc(static_cast<double>(value));
  const double lo = std::numeric_limits<int>::min();
  const double hi = std::numeric_limits<int>::max();
  return static_cast<std::int64_t>(std::clamp(t, lo, hi));
}

// Remainder of `value` / `n` in 0 to n - 1 for n > 0, also for negative values.
std::int64_t wrap_slot(std::int64_t value, std::int64_t n) {
  return ((value % n) + n) % n;
}

// True when every buffer holds at least the bytes the geometry and ring size ask for.
bool buffers_fit(const FlashReportInput& in, std::size_t report_bytes, std::size_t strip_bytes) {
  const FrameGeometry& g = in.geometry;
  if (g.image_width < 0 || g.image_height < 0 ||
      static_cast<std::int64_t>(g.image_width) * g.image_height != g.frame_pixels) {
    return false;
  }
  const auto pixels = static_cast<std::size_t>(g.frame_pixels);
  if (in.report_header.size() != static_cast<std::size_t>(kReportHeaderBytes) ||
      in.marked_frame.size() < pixels || report_bytes < 3 * pixels ||
      strip_bytes < kStripRows * 3 * static_cast<std::size_t>(g.image_width)) {
    return false;
  }
  if (in.images_in_buffer > 0 && pixels > 0 &&
      in.frame_ring.size() / pixels < static_cast<std::size_t>(in.images_in_buffer)) {
    return false;
  }
  return true;
}

// Frame section: file row k is stored row H - 1 - k, each grey level as three equal bytes.
void compose_frame_section(const FlashReportInput& in, std::uint8_t* out) {
  const std::size_t w = static_cast<std::size_t>(in.geometry.image_width);
  const std::size_t h = static_cast<std::size_t>(in.geometry.image_height);
  for (std::size_t y = 0; y < h; ++y) {
    const std::uint8_t* src = in.marked_frame.data() + y * w;
    std::uint8_t* dst = out + (h - 1 - y) * 3 * w;
    for (std::size_t x = 0; x < w; ++x) {
      dst[3 * x] = src[x];
      dst[3 * x + 1] = src[x];
      dst[3 * x + 2] = src[x];
    }
  }
}

// Eleven close-ups into the already blackened strip. Each window row is clipped to the columns
// that lie inside both the source frame and the strip; rows outside the frame stay black.
void compose_thumbnails(const FlashReportInput& in, std::uint8_t* strip) {
  const int mode = in.interlace;
  if (mode != 0 && mode != 1 && mode != 2) return;
  if (in.images_in_buffer <= 0) return;
  const std::int64_t w = in.geometry.image_width;
  const std::int64_t h = in.geometry.image_height;
  const std::int64_t row_bytes = 3 * w;
  const std::int64_t sx = truncate_to_int(in.sample);
  const std::int64_t ly = truncate_to_int(in.line);
  const std::int64_t cx = w / 2;
  const std::int64_t pitch = mode == 0 ? 25 : 50;

  const std::int64_t held_after =
      in.newest_frame >= 0 ? in.newest_frame - in.target_frame : in.images_in_buffer / 2;
  const std::int64_t held_before = in.images_in_buffer - 1 - held_after;
  for (int n = -kThumbnailsEachSide; n <= kThumbnailsEachSide; ++n) {
    // A close-up stands for one frame: one the ring does not hold stays black.
    if (n < -held_before || n > held_after || in.target_frame + n < 0) continue;
    const std::int64_t slot = wrap_slot(std::int64_t{in.target_slot} + n, in.images_in_buffer);
    const std::uint8_t* frame =
        in.frame_ring.data() + static_cast<std::size_t>(slot) * in.geometry.frame_pixels;
    for (int p = -kWindowHalf; p <= kWindowHalf; ++p) {
      const std::int64_t source_line = ly + p;
      if (source_line < 0 || source_line >= h) continue;

      // Modes 0 and 1 put source line ly + p on strip row 20 - p, mode 2 on 20 + p; modes 1 and 2
      // also fill the row below, and move one field's lines 25 columns right.
      const std::int64_t first_row = mode == 2 ? 20 + p : 20 - p;
      std::int64_t base = cx + pitch * n;
      if (mode != 0) {
        const int left_parity = mode == 1 ? 1 : 2;  // mode 1: odd lines left, mode 2: even left
        if (odd_or_even(static_cast<int>(source_line)) != left_parity) base += 25;
      }
      // Window columns r with 0 <= sx + r < W and 0 <= base + r < W.
      const std::int64_t r_lo = std::max<std::int64_t>({-kWindowHalf, -sx, -base});
      const std::int64_t r_hi = std::min<std::int64_t>({kWindowHalf, w - 1 - sx, w - 1 - base});
      if (r_lo > r_hi) continue;

      const std::int64_t count = r_hi - r_lo + 1;
      const std::uint8_t* src = frame + source_line * w + (sx + r_lo);
      std::uint8_t* dst = strip + first_row * row_bytes + 3 * (base + r_lo);
      for (std::int64_t i = 0; i < count; ++i) {
        dst[3 * i] = src[i];
        dst[3 * i + 1] = src[i];
        dst[3 * i + 2] = src[i];
      }
      if (mode != 0) std::copy_n(dst, 3 * count, dst + row_bytes);
    }
  }
}

}  // namespace

std::size_t report_strip_bytes(int image_width) {
  return image_width > 0 ? kStripRows * 3 * static_cast<std::size_t>(image_width) : 0;
}

bool write_flash_report(FileHandle& report_file, const char* path, const FlashReportInput& input,
                        std::span<std::uint8_t> report_pixels,
                        std::span<std::uint8_t> thumbnail_strip, std::string* error) {
  if (!report_file) {
    *error = std::string(path) + ": report file is not open";
    return false;
  }
  check_or_die(buffers_fit(input, report_pixels.size(), thumbnail_strip.size()),
               "report buffers do not match the frame geometry");
  const std::size_t pixels = static_cast<std::size_t>(input.geometry.frame_pixels);
  const std::size_t strip_bytes = report_strip_bytes(input.geometry.image_width);
  const auto frame_section = report_pixels.first(3 * pixels);
  const auto strip = thumbnail_strip.first(strip_bytes);

  compose_frame_section(input, frame_section.data());
  std::fill(strip.begin(), strip.end(), std::uint8_t{0});
  compose_thumbnails(input, strip.data());

  std::FILE* file = report_file.get();
  if (!write_bytes(file, input.report_header, path, error) ||
      !write_bytes(file, frame_section, path, error) || !write_bytes(file, strip, path, error)) {
    std::string ignored;  // the write's own message says what went wrong first
    close_file(report_file, path, &ignored);
    return false;
  }
  return close_file(report_file, path, error);
}
