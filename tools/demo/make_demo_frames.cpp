// Writes a synthetic recording of the Moon's night side in the frame layout VESK reads, with
// known events, so that a run can be scored against the truth file (demo_truth.h).
//
// The scene (demo_scene.h) is drawn once; each frame (demo_frames.h) moves it with the seeing,
// adds the events of that frame (demo_events.h) and the camera's noise. Every value comes from
// std::mt19937_64 streams seeded from --seed (demo_random.h), so a seed gives the same frames
// wherever the program is built.
//
// Usage: make_demo_frames [--size WxH] [--frames N] [--seed S] [--flashes N] [--hits N]
//                         [--glints N] [--ring N] [--noise SIGMA] [--truth FILE] OUTDIR
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "demo_events.h"
#include "demo_frames.h"
#include "demo_scene.h"
#include "demo_truth.h"
#include "run/run_folder.h"

namespace {

struct Options {
  int width = 720;
  int height = 576;
  int frames = 600;
  std::uint64_t seed = 1;
  int flashes = 12;
  int hits = 4;
  int glints = 1;
  int ring = 60;
  double read_noise = demo::kDefaultReadNoise;
  std::string out_dir;
  std::string truth_path;  // OUTDIR/truth.csv when empty
};

constexpr const char* kUsage =
    "usage: make_demo_frames [--size WxH] [--frames N] [--seed S] [--flashes N] [--hits N]\n"
    "                        [--glints N] [--ring N] [--noise SIGMA] [--truth FILE] OUTDIR\n"
    "Writes OUTDIR/BMP_RAW/a00000.bmp ... and the truth file (OUTDIR/truth.csv), and makes\n"
    "OUTDIR a run folder (BMP_FLASHES, the data files, settings.txt unless there).\n"
    "--noise: the camera's read noise in grey levels (standard deviation); shot noise comes on\n"
    "top, sqrt(level / 12) grey levels at each pixel's level.\n"
    "Defaults: --size 720x576 --frames 600 --seed 1 --flashes 12 --hits 4 --glints 1 --ring 60\n"
    "          --noise 1.6\n";

bool parse_int(const char* text, long lo, long hi, const char* option, long& value,
               std::string* error) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < lo || value > hi) {
    *error = std::string(option) + " " + text + ": need a whole number from " + std::to_string(lo) +
             " to " + std::to_string(hi);
    return false;
  }
  return true;
}

bool parse_size(const char* value, Options& o, std::string* error) {
  const std::string text = value;
  const std::size_t cross = text.find('x');
  if (cross == std::string::npos) {
    *error = "--size " + text + ": need WIDTHxHEIGHT";
    return false;
  }
  long w = 0;
  long h = 0;
  if (!parse_int(text.substr(0, cross).c_str(), 160, 8192, "--size width", w, error) ||
      !parse_int(text.substr(cross + 1).c_str(), 120, 8192, "--size height", h, error)) {
    return false;
  }
  o.width = static_cast<int>(w);
  o.height = static_cast<int>(h);
  return true;
}

bool parse_seed(const char* value, Options& o, std::string* error) {
  char* end = nullptr;
  errno = 0;
  o.seed = std::strtoull(value, &end, 10);
  if (end == value || *end != '\0' || errno != 0 || value[0] == '-') {
    *error = std::string("--seed ") + value + ": need a whole number from 0";
    return false;
  }
  return true;
}

bool parse_noise(const char* value, Options& o, std::string* error) {
  char* end = nullptr;
  errno = 0;
  const double sigma = std::strtod(value, &end);
  if (end == value || *end != '\0' || errno != 0 || !std::isfinite(sigma) || sigma < 0.0 ||
      sigma > 50.0) {
    *error = std::string("--noise ") + value + ": need a number of grey levels from 0 to 50";
    return false;
  }
  o.read_noise = sigma;
  return true;
}

// The whole-number options: name, smallest and largest value, where it goes.
struct IntOption {
  const char* name;
  long lo;
  long hi;
  int Options::*member;
};

