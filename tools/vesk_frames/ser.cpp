#include "tools/vesk_frames/ser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "imaging/file_io.h"

namespace {

// Largest valid timestamp: 9999-12-31 23:59:59.9999999.
constexpr std::int64_t kLastTick = 3155378975999999999;
constexpr std::int64_t kTicksPerDay = 864000000000;
constexpr std::int64_t kDaysBefore1970 = 719162;  // 0001-01-01 to 1970-01-01

std::uint32_t sample_at(std::span<const std::uint8_t> frame, std::size_t index, int bytes,
                        bool big_endian) {
  if (bytes == 1) return frame[index];
  const std::uint32_t a = frame[2 * index];
  const std::uint32_t b = frame[2 * index + 1];
  return big_endian ? (a << 8 | b) : (b << 8 | a);
}

// Rounded mean of the 2x2 block at (x, y); the block starts one column or row earlier at the
// last column or row, so it always covers every colour of a 2x2 pattern once.
std::uint32_t mosaic_mean(std::span<const std::uint8_t> frame, const SerHeader& h, int x, int y,
                          bool big_endian) {
  const int x0 = h.width >= 2 ? std::min(x, h.width - 2) : x;
  const int y0 = h.height >= 2 ? std::min(y, h.height - 2) : y;
  const int x1 = h.width >= 2 ? x0 + 1 : x0;
  const int y1 = h.height >= 2 ? y0 + 1 : y0;
  std::uint32_t sum = 0;
  std::uint32_t n = 0;
  for (int yy = y0; yy <= y1; ++yy) {
    for (int xx = x0; xx <= x1; ++xx) {
      const std::size_t index = static_cast<std::size_t>(yy) * static_cast<std::size_t>(h.width) +
                                static_cast<std::size_t>(xx);
      sum += sample_at(frame, index, h.bytes_per_sample, big_endian);
      ++n;
    }
  }
  return (sum + n / 2) / n;
}

}  // namespace

bool parse_ser_header(std::span<const std::uint8_t> bytes, const std::string& path, int max_side,
                      SerHeader& header, std::string& error) {
  if (bytes.size() < kSerHeaderBytes ||
      std::memcmp(bytes.data(), kSerSignature, kSerSignatureBytes) != 0) {
    error = path + ": not a SER file (no LUCAM-RECORDER signature)";
    return false;
  }
  SerHeader h;
  h.colour_id = get_le32(bytes, 18);
  h.little_endian = get_le32(bytes, 22);
  h.width = get_le32(bytes, 26);
  h.height = get_le32(bytes, 30);
  h.pixel_depth = get_le32(bytes, 34);
  h.frame_count = get_le32(bytes, 38);
  if (h.colour_id == 0) {
    h.colour = SerColour::mono;
  } else if ((h.colour_id >= 8 && h.colour_id <= 11) || (h.colour_id >= 16 && h.colour_id <= 19)) {
    h.colour = SerColour::mosaic;
  } else if (h.colour_id == 100 || h.colour_id == 101) {
    h.colour = h.colour_id == 100 ? SerColour::rgb : SerColour::bgr;
    h.planes = 3;
  } else {
    error = path + ": colour id " + std::to_string(h.colour_id) +
            " is unknown (0 mono, 8-11 Bayer, 16-19 CMY, 100 RGB, 101 BGR)";
    return false;
  }
  if (h.pixel_depth < 1 || h.pixel_depth > 16) {
    error = path + ": pixel depth " + std::to_string(h.pixel_depth) + " is outside 1 to 16 bits";
    return false;
  }
  if (h.width < 1 || h.width > max_side || h.height < 1 || h.height > max_side) {
    error = path + ": frame size " + std::to_string(h.width) + " x " + std::to_string(h.height) +
            " is outside 1 to " + std::to_string(max_side);
    return false;
  }
  if (h.frame_count < 0) {
    error = path + ": frame count " + std::to_string(h.frame_count) + " is negative";
    return false;
  }
  h.bytes_per_sample = h.pixel_depth <= 8 ? 1 : 2;
  // At most 32768 * 32768 * 3 * 2 bytes: fits in a 64-bit size_t.
  h.frame_bytes = static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height) *
                  static_cast<std::size_t>(h.planes) * static_cast<std::size_t>(h.bytes_per_sample);
  header = h;
  return true;
}

bool ser_samples_big_endian(const SerHeader& header, ByteOrder order) {
  switch (order) {
    case ByteOrder::little:
      return false;
    case ByteOrder::big:
      return true;
    case ByteOrder::from_header:
      break;
  }
  // The SER document says 0 means big-endian, but the capture programs in common use write 0
  // over little-endian samples; follow them.
  return header.little_endian != 0;
}

void ser_frame_to_grey(std::span<const std::uint8_t> frame, const SerHeader& header,
                       bool big_endian, std::span<std::uint8_t> grey) {
  const int shift = header.bytes_per_sample == 2 ? header.pixel_depth - 8 : 0;
  const int bytes = header.bytes_per_sample;
  const auto width = static_cast<std::size_t>(header.width);
  for (int y = 0; y < header.height; ++y) {
    for (int x = 0; x < header.width; ++x) {
      const std::size_t pixel = static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x);
      std::uint32_t value = 0;
      switch (header.colour) {
        case SerColour::mono:
          value = sample_at(frame, pixel, bytes, big_endian);
          break;
        case SerColour::mosaic:
          value = mosaic_mean(frame, header, x, y, big_endian);
          break;
        case SerColour::rgb:
        case SerColour::bgr: {
          const std::uint32_t first = sample_at(frame, 3 * pixel, bytes, big_endian);
          const std::uint32_t green = sample_at(frame, 3 * pixel + 1, bytes, big_endian);
          const std::uint32_t last = sample_at(frame, 3 * pixel + 2, bytes, big_endian);
          const std::uint32_t red = header.colour == SerColour::rgb ? first : last;
          const std::uint32_t blue = header.colour == SerColour::rgb ? last : first;
          value = (299 * red + 587 * green + 114 * blue + 500) / 1000;
          break;
        }
      }
      grey[pixel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value >> shift, 255));
    }
  }
}

std::string ser_time_text(std::int64_t ticks) {
  if (ticks <= 0 || ticks > kLastTick) return "";
  const std::int64_t day = ticks / kTicksPerDay;
  std::int64_t rest = ticks % kTicksPerDay;
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{day - kDaysBefore1970}}};
  const auto fraction = static_cast<long>(rest % 10000000);
  rest /= 10000000;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%07ldZ", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()}, static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), fraction);
  return text;
}
