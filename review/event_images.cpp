#include "review/event_images.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <vector>

#include "imaging/png_file.h"

namespace {

constexpr int kHalf = kCloseupSide / 2;
constexpr double kMaxSiteMagnitude = 1e6;
constexpr std::uint8_t kMark[3] = {255, 214, 0};  // yellow, clear on grey and on black

struct Frame {
  std::span<const std::uint8_t> pixels;  // empty: not available
  std::int64_t width = 0;
  std::int64_t height = 0;
  // The pixel at (x, y), 0 outside the frame or when the frame is not available.
  std::uint8_t at(std::int64_t x, std::int64_t y) const {
    if (pixels.empty() || x < 0 || y < 0 || x >= width || y >= height) return 0;
    return pixels[static_cast<std::size_t>(y * width + x)];
  }
};

bool check_input(const EventFrames& in, std::string* error) {
  if (in.event < 1) {
    *error = "event images: event number " + std::to_string(in.event) + " is below 1";
    return false;
  }
  if (in.width < 1 || in.width > kMaxFrameSide || in.height < 1 || in.height > kMaxFrameSide) {
    *error = "event " + std::to_string(in.event) + " images: frame size " +
             std::to_string(in.width) + " x " + std::to_string(in.height) + " is outside 1 to " +
             std::to_string(kMaxFrameSide);
    return false;
  }
  if (in.frames.size() != static_cast<std::size_t>(kOffsetCount)) {
    *error = "event " + std::to_string(in.event) + " images: " + std::to_string(in.frames.size()) +
             " frames given, " + std::to_string(kOffsetCount) + " expected";
    return false;
  }
  const std::size_t pixels =
      static_cast<std::size_t>(in.width) * static_cast<std::size_t>(in.height);
  for (std::size_t i = 0; i < in.frames.size(); ++i) {
    if (!in.frames[i].empty() && in.frames[i].size() != pixels) {
      *error = "event " + std::to_string(in.event) + " images: frame at offset " +
               std::to_string(static_cast<int>(i) + kFirstOffset) + " has " +
               std::to_string(in.frames[i].size()) + " bytes, not " + std::to_string(pixels);
      return false;
    }
  }
  if (!std::isfinite(in.x) || !std::isfinite(in.y) || std::fabs(in.x) > kMaxSiteMagnitude ||
      std::fabs(in.y) > kMaxSiteMagnitude) {
    char text[160];
    std::snprintf(text, sizeof text, "event %d images: site (%g, %g) is not a usable position",
                  in.event, in.x, in.y);
    *error = text;
    return false;
  }
  if (!std::isfinite(in.step_x) || !std::isfinite(in.step_y) ||
      std::fabs(in.step_x) > kMaxSiteMagnitude || std::fabs(in.step_y) > kMaxSiteMagnitude) {
    char text[160];
    std::snprintf(text, sizeof text, "event %d images: step (%g, %g) is not a usable motion",
                  in.event, in.step_x, in.step_y);
    *error = text;
    return false;
  }
  if (!in.pixel_sum.empty() && (in.pixel_sum.size() != pixels || in.sum_frames < 1)) {
    *error = "event " + std::to_string(in.event) + " images: the ring's sums have " +
             std::to_string(in.pixel_sum.size()) + " values over " + std::to_string(in.sum_frames) +
             " frames, not " + std::to_string(pixels) + " values over at least 1";
    return false;
  }
  return true;
}

Frame frame_at(const EventFrames& in, int offset) {
  return Frame{in.frames[static_cast<std::size_t>(offset - kFirstOffset)], in.width, in.height};
}

void put_rgb(std::vector<std::uint8_t>& rgb, int width, int x, int y, const std::uint8_t* colour) {
  std::uint8_t* p = rgb.data() + 3 * (static_cast<std::size_t>(y) * width + x);
  p[0] = colour[0];
  p[1] = colour[1];
  p[2] = colour[2];
}

// Outline of the square with corners (x0, y0) and (x1, y1), clipped to the picture.
void draw_square(std::vector<std::uint8_t>& rgb, int width, int height, int x0, int y0, int x1,
                 int y1) {
  for (int y = std::max(y0, 0); y <= std::min(y1, height - 1); ++y) {
    for (int x = std::max(x0, 0); x <= std::min(x1, width - 1); ++x) {
      if (x == x0 || x == x1 || y == y0 || y == y1) put_rgb(rgb, width, x, y, kMark);
    }
  }
}

std::vector<std::uint8_t> grey_to_rgb(const std::vector<std::uint8_t>& grey) {
  std::vector<std::uint8_t> rgb(3 * grey.size());
  for (std::size_t i = 0; i < grey.size(); ++i) {
    rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = grey[i];
  }
  return rgb;
}

// The strip's layout filled by `pixel(frame, x, y)`, which gives the grey of frame pixel (x, y)
// (any position, also beyond the frame); `gap` between the tiles.
template <typename Pixel>
std::vector<std::uint8_t> compose_strip(const EventFrames& in, std::int64_t site_x,
                                        std::int64_t site_y, std::uint8_t gap, Pixel pixel) {
  const int w = strip_width(in.interlaced);
  const int h = strip_height(in.interlaced);
  const int tile_width = in.interlaced ? kInterlacedTileWidth : kCloseupSide;
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(w) * h, gap);
  for (int offset = kFirstOffset; offset <= kLastOffset; ++offset) {
    const Frame frame = frame_at(in, offset);
    const int left = (offset - kFirstOffset) * (tile_width + kStripGap);
    // Each close-up follows a moving site along its steps.
    const std::int64_t cx = site_x + std::llround(offset * in.step_x);
    const std::int64_t cy = site_y + std::llround(offset * in.step_y);
    if (!in.interlaced) {
      for (int r = 0; r < kCloseupSide; ++r) {
        for (int c = 0; c < kCloseupSide; ++c) {
          strip[static_cast<std::size_t>(r) * w + left + c] =
              pixel(frame, cx - kHalf + c, cy - kHalf + r);
        }
      }
      continue;
    }
    // Rows cy - 10 .. cy + 11: the odd ones go to the left field, the even ones to the right,
    // each into rows 2k and 2k + 1 of its field, k counting that field's rows from the top.
    for (int i = 0; i < 2 * kFieldRows; ++i) {
      const std::int64_t row = cy - kHalf + i;
      const bool odd = (row & 1) != 0;
      const int field_left = left + (odd ? 0 : kCloseupSide + kStripGap);
      const int k = i / 2;
      for (int c = 0; c < kCloseupSide; ++c) {
        const std::uint8_t v = pixel(frame, cx - kHalf + c, row);
        strip[static_cast<std::size_t>(2 * k) * w + field_left + c] = v;
        strip[static_cast<std::size_t>(2 * k + 1) * w + field_left + c] = v;
      }
    }
  }
  return strip;
}

