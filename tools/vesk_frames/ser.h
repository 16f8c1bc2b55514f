// SER recordings (the astronomy capture format): the 178-byte header, conversion of one stored
// frame to 8-bit grey, and the trailing per-frame UTC timestamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::size_t kSerHeaderBytes = 178;
inline constexpr const char* kSerSignature = "LUCAM-RECORDER";  // bytes 0-13
inline constexpr std::size_t kSerSignatureBytes = 14;

// How 16-bit samples are ordered. `from_header` reads the LittleEndian field the way the common
// capture programs write it: 0 means little-endian samples, any other value big-endian.
enum class ByteOrder { from_header, little, big };

// How the planes of one pixel become one grey level.
enum class SerColour {
  mono,    // ColorID 0: one plane
  mosaic,  // ColorID 8-11 (Bayer RGGB, GRBG, GBRG, BGGR) and 16-19 (CMY): one plane, 2x2 pattern
  rgb,     // ColorID 100: three planes R, G, B
  bgr,     // ColorID 101: three planes B, G, R
};

struct SerHeader {
  std::int32_t colour_id = 0;
  std::int32_t little_endian = 0;  // the LittleEndian field as stored
  std::int32_t width = 0;          // pixels
  std::int32_t height = 0;         // rows, first row of a frame is the top of the image
  std::int32_t pixel_depth = 0;    // bits per plane, 1 to 16
  std::int32_t frame_count = 0;
  SerColour colour = SerColour::mono;
  int planes = 1;               // 1, or 3 for RGB and BGR
  int bytes_per_sample = 1;     // 1 for depths up to 8, else 2
  std::size_t frame_bytes = 0;  // bytes of one stored frame
};

// Parses the 178 header bytes of `path` (named in messages only). False with `error` (one line
// naming `path`) when the signature is missing, the colour id is unknown, the depth is outside
// 1 to 16, the frame size is outside 1 to `max_side`, or the frame count is negative.
bool parse_ser_header(std::span<const std::uint8_t> bytes, const std::string& path, int max_side,
                      SerHeader& header, std::string& error);

// True when the 16-bit samples of a file with `header` are to be read big-endian.
bool ser_samples_big_endian(const SerHeader& header, ByteOrder order);

// Converts one stored frame (header.frame_bytes bytes) to header.width * header.height grey
// levels in `grey`, top row first. Mono takes the sample, RGB/BGR the Rec. 601 luma
// (299 R + 587 G + 114 B) / 1000 rounded, a colour mosaic the rounded mean of the 2x2 block at
// the pixel (shifted left/up at the last column/row). Samples of 9 to 16 bits are then shifted
// right by depth - 8 and clipped to 255; samples of up to 8 bits are taken as they are.
void ser_frame_to_grey(std::span<const std::uint8_t> frame, const SerHeader& header,
                       bool big_endian, std::span<std::uint8_t> grey);

// A SER timestamp (100-ns ticks since 0001-01-01 00:00 UTC) as ISO 8601 UTC text with seven
// decimals, e.g. "2024-03-15T21:04:05.1234567Z"; empty for 0, negative values and years past 9999.
std::string ser_time_text(std::int64_t ticks);
