// vesk RECORDING --site as a user meets it: a SER recording of a crescent Moon with earthshine,
// a flash on the night side, one on the sunlit crescent and one in the sky beside the Moon; the
// places in flashes.csv, the fits in moon.csv and site.txt in the run folder; the notices when
// places cannot be given, and the bad options and files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <sstream>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kTools = VESK_TOOLS_DIR;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kCx = 150.0, kCy = 120.0, kRadius = 90.0;
constexpr int kFrames = 150;
// Flashes: one on the night side, one in the sky beyond the limb.
constexpr int kNightX = 110, kNightY = 130, kNightFrame = 80;
constexpr int kSkyX = 285, kSkyY = 35, kSkyFrame = 110;
// And one on the sunlit crescent.
constexpr int kLitX = 215, kLitY = 120, kLitFrame = 50;

struct Flash {
  int x, y, frame;
};

// A crescent lit on the right, earthshine 30, sky 12 (brighter than the 5 grey levels the
// detector ignores), noise of 2 grey levels; each flash 3 x 3 pixels for one frame. From frame
// `moved_from` on (when not -1) the disc is 3 pixels further left.
void write_moon_frames(double cx0, double cy, const std::vector<Flash>& flashes,
                       int frames = kFrames, int moved_from = -1) {
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0.0, 2.0);
  for (int f = 0; f < frames; ++f) {
    const double cx = moved_from >= 0 && f >= moved_from ? cx0 - 3.0 : cx0;
    std::vector<std::uint8_t> pixels(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const double dx = (x - cx) / kRadius, dy = (y - cy) / kRadius;
        double v = 12.0;
        if (dx * dx + dy * dy <= 1.0) {
          const double half = std::sqrt(1.0 - dy * dy);
          v = dx > 0.4 * half ? 200.0 : 30.0;
        }
        for (const Flash& flash : flashes) {
          if (f == flash.frame && std::abs(x - flash.x) <= 1 && std::abs(y - flash.y) <= 1) {
            v += 120.0;
          }
        }
        pixels[static_cast<std::size_t>(y) * kWidth + x] =
            static_cast<std::uint8_t>(std::clamp(v + noise(random), 0.0, 255.0));
      }
    }
    write_raw_frame(f, kWidth, kHeight, pixels);
  }
}

// The cells of `column` in a CSV text, one per line after the header.
std::vector<std::string> column(const std::string& csv, const std::string& name) {
  std::istringstream in(csv);
  std::string line;
  std::getline(in, line);
  std::vector<std::string> header;
  {
    std::stringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, ',')) header.push_back(cell);
  }
  const auto at = std::find(header.begin(), header.end(), name);
  std::vector<std::string> values;
  if (at == header.end()) return values;
  const std::size_t index = static_cast<std::size_t>(at - header.begin());
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    std::string cell;
    while (std::getline(s, cell, ',')) cells.push_back(cell);
    while (cells.size() < header.size()) cells.push_back("");
    values.push_back(cells[index]);
  }
  return values;
}

class MoonRun : public ::testing::Test {
 protected:
  void SetUp() override {
    make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 1.5f, 4.0f, 4.0f, 3, 3, 3, 3, 95.0f, 0, 20));
    write_moon_frames(
        kCx, kCy,
        {{kNightX, kNightY, kNightFrame}, {kSkyX, kSkyY, kSkyFrame}, {kLitX, kLitY, kLitFrame}});
    ASSERT_EQ(run_command(quoted(kTools + "/frames_to_ser") + " . night.ser").exit_status, 0);
  }
  ScratchDir dir_;
};

ProgramRun vesk(const std::string& args) {
  return run_command(quoted(VESK_BINARY) + " night.ser --no-menu --quiet " + args + " < /dev/null");
}

