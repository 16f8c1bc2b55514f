// The fast per-frame path against the straightforward oracle of reference_detection: the running
// sums, the load step, the candidate bound and the detector bit for bit, and whole runs of vesk
// file for file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "control/driver.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "imaging/flash_report.h"
#include "reference/oracle_support.h"
#include "reference/reference_detection.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

void fill_scene(TestRing& ring, Scene scene, Random& random) {
  for (int s = 0; s < ring.n; ++s) {
    draw_frame(scene, random, ring.geometry.image_width, ring.geometry.image_height, ring.slot(s));
  }
}

// Moves `ring` on by `steps` frames the straightforward way, with no recomputation in between,
// so that pixel_sq_dev drifts from what a recomputation would give.
void drift(TestRing& ring, Scene scene, Random& random, int steps) {
  for (int step = 0; step < steps; ++step) {
    const int slot = step % ring.n;
    reference::retire_slot(ring.view(), slot);
    draw_frame(scene, random, ring.geometry.image_width, ring.geometry.image_height,
               ring.slot(slot));
    reference::admit_slot(ring.view(), slot);
  }
}

template <typename T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The first index at which two arrays differ in any bit, or -1.
long first_difference(const std::vector<double>& a, const std::vector<double>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_bits(a[i], b[i])) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(a.size());
}

void expect_same_sums(TestRing& fast, TestRing& slow) {
  EXPECT_EQ(fast.frames, slow.frames);
  const long sum_at = first_difference(fast.sum, slow.sum);
  EXPECT_EQ(sum_at, -1) << "pixel_sum " << fast.sum[sum_at] << " vs " << slow.sum[sum_at];
  const long dev_at = first_difference(fast.sq_dev, slow.sq_dev);
  EXPECT_EQ(dev_at, -1) << "pixel_sq_dev " << fast.sq_dev[dev_at] << " vs " << slow.sq_dev[dev_at];
}

// A measurement whose fields no detector writes, so unwritten fields show.
FlashMeasurement sentinel_measurement() {
  const float v = -7.0f;
  return {v, v, v, v, v, v, v, v, v};
}

DetectionSettings base_settings(int images) {
  return oracle_settings(images);
}

// The three detectors' results, each measurement starting at the sentinel.
DetectorRuns sentinel_runs() {
  DetectorRuns runs;
  runs.slow.measurement = sentinel_measurement();
  runs.plain = runs.slow;
  runs.mapped = runs.slow;
  return runs;
}

// The oracle and both fast forms on `target`, compared in everything they give; answers the
// oracle's result.
int compare(TestRing& ring, int target, const DetectionSettings& settings, DetectorRuns& runs) {
  EXPECT_EQ(compare_detectors(ring, target, thresholds_of(settings), runs), "");
  return runs.slow.found ? 1 : 0;
}

}  // namespace