std::vector<std::uint8_t> compose_plain_strip(const EventFrames& in, std::int64_t site_x,
                                              std::int64_t site_y) {
  return compose_strip(
      in, site_x, site_y, kStripGapGrey,
      [](const Frame& frame, std::int64_t x, std::int64_t y) { return frame.at(x, y); });
}

std::vector<std::uint8_t> compose_difference_strip(const EventFrames& in, std::int64_t site_x,
                                                   std::int64_t site_y) {
  return compose_strip(
      in, site_x, site_y, kDiffZero, [&](const Frame& frame, std::int64_t x, std::int64_t y) {
        if (frame.pixels.empty() || x < 0 || y < 0 || x >= frame.width || y >= frame.height) {
          return static_cast<std::uint8_t>(kDiffZero);
        }
        const auto p = static_cast<std::size_t>(y * frame.width + x);
        return difference_grey(frame.pixels[p], in.pixel_sum[p], in.sum_frames);
      });
}

std::vector<std::uint8_t> compose_crop(const EventFrames& in, std::int64_t cx, std::int64_t cy) {
  const Frame frame = frame_at(in, 0);
  const int half = kCropSide / 2;
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(kCropSide) * kCropSide);
  for (int r = 0; r < kCropSide; ++r) {
    for (int c = 0; c < kCropSide; ++c) {
      grey[static_cast<std::size_t>(r) * kCropSide + c] = frame.at(cx - half + c, cy - half + r);
    }
  }
  std::vector<std::uint8_t> rgb = grey_to_rgb(grey);
  // The box lies one pixel outside the close-up's 21 x 21 pixels, which stay as they were.
  draw_square(rgb, kCropSide, kCropSide, half - kHalf - 1, half - kHalf - 1, half + kHalf + 1,
              half + kHalf + 1);
  return rgb;
}

struct Overview {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
};

