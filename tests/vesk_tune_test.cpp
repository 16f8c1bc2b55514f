// vesk-tune on recordings made here: frames of known noise (a flat night side beside a saturated
// block), and a small demo recording with flashes of known peak. The tune itself, its promises
// checked against runs of the detector with the recommended setting alone, and the program as a
// user meets it (options, files written, the recording left alone).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "demo_truth.h"
#include "sources/frame_folder.h"
#include "sources/frame_window.h"
#include "test_support.h"
#include "tune/tune.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrames = 260;
constexpr int kRing = 20;
constexpr double kNoise = 2.5;     // grey levels, standard deviation of every pixel over time
constexpr int kBlockColumn = 130;  // columns from here on are saturated

// Writes kFrames frames: grey 60 with Gaussian noise of kNoise, rounded, and a saturated block
// at the right (a steep edge, as the sunlit crescent gives). Lays out the run folder with
// `settings` (default.txt's when empty).
void write_known_noise(std::uint64_t seed, const std::string& settings) {
  make_run_folder(settings);
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, kNoise);
  std::vector<std::uint8_t> frame(kWidth * kHeight);
  for (int f = 0; f < kFrames; ++f) {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const double v = x >= kBlockColumn ? 255.0 : 60.0 + noise(rng);
        frame[y * kWidth + x] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      }
    }
    write_raw_frame(f, kWidth, kHeight, frame);
  }
}

std::string ring_settings() {
  return settings_text(1, 80, 32, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, kRing);
}

// The tune's input for the run folder `folder`, as run_tune makes it.
TuneInput folder_input(const std::string& folder, int per_bin) {
  TuneInput input;
  std::vector<std::string> problems;
  std::string error;
  EXPECT_TRUE(read_settings_file(folder, "settings.txt", input.settings, problems, nullptr, &error))
      << error;
  input.open = [folder](std::string* open_error) -> std::unique_ptr<FrameSource> {
    std::unique_ptr<FrameSource> folder_source = open_frame_folder(folder, open_error);
    if (folder_source == nullptr) return nullptr;
    return make_frame_window(std::move(folder_source), 0, -1);
  };
  input.flashes_per_bin = per_bin;
  input.threads = 2;
  return input;
}

// What the detector with `setting` alone reports on the pass `pass` of `plan`, through
// process_frames over the injected frames.
std::vector<FoundReport> direct_run(const TuneInput& input, const InjectionPlan& plan, int pass,
                                    const GridSetting& setting) {
  std::string error;
  std::unique_ptr<FrameSource> source =
      make_injecting_source(input.open(&error), pass_spots(plan, pass, input.psf));
  std::vector<FoundReport> reports;
  EXPECT_TRUE(run_one_setting(*source, with_setting(input.settings, setting), reports, &error))
      << error;
  return reports;
}

// The contents of every file under `folder`, by name.
std::map<std::string, std::vector<std::uint8_t>> folder_bytes(const std::string& folder) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    files[entry.path().string()] = read_file(entry.path().string());
  }
  return files;
}

// The built vesk-tune with `args` after the folder `folder`.
ProgramRun run_tune_program(const std::string& folder, const std::string& args = "") {
  return run_command(std::string("'") + VESK_TUNE_BINARY + "' '" + folder + "' " + args);
}

