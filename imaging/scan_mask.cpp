#include "imaging/scan_mask.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "imaging/png_file.h"

namespace {

constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr const char* kMaskRule = "; a mask is 8-bit grey (white scanned, black not)";

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// "<name>: 320x240, the frames are 720x576", or "" when the sizes agree.
std::string size_problem(const std::string& name, std::int64_t width, std::int64_t height,
                         const FrameGeometry& geometry) {
  if (width == geometry.image_width && height == geometry.image_height) return "";
  return name + ": " + size_text(width, height) + ", the frames are " +
         size_text(geometry.image_width, geometry.image_height);
}

bool read_png_mask(std::FILE* file, const std::string& name, const FrameGeometry& geometry,
                   std::vector<std::uint8_t>& grey, std::string* error) {
  PngHeader header;
  if (!read_grey_png(file, name, geometry.image_width, geometry.image_height, header, grey,
                     error)) {
    return false;
  }
  const char* kind = header.colour        ? "a colour PNG"
                     : header.sixteen_bit ? "a 16-bit PNG"
                     : header.alpha       ? "a grey PNG with transparency"
                                          : nullptr;
  if (kind != nullptr) {
    *error = name + ": " + kind + kMaskRule;
    return false;
  }
  const std::string wrong = size_problem(name, header.width, header.height, geometry);
  if (!wrong.empty()) {
    *error = wrong;
    return false;
  }
  return !grey.empty();
}

// The bytes from `file`'s current position to its end, at most `limit` of them; false with
// `error` when reading fails.
bool read_rest(std::FILE* file, const std::string& name, std::size_t limit,
               std::vector<std::uint8_t>& bytes, std::string* error) {
  bytes.assign(limit, 0);
  bytes.resize(read_bytes(file, bytes));
  if (std::ferror(file) != 0) {
    *error = errno_message(name.c_str(), "read failed");
    return false;
  }
  return true;
}

// A BMP as picture editors save one: 8 bits a pixel through a grey palette, or 24 or 32 bits a
// pixel with equal blue, green and red, rows padded to 4 bytes, stored bottom row first (a
// negative height: top row first). Row 0 is the top of the picture as an editor shows it, as in
// a PNG. `header` holds the file's first kFrameHeaderBytes bytes.
bool read_editor_bmp(std::FILE* file, const std::string& name, const FrameGeometry& geometry,
                     std::span<const std::uint8_t> header, std::vector<std::uint8_t>& grey,
                     std::string* error) {
  const std::int32_t offset = get_le32(header, 10);
  const std::int32_t info_bytes = get_le32(header, 14);
  const std::int32_t width = get_le32(header, 18);
  const std::int32_t stored_height = get_le32(header, 22);
  const int bits = header[28] | (header[29] << 8);
  const std::int32_t compression = get_le32(header, 30);
  const std::int64_t height = stored_height < 0 ? -std::int64_t{stored_height} : stored_height;
  if (bits != 8 && bits != 24 && bits != 32) {
    *error = name + ": a BMP of " + std::to_string(bits) +
             " bits a pixel; a mask BMP has 8 (a grey palette), 24 or 32, or give a grey PNG";
    return false;
  }
  if (compression != 0 && !(compression == 3 && bits == 32)) {
    *error = name + ": a compressed BMP; a mask BMP is uncompressed, or give a grey PNG";
    return false;
  }
  const std::string wrong = size_problem(name, width, height, geometry);
  if (!wrong.empty()) {
    *error = wrong;
    return false;
  }
  // The palette sits between the headers and the pixels; 256 entries of blue, green, red, 0 at
  // most, so offset is bounded before anything is allocated.
  const std::int64_t palette_at = 14 + static_cast<std::int64_t>(info_bytes);
  if (info_bytes < 40 || offset < palette_at || offset > palette_at + 4 * 256 + 12) {
    *error = name + ": a damaged BMP header (pixels at byte " + std::to_string(offset) + ")";
    return false;
  }
  // The size is the frames', checked when the frames were opened: no overflow.
  const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
  const std::size_t pixel_bytes = stride * static_cast<std::size_t>(height);
  const std::size_t total = static_cast<std::size_t>(offset) + pixel_bytes;
  std::vector<std::uint8_t> rest;
  if (!read_rest(file, name, total - header.size(), rest, error)) return false;
  if (rest.size() < total - header.size()) {
    *error = name + ": truncated, " + std::to_string(header.size() + rest.size()) + " of " +
             std::to_string(total) + " bytes";
    return false;
  }
  const std::span<const std::uint8_t> palette = std::span<const std::uint8_t>(rest).subspan(
      static_cast<std::size_t>(palette_at) - header.size());
  const std::size_t entries = static_cast<std::size_t>(offset - palette_at) / 4;
  const std::span<const std::uint8_t> pixels =
      std::span<const std::uint8_t>(rest).subspan(static_cast<std::size_t>(offset) - header.size());
  const auto colour = [&] {
    *error = name + ": a colour BMP" + std::string(kMaskRule);
    grey.clear();
    return false;
  };
  grey.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  const std::size_t bytes_per_pixel = static_cast<std::size_t>(bits) / 8;
  for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
    const std::size_t stored = stored_height < 0 ? row : static_cast<std::size_t>(height) - 1 - row;
    const std::uint8_t* in = pixels.data() + stored * stride;
    std::uint8_t* out = grey.data() + row * static_cast<std::size_t>(width);
    for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
      const std::uint8_t* bgr = in + x * bytes_per_pixel;
      if (bits == 8) {
        if (*bgr >= entries) {
          *error = name + ": a pixel of colour " + std::to_string(*bgr) + " beyond the palette's " +
                   std::to_string(entries);
          grey.clear();
          return false;
        }
        bgr = palette.data() + std::size_t{*bgr} * 4;
      }
      if (bgr[0] != bgr[1] || bgr[1] != bgr[2]) return colour();
      out[x] = bgr[0];
    }
  }
  return true;
}

