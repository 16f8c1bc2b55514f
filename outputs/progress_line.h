// The console of a run on a recording shown on a terminal: one line that rewrites itself ("\r")
// with the frames done of the total, the frames per second, the reports so far and the time left,
// at most four times a second, in place of a line per frame. Each report's notice still gets a
// line of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "run/run_output.h"

// A clock in seconds from any fixed origin; the run's uses std::chrono::steady_clock.
using SecondsClock = std::function<double()>;

// The progress line's text for `done` frames of `total` (unknown when below 1), at
// `frames_per_second` (left out when not above 0), with `reports` reports and `seconds_left`
// (left out when below 0), e.g.
// "1200 of 5000 frames (24%), 350 frames/s, 2 reports, 0:00:11 left".
std::string progress_text(std::int64_t done, std::int64_t total, double frames_per_second,
                          std::int64_t reports, double seconds_left);

// The progress line on `out` for a recording of `total_frames` (-1 when not known). `clock`
// times the redraws and the rate.
std::unique_ptr<RunOutput> make_progress_line(std::FILE* out, std::int64_t total_frames,
                                              SecondsClock clock);
