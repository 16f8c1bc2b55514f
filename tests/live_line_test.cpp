// The live line's text, and the terminal line's drawing: a shorter line blanks what a longer one
// left, and a line written through a clearing stream never lands on the live line.
#include "outputs/live_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(LiveLine, TextNamesCountsRateAndLag) {
  const struct {
    std::int64_t tested;
    double rate;
    std::int64_t behind;
    double behind_seconds;
    std::int64_t events;
    const char* text;
  } cases[] = {
      {12345, 49.84, 3, 0.0602, 2,
       "12 345 frames tested, 49.8 frames/s, 3 frames (0.06 s) behind the writer, 2 events"},
      // One of each is said in the singular.
      {1, 1.0, 1, 1.0, 1,
       "1 frame tested, 1.0 frames/s, 1 frame (1.00 s) behind the writer, 1 event"},
      // No rate measured yet, nothing behind: neither rate nor seconds.
      {0, 0.0, 0, -1.0, 0, "0 frames tested, 0 frames behind the writer, 0 events"},
      {120, 0.0, 0, 0.5, 0, "120 frames tested, 0 frames behind the writer, 0 events"},
      // Behind with no rate to turn it into seconds.
      {999, -1.0, 1000, -1.0, 3, "999 frames tested, 1 000 frames behind the writer, 3 events"},
      // Long lags in whole seconds; long counts grouped by thousands.
      {1234567, 200.04, 4000, 20.0, 1000,
       "1 234 567 frames tested, 200.0 frames/s, 4 000 frames (20 s) behind the writer, 1 000 "
       "events"},
      {1000000, 50.0, 999, 9.994, 0,
       "1 000 000 frames tested, 50.0 frames/s, 999 frames (9.99 s) behind the writer, 0 events"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(live_line_text(c.tested, c.rate, c.behind, c.behind_seconds, c.events), c.text);
  }
}

std::string written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string bytes;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) bytes += static_cast<char>(c);
  return bytes;
}

TEST(LiveLine, DrawsInPlaceAndClearsBeforeOtherLines) {
  std::FILE* terminal = std::tmpfile();
  ASSERT_NE(terminal, nullptr);
  {
    TerminalLine line(terminal);
    std::FILE* err = stream_clearing_line(terminal, line);
    ASSERT_NE(err, nullptr);
    std::fprintf(err, "before\n");  // nothing shows: written as it is
    line.draw("abcdef");
    line.draw("xyz");                // blanks over what the longer line left
    std::fprintf(err, "message\n");  // the line is cleared first
    std::fprintf(err, "second\n");   // nothing to clear
    line.draw("pq");
    line.end();
    line.end();  // once only
    line.clear();
    EXPECT_EQ(std::fclose(err), 0);
  }
  EXPECT_EQ(written(terminal), "before\n\rabcdef\rxyz   \r   \rmessage\nsecond\n\rpq\n");
  std::fclose(terminal);
}

}  // namespace