Overview compose_overview(const EventFrames& in, std::int64_t cx, std::int64_t cy) {
  const Frame frame = frame_at(in, 0);
  const int longest = std::max(in.width, in.height);
  const int factor = (longest + kOverviewMaxSide - 1) / kOverviewMaxSide;
  Overview out;
  out.width = (in.width + factor - 1) / factor;
  out.height = (in.height + factor - 1) / factor;
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(out.width) * out.height, 0);
  if (!frame.pixels.empty()) {
    for (int oy = 0; oy < out.height; ++oy) {
      for (int ox = 0; ox < out.width; ++ox) {
        // Block means over the pixels inside the frame (blocks at the right and bottom edge may
        // be cut short), rounded to the nearest grey level.
        const int x_end = std::min(in.width, (ox + 1) * factor);
        const int y_end = std::min(in.height, (oy + 1) * factor);
        std::uint64_t sum = 0;
        std::uint64_t count = 0;
        for (int y = oy * factor; y < y_end; ++y) {
          for (int x = ox * factor; x < x_end; ++x) {
            sum += frame.at(x, y);
            ++count;
          }
        }
        grey[static_cast<std::size_t>(oy) * out.width + ox] =
            static_cast<std::uint8_t>((sum + count / 2) / count);
      }
    }
  }
  out.rgb = grey_to_rgb(grey);
  const std::int64_t mx = cx >= 0 ? cx / factor : -((-cx + factor - 1) / factor);
  const std::int64_t my = cy >= 0 ? cy / factor : -((-cy + factor - 1) / factor);
  constexpr int kMarkHalf = 6;
  if (mx > -kMaxFrameSide && mx < kMaxFrameSide && my > -kMaxFrameSide && my < kMaxFrameSide) {
    draw_square(out.rgb, out.width, out.height, static_cast<int>(mx) - kMarkHalf,
                static_cast<int>(my) - kMarkHalf, static_cast<int>(mx) + kMarkHalf,
                static_cast<int>(my) + kMarkHalf);
  }
  return out;
}

}  // namespace

int strip_width(bool interlaced) {
  const int tile = interlaced ? kInterlacedTileWidth : kCloseupSide;
  return kOffsetCount * tile + (kOffsetCount - 1) * kStripGap;
}

int strip_height(bool interlaced) {
  return interlaced ? kInterlacedTileHeight : kCloseupSide;
}

std::size_t event_images_bytes_needed() {
  const std::size_t strip =
      static_cast<std::size_t>(std::max(strip_width(true), strip_width(false))) *
      static_cast<std::size_t>(std::max(strip_height(true), strip_height(false)));
  const std::size_t crop = std::size_t{kCropSide} * kCropSide;
  const std::size_t overview = std::size_t{kOverviewMaxSide} * kOverviewMaxSide;
  // Grey, then colour (3 bytes a pixel) for the crop and the overview; the difference strip.
  return 2 * strip + 4 * crop + 4 * overview;
}

std::uint8_t difference_grey(std::uint8_t value, double sum, int sum_frames) {
  const double difference = static_cast<double>(value) - sum / sum_frames;
  const long grey = kDiffZero + std::lround(difference);
  return static_cast<std::uint8_t>(std::clamp(grey, 0L, 255L));
}

std::string event_image_name(int event, EventImage image) {
  const char* suffix = image == EventImage::strip      ? "strip"
                       : image == EventImage::crop     ? "crop"
                       : image == EventImage::overview ? "frame"
                                                       : "diff";
  char name[48];
  std::snprintf(name, sizeof name, "e%04d_%s.png", event, suffix);
  return name;
}

bool write_event_strip(const std::filesystem::path& review_folder, const EventFrames& frames,
                       std::string* error) {
  if (!check_input(frames, error)) return false;
  std::error_code ec;
  std::filesystem::create_directories(review_folder, ec);
  if (ec || !std::filesystem::is_directory(review_folder, ec)) {
    *error = review_folder.string() + ": cannot create folder" + (ec ? ": " + ec.message() : "");
    return false;
  }
  const std::vector<std::uint8_t> strip =
      compose_plain_strip(frames, std::llround(frames.x), std::llround(frames.y));
  const PngImageView strip_view{strip_width(frames.interlaced), strip_height(frames.interlaced), 1,
                                strip};
  return write_png_file(review_folder / event_image_name(frames.event, EventImage::strip),
                        strip_view, error);
}

bool write_event_images(const std::filesystem::path& review_folder, const EventFrames& frames,
                        std::string* error) {
  if (!write_event_strip(review_folder, frames, error)) return false;
  const std::int64_t cx = std::llround(frames.x);
  const std::int64_t cy = std::llround(frames.y);
  const std::vector<std::uint8_t> crop = compose_crop(frames, cx, cy);
  if (!write_png_file(review_folder / event_image_name(frames.event, EventImage::crop),
                      PngImageView{kCropSide, kCropSide, 3, crop}, error)) {
    return false;
  }
  const Overview overview = compose_overview(frames, cx, cy);
  if (!write_png_file(review_folder / event_image_name(frames.event, EventImage::overview),
                      PngImageView{overview.width, overview.height, 3, overview.rgb}, error)) {
    return false;
  }
  if (frames.pixel_sum.empty()) return true;
  const std::vector<std::uint8_t> difference = compose_difference_strip(frames, cx, cy);
  return write_png_file(
      review_folder / event_image_name(frames.event, EventImage::difference),
      PngImageView{strip_width(frames.interlaced), strip_height(frames.interlaced), 1, difference},
      error);
}
