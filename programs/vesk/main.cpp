// vesk [RECORDING...] [--out DIR] [--no-menu] [--quiet] [--threads N] [--first N] [--count M]
//      [--byte-order little|big] [--depth D] [--start-utc T] [--psf FWHM] [--replace]
//      [--max-memory SIZE] [--max-reports N] [--site ...] [--range LO,HI] [--fps F]
//      [--follow [--idle SECONDS]] [--mask FILE]
// Without arguments VESK works on the frame folder where it is started; with a recording it reads
// the frames straight from it into the run folder NAME.vesk (or --out DIR).
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/signals.h"
#include "control/command_line.h"
#include "control/driver.h"
#include "programs/version_line.h"
#include "run/run_folder.h"
#include "sources/ser_source.h"

namespace {

// --help: the usage line, then every option and what it means.
constexpr const char* kHelp =
    "\n"
    "Finds lunar impact flashes. Without RECORDING, works on the frame folder where it is started\n"
    "(BMP_RAW/a00000.bmp ..., settings.txt) with its parameter menu. With RECORDING (a SER file, "
    "a\n"
    "video FFmpeg decodes, a FITS cube or a folder of FITS frames) reads the frames straight from\n"
    "it into the run folder NAME.vesk.\n"
    "\n"
    "  --out DIR            the run folder (default: NAME.vesk in the current folder)\n"
    "  --no-menu            start at once with settings.txt, no menu (for scripts)\n"
    "  --quiet              leave out the Processing frame lines (reports still shown)\n"
    "  --threads N          worker threads; 0 (default) for one per core\n"
    "  --first N            start at recording frame N (from 0); it is numbered frame 0\n"
    "  --count M            read at most M frames\n"
    "  --byte-order little|big  the byte order of 16-bit SER samples (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --depth D            the bit depth of the samples, 8 to 16 (default: from the header,\n"
    "                       checked on the first frames)\n"
    "  --start-utc T        the UTC of the recording's frame 0, e.g. 2024-03-15T21:04:05.25Z,\n"
    "                       for a recording without a clock of its own (1990 to 2100)\n"
    "  --replace            start afresh a run folder that holds another recording's run (its\n"
    "                       settings.txt kept); without it such a folder is refused\n"
    "  --max-memory SIZE    the most memory the run may take, e.g. 512M or 2G (default: what the\n"
    "                       machine, the cgroup and the address-space limit allow)\n"
    "  --max-reports N      draw report images and review pictures for the first N reports\n"
    "                       only; flash_info.dat and flashes.csv stay complete (default: all)\n"
    "  --                   ends the options: what follows is the recording's name\n"
    "  --psf FWHM           the optics' full width at half maximum in pixels, 0.5 to 20; an\n"
    "                       event narrower than 0.6 of it is classed sharp (default: measured\n"
    "                       on the Moon's limb in the mean frame)\n"
    "  --site LAT,LON[,HEIGHT]  the observer's site (degrees north, degrees east, metres): every\n"
    "                       event gets its selenographic latitude and longitude (site.txt keeps "
    "it)\n"
    "  --mirror yes|no      the image is mirror-reversed (a star diagonal): needed for places\n"
    "  --rotation DEG[@UTC] position angle of the image's up direction (north through east),\n"
    "                       when the lit limb cannot give it; @UTC: measured then (--mount altaz)\n"
    "  --mount altaz|equatorial  an alt-azimuth mount turns the image with the parallactic angle\n"
    "  --scale ARCSEC       arcseconds per pixel: fixes the disc's radius from the ephemeris\n"
    "  --range LO,HI        real-number FITS samples: the values shown as black and white for\n"
    "                       the whole run (default: the first frames' 0.1 and 99.9 percentiles)\n"
    "  --fps F              frames per second: a FITS cube's after its DATE-OBS, or a SER\n"
    "                       recording's without frame times (with --start-utc, or for seconds)\n"
    "  --follow             read a SER recording while the capture program writes it, to its\n"
    "                       close, then the next file of its numbering (night_0002.ser after\n"
    "                       night_0001.ser); SIGINT or SIGTERM ends it with exit status 0\n"
    "  --idle SECONDS       with --follow: end after this long without a new frame (default 30)\n"
    "  --mask FILE          an 8-bit grey PNG (or BMP) of the frames' size, copied into the\n"
    "                       run folder as mask.png: only pixels of 128 or more are scanned\n"
    "  -h, --help           this text\n"
    "  --version            the version and the git commit this program was built from\n"
    "\n"
    "A run removes only the files it writes; SIGINT or SIGTERM ends it with its summary and page.\n"
    "Exit status: 0 done (warnings included), 1 stopped on an error, a signal or lost output, 2 "
    "bad\n"
    "command line. Manual: docs/usage.md";

}  // namespace

int main(int argc, char** argv) {
  ignore_write_signals();
  if (asks_version(argc, argv)) {
    std::printf("%s\n", version_line("vesk").c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const volatile std::sig_atomic_t* stop = install_stop_signals();
  if (argc <= 1) {
    RunOptions options;
    options.stop = stop;
    return run_vesk(".", options, stdin, stdout, stderr);
  }

  const std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine line;
  std::string error;
  if (!parse_command_line(args, line, &error)) {
    print_message(stdout, stderr, error);
    return 2;
  }
  if (line.help) {
    std::printf("%s%s\n", kVeskUsage, kHelp);
    return 0;
  }
  // A SER without frame times needs its frame rate beside a start time: a fault of the line.
  for (const std::string& recording :
       line.recordings.empty() ? std::vector<std::string>{line.recording} : line.recordings) {
    if (!recording.empty() && !check_ser_start_time(recording, line.reading, &error)) {
      print_message(stdout, stderr, error);
      return 2;
    }
  }
  RunOptions options;
  options.recording = line.recording;
  options.recordings = line.recordings;
  options.reading = line.reading;
  options.menu = !line.no_menu;
  options.frame_lines = !line.quiet;
  options.threads = line.threads;
  options.replace = line.replace;
  options.max_memory = line.max_memory;
  options.max_reports = line.max_reports;
  options.command_options = line.options;
  options.stop = stop;
  options.site = line.site;
  options.psf = line.psf;
  // The line that rewrites itself is only worth it on a terminal; elsewhere a line per frame.
  options.progress_line = !line.recording.empty() && isatty(fileno(stdout)) != 0;
  options.follow = line.follow;
  options.idle_seconds = line.idle_seconds;
  options.mask_file = line.mask;
  if (line.follow) {
    // Following shows its own live line on the error stream's terminal in place of the progress
    // line, and then leaves out the per-frame lines that would scroll it away.
    options.progress_line = false;
    options.live_line = isatty(fileno(stderr)) != 0;
    if (options.live_line) options.frame_lines = false;
  }
  if (!line.recording.empty()) {
    // The installed data files lie beside bin/ in share/vesk; a build tree uses the sources' data/.
    options.data_folders =
        data_folder_candidates(argv[0], VESK_INSTALLED_DATA_FROM_BIN, VESK_SOURCE_DATA_DIR);
  }
  return run_vesk(run_folder_of(line), options, stdin, stdout, stderr);
}
