// frames_to_ser FOLDER OUT.ser [--depth 8|16]
// Writes the frame files of the run folder FOLDER (BMP_RAW/a00000.bmp ...) as a mono SER
// recording with a trailer of frame times, for the benches and the tests that read a recording
// both ways. 16-bit samples carry the grey level in their top byte and noise in the low byte,
// stored little-endian under a LittleEndian field of 0, as capture programs write them. The
// header's DateTime and DateTime_UTC are 2024-03-15T21:04:05Z; frame f is stamped 40 ms x f after
// it.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "imaging/file_io.h"
#include "sources/frame_folder.h"
#include "sources/ser.h"

namespace {

constexpr std::int64_t kStartTicks = 638461334450000000;  // 2024-03-15T21:04:05Z
constexpr std::int64_t kFrameTicks = 400000;              // 40 ms

void put_le(std::vector<std::uint8_t>& bytes, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> ser_header(int width, int height, int depth, std::int64_t frames) {
  std::vector<std::uint8_t> bytes(kSerSignature, kSerSignature + kSerSignatureBytes);
  // LuID, ColorID (mono), LittleEndian (0: little-endian samples, as written), size, depth, count.
  for (const std::int64_t field :
       {std::int64_t{0}, std::int64_t{0}, std::int64_t{0}, std::int64_t{width},
        std::int64_t{height}, std::int64_t{depth}, frames}) {
    put_le(bytes, static_cast<std::uint64_t>(field), 4);
  }
  bytes.resize(bytes.size() + 120, ' ');  // observer, instrument, telescope
  put_le(bytes, kStartTicks, 8);          // DateTime
  put_le(bytes, kStartTicks, 8);          // DateTime_UTC
  return bytes;
}

// The low byte of a 16-bit sample: noise below the grey level, so that the samples read in the
// wrong byte order look like noise and in the right one like the picture.
std::uint8_t low_byte(std::size_t pixel, std::int64_t frame) {
  std::uint64_t h =
      pixel * 0x9E3779B97F4A7C15u ^ static_cast<std::uint64_t>(frame) * 0xC2B2AE3D27D4EB4Fu;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9u;
  h ^= h >> 32;
  return static_cast<std::uint8_t>(h);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  int depth = 8;
  if (args.size() == 4 && args[2] == "--depth" && (args[3] == "8" || args[3] == "16")) {
    depth = std::stoi(args[3]);
  } else if (args.size() != 2) {
    std::fprintf(stderr, "usage: frames_to_ser FOLDER OUT.ser [--depth 8|16]\n");
    return 2;
  }
  std::string error;
  std::unique_ptr<FrameSource> frames = open_frame_folder(args[0], &error);
  if (frames == nullptr) return fail(args[0] + ": " + error);
  const FrameGeometry geometry = frames->geometry();
  const std::string part = args[1] + ".part";
  FileHandle file = open_file(part.c_str(), "wb", &error);
  if (!file) return fail(error);
  // The count is written once the frames are known; the header is rewritten at the end.
  std::vector<std::uint8_t> header =
      ser_header(geometry.image_width, geometry.image_height, depth, 0);
  if (!write_bytes(file.get(), header, part.c_str(), &error)) return fail(error);
  std::vector<std::uint8_t> grey(static_cast<std::size_t>(geometry.frame_pixels));
  std::vector<std::uint8_t> samples;
  std::int64_t count = 0;
  for (;; ++count) {
    const FrameRead read = frames->read_next(grey);
    if (read.status == FrameStatus::failed) return fail(read.reason);
    if (read.status == FrameStatus::end) break;
    if (read.bytes < grey.size())
      return fail(args[0] + ": frame " + std::to_string(count) + " is short");
    std::span<const std::uint8_t> stored = grey;
    if (depth == 16) {
      samples.clear();
      for (std::size_t i = 0; i < grey.size(); ++i) {
        samples.push_back(low_byte(i, count));
        samples.push_back(grey[i]);
      }
      stored = samples;
    }
    if (!write_bytes(file.get(), stored, part.c_str(), &error)) return fail(error);
  }
  std::vector<std::uint8_t> trailer;
  for (std::int64_t f = 0; f < count; ++f)
    put_le(trailer, static_cast<std::uint64_t>(kStartTicks + f * kFrameTicks), 8);
  header = ser_header(geometry.image_width, geometry.image_height, depth, count);
  if (!write_bytes(file.get(), trailer, part.c_str(), &error)) return fail(error);
  if (std::fseek(file.get(), 0, SEEK_SET) != 0)
    return fail(errno_message(part.c_str(), "cannot seek"));
  if (!write_bytes(file.get(), header, part.c_str(), &error) ||
      !close_file(file, part.c_str(), &error)) {
    return fail(error);
  }
  std::error_code ec;
  std::filesystem::rename(part, args[1], ec);
  if (ec) return fail(args[1] + ": cannot rename from " + part + ": " + ec.message());
  return 0;
}
