// Fuzzes vesk-frames and vesk's SER frame source on a SER recording: the input, behind the SER
// signature, is the rest of the header, the frames and the timestamp trailer. The conversion must
// end with status 0 or 1 and write only whole frame files into its run folder; the source must
// give whole frames, no more than it counts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "control/convert.h"
#include "fuzz_support.h"
#include "sources/recording.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  lay_out_fuzz_run_folder();
  // Without its signature the file would go to the video decoder, a subprocess per input.
  std::vector<std::uint8_t> recording(kSerSignature, kSerSignature + kSerSignatureBytes);
  recording.insert(recording.end(), data, data + size);
  write_fuzz_file("rec.ser", recording);

  ConvertOptions options;
  options.recording = (fuzz_folder() / "rec.ser").string();
  options.outdir = (fuzz_folder() / "run").string();
  options.frame_limit = 20;
  options.data_folders = {fuzz_folder()};
  if (size > 0) {
    options.byte_order = static_cast<ByteOrder>(data[0] % 3);
    options.depth = data[0] / 3 % 10 == 0 ? 0 : 7 + data[0] / 3 % 10;  // 0 or 8 to 16
    options.first = data[size - 1] % 4;
    const int count = size > 1 ? data[size - 2] % 6 : 0;
    options.count = count == 0 ? -1 : count;  // as --count gives it: 1 or more, or all
  }
  const int status = convert_recording(options, null_output(), null_output());
  if (status != 0 && status != 1) std::abort();
  if (status == 0 && !std::filesystem::is_regular_file(fuzz_folder() / "run/BMP_RAW/a00000.bmp"))
    std::abort();

  // The same file as vesk reads it: every frame and every time, within the frame's bytes.
  std::vector<std::string> notices;
  std::string error;
  const std::unique_ptr<FrameSource> source =
      open_recording(options.recording, options, notices, &error);
  if (source == nullptr) return 0;
  const FrameGeometry geometry = source->geometry();
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(geometry.frame_pixels));
  std::int64_t frames = 0;
  for (; frames < 20; ++frames) {
    const FrameRead read = source->read_next(frame);
    if (read.status != FrameStatus::frame) break;
    if (read.bytes != frame.size()) std::abort();
    (void)source->frame_time(frames);
  }
  if (source->frame_count() >= 0 && frames > source->frame_count()) std::abort();
  return 0;
}
