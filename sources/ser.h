// SER recordings (the astronomy capture format), as pure functions over bytes: the 178-byte
// header, where the frames and the trailer of frame times lie in a file of a given size, the
// sample checks that settle byte order and depth, one stored frame to 8-bit grey, and the checks
// and correction of the trailer's times. Reading the file is ser_reader's work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr std::size_t kSerHeaderBytes = 178;
inline constexpr const char* kSerSignature = "LUCAM-RECORDER";  // bytes 0-13
inline constexpr std::size_t kSerSignatureBytes = 14;
inline constexpr std::size_t kSerTimeBytes = 8;  // one trailer time per frame

// How 16-bit samples are ordered. `from_header` reads the LittleEndian field the way the common
// capture programs write it (0 means little-endian samples, any other value big-endian) and lets
// the sample check overrule it.
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
  std::int32_t frame_count = 0;    // as stored; may be 0, negative or wrong (see plan_ser_layout)
  std::int64_t local_time = 0;     // DateTime: start of capture, local time, 100-ns ticks
  std::int64_t utc_time = 0;       // DateTime_UTC: the same instant in UTC
  SerColour colour = SerColour::mono;
  int planes = 1;               // 1, or 3 for RGB and BGR
  int bytes_per_sample = 1;     // 1 for depths up to 8, else 2
  std::size_t frame_bytes = 0;  // bytes of one stored frame, at least 1
};

// Parses the 178 header bytes of `path` (named in messages only). False with `error` (one line
// naming `path`) when the signature is missing, the colour id is unknown, the depth is outside
// 1 to 16 or the frame size is outside 1 to `max_side`.
bool parse_ser_header(std::span<const std::uint8_t> bytes, const std::string& path, int max_side,
                      SerHeader& header, std::string* error);

// Where the frames and the trailer lie in a file.
struct SerLayout {
  std::int64_t frame_count = 0;      // whole frames stored after the header
  bool has_trailer = false;          // 8 bytes of time per frame follow them, nothing else
  std::uint64_t trailer_offset = 0;  // byte offset of the trailer when there is one
};

// The layout of a SER file of `file_size` bytes with `header`. The header's frame count is kept
// when the file holds exactly that many frames, with or without a trailer. Otherwise the frames
// are counted from the size: with a trailer when the bytes after the header are a whole number
// of (frame + 8) bytes, else the whole frames (a cut frame at the end is dropped). A file that
// holds the header's count and then bytes that are neither whole frames nor a trailer keeps that
// count without times. Each such reading adds one line naming `path` to `notices`. frame_count is
// 0 when no whole frame is there.
SerLayout plan_ser_layout(const SerHeader& header, std::uint64_t file_size, const std::string& path,
                          std::vector<std::string>& notices);

// Statistics of the 16-bit samples of the first frames, gathered in both byte orders, from
// which choose_sample_format reads the byte order and the depth the data really have.
struct SampleOrderSurvey {
  std::uint64_t difference_sum = 0;  // |a - b| over pairs of neighbouring samples of one colour
  double sum = 0;                    // of the samples
  double square_sum = 0;             // of the squared samples
  std::uint32_t largest = 0;         // largest sample
  std::uint32_t bits_set = 0;        // every sample ORed together
};
struct SampleSurvey {
  int frames = 0;
  std::uint64_t samples = 0;
  std::uint64_t pairs = 0;
  SampleOrderSurvey little;
  SampleOrderSurvey big;
};

// Adds one stored frame (header.frame_bytes bytes of 16-bit samples) to `survey`. Neighbours are
// samples of one colour side by side in a row: next pixel for mono, two pixels on for a mosaic,
// the next pixel's same plane for RGB and BGR.
void survey_ser_frame(std::span<const std::uint8_t> frame, const SerHeader& header,
                      SampleSurvey& survey);

// How the stored samples are read: byte order of 16-bit samples, and the depth they are scaled
// from (shifted right by depth - 8 when above 8).
struct SampleFormat {
  bool big_endian = false;
  int depth = 8;
};

// Settles how the samples of a file with `header` are read, from `survey` (its first frames)
// unless forced: `order` other than from_header fixes the byte order, `forced_depth` 8 to 16
// fixes the depth (0: from the samples). Samples of up to 8 bits are taken as they are and the
// forcing options ignored. For 16-bit samples, with `order` from_header: when the header's order
// looks like noise (mean difference of neighbours at least 3/4 of the standard deviation) and the
// other like an image (at most half, and under half the header order's), over at least 64
// pairs of neighbours, the other is used.
// Then, unless the depth is forced: samples above the declared depth with the low (16 - depth)
// bits always 0 are scaled as 16-bit (stored in the top bits); samples above it otherwise are
// scaled by their own width; samples whose top 4 declared bits are never set are scaled by the
// width they use. A width is the bit length of the largest sample rounded up to an even number,
// at least 8. Each reading that departs from the header adds one line naming `path` to `notices`.
SampleFormat choose_sample_format(const SerHeader& header, const SampleSurvey& survey,
                                  ByteOrder order, int forced_depth, const std::string& path,
                                  std::vector<std::string>& notices);

// Converts one stored frame (header.frame_bytes bytes) to header.width * header.height grey
// levels in `grey`, top row first. Mono takes the sample, RGB/BGR the Rec. 601 luma
// (299 R + 587 G + 114 B) / 1000 rounded, a colour mosaic the rounded mean of the 2x2 block at
// the pixel (shifted left/up at the last column/row). 16-bit samples are read in format's byte
// order; the result is then shifted right by format.depth - 8 when that is above 0 and clipped
// to 255.
void ser_frame_to_grey(std::span<const std::uint8_t> frame, const SerHeader& header,
                       const SampleFormat& format, std::span<std::uint8_t> grey);

// The trailer bytes (8 per frame, little-endian) as times in 100-ns ticks; `ticks` has one entry
// per 8 bytes.
void decode_ser_times(std::span<const std::uint8_t> bytes, std::span<std::int64_t> ticks);

// The check of a trailer's times, carried from one part of the trailer to the next.
struct SerTimesCheck {
  std::int64_t frames = 0;    // times checked so far
  std::int64_t previous = 0;  // the last of them
  std::string fault;          // empty while all are plausible
};

// Checks `ticks`, the times of the frames following those already in `check`: every time must
// lie in the years 1990 to 2100 and none be earlier than the one before. Sets check.fault to the
// first fault, e.g. "frame 0 time 0 lies outside the years 1990 to 2100"; once set, it stays.
void check_ser_times(std::span<const std::int64_t> ticks, SerTimesCheck& check);

// The ticks to add to the trailer's times when they were written in local time: DateTime and
// DateTime_UTC (both within 1990 to 2100) differ by a whole number of quarter hours, to within a
// minute, and by at most 14 hours, and `first_time` (the trailer's first time) lies within 5
// minutes of DateTime. As every time zone is a whole number of quarter hours from UTC, such a
// time lies at least 10 minutes from DateTime_UTC. The shift is DateTime_UTC - DateTime rounded
// to the quarter hour; 0 when the times are taken as UTC.
std::int64_t ser_local_time_shift(const SerHeader& header, std::int64_t first_time);
