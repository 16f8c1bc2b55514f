// Scores a VESK run on a generated recording: compares the flash log with the truth file written
// by make_demo_frames and prints how many injected flashes were found, missed, and what else was
// reported.
//
// A flash is found when a report names its first frame within demo::kFoundPixels of its centre.
// Every other report is put down to the event of its frame within demo::kNearPixels: a flash
// found off its centre, the second frame of a flash that fades over two frames, or a satellite
// glint; a report near no injected flash or glint is spurious.
//
// With the run's flashes.csv as a third argument it also scores the flash catalogue: every
// injected flash must come out as one `flash` event at its first frame with the duration of its
// frames, and each satellite glint as one `moving` event.
//
// Usage: demo_summary TRUTH_CSV FLASH_INFO_DAT [FLASHES_CSV]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "demo_truth.h"
#include "formats/flashes_csv.h"
#include "imaging/file_io.h"

namespace {

using demo::EventKind;
using demo::FlashReport;
using demo::TruthRow;

// Flashes of peaks in [low, high), and how many of them were found.
struct Band {
  double low, high;
  int injected = 0;
  int found = 0;
};

struct FlashScore {
  int flashes = 0;
  int fading = 0;        // second frames of fading flashes
  int hits = 0;          // single-pixel hits injected
  int glint_frames = 0;  // frames with a glint
  std::vector<const TruthRow*> missed;
  std::vector<Band> bands = {{15, 30}, {30, 50}, {50, 80}, {80, 130}, {130, 1000}};
};

struct ReportScore {
  int off_centre = 0;
  int second_frames = 0;
  int glints = 0;
  int at_hits = 0;  // spurious reports at a single-pixel hit
  std::vector<const FlashReport*> spurious;
};

// True when a report finds `row`, a flash, at its first frame.
bool is_found(const TruthRow& row, const std::vector<FlashReport>& reports) {
  for (const FlashReport& report : reports) {
    if (demo::report_matches(report, row, demo::kFoundPixels)) return true;
  }
  return false;
}

FlashScore score_flashes(const std::vector<TruthRow>& truth,
                         const std::vector<FlashReport>& reports) {
  FlashScore score;
  for (const TruthRow& row : truth) {
    if (row.kind == EventKind::FlashFade) ++score.fading;
    if (demo::is_single_pixel_hit(row.kind)) ++score.hits;
    if (row.kind == EventKind::Glint) ++score.glint_frames;
    if (row.kind != EventKind::Flash) continue;
    ++score.flashes;
    const bool found = is_found(row, reports);
    if (!found) score.missed.push_back(&row);
    for (Band& band : score.bands) {
      if (row.peak >= band.low && row.peak < band.high) {
        ++band.injected;
        if (found) ++band.found;
      }
    }
  }
  return score;
}

// True when `report` lies within demo::kNearPixels of an event of `kind` in its frame.
bool near_kind(const FlashReport& report, const std::vector<TruthRow>& truth, EventKind kind) {
  for (const TruthRow& row : truth) {
    if (row.kind == kind && demo::report_matches(report, row, demo::kNearPixels)) return true;
  }
  return false;
}

// True when `report` finds a flash at its first frame.
bool finds_flash(const FlashReport& report, const std::vector<TruthRow>& truth) {
  for (const TruthRow& row : truth) {
    if (row.kind == EventKind::Flash && demo::report_matches(report, row, demo::kFoundPixels)) {
      return true;
    }
  }
  return false;
}

ReportScore score_reports(const std::vector<TruthRow>& truth,
                          const std::vector<FlashReport>& reports) {
  ReportScore score;
  for (const FlashReport& report : reports) {
    if (finds_flash(report, truth)) continue;  // counted with the flashes
    if (near_kind(report, truth, EventKind::Flash)) {
      ++score.off_centre;
    } else if (near_kind(report, truth, EventKind::FlashFade)) {
      ++score.second_frames;
    } else if (near_kind(report, truth, EventKind::Glint)) {
      ++score.glints;
    } else {
      score.spurious.push_back(&report);
      if (near_kind(report, truth, EventKind::CosmicRay) ||
          near_kind(report, truth, EventKind::HotPixel)) {
        ++score.at_hits;
      }
    }
  }
  return score;
}

void print_flashes(const FlashScore& f, std::size_t report_count) {
  std::printf("Flashes injected:  %d (%d of them fade over a second frame)\n", f.flashes, f.fading);
  std::printf("Frames reported:   %zu\n", report_count);
  std::printf("Matched:           %d (reported at the flash's first frame, within %.0f pixels)\n",
              f.flashes - static_cast<int>(f.missed.size()), demo::kFoundPixels);
  std::printf("Missed:            %zu\n", f.missed.size());
  for (const TruthRow* row : f.missed) {
    std::printf("                     frame %d at (%.1f, %.1f), peak %.0f, %.1f pixels across\n",
                row->frame, row->x, row->y, row->peak, row->width);
  }
}

void print_reports(const ReportScore& r, const FlashScore& f) {
  std::printf("Spurious:          %zu (%d at single-pixel hits; %d hits injected)\n",
              r.spurious.size(), r.at_hits, f.hits);
  for (const FlashReport* report : r.spurious) {
    std::printf("                     frame %d at (%.1f, %.1f), %d pixels\n", report->frame,
                report->sample, report->line, report->pixels);
  }
  if (r.off_centre > 0) {
    std::printf("Also reported:     %d flashes more than %.0f pixels off their centre\n",
                r.off_centre, demo::kFoundPixels);
  }
  if (r.second_frames > 0) {
    std::printf("Also reported:     %d second frames of fading flashes\n", r.second_frames);
  }
  if (f.glint_frames > 0) {
    std::printf(
        "Satellite glint:   %d of its %d frames reported (a moving point looks like a flash in\n"
        "                   each frame; its report images show it travel)\n",
        r.glints, f.glint_frames);
  }
}

void print_bands(const std::vector<Band>& bands) {
  std::printf("Found by peak:    ");
  const char* separator = " ";
  for (const Band& band : bands) {
    if (band.injected == 0) continue;
    if (band.high >= 1000) {
      std::printf("%s%.0f+: %d of %d", separator, band.low, band.found, band.injected);
    } else {
      std::printf("%s%.0f-%.0f: %d of %d", separator, band.low, band.high, band.found,
                  band.injected);
    }
    separator = ", ";
  }
  std::printf(
      "\n                   (peak: grey levels above the background at the flash's centre)\n");
}

// ---- the flash catalogue ---------------------------------------------------------------------

// The catalogue part of the summary: each injected flash as one `flash` event of its duration,
// each glint as one `moving` event, and what else the catalogue holds.
void print_catalogue_summary(const char* path, const std::vector<FlashRow>& events,
                             const std::vector<TruthRow>& truth) {
  const auto count_class = [&](const char* verdict) {
    return std::count_if(events.begin(), events.end(),
                         [&](const FlashRow& e) { return e.event_class == verdict; });
  };
  std::printf("Flash catalogue:   %zu events in %s: %ld flash, %ld moving, %ld edge\n",
              events.size(), path, static_cast<long>(count_class("flash")),
              static_cast<long>(count_class("moving")), static_cast<long>(count_class("edge")));
  std::vector<bool> explained(events.size(), false);
  const auto near = [](const FlashRow& e, double x, double y, double pixels) {
    return std::hypot(e.x - x, e.y - y) <= pixels;
  };

  int flashes = 0;
  int right = 0;
  int fading = 0;
  std::vector<std::string> wrong;
  for (const TruthRow& row : truth) {
    if (row.kind != EventKind::Flash) continue;
    ++flashes;
    int frames = 1;
    for (const TruthRow& fade : truth) {
      if (fade.kind == EventKind::FlashFade && fade.frame == row.frame + 1 && fade.x == row.x &&
          fade.y == row.y) {
        frames = 2;
      }
    }
    if (frames == 2) ++fading;
    // Events during the flash near its site.
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const FlashRow& e = events[i];
      if (e.frame >= row.frame && e.frame < row.frame + frames &&
          near(e, row.x, row.y, demo::kNearPixels)) {
        found.push_back(i);
        explained[i] = true;
      }
    }
    const bool one = found.size() == 1 && events[found[0]].frame == row.frame &&
                     near(events[found[0]], row.x, row.y, demo::kFoundPixels);
    if (one && events[found[0]].event_class == "flash" && events[found[0]].frames == frames) {
      ++right;
      continue;
    }
    char text[160];
    if (found.empty()) {
      std::snprintf(text, sizeof text, "frame %d at (%.1f, %.1f): no event", row.frame, row.x,
                    row.y);
    } else {
      const FlashRow& e = events[found[0]];
      std::snprintf(text, sizeof text,
                    "frame %d at (%.1f, %.1f): %zu events, the first %s of %d frames where %d",
                    row.frame, row.x, row.y, found.size(), e.event_class.c_str(), e.frames, frames);
    }
    wrong.push_back(text);
  }
  std::printf(
      "                   %d of %d flashes as one flash event of the right duration (%d "
      "of them 2 frames)\n",
      right, flashes, fading);
  for (const std::string& w : wrong) std::printf("                     %s\n", w.c_str());

