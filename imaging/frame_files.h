// Numbered frame and report file names, the raw frame reader, the frame geometry probe and the
// report header template.
#pragma once

#include <cstdint>
#include <span>
#include <string>

inline constexpr int kFrameHeaderBytes = 54;   // header of a raw frame file, payload starts here
inline constexpr int kReportHeaderBytes = 56;  // bmpheader.dat and the header of a report image
inline constexpr int kMaxFrameSide = 32768;    // largest width or height accepted from frame 0
inline constexpr const char* kRawFramePattern = "BMP_RAW/a%5d.bmp";
inline constexpr const char* kReportPattern = "BMP_FLASHES/%5d.bmp";

// Frame geometry from the header of frame 0, fixed for the whole run.
struct FrameGeometry {
  int image_width = 0;   // columns (the `sample` direction)
  int image_height = 0;  // stored rows (the `line` direction)
  int frame_pixels = 0;  // image_width * image_height, bytes in one raw frame
};

// `pattern` with its one "%5d" filled with `number`, the blanks of that 5-character field
// turned into '0': ("BMP_RAW/a%5d.bmp", 7) gives "BMP_RAW/a00007.bmp".
std::string numbered_file_name(const char* pattern, int number);

// Reads the 54-byte header of "BMP_RAW/a00000.bmp" into `header_scratch` (at least 54 bytes) and
// takes the width (bytes 18-21) and height (22-25). False with `error` when the file is missing,
// shorter than 54 bytes, or gives a width or height outside 1 to kMaxFrameSide.
bool read_frame_geometry(std::span<std::uint8_t> header_scratch, FrameGeometry& geometry,
                         std::string& error);

// Reads the 56 bytes of "bmpheader.dat" into `report_header` (56 bytes) and writes `image_width`
// at bytes 18-21 and `image_height` + 40 at bytes 22-25. False with `error` when the file is
// missing or shorter than 56 bytes.
bool load_report_header(std::span<std::uint8_t> report_header, int image_width, int image_height,
                        std::string& error);

// Reads raw frame `frame_number`: 54 header bytes into `header_scratch`, then destination.size()
// payload bytes straight into `destination`. Answers false when the file cannot be opened, with
// nothing read and `destination` unchanged. A file shorter than 54 + destination.size() bytes
// fills what it has (the rest of `destination` keeps its bytes) and sets `warning` to
// "BMP_RAW/a00042.bmp: truncated, 1000 of 414774 bytes"; otherwise `warning` is left alone.
bool read_raw_frame(int frame_number, std::span<std::uint8_t> destination,
                    std::span<std::uint8_t> header_scratch, std::string& warning);
