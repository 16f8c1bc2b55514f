#include "imaging/frame_files.h"

#include <cstdio>
#include <cstring>

#include "imaging/file_io.h"

namespace {

// Fills `bytes` from the start of `path`; false with "<path>: truncated, 3 of 54 <unit>" when the
// file is shorter, or the open error.
bool read_leading_bytes(const char* path, std::span<std::uint8_t> bytes, const char* unit,
                        std::string& error) {
  FileHandle file = open_file(path, "rb", error);
  if (!file) return false;
  const std::size_t got = read_bytes(file.get(), bytes);
  if (got < bytes.size()) {
    error = std::string(path) + ": truncated, " + std::to_string(got) + " of " +
            std::to_string(bytes.size()) + " " + unit;
    return false;
  }
  return true;
}

}  // namespace

std::string numbered_file_name(const char* pattern, int number) {
  const char* field = std::strstr(pattern, "%5d");
  if (field == nullptr) return pattern;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%5d", number);
  std::string name(pattern, field);
  const std::size_t start = name.size();
  name += digits;
  // Only the five-character field is zero-filled; a wider number keeps its own characters.
  for (std::size_t i = start; i < start + 5 && i < name.size(); ++i) {
    if (name[i] == ' ') name[i] = '0';
  }
  name += field + 3;
  return name;
}

bool read_frame_geometry(std::span<std::uint8_t> header_scratch, FrameGeometry& geometry,
                         std::string& error) {
  const char* path = "BMP_RAW/a00000.bmp";
  const auto header = header_scratch.first(kFrameHeaderBytes);
  if (!read_leading_bytes(path, header, "header bytes", error)) return false;
  const std::int32_t width = get_le32(header, 18);
  const std::int32_t height = get_le32(header, 22);
  if (width < 1 || width > kMaxFrameSide || height < 1 || height > kMaxFrameSide) {
    error = std::string(path) + ": frame size " + std::to_string(width) + " x " +
            std::to_string(height) + " is outside 1 to " + std::to_string(kMaxFrameSide);
    return false;
  }
  geometry.image_width = width;
  geometry.image_height = height;
  geometry.frame_pixels = width * height;
  return true;
}

bool load_report_header(std::span<std::uint8_t> report_header, int image_width, int image_height,
                        std::string& error) {
  const auto header = report_header.first(kReportHeaderBytes);
  if (!read_leading_bytes("bmpheader.dat", header, "bytes", error)) return false;
  put_le32(header, 18, image_width);
  put_le32(header, 22, image_height + 40);
  return true;
}

bool read_raw_frame(int frame_number, std::span<std::uint8_t> destination,
                    std::span<std::uint8_t> header_scratch, std::string& warning) {
  const std::string path = numbered_file_name(kRawFramePattern, frame_number);
  FILE* raw = std::fopen(path.c_str(), "rb");
  if (raw == nullptr) return false;
  FileHandle file(raw);
  const std::size_t header_got = read_bytes(raw, header_scratch.first(kFrameHeaderBytes));
  const std::size_t payload_got =
      header_got == kFrameHeaderBytes ? read_bytes(raw, destination) : 0;
  if (payload_got < destination.size()) {
    warning = path + ": truncated, " + std::to_string(header_got + payload_got) + " of " +
              std::to_string(kFrameHeaderBytes + destination.size()) + " bytes";
  }
  return true;
}
