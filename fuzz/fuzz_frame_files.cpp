// Fuzzes the frame header and payload reader with the geometry probe: the input becomes
// BMP_RAW/a00000.bmp (and, split at a fuzzed point, frame 1 and bmpheader.dat).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imaging/frame_files.h"
#include "sources/frame_folder.h"

namespace {
// Payload read for a geometry larger than this is cut to it: the reader does not know the
// geometry, only the size of its destination, so a shorter destination tests the same code.
constexpr std::size_t kMaxPayload = 1 << 16;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  FuzzedDataProvider input(data, size);
  const int later_frame = input.ConsumeIntegralInRange<int>(-1, 100001);
  const std::vector<std::uint8_t> report_template =
      input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::vector<std::uint8_t> later =
      input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 4096));
  const std::vector<std::uint8_t> first = input.ConsumeRemainingBytes<std::uint8_t>();
  write_fuzz_file("BMP_RAW/a00000.bmp", first);
  write_fuzz_file("bmpheader.dat", report_template);
  if (later_frame > 0) write_fuzz_file("BMP_RAW/a00001.bmp", later);
  // Any number gives a name of its digits, at least five of them.
  const std::string later_name = numbered_file_name(kRawFramePattern, later_frame);
  if (later_frame >= 0 && later_name.size() < std::string("BMP_RAW/a00000.bmp").size()) {
    std::abort();
  }

  std::vector<std::uint8_t> header_scratch(kFrameHeaderBytes, 0xEE);
  FrameGeometry geometry;
  std::string error;
  if (!read_frame_geometry(fuzz_folder(), header_scratch, geometry, &error)) {
    if (error.empty() || error.find('\n') != std::string::npos) std::abort();
    if (first.size() >= kFrameHeaderBytes && error.find("frame size") == std::string::npos) {
      std::abort();
    }
    return 0;
  }
  if (geometry.image_width < 1 || geometry.image_width > kMaxFrameSide ||
      geometry.image_height < 1 || geometry.image_height > kMaxFrameSide ||
      std::int64_t{geometry.frame_pixels} !=
          std::int64_t{geometry.image_width} * geometry.image_height) {
    std::abort();
  }

  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  error.clear();
  const bool have_template = load_report_header(fuzz_folder(), report_header, geometry.image_width,
                                                geometry.image_height, &error);
  if (have_template != (report_template.size() >= kReportHeaderBytes)) std::abort();

  // Frame 0 again and the frame after it through the frame folder, into a guarded destination.
  std::unique_ptr<FrameSource> source = open_frame_folder(fuzz_folder(), &error);
  if (source == nullptr) std::abort();
  const std::size_t payload =
      std::min(static_cast<std::size_t>(geometry.frame_pixels), kMaxPayload);
  for (int number : {0, 1}) {
    std::vector<std::uint8_t> destination(payload, 0x5A);
    const FrameRead read = source->read_next(destination);
    const bool exists = number == 0 || later_frame > 0;
    if ((read.status == FrameStatus::frame) != exists) std::abort();
    if (!exists) continue;
    const std::vector<std::uint8_t>& bytes = number == 0 ? first : later;
    const bool short_file = bytes.size() < kFrameHeaderBytes + payload;
    const bool said_short = read.warning.find(": truncated, ") != std::string::npos;
    if (short_file != said_short || read.warning.find('\n') != std::string::npos) std::abort();
    // The payload bytes the file holds are read; the rest of the destination keeps its bytes.
    const std::size_t got =
        bytes.size() > kFrameHeaderBytes ? std::min(bytes.size() - kFrameHeaderBytes, payload) : 0;
    if (read.bytes != got ||
        (got > 0 && !std::equal(destination.begin(), destination.begin() + got,
                                bytes.begin() + kFrameHeaderBytes)) ||
        std::any_of(destination.begin() + got, destination.end(),
                    [](std::uint8_t b) { return b != 0x5A; })) {
      std::abort();
    }
  }
  return 0;
}
