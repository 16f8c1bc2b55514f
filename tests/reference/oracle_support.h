// What the fast path's tests, its fuzz target and the benches share: a ring owned in one piece,
// a repeatable random source, synthetic frames, the comparison of the fast detector with the
// oracle, and a whole run done the straightforward way.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/frame_geometry.h"
#include "control/settings.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"

// xorshift64*: the same sequence with every standard library.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

// A ring of `images` frames of width x height, every pixel `background`, with its two sums.
struct TestRing {
  FrameGeometry geometry;
  int n;
  std::vector<std::uint8_t> frames;
  std::vector<double> sum;
  std::vector<double> sq_dev;

  TestRing(int width, int height, int images, std::uint8_t background = 0);
  FrameRing view();
  std::span<std::uint8_t> slot(int s);
  std::uint8_t& at(int s, int x, int y);
  std::size_t chunks() const;
};

// The kinds of frames: noise on a slope, saturated and dark thirds, or any value at all. Every
// frame may carry a few bright spots, from single pixels to 3 x 2 groups.
enum class Scene { Noise, SaturatedAndDark, FullRange };

void draw_frame(Scene scene, Random& random, int width, int height, std::span<std::uint8_t> frame);

// Settings the fast path is compared under: default.txt with limits 1 to 20, Flash_sd_sep 10,
// Neighbour_sd 3, Time_sd 3, both floors 4, the least borders (1, 1, 2, 2), not interlaced.
DetectionSettings oracle_settings(int images_in_buffer);

// The thresholds the driver would build from `settings`.
DetectionThresholds thresholds_of(const DetectionSettings& settings);

// The oracle's and the fast detector's results (without and with the candidate map), each
// carried from call to call as the run carries its measurement.
struct DetectorRuns {
  DetectionResult slow;
  DetectionResult plain;
  DetectionResult mapped;
};

// Runs the three on `target` and compares answers, counts, listed pixels, marked frames and all
// nine measured values bit for bit. Returns "" when they agree, else the first difference.
std::string compare_detectors(TestRing& ring, int target, const DetectionThresholds& thresholds,
                              DetectorRuns& runs);

// The run of `run_dir` as the straightforward code does it: the ring filled from the frame files,
// then per frame a recomputation every 100 frame numbers, retire, read (re-reading frames N/2 to
// N - 1 from their files), admit and the oracle detector, the accepted frames logged and
// reported through the program's writers, and data_dump.txt at the end of input; then the last
// N/2 frames tested in the last ring, its sums recomputed. False with `error` when a file cannot
// be read or written.
bool reference_run(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                   std::string* error);

// reference_run scanning only the pixels `mask` leaves in (DetectionThresholds::mask; empty:
// every pixel), as vesk does with a mask.png of the same pixels.
bool reference_run(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                   std::span<const std::uint8_t> mask, std::string* error);
