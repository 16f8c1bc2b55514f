// The flash report image: the report header, the boxed frame (rows in reverse order) and a
// 40-row strip of eleven close-ups of the flash site from the ring slots around the frame.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/frame_geometry.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"

// Bytes of the close-up strip of a report: 40 rows of 3 bytes per pixel across the frame.
std::size_t report_strip_bytes(int image_width);

// 1 when `value` is odd, 2 when it is even (lowest bit only: -1 is odd, -2 even).
int odd_or_even(int value);

// Inputs of one report; every buffer belongs to the driver.
struct FlashReportInput {
  int target_slot = 0;  // ring slot of the frame under test
  float sample = 0.0f;  // flash centre column, truncated toward zero for the close-ups
  float line = 0.0f;    // flash centre row
  int interlace = 0;    // 0 none, 1 odd then even, 2 even then odd, other: black strip
  int images_in_buffer = 0;
  std::int64_t target_frame = 0;  // the frame's number: close-ups of frames before 0 stay black
  // The newest frame of the ring when it is the recording's last (close-ups of later frames stay
  // black); -1 when the ring holds N/2 frames after the tested one.
  std::int64_t newest_frame = -1;
  FrameGeometry geometry;
  std::span<const std::uint8_t> report_header;  // 56 bytes
  std::span<const std::uint8_t> marked_frame;   // frame_pixels bytes
  std::span<const std::uint8_t> frame_ring;     // images_in_buffer * frame_pixels bytes
};

// Writes the report into `report_file` (just created, empty) with three writes, using
// `report_pixels` (3 * frame_pixels bytes) and `thumbnail_strip` (report_strip_bytes bytes) as
// work space, then closes it. Close-up pixels outside the frame or the strip are left black, and
// so is every close-up of a frame the ring does not hold (before frame 0, or further from the
// frame under test than the ring reaches: N - 1 - N/2 frames before it, N/2 after, or up to
// newest_frame in the recording's last ring). False with
// `error` naming `path` when a write or the close fails or the handle is empty (the file is closed
// in every case). Buffers smaller than the geometry needs stop the program (a sizing bug).
bool write_flash_report(FileHandle& report_file, const char* path, const FlashReportInput& input,
                        std::span<std::uint8_t> report_pixels,
                        std::span<std::uint8_t> thumbnail_strip, std::string* error);
