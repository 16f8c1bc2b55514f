// Fuzzes a whole run of the program on tiny frames with fuzzed settings: borders negative or
// huge, Images_in_buffer 0, 1, 2, small, larger than the frames present or huge, limits reversed,
// any Interlace, short and missing frames, frames that are links to themselves, folders or FIFOs,
// a missing or plain-file BMP_FLASHES. The run must end
// with status 0 or 1 and leave a flash log that holds its header and whole records only.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "control/driver.h"
#include "control/settings.h"
#include "fuzz_support.h"
#include "imaging/frame_files.h"
#include "outputs/flash_log.h"

namespace {

int pick_int(FuzzedDataProvider& input, int width, int height, int frames) {
  const int edges[] = {std::numeric_limits<int>::min(),
                       -1000000,
                       -3,
                       -2,
                       -1,
                       0,
                       1,
                       2,
                       3,
                       4,
                       5,
                       6,
                       10,
                       width / 2,
                       width - 1,
                       width,
                       height,
                       frames,
                       frames + 1,
                       100,
                       1000000,
                       std::numeric_limits<int>::max()};
  if (input.ConsumeBool()) return input.PickValueInArray(edges);
  return input.ConsumeIntegral<int>();
}

float pick_float(FuzzedDataProvider& input) {
  const float edges[] = {0.0f,
                         -0.0f,
                         1.0f,
                         2.0f,
                         3.0f,
                         4.0f,
                         5.0f,
                         -1.0f,
                         1e-30f,
                         1e30f,
                         250.0f,
                         100.0f,
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  if (input.ConsumeBool()) return input.PickValueInArray(edges);
  return input.ConsumeFloatingPoint<float>();
}

// Frames of `width` x `height`: a flat grey field with a little noise and, in some frames,
// a bright spot of a few pixels, so that some frames are reported.
void write_frames(FuzzedDataProvider& input, int width, int height, int frames) {
  const int spot_frame = input.ConsumeIntegralInRange<int>(-1, frames);
  const int spot_x = input.ConsumeIntegralInRange<int>(0, width - 1);
  const int spot_y = input.ConsumeIntegralInRange<int>(0, height - 1);
  const int spot_size = input.ConsumeIntegralInRange<int>(1, 4);
  const int short_frame = input.ConsumeIntegralInRange<int>(-1, frames);
  const int gap_frame = input.ConsumeIntegralInRange<int>(-1, frames);
  const std::uint8_t base = input.ConsumeIntegral<std::uint8_t>();
  std::uint32_t noise = input.ConsumeIntegral<std::uint32_t>();
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::vector<std::uint8_t> payload(pixels);
  for (int f = 0; f < frames; ++f) {
    if (f == gap_frame && f != 0) continue;
    for (std::size_t i = 0; i < pixels; ++i) {
      noise = noise * 1664525u + 1013904223u;
      payload[i] = static_cast<std::uint8_t>(base + static_cast<int>((noise >> 29) & 3));
    }
    if (f == spot_frame) {
      for (int dy = 0; dy < spot_size && spot_y + dy < height; ++dy) {
        for (int dx = 0; dx < spot_size && spot_x + dx < width; ++dx) {
          payload[static_cast<std::size_t>(spot_y + dy) * width + spot_x + dx] = 255;
        }
      }
    }
    std::vector<std::uint8_t> bytes(kFrameHeaderBytes, 0);
    // A later frame may state any size: only frame 0's header counts.
    const bool odd_header = f != 0 && input.ConsumeProbability<float>() < 0.05f;
    write_raw_frame_header(
        std::span<std::uint8_t, kFrameHeaderBytes>(bytes.data(), kFrameHeaderBytes),
        odd_header ? 7 : width, height);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    if (f == short_frame) {
      bytes.resize(input.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1));
    }
    write_fuzz_file(numbered_file_name(kRawFramePattern, f), bytes);
  }
  // One frame, now and then, that is there but is no regular file to read: the run must refuse
  // it at once (a FIFO must never block it).
  const int odd_frame = input.ConsumeIntegralInRange<int>(-1, frames);
  if (odd_frame < 0) return;
  const std::filesystem::path path =
      fuzz_folder() / numbered_file_name(kRawFramePattern, odd_frame);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      std::filesystem::create_symlink(path.filename(), path, ec);  // a link to itself
      break;
    case 1:
      std::filesystem::create_directories(path, ec);
      break;
    default:
      mkfifo(path.c_str(), 0644);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  lay_out_fuzz_run_folder();
  FuzzedDataProvider input(data, size);
  // Mostly tiny frames; now and then one wide enough for the unclipped close-up strip.
  const int width = input.ConsumeIntegralInRange<int>(1, input.ConsumeBool() ? 48 : 700);
  const int height = input.ConsumeIntegralInRange<int>(1, 48);
  const int frames = input.ConsumeIntegralInRange<int>(0, 40);

  DetectionSettings settings;
  for (const SettingsParameter& p : settings_parameters) {
    if (p.type == ParameterType::Int) {
      settings.*p.int_member = pick_int(input, width, height, frames);
    } else {
      settings.*p.float_member = pick_float(input);
    }
  }
  // The modes of the close-up strip and flash limits that accept something, more often than a
  // free pick would give them.
  if (input.ConsumeBool()) settings.Interlace = input.ConsumeIntegralInRange<int>(-1, 3);
  if (input.ConsumeBool()) {
    settings.Min_flash_limit = input.ConsumeIntegralInRange<int>(0, 3);
    settings.Max_flash_limit = input.ConsumeIntegralInRange<int>(0, 120);
  }
  // ASan's operator new aborts where the program would see std::bad_alloc, so a ring too large
  // for memory (tested in the Release suite) is cut to 4 MiB here: still far more frames than
  // the folder holds.
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  constexpr std::size_t kMaxRingBytes = std::size_t{4} << 20;
  if (settings.Images_in_buffer > 0 &&
      static_cast<std::size_t>(settings.Images_in_buffer) > kMaxRingBytes / pixels) {
    settings.Images_in_buffer = static_cast<int>(kMaxRingBytes / pixels);
  }
  write_fuzz_text("settings.txt", format_settings(settings));

  const int flash_folder = input.ConsumeIntegralInRange<int>(0, 15);
  if (flash_folder == 1 || flash_folder == 2)
    std::filesystem::remove_all(fuzz_folder() / "BMP_FLASHES");
  if (flash_folder == 1) write_fuzz_text("BMP_FLASHES", "a plain file\n");
  write_frames(input, width, height, frames);

  std::FILE* console = memory_input(std::span(reinterpret_cast<const std::uint8_t*>("0\n"), 2));
  const int status = run_vesk(fuzz_folder(), console, null_output(), null_output());
  std::fclose(console);
  if (status != 0 && status != 1) std::abort();

  // A log, when there is one, is its header line followed by whole eleven-field records.
  std::FILE* log = std::fopen((fuzz_folder() / "flash_info.dat").c_str(), "r");
  if (log == nullptr) {
    if (status == 0) std::abort();
    return 0;
  }
  std::string text;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, log)) > 0;)
    text.append(chunk, got);
  std::fclose(log);
  if (text.rfind(kFlashInfoHeader, 0) != 0) std::abort();
  std::size_t at = std::string(kFlashInfoHeader).size();
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) std::abort();
    const std::string record = text.substr(at, end - at);
    if (std::count(record.begin(), record.end(), ' ') != 10) std::abort();
    at = end + 1;
  }
  return 0;
}