TEST_F(MoonRun, PlacesOnTheDiscAndOffMoonInTheSky) {
  // Madrid, 2024-03-15 21:04 UTC: a crescent of about 30% in the west.
  const ProgramRun run = vesk("--out run --site 40.4,-3.7,650 --mirror no");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");
  EXPECT_EQ(read_text("run/site.txt"),
            "Latitude= 40.400000\nLongitude= -3.700000\nHeight= 650.000000\nMirror= no\n"
            "Mount= equatorial\n");
  const std::string moon = read_text("run/moon.csv");
  const std::vector<std::string> radius = column(moon, "radius");
  ASSERT_GE(radius.size(), 1u) << moon;
  // The disc found within a pixel; the Moon above the horizon; the orientation found.
  EXPECT_NEAR(std::stod(column(moon, "cx")[0]), kCx, 1.0) << moon;
  EXPECT_NEAR(std::stod(column(moon, "cy")[0]), kCy, 1.0) << moon;
  EXPECT_NEAR(std::stod(radius[0]), kRadius, 1.0) << moon;
  EXPECT_GT(std::stod(column(moon, "moon_alt")[0]), 0.0);
  EXPECT_NE(column(moon, "rotation")[0], "");
  EXPECT_NEAR(std::stod(column(moon, "illuminated")[0]), 0.3, 0.15);

  const std::string flashes = read_text("run/flashes.csv");
  const std::vector<std::string> frames = column(flashes, "frame");
  const std::vector<std::string> classes = column(flashes, "class");
  const std::vector<std::string> lat = column(flashes, "lat");
  const std::vector<std::string> lon_err = column(flashes, "lon_err");
  bool night_seen = false, sky_seen = false, lit_seen = false;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i] == std::to_string(kNightFrame)) {
      night_seen = true;
      EXPECT_EQ(classes[i], "flash") << flashes;
      EXPECT_NE(lat[i], "") << flashes;
      EXPECT_GT(std::stod(lon_err[i]), 0.0) << flashes;
    }
    if (frames[i] == std::to_string(kLitFrame)) {
      lit_seen = true;
      EXPECT_EQ(classes[i], "sunlit") << flashes;
      EXPECT_NE(lat[i], "") << flashes;
    }
    if (frames[i] == std::to_string(kSkyFrame)) {
      sky_seen = true;
      EXPECT_EQ(classes[i], "off_moon") << flashes;
      EXPECT_EQ(lat[i], "") << flashes;
    }
  }
  EXPECT_TRUE(night_seen) << flashes;
  EXPECT_TRUE(lit_seen) << flashes;
  EXPECT_TRUE(sky_seen) << flashes;

  // The frame folder's run reads site.txt; without frame times it says so once and leaves the
  // places empty.
  fs::copy(in_scratch("run/site.txt"), in_scratch("site.txt"));
  write_text("menu_answer", "0\n");
  const ProgramRun folder = run_command(quoted(VESK_BINARY) + " < menu_answer > /dev/null");
  EXPECT_EQ(folder.exit_status, 0) << folder.err;
  EXPECT_NE(folder.err.find("no UTC time"), std::string::npos) << folder.err;
  EXPECT_EQ(std::ranges::count(without_run_end(folder.err), '\n'), 1) << folder.err;
  for (const std::string& cell : column(read_text("flashes.csv"), "lat")) EXPECT_EQ(cell, "");
}

// The places and the fits of the disc do not depend on the thread count: the disc is fitted in
// the ring's mean frame, which is the same bits for any number of threads.
TEST_F(MoonRun, PlacesAreTheSameForAnyThreadCount) {
  std::string first_flashes, first_moon;
  for (const int threads : {1, 2, 3}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    const std::string out = "run" + std::to_string(threads);
    const ProgramRun run = vesk("--out " + out + " --site 40.4,-3.7,650 --mirror no --threads " +
                                std::to_string(threads));
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string flashes = read_text(out + "/flashes.csv");
    const std::string moon = read_text(out + "/moon.csv");
    ASSERT_FALSE(column(flashes, "lat").empty());
    ASSERT_NE(column(flashes, "lat")[0] + column(flashes, "lat").back(), "") << flashes;
    if (threads == 1) {
      first_flashes = flashes;
      first_moon = moon;
    } else {
      EXPECT_EQ(flashes, first_flashes);
      EXPECT_EQ(moon, first_moon);
    }
  }
}

// vesk-frames keeps the site in the frame folder; vesk run there gives the places the recording's
// run gives.
TEST_F(MoonRun, FrameFolderFromVeskFramesGivesTheSamePlaces) {
  ASSERT_EQ(vesk("--out run --site 40.4,-3.7,650 --mirror no").exit_status, 0);
  const ProgramRun frames = run_command(quoted(VESK_FRAMES_BINARY) +
                                        " night.ser folder --site 40.4,-3.7,650 --mirror no");
  ASSERT_EQ(frames.exit_status, 0) << frames.err;
  EXPECT_EQ(read_text("folder/site.txt"), read_text("run/site.txt"));
  write_text("folder/settings.txt", read_text("run/settings.txt"));
  write_text("menu_answer", "0\n");
  const ProgramRun run =
      run_command("cd folder && " + quoted(VESK_BINARY) + " < ../menu_answer > /dev/null");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");
  EXPECT_EQ(read_text("folder/moon.csv"), read_text("run/moon.csv"));
  EXPECT_EQ(column(read_text("folder/flashes.csv"), "lat"),
            column(read_text("run/flashes.csv"), "lat"));
  EXPECT_NE(column(read_text("folder/flashes.csv"), "lat")[0], "");
}

