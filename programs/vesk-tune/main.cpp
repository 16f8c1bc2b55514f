// vesk-tune [RUN_DIR | RECORDING] [--out DIR] [--first N] [--count M] [--write] [--accept-loss]
//           [--false-alarms F] [--flashes K] [--psf FWHM] [--threads T] [recording options]
//           [--site LAT,LON[,HEIGHT] [--mirror yes|no] [--rotation DEG[@UTC]] [--mount M]
//           [--scale ARCSEC]]
// Chooses the detection thresholds on the recording's own frames by injected flashes.
#include <cstdio>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/signals.h"
#include "programs/version_line.h"
#include "run/run_folder.h"
#include "sources/ser_source.h"
#include "tune/tune.h"

namespace {

// --help: the usage line, then every option and what it means.
constexpr const char* kHelp =
    "\n"
    "Chooses the detection thresholds on a night's own frames: injects synthetic flashes of known\n"
    "strength in memory, runs a grid of thresholds with and without them and recommends the\n"
    "setting that finds the most at the false-alarm rate allowed. Results in RUN_DIR/tune/.\n"
    "\n"
    "  --out DIR            the run folder of RECORDING (default: NAME.vesk)\n"
    "  --write              write the recommended thresholds into settings.txt (the old one is\n"
    "                       kept as settings.txt.bak)\n"
    "  --accept-loss        with --write, write it even when it finds fewer injected flashes of\n"
    "                       8 times the noise and more than the current setting\n"
    "  --false-alarms F     most false alarms per 10,000 frames allowed (default 1)\n"
    "  --flashes K          injected flashes per strength bin (default 50)\n"
    "  --psf FWHM           full width at half maximum of the injected flashes, pixels (2.5)\n"
    "  --threads T          worker threads; 0 (default) for one per core\n"
    "  --first N            the first frame used (default 0)\n"
    "  --count M            frames used at most (default 10000)\n"
    "  --byte-order little|big  the byte order of 16-bit SER samples (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --depth D            the bit depth of the samples, 8 to 16 (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --start-utc T        the UTC of the recording's frame 0, e.g. 2024-03-15T21:04:05.25Z,\n"
    "                       for a recording without a clock of its own\n"
    "  --fps F              frames per second of a SER recording without frame times (needed\n"
    "                       with --start-utc) or of a FITS cube after its DATE-OBS\n"
    "  --site LAT,LON[,HEIGHT]  the observer's site (degrees north, degrees east, metres),\n"
    "                       recorded in tune/site.txt with the options below; without it, the\n"
    "                       run folder's site.txt when it is there\n"
    "  --mirror yes|no      the image is mirror-reversed (a star diagonal)\n"
    "  --rotation DEG[@UTC] position angle of the image's up direction (north through east);\n"
    "                       @UTC: measured then (--mount altaz)\n"
    "  --mount altaz|equatorial  an alt-azimuth mount turns the image with the parallactic angle\n"
    "  --scale ARCSEC       arcseconds per pixel\n"
    "  -h, --help           this text\n"
    "  --version            the version and the git commit this program was built from\n"
    "\n"
    "Exit status: 0 done, 1 an error, 2 bad command line. Manual: docs/tuning.md";

}  // namespace

int main(int argc, char** argv) {
  ignore_write_signals();
  if (asks_version(argc, argv)) {
    std::printf("%s\n", version_line("vesk-tune").c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  TuneOptions options;
  bool help = false;
  std::string error;
  if (!parse_tune_arguments(args, options, help, &error)) {
    print_message(stdout, stderr, error);
    return 2;
  }
  if (help) {
    std::printf("%s%s\n", kVeskTuneUsage, kHelp);
    return 0;
  }
  // A SER without frame times needs its frame rate beside a start time: a fault of the line.
  if (!check_ser_start_time(options.recording, options.reading, &error)) {
    print_message(stdout, stderr, error);
    return 2;
  }
  // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
  options.data_folders =
      data_folder_candidates(argv[0], VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  return run_tune(options, stdout, stderr);
}
