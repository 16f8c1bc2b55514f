// The flash detector on small synthetic rings: which pixels become candidates and are confirmed,
// the exact threshold tests, the values it measures, the boxes it draws and the cluster test.
#include "detection/flash_detector.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "control/settings.h"
#include "detection/detector_parts.h"
#include "reference/oracle_support.h"
#include "reference/settings_fixture.h"

namespace {

constexpr float kUnwritten = -1.0f;  // every measured field starts here, to see which are written

DetectionSettings detector_settings() {
  return settings_fixture([](DetectionSettings& s) {
    s.Flash_sd_sep = 1000.0f;
    s.Time_sd = 1.5f;
    s.Min_sd2 = 4.0f;
    s.Left_sample_border = 1;
    s.Right_sample_border = 1;
    s.Top_line_limit = 2;
    s.Bott_line_limit = 2;
  });
}

FlashMeasurement unwritten_measurement() {
  return {kUnwritten, kUnwritten, kUnwritten, kUnwritten, kUnwritten,
          kUnwritten, kUnwritten, kUnwritten, kUnwritten};
}

struct Detection {
  int result = -1;
  int flash_count = -1;
  FlashMeasurement m = unwritten_measurement();
  std::vector<std::uint8_t> marked;
};

Detection detect(TestRing& ring, int target_slot, const DetectionSettings& settings) {
  Detection d;
  d.marked.assign(ring.frames.size() / static_cast<std::size_t>(ring.n), 7);
  DetectionResult result;
  result.measurement = d.m;
  flash_detector(ring.view(), ring.geometry, target_slot, thresholds_of(settings), d.marked, {},
                 result);
  d.result = result.found ? 1 : 0;
  d.flash_count = result.flash_count;
  d.m = result.measurement;
  return d;
}

std::vector<std::uint8_t> frame_of(TestRing& ring, int slot) {
  const std::span<std::uint8_t> bytes = ring.slot(slot);
  return {bytes.begin(), bytes.end()};
}

struct Spot {
  int x;
  int y;
  std::uint8_t value;
};

// N = 5 frames of 40 x 30 at grey 50, the spots in the middle slot, sums computed in full.
TestRing ring_with_spots(const std::vector<Spot>& spots) {
  TestRing ring(40, 30, 5, 50);
  for (const Spot& s : spots) ring.at(2, s.x, s.y) = s.value;
  recompute_statistics(ring.view());
  return ring;
}

// Horizontal run of `length` pixels of `value` from (x, y).
std::vector<Spot> run(int x, int y, int length, std::uint8_t value = 200) {
  std::vector<Spot> spots;
  for (int i = 0; i < length; ++i) spots.push_back({x + i, y, value});
  return spots;
}

std::vector<Spot> operator+(std::vector<Spot> a, const std::vector<Spot>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The outline of the 21 x 21 box round (x, y), clipped at the frame edges.
void draw_expected_box(std::vector<std::uint8_t>& frame, int width, int height, int x, int y,
                       std::uint8_t colour) {
  for (int by = y - 10; by <= y + 10; ++by) {
    for (int bx = x - 10; bx <= x + 10; ++bx) {
      const bool edge = by == y - 10 || by == y + 10 || bx == x - 10 || bx == x + 10;
      if (edge && bx >= 0 && bx < width && by >= 0 && by < height) {
        frame[static_cast<std::size_t>(by * width + bx)] = colour;
      }
    }
  }
}

}  // namespace

TEST(FlashDetector, ConfirmsPixelsWhoseRightNeighbourAlsoStandsOut) {
  struct Case {
    const char* name;
    std::vector<Spot> spots;
    int result;
    int flash_count;
    float sample;
    float line;
    float scatter;
  };
  const std::vector<Case> cases = {
      {"one-pixel spot", run(10, 10, 1), 0, 0, kUnwritten, kUnwritten, kUnwritten},
      {"vertical 1 x 2 spot",
       {{10, 10, 200}, {10, 11, 200}},
       0,
       0,
       kUnwritten,
       kUnwritten,
       kUnwritten},
      {"2 x 1 spot", run(10, 10, 2), 1, 1, 10.0f, 10.0f, 0.0f},
      {"run of four: the last has no bright neighbour", run(10, 10, 4), 1, 3, 11.0f, 10.0f,
       static_cast<float>(std::sqrt(2.0))},
      // Sx = 2 * 1.5^2 = 4.5 is not divided by the count (that would give 1.5).
      {"pixels at (10, 20) and (13, 20)", run(10, 20, 2) + run(13, 20, 2), 1, 2, 11.5f, 20.0f,
       static_cast<float>(std::sqrt(4.5))},
      {"pixels at (10, 10) and (10, 14)", run(10, 10, 2) + run(10, 14, 2), 1, 2, 10.0f, 12.0f,
       static_cast<float>(std::sqrt(8.0))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring = ring_with_spots(c.spots);
    const Detection d = detect(ring, 2, detector_settings());
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(d.flash_count, c.flash_count);
    EXPECT_EQ(d.m.sample, c.sample);
    EXPECT_EQ(d.m.line, c.line);
    EXPECT_EQ(d.m.scatter, c.scatter);
    // Every spot pixel passes its own temporal test; the last one in scan order sets the values.
    EXPECT_EQ(d.m.time_back, 50.0f);
    EXPECT_EQ(d.m.time_signal, 150.0f);
    // S = 400, Q = 120^2 + 4 * 30^2, u = 200 - 400 / 4: tau = sqrt((18000 - 100^2) / 3).
    EXPECT_EQ(d.m.time_sigma, static_cast<float>(std::sqrt(8000.0 / 3.0)));
    if (c.result == 0) {
      EXPECT_EQ(d.m.bckgrnd, kUnwritten);  // no pixel reached the neighbourhood check
      EXPECT_EQ(d.m.bckgrnd_sigma, kUnwritten);
      EXPECT_EQ(d.m.signal, kUnwritten);
    } else {
      EXPECT_EQ(d.m.bckgrnd, 50.0f);
      EXPECT_EQ(d.m.bckgrnd_sigma, 0.0f);
      EXPECT_EQ(d.m.signal, 150.0f);
    }
  }
}

// One scanned pixel (2, 2) of a 5 x 5 frame, N = 5, with the running sums set by hand. Its right
// neighbour fails (b = 0), so only the pixel's own temporal test writes anything.
TEST(FlashDetector, TemporalTestUsesTheWholeSumAndStrictThresholds) {
  struct Case {
    const char* name;
    std::uint8_t v;
    double s;
    double q;
    float time_sd;
    float min_sd2;
    bool candidate;
    float b;
    float tau;  // checked when the pixel is a candidate and tau is not NaN here
  };
  const float kAny = std::nanf("");
  const std::vector<Case> cases = {
      // v = 60, S = 260: b = 50, u = 60 - 260 / 4 = -5, tau = sqrt((73 - 25) / 3) = 4. Both
      // v - (S - v) / 4 = 10 and v - S / 5 = 8 would make Q - u^2 negative, and a divisor N - 1
      // would give another tau.
      {"passes: 10 > 2.4 * 4", 60, 260.0, 73.0, 2.4f, 0.0f, true, 50.0f, 4.0f},
      {"v - b exactly Time_sd * tau", 60, 260.0, 73.0, 2.5f, 0.0f, false, 0, 0},
      {"Q below u^2 is NaN, not floored", 60, 260.0, 24.0, 0.0f, 1.0f, false, 0, 0},
      {"tau 1 floored to Min_sd2 4", 60, 260.0, 28.0, 2.4f, 4.0f, true, 50.0f, 4.0f},
      {"floored tau is what the threshold uses", 60, 260.0, 28.0, 3.0f, 4.0f, false, 0, 0},
      {"tau above Min_sd2 stays", 60, 260.0, 73.0, 1.0f, 3.5f, true, 50.0f, 4.0f},
      {"b exactly 5", 100, 120.0, 1e6, 0.0f, 0.0f, false, 0, 0},
      {"b just above 5", 100, 121.0, 1e6, 0.0f, 0.0f, true, 5.25f, kAny},
      {"b exactly 250", 255, 1255.0, 1e6, 0.0f, 0.0f, false, 0, 0},
      {"b just below 250", 255, 1254.0, 1e6, 0.0f, 0.0f, true, 249.75f, kAny},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring(5, 5, 5, 0);
    ring.at(0, 2, 2) = c.v;
    ring.sum[2 * 5 + 2] = c.s;
    ring.sq_dev[2 * 5 + 2] = c.q;
    DetectionSettings settings = detector_settings();
    settings.Time_sd = c.time_sd;
    settings.Min_sd2 = c.min_sd2;
    settings.Left_sample_border = 2;
    settings.Right_sample_border = 2;
    const Detection d = detect(ring, 0, settings);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.m.bckgrnd, kUnwritten);
    if (!c.candidate) {
      EXPECT_EQ(d.m.time_back, kUnwritten);
      EXPECT_EQ(d.m.time_sigma, kUnwritten);
      EXPECT_EQ(d.m.time_signal, kUnwritten);
      continue;
    }
    EXPECT_EQ(d.m.time_back, c.b);
    EXPECT_EQ(d.m.time_signal, static_cast<float>(c.v - static_cast<double>(c.b)));
    if (!std::isnan(c.tau)) {
      EXPECT_EQ(d.m.time_sigma, c.tau);
    }
  }
}

// Candidate (4, 4) of a 9 x 9 frame in slot 1 of N = 3. The block is rows 2, 4, 6 and columns 3
// to 5 of slots 0 and 2: 18 values, 14 of them 50, two 67 and two 33, so m = 50 and
// D = 4 * 17^2, sigma = sqrt(D) / 17 = 2 (sqrt(D / 17) would be 8.2). Rows 3 and 5, columns 2 and
// 6, and the frame under test are 255 around the candidate: none of them may count.
TEST(DoubleCheck, BlockMeanAndSpreadWithStrictThreshold) {
  TestRing ring(9, 9, 3, 50);
  for (int slot : {0, 2}) {
    for (int y = 1; y <= 7; ++y) {
      for (int x = 2; x <= 6; ++x) {
        if (y == 3 || y == 5 || x == 2 || x == 6) ring.at(slot, x, y) = 255;
      }
    }
  }
  for (int y = 2; y <= 6; ++y) {
    for (int x = 3; x <= 5; ++x) ring.at(1, x, y) = 255;
  }
  ring.at(0, 3, 2) = 67;
  ring.at(0, 5, 6) = 33;
  ring.at(2, 4, 4) = 67;
  ring.at(2, 3, 6) = 33;

  struct Case {
    const char* name;
    std::uint8_t v;
    float neighbour_sd;
    float min_sd1;
    int confirmed;
  };
  const std::vector<Case> cases = {
      {"d = 10 exactly Neighbour_sd * sigma", 60, 5.0f, 0.0f, 0},
      {"d = 10 above 4.9 * 2", 60, 4.9f, 0.0f, 1},
      {"sigma floored to Min_sd1 6: 10 not above 12", 60, 2.0f, 6.0f, 0},
      {"sigma floored to Min_sd1 4.9: 10 above 9.8", 60, 2.0f, 4.9f, 1},
      {"Min_sd1 below sigma leaves it", 60, 4.9f, 1.0f, 1},
      {"pixel below the block mean", 40, 0.0f, 0.0f, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ring.at(1, 4, 4) = c.v;
    FlashMeasurement m = unwritten_measurement();
    EXPECT_EQ(detector_parts::double_check(ring.view(), 4, 4, 1, 9, c.neighbour_sd, c.min_sd1, m),
              c.confirmed == 1);
    EXPECT_EQ(m.bckgrnd, 50.0f);
    EXPECT_EQ(m.bckgrnd_sigma, 2.0f);  // before the floor
    EXPECT_EQ(m.signal, static_cast<float>(c.v - 50));
    EXPECT_EQ(m.time_back, kUnwritten);
  }
}

TEST(FlashDetector, ScatterIsComparedInSinglePrecision) {
  // The stored float sqrt(4.5) lies below the double one: equal to the setting means accepted.
  const float scatter = static_cast<float>(std::sqrt(4.5));
  struct Case {
    const char* name;
    float flash_sd_sep;
    int result;
    int flash_count;
  };
  const std::vector<Case> cases = {
      {"scatter equal to Flash_sd_sep", scatter, 1, 2},
      {"Flash_sd_sep one step lower", std::nextafter(scatter, 0.0f), 0, 0},
      {"Flash_sd_sep 1.5", 1.5f, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring = ring_with_spots(run(10, 20, 2) + run(13, 20, 2));
    DetectionSettings settings = detector_settings();
    settings.Flash_sd_sep = c.flash_sd_sep;
    const Detection d = detect(ring, 2, settings);
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(d.flash_count, c.flash_count);
    // Written before the test, whatever its answer; the boxes stay drawn.
    EXPECT_EQ(d.m.sample, 11.5f);
    EXPECT_EQ(d.m.line, 20.0f);
    EXPECT_EQ(d.m.scatter, scatter);
    std::vector<std::uint8_t> expected = frame_of(ring, 2);
    draw_expected_box(expected, 40, 30, 10, 20, 0);
    draw_expected_box(expected, 40, 30, 13, 20, 0);
    EXPECT_EQ(d.marked, expected);
  }
}

TEST(FlashDetector, OneConfirmedPixelHasNoScatterUnlessTheLimitIsNegative) {
  for (const float flash_sd_sep : {0.0f, -0.5f}) {
    SCOPED_TRACE(flash_sd_sep);
    TestRing ring = ring_with_spots(run(10, 10, 2));
    DetectionSettings settings = detector_settings();
    settings.Flash_sd_sep = flash_sd_sep;
    const Detection d = detect(ring, 2, settings);
    EXPECT_EQ(d.result, flash_sd_sep < 0 ? 0 : 1);
    EXPECT_EQ(d.m.scatter, 0.0f);
  }
}

// Five rows of 31 bright pixels give 150 confirmed pixels: the list keeps the first 99 and the
// 150th, and all 150 boxes are drawn.
TEST(FlashDetector, ListKeepsOneHundredPixelsWithTheLastReplaced) {
  std::vector<Spot> spots;
  std::vector<std::pair<int, int>> confirmed;
  for (int y : {4, 8, 12, 16, 20}) {
    spots = spots + run(2, y, 31, 100);
    for (int x = 2; x <= 31; ++x) confirmed.emplace_back(x, y);
  }
  ASSERT_EQ(confirmed.size(), 150u);
  TestRing ring = ring_with_spots(spots);
  const Detection d = detect(ring, 2, detector_settings());
  EXPECT_EQ(d.result, 1);
  EXPECT_EQ(d.flash_count, 100);

  double sum_x = 0.0;
  double sum_y = 0.0;
  for (int i = 0; i < 99; ++i) {
    sum_x += confirmed[static_cast<std::size_t>(i)].first;
    sum_y += confirmed[static_cast<std::size_t>(i)].second;
  }
  sum_x += confirmed[149].first;
  sum_y += confirmed[149].second;
  EXPECT_EQ(d.m.sample, static_cast<float>(sum_x / 100.0));
  EXPECT_EQ(d.m.line, static_cast<float>(sum_y / 100.0));

  std::vector<std::uint8_t> expected = frame_of(ring, 2);
  for (const auto& [x, y] : confirmed) draw_expected_box(expected, 40, 30, x, y, 255);
  EXPECT_EQ(d.marked, expected);
}

TEST(FlashDetector, BoxColourComesFromTheFrameUnderTest) {
  struct Case {
    const char* name;
    std::vector<Spot> spots;
    std::vector<Spot> boxes;  // centre and colour, in scan order
  };
  const std::vector<Case> cases = {
      {"centre 127 near the top left corner", run(3, 2, 2, 127), {{3, 2, 255}}},
      {"centre 128 near the bottom right corner", run(37, 27, 2, 128), {{37, 27, 0}}},
      // The first box crosses the second centre with 255; the second box is still 255, from the
      // ring's 120, not 0 from the marked frame.
      {"earlier box over a later centre",
       run(10, 10, 2, 100) + run(20, 10, 2, 120),
       {{10, 10, 255}, {20, 10, 255}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring = ring_with_spots(c.spots);
    const Detection d = detect(ring, 2, detector_settings());
    EXPECT_EQ(d.result, 1);
    std::vector<std::uint8_t> expected = frame_of(ring, 2);
    for (const Spot& box : c.boxes) draw_expected_box(expected, 40, 30, box.x, box.y, box.value);
    EXPECT_EQ(d.marked, expected);
    TestRing untouched = ring_with_spots(c.spots);
    EXPECT_EQ(frame_of(ring, 2), frame_of(untouched, 2));  // the ring is not drawn on
  }
}

// A confirmed pixel at (10, 10), then a later pair at (20, 15) whose block in the other frames
// is bright on rows 13 and 17: it passes both temporal tests but is not confirmed, and the
// neighbourhood values logged with the flash are its own.
TEST(FlashDetector, LaterUnconfirmedPixelLeavesItsValuesInTheMeasurement) {
  TestRing ring(40, 30, 5, 50);
  ring.at(2, 10, 10) = 200;
  ring.at(2, 11, 10) = 200;
  ring.at(2, 20, 15) = 200;
  ring.at(2, 21, 15) = 190;
  for (int slot : {0, 1, 3, 4}) {
    for (int x = 19; x <= 21; ++x) {
      ring.at(slot, x, 13) = 255;
      ring.at(slot, x, 17) = 255;
    }
  }
  recompute_statistics(ring.view());
  const Detection d = detect(ring, 2, detector_settings());
  EXPECT_EQ(d.result, 1);
  EXPECT_EQ(d.flash_count, 1);
  EXPECT_EQ(d.m.sample, 10.0f);
  EXPECT_EQ(d.m.line, 10.0f);
  // Per other frame six 255s and three 50s: m = 1680 / 9, D = 336200 over n - 1 = 35.
  const double m = 1680.0 / 9.0;
  EXPECT_EQ(d.m.bckgrnd, static_cast<float>(m));
  EXPECT_FLOAT_EQ(d.m.bckgrnd_sigma, static_cast<float>(std::sqrt(336200.0) / 35.0));
  EXPECT_EQ(d.m.signal, static_cast<float>(200.0 - m));
  // (21, 15) passes its own temporal test last, though its right neighbour fails.
  EXPECT_EQ(d.m.time_back, 50.0f);
  EXPECT_EQ(d.m.time_signal, 140.0f);
}

// Pairs at the frame's edges: (0, 10), (1, 5), (38, 15), (20, 1), (10, 2), (10, 27), (20, 28) on
// 40 x 30. Borders below 1 (sides) or 2 (top, bottom) are raised so no read leaves the frame.
TEST(FlashDetector, BordersAreRaisedToWhatTheReadsNeed) {
  const std::vector<Spot> spots = run(0, 10, 2) + run(1, 5, 2) + run(38, 15, 2) + run(20, 1, 2) +
                                  run(10, 2, 2) + run(10, 27, 2) + run(20, 28, 2);
  struct Case {
    const char* name;
    int left, right, top, bottom;
    int flash_count;
    float sample, line;
    bool scans_nothing;
  };
  // With the least borders (1, 1, 2, 2): (1, 5), (10, 2), (38, 15), (10, 27).
  const float sample = (1 + 10 + 38 + 10) / 4.0f;
  const float line = (5 + 2 + 15 + 27) / 4.0f;
  const std::vector<Case> cases = {
      {"least borders", 1, 1, 2, 2, 4, sample, line, false},
      {"zero borders", 0, 0, 0, 0, 4, sample, line, false},
      {"negative borders", -5, -1, -2, -30, 4, sample, line, false},
      {"most negative borders", INT_MIN, INT_MIN, INT_MIN, INT_MIN, 4, sample, line, false},
      {"one more each", 2, 2, 3, 3, 0, kUnwritten, kUnwritten, false},
      {"largest borders", INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0, kUnwritten, kUnwritten, true},
      {"left and right crossed", 30, 30, 2, 2, 0, kUnwritten, kUnwritten, true},
      {"top and bottom crossed", 1, 1, 20, 20, 0, kUnwritten, kUnwritten, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestRing ring = ring_with_spots(spots);
    DetectionSettings settings = detector_settings();
    settings.Left_sample_border = c.left;
    settings.Right_sample_border = c.right;
    settings.Top_line_limit = c.top;
    settings.Bott_line_limit = c.bottom;
    const Detection d = detect(ring, 2, settings);
    EXPECT_EQ(d.flash_count, c.flash_count);
    EXPECT_EQ(d.result, c.flash_count > 0 ? 1 : 0);
    EXPECT_EQ(d.m.sample, c.sample);
    EXPECT_EQ(d.m.line, c.line);
    if (c.scans_nothing) {
      // Nothing scanned: no field written and the marked frame is the frame itself.
      EXPECT_EQ(d.m.time_back, kUnwritten);
      EXPECT_EQ(d.m.bckgrnd, kUnwritten);
      EXPECT_EQ(d.marked, frame_of(ring, 2));
    }
  }
}

TEST(DetectionBorders, UsableBordersRaiseOnlyTooSmallValues) {
  DetectionSettings s;
  s.Left_sample_border = 0;
  s.Right_sample_border = 7;
  s.Top_line_limit = INT_MIN;
  s.Bott_line_limit = 2;
  const ScanBorders used = usable_borders(
      {s.Left_sample_border, s.Right_sample_border, s.Top_line_limit, s.Bott_line_limit});
  EXPECT_EQ(used.left, 1);
  EXPECT_EQ(used.right, 7);
  EXPECT_EQ(used.top, 2);
  EXPECT_EQ(used.bottom, 2);
}

TEST(FlashDetector, RingsTooSmallAnswerNoFlash) {
  for (const int n : {1, 2}) {
    SCOPED_TRACE(n);
    TestRing ring(12, 9, n, 50);
    for (int x = 4; x < 8; ++x) ring.at(0, x, 4) = 200;
    recompute_statistics(ring.view());
    const Detection d = detect(ring, 0, detector_settings());
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.flash_count, 0);
  }
}

// A slot outside the ring or a marked frame of another size is a bug of the caller: the program
// stops rather than answer "no flash".
TEST(FlashDetectorDeathTest, MisfitBuffersStopTheProgram) {
  TestRing ring(12, 9, 3, 50);
  for (const int slot : {3, -1}) {
    EXPECT_DEATH(detect(ring, slot, detector_settings()),
                 "internal error: detector buffers do not match the frame geometry");
  }
  std::vector<std::uint8_t> short_marked(12 * 9 - 1);
  DetectionResult result;
  EXPECT_DEATH(flash_detector(ring.view(), ring.geometry, 0, thresholds_of(detector_settings()),
                              short_marked, {}, result),
               "internal error: detector buffers do not match the frame geometry");
}
