// The live line of a recording followed while it is written, on the error stream's terminal: one
// line rewritten in place ("\r") at most a few times a second with the frames tested, the rate,
// the lag behind the writer and the events so far. Every other line written to the terminal
// while it shows (a message, a report's notice) first clears it, so no line is garbled; the line
// is drawn again below with the next frame, and ends with a newline when the run ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "outputs/flash_catalogue.h"
#include "outputs/progress_line.h"
#include "run/run_output.h"
#include "sources/ser_follow.h"

// The live line's text: `tested` frames, at `frames_per_second` (left out when not above 0),
// `behind` frames behind the writer, which is `behind_seconds` (left out when below 0 or when
// nothing is behind), and `events` events, e.g.
// "12 345 frames tested, 49.8 frames/s, 3 frames (0.06 s) behind the writer, 2 events".
std::string live_line_text(std::int64_t tested, double frames_per_second, std::int64_t behind,
                           double behind_seconds, std::int64_t events);

// The terminal the line is drawn on, shared by the line and the streams that clear it.
class TerminalLine {
 public:
  explicit TerminalLine(std::FILE* terminal) : terminal_(terminal) {}
  // Draws `text` in place of the line shown (blanks clear what a longer line left).
  void draw(const std::string& text);
  // Clears the line shown, the cursor left at its start; nothing when none shows.
  void clear();
  // Clears the line shown, then writes `bytes` to `stream` and flushes it; false when that
  // write fails.
  bool write_through(std::FILE* stream, const char* bytes, std::size_t size);
  // Ends the line shown with a newline, so that it stays above what follows.
  void end();
  std::FILE* terminal() const { return terminal_; }

 private:
  std::mutex mutex_;
  std::FILE* terminal_;
  std::size_t width_ = 0;  // characters of the line on the terminal now; 0: none shows
};

// A stream that writes through to `real` after clearing `line`: the run's standard output and
// error while the line shows. Null when the system gives no such stream. Close it (fclose) before
// `line` goes.
std::FILE* stream_clearing_line(std::FILE* real, TerminalLine& line);

// Both faces of the live line: a run output (frames tested, the end) and the catalogue's sink
// (events closed).
class LiveLine : public RunOutput, public EventSink {};

// The live line on `line`, the writer's progress read from `progress` (which must outlive it),
// timed by `clock`.
std::unique_ptr<LiveLine> make_live_line(TerminalLine& line, const FollowProgress& progress,
                                         SecondsClock clock);
