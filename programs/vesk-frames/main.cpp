// vesk-frames RECORDING OUTDIR [--first N] [--count M] [--byte-order little|big] [--depth D]
//             [--start-utc TIME]
// Turns a SER or video recording into a folder that vesk runs in.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/signals.h"
#include "run/run_folder.h"
#include "control/convert.h"

int main(int argc, char** argv) {
  ignore_write_signals();
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
  options.data_folders = data_folder_candidates(argc > 0 ? argv[0] : nullptr,
                                                VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  // The bar redraws one line with '\r': only worth it on a terminal.
  options.progress = isatty(fileno(stdout)) != 0;
  return convert_recording(options, stdout, stderr);
}
