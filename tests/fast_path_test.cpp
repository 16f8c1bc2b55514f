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
#include "detection/processing_run.h"
#include "imaging/flash_report.h"
#include "reference_detection.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

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

// A ring and its two sums, owned here.
struct TestRing {
  FrameGeometry geometry;
  int n;
  std::vector<std::uint8_t> frames;
  std::vector<double> sum;
  std::vector<double> sq_dev;

  TestRing(int width, int height, int images)
      : geometry{width, height, width * height},
        n(images),
        frames(static_cast<std::size_t>(width * height * images), 0),
        sum(static_cast<std::size_t>(width * height), 0.0),
        sq_dev(static_cast<std::size_t>(width * height), 0.0) {}
  FrameRing view() { return {frames, sum, sq_dev, geometry.frame_pixels, n}; }
  std::span<std::uint8_t> slot(int s) {
    const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
    return std::span<std::uint8_t>(frames).subspan(static_cast<std::size_t>(s) * pixels, pixels);
  }
  std::size_t chunks() const { return candidate_chunk_count(geometry.frame_pixels); }
};

// The kinds of frames: noise on a slope, saturated and dark thirds, or any value at all. Every
// frame may carry a few bright spots, from single pixels to 3 x 2 groups.
enum class Scene { Noise, SaturatedAndDark, FullRange };

void draw_frame(Scene scene, Random& random, int width, int height, std::span<std::uint8_t> frame) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int value = 0;
      switch (scene) {
        case Scene::Noise:
          value = 20 + (100 * x) / width + random.below(8);
          break;
        case Scene::SaturatedAndDark:
          if (x < width / 3) {
            value = random.below(6) == 0 ? 254 : 255;
          } else if (x < 2 * width / 3) {
            value = random.below(3);
          } else {
            value = 120 + random.below(9);
          }
          break;
        case Scene::FullRange:
          value = random.below(256);
          break;
      }
      frame[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint8_t>(value);
    }
  }
  const int spots = random.below(3);
  for (int s = 0; s < spots; ++s) {
    const int w = std::min(1 + random.below(3), width);
    const int h = std::min(1 + random.below(2), height);
    const int x0 = random.below(width - w + 1);
    const int y0 = random.below(height - h + 1);
    const auto value = static_cast<std::uint8_t>(200 + random.below(56));
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) frame[static_cast<std::size_t>(y * width + x)] = value;
    }
  }
}

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

void expect_same_measurement(const FlashMeasurement& fast, const FlashMeasurement& slow) {
  const std::pair<const char*, float FlashMeasurement::*> fields[] = {
      {"sample", &FlashMeasurement::sample},
      {"line", &FlashMeasurement::line},
      {"scatter", &FlashMeasurement::scatter},
      {"bckgrnd", &FlashMeasurement::bckgrnd},
      {"bckgrnd_sigma", &FlashMeasurement::bckgrnd_sigma},
      {"signal", &FlashMeasurement::signal},
      {"time_back", &FlashMeasurement::time_back},
      {"time_sigma", &FlashMeasurement::time_sigma},
      {"time_signal", &FlashMeasurement::time_signal},
  };
  for (const auto& [name, field] : fields) {
    EXPECT_TRUE(same_bits(fast.*field, slow.*field))
        << name << ": " << fast.*field << " vs " << slow.*field;
  }
}

// A measurement whose fields no detector writes, so unwritten fields show.
FlashMeasurement sentinel_measurement() {
  const float v = -7.0f;
  return {v, v, v, v, v, v, v, v, v};
}

DetectionSettings base_settings(int images) {
  DetectionSettings s;
  s.Min_flash_limit = 1;
  s.Max_flash_limit = 20;
  s.Flash_sd_sep = 10.0f;
  s.Neighbour_sd = 3.0f;
  s.Time_sd = 3.0f;
  s.Min_sd1 = 4.0f;
  s.Min_sd2 = 4.0f;
  s.Left_sample_border = 1;
  s.Right_sample_border = 1;
  s.Top_line_limit = 2;
  s.Bott_line_limit = 2;
  s.Peak_killer = 95.0f;
  s.Interlace = 0;
  s.Images_in_buffer = images;
  return s;
}

