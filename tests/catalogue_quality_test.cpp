// The flash catalogue end to end: make_demo_frames writes a night-side recording with known
// flashes (some fading over a second frame), single-pixel hits and a satellite glint; the built
// vesk runs on it with the shipped default.txt. Every flash reported at its first frame must be
// one `flash` event there of the right duration, the glint one `moving` event of its frames, and
// nothing else may be called a flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr double kMatchPixels = 2.0;
constexpr double kNearPixels = 5.0;

struct Injected {
  int frame;
  double x;
  double y;
  double peak;
  std::string kind;
};

struct Event {
  int number;
  int frame;
  int frames;
  double x;
  double y;
  std::string verdict;
};

std::vector<Injected> injected() {
  std::istringstream text(read_text("truth.csv"));
  std::string line;
  std::getline(text, line);  // column names
  std::vector<Injected> rows;
  while (std::getline(text, line)) {
    Injected r;
    char kind[32] = {};
    double width = 0.0;
    if (std::sscanf(line.c_str(), "%d,%lf,%lf,%lf,%lf,%31s", &r.frame, &r.x, &r.y, &r.peak, &width,
                    kind) == 6) {
      r.kind = kind;
      rows.push_back(r);
    }
  }
  return rows;
}

// event,frame,frames,utc,seconds,x,y,... class is the sixteenth column.
std::vector<Event> catalogue() {
  std::istringstream text(read_text("flashes.csv"));
  std::string line;
  std::getline(text, line);
  std::vector<Event> events;
  while (std::getline(text, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line + ",");
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    if (f.size() < 16) {
      ADD_FAILURE() << "flashes.csv line: " << line;
      continue;
    }
    events.push_back({std::stoi(f[0]), std::stoi(f[1]), std::stoi(f[2]), std::stod(f[5]),
                      std::stod(f[6]), f[15]});
  }
  return events;
}

std::vector<int> reported_frames() {
  std::istringstream text(read_text("flash_info.dat"));
  std::string line;
  std::getline(text, line);
  std::vector<int> frames;
  while (std::getline(text, line)) frames.push_back(std::atoi(line.c_str()));
  return frames;
}

class CatalogueQuality : public testing::TestWithParam<int> {};

TEST_P(CatalogueQuality, FlashesAreOneFlashEventAndTheGlintOneMovingEvent) {
  ScratchDir dir;
  const std::string generate =
      std::string("'") + VESK_TOOLS_DIR + "/make_demo_frames' --size 640x480 --frames 400 --seed " +
      std::to_string(GetParam()) + " --flashes 8 --hits 2 --glints 1 . > generator.txt 2>&1";
  ASSERT_EQ(run_command(generate).exit_status, 0) << read_text("generator.txt");
  make_run_folder();
  const ProgramRun run = run_vesk_program("0\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");

  const std::vector<Injected> truth = injected();
  const std::vector<Event> events = catalogue();
  const std::vector<int> reported = reported_frames();
  std::vector<bool> explained(events.size(), false);
  const auto near = [](const Event& e, double x, double y, double pixels) {
    return std::hypot(e.x - x, e.y - y) <= pixels;
  };
  int checked_flashes = 0;
  int fading = 0;
  for (const Injected& r : truth) {
    if (r.kind != "flash") continue;
    const bool fades = std::any_of(truth.begin(), truth.end(), [&](const Injected& f) {
      return f.kind == "flash_fade" && f.frame == r.frame + 1 && f.x == r.x;
    });
    std::vector<std::size_t> at_flash;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].frame >= r.frame && events[i].frame <= r.frame + 1 &&
          near(events[i], r.x, r.y, kNearPixels)) {
        at_flash.push_back(i);
        explained[i] = true;
      }
    }
    if (std::find(reported.begin(), reported.end(), r.frame) == reported.end()) continue;
    ++checked_flashes;
    if (fades) ++fading;
    SCOPED_TRACE("flash at frame " + std::to_string(r.frame));
    ASSERT_EQ(at_flash.size(), 1u);
    const Event& e = events[at_flash[0]];
    EXPECT_EQ(e.frame, r.frame);
    EXPECT_TRUE(near(e, r.x, r.y, kMatchPixels));
    EXPECT_EQ(e.verdict, "flash");
    EXPECT_EQ(e.frames, fades ? 2 : 1);
  }
  ASSERT_GE(checked_flashes, 5) << "the recording must hold what the test is about";
  ASSERT_GE(fading, 1);

  std::vector<const Injected*> glint;
  for (const Injected& r : truth) {
    if (r.kind == "glint") glint.push_back(&r);
  }
  ASSERT_GE(glint.size(), 4u);
  std::vector<std::size_t> on_glint;
  for (std::size_t i = 0; i < events.size(); ++i) {
    for (const Injected* g : glint) {
      if (events[i].frame == g->frame && near(events[i], g->x, g->y, kNearPixels)) {
        on_glint.push_back(i);
        explained[i] = true;
      }
    }
  }
  ASSERT_EQ(on_glint.size(), 1u) << "the glint must be one event";
  EXPECT_EQ(events[on_glint[0]].verdict, "moving");
  EXPECT_EQ(events[on_glint[0]].frame, glint.front()->frame);
  EXPECT_EQ(events[on_glint[0]].frames, glint.back()->frame - glint.front()->frame + 1);

  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!explained[i]) {
      EXPECT_NE(events[i].verdict, "flash") << "event " << events[i].number << " at frame "
                                            << events[i].frame << " is no injected flash";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(GeneratedRecordings, CatalogueQuality, testing::Values(7, 11));

}  // namespace
