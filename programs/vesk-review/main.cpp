// vesk-review [RUN_DIR]
// Builds RUN_DIR/review/index.html, the page on which an observer looks through a run's flash
// events and decides on each, from the run's flashes.csv, lightcurves.csv, the pictures in
// review/ and, when present, decisions.csv. RUN_DIR defaults to the current folder.
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/message.h"
#include "base/signals.h"
#include "programs/version_line.h"
#include "review/review_page.h"
#include "run/folder_guard.h"

namespace {

constexpr const char* kUsage =
    "usage: vesk-review [RUN_DIR]\n"
    "Builds RUN_DIR/review/index.html (RUN_DIR defaults to the current folder) from the run's\n"
    "flashes.csv, lightcurves.csv, the event pictures in review/ and decisions.csv if present.\n"
    "Open the page from the disk in a browser; the decisions made on it are saved from there.\n"
    "\n"
    "  --                   the next argument is the run folder, even if it starts with -\n"
    "  -h, --help           this text\n"
    "  --version            the version and the git commit this program was built from\n"
    "\n"
    "Exit status: 0 done, 1 a bad catalogue file or a failed write, 2 bad command line.\n"
    "Manual: docs/review.md";

}  // namespace

int main(int argc, char** argv) {
  ignore_write_signals();
  if (asks_version(argc, argv)) {
    std::printf("%s\n", version_line("vesk-review").c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  std::string run_folder = ".";
  bool have_folder = false;
  bool options_done = false;  // after "--" every argument is a folder name
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && (arg == "-h" || arg == "--help")) {
      std::printf("%s\n", kUsage);
      return 0;
    }
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      print_message(stdout, stderr, "vesk-review: unknown option " + arg + " (see --help)");
      return 2;
    }
    if (arg.empty()) {
      std::fprintf(stderr, "vesk-review: the run folder name is empty\n");
      return 2;
    }
    if (have_folder) {
      print_message(stdout, stderr,
                    "vesk-review: one run folder at most, got " + arg + " as well (see --help)");
      return 2;
    }
    run_folder = arg;
    have_folder = true;
  }

  ReviewPageResult result;
  std::string error;
  // The page is built from the run's files: never while a run writes them.
  RunFolderLock lock;
  std::error_code ec;
  if (std::filesystem::is_directory(run_folder, ec) && !lock_run_folder(run_folder, lock, &error)) {
    print_message(stdout, stderr, error);
    return 1;
  }
  const bool ok = write_review_page(run_folder, result, &error);
  for (const auto& notice : result.notices) print_message(stdout, stderr, notice);
  if (!ok) {
    print_message(stdout, stderr, error);
    return 1;
  }
  std::printf("Wrote %s (%d event%s)\n", escaped_text(result.page.string()).c_str(), result.events,
              result.events == 1 ? "" : "s");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
