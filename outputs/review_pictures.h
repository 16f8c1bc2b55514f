// The review page of a run: review/ is emptied when the run starts, each flash event's pictures
// are drawn as the catalogue closes it (while the ring still holds its frames), and
// review/index.html and its events.js are built from the catalogue at the end of the run.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>

#include "outputs/flash_catalogue.h"
#include "run/run_output.h"

// Both faces of the review output: a run output (start and finish) and the catalogue's sink.
class ReviewPictures : public RunOutput, public EventSink {};

// The review output of a run in `run_dir` (`interlace` as the run's Interlace). Problems are said
// on `err` (after flushing `out`) and lose only the review page or pictures: the run goes on.
// Put it before the catalogue among the outputs, so that the catalogue, finishing first, has
// closed every event when the page is built.
// The work space the output takes at once: one event's pictures (review/event_images.h).
std::size_t review_pictures_bytes_needed();

// When a live run writes its review page again. A page is built from every event so far, so
// writing it once a second would cost a night of thousands of events more than its scan: after
// the first, a page is written when events have closed since the last, kLivePageLeastSeconds
// have passed, and the pages so far have taken at most kLivePageShare of the processor time the
// run has taken; but at least every kLivePageStaleSeconds while events close, so that even such
// a night's page is never far behind.
inline constexpr double kLivePageLeastSeconds = 1.0;
inline constexpr double kLivePageShare = 0.03;
inline constexpr double kLivePageStaleSeconds = 10.0;

struct LivePageClock {
  bool written = false;    // a page was written
  double last_wall = 0.0;  // seconds (a steady clock) when it was
  double page_cpu = 0.0;   // processor seconds the pages took so far
};

// Whether a page with events closed since the last is due at `wall_now` (seconds, the clock of
// `clock.last_wall`) when the run has taken `run_cpu` processor seconds, the pages included.
bool live_page_due(const LivePageClock& clock, double wall_now, double run_cpu);

// With `live` (a recording followed while written) the page is also written during the run, as
// live_page_due says, for a browser that has it open to show the events as they come.
std::unique_ptr<ReviewPictures> make_review_pictures(const std::filesystem::path& run_dir,
                                                     int interlace, std::FILE* out, std::FILE* err,
                                                     bool live = false);