constexpr IntOption kIntOptions[] = {
    {"--frames", 3, 99999, &Options::frames}, {"--flashes", 0, 10000, &Options::flashes},
    {"--hits", 0, 10000, &Options::hits},     {"--glints", 0, 10000, &Options::glints},
    {"--ring", 3, 10000, &Options::ring},
};

// Sets the option `name` from `value`.
bool parse_option(const std::string& name, const char* value, Options& o, std::string* error) {
  if (name == "--size") return parse_size(value, o, error);
  if (name == "--seed") return parse_seed(value, o, error);
  if (name == "--noise") return parse_noise(value, o, error);
  if (name == "--truth") {
    o.truth_path = value;
    return true;
  }
  for (const IntOption& option : kIntOptions) {
    if (name != option.name) continue;
    long n = 0;
    if (!parse_int(value, option.lo, option.hi, option.name, n, error)) return false;
    o.*option.member = static_cast<int>(n);
    return true;
  }
  *error = name + ": unknown option";
  return false;
}

// Checks that the options together make a recording VESK can run on.
bool check_options(Options& o, std::string* error) {
  if (o.out_dir.empty()) {
    *error = "no output folder given";
    return false;
  }
  if (o.frames < o.ring) {
    *error = "--frames " + std::to_string(o.frames) + ": VESK needs at least --ring " +
             std::to_string(o.ring) + " (Images_in_buffer) frames";
    return false;
  }
  if (o.truth_path.empty()) {
    o.truth_path = (std::filesystem::path(o.out_dir) / "truth.csv").string();
  }
  return true;
}

bool parse_options(int argc, char** argv, Options& o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 2 || arg[0] != '-') {
      if (!o.out_dir.empty()) {
        *error = arg + ": only one output folder may be given";
        return false;
      }
      o.out_dir = arg;
      continue;
    }
    if (i + 1 >= argc) {
      *error = arg + ": needs a value";
      return false;
    }
    if (!parse_option(arg, argv[++i], o, error)) return false;
  }
  return check_options(o, error);
}

// Writes the truth file of `spots` and the frames of `scene` into o.out_dir. False with `error`
// on failure.
bool write_recording(const Options& o, const demo::Scene& scene,
                     const std::vector<demo::Spot>& spots, std::string* error) {
  const std::filesystem::path raw = std::filesystem::path(o.out_dir) / "BMP_RAW";
  std::error_code ec;
  std::filesystem::create_directories(raw, ec);
  if (ec) {
    *error = raw.string() + ": cannot create: " + ec.message();
    return false;
  }
  if (!demo::write_truth(o.truth_path.c_str(), demo::truth_rows(spots), error)) return false;
  const demo::FrameRun run{raw.string(), o.frames, o.seed, o.read_noise};
  if (!demo::write_frames(run, scene, spots, error)) return false;
  // The rest of a run folder, as vesk-frames lays it out: files already there are kept.
  return lay_out_run_folder(o.out_dir, VESK_SOURCE_DATA_DIR, RawFrames::folder, error);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Options o;
  std::string error;
  if (!parse_options(argc, argv, o, &error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 2;
  }
  const demo::Scene scene = demo::make_scene(o.width, o.height, o.seed);
  const demo::EventPlan plan{o.seed, o.frames, o.ring, o.flashes, o.hits, o.glints};
  std::vector<demo::Spot> spots;
  // Events that do not fit the frames or the night side asked for are a matter of the options;
  // nothing is written then.
  if (!demo::plan_events(plan, scene, spots, &error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 2;
  }
  if (!write_recording(o, scene, spots, &error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 1;
  }
  int counts[5] = {};
  for (const demo::Spot& s : spots) ++counts[static_cast<int>(s.kind)];
  const std::string raw = (std::filesystem::path(o.out_dir) / "BMP_RAW").string();
  std::printf(
      "Wrote %d frames of %dx%d to %s, and %s: %d flashes (%d fading over two frames), %d "
      "single-pixel hits, %d glint frames\n",
      o.frames, o.width, o.height, raw.c_str(), o.truth_path.c_str(), counts[0], counts[1],
      counts[2] + counts[3], counts[4]);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "make_demo_frames: standard output: write failed\n");
    return 1;
  }
  return 0;
}
