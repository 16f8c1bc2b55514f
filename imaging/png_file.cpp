#include "imaging/png_file.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <system_error>

#include "imaging/file_io.h"

namespace {

// libpng reports its errors through a callback that must not return; the text lands here and the
// callback jumps back to the setjmp in encode_png.
struct PngFailure {
  char text[160] = {};
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->text, sizeof failure->text, "%s", message);
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Encodes `image` (already checked) into `file`. Holds only plain locals that are set before the
// setjmp, since libpng leaves through longjmp on an error. False with the reason in `failure`.
bool encode_png(std::FILE* file, const PngImageView& image, PngFailure& failure) {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, on_png_error, on_png_warning);
  if (png == nullptr) {
    std::snprintf(failure.text, sizeof failure.text, "libpng could not start");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(failure.text, sizeof failure.text, "libpng could not start");
    return false;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8,
               image.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t row_bytes =
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
  for (int y = 0; y < image.height; ++y) {
    png_write_row(png, image.pixels.data() + static_cast<std::size_t>(y) * row_bytes);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool image_is_well_formed(const PngImageView& image) {
  if (image.width < 1 || image.width > kMaxFrameSide || image.height < 1 ||
      image.height > kMaxFrameSide || (image.channels != 1 && image.channels != 3)) {
    return false;
  }
  // At most 32768^2 * 3 bytes: fits size_t on every 64-bit target.
  const std::size_t bytes = static_cast<std::size_t>(image.width) *
                            static_cast<std::size_t>(image.height) *
                            static_cast<std::size_t>(image.channels);
  return image.pixels.size() == bytes;
}

}  // namespace

bool write_png_file(const std::filesystem::path& path, const PngImageView& image,
                    std::string* error) {
  const std::string final_name = path.string();
  if (!image_is_well_formed(image)) {
    *error = final_name + ": image of " + std::to_string(image.width) + " x " +
             std::to_string(image.height) + " pixels, " + std::to_string(image.channels) +
             " channels and " + std::to_string(image.pixels.size()) +
             " bytes cannot be written as PNG";
    return false;
  }
  const std::string part_name = final_name + ".part";
  FileHandle file = open_file(part_name.c_str(), "wb", error);
  if (!file) return false;
  PngFailure failure;
  errno = 0;
  bool ok = encode_png(file.get(), image, failure);
  if (!ok) {
    // A failed fwrite inside libpng leaves errno set; say both what libpng saw and why.
    *error =
        errno_message(part_name.c_str(), (std::string("PNG not written: ") + failure.text).c_str());
    std::string ignored;
    close_file(file, part_name.c_str(), &ignored);
  } else if (!close_file(file, part_name.c_str(), error)) {
    ok = false;
  }
  if (ok) {
    errno = 0;
    if (std::rename(part_name.c_str(), final_name.c_str()) != 0) {
      *error = errno_message(final_name.c_str(), "cannot rename the finished file");
      ok = false;
    }
  }
  if (!ok) std::remove(part_name.c_str());
  return ok;
}

bool read_grey_png(std::FILE* file, const std::string& name, int width, int height,
                   PngHeader& header, std::vector<std::uint8_t>& pixels, std::string* error) {
  header = PngHeader{};
  pixels.clear();
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_stdio(&png, file) == 0) {
    *error = name + ": not a readable PNG: " + png.message;
    return false;
  }
  constexpr png_uint_32 kLargest = 0x7fffffff;
  header.width = static_cast<int>(std::min(png.width, kLargest));
  header.height = static_cast<int>(std::min(png.height, kLargest));
  header.colour = (png.format & PNG_FORMAT_FLAG_COLOR) != 0;
  header.alpha = (png.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  header.sixteen_bit = (png.format & PNG_FORMAT_FLAG_LINEAR) != 0;
  if (header.colour || header.alpha || header.sixteen_bit || width < 1 || height < 1 ||
      header.width != width || header.height != height) {
    png_image_free(&png);
    return true;
  }
  // Both sides are checked positive ints: the product fits size_t on every 64-bit target.
  pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  png.format = PNG_FORMAT_GRAY;
  if (png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr) == 0) {
    *error = name + ": damaged PNG: " + png.message;
    png_image_free(&png);
    pixels.clear();
    return false;
  }
  return true;
}

bool read_png_file(const std::filesystem::path& path, int max_side, PngImage& image,
                   std::string* error) {
  image = PngImage{};
  const std::string name = path.string();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    *error = name + ": not a regular file";  // a pipe or device could keep the reader waiting
    return false;
  }
  FileHandle file = open_file(name.c_str(), "rb", error);
  if (!file) return false;
  // libpng's simplified reader keeps its longjmp inside; it answers through image.message.
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_stdio(&png, file.get()) == 0) {
    *error = name + ": not a readable PNG: " + png.message;
    return false;
  }
  if (png.width == 0 || png.height == 0 || png.width > static_cast<png_uint_32>(max_side) ||
      png.height > static_cast<png_uint_32>(max_side)) {
    *error = name + ": " + std::to_string(png.width) + " x " + std::to_string(png.height) +
             " pixels, more than " + std::to_string(max_side) + " on a side";
    png_image_free(&png);
    return false;
  }
  const bool grey = (png.format & PNG_FORMAT_FLAG_COLOR) == 0;
  png.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  image.width = static_cast<int>(png.width);
  image.height = static_cast<int>(png.height);
  image.channels = grey ? 1 : 3;
  image.pixels.resize(PNG_IMAGE_SIZE(png));
  const png_color black{0, 0, 0};
  if (png_image_finish_read(&png, &black, image.pixels.data(), 0, nullptr) == 0) {
    *error = name + ": damaged PNG: " + png.message;
    png_image_free(&png);
    image = PngImage{};
    return false;
  }
  return true;
}