// The detector's answers from one call.
struct Answer {
  int result = 0;
  int flash_count = -1;
  std::vector<std::uint8_t> marked;
};

// Calls the oracle and both fast forms (plain, and with the candidate map) for `target`, each
// with its own measurement carried over from earlier calls, and compares everything they give.
// Answers the oracle's result.
int compare_detectors(TestRing& ring, int target, const DetectionSettings& settings,
                      FlashMeasurement& slow_m, FlashMeasurement& plain_m,
                      FlashMeasurement& mapped_m) {
  const auto pixels = static_cast<std::size_t>(ring.geometry.frame_pixels);
  Answer slow{0, -1, std::vector<std::uint8_t>(pixels, 0xAB)};
  Answer plain = slow;
  Answer mapped = slow;
  slow.result = reference::flash_detector(ring.view(), ring.geometry, target, settings, slow.marked,
                                          slow.flash_count, slow_m);
  plain.result = flash_detector(ring.view(), ring.geometry, target, settings, plain.marked,
                                plain.flash_count, plain_m);
  std::vector<std::uint8_t> chunks(ring.chunks(), 0xCD);
  mark_candidate_chunks(ring.view(), target, settings, chunks);
  mapped.result = flash_detector(ring.view(), ring.geometry, target, settings, mapped.marked,
                                 mapped.flash_count, mapped_m, chunks);
  for (const Answer* fast : {&plain, &mapped}) {
    SCOPED_TRACE(fast == &plain ? "without the map" : "with the map");
    EXPECT_EQ(fast->result, slow.result);
    EXPECT_EQ(fast->flash_count, slow.flash_count);
    EXPECT_EQ(fast->marked, slow.marked);
  }
  expect_same_measurement(plain_m, slow_m);
  expect_same_measurement(mapped_m, slow_m);
  return slow.result;
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
        replace_and_mark(fast.view(), slot, entering, target, settings, chunks);
        std::vector<std::uint8_t> expected(fast.chunks());
        mark_candidate_chunks(fast.view(), target, settings, expected);
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

// The run's load step against retire_slot, read_raw_frame into the slot and admit_slot, for a
// whole frame, short frames (the slot keeps its old bytes past the end) and a missing frame
// (retired, never admitted).
TEST(FastPath, LoadStepMatchesRetireReadAdmit) {
  constexpr int kWidth = 19;
  constexpr int kHeight = 7;
  constexpr int kImages = 5;
  constexpr int kPixels = kWidth * kHeight;
  struct Case {
    const char* name;
    int file_bytes;  // -1: no file
    bool loaded;
    const char* warning;
  };
  const std::vector<Case> cases = {
      {"whole frame", 54 + kPixels, true, ""},
      {"short frame", 54 + 50, true, "BMP_RAW/a00003.bmp: truncated, 104 of 187 bytes"},
      {"header only", 54, true, "BMP_RAW/a00003.bmp: truncated, 54 of 187 bytes"},
      {"shorter than its header", 20, true, "BMP_RAW/a00003.bmp: truncated, 20 of 187 bytes"},
      {"missing frame", -1, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    fs::create_directories("BMP_RAW");
    Random random{99};
    std::vector<std::uint8_t> payload(kPixels);
    draw_frame(Scene::FullRange, random, kWidth, kHeight, payload);
    if (c.file_bytes >= 0) {
      std::vector<std::uint8_t> bytes = raw_frame_bytes(kWidth, kHeight, payload);
      bytes.resize(static_cast<std::size_t>(c.file_bytes));
      write_file("BMP_RAW/a00003.bmp", bytes);
    }

    TestRing fast(kWidth, kHeight, kImages);
    fill_scene(fast, Scene::FullRange, random);
    reference::recompute_statistics(fast.view());
    TestRing slow = fast;
    const DetectionSettings settings = base_settings(kImages);
    std::vector<std::uint8_t> scratch_frame(kPixels, 0xEE);
    std::vector<std::uint8_t> header(kFrameHeaderBytes);
    std::vector<std::uint8_t> chunks(fast.chunks());
    std::string warning;
    const bool loaded =
        load_next_frame(fast.view(), 3, 1, 3, settings, scratch_frame, header, chunks, warning);

    reference::retire_slot(slow.view(), 3);
    std::string slow_warning;
    std::vector<std::uint8_t> slow_header(kFrameHeaderBytes);
    if (read_raw_frame(3, slow.slot(3), slow_header, slow_warning)) {
      reference::admit_slot(slow.view(), 3);
    }
    EXPECT_EQ(loaded, c.loaded);
    EXPECT_EQ(warning, c.warning);
    expect_same_sums(fast, slow);

    // The map that comes with the load is the one the detector would mark itself.
    if (loaded) {
      std::vector<std::uint8_t> expected(fast.chunks());
      mark_candidate_chunks(fast.view(), 1, settings, expected);
      EXPECT_EQ(chunks, expected);
    }
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
      FlashMeasurement slow = sentinel_measurement();
      FlashMeasurement plain = slow;
      FlashMeasurement mapped = slow;
      for (int target = 0; target < r.images; ++target) {
        SCOPED_TRACE("target slot " + std::to_string(target));
        flashes_found[c.name] += compare_detectors(ring, target, settings, slow, plain, mapped);
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
        mark_candidate_chunks(r->view(), target, settings, chunks);
        for (int p = 0; p < r->geometry.frame_pixels; ++p) {
          if (reference::passes_temporal_test(r->view(), target, static_cast<std::size_t>(p),
                                              settings)) {
            ASSERT_EQ(chunks[static_cast<std::size_t>(p / kCandidateChunkPixels)], 1)
                << "pixel " << p << " of slot " << target;
          }
        }
      }
    }
  }
  std::vector<std::uint8_t> chunks(ring.chunks());
  mark_candidate_chunks(ring.view(), 0, base_settings(ring.n), chunks);
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

    EXPECT_EQ(reference::passes_temporal_test(ring.view(), 0, p, settings), c.passes);
    FlashMeasurement slow = sentinel_measurement();
    FlashMeasurement plain = slow;
    FlashMeasurement mapped = slow;
    compare_detectors(ring, 0, settings, slow, plain, mapped);
    EXPECT_EQ(slow.time_back != -7.0f, c.passes);
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
    FlashMeasurement slow = sentinel_measurement();
    FlashMeasurement plain = slow;
    FlashMeasurement mapped = slow;
    EXPECT_EQ(compare_detectors(ring, 2, settings, slow, plain, mapped), c.result);
    int count = 0;
    std::vector<std::uint8_t> marked(ring.slot(2).size());
    reference::flash_detector(ring.view(), ring.geometry, 2, settings, marked, count, slow);
    EXPECT_EQ(count, c.flash_count);
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

// The run as the straightforward code does it, in the working folder: the ring filled, then per
// frame a recomputation every 100 frame numbers, retire, read, admit and the oracle detector, with
// the accepted frames logged and reported through the program's own writers, and data_dump.txt at
// the end of input.
void reference_run(const DetectionSettings& settings) {
  const FrameGeometry geometry{kRunWidth, kRunHeight, kRunWidth * kRunHeight};
  const int n = settings.Images_in_buffer;
  RunBuffers buffers;
  std::string error;
  ASSERT_TRUE(allocate_run_buffers(buffers, geometry, n, error)) << error;
  buffers.header_scratch.assign(kFrameHeaderBytes, 0);
  buffers.report_header.assign(kReportHeaderBytes, 0);
  ASSERT_TRUE(load_report_header(buffers.report_header, kRunWidth, kRunHeight, error)) << error;
  const FrameRing ring{buffers.frame_ring, buffers.pixel_sum, buffers.pixel_sq_dev,
                       geometry.frame_pixels, n};
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  auto slot = [&](int s) {
    return std::span<std::uint8_t>(buffers.frame_ring)
        .subspan(static_cast<std::size_t>(s) * pixels, pixels);
  };
  std::string warning;
  for (int i = 0; i < n; ++i)
    ASSERT_TRUE(read_raw_frame(i, slot(i), buffers.header_scratch, warning));
  reference::recompute_statistics(ring);

  std::FILE* log = std::fopen("flash_info.dat", "w");
  ASSERT_NE(log, nullptr);
  std::fputs(kFlashLogHeader, log);
  FlashMeasurement measurement;
  int target_slot = 0;
  int load_slot = n / 2;
  for (int frame_number = n / 2; frame_number < 99999; ++frame_number) {
    int flash_count = 0;
    if (frame_number % 100 == 0) reference::recompute_statistics(ring);
    reference::retire_slot(ring, load_slot);
    if (!read_raw_frame(frame_number, slot(load_slot), buffers.header_scratch, warning)) {
      std::FILE* dump = std::fopen("data_dump.txt", "w");
      ASSERT_NE(dump, nullptr);
      std::fprintf(
          dump,
          "image_width=%d\nimage_height=%d\ninterlace=%d\nnframes=%d\nmin_flash_limit=%d\n"
          "max_flash_limit=%d\nneighour_sd=%f\ntime_sd=%f\nmin_sd1=%f\nmin_sid2=%f\n"
          "left_border=%d\nright_border=%d\ntop_border=%d\nbottom_border=%d\npeak_killer=%f\n"
          "interlace=%d\n",
          kRunWidth, kRunHeight, settings.Interlace, frame_number, settings.Min_flash_limit,
          settings.Max_flash_limit, double(settings.Neighbour_sd), double(settings.Time_sd),
          double(settings.Min_sd1), double(settings.Min_sd2), settings.Left_sample_border,
          settings.Right_sample_border, settings.Top_line_limit, settings.Bott_line_limit,
          double(settings.Peak_killer), settings.Interlace);
      std::fclose(dump);
      break;
    }
    reference::admit_slot(ring, load_slot);
    const int found = reference::flash_detector(ring, geometry, target_slot, settings,
                                                buffers.marked_frame, flash_count, measurement);
    if (found != 0 && flash_count >= settings.Min_flash_limit &&
        flash_count <= settings.Max_flash_limit) {
      const int target_frame = frame_number - n / 2;
      const std::string name = numbered_file_name(kReportPattern, target_frame);
      FileHandle report = open_file(name.c_str(), "wb", error);
      ASSERT_TRUE(report) << error;
      ASSERT_TRUE(write_flash_record(log, target_frame, flash_count, measurement));
      const FlashReportInput input{.target_slot = target_slot,
                                   .sample = measurement.sample,
                                   .line = measurement.line,
                                   .interlace = settings.Interlace,
                                   .images_in_buffer = n,
                                   .geometry = geometry,
                                   .report_header = buffers.report_header,
                                   .marked_frame = buffers.marked_frame,
                                   .frame_ring = buffers.frame_ring};
      ASSERT_TRUE(write_flash_report(report, name.c_str(), input, buffers.report_pixels,
                                     buffers.thumbnail_strip, error))
          << error;
    }
    if (++target_slot >= n) target_slot = 0;
    if (++load_slot >= n) load_slot = 0;
  }
  ASSERT_EQ(std::fclose(log), 0);
}

// Every output file of the run in the working folder, by name.
std::map<std::string, std::vector<std::uint8_t>> run_outputs() {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const char* name : {"flash_info.dat", "data_dump.txt"}) files[name] = read_file(name);
  for (const auto& entry : fs::directory_iterator("BMP_FLASHES")) {
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
    ASSERT_TRUE(read_settings_file("settings.txt", settings, problems, error)) << error;
    reference_run(settings);
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
