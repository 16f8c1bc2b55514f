// vesk-frames RECORDING OUTDIR [--first N] [--count M] [--byte-order little|big] [--depth D]
//             [--start-utc TIME]
// Turns a SER or video recording into a folder that vesk runs in.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/vesk_frames/convert.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  ConvertOptions options;
  bool help = false;
  std::string error;
  if (!parse_arguments(args, options, help, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (help) {
    std::printf("%s\n", kVeskFramesUsage);
    return 0;
  }
  // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
  std::error_code ec;
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (ec && argc > 0) program = fs::absolute(argv[0], ec);
  if (!program.empty()) {
    options.data_folders.push_back(
        (program.parent_path() / VESK_INSTALLED_DATA_FROM_BIN).lexically_normal());
  }
  options.data_folders.emplace_back(VESK_SOURCE_DATA_DIR);
  // The bar redraws one line with '\r': only worth it on a terminal.
  options.progress = isatty(fileno(stdout)) != 0;
  return convert_recording(options, stdout, stderr);
}
