// The sources vesk-tune stacks on a recording: a stretch of it (frame window) and synthetic
// flashes added in memory (injecting source), on small frames held by a test source.
#include "sources/injecting_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <ostream>
#include <vector>

#include "sources/frame_window.h"

namespace {

constexpr int kWidth = 12;
constexpr int kHeight = 9;
const FrameGeometry kGeometry{kWidth, kHeight, kWidth* kHeight};

// Frames of one grey level each (frame f is grey 10 + f), the last one `short_bytes` long when
// that is set; counts the frames read.
class GreyFrames final : public FrameSource {
 public:
  GreyFrames(int frames, std::size_t short_bytes = 0, int* reads = nullptr)
      : frames_(frames), short_bytes_(short_bytes), reads_(reads) {}
  FrameGeometry geometry() const override { return kGeometry; }
  std::int64_t frame_count() const override { return frames_; }
  FrameRead read_next(std::span<std::uint8_t> destination) override {
    if (next_ >= frames_) return {FrameStatus::end, 0, "", "no frame " + std::to_string(next_)};
    if (reads_ != nullptr) ++*reads_;
    const bool last = next_ + 1 == frames_;
    const std::size_t bytes = last && short_bytes_ > 0 ? short_bytes_ : destination.size();
    std::fill(destination.begin(), destination.begin() + static_cast<std::ptrdiff_t>(bytes),
              static_cast<std::uint8_t>(10 + next_));
    ++next_;
    return {FrameStatus::frame, bytes, "", ""};
  }
  FrameTime frame_time(std::int64_t frame) const override {
    FrameTime time;
    time.known = true;
    time.seconds = 0.04 * static_cast<double>(frame);
    return time;
  }

 private:
  int frames_;
  std::size_t short_bytes_;
  int* reads_;
  int next_ = 0;
};

std::vector<std::vector<std::uint8_t>> read_all(FrameSource& source) {
  std::vector<std::vector<std::uint8_t>> frames;
  for (;;) {
    std::vector<std::uint8_t> frame(kGeometry.frame_pixels, 0);
    const FrameRead read = source.read_next(frame);
    if (read.status != FrameStatus::frame) break;
    frames.push_back(frame);
  }
  return frames;
}

std::uint8_t at(const std::vector<std::uint8_t>& frame, int x, int y) {
  return frame[static_cast<std::size_t>(y * kWidth + x)];
}

TEST(AddSpot, GaussianRoundedAndClippedAtFullWhite) {
  std::vector<std::uint8_t> frame(kGeometry.frame_pixels, 100);
  // FWHM 2.3548 pixels: sigma 1, so a pixel 1 column off gets exp(-1/2) of the peak.
  add_spot({0, 5.0, 4.0, 40.0, 2.3548200450309493}, kGeometry, frame, frame.size());
  EXPECT_EQ(at(frame, 5, 4), 140);
  EXPECT_EQ(at(frame, 6, 4), 100 + std::lround(40.0 * std::exp(-0.5)));  // 124
  EXPECT_EQ(at(frame, 5, 6), 100 + std::lround(40.0 * std::exp(-2.0)));  // 105
  EXPECT_EQ(at(frame, 0, 0), 100);                                       // beyond 4 sigma
  add_spot({0, 5.0, 4.0, 400.0, 2.3548200450309493}, kGeometry, frame, frame.size());
  EXPECT_EQ(at(frame, 5, 4), 255);
}

TEST(AddSpot, StaysInsideTheFrameAndTheBytesRead) {
  std::vector<std::uint8_t> frame(kGeometry.frame_pixels, 100);
  add_spot({0, -30.0, 4.0, 90.0, 2.5}, kGeometry, frame, frame.size());  // wholly outside
  add_spot({0, 1e300, -1e300, 90.0, 2.5}, kGeometry, frame, frame.size());
  EXPECT_EQ(frame, std::vector<std::uint8_t>(kGeometry.frame_pixels, 100));
  // A short frame: only its first 3 rows were read.
  add_spot({0, 0.0, 3.0, 90.0, 2.5}, kGeometry, frame, 3 * kWidth);
  EXPECT_GT(at(frame, 0, 2), 100);
  for (int y = 3; y < kHeight; ++y) EXPECT_EQ(at(frame, 0, y), 100) << "row " << y;
}

TEST(InjectingSource, AddsEachSpotToItsFrameOnly) {
  // Spots given out of frame order; frame 1 gets two, frame 3 none.
  const std::vector<InjectedSpot> spots = {
      {4, 2.0, 2.0, 50.0, 2.0}, {1, 8.0, 6.0, 30.0, 2.0}, {1, 3.0, 3.0, 20.0, 2.0}};
  const std::unique_ptr<FrameSource> source =
      make_injecting_source(std::make_unique<GreyFrames>(5), spots);
  EXPECT_EQ(source->frame_count(), 5);
  EXPECT_DOUBLE_EQ(source->frame_time(3).seconds, 0.12);
  const auto frames = read_all(*source);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(at(frames[1], 8, 6), 11 + 30);
  EXPECT_EQ(at(frames[1], 3, 3), 11 + 20);
  EXPECT_EQ(at(frames[4], 2, 2), 14 + 50);
  for (const int f : {0, 2, 3}) {
    EXPECT_EQ(frames[f], std::vector<std::uint8_t>(kGeometry.frame_pixels, 10 + f)) << f;
  }
}

struct WindowCase {
  const char* name;
  int frames;
  std::int64_t first;
  std::int64_t count;
  std::vector<int> greys;  // of the frames given
  std::int64_t frame_count;
};

// Names the case in test output.
void PrintTo(const WindowCase& c, std::ostream* os) {
  *os << c.name;
}

class FrameWindowTest : public testing::TestWithParam<WindowCase> {};

TEST_P(FrameWindowTest, GivesItsStretchNumberedFromZero) {
  const WindowCase& c = GetParam();
  int reads = 0;
  const std::unique_ptr<FrameSource> window =
      make_frame_window(std::make_unique<GreyFrames>(c.frames, 0, &reads), c.first, c.count);
  EXPECT_EQ(window->frame_count(), c.frame_count);
  const auto frames = read_all(*window);
  std::vector<int> greys;
  for (const auto& f : frames) greys.push_back(f[0]);
  EXPECT_EQ(greys, c.greys);
  // Frames past the window are not read.
  EXPECT_LE(reads, static_cast<int>(c.first) + static_cast<int>(c.greys.size()));
  if (!greys.empty()) {
    EXPECT_DOUBLE_EQ(window->frame_time(0).seconds, 0.04 * c.first);
  }
}

const WindowCase kWindows[] = {
    {"all", 4, 0, -1, {10, 11, 12, 13}, 4},
    {"middle", 6, 2, 3, {12, 13, 14}, 3},
    {"count_past_the_end", 5, 3, 10, {13, 14}, 2},
    {"first_past_the_end", 3, 5, 2, {}, 0},
};

INSTANTIATE_TEST_SUITE_P(Stretches, FrameWindowTest, testing::ValuesIn(kWindows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
