// The grid's one scan per frame against the straightforward way: every setting tested by a whole
// detector scan of its own on the shared ring, and each setting's own run through process_frames.
// A small recording with noise, flashes of every strength, a flickering hot pixel, a saturated
// edge and a frame with more than 100 confirmed pixels; its negative and two injected passes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control/driver.h"
#include "detection/flash_detector.h"
#include "tune/grid_run.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFrames = 150;
constexpr int kRing = 20;

using Frames = std::vector<std::vector<std::uint8_t>>;

class MemoryFrames final : public FrameSource {
 public:
  explicit MemoryFrames(std::shared_ptr<const Frames> frames) : frames_(std::move(frames)) {}
  FrameGeometry geometry() const override { return {kWidth, kHeight, kWidth * kHeight}; }
  std::int64_t frame_count() const override { return static_cast<std::int64_t>(frames_->size()); }
  FrameRead read_next(std::span<std::uint8_t> destination) override {
    if (next_ >= frames_->size()) return {FrameStatus::end, 0, "", "no more frames"};
    const std::vector<std::uint8_t>& f = (*frames_)[next_++];
    std::copy(f.begin(), f.end(), destination.begin());
    return {FrameStatus::frame, f.size(), "", ""};
  }

 private:
  std::shared_ptr<const Frames> frames_;
  std::size_t next_ = 0;
};

void add_spot(std::vector<double>& frame, double cx, double cy, double peak, double fwhm) {
  const double s = fwhm / 2.3548;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      frame[static_cast<std::size_t>(y * kWidth + x)] += peak * std::exp(-r2 / (2 * s * s));
    }
  }
}

// A night side sloping from 20 to 90 grey levels with noise of 2.5, a saturated block at the
// right, a hot pixel that flickers up every 9th frame, flashes of 3 to 40 grey levels, and in
// frame 70 a bright 14 x 14 patch (more than 100 confirmed pixels under loose settings).
std::shared_ptr<const Frames> recording() {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> noise(0.0, 2.5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto frames = std::make_shared<Frames>();
  for (int f = 0; f < kFrames; ++f) {
    std::vector<double> v(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        v[static_cast<std::size_t>(y * kWidth + x)] =
            x >= 56 ? 255.0 : 20.0 + 70.0 * x / 56.0 + noise(rng);
      }
    }
    if (f % 9 == 4) v[20 * kWidth + 30] += 30.0;
    if (f % 5 == 2) {
      add_spot(v, 8 + 40 * unit(rng), 6 + 36 * unit(rng), 3.0 + 37.0 * unit(rng), 2.5);
    }
    if (f == 70) {
      for (int y = 15; y < 29; ++y) {
        for (int x = 10; x < 24; ++x) v[static_cast<std::size_t>(y * kWidth + x)] += 40.0;
      }
    }
    std::vector<std::uint8_t> bytes(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(std::clamp(std::lround(v[i]), 0L, 255L));
    }
    frames->push_back(std::move(bytes));
  }
  return frames;
}

DetectionSettings base_settings() {
  DetectionSettings s;
  s.Min_flash_limit = 1;
  s.Max_flash_limit = 80;
  s.Flash_sd_sep = 32.0f;
  s.Neighbour_sd = 3.0f;
  s.Time_sd = 5.0f;
  s.Min_sd1 = 4.0f;
  s.Min_sd2 = 2.0f;
  s.Left_sample_border = 3;
  s.Right_sample_border = 2;
  s.Top_line_limit = 3;
  s.Bott_line_limit = 2;
  s.Peak_killer = 95.0f;
  s.Interlace = 0;
  s.Images_in_buffer = kRing;
  return s;
}

// The grid with a current setting outside it, and settings the bounds must not be fooled by:
// no temporal floor, a negative Time_sd (every pixel passes the temporal test), Time_sd 0,
// NaN and infinite thresholds, and a tight Flash_sd_sep is left to the base settings.
std::vector<GridSetting> test_grid() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<GridSetting> grid = threshold_grid({2.5f, 1.5f, 2.5f, 1.5f});
  grid.push_back({4.0f, 0.0f, 0.0f, 2.0f});
  grid.push_back({-1.0f, 2.0f, 3.0f, 3.0f});
  grid.push_back({0.0f, 0.0f, 3.0f, 2.0f});
  grid.push_back({nan, 2.0f, 3.0f, 3.0f});
  grid.push_back({4.0f, nan, 3.0f, 3.0f});
  grid.push_back({4.0f, 2.0f, nan, nan});
  grid.push_back({inf, 2.0f, 3.0f, 3.0f});
  grid.push_back({3.0f, -inf, 3.0f, -1.0f});
  return grid;
}

