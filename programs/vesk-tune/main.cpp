// vesk-tune [RUN_DIR | RECORDING] [--out DIR] [--first N] [--count M] [--write]
//           [--false-alarms F] [--flashes K] [--psf FWHM] [--threads T] [recording options]
// Chooses the detection thresholds on the recording's own frames by injected flashes.
#include <cstdio>
#include <string>
#include <vector>

#include "base/signals.h"
#include "run/run_folder.h"
#include "tune/tune.h"

int main(int argc, char** argv) {
  ignore_write_signals();
  const std::vector<std::string> args(argv + 1, argv + argc);
  TuneOptions options;
  bool help = false;
  std::string error;
  if (!parse_tune_arguments(args, options, help, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (help) {
    std::printf("%s\n", kVeskTuneUsage);
    return 0;
  }
  // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
  options.data_folders =
      data_folder_candidates(argv[0], VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  return run_tune(options, stdout, stderr);
}