// Many frames replaced with no recomputation in between (so pixel_sq_dev drifts), over saturated,
// dark and full-range values, N from 3 to 60, odd and even, frame sizes that leave vector and
// chunk tails: every byte and every bit of both sums stays the same as the four-pass update's.
TEST(FastPath, RunningSumsMatchTheStraightforwardPassesBitForBit) {
  struct Case {
    const char* name;
    int width;
    int height;
    int images;
    Scene scene;
    int steps;
  };
  const std::vector<Case> cases = {
      {"N 60, noise", 23, 17, 60, Scene::Noise, 250},
      {"N 3, saturated and dark", 16, 9, 3, Scene::SaturatedAndDark, 300},
      {"odd N 7, full range", 13, 11, 7, Scene::FullRange, 300},
      {"odd N 5, noise, one short row", 67, 1, 5, Scene::Noise, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Random random{0x1234567ULL + static_cast<std::uint64_t>(c.images)};
    TestRing fast(c.width, c.height, c.images);
    fill_scene(fast, c.scene, random);
    TestRing slow = fast;
    TestRing split = fast;

    recompute_statistics(fast.view());
    reference::recompute_statistics(slow.view());
    sum_average(split.view());
    sum_sd(split.view());
    expect_same_sums(fast, slow);
    expect_same_sums(split, slow);

    const DetectionSettings settings = base_settings(c.images);
    std::vector<std::uint8_t> entering(static_cast<std::size_t>(fast.geometry.frame_pixels));
    std::vector<std::uint8_t> chunks(fast.chunks());
    for (int step = 0; step < c.steps; ++step) {
      const int slot = step % c.images;
      draw_frame(c.scene, random, c.width, c.height, entering);
      if (step % 2 == 0) {
        replace_slot(fast.view(), slot, entering);
      } else {
        // The run's target slot, or now and then the load slot itself.
        const int target = step % 7 == 1 ? slot : (slot + c.images - c.images / 2) % c.images;
        replace_and_mark(fast.view(), slot, entering, target, thresholds_of(settings), chunks);
        std::vector<std::uint8_t> expected(fast.chunks());
        mark_candidate_chunks(fast.view(), target, thresholds_of(settings), expected);
        EXPECT_EQ(chunks, expected);
      }
      reference::retire_slot(slow.view(), slot);
      std::copy(entering.begin(), entering.end(), slow.slot(slot).begin());
      reference::admit_slot(slow.view(), slot);
      expect_same_sums(fast, slow);
      if (testing::Test::HasFailure()) return;
    }
    // The test only means something if the running pixel_sq_dev has drifted.
    TestRing fresh = slow;
    reference::recompute_statistics(fresh.view());
    EXPECT_NE(first_difference(fresh.sq_dev, slow.sq_dev), -1);
  }
}

// The settings under which the detector is compared: the strict thresholds' neighbours, zero,
// negative, NaN and infinite values, and borders that leave too little or nothing.
struct SettingsCase {
  const char* name;
  std::function<void(DetectionSettings&)> change;
};

const std::vector<SettingsCase>& settings_cases() {
  static const std::vector<SettingsCase> cases = {
      {"base", [](DetectionSettings&) {}},
      {"zero Time_sd", [](DetectionSettings& s) { s.Time_sd = 0.0f; }},
      {"negative Time_sd", [](DetectionSettings& s) { s.Time_sd = -2.0f; }},
      {"minus infinite Time_sd", [](DetectionSettings& s) { s.Time_sd = -kInfinity; }},
      {"infinite Time_sd", [](DetectionSettings& s) { s.Time_sd = kInfinity; }},
      {"NaN Time_sd", [](DetectionSettings& s) { s.Time_sd = kNaN; }},
      {"huge Time_sd", [](DetectionSettings& s) { s.Time_sd = 3e38f; }},
      {"tiny Time_sd", [](DetectionSettings& s) { s.Time_sd = 1e-30f; }},
      {"zero Min_sd2 and Min_sd1",
       [](DetectionSettings& s) {
         s.Min_sd2 = 0.0f;
         s.Min_sd1 = 0.0f;
       }},
      {"negative Min_sd2", [](DetectionSettings& s) { s.Min_sd2 = -4.0f; }},
      {"NaN Min_sd2", [](DetectionSettings& s) { s.Min_sd2 = kNaN; }},
      {"zero Time_sd times infinite Min_sd2",
       [](DetectionSettings& s) {
         s.Time_sd = 0.0f;
         s.Min_sd2 = kInfinity;
       }},
      {"negative Neighbour_sd and Flash_sd_sep",
       [](DetectionSettings& s) {
         s.Neighbour_sd = -1.0f;
         s.Flash_sd_sep = -1.0f;
       }},
      {"zero Neighbour_sd and Flash_sd_sep",
       [](DetectionSettings& s) {
         s.Neighbour_sd = 0.0f;
         s.Flash_sd_sep = 0.0f;
       }},
      {"borders below the reads' needs",
       [](DetectionSettings& s) {
         s.Left_sample_border = -3;
         s.Right_sample_border = 0;
         s.Top_line_limit = 0;
         s.Bott_line_limit = 1;
       }},
      {"borders leaving nothing", [](DetectionSettings& s) { s.Left_sample_border = 1000; }},
  };
  return cases;
}

// Drifted rings of every scene, N from 1 to 60, each settings case: every slot tested in turn,
// with the measurements carried from call to call, gives the oracle's result, count, marked frame
// and nine measured values, bit for bit, with and without the candidate map.
TEST(FastPath, DetectorMatchesTheStraightforwardDetector) {
  struct RingCase {
    const char* name;
    int width;
    int height;
    int images;
    Scene scene;
  };
  const std::vector<RingCase> rings = {
      {"N 60, noise", 41, 23, 60, Scene::Noise},
      {"N 3, saturated and dark", 30, 14, 3, Scene::SaturatedAndDark},
      {"odd N 5, full range", 27, 13, 5, Scene::FullRange},
      {"N 4, noise", 300, 9, 4, Scene::Noise},
      {"N 2, noise", 20, 10, 2, Scene::Noise},
      {"N 1, noise", 20, 10, 1, Scene::Noise},
  };
  std::map<std::string, int> flashes_found;
  for (const RingCase& r : rings) {
    SCOPED_TRACE(r.name);
    Random random{0xABCDEFULL + static_cast<std::uint64_t>(r.images)};
    TestRing ring(r.width, r.height, r.images);
    fill_scene(ring, r.scene, random);
    reference::recompute_statistics(ring.view());
    drift(ring, r.scene, random, 3 * r.images + 7);
    for (const SettingsCase& c : settings_cases()) {
      SCOPED_TRACE(c.name);
      DetectionSettings settings = base_settings(r.images);
      c.change(settings);
      DetectorRuns runs = sentinel_runs();
      for (int target = 0; target < r.images; ++target) {
        SCOPED_TRACE("target slot " + std::to_string(target));
        flashes_found[c.name] += compare(ring, target, settings, runs);
        if (testing::Test::HasFailure()) return;
      }
    }
  }
  // The scenes hold flashes that the detector reports.
  EXPECT_GT(flashes_found["base"], 0);
  EXPECT_GT(flashes_found["negative Time_sd"], 0);
}

// The candidate map never rules out a pixel that passes the temporal test, and it rules out most
// pixels of a quiet frame under the shipped kind of settings.
TEST(FastPath, CandidateMapKeepsEveryPixelThatPasses) {
  Random random{77};
  TestRing ring(150, 20, 6);
  fill_scene(ring, Scene::Noise, random);
  reference::recompute_statistics(ring.view());
  drift(ring, Scene::Noise, random, 40);
  TestRing dark(70, 12, 3);
  fill_scene(dark, Scene::SaturatedAndDark, random);
  reference::recompute_statistics(dark.view());
  drift(dark, Scene::SaturatedAndDark, random, 20);
  for (TestRing* r : {&ring, &dark}) {
    for (const SettingsCase& c : settings_cases()) {
      SCOPED_TRACE(c.name);
      DetectionSettings settings = base_settings(r->n);
      c.change(settings);
      for (int target = 0; target < r->n; ++target) {
        std::vector<std::uint8_t> chunks(r->chunks(), 0xCD);
        mark_candidate_chunks(r->view(), target, thresholds_of(settings), chunks);
        for (int p = 0; p < r->geometry.frame_pixels; ++p) {
          if (reference::passes_temporal_test(r->view(), target, static_cast<std::size_t>(p),
                                              thresholds_of(settings))) {
            ASSERT_EQ(chunks[static_cast<std::size_t>(p / kCandidateChunkPixels)], 1)
                << "pixel " << p << " of slot " << target;
          }
        }
      }
    }
  }
  std::vector<std::uint8_t> chunks(ring.chunks());
  mark_candidate_chunks(ring.view(), 0, thresholds_of(base_settings(ring.n)), chunks);
  EXPECT_LT(std::count(chunks.begin(), chunks.end(), 1), static_cast<long>(chunks.size() / 4));
}

// One pixel with its sums set by hand, each strict comparison of the temporal test met exactly
// and just passed: the oracle decides as described, and the fast detector (with its bound) the
// same. A pixel that passes its own test stores time_back, which shows the outcome.
TEST(FastPath, TemporalThresholdsHitExactly) {
  struct Case {
    const char* name;
    int images;
    int v;
    double sum;
    double sq_dev;
    float time_sd;
    float min_sd2;
    bool passes;
  };
  // With N = 5: b = (S - v) / 4 and u = v - S / 4; S = 80 and v = 40 give b = 10, u = 20, and
  // Q = 475 gives tau = sqrt((475 - 400) / 3) = 5.
  const std::vector<Case> cases = {
      {"b exactly 5", 5, 60, 80.0, 1600.0 + 3.0, 1.0f, 1.0f, false},
      {"b just above 5", 5, 60, 81.0, 1580.0625 + 3.0, 1.0f, 1.0f, true},
      {"b exactly 250", 5, 255, 1255.0, 3451.5625 + 3.0, 1.0f, 1.0f, false},
      {"b just below 250", 5, 255, 1254.0, 3422.25 + 3.0, 1.0f, 1.0f, true},
      {"v - b equal to Time_sd x Min_sd2", 5, 30, 70.0, 156.25 + 3.0, 5.0f, 4.0f, false},
      {"v - b just above Time_sd x Min_sd2", 5, 30, 69.0, 162.5625 + 3.0, 5.0f, 4.0f, true},
      {"v - b equal to Time_sd x tau", 5, 40, 80.0, 475.0, 6.0f, 1.0f, false},
      {"v - b just above Time_sd x tau", 5, 40, 80.0, 475.0, 5.9375f, 1.0f, true},
      // v - b = 20.25 against 5.0625 x 4, then against one float below 5.0625.
      {"v - b equal to a fractional Time_sd x Min_sd2", 5, 30, 69.0, 162.5625 + 3.0, 5.0625f, 4.0f,
       false},
      {"v - b a hair above a fractional Time_sd x Min_sd2", 5, 30, 69.0, 162.5625 + 3.0,
       std::nextafter(5.0625f, 0.0f), 4.0f, true},
      {"negative radicand, negative Time_sd", 5, 40, 80.0, 399.0, -1.0f, 1.0f, false},
      // b = 30, v - b = -20 beats -0.5 x tau with tau = 50, far above Min_sd2.
      {"v far below b, negative Time_sd, wide spread", 5, 10, 130.0, 506.25 + 7500.0, -0.5f, 4.0f,
       true},
      {"zero radicand, negative Time_sd", 5, 40, 80.0, 400.0, -1.0f, 1.0f, true},
      {"v below b, negative Time_sd", 5, 10, 70.0, 56.25 + 3.0, -2.0f, 4.0f, true},
      {"v - b zero, zero Time_sd", 5, 10, 50.0, 6.25 + 3.0, 0.0f, 4.0f, false},
      {"v - b a quarter, zero Time_sd", 5, 10, 49.0, 5.0625 + 3.0, 0.0f, 4.0f, true},
      {"v - b zero, negative zero Time_sd", 5, 10, 50.0, 6.25 + 3.0, -0.0f, 4.0f, false},
      {"NaN Time_sd", 5, 40, 80.0, 475.0, kNaN, 1.0f, false},
      {"N 1001, v - b equal to the threshold", 1001, 30, 10030.0, 20.0 * 20.0 + 999.0, 5.0f, 4.0f,
       false},
      {"N 1001, v - b a thousandth above", 1001, 30, 10029.0, 398.840841 + 999.0, 5.0f, 4.0f, true},
      {"N 3, v - b equal to the threshold", 3, 30, 50.0, 25.0 + 1.0, 5.0f, 4.0f, false},
      {"N 3, v - b half above", 3, 30, 49.0, 30.25 + 1.0, 5.0f, 4.0f, true},
  };
  constexpr int kX = 3;
  constexpr int kY = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring(8, 7, c.images);
    const std::size_t p = static_cast<std::size_t>(kY * 8 + kX);
    ring.slot(0)[p] = static_cast<std::uint8_t>(c.v);
    ring.sum[p] = c.sum;  // every other pixel has S = 0 < v: b below 5, no pass
    ring.sq_dev[p] = c.sq_dev;
    DetectionSettings settings = base_settings(c.images);
    settings.Time_sd = c.time_sd;
    settings.Min_sd2 = c.min_sd2;

    EXPECT_EQ(reference::passes_temporal_test(ring.view(), 0, p, thresholds_of(settings)),
              c.passes);
    DetectorRuns runs = sentinel_runs();
    compare(ring, 0, settings, runs);
    EXPECT_EQ(runs.slow.measurement.time_back != -7.0f, c.passes);
  }
}

