// Detection quality end to end: make_demo_frames writes a night-side recording with known
// flashes, single-pixel hits and a satellite glint; the built vesk runs on it with the shipped
// default.txt, and its flash log is held against the truth file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "demo_truth.h"
#include "test_support.h"

namespace {

// Every flash at least this bright (grey levels above the background at its centre) must be
// found; fainter ones may be missed. The shipped defaults find all flashes from about 30 up.
constexpr double kStatedPeak = 40.0;

using demo::EventKind;
using demo::FlashReport;
using demo::TruthRow;

struct Sequence {
  const char* name;
  int width;
  int height;
  int frames;
  int seed;
  int flashes;
  int hits;
};

// Names the case in test output.
void PrintTo(const Sequence& s, std::ostream* os) {
  *os << s.name;
}

std::string position(int frame, double x, double y) {
  char text[64];
  std::snprintf(text, sizeof text, "frame %d at (%.1f, %.1f)", frame, x, y);
  return text;
}

// Why a report that belongs to no flash or glint was made, for the failure message.
std::string explain_report(const FlashReport& r, const std::vector<TruthRow>& events, int width,
                           int height) {
  bool event_in_frame = false;
  for (const TruthRow& e : events) {
    if (e.frame != r.frame) continue;
    event_in_frame = true;
    if (demo::is_single_pixel_hit(e.kind) && demo::report_matches(r, e, demo::kNearPixels)) {
      return std::string("a single-pixel hit (") + demo::event_kind_name(e.kind) + ") was reported";
    }
  }
  char name[32];
  std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", r.frame);
  const std::vector<std::uint8_t> frame = read_file(name);
  // The terminator's brightness ramp reaches saturation within about 20 pixels.
  const int cx = static_cast<int>(std::lround(r.sample));
  const int cy = static_cast<int>(std::lround(r.line));
  for (int y = std::max(0, cy - 20); y <= std::min(height - 1, cy + 20); ++y) {
    for (int x = std::max(0, cx - 20); x <= std::min(width - 1, cx + 20); ++x) {
      const std::size_t at = 54 + static_cast<std::size_t>(y) * width + x;
      if (at < frame.size() && frame[at] >= 250) {
        return "the edge of the sunlit crescent (saturated within 20 pixels) was reported";
      }
    }
  }
  if (!event_in_frame) return "a frame with nothing injected (noise only) was reported";
  return "something away from the frame's injected event was reported";
}

class DemoQuality : public testing::TestWithParam<Sequence> {};

TEST_P(DemoQuality, ReportsEveryStrongFlashAndNothingElse) {
  const Sequence& s = GetParam();
  ScratchDir dir;
  const std::string generate =
      std::string("'") + VESK_TOOLS_DIR + "/make_demo_frames' --size " + std::to_string(s.width) +
      "x" + std::to_string(s.height) + " --frames " + std::to_string(s.frames) + " --seed " +
      std::to_string(s.seed) + " --flashes " + std::to_string(s.flashes) + " --hits " +
      std::to_string(s.hits) + " --glints 1 . > generator.txt 2>&1";
  ASSERT_EQ(run_command(generate).exit_status, 0) << read_text("generator.txt");
  make_run_folder();  // settings.txt is the shipped default.txt
  const ProgramRun run = run_vesk_program("0\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");

  std::vector<TruthRow> events;
  std::vector<FlashReport> reports;
  std::string error;
  ASSERT_TRUE(demo::read_truth(in_scratch("truth.csv").c_str(), events, &error)) << error;
  ASSERT_TRUE(demo::read_flash_log(in_scratch("flash_info.dat").c_str(), reports, &error)) << error;
  int strong = 0;
  int hits = 0;
  for (const TruthRow& e : events) {
    if (demo::is_single_pixel_hit(e.kind)) ++hits;
    if (e.kind != EventKind::Flash || e.peak < kStatedPeak) continue;
    ++strong;
    bool found = false;
    for (const FlashReport& r : reports) {
      found = found || demo::report_matches(r, e, demo::kFoundPixels);
    }
    EXPECT_TRUE(found) << "flash of peak " << std::lround(e.peak) << ", "
                       << position(e.frame, e.x, e.y) << ": not reported there";
  }
  // The sequence must hold what the test is about, or it proves nothing.
  ASSERT_GE(strong, s.flashes / 3);
  ASSERT_EQ(hits, s.hits);

  for (const FlashReport& r : reports) {
    bool explained = false;
    for (const TruthRow& e : events) {
      const bool moon_event = !demo::is_single_pixel_hit(e.kind);
      explained = explained || (moon_event && demo::report_matches(r, e, demo::kNearPixels));
    }
    if (!explained) {
      ADD_FAILURE() << "report of " << position(r.frame, r.sample, r.line) << ", " << r.pixels
                    << " pixels: " << explain_report(r, events, s.width, s.height);
    }
  }
}

const Sequence kSequences[] = {
    {"vga", 640, 480, 400, 7, 8, 2},
    {"odd_width", 566, 426, 400, 11, 8, 2},
};

INSTANTIATE_TEST_SUITE_P(GeneratedRecordings, DemoQuality, testing::ValuesIn(kSequences),
                         [](const testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
