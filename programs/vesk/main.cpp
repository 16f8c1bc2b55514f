// vesk [RECORDING] [--out DIR] [--no-menu] [--quiet] [--threads N] [--first N] [--count M]
//      [--byte-order little|big] [--depth D] [--start-utc T] [--replace] [--max-memory SIZE]
// Without arguments VESK works on the frame folder where it is started; with a recording it reads
// the frames straight from it into the run folder NAME.vesk (or --out DIR).
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/signals.h"
#include "control/command_line.h"
#include "control/driver.h"
#include "run/run_folder.h"

int main(int argc, char** argv) {
  ignore_write_signals();
  const volatile std::sig_atomic_t* stop = install_stop_signals();
  if (argc <= 1) {
    RunOptions options;
    options.stop = stop;
    return run_vesk(".", options, stdin, stdout, stderr);
  }

  const std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine line;
  std::string error;
  if (!parse_command_line(args, line, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (line.help) {
    std::printf("%s\n", kVeskUsage);
    return 0;
  }
  RunOptions options;
  options.recording = line.recording;
  options.reading = line.reading;
  options.menu = !line.no_menu;
  options.frame_lines = !line.quiet;
  options.threads = line.threads;
  options.replace = line.replace;
  options.max_memory = line.max_memory;
  options.command_options = line.options;
  options.stop = stop;
  // The line that rewrites itself is only worth it on a terminal; elsewhere a line per frame.
  options.progress_line = !line.recording.empty() && isatty(fileno(stdout)) != 0;
  if (!line.recording.empty()) {
    // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
    options.data_folders =
        data_folder_candidates(argv[0], VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  }
  return run_vesk(run_folder_of(line), options, stdin, stdout, stderr);
}