TEST(VeskTune, MeasuresTheNoiseAndScalesFlashesByIt) {
  ScratchDir dir;
  write_known_noise(3, ring_settings());
  const TuneInput input = folder_input(dir.path(), 20);
  TuneOutcome o;
  std::string error;
  ASSERT_TRUE(tune_recording(input, o, &error)) << error;

  // Rounding adds 1/12 of a grey level squared to the variance.
  const double expected = std::sqrt(kNoise * kNoise + 1.0 / 12.0);
  EXPECT_NEAR(o.survey.noise_median, expected, 0.05 * expected);
  EXPECT_TRUE(is_edge_site(o.survey, kBlockColumn - 3, 60));
  EXPECT_FALSE(is_edge_site(o.survey, kBlockColumn - 8, 60));
  EXPECT_FALSE(is_edge_site(o.survey, 60, 60));
  for (const InjectedFlash& f : o.plan.flashes) {
    ASSERT_EQ(
        o.survey.night[static_cast<std::size_t>(std::lround(f.y) * kWidth + std::lround(f.x))], 1)
        << "flash at (" << f.x << ", " << f.y << ") off the night side";
  }

  ASSERT_GE(o.scores.recommended, 0);
  const auto recommended = static_cast<std::size_t>(o.scores.recommended);
  for (const std::size_t i : {recommended, o.scores.current}) {
    const SettingScore& s = o.scores.scores[i];
    EXPECT_EQ(s.injected[5], 20);
    EXPECT_GE(s.recall(5), 0.95) << "20-30 times the noise, grid index " << i;
    EXPECT_LE(s.recall(0), 0.10) << "2-4 times the noise, grid index " << i;
  }
}

// The recommendation keeps its promise on a run of the detector with that setting alone: the
// same flashes found, and no more false alarms than the limit, with the flashes injected.
TEST(VeskTune, RecommendedSettingHoldsOnItsOwnInjectedRun) {
  ScratchDir dir;
  write_known_noise(5, ring_settings());
  TuneInput input = folder_input(dir.path(), 20);
  input.flashes_per_bin = 60;  // 360 flashes: more than the 250 tested frames, two passes
  TuneOutcome o;
  std::string error;
  ASSERT_TRUE(tune_recording(input, o, &error)) << error;
  ASSERT_GE(o.plan.passes, 2);
  ASSERT_GE(o.scores.recommended, 0);
  const SettingScore& best = o.scores.scores[static_cast<std::size_t>(o.scores.recommended)];

  std::array<int, kStrengthBins.size()> found{};
  int alarms = 0;
  for (int pass = 0; pass < o.plan.passes; ++pass) {
    const std::vector<FoundReport> reports = direct_run(input, o.plan, pass, best.setting);
    for (const FoundReport& r : reports) {
      bool injected_here = false;
      for (const InjectedFlash& f : o.plan.flashes) {
        if (f.pass != pass) continue;
        const bool in_frame = r.frame == f.frame || (f.fade_peak > 0 && r.frame == f.frame + 1);
        if (!in_frame || std::hypot(r.x - f.x, r.y - f.y) > kNearRadius) continue;
        injected_here = true;
        if (r.frame == f.frame && std::hypot(r.x - f.x, r.y - f.y) <= kFoundRadius) ++found[f.bin];
      }
      if (!injected_here && !is_edge_site(o.survey, r.x, r.y)) ++alarms;
    }
  }
  EXPECT_EQ(found, best.found);
  EXPECT_LE(alarms * 10000.0 / (o.scores.frames_tested * o.plan.passes), input.false_alarms);
}

// The run tests every frame, the last Images_in_buffer / 2 in the last full ring; the plan puts
// flashes there as anywhere, and the grid finds the strong ones there as a run of the detector
// with that setting alone does.
TEST(VeskTune, FlashesGoIntoTheLastHalfRingToo) {
  ScratchDir dir;
  write_known_noise(11, ring_settings());
  const TuneInput input = folder_input(dir.path(), 20);
  TuneOutcome o;
  std::string error;
  ASSERT_TRUE(tune_recording(input, o, &error)) << error;
  EXPECT_EQ(o.plan.tested_frames, kFrames);
  EXPECT_EQ(o.scores.frames_tested, kFrames);
  const GridSetting current = o.scores.scores[o.scores.current].setting;
  int late = 0;
  for (int pass = 0; pass < o.plan.passes; ++pass) {
    const std::vector<FoundReport> reports = direct_run(input, o.plan, pass, current);
    for (const InjectedFlash& f : o.plan.flashes) {
      if (f.pass != pass || f.frame < kFrames - kRing / 2 || f.strength < 12.0) continue;
      ++late;
      const bool found = std::any_of(reports.begin(), reports.end(), [&f](const FoundReport& r) {
        return r.frame == f.frame && std::hypot(r.x - f.x, r.y - f.y) <= kFoundRadius;
      });
      EXPECT_TRUE(found) << "flash of " << f.strength << " times the noise in frame " << f.frame;
    }
  }
  EXPECT_GE(late, 2) << "no strong flash planned in the last half-ring";
}