// A uniform ring with a bright run in the frame under test: the neighbourhood test's excess
// exactly at Neighbour_sd x Min_sd1, and the scatter exactly at Flash_sd_sep, decide alike.
TEST(FastPath, ConfirmationAndClusterThresholdsHitExactly) {
  const double half_root = std::sqrt(0.5);
  const auto two_pixel_scatter = static_cast<float>(std::sqrt(half_root * half_root));
  struct Case {
    const char* name;
    int run_value;  // a run of three pixels: the first two can be confirmed
    float flash_sd_sep;
    int result;
    int flash_count;
  };
  // Block mean 20 with no spread: sigma is floored to Min_sd1 = 4, and Neighbour_sd 5 asks for
  // an excess above 20.
  const std::vector<Case> cases = {
      {"excess equal to the threshold", 40, 10.0f, 0, 0},
      {"excess one above", 41, 10.0f, 1, 2},
      {"scatter equal to Flash_sd_sep", 41, two_pixel_scatter, 1, 2},
      {"scatter just above Flash_sd_sep", 41, std::nextafter(two_pixel_scatter, 0.0f), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring(16, 12, 5);
    std::fill(ring.frames.begin(), ring.frames.end(), 20);
    for (int x = 6; x < 9; ++x) ring.slot(2)[static_cast<std::size_t>(5 * 16 + x)] = c.run_value;
    reference::recompute_statistics(ring.view());
    DetectionSettings settings = base_settings(5);
    settings.Time_sd = 1.0f;
    settings.Min_sd2 = 1.0f;
    settings.Neighbour_sd = 5.0f;
    settings.Min_sd1 = 4.0f;
    settings.Flash_sd_sep = c.flash_sd_sep;
    DetectorRuns runs = sentinel_runs();
    EXPECT_EQ(compare(ring, 2, settings, runs), c.result);
    EXPECT_EQ(runs.slow.flash_count, c.flash_count);
  }
}

namespace {

constexpr int kRunWidth = 48;
constexpr int kRunHeight = 40;
constexpr int kRunFrames = 230;  // frame 230 is missing: end of input
constexpr int kShortFrame = 150;

// Frames 0 to kRunFrames - 1 of a noisy scene with a flash every 13 frames and one short frame.
void write_run_frames() {
  Random random{2024};
  std::vector<std::uint8_t> payload(kRunWidth * kRunHeight);
  for (int frame = 0; frame < kRunFrames; ++frame) {
    draw_frame(Scene::Noise, random, kRunWidth, kRunHeight, payload);
    if (frame % 13 == 5) {
      const int x = 8 + random.below(kRunWidth - 16);
      const int y = 8 + random.below(kRunHeight - 16);
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = 0; dx < 3; ++dx) {
          payload[static_cast<std::size_t>((y + dy) * kRunWidth + x + dx)] = 230;
        }
      }
    }
    std::vector<std::uint8_t> bytes = raw_frame_bytes(kRunWidth, kRunHeight, payload);
    if (frame == kShortFrame) bytes.resize(bytes.size() / 2);
    char name[64];
    std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", frame);
    write_file(name, bytes);
  }
}

