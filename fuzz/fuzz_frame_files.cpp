// Fuzzes the frame header and payload reader with the geometry probe: the input becomes
// BMP_RAW/a00000.bmp (and, split at a fuzzed point, a later frame and bmpheader.dat).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imaging/frame_files.h"

namespace {
// Payload read for a geometry larger than this is cut to it: the reader does not know the
// geometry, only the size of its destination, so a shorter destination tests the same code.
constexpr std::size_t kMaxPayload = 1 << 16;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_fuzz_folder();
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
  const std::string later_name = numbered_file_name(kRawFramePattern, later_frame);
  if (later_frame > 0) write_fuzz_file(later_name, later);

  std::vector<std::uint8_t> header_scratch(kFrameHeaderBytes, 0xEE);
  FrameGeometry geometry;
  std::string error;
  if (!read_frame_geometry(header_scratch, geometry, error)) {
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
  const bool have_template =
      load_report_header(report_header, geometry.image_width, geometry.image_height, error);
  if (have_template != (report_template.size() >= kReportHeaderBytes)) std::abort();

  // Frame 0 again and the later frame through the payload reader, into a guarded destination.
  const std::size_t payload =
      std::min(static_cast<std::size_t>(geometry.frame_pixels), kMaxPayload);
  for (int number : {0, later_frame}) {
    std::vector<std::uint8_t> destination(payload, 0x5A);
    std::string warning;
    const bool opened = read_raw_frame(number, destination, header_scratch, warning);
    const bool exists = number >= 0;  // frame 0, or the later frame written above
    if (opened != exists) std::abort();
    const std::size_t file_size = number == 0 ? first.size() : later.size();
    const bool short_file = file_size < kFrameHeaderBytes + payload;
    if (opened && short_file != !warning.empty()) std::abort();
    if (!opened) continue;
    // The payload bytes the file holds are read; the rest of the destination keeps its bytes.
    const std::vector<std::uint8_t>& bytes = number == 0 ? first : later;
    const std::size_t got =
        bytes.size() > kFrameHeaderBytes ? std::min(bytes.size() - kFrameHeaderBytes, payload) : 0;
    if ((got > 0 && !std::equal(destination.begin(), destination.begin() + got,
                                bytes.begin() + kFrameHeaderBytes)) ||
        std::any_of(destination.begin() + got, destination.end(),
                    [](std::uint8_t b) { return b != 0x5A; })) {
      std::abort();
    }
  }
  return 0;
}