TEST(VeskTuneProgram, WriteKeepsTheOldSettingsAndNeverTouchesTheFrames) {
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  const std::string settings_before = read_text("settings.txt");
  const std::string raw = dir.path() + "/BMP_RAW";
  const auto frames_before = folder_bytes(raw);

  const ProgramRun run = run_tune_program(dir.path(), "--write --flashes 10");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(folder_bytes(raw), frames_before);

  // Time_sd 5 over a Min_sd2 floor of 4 loses flashes of 8 to 12 times this noise.
  EXPECT_NE(run.out.find("settings.txt: Time_sd 5 -> "), std::string::npos) << run.out;
  EXPECT_EQ(read_text("settings.txt.bak"), settings_before);
  DetectionSettings old_settings;
  DetectionSettings new_settings;
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(
      read_settings_file(dir.path(), "settings.txt.bak", old_settings, problems, nullptr, &error));
  ASSERT_TRUE(
      read_settings_file(dir.path(), "settings.txt", new_settings, problems, nullptr, &error));
  EXPECT_TRUE(problems.empty());
  EXPECT_NE(grid_setting(new_settings), grid_setting(old_settings));
  EXPECT_EQ(format_settings(with_setting(new_settings, grid_setting(old_settings))),
            format_settings(old_settings));
  EXPECT_FALSE(fs::exists(dir.path() + "/settings.txt.part"));
  EXPECT_FALSE(fs::exists(dir.path() + "/settings.txt.bak.part"));

  const std::string csv = read_text("tune/completeness.csv");
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "time_sd,min_sd2,min_sd1,neighbour_sd,strength_from,strength_to,injected,found,"
            "false_alarms,edge_alarms,frames,noise_alarms,upward_alarms,moving_alarms,uncertain");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 180 * 6);  // default.txt's is in
  EXPECT_NE(csv.find("\n5,4,4,3,8,12,10,"), std::string::npos);
  EXPECT_NE(read_text("tune/index.html").find("<svg"), std::string::npos);
  // The cards' folder holds the strips the page shows, each of them, and no other picture.
  const std::string page = read_text("tune/index.html");
  std::vector<std::string> shown;
  for (std::size_t at = page.find("<img src=\"cards/"); at != std::string::npos;
       at = page.find("<img src=\"cards/", at + 1)) {
    const std::size_t name = at + std::string("<img src=\"cards/").size();
    shown.push_back(page.substr(name, page.find('"', name) - name));
  }
  std::vector<std::string> cards;
  for (const auto& entry : fs::directory_iterator(dir.path() + "/tune/cards")) {
    cards.push_back(entry.path().filename().string());
  }
  std::sort(shown.begin(), shown.end());
  std::sort(cards.begin(), cards.end());
  EXPECT_FALSE(shown.empty());
  EXPECT_EQ(cards, shown);

  // A second run finds the file as it recommends it: nothing written, the backup kept.
  const std::string tuned = read_text("settings.txt");
  const ProgramRun again = run_tune_program(dir.path(), "--write --flashes 10");
  ASSERT_EQ(again.exit_status, 0) << again.err;
  EXPECT_NE(again.out.find("already holds the recommended setting"), std::string::npos);
  EXPECT_EQ(read_text("settings.txt"), tuned);
  EXPECT_EQ(read_text("settings.txt.bak"), settings_before);
}

