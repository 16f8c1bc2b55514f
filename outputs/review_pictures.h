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

// With `live` (a recording followed while written) the page is also written during the run, at
// most once a second as events come, for a browser that has it open to show them.
std::unique_ptr<ReviewPictures> make_review_pictures(const std::filesystem::path& run_dir,
                                                     int interlace, std::FILE* out, std::FILE* err,
                                                     bool live = false);
