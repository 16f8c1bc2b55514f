// vesk-tune [RUN_DIR] [--first N] [--count M] [--write] [--false-alarms F] [--flashes K]
//           [--psf FWHM] [--threads T]
// Chooses the detection thresholds on the run folder's own frames by injected flashes.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/vesk_tune/tune.h"

int main(int argc, char** argv) {
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
  return run_tune(options, stdout, stderr);
}
