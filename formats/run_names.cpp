#include "formats/run_names.h"

#include <array>

#include "formats/completeness_csv.h"
#include "formats/data_dump_txt.h"
#include "formats/flash_info_dat.h"
#include "formats/flashes_csv.h"
#include "formats/frame_times_csv.h"
#include "formats/lightcurves_csv.h"

namespace {

constexpr std::array kNames = {
    RunName{kFlashInfoName, "vesk: every run"},
    RunName{kDataDumpName, "vesk: a run that reads all its frames"},
    RunName{kFlashesName, "vesk: every run"},
    RunName{kLightCurvesName, "vesk: every run"},
    RunName{kFrameTimesName, "vesk on a recording with a clock; vesk-frames"},
    RunName{"BMP_FLASHES/#.bmp", "vesk: a report image per reported frame"},
    RunName{"review/e#_strip.png", "vesk: the close-ups of each event"},
    RunName{"review/e#_crop.png", "vesk: the site of each event"},
    RunName{"review/e#_frame.png", "vesk: the frame of each event"},
    RunName{"review/e#_diff.png", "vesk: the close-ups of each event less the ring's mean"},
    RunName{"review/index.html", "vesk; vesk-review"},
    RunName{"review/events.js", "vesk; vesk-review"},
    RunName{"BMP_RAW/a#.bmp", "vesk-frames: the frames of a recording"},
    RunName{"settings.txt",
            "every program laying out a run folder (when missing); vesk's menu; "
            "vesk-tune --write"},
    RunName{"settings.txt.bak", "vesk-tune --write"},
    RunName{"bmpheader.dat", "every program laying out a run folder, when missing"},
    RunName{"about.txt", "every program laying out a run folder, when missing"},
    RunName{"default.txt", "every program laying out a run folder, when missing"},
    RunName{"tune/completeness.csv", "vesk-tune"},
    RunName{"tune/index.html", "vesk-tune"},
    RunName{"run.txt", "vesk on a recording; vesk-frames"},
    RunName{"tune/run.txt", "vesk-tune"},
};
static_assert(std::string_view(kCompletenessName) == "completeness.csv");

// Whether `text` matches `pattern`, '#' in the pattern standing for one or more digits.
bool matches(std::string_view pattern, std::string_view text) {
  std::size_t t = 0;
  for (const char p : pattern) {
    if (p == '#') {
      const std::size_t start = t;
      while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
      if (t == start) return false;
    } else {
      if (t >= text.size() || text[t] != p) return false;
      ++t;
    }
  }
  return t == text.size();
}

}  // namespace

std::span<const RunName> run_names() {
  return kNames;
}

bool is_run_name(std::string_view relative) {
  constexpr std::string_view kPart = ".part";
  if (relative.size() > kPart.size() && relative.substr(relative.size() - kPart.size()) == kPart) {
    relative.remove_suffix(kPart.size());
  }
  for (const RunName& name : kNames) {
    if (matches(name.path, relative)) return true;
  }
  return false;
}