// Every output file of the run in the working folder, by name.
std::map<std::string, std::vector<std::uint8_t>> run_outputs() {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const char* name : {"flash_info.dat", "data_dump.txt"}) files[name] = read_file(name);
  for (const auto& entry : fs::directory_iterator(in_scratch("BMP_FLASHES"))) {
    const std::string name = "BMP_FLASHES/" + entry.path().filename().string();
    files[name] = read_file(name);
  }
  return files;
}

}  // namespace

// vesk on 230 frames (two periodic recomputations, a short frame, end of input at a missing
// frame) writes flash_info.dat, data_dump.txt and the report images byte for byte as the
// straightforward run does, under the shipped kind of settings and under settings that let many
// pixels through.
TEST(FastPath, WholeRunWritesTheSameFilesAsTheStraightforwardRun) {
  struct Case {
    const char* name;
    std::string settings;
  };
  const std::vector<Case> cases = {
      {"default kind, N 10",
       settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 10, 10, 10, 10, 95.0f, 1, 10)},
      {"negative Time_sd, odd N 7, narrow borders",
       settings_text(1, 100, 40.0f, 3.0f, -0.5f, 4.0f, 0.0f, 0, 1, 1, 2, 95.0f, 0, 7)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, std::vector<std::uint8_t>> fast;
    {
      ScratchDir scratch;
      make_run_folder(c.settings);
      write_run_frames();
      const ProgramRun run = run_vesk_program("0\n");
      EXPECT_EQ(run.exit_status, 0) << run.err;
      fast = run_outputs();
    }
    ScratchDir scratch;
    make_run_folder(c.settings);
    write_run_frames();
    DetectionSettings settings;
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(
        read_settings_file(scratch_folder(), "settings.txt", settings, problems, nullptr, &error))
        << error;
    ASSERT_TRUE(reference_run(scratch_folder(), settings, &error)) << error;
    const std::map<std::string, std::vector<std::uint8_t>> slow = run_outputs();

    EXPECT_GT(slow.size(), 4u) << "too few report images to compare";
    ASSERT_EQ(fast.size(), slow.size());
    for (const auto& [name, bytes] : slow) {
      SCOPED_TRACE(name);
      ASSERT_EQ(fast.count(name), 1u);
      EXPECT_TRUE(fast[name] == bytes);
    }
  }
}