// A BMP laid out as the frame files (the 54-byte header, 8 bits per pixel, no palette, then
// width x height grey levels, row 0 first), or as picture editors save one (read_editor_bmp).
bool read_bmp_mask(std::FILE* file, const std::string& name, const FrameGeometry& geometry,
                   std::vector<std::uint8_t>& grey, std::string* error) {
  std::array<std::uint8_t, kFrameHeaderBytes> header{};
  const std::size_t got = read_bytes(file, header);
  if (got < header.size()) {
    *error = name + ": truncated, " + std::to_string(got) + " of " +
             std::to_string(kFrameHeaderBytes) + " header bytes";
    return false;
  }
  const int bits = header[28] | (header[29] << 8);
  if (bits != 8 || get_le32(header, 10) != kFrameHeaderBytes || get_le32(header, 30) != 0) {
    return read_editor_bmp(file, name, geometry, header, grey, error);
  }
  const std::int32_t width = get_le32(header, 18);
  const std::int32_t height = get_le32(header, 22);
  const std::string wrong = size_problem(name, width, height, geometry);
  if (!wrong.empty()) {
    *error = wrong;
    return false;
  }
  // The size is the frames', checked when the frames were opened: no overflow.
  grey.assign(static_cast<std::size_t>(geometry.image_width) *
                  static_cast<std::size_t>(geometry.image_height),
              0);
  const std::size_t pixels = read_bytes(file, grey);
  if (std::ferror(file) != 0) {
    *error = errno_message(name.c_str(), "read failed");
    grey.clear();
    return false;
  }
  if (pixels < grey.size()) {
    *error = name + ": truncated, " + std::to_string(kFrameHeaderBytes + pixels) + " of " +
             std::to_string(kFrameHeaderBytes + grey.size()) + " bytes";
    grey.clear();
    return false;
  }
  return true;
}

}  // namespace

bool read_mask_picture(const std::filesystem::path& dir, const std::string& name,
                       const FrameGeometry& geometry, std::vector<std::uint8_t>& grey,
                       std::string* error) {
  grey.clear();
  FileHandle file = open_regular_file(dir, name.c_str(), nullptr, error);
  if (!file) return false;
  std::array<std::uint8_t, kPngSignature.size()> start{};
  const std::size_t got = read_bytes(file.get(), start);
  if (std::ferror(file.get()) != 0) {
    *error = errno_message(name.c_str(), "read failed");
    return false;
  }
  const bool png = got == start.size() && start == kPngSignature;
  const bool bmp = got >= 2 && start[0] == 'B' && start[1] == 'M';
  if (!png && !bmp) {
    *error = name + (got == 0 ? ": empty" : ": not an image") +
             "; a mask is an 8-bit grey PNG (or BMP) of the frames' size";
    return false;
  }
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    *error = errno_message(name.c_str(), "cannot read from the start");
    return false;
  }
  return png ? read_png_mask(file.get(), name, geometry, grey, error)
             : read_bmp_mask(file.get(), name, geometry, grey, error);
}

std::vector<std::uint8_t> scanned_pixels(std::span<const std::uint8_t> grey) {
  std::vector<std::uint8_t> scanned(grey.size());
  std::transform(grey.begin(), grey.end(), scanned.begin(),
                 [](std::uint8_t g) { return g >= kMaskScannedFrom ? 1 : 0; });
  return scanned;
}

bool load_run_mask(const std::filesystem::path& run_dir, const FrameGeometry& geometry,
                   std::vector<std::uint8_t>& scanned, std::string* error) {
  scanned.clear();
  std::error_code ec;
  const std::filesystem::file_status status =
      std::filesystem::symlink_status(run_dir / kMaskName, ec);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  std::vector<std::uint8_t> grey;
  if (!read_mask_picture(run_dir, kMaskName, geometry, grey, error)) return false;
  scanned = scanned_pixels(grey);
  return true;
}

bool install_mask(const std::string& given, const std::filesystem::path& run_dir,
                  const FrameGeometry& geometry, std::string* error) {
  std::vector<std::uint8_t> grey;
  if (!read_mask_picture("", given, geometry, grey, error)) return false;
  const PngImageView view{geometry.image_width, geometry.image_height, 1, grey};
  return write_png_file(run_dir / kMaskName, view, error);
}

std::string mask_notice(std::span<const std::uint8_t> scanned) {
  const auto count =
      std::count_if(scanned.begin(), scanned.end(), [](std::uint8_t s) { return s != 0; });
  return std::string(kMaskName) + ": " + std::to_string(count) + " of " +
         std::to_string(scanned.size()) + " pixels scanned";
}
