#include "imaging/frame_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "imaging/file_io.h"

namespace {

// Fills `bytes` from the start of `path`; false with "<path>: truncated, 3 of 54 <unit>" when the
// file is shorter, or the open error.
bool read_leading_bytes(const std::filesystem::path& run_dir, const char* path,
                        std::span<std::uint8_t> bytes, const char* unit, std::string* error) {
  FileHandle file = open_regular_file(run_dir, path, nullptr, error);
  if (!file) return false;
  const std::size_t got = read_bytes(file.get(), bytes);
  if (got < bytes.size()) {
    *error = std::string(path) + ": truncated, " + std::to_string(got) + " of " +
             std::to_string(bytes.size()) + " " + unit;
    return false;
  }
  return true;
}

}  // namespace

std::string numbered_file_name(const char* pattern, std::int64_t number) {
  const char* field = std::strstr(pattern, "%5d");
  if (field == nullptr) return pattern;
  char digits[24];
  std::snprintf(digits, sizeof digits, "%5lld", static_cast<long long>(number));
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

bool read_frame_geometry(const std::filesystem::path& run_dir,
                         std::span<std::uint8_t> header_scratch, FrameGeometry& geometry,
                         std::string* error) {
  const char* path = "BMP_RAW/a00000.bmp";
  const auto header = header_scratch.first(kFrameHeaderBytes);
  if (!read_leading_bytes(run_dir, path, header, "header bytes", error)) return false;
  const std::int32_t width = get_le32(header, 18);
  const std::int32_t height = get_le32(header, 22);
  if (width < 1 || width > kMaxFrameSide || height < 1 || height > kMaxFrameSide) {
    *error = std::string(path) + ": frame size " + std::to_string(width) + " x " +
             std::to_string(height) + " is outside 1 to " + std::to_string(kMaxFrameSide);
    return false;
  }
  geometry.image_width = width;
  geometry.image_height = height;
  geometry.frame_pixels = width * height;
  return true;
}

bool load_report_header(const std::filesystem::path& run_dir, std::span<std::uint8_t> report_header,
                        int image_width, int image_height, std::string* error) {
  const auto header = report_header.first(kReportHeaderBytes);
  if (!read_leading_bytes(run_dir, "bmpheader.dat", header, "bytes", error)) return false;
  put_le32(header, 18, image_width);
  put_le32(header, 22, image_height + 40);
  return true;
}

void write_raw_frame_header(std::span<std::uint8_t, kFrameHeaderBytes> header, int width,
                            int height) {
  std::fill(header.begin(), header.end(), std::uint8_t{0});
  const std::int64_t image_bytes = static_cast<std::int64_t>(width) * height;
  header[0] = 'B';
  header[1] = 'M';
  put_le32(header, 2, static_cast<std::int32_t>(kFrameHeaderBytes + image_bytes));
  put_le32(header, 10, kFrameHeaderBytes);
  put_le32(header, 14, 40);
  put_le32(header, 18, width);
  put_le32(header, 22, height);
  header[26] = 1;  // planes
  header[28] = 8;  // bits per pixel
  put_le32(header, 34, static_cast<std::int32_t>(image_bytes));
}
