// The review page as a run leaves it: review/ emptied at the start, each event's pictures drawn
// while its frames were in the ring, and review/index.html built at the end, also when nothing
// was found.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "outputs/review_pictures.h"
#include "review/event_images.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Event lines of flashes.csv (its header left out).
int catalogue_events() {
  const std::string text = read_text("flashes.csv");
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) - 1;
}

}  // namespace

TEST(ReviewRun, EveryEventHasItsPicturesAndTheirCard) {
  ScratchDir dir;
  ASSERT_EQ(run_command(std::string("'") + VESK_TOOLS_DIR +
                        "/make_demo_frames' --size 320x240 --frames 240 --flashes 3 --hits 1 "
                        "--glints 1 --seed 3 . > generator.txt")
                .exit_status,
            0)
      << read_text("generator.txt");
  write_text("review/e0042_strip.png", "a picture of an earlier run");
  write_text("review/e0042_diff.png", "a picture of an earlier run");
  const ProgramRun run = run_vesk_program("0\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");
  const int events = catalogue_events();
  ASSERT_GE(events, 3) << read_text("flashes.csv");
  EXPECT_FALSE(fs::exists(in_scratch("review/e0042_strip.png"))) << "an earlier run's picture";
  EXPECT_FALSE(fs::exists(in_scratch("review/e0042_diff.png"))) << "an earlier run's picture";
  for (int event = 1; event <= events; ++event) {
    for (const EventImage image :
         {EventImage::strip, EventImage::crop, EventImage::overview, EventImage::difference}) {
      EXPECT_TRUE(fs::is_regular_file(in_scratch("review/" + event_image_name(event, image))))
          << event_image_name(event, image);
    }
  }
  const std::string page = read_review_script(read_text("review/events.js")).cards;
  for (int event = 1; event <= events; ++event) {
    std::string quoted_name = "\"";
    quoted_name += event_image_name(event, EventImage::strip);
    quoted_name += '"';
    EXPECT_NE(page.find(quoted_name), std::string::npos) << "event " << event;
  }
}

TEST(ReviewRun, ARunThatFoundNothingGetsAPageSayingSo) {
  ScratchDir dir;
  ASSERT_EQ(run_command(std::string("'") + VESK_TOOLS_DIR +
                        "/make_demo_frames' --size 160x120 --frames 80 --ring 10 --flashes 0 "
                        "--hits 0 --glints 0 . > generator.txt")
                .exit_status,
            0)
      << read_text("generator.txt");
  const ProgramRun run = run_vesk_program("0\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(catalogue_events(), 0);
  EXPECT_NE(read_review_script(read_text("review/events.js")).data.find("\"events\":[\n]"),
            std::string::npos);
}

// A live run's page: the first at once, then at most once a second, within its share of the
// run's processor time, and at the latest after kLivePageStaleSeconds.
TEST(ReviewRun, LivePageWrittenWithinItsShareOfTheRun) {
  struct Case {
    const char* what;
    LivePageClock clock;
    double wall_now, run_cpu;
    bool due;
  };
  const Case cases[] = {
      {"the first page", {false, 0.0, 0.0}, 0.0, 0.0, true},
      {"under a second after the last", {true, 100.0, 0.0}, 100.9, 1000.0, false},
      {"a second after, pages cheap", {true, 100.0, 0.01}, 101.0, 1.0, true},
      {"a second after, pages at their share", {true, 100.0, 0.03}, 101.0, 1.0, true},
      {"a second after, pages over their share", {true, 100.0, 0.031}, 101.0, 1.0, false},
      {"pages over their share, nearly stale", {true, 100.0, 5.0}, 109.9, 1.0, false},
      {"pages over their share, stale", {true, 100.0, 5.0}, 110.0, 1.0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(live_page_due(c.clock, c.wall_now, c.run_cpu), c.due) << c.what;
  }
}
