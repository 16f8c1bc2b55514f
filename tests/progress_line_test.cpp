// The progress line of a run on a recording: its text, its redraws in place at most four times a
// second, and the report notices that keep lines of their own.
#include "outputs/progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::string contents(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text.push_back(char(c));
  return text;
}

}  // namespace

TEST(ProgressLine, Text) {
  struct Case {
    std::int64_t done;
    std::int64_t total;
    double rate;
    std::int64_t reports;
    double left;
    std::string text;
  };
  const std::vector<Case> cases = {
      {31, 200, 0, 0, -1, "31 of 200 frames (15%), 0 reports"},
      {1200, 5000, 350.4, 1, 10.9,
       "1200 of 5000 frames (24%), 350 frames/s, 1 report, 0:00:11 left"},
      {5000, 5000, 352, 2, -1, "5000 of 5000 frames (100%), 352 frames/s, 2 reports"},
      {999999, 1000000, 800, 12, 3725,
       "999999 of 1000000 frames (99%), 800 frames/s, 12 reports, "
       "1:02:05 left"},
      // A video's probed count is an estimate: the frames read may pass it.
      {260, 250, 0, 0, -1, "260 of 260 frames (100%), 0 reports"},
      {250, -1, 100, 3, -1, "250 frames, 100 frames/s, 3 reports"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(progress_text(c.done, c.total, c.rate, c.reports, c.left), c.text);
  }
}

TEST(ProgressLine, RedrawsInPlaceAndGivesReportsTheirOwnLine) {
  std::FILE* out = std::tmpfile();
  double now = 100.0;
  const std::unique_ptr<RunOutput> line = make_progress_line(out, 1000, [&now] { return now; });
  std::string error;
  ASSERT_EQ(line->start(&error), OutputStatus::ok);
  const RingView ring;
  auto tested = [&](std::int64_t newest) {
    EXPECT_EQ(line->frame_tested({newest, newest - 30, false}, ring, &error), OutputStatus::ok);
  };
  tested(30);  // drawn at once
  now += 0.1;
  tested(31);  // too soon: not drawn
  now += 0.9;  // one second after the start, 100 frames on
  tested(130);
  // A report: its notice over the line, then the line again at the next frame.
  DetectionResult result;
  RingView report_ring;
  report_ring.target_frame = 101;
  ASSERT_EQ(line->report({131, result, {}, report_ring}, &error), OutputStatus::ok);
  now += 0.01;
  tested(131);
  now += 1.0;
  ASSERT_EQ(line->finish({true, 1000}, &error), OutputStatus::ok);
  EXPECT_EQ(contents(out),
            "\r31 of 1000 frames (3%), 0 reports"
            "\r131 of 1000 frames (13%), 100 frames/s, 0 reports, 0:00:09 left"
            "\rVideo Frame= 131 may have an impact flash 101                  \n"
            "\r132 of 1000 frames (13%), 100 frames/s, 1 report, 0:00:09 left"
            "\r1000 of 1000 frames (100%), 482 frames/s, 1 report            \n");
  std::fclose(out);
}