// A backup that cannot be written leaves settings.txt as it was, and says so.
TEST(VeskTuneProgram, FailedBackupLeavesTheSettingsAlone) {
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  const std::string settings_before = read_text("settings.txt");
  fs::create_directory(dir.path() + "/settings.txt.bak");
  const ProgramRun run = run_tune_program(dir.path(), "--write --flashes 10");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("settings.txt.bak"), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(read_text("settings.txt"), settings_before);
  EXPECT_TRUE(fs::is_directory(dir.path() + "/settings.txt.bak"));
  EXPECT_FALSE(fs::exists(dir.path() + "/settings.txt.bak.part"));
  EXPECT_TRUE(fs::exists(dir.path() + "/tune/index.html"));
}

struct BadArguments {
  const char* args;
  const char* message;
};

// A recording is tuned as it is read by vesk RECORDING, in its own run folder, with the same
// figures as its frames converted into a folder.
TEST(VeskTuneProgram, RecordingTunesLikeItsFrameFolder) {
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  ASSERT_EQ(
      run_command(std::string("'") + VESK_TOOLS_DIR + "/frames_to_ser' . night.ser").exit_status,
      0);
  write_text("night_run/settings.txt", read_text("settings.txt"));
  const ProgramRun folder = run_tune_program(dir.path(), "--flashes 10");
  ASSERT_EQ(folder.exit_status, 0) << folder.err;
  const ProgramRun recording =
      run_command(std::string("'") + VESK_TUNE_BINARY + "' night.ser --out night_run --flashes 10");
  ASSERT_EQ(recording.exit_status, 0) << recording.err;
  EXPECT_EQ(recording.err, "");
  EXPECT_FALSE(fs::exists(in_scratch("night_run/BMP_RAW")));
  const std::string expected = read_text("tune/completeness.csv");
  EXPECT_GT(expected.size(), 100u);
  EXPECT_EQ(read_text("night_run/tune/completeness.csv"), expected);
}

TEST(VeskTuneProgram, BadOptionsSayOneLineAndExitWithTwo) {
  ScratchDir dir;
  const BadArguments cases[] = {
      {"--frist 3", "--frist: unknown option; usage: vesk-tune"},
      {"--count 2", "--count 2: need a whole number from 3 to 99999"},
      {"--first -1", "--first -1: need a whole number from 0 to 99998"},
      {"--flashes", "--flashes: needs a value"},
      {"--false-alarms nan", "--false-alarms nan: need a number from 0 to 1e+06"},
      {"--psf 0.1", "--psf 0.1: need a number from 0.5 to 20"},
      {"a b", "b: only one run folder may be given; usage: vesk-tune"},
      {"--depth 12", "--out, --byte-order, --depth and --start-utc need a recording"},
      {"--site 95,3", "--site: \"95,3\" is not LAT,LON[,HEIGHT] (degrees north -90 to 90"},
      {"--site", "--site: needs a value"},
      {"--site 40,3 --mirror maybe", "--mirror: \"maybe\" is not yes or no"},
      {"--scale 1.2", "--site: needed with --mirror, --rotation, --mount and --scale"},
      {"--site 40,3 --mount altaz --rotation 10", "--mount: altaz needs --rotation DEG@UTC"},
  };
  for (const BadArguments& c : cases) {
    const ProgramRun run = run_command(std::string("'") + VESK_TUNE_BINARY + "' " + c.args);
    EXPECT_EQ(run.exit_status, 2) << c.args;
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << c.args << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.args;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// The site given to vesk-tune, or else the run folder's site.txt, is recorded beside the results;
// a tuning without one leaves no earlier tuning's site behind; a bad site.txt stops it before
// the runs.
TEST(VeskTuneProgram, SiteRecordedBesideTheResults) {
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  ProgramRun run =
      run_tune_program(dir.path(), "--flashes 10 --site 40.4,-3.7,650 --mirror no --scale 1.5");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_text("tune/site.txt"),
            "Latitude= 40.400000\nLongitude= -3.700000\nHeight= 650.000000\nMirror= no\n"
            "Mount= equatorial\nScale= 1.500000\n");
  EXPECT_FALSE(fs::exists(in_scratch("site.txt")));  // the run folder's own is vesk's to write

  write_text("site.txt", "Latitude= 10\nLongitude= 20\nMirror= yes\n");
  run = run_tune_program(dir.path(), "--flashes 10");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_text("tune/site.txt"),
            "Latitude= 10.000000\nLongitude= 20.000000\nHeight= 0.000000\nMirror= yes\n"
            "Mount= equatorial\n");

  fs::remove(in_scratch("site.txt"));
  run = run_tune_program(dir.path(), "--flashes 10");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_FALSE(fs::exists(in_scratch("tune/site.txt")));

  write_text("site.txt", "Latitude= 40\nLongitude= east\n");
  const std::string page = read_text("tune/index.html");
  run = run_tune_program(dir.path(), "--flashes 10");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "site.txt: line 2: Longitude: \"east\" is not a number of degrees from -180 to 360\n");
  EXPECT_EQ(read_text("tune/index.html"), page);  // stopped before the runs
}

