#include "sources/ser.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "formats/utc.h"
#include "imaging/file_io.h"

namespace {

constexpr int kSurveyLowestYear = 1990;
constexpr int kSurveyHighestYear = 2100;
constexpr std::int64_t kQuarterHour = 15 * kTicksPerMinute;
constexpr std::int64_t kMostZoneShift = 14 * 60 * kTicksPerMinute;
constexpr std::int64_t kLocalMatch = 5 * kTicksPerMinute;
// Fewer neighbour pairs than this say too little to overrule the header's byte order.
constexpr std::uint64_t kLeastPairsToJudge = 64;

std::int64_t get_le64(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint64_t u = 0;
  for (int b = 7; b >= 0; --b) u = u << 8 | bytes[offset + static_cast<std::size_t>(b)];
  return static_cast<std::int64_t>(u);
}

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

// True when frames * per fits in 64 bits and equals `bytes`.
bool fills_exactly(std::uint64_t frames, std::uint64_t per, std::uint64_t bytes) {
  return per != 0 && frames <= std::numeric_limits<std::uint64_t>::max() / per &&
         frames * per == bytes;
}

std::int64_t as_count(std::uint64_t frames) {
  return static_cast<std::int64_t>(
      std::min<std::uint64_t>(frames, std::numeric_limits<std::int64_t>::max()));
}

// Mean neighbour difference over standard deviation: about 1.1 for noise, small for a picture,
// 0 for a flat frame.
double roughness(const SampleOrderSurvey& s, const SampleSurvey& survey) {
  if (survey.pairs == 0 || survey.samples == 0) return 0;
  const double n = static_cast<double>(survey.samples);
  const double mean = s.sum / n;
  const double variance = s.square_sum / n - mean * mean;
  if (variance <= 0) return 0;
  return static_cast<double>(s.difference_sum) / static_cast<double>(survey.pairs) /
         std::sqrt(variance);
}

int bit_length(std::uint32_t value) {
  int bits = 0;
  for (; value != 0; value >>= 1) ++bits;
  return bits;
}

// The depth scaled from for samples whose largest is `largest`: its bit length rounded up to an
// even number (capture depths are 8, 10, 12, 14 and 16), at least 8.
int width_of(std::uint32_t largest) {
  const int bits = bit_length(largest);
  return std::max(8, bits + (bits & 1));
}

std::string frames_word(int frames) {
  return frames == 1 ? "the first frame" : "the first " + std::to_string(frames) + " frames";
}

bool settle_byte_order(const SerHeader& header, const SampleSurvey& survey, ByteOrder order,
                       const std::string& path, std::vector<std::string>& notices) {
  const bool declared_big =
      order == ByteOrder::big || (order == ByteOrder::from_header && header.little_endian != 0);
  if (order != ByteOrder::from_header) return declared_big;
  const double declared = roughness(declared_big ? survey.big : survey.little, survey);
  const double other = roughness(declared_big ? survey.little : survey.big, survey);
  if (survey.pairs >= kLeastPairsToJudge && declared >= 0.75 && other <= 0.5 &&
      other < declared / 2) {
    const char* header_order = declared_big ? "big-endian" : "little-endian";
    const char* used_order = declared_big ? "little-endian" : "big-endian";
    notices.push_back(path + ": the samples look like noise in the byte order of the header (" +
                      header_order + ") and like an image in " + used_order + " in " +
                      frames_word(survey.frames) + "; reading them " + used_order);
    return !declared_big;
  }
  return declared_big;
}

int settle_depth(const SerHeader& header, const SampleOrderSurvey& s, int frames,
                 const std::string& path, std::vector<std::string>& notices) {
  const int declared = header.pixel_depth;
  const std::string samples = path + ": the " + std::to_string(declared) + "-bit samples ";
  const std::string largest = "largest " + std::to_string(s.largest) + " in " + frames_word(frames);
  if (declared < 16 && s.largest >= (1u << declared)) {
    const std::uint32_t low_bits = (1u << (16 - declared)) - 1;
    if ((s.bits_set & low_bits) == 0) {
      notices.push_back(samples + "lie in the top bits of 16 (the low " +
                        std::to_string(16 - declared) + " bits always 0, " + largest +
                        "); scaling them as 16-bit");
      return 16;
    }
    const int depth = width_of(s.largest);
    notices.push_back(samples + "reach " + std::to_string(bit_length(s.largest)) + " bits (" +
                      largest + "); scaling them as " + std::to_string(depth) + "-bit");
    return depth;
  }
  if (s.largest > 0 && bit_length(s.largest) <= declared - 4) {
    const int depth = width_of(s.largest);
    notices.push_back(samples + "use only " + std::to_string(bit_length(s.largest)) + " bits (" +
                      largest + "); scaling them as " + std::to_string(depth) + "-bit");
    return depth;
  }
  return declared;
}

std::int64_t ticks_at_year(int year) {
  return utc_day_ticks(year, 1, 1);
}

bool plausible_time(std::int64_t ticks) {
  return ticks >= ticks_at_year(kSurveyLowestYear) && ticks < ticks_at_year(kSurveyHighestYear + 1);
}

std::string time_words(std::int64_t ticks) {
  const std::string text = utc_text(ticks);
  return text.empty() ? std::to_string(ticks) : text;
}

}  // namespace

