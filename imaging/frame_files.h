// The files of a run folder that hold pixels: numbered raw frame and report names, the raw frame
// header (written here, read by the frame folder source), and the report header template.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "base/frame_geometry.h"

inline constexpr int kFrameHeaderBytes = 54;   // header of a raw frame file, payload starts here
inline constexpr int kReportHeaderBytes = 56;  // bmpheader.dat and the header of a report image
inline constexpr const char* kRawFramePattern = "BMP_RAW/a%5d.bmp";
inline constexpr const char* kReportPattern = "BMP_FLASHES/%5d.bmp";

// A frame folder holds frames 0 to 99,998: names keep five digits and the original program's
// loop stops at frame 99,999.
inline constexpr int kMaxFolderFrames = 99999;

// `pattern` with its one "%5d" filled with `number`, the blanks of that 5-character field
// turned into '0': ("BMP_RAW/a%5d.bmp", 7) gives "BMP_RAW/a00007.bmp".
std::string numbered_file_name(const char* pattern, std::int64_t number);

// The 54-byte header of a raw frame file: "BM", file size, pixel offset 54, a 40-byte info header
// with `width`, positive `height`, 1 plane, 8 bits per pixel, no compression, image size
// width * height. Readers take only the width (bytes 18-21) and height (22-25).
void write_raw_frame_header(std::span<std::uint8_t, kFrameHeaderBytes> header, int width,
                            int height);

// Reads the 54-byte header of `run_dir`/BMP_RAW/a00000.bmp into `header_scratch` (at least 54
// bytes) and takes the width (bytes 18-21) and height (22-25). False with `error` (naming the
// file relative to run_dir) when the file is missing, shorter than 54 bytes, or gives a width or
// height outside 1 to kMaxFrameSide.
bool read_frame_geometry(const std::filesystem::path& run_dir,
                         std::span<std::uint8_t> header_scratch, FrameGeometry& geometry,
                         std::string* error);

// Reads the 56 bytes of `run_dir`/bmpheader.dat into `report_header` (56 bytes) and writes
// `image_width` at bytes 18-21 and `image_height` + 40 at bytes 22-25. False with `error` when
// the file is missing or shorter than 56 bytes.
bool load_report_header(const std::filesystem::path& run_dir, std::span<std::uint8_t> report_header,
                        int image_width, int image_height, std::string* error);