TEST(VeskTuneProgram, FolderWithoutFramesOrSettingsStopsWithOne) {
  ScratchDir dir;
  ProgramRun run = run_tune_program(dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "settings.txt: cannot open: No such file or directory\n");
  make_run_folder(ring_settings());
  run = run_tune_program(dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "BMP_RAW/a00000.bmp: cannot open: No such file or directory\n");
  for (int f = 0; f < kRing - 1; ++f) {
    write_raw_frame(f, kWidth, kHeight, std::vector<std::uint8_t>(kWidth * kHeight, 60));
  }
  run = run_tune_program(dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "BMP_RAW: holds 19 frames, fewer than the 20 of Images_in_buffer: the detector cannot "
            "fill its "
            "ring and tests no frame\n");
  EXPECT_FALSE(fs::exists(dir.path() + "/tune"));
}

// The user's path: tune the run folder, then run vesk with what was written. A small demo
// recording (320 x 240, 400 frames) stands in for the full demo, which takes too long here.
TEST(VeskTuneProgram, VeskFindsTheDemoFlashesWithTheTunedSettings) {
  ScratchDir dir;
  const ProgramRun generate =
      run_command(std::string("'") + VESK_TOOLS_DIR +
                  "/make_demo_frames' --size 320x240 --frames 400 --seed 10 --flashes 8 "
                  "--hits 2 '" +
                  dir.path() + "'");
  ASSERT_EQ(generate.exit_status, 0) << generate.err;
  make_run_folder();
  const ProgramRun tune = run_tune_program(dir.path(), "--write --flashes 30");
  ASSERT_EQ(tune.exit_status, 0) << tune.err;
  const ProgramRun vesk = run_vesk_program("0\n");
  ASSERT_EQ(vesk.exit_status, 0) << vesk.err;

  std::vector<demo::TruthRow> events;
  std::vector<demo::FlashReport> reports;
  std::string error;
  ASSERT_TRUE(demo::read_truth((dir.path() + "/truth.csv").c_str(), events, &error)) << error;
  ASSERT_TRUE(demo::read_flash_log((dir.path() + "/flash_info.dat").c_str(), reports, &error))
      << error;
  int bright = 0;
  for (const demo::TruthRow& e : events) {
    if (e.kind != demo::EventKind::Flash || e.peak < 30.0) continue;
    ++bright;
    const bool found = std::any_of(reports.begin(), reports.end(), [&e](const auto& r) {
      return demo::report_matches(r, e, demo::kFoundPixels);
    });
    EXPECT_TRUE(found) << "flash of peak " << e.peak << " in frame " << e.frame << " at (" << e.x
                       << ", " << e.y << ") not reported; tune said:\n"
                       << tune.out;
  }
  ASSERT_GE(bright, 4);
}

}  // namespace