bool parse_ser_header(std::span<const std::uint8_t> bytes, const std::string& path, int max_side,
                      SerHeader& header, std::string* error) {
  if (bytes.size() < kSerHeaderBytes ||
      std::memcmp(bytes.data(), kSerSignature, kSerSignatureBytes) != 0) {
    *error = path + ": not a SER file (no LUCAM-RECORDER signature)";
    return false;
  }
  SerHeader h;
  h.colour_id = get_le32(bytes, 18);
  h.little_endian = get_le32(bytes, 22);
  h.width = get_le32(bytes, 26);
  h.height = get_le32(bytes, 30);
  h.pixel_depth = get_le32(bytes, 34);
  h.frame_count = get_le32(bytes, 38);
  h.local_time = get_le64(bytes, 162);
  h.utc_time = get_le64(bytes, 170);
  if (h.colour_id == 0) {
    h.colour = SerColour::mono;
  } else if ((h.colour_id >= 8 && h.colour_id <= 11) || (h.colour_id >= 16 && h.colour_id <= 19)) {
    h.colour = SerColour::mosaic;
  } else if (h.colour_id == 100 || h.colour_id == 101) {
    h.colour = h.colour_id == 100 ? SerColour::rgb : SerColour::bgr;
    h.planes = 3;
  } else {
    *error = path + ": colour id " + std::to_string(h.colour_id) +
             " is unknown (0 mono, 8-11 Bayer, 16-19 CMY, 100 RGB, 101 BGR)";
    return false;
  }
  if (h.pixel_depth < 1 || h.pixel_depth > 16) {
    *error = path + ": pixel depth " + std::to_string(h.pixel_depth) + " is outside 1 to 16 bits";
    return false;
  }
  if (h.width < 1 || h.width > max_side || h.height < 1 || h.height > max_side) {
    *error = path + ": frame size " + std::to_string(h.width) + " x " + std::to_string(h.height) +
             " is outside 1 to " + std::to_string(max_side);
    return false;
  }
  h.bytes_per_sample = h.pixel_depth <= 8 ? 1 : 2;
  // At most 32768 * 32768 * 3 * 2 bytes: fits in a 64-bit size_t.
  h.frame_bytes = static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height) *
                  static_cast<std::size_t>(h.planes) * static_cast<std::size_t>(h.bytes_per_sample);
  header = h;
  return true;
}

SerLayout plan_ser_layout(const SerHeader& header, std::uint64_t file_size, const std::string& path,
                          std::vector<std::string>& notices) {
  const std::uint64_t payload = file_size > kSerHeaderBytes ? file_size - kSerHeaderBytes : 0;
  const std::uint64_t frame = header.frame_bytes;
  const std::uint64_t stated = header.frame_count > 0 ? std::uint64_t(header.frame_count) : 0;
  SerLayout layout;
  auto with_trailer = [&](std::uint64_t frames) {
    layout.frame_count = as_count(frames);
    layout.has_trailer = true;
    layout.trailer_offset = kSerHeaderBytes + frames * frame;
  };
  auto count_notice = [&](std::uint64_t frames) {
    notices.push_back(path + ": frame count: the header gives " +
                      std::to_string(header.frame_count) + ", the file size gives " +
                      std::to_string(frames) + "; reading " + std::to_string(frames));
  };
  if (stated > 0 && fills_exactly(stated, frame + kSerTimeBytes, payload)) {
    with_trailer(stated);
    return layout;
  }
  if (stated > 0 && fills_exactly(stated, frame, payload)) {
    layout.frame_count = as_count(stated);
    return layout;
  }
  if (payload > 0 && payload % (frame + kSerTimeBytes) == 0) {
    with_trailer(payload / (frame + kSerTimeBytes));
    count_notice(payload / (frame + kSerTimeBytes));
    return layout;
  }
  const std::uint64_t whole = payload / frame;
  if (stated > 0 && whole >= stated && payload % frame != 0) {
    layout.frame_count = as_count(stated);
    notices.push_back(path + ": " + std::to_string(payload - stated * frame) +
                      " bytes follow the " + std::to_string(stated) + " frames, not the " +
                      std::to_string(stated * kSerTimeBytes) +
                      " of a trailer of frame times; reading no times");
    return layout;
  }
  layout.frame_count = as_count(whole);
  if (whole > 0) count_notice(whole);
  return layout;
}

