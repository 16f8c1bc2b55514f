// Fuzzes the mask reader: the input becomes mask.png (a PNG, a BMP in the frame files' layout or
// as editors save one, or anything else) read for frames of a fuzzed size up to 64 x 64. A read
// either gives one grey level per pixel or one line naming the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imaging/scan_mask.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  FuzzedDataProvider input(data, size);
  const int width = input.ConsumeIntegralInRange<int>(1, 64);
  const int height = input.ConsumeIntegralInRange<int>(1, 64);
  write_fuzz_file(kMaskName, input.ConsumeRemainingBytes<std::uint8_t>());
  const FrameGeometry geometry{width, height, width * height};
  std::vector<std::uint8_t> grey;
  std::string error;
  if (read_mask_picture(fuzz_folder(), kMaskName, geometry, grey, &error)) {
    if (grey.size() != static_cast<std::size_t>(width * height) || !error.empty()) std::abort();
  } else if (error.empty() || error.find('\n') != std::string::npos ||
             error.rfind(kMaskName, 0) != 0 || !grey.empty()) {
    std::abort();
  }
  return 0;
}