// On a terminal, a tuning shows how far its grid runs are on one line rewritten with '\r' (on
// standard error); elsewhere nothing is added to what it writes.
TEST(VeskTuneProgram, ProgressOnATerminalOnly) {
  if (system("command -v script > /dev/null 2>&1") != 0) GTEST_SKIP() << "script is missing";
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  // script gives vesk-tune a terminal for both its outputs.
  const std::string tune =
      std::string("'") + VESK_TUNE_BINARY + "' '" + dir.path() + "' --flashes 10 --threads 1";
  const ProgramRun on_terminal = run_command("script -qec \"" + tune + "\" /dev/null < /dev/null");
  EXPECT_EQ(on_terminal.exit_status, 0) << on_terminal.out;
  const std::size_t first = on_terminal.out.find("\rvesk-tune: 1 of ");
  ASSERT_NE(first, std::string::npos) << on_terminal.out;
  const int total = std::stoi(on_terminal.out.substr(first + 17));
  EXPECT_GE(total, 3);  // the frames, their negative and at least one pass with flashes
  EXPECT_NE(on_terminal.out.find("\rvesk-tune: " + std::to_string(total) + " of " +
                                 std::to_string(total) + " grid runs done, "),
            std::string::npos);
  const ProgramRun piped = run_tune_program(dir.path(), "--flashes 10 --threads 1");
  EXPECT_EQ(piped.exit_status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(piped.out.find('\r'), std::string::npos);
}

// One thread or several give the same tune/ files byte for byte (on several, the grid's runs go
// side by side and the cards of the frames and of their negative are drawn at once), apart from
// the time and thread count the page states.
TEST(VeskTuneProgram, SameFilesOnOneThreadAndOnSeveral) {
  ScratchDir dir;
  write_known_noise(7, ring_settings());
  std::map<std::string, std::vector<std::uint8_t>> tuned[2];
  for (const int k : {0, 1}) {
    const ProgramRun run = run_tune_program(
        dir.path(), k == 0 ? "--flashes 10 --threads 1" : "--flashes 10 --threads 3");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    tuned[k] = folder_bytes(dir.path() + "/tune/cards");
    tuned[k]["completeness.csv"] = read_file(dir.path() + "/tune/completeness.csv");
    tuned[k]["mask.png"] = read_file(dir.path() + "/tune/mask.png");
    const std::string page = std::regex_replace(read_text("tune/index.html"),
                                                std::regex("[0-9.]+ s on [0-9]+ threads?"), "");
    tuned[k]["index.html"] = std::vector<std::uint8_t>(page.begin(), page.end());
  }
  EXPECT_GT(tuned[0].size(), 5u);
  EXPECT_EQ(tuned[0], tuned[1]);
}

// The grid's runs each hold a ring, and as many go at once as there are threads: their whole
// memory is checked before any is taken. Under an address-space limit of 200 MB, six runs at once
// (the frames, their negative and one injected pass, each run's grid split in two for eight
// threads) on frames of 1024 x 768 (a ring of 60) are refused with one line, nothing written.
TEST(VeskTuneProgram, ParallelRunsCountedInTheMemoryCheck) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit and AddressSanitizer do not mix";
#endif
  ScratchDir dir;
  ASSERT_EQ(run_command(std::string("'") + VESK_TOOLS_DIR +
                        "/make_demo_frames' --size 1024x768 --frames 100 --flashes 2 --hits 0 "
                        "--glints 0 --seed 5 big")
                .exit_status,
            0);
  const ProgramRun run = run_command(std::string("ulimit -v 204800; '") + VESK_TUNE_BINARY +
                                     "' big --threads 8 --flashes 2");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "BMP_RAW: the grid, 6 runs at once (each a ring of 60 frames of 1024 x 768) needs 361 "
            "MiB, more than the 200 MiB of the address-space limit; give fewer --threads or lower "
            "Images_in_buffer\n");
  EXPECT_FALSE(fs::exists(in_scratch("big/tune/completeness.csv")));
}