GridRequest request_for(std::shared_ptr<const Frames> frames, bool straightforward,
                        int threads) {
  GridRequest r;
  r.open = [frames](std::string* error) -> std::unique_ptr<FrameSource> {
    (void)error;
    return std::make_unique<MemoryFrames>(frames);
  };
  r.settings = base_settings();
  r.grid = test_grid();
  r.passes = {
      {{30, 20.3, 30.6, 12.0, 2.5}, {31, 20.3, 30.6, 5.0, 2.5}, {90, 40.0, 10.0, 25.0, 2.5},
       {143, 12.5, 40.2, 8.0, 2.5}},
      {{5, 44.0, 24.0, 6.0, 2.0}, {60, 30.0, 20.0, 40.0, 3.0}, {148, 50.0, 8.0, 16.0, 2.5}},
  };
  r.negative = true;
  // Mirrored about each pixel's level in frame 0 (any centres do: both ways get the same ones).
  const std::vector<std::uint8_t>& first = frames->front();
  r.mirror_centres.assign(first.begin(), first.end());
  for (std::int16_t& c : r.mirror_centres) c = static_cast<std::int16_t>(2 * c);
  r.threads = threads;
  r.straightforward = straightforward;
  return r;
}

std::string report_text(const std::vector<FoundReport>& reports) {
  std::string text;
  char line[128];
  for (const FoundReport& r : reports) {
    std::snprintf(line, sizeof line, "%lld %a %a %d\n", static_cast<long long>(r.frame), r.x, r.y,
                  r.pixels);
    text += line;
  }
  return text;
}

std::string flux_text(const FrameFlux& f) {
  char line[160];
  std::snprintf(line, sizeof line, "[%d %a %a %a %d]", f.held, f.flux, f.flux_err, f.peak,
                f.saturated);
  return line;
}

// Every field of every event, doubles in hexadecimal: equal text, equal bits.
std::string event_text(const std::vector<CatalogueEvent>& events) {
  std::string text;
  char line[512];
  for (const CatalogueEvent& e : events) {
    std::snprintf(line, sizeof line,
                  "%d %lld %lld %d %d %a %a %a %a %a %d %a %a %a %d %a %a %d %d %d%d%d%d%d%d%d %d "
                  "%d ",
                  e.number, static_cast<long long>(e.frame), static_cast<long long>(e.last_report),
                  e.frames, e.reports, e.x, e.y, e.peak, e.flux, e.flux_err, e.saturated, e.motion,
                  e.step_x, e.step_y, static_cast<int>(e.fields), e.fwhm, e.field_fwhm, e.pixel_x,
                  e.pixel_y, e.signs.moving, e.signs.off_moon, e.signs.sunlit, e.signs.edge,
                  e.signs.hot_pixel, e.signs.sharp, e.signs.scattered,
                  static_cast<int>(e.verdict), e.end_ring);
    text += line + flux_text(e.first);
    for (const FrameFlux& f : e.curve) text += flux_text(f);
    text += "\n";
  }
  return text;
}

void expect_same_runs(const GridRuns& a, const GridRuns& b, const std::vector<GridSetting>& grid) {
  EXPECT_EQ(a.frames_tested, b.frames_tested);
  ASSERT_EQ(a.clean.size(), grid.size());
  ASSERT_EQ(b.clean.size(), grid.size());
  ASSERT_EQ(a.injected.size(), b.injected.size());
  for (std::size_t i = 0; i < grid.size(); ++i) {
    const std::string at = "setting " + std::to_string(i);
    EXPECT_EQ(report_text(a.clean[i]), report_text(b.clean[i])) << at;
    EXPECT_EQ(event_text(a.clean_events[i]), event_text(b.clean_events[i])) << at;
    EXPECT_EQ(event_text(a.negative_events[i]), event_text(b.negative_events[i])) << at;
    for (std::size_t p = 0; p < a.injected.size(); ++p) {
      EXPECT_EQ(report_text(a.injected[p][i]), report_text(b.injected[p][i]))
          << at << ", pass " << p;
    }
  }
}

// The one scan answers for every setting, on every run and split over threads, exactly as the
// straightforward scans do; and the recording gives each kind of answer somewhere.
TEST(TuneGrid, OneScanGivesTheStraightforwardRunsBitForBit) {
  const std::shared_ptr<const Frames> frames = recording();
  std::string error;
  GridRuns reference;
  ASSERT_TRUE(run_grid(request_for(frames, true, 1), reference, &error)) << error;
  EXPECT_EQ(reference.frames_tested, kFrames);
  std::size_t reports = 0;
  std::size_t negative_events = 0;
  bool capped = false;
  for (std::size_t i = 0; i < reference.clean.size(); ++i) {
    reports += reference.clean[i].size();
    negative_events += reference.negative_events[i].size();
    for (const FoundReport& r : reference.clean[i]) capped = capped || r.pixels == 100;
  }
  EXPECT_GT(reports, 1000u);
  EXPECT_GE(negative_events, 5u);
  EXPECT_FALSE(capped) << "Max_flash_limit 80 drops a capped list; it is tested below";

  for (const int threads : {1, 3}) {
    GridRuns fast;
    ASSERT_TRUE(run_grid(request_for(frames, false, threads), fast, &error)) << error;
    SCOPED_TRACE("threads " + std::to_string(threads));
    expect_same_runs(fast, reference, test_grid());
  }
}

