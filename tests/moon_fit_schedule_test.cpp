// When the disc is fitted: the frame's time is read only where a fit can become due, yet each
// fit falls on the first frame whose time is 60 s or more after the last fit's, at regular
// frame rates, a slow one and a jittery clock. A still disc in a synthetic ring, fed frame by
// frame; the fit frames are read back from moon.csv.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "outputs/moon_places.h"
#include "test_support.h"

namespace {

constexpr int kWidth = 200, kHeight = 160, kRingFrames = 10;

// The ring's sums of a still crescent (radius 60, lit on the right, earthshine 30, sky 12).
std::vector<double> crescent_sums() {
  std::vector<double> sums(static_cast<std::size_t>(kWidth) * kHeight);
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0.0, 0.5);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double dx = (x - 95.0) / 60.0, dy = (y - 80.0) / 60.0;
      double v = 12.0;
      if (dx * dx + dy * dy <= 1.0) v = dx > 0.4 * std::sqrt(1.0 - dy * dy) ? 200.0 : 30.0;
      sums[static_cast<std::size_t>(y) * kWidth + x] = kRingFrames * (v + noise(random));
    }
  }
  return sums;
}

// ISO 8601 UTC `seconds` after 2024-03-15T21:04:00Z.
std::string utc_after(double seconds) {
  const int minutes = static_cast<int>(seconds / 60.0);
  char text[64];
  std::snprintf(text, sizeof text, "2024-03-15T21:%02d:%010.7fZ", 4 + minutes,
                seconds - 60.0 * minutes);
  return text;
}

TEST(MoonFitSchedule, FitsFallOnTheFrameWhoseTimeMakesThemDue) {
  struct Case {
    const char* name;
    double per_frame;  // seconds
    double jitter;     // seconds, uniform either way
  } const cases[] = {
      {"25 frames/s", 0.04, 0.0},
      {"7.3 frames/s", 1.0 / 7.3, 0.0},
      {"30 frames/s, jittery clock", 1.0 / 30.0, 0.004},
      {"1 frame/s", 1.0, 0.0},
  };
  const std::vector<double> sums = crescent_sums();
  const std::vector<std::uint8_t> frames(static_cast<std::size_t>(kWidth) * kHeight * kRingFrames);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::mt19937 random(17);
    std::uniform_real_distribution<double> jitter(-c.jitter, c.jitter);
    std::vector<double> times;
    for (int f = 0; f * c.per_frame < 150.0; ++f)
      times.push_back(f * c.per_frame + (f > 0 ? jitter(random) : 0.0));
    // The rule: the first frame, then each first frame 60 s or more after the last fit.
    std::vector<std::string> expected;
    double last = 0.0;
    for (std::size_t f = 0; f < times.size(); ++f) {
      if (f == 0 || times[f] - last >= kSecondsBetweenFits) {
        expected.push_back(std::to_string(f));
        last = times[f];
      }
    }
    ASSERT_EQ(expected.size(), 3u);

    MoonPlacesSettings settings;
    settings.run_dir = in_scratch("");
    settings.site.site_known = true;
    settings.site.latitude = 40.4;
    settings.site.longitude = -3.7;
    settings.site.mirror = MirrorSense::no;
    std::FILE* messages = std::tmpfile();
    ASSERT_NE(messages, nullptr);
    settings.out = messages;
    settings.err = messages;
    int reads = 0;
    settings.source_times = [&](std::int64_t frame) {
      ++reads;
      FrameTime t;
      t.known = true;
      t.seconds = times[static_cast<std::size_t>(frame)];
      t.utc = utc_after(t.seconds);
      return t;
    };
    const std::unique_ptr<MoonPlaces> places = make_moon_places(settings);
    std::string error;
    ASSERT_EQ(places->start(&error), OutputStatus::ok);
    RingView ring;
    ring.frames = frames;
    ring.pixel_sum = sums;
    ring.geometry = {kWidth, kHeight, kWidth * kHeight};
    ring.images_in_buffer = kRingFrames;
    for (std::size_t f = 0; f < times.size(); ++f) {
      TestedFrame tested;
      tested.newest_frame = static_cast<std::int64_t>(f);
      tested.target_frame = static_cast<std::int64_t>(f);
      ring.target_frame = tested.target_frame;
      ASSERT_EQ(places->frame_tested(tested, ring, &error), OutputStatus::ok);
    }
    ASSERT_EQ(places->finish(RunEnd{}, &error), OutputStatus::ok);
    std::fclose(messages);

    std::istringstream csv(read_text("moon.csv"));
    std::string line;
    std::getline(csv, line);
    std::vector<std::string> fitted;
    while (std::getline(csv, line)) {
      std::vector<std::string> cells;
      std::stringstream in(line);
      for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
      ASSERT_GT(cells.size(), 5u) << line;
      fitted.push_back(cells[0]);
      EXPECT_NE(cells[5], "") << line;  // the disc was found and oriented
    }
    EXPECT_EQ(fitted, expected);
    // Far fewer times read than frames, where there are many frames to a move check.
    if (c.per_frame < 0.2) {
      EXPECT_LT(reads, static_cast<int>(times.size()) / 4);
    }
  }
}

}  // namespace
