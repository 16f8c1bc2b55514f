// vesk-frames RECORDING OUTDIR [--first N] [--count M] [--byte-order little|big] [--depth D]
//             [--start-utc TIME]
// Turns a SER or video recording into a folder that vesk runs in.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/signals.h"
#include "control/convert.h"
#include "programs/version_line.h"
#include "run/run_folder.h"
#include "sources/ser_source.h"

namespace {

// --help: the usage line, then every option and what it means.
constexpr const char* kHelp =
    "\n"
    "Turns a SER file or a video into a run folder OUTDIR that vesk runs in: BMP_RAW/ with the\n"
    "frames as 8-bit grey BMP files, frame_times.csv, settings.txt and the data files.\n"
    "\n"
    "  --first N            start at recording frame N (from 0); it is numbered frame 0\n"
    "  --count M            read at most M frames\n"
    "  --byte-order little|big  the byte order of 16-bit SER samples (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --depth D            the bit depth of the samples, 8 to 16 (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --start-utc T        the UTC of the recording's frame 0, e.g. 2024-03-15T21:04:05.25Z,\n"
    "                       for a recording without a clock of its own\n"
    "  --fps F              frames per second of a SER recording without frame times (needed\n"
    "                       with --start-utc) or of a FITS cube after its DATE-OBS\n"
    "  --site LAT,LON[,HEIGHT]  the observer's site (degrees north, degrees east, metres), kept "
    "in\n"
    "                       OUTDIR/site.txt: vesk then places every event on the Moon\n"
    "  --mirror yes|no      the image is mirror-reversed (a star diagonal): needed for places\n"
    "  --rotation DEG[@UTC] position angle of the image's up direction (north through east);\n"
    "                       @UTC: measured then, on --mount altaz\n"
    "  --mount altaz|equatorial  an alt-azimuth mount turns the image with the parallactic angle\n"
    "  --scale ARCSEC       arcseconds per pixel: fixes the disc's radius from the ephemeris\n"
    "  -h, --help           this text\n"
    "  --version            the version and the git commit this program was built from\n"
    "\n"
    "Exit status: 0 done, 1 bad input or a failed write, 2 bad command line.\n"
    "Manual: docs/recordings.md";

}  // namespace

int main(int argc, char** argv) {
  ignore_write_signals();
  if (asks_version(argc, argv)) {
    std::printf("%s\n", version_line("vesk-frames").c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::vector<std::string> args(argv + 1, argv + argc);
  ConvertOptions options;
  bool help = false;
  std::string error;
  if (!parse_arguments(args, options, help, &error)) {
    print_message(stdout, stderr, error);
    return 2;
  }
  if (help) {
    std::printf("%s%s\n", kVeskFramesUsage, kHelp);
    return 0;
  }
  // A SER without frame times needs its frame rate beside a start time: a fault of the line.
  if (!check_ser_start_time(options.recording, options, &error)) {
    print_message(stdout, stderr, error);
    return 2;
  }
  // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
  options.data_folders = data_folder_candidates(argc > 0 ? argv[0] : nullptr,
                                                VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  // The bar redraws one line with '\r': only worth it on a terminal.
  options.progress = isatty(fileno(stdout)) != 0;
  return convert_recording(options, stdout, stderr);
}