// The straightforward scans on the shared ring are what each setting's own run reports: the
// recording, its negative and each injected pass through process_frames with that setting alone.
TEST(TuneGrid, StraightforwardScansAreEachSettingsOwnRun) {
  const std::shared_ptr<const Frames> frames = recording();
  const GridRequest request = request_for(frames, true, 2);
  std::string error;
  GridRuns reference;
  ASSERT_TRUE(run_grid(request, reference, &error)) << error;
  for (std::size_t i = 0; i < request.grid.size(); ++i) {
    const DetectionSettings settings = with_setting(request.settings, request.grid[i]);
    std::unique_ptr<FrameSource> source = request.open(&error);
    std::vector<FoundReport> own;
    ASSERT_TRUE(run_one_setting(*source, settings, own, &error)) << error;
    EXPECT_EQ(report_text(own), report_text(reference.clean[i])) << "setting " << i;
    for (std::size_t p = 0; p < request.passes.size(); ++p) {
      source = make_injecting_source(request.open(&error), request.passes[p]);
      ASSERT_TRUE(run_one_setting(*source, settings, own, &error)) << error;
      EXPECT_EQ(report_text(own), report_text(reference.injected[p][i]))
          << "setting " << i << ", pass " << p;
    }
  }
}

// flash_detector_grid against flash_detector on single frames: every result field it promises,
// the list of pixels included, with lists cut at 100 and odd thresholds side by side.
TEST(TuneGrid, GridDetectorMatchesTheDetectorOnEachThresholds) {
  const std::shared_ptr<const Frames> frames = recording();
  const int n = kRing;
  const FrameGeometry geometry{kWidth, kHeight, kWidth * kHeight};
  std::vector<std::uint8_t> ring_bytes(static_cast<std::size_t>(n) * kWidth * kHeight);
  std::vector<double> sums(kWidth * kHeight);
  std::vector<double> sq(kWidth * kHeight);
  const FrameRing ring{ring_bytes, sums, sq, kWidth * kHeight, n};
  std::vector<DetectionThresholds> grid;
  for (const GridSetting& g : test_grid()) {
    DetectionSettings s = with_setting(base_settings(), g);
    grid.push_back(detection_thresholds(s));
  }
  grid[0].flash_sd_sep = 0.5;  // rejects most clusters
  std::vector<DetectionResult> results(grid.size());
  GridScratch scratch;
  std::vector<std::uint8_t> marked(kWidth * kHeight);
  int capped = 0;
  for (const int first : {60, 61, 0}) {  // frame 70 (the patch) tested in slot 10 of the first
    for (int k = 0; k < n; ++k) {
      const auto& f = (*frames)[static_cast<std::size_t>(first + k)];
      std::copy(f.begin(), f.end(), ring_bytes.begin() + static_cast<std::ptrdiff_t>(k * f.size()));
    }
    recompute_statistics(ring);
    for (int slot = 0; slot < n; ++slot) {
      flash_detector_grid(ring, geometry, slot, grid, scratch, results);
      for (std::size_t k = 0; k < grid.size(); ++k) {
        DetectionResult own;
        flash_detector(ring, geometry, slot, grid[k], marked, {}, own);
        const DetectionResult& r = results[k];
        const std::string at = "frames from " + std::to_string(first) + ", slot " +
                               std::to_string(slot) + ", thresholds " + std::to_string(k);
        ASSERT_EQ(r.found, own.found) << at;
        ASSERT_EQ(r.flash_count, own.flash_count) << at;
        ASSERT_EQ(r.listed, own.listed) << at;
        capped += own.listed == kMaxListedPixels ? 1 : 0;
        for (int p = 0; p < own.listed; ++p) {
          ASSERT_EQ(r.pixels[p].x, own.pixels[p].x) << at;
          ASSERT_EQ(r.pixels[p].y, own.pixels[p].y) << at;
        }
        if (own.listed > 0) {
          EXPECT_EQ(r.measurement.sample, own.measurement.sample) << at;
          EXPECT_EQ(r.measurement.line, own.measurement.line) << at;
          EXPECT_EQ(r.measurement.scatter, own.measurement.scatter) << at;
        }
      }
    }
  }
  EXPECT_GT(capped, 10);
}

}  // namespace
