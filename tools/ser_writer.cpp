// ser_writer IN.ser OUT.ser --fps F [--no-close]
// Writes the SER recording IN.ser again as OUT.ser the way a capture program records: the header
// with a frame count of 0, then one frame every 1/F seconds (each flushed to the file), and at
// the close the trailer of frame times and the frame count. With --no-close the file is left as a
// capture program that died leaves it (count 0, no trailer). For the tests and the bench of
// following a recording while it is written. Exit status 0, or 1 with one line on failure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "imaging/file_io.h"
#include "sources/ser.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "ser_writer: %s\n", message.c_str());
  return 1;
}

std::uint32_t le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
         std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || std::string(argv[3]) != "--fps") {
    return fail("usage: ser_writer IN.ser OUT.ser --fps F [--no-close]");
  }
  const double fps = std::atof(argv[4]);
  const bool close = !(argc > 5 && std::string(argv[5]) == "--no-close");
  if (!(fps > 0)) return fail("--fps: not a rate above 0");
  std::string error;
  FileHandle in = open_file(argv[1], "rb", &error);
  if (!in) return fail(error);
  std::vector<std::uint8_t> header(kSerHeaderBytes);
  if (read_bytes(in.get(), header) != header.size()) return fail(std::string(argv[1]) + ": short");
  const std::size_t bytes_per_sample = le32(header, 34) > 8 ? 2 : 1;
  const std::size_t planes = le32(header, 18) >= 100 ? 3 : 1;
  const std::size_t frame_bytes =
      std::size_t{le32(header, 26)} * le32(header, 30) * bytes_per_sample * planes;
  const std::uint32_t frames = le32(header, 38);
  std::vector<std::uint8_t> frame(frame_bytes);
  std::vector<std::uint8_t> times(std::size_t{frames} * kSerTimeBytes);

  FileHandle out = open_file(argv[2], "wb", &error);
  if (!out) return fail(error);
  std::vector<std::uint8_t> recording_header = header;
  for (int i = 0; i < 4; ++i) recording_header[38 + i] = 0;
  if (!write_bytes(out.get(), recording_header, argv[2], &error)) return fail(error);
  if (std::fflush(out.get()) != 0) return fail(std::string(argv[2]) + ": write failed");
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t f = 0; f < frames; ++f) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>((f + 1) / fps));
    if (read_bytes(in.get(), frame) != frame.size()) return fail(std::string(argv[1]) + ": short");
    if (!write_bytes(out.get(), frame, argv[2], &error)) return fail(error);
    if (std::fflush(out.get()) != 0) return fail(std::string(argv[2]) + ": write failed");
  }
  if (close) {
    const std::size_t got = read_bytes(in.get(), times);
    if (got == times.size() && !write_bytes(out.get(), times, argv[2], &error)) return fail(error);
    if (std::fflush(out.get()) != 0 || std::fseek(out.get(), 38, SEEK_SET) != 0 ||
        !write_bytes(out.get(), std::span<const std::uint8_t>(header.data() + 38, 4), argv[2],
                     &error)) {
      return fail(std::string(argv[2]) + ": cannot set the frame count");
    }
  }
  return close_file(out, argv[2], &error) ? 0 : fail(error);
}
