// Writes a numbered frame sequence for the whole-program benchmark: OUTDIR/BMP_RAW/a00000.bmp ...,
// each a 54-byte header stating the size followed by width x height grey bytes. The scene is a
// smooth gradient with noise from a fixed-seed generator, and every 97th frame carries a small
// bright spot, so the run does the work of a real recording: a full scan, a few neighbourhood
// checks and an occasional report image.
//
// Usage: make_bench_frames WIDTH HEIGHT FRAMES OUTDIR
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace {

// xorshift64*: small, fast and the same on every platform.
std::uint64_t next_random(std::uint64_t& state) {
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 0x2545F4914F6CDD1DULL;
}

bool parse_int(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int width = 0;
  int height = 0;
  int frames = 0;
  if (argc != 5 || !parse_int(argv[1], 32, 8192, width) || !parse_int(argv[2], 32, 8192, height) ||
      !parse_int(argv[3], 1, 99999, frames)) {
    std::fprintf(stderr, "usage: make_bench_frames WIDTH(32-8192) HEIGHT(32-8192) FRAMES OUTDIR\n");
    return 1;
  }
  const std::filesystem::path raw_dir = std::filesystem::path(argv[4]) / "BMP_RAW";
  std::error_code ec;
  std::filesystem::create_directories(raw_dir, ec);
  if (ec) {
    std::fprintf(stderr, "%s: cannot create folder: %s\n", raw_dir.c_str(), ec.message().c_str());
    return 1;
  }

  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::vector<std::uint8_t> file_bytes(kFrameHeaderBytes + pixels, 0);
  std::span<std::uint8_t> bytes(file_bytes);
  bytes[0] = 'B';
  bytes[1] = 'M';
  put_le32(bytes, 18, width);
  put_le32(bytes, 22, height);
  std::vector<std::uint8_t> scene(pixels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      scene[static_cast<std::size_t>(y) * width + x] =
          static_cast<std::uint8_t>(20 + (120 * x) / width + (60 * y) / height);
    }
  }

  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int frame = 0; frame < frames; ++frame) {
    std::uint8_t* payload = file_bytes.data() + kFrameHeaderBytes;
    for (std::size_t p = 0; p < pixels; p += 8) {
      std::uint64_t r = next_random(state);
      for (std::size_t k = p; k < p + 8 && k < pixels; ++k, r >>= 8) {
        payload[k] = static_cast<std::uint8_t>(scene[k] + (r & 7));  // noise 0 to 7
      }
    }
    if (frame % 97 == 50) {  // a 3 x 3 spot away from the borders
      const int cx = 40 + static_cast<int>(next_random(state) % static_cast<unsigned>(width - 80));
      const int cy = 40 + static_cast<int>(next_random(state) % static_cast<unsigned>(height - 80));
      for (int y = cy - 1; y <= cy + 1; ++y) {
        for (int x = cx - 1; x <= cx + 1; ++x)
          payload[static_cast<std::size_t>(y) * width + x] = 250;
      }
    }
    const std::string path = (raw_dir / numbered_file_name("a%5d.bmp", frame)).string();
    std::string error;
    FileHandle file = open_file(path.c_str(), "wb", error);
    if (!file || !write_bytes(file.get(), file_bytes, path.c_str(), error) ||
        !close_file(file, path.c_str(), error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}