void survey_ser_frame(std::span<const std::uint8_t> frame, const SerHeader& header,
                      SampleSurvey& survey) {
  const std::size_t row = static_cast<std::size_t>(header.width) * std::size_t(header.planes);
  const std::size_t step = header.colour == SerColour::mono     ? 1
                           : header.colour == SerColour::mosaic ? 2
                                                                : 3;
  for (int y = 0; y < header.height; ++y) {
    const std::size_t start = static_cast<std::size_t>(y) * row;
    for (std::size_t i = 0; i < row; ++i) {
      const std::uint32_t little = sample_at(frame, start + i, 2, false);
      const std::uint32_t big = sample_at(frame, start + i, 2, true);
      for (auto [s, v] : {std::pair{&survey.little, little}, std::pair{&survey.big, big}}) {
        s->sum += v;
        s->square_sum += static_cast<double>(v) * v;
        s->largest = std::max(s->largest, v);
        s->bits_set |= v;
      }
      if (i + step < row) {
        const std::uint32_t next_little = sample_at(frame, start + i + step, 2, false);
        const std::uint32_t next_big = sample_at(frame, start + i + step, 2, true);
        survey.little.difference_sum +=
            little > next_little ? little - next_little : next_little - little;
        survey.big.difference_sum += big > next_big ? big - next_big : next_big - big;
        ++survey.pairs;
      }
    }
    survey.samples += row;
  }
  ++survey.frames;
}

SampleFormat choose_sample_format(const SerHeader& header, const SampleSurvey& survey,
                                  ByteOrder order, int forced_depth, const std::string& path,
                                  std::vector<std::string>& notices) {
  SampleFormat format;
  format.depth = header.pixel_depth;
  if (header.bytes_per_sample == 1) {
    if (order != ByteOrder::from_header || forced_depth != 0) {
      notices.push_back(path + ": holds " + std::to_string(header.pixel_depth) +
                        "-bit samples; --byte-order and --depth apply to 16-bit samples and are "
                        "ignored");
    }
    return format;
  }
  format.big_endian = settle_byte_order(header, survey, order, path, notices);
  if (forced_depth != 0) {
    format.depth = forced_depth;
  } else if (survey.frames > 0) {
    format.depth = settle_depth(header, format.big_endian ? survey.big : survey.little,
                                survey.frames, path, notices);
  }
  return format;
}

void ser_frame_to_grey(std::span<const std::uint8_t> frame, const SerHeader& header,
                       const SampleFormat& format, std::span<std::uint8_t> grey) {
  const int bytes = header.bytes_per_sample;
  const int shift = bytes == 2 ? std::max(format.depth - 8, 0) : 0;
  const bool big_endian = format.big_endian;
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

void decode_ser_times(std::span<const std::uint8_t> bytes, std::span<std::int64_t> ticks) {
  for (std::size_t i = 0; i < ticks.size(); ++i) ticks[i] = get_le64(bytes, kSerTimeBytes * i);
}

void check_ser_times(std::span<const std::int64_t> ticks, SerTimesCheck& check) {
  for (std::size_t i = 0; i < ticks.size() && check.fault.empty(); ++i) {
    const std::string frame = "frame " + std::to_string(check.frames);
    if (!plausible_time(ticks[i])) {
      check.fault = frame + " time " + time_words(ticks[i]) + " lies outside the years " +
                    std::to_string(kSurveyLowestYear) + " to " + std::to_string(kSurveyHighestYear);
    } else if (check.frames > 0 && ticks[i] < check.previous) {
      check.fault = frame + " time " + time_words(ticks[i]) + " is earlier than frame " +
                    std::to_string(check.frames - 1) + "'s";
    }
    check.previous = ticks[i];
    ++check.frames;
  }
}

std::int64_t ser_local_time_shift(const SerHeader& header, std::int64_t first_time) {
  const std::int64_t local = header.local_time;
  const std::int64_t utc = header.utc_time;
  if (!plausible_time(local) || !plausible_time(utc) || !plausible_time(first_time)) return 0;
  const std::int64_t ahead = local - utc;  // the zone's offset from UTC
  const std::int64_t half = kQuarterHour / 2;
  const std::int64_t quarters =
      ahead >= 0 ? (ahead + half) / kQuarterHour : -((half - ahead) / kQuarterHour);
  const std::int64_t offset = quarters * kQuarterHour;
  if (offset == 0 || std::abs(offset) > kMostZoneShift ||
      std::abs(ahead - offset) > kTicksPerMinute || std::abs(first_time - local) > kLocalMatch) {
    return 0;
  }
  return -offset;
}
