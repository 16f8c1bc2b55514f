// make_demo_frames as a program: bad options stop it with one line and exit status 2 before
// anything is written, and --noise (the camera's read noise) adds to the shot noise of the night
// side in quadrature, so the frame-to-frame spread of a night-side pixel grows by what was asked.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 40;

// Writes a recording without events into `folder` with read noise `sigma` (none given when
// empty).
void generate(const std::string& folder, const std::string& sigma) {
  const std::string command = std::string("'") + VESK_TOOLS_DIR +
                              "/make_demo_frames' --size 320x240 --frames 40 --ring 10 "
                              "--flashes 0 --hits 0 --glints 0" +
                              (sigma.empty() ? "" : " --noise " + sigma) + " " + folder +
                              " > generator.txt 2>&1";
  ASSERT_EQ(run_command(command).exit_status, 0) << read_text("generator.txt");
}

// Root mean square over a block of the night side (columns 0.3 to 0.6 of the width, rows 0.2 to
// 0.8 of the height) of each pixel's standard deviation over the frames.
double night_time_spread(const std::string& folder) {
  const int x0 = kWidth * 3 / 10, x1 = kWidth * 6 / 10;
  const int y0 = kHeight * 2 / 10, y1 = kHeight * 8 / 10;
  const std::size_t block = static_cast<std::size_t>(x1 - x0) * (y1 - y0);
  std::vector<double> sum(block), squares(block);
  for (int f = 0; f < kFrames; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "/BMP_RAW/a%05d.bmp", f);
    const std::vector<std::uint8_t> frame = read_file(folder + name);
    if (frame.size() != 54u + kWidth * kHeight) return -1.0;
    std::size_t k = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x, ++k) {
        const double v = frame[54 + static_cast<std::size_t>(y) * kWidth + x];
        sum[k] += v;
        squares[k] += v * v;
      }
    }
  }
  double variance = 0.0;
  for (std::size_t k = 0; k < block; ++k) {
    const double mean = sum[k] / kFrames;
    variance += (squares[k] - kFrames * mean * mean) / (kFrames - 1);
  }
  return std::sqrt(variance / static_cast<double>(block));
}

TEST(DemoNoise, ReadNoiseAddsToTheShotNoiseFloor) {
  ScratchDir dir;
  generate("floor", "0");
  generate("three", "3");
  generate("default", "");
  generate("default_named", "1.6");
  const double floor = night_time_spread("floor");
  const double three = night_time_spread("three");
  // Shot noise of the earthshine (about 50 grey levels, 12 electrons per level) and rounding.
  EXPECT_NEAR(floor, std::sqrt(50.0 / 12.0 + 1.0 / 12.0), 0.25);
  EXPECT_NEAR(std::sqrt(three * three - floor * floor), 3.0, 0.15);
  // Without --noise the camera is the one the shipped defaults were measured with.
  EXPECT_EQ(read_file("default/BMP_RAW/a00017.bmp"), read_file("default_named/BMP_RAW/a00017.bmp"));
}

struct BadOptions {
  std::string options;
  std::string message;
};

TEST(DemoGeneratorOptions, BadOptionsStopWithOneLineAndWriteNothing) {
  const BadOptions cases[] = {
      {"--noise -1 out", "--noise -1: need a number of grey levels from 0 to 50"},
      {"--noise 51 out", "--noise 51: need a number of grey levels from 0 to 50"},
      {"--noise nan out", "--noise nan: need a number of grey levels from 0 to 50"},
      {"--noise 2x out", "--noise 2x: need a number of grey levels from 0 to 50"},
      {"--noise '' out", "--noise : need a number of grey levels from 0 to 50"},
      {"--size 640 out", "--size 640: need WIDTHxHEIGHT"},
      {"--size 100x200 out", "--size width 100: need a whole number from 160 to 8192"},
      {"--frames 2 out", "--frames 2: need a whole number from 3 to 99999"},
      {"--seed -4 out", "--seed -4: need a whole number from 0"},
      {"--colour 1 out", "--colour: unknown option"},
      {"out --frames", "--frames: needs a value"},
      {"out other", "other: only one output folder may be given"},
      {"--frames 100", "no output folder given"},
      {"--frames 50 out", "--frames 50: VESK needs at least --ring 60 (Images_in_buffer) frames"},
      {"--frames 120 --size 320x240 out",
       "17 events 30 frames apart need 521 frames; --frames 120 is too few"},
  };
  for (const BadOptions& c : cases) {
    SCOPED_TRACE(c.options);
    ScratchDir dir;
    const ProgramRun run =
        run_command(std::string("'") + VESK_TOOLS_DIR + "/make_demo_frames' " + c.options);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "make_demo_frames: " + c.message + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(in_scratch("out")));
  }
}

TEST(DemoGeneratorOptions, AnOutputFolderThatCannotBeMadeIsAnError) {
  ScratchDir dir;
  write_text("out", "a file where the folder should be\n");
  const ProgramRun run = run_command(std::string("'") + VESK_TOOLS_DIR +
                                     "/make_demo_frames' --frames 60 --flashes 1 --hits 0 "
                                     "--glints 0 --size 160x120 out");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err.rfind("make_demo_frames: out/BMP_RAW: cannot create: ", 0), 0u) << run.err;
}

}  // namespace
