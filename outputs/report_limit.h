// --max-reports: past that many reports a run goes on reporting (flash_info.dat and the
// catalogue stay complete) but draws no report image and no review pictures, so that a run that
// reports nearly every frame cannot fill the disk. The report images output counts the reports;
// the catalogue and the review pictures ask it which frames still get pictures.
#pragma once

#include <cstdint>
#include <limits>

struct ReportLimit {
  std::int64_t most = -1;     // report images to write at most; -1: no limit
  std::int64_t reports = 0;   // reports seen so far
  // The tested frame of the first report past `most`: it and every later frame get no pictures.
  std::int64_t first_frame_past = std::numeric_limits<std::int64_t>::max();
};

// True when the report of tested frame `frame` has (or had) its pictures drawn.
inline bool has_pictures(const ReportLimit* limit, std::int64_t frame) {
  return limit == nullptr || frame < limit->first_frame_past;
}