  // Glints: runs of glint rows in successive frames.
  for (std::size_t first = 0; first < truth.size(); ++first) {
    if (truth[first].kind != EventKind::Glint) continue;
    if (first > 0 && truth[first - 1].kind == EventKind::Glint &&
        truth[first - 1].frame + 1 == truth[first].frame) {
      continue;  // not the start of a glint
    }
    std::size_t last = first;
    while (last + 1 < truth.size() && truth[last + 1].kind == EventKind::Glint &&
           truth[last + 1].frame == truth[last].frame + 1) {
      ++last;
    }
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
      for (std::size_t k = first; k <= last; ++k) {
        if (events[i].frame == truth[k].frame &&
            near(events[i], truth[k].x, truth[k].y, demo::kNearPixels)) {
          found.push_back(i);
          explained[i] = true;
        }
      }
    }
    const int frames = truth[last].frame - truth[first].frame + 1;
    if (found.size() == 1 && events[found[0]].event_class == "moving") {
      std::printf(
          "                   glint of %d frames: one moving event of %d frames, %.1f "
          "pixels per frame\n",
          frames, events[found[0]].frames, events[found[0]].motion);
    } else {
      std::printf("                   glint of %d frames from frame %d: %zu events (%s)\n", frames,
                  truth[first].frame, found.size(),
                  found.empty() ? "none" : events[found[0]].event_class.c_str());
    }
  }
  const long others = std::count(explained.begin(), explained.end(), false);
  std::printf("                   %ld other events\n", others);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (explained[i]) continue;
    std::printf("                     event %d: frame %lld at (%.1f, %.1f), %s\n", events[i].event,
                static_cast<long long>(events[i].frame), events[i].x, events[i].y,
                events[i].event_class.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: demo_summary TRUTH_CSV FLASH_INFO_DAT [FLASHES_CSV]\n");
    return 2;
  }
  std::vector<TruthRow> truth;
  std::vector<FlashReport> reports;
  std::string error;
  if (!demo::read_truth(argv[1], truth, &error) ||
      !demo::read_flash_log(argv[2], reports, &error)) {
    std::fprintf(stderr, "demo_summary: %s\n", error.c_str());
    return 1;
  }
  const FlashScore flashes = score_flashes(truth, reports);
  const ReportScore others = score_reports(truth, reports);
  print_flashes(flashes, reports.size());
  print_reports(others, flashes);
  print_bands(flashes.bands);
  if (argc == 4) {
    std::vector<FlashRow> events;
    if (!read_flashes_csv(argv[3], events, &error)) {
      std::fprintf(stderr, "demo_summary: %s\n", error.c_str());
      return 1;
    }
    print_catalogue_summary(argv[3], events, truth);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "demo_summary: standard output: write failed\n");
    return 1;
  }
  return 0;
}