TEST_F(MoonRun, NoticesWhenPlacesCannotBeGiven) {
  struct Case {
    const char* name;
    std::string args;
    std::string notice;  // in the one line on standard error
    bool places;         // the night-side flash gets a place
  } const cases[] = {
      {"no mirror sense", "--site 40.4,-3.7", "--mirror: not given", false},
      {"the Moon below the horizon", "--site -40.4,176.3 --mirror no",
       "the Moon is below the horizon", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(in_scratch("run"));
    const ProgramRun run = vesk("--out run " + c.args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find(c.notice), std::string::npos) << run.err;
    EXPECT_EQ(std::ranges::count(without_run_end(run.err), '\n'), 1) << run.err;
    const std::string flashes = read_text("run/flashes.csv");
    const std::vector<std::string> frames = column(flashes, "frame");
    const std::vector<std::string> lat = column(flashes, "lat");
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (frames[i] == std::to_string(kNightFrame)) {
        EXPECT_EQ(lat[i] != "", c.places) << flashes;
      }
    }
  }
}

// The disc's right part, with the whole lit crescent, beyond the frame's right edge: the night
// side's limb fixes the disc, but nothing in view tells the orientation. Without --rotation one
// notice and no places; with it, the places are given.
TEST(MoonRunLitLimb, OutOfViewNeedsTheRotation) {
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 1.5f, 4.0f, 4.0f, 3, 3, 3, 3, 95.0f, 0, 20));
  // Centre 10 px beyond the right edge: the limb in view spans about 167 degrees of the circle.
  constexpr double kOutCx = kWidth + 10.0;
  constexpr int kFlashX = 270, kFlashY = 120, kFlashFrame = 80;
  // 12 s of frames, the disc moved after 6 s: two fits of the disc, and still one notice.
  write_moon_frames(kOutCx, kCy, {{kFlashX, kFlashY, kFlashFrame}}, 300, 150);
  ASSERT_EQ(run_command(quoted(kTools + "/frames_to_ser") + " . night.ser").exit_status, 0);
  struct Case {
    const char* name;
    std::string args;
    bool places;
  } const cases[] = {
      {"no rotation", "--site 40.4,-3.7,650 --mirror yes", false},
      {"rotation given", "--site 40.4,-3.7,650 --mirror yes --rotation 25", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(in_scratch("run"));
    const ProgramRun run = vesk("--out run " + c.args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    if (c.places) {
      EXPECT_EQ(without_run_end(run.err), "");
    } else {
      EXPECT_NE(run.err.find("lit limb not in view and no --rotation given"), std::string::npos)
          << run.err;
      EXPECT_EQ(std::ranges::count(without_run_end(run.err), '\n'), 1) << run.err;
    }
    const std::string moon = read_text("run/moon.csv");
    ASSERT_GE(column(moon, "cx").size(), 2u) << moon;
    // The disc itself is found from the night side's limb either way.
    EXPECT_NEAR(std::stod(column(moon, "cx")[0]), kOutCx, 1.5) << moon;
    EXPECT_NEAR(std::stod(column(moon, "radius")[0]), kRadius, 1.5) << moon;
    EXPECT_EQ(column(moon, "rotation")[0] != "", c.places) << moon;
    const std::string flashes = read_text("run/flashes.csv");
    const std::vector<std::string> frames = column(flashes, "frame");
    const std::vector<std::string> lat = column(flashes, "lat");
    const std::vector<std::string> lon = column(flashes, "lon");
    ASSERT_EQ(std::count(frames.begin(), frames.end(), std::to_string(kFlashFrame)), 1) << flashes;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (frames[i] != std::to_string(kFlashFrame)) continue;
      EXPECT_EQ(lat[i] != "", c.places) << flashes;
      EXPECT_EQ(lon[i] != "", c.places) << flashes;
    }
  }
}

TEST_F(MoonRun, BadOptionsAndBadSiteFile) {
  struct Case {
    const char* name;
    std::string args;
    int status;
    std::string err;
  } const cases[] = {
      {"latitude out of range", "--site 95,3", 2,
       "--site: \"95,3\" is not LAT,LON[,HEIGHT] (degrees north -90 to 90, degrees east, "
       "metres)\n"},
      {"mirror word", "--site 40,3 --mirror maybe", 2, "--mirror: \"maybe\" is not yes or no\n"},
      {"scale without site", "--scale 1.2", 2,
       "--site: needed with --mirror, --rotation, --mount and --scale\n"},
      {"alt-azimuth without a time", "--site 40,3 --mount altaz --rotation 10", 2,
       "--mount: altaz needs --rotation DEG@UTC (the rotation and when it was measured)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = vesk("--out bad " + c.args);
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.err, c.err);
    EXPECT_FALSE(fs::exists(in_scratch("bad")));  // nothing touched
  }
  write_text("site.txt", "Latitude= 40\nLongitude= east\n");
  const ProgramRun run = run_command(quoted(VESK_BINARY) + " < /dev/null > /dev/null");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "site.txt: line 2: Longitude: \"east\" is not a number of degrees from -180 to 360\n");
}

}  // namespace
