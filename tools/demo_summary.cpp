// Scores a VESK run on a generated recording: compares the flash log with the truth file written
// by make_demo_frames and prints how many injected flashes were found, missed, and what else was
// reported.
//
// A flash is found when a report names its first frame and the report's (sample, line) lies
// within 2 pixels of the flash's (x, y). Every other report is put down to the event of its frame
// within 5 pixels: a flash found off its centre, the second frame of a flash that fades over two
// frames, or a satellite glint; a report near no injected flash or glint is spurious.
//
// With the run's flashes.csv as a third argument it also scores the flash catalogue: every
// injected flash must come out as one `flash` event at its first frame with the duration of its
// frames, and each satellite glint as one `moving` event.
//
// Usage: demo_summary TRUTH_CSV FLASH_INFO_DAT [FLASHES_CSV]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/file_io.h"

namespace {

constexpr double kMatchPixels = 2.0;  // a flash counts as found at its first frame within this
constexpr double kNearPixels = 5.0;   // other reports are put down to an event within this

struct TruthRow {
  int frame = 0;
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double width = 0.0;
  std::string kind;
};

struct Report {
  int frame = 0;
  int pixels = 0;
  double sample = 0.0;
  double line = 0.0;
};

bool read_truth(const char* path, std::vector<TruthRow>& rows, std::string& error) {
  FileHandle file = open_file(path, "r", error);
  if (!file) return false;
  char text[256];
  int line_number = 0;
  while (std::fgets(text, sizeof text, file.get()) != nullptr) {
    ++line_number;
    if (line_number == 1) continue;  // column names
    TruthRow row;
    char kind[32] = {};
    if (std::sscanf(text, "%d,%lf,%lf,%lf,%lf,%31[a-z_]", &row.frame, &row.x, &row.y, &row.peak,
                    &row.width, kind) != 6) {
      error = std::string(path) + ": line " + std::to_string(line_number) +
              ": not frame,x,y,peak,width,kind";
      return false;
    }
    row.kind = kind;
    rows.push_back(row);
  }
  return true;
}

bool read_flash_log(const char* path, std::vector<Report>& reports, std::string& error) {
  FileHandle file = open_file(path, "r", error);
  if (!file) return false;
  char text[512];
  int line_number = 0;
  while (std::fgets(text, sizeof text, file.get()) != nullptr) {
    ++line_number;
    if (line_number == 1) continue;  // column names
    Report report;
    if (std::sscanf(text, "%d %d %lf %lf", &report.frame, &report.pixels, &report.sample,
                    &report.line) != 4) {
      error = std::string(path) + ": line " + std::to_string(line_number) + ": not a flash record";
      return false;
    }
    reports.push_back(report);
  }
  return true;
}

bool matches(const Report& report, const TruthRow& row, double pixels) {
  return report.frame == row.frame &&
         std::hypot(report.sample - row.x, report.line - row.y) <= pixels;
}

// The truth row of `kind` that `report` matches, or nullptr.
const TruthRow* find_match(const Report& report, const std::vector<TruthRow>& truth,
                           const char* kind) {
  for (const TruthRow& row : truth) {
    if (row.kind == kind && matches(report, row, kNearPixels)) return &row;
  }
  return nullptr;
}

// ---- the flash catalogue ---------------------------------------------------------------------

struct CatalogueRow {
  int event = 0;
  int frame = 0;
  int frames = 0;
  double x = 0.0;
  double y = 0.0;
  double motion = 0.0;
  std::string verdict;
};

bool read_catalogue(const char* path, std::vector<CatalogueRow>& rows, std::string& error) {
  FileHandle file = open_file(path, "r", error);
  if (!file) return false;
  char text[1024];
  std::vector<std::string> header;
  int line_number = 0;
  while (std::fgets(text, sizeof text, file.get()) != nullptr) {
    ++line_number;
    std::string line(text);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::vector<std::string> fields;
    std::stringstream in(line + ",");
    for (std::string field; std::getline(in, field, ',');) fields.push_back(field);
    if (line_number == 1) {
      header = fields;
      continue;
    }
    const auto field = [&](const char* name) -> const std::string& {
      static const std::string none;
      const auto at = std::find(header.begin(), header.end(), name) - header.begin();
      return static_cast<std::size_t>(at) < fields.size() ? fields[static_cast<std::size_t>(at)]
                                                          : none;
    };
    CatalogueRow row;
    char* end = nullptr;
    row.event = std::atoi(field("event").c_str());
    row.frame = std::atoi(field("frame").c_str());
    row.frames = std::atoi(field("frames").c_str());
    row.x = std::strtod(field("x").c_str(), &end);
    row.y = std::strtod(field("y").c_str(), &end);
    row.motion = std::strtod(field("motion").c_str(), &end);
    row.verdict = field("class");
    if (row.event <= 0 || row.verdict.empty()) {
      error = std::string(path) + ": line " + std::to_string(line_number) + ": not an event line";
      return false;
    }
    rows.push_back(row);
  }
  return true;
}

// The catalogue part of the summary: each injected flash as one `flash` event of its duration,
// each glint as one `moving` event, and what else the catalogue holds.
void print_catalogue_summary(const char* path, const std::vector<CatalogueRow>& events,
                             const std::vector<TruthRow>& truth) {
  const auto count_class = [&](const char* verdict) {
    return std::count_if(events.begin(), events.end(),
                         [&](const CatalogueRow& e) { return e.verdict == verdict; });
  };
  std::printf("Flash catalogue:   %zu events in %s: %ld flash, %ld moving, %ld edge\n",
              events.size(), path, static_cast<long>(count_class("flash")),
              static_cast<long>(count_class("moving")), static_cast<long>(count_class("edge")));
  std::vector<bool> explained(events.size(), false);
  const auto near = [](const CatalogueRow& e, double x, double y, double pixels) {
    return std::hypot(e.x - x, e.y - y) <= pixels;
  };

  int flashes = 0;
  int right = 0;
  int fading = 0;
  std::vector<std::string> wrong;
  for (const TruthRow& row : truth) {
    if (row.kind != "flash") continue;
    ++flashes;
    int frames = 1;
    for (const TruthRow& fade : truth) {
      if (fade.kind == "flash_fade" && fade.frame == row.frame + 1 && fade.x == row.x &&
          fade.y == row.y) {
        frames = 2;
      }
    }
    if (frames == 2) ++fading;
    // Events during the flash near its site.
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const CatalogueRow& e = events[i];
      if (e.frame >= row.frame && e.frame < row.frame + frames &&
          near(e, row.x, row.y, kNearPixels)) {
        found.push_back(i);
        explained[i] = true;
      }
    }
    const bool one = found.size() == 1 && events[found[0]].frame == row.frame &&
                     near(events[found[0]], row.x, row.y, kMatchPixels);
    if (one && events[found[0]].verdict == "flash" && events[found[0]].frames == frames) {
      ++right;
      continue;
    }
    char text[160];
    if (found.empty()) {
      std::snprintf(text, sizeof text, "frame %d at (%.1f, %.1f): no event", row.frame, row.x,
                    row.y);
    } else {
      const CatalogueRow& e = events[found[0]];
      std::snprintf(text, sizeof text,
                    "frame %d at (%.1f, %.1f): %zu events, the first %s of %d frames where %d",
                    row.frame, row.x, row.y, found.size(), e.verdict.c_str(), e.frames, frames);
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
    if (truth[first].kind != "glint") continue;
    if (first > 0 && truth[first - 1].kind == "glint" &&
        truth[first - 1].frame + 1 == truth[first].frame) {
      continue;  // not the start of a glint
    }
    std::size_t last = first;
    while (last + 1 < truth.size() && truth[last + 1].kind == "glint" &&
           truth[last + 1].frame == truth[last].frame + 1) {
      ++last;
    }
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
      for (std::size_t k = first; k <= last; ++k) {
        if (events[i].frame == truth[k].frame &&
            near(events[i], truth[k].x, truth[k].y, kNearPixels)) {
          found.push_back(i);
          explained[i] = true;
        }
      }
    }
    const int frames = truth[last].frame - truth[first].frame + 1;
    if (found.size() == 1 && events[found[0]].verdict == "moving") {
      std::printf(
          "                   glint of %d frames: one moving event of %d frames, %.1f "
          "pixels per frame\n",
          frames, events[found[0]].frames, events[found[0]].motion);
    } else {
      std::printf("                   glint of %d frames from frame %d: %zu events (%s)\n", frames,
                  truth[first].frame, found.size(),
                  found.empty() ? "none" : events[found[0]].verdict.c_str());
    }
  }
  const long others = std::count(explained.begin(), explained.end(), false);
  std::printf("                   %ld other events\n", others);
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (explained[i]) continue;
    std::printf("                     event %d: frame %d at (%.1f, %.1f), %s\n", events[i].event,
                events[i].frame, events[i].x, events[i].y, events[i].verdict.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: demo_summary TRUTH_CSV FLASH_INFO_DAT [FLASHES_CSV]\n");
    return 1;
  }
  std::vector<TruthRow> truth;
  std::vector<Report> reports;
  std::string error;
  if (!read_truth(argv[1], truth, error) || !read_flash_log(argv[2], reports, error)) {
    std::fprintf(stderr, "demo_summary: %s\n", error.c_str());
    return 1;
  }

  struct Band {
    double low, high;
    int injected = 0;
    int found = 0;
  };
  std::vector<Band> bands = {{15, 30}, {30, 50}, {50, 80}, {80, 130}, {130, 1000}};
  int flashes = 0;
  int fading = 0;
  int hits = 0;
  int glint_frames = 0;
  std::vector<const TruthRow*> missed;
  for (const TruthRow& row : truth) {
    if (row.kind == "flash_fade") ++fading;
    if (row.kind == "cosmic_ray" || row.kind == "hot_pixel") ++hits;
    if (row.kind == "glint") ++glint_frames;
    if (row.kind != "flash") continue;
    ++flashes;
    bool found = false;
    for (const Report& report : reports) found = found || matches(report, row, kMatchPixels);
    if (!found) missed.push_back(&row);
    for (Band& band : bands) {
      if (row.peak >= band.low && row.peak < band.high) {
        ++band.injected;
        if (found) ++band.found;
      }
    }
  }

  int off_centre = 0;
  int second_frames = 0;
  int glints = 0;
  int at_hits = 0;
  std::vector<const Report*> spurious;
  for (const Report& report : reports) {
    bool found = false;
    for (const TruthRow& row : truth) {
      found = found || (row.kind == "flash" && matches(report, row, kMatchPixels));
    }
    if (found) continue;  // counted with the flashes above
    if (find_match(report, truth, "flash") != nullptr) {
      ++off_centre;
    } else if (find_match(report, truth, "flash_fade") != nullptr) {
      ++second_frames;
    } else if (find_match(report, truth, "glint") != nullptr) {
      ++glints;
    } else {
      spurious.push_back(&report);
      if (find_match(report, truth, "cosmic_ray") != nullptr ||
          find_match(report, truth, "hot_pixel") != nullptr) {
        ++at_hits;
      }
    }
  }

  std::printf("Flashes injected:  %d (%d of them fade over a second frame)\n", flashes, fading);
  std::printf("Frames reported:   %zu\n", reports.size());
  std::printf("Matched:           %d (reported at the flash's first frame, within %.0f pixels)\n",
              flashes - static_cast<int>(missed.size()), kMatchPixels);
  std::printf("Missed:            %zu\n", missed.size());
  for (const TruthRow* row : missed) {
    std::printf("                     frame %d at (%.1f, %.1f), peak %.0f, %.1f pixels across\n",
                row->frame, row->x, row->y, row->peak, row->width);
  }
  std::printf("Spurious:          %zu (%d at single-pixel hits; %d hits injected)\n",
              spurious.size(), at_hits, hits);
  for (const Report* report : spurious) {
    std::printf("                     frame %d at (%.1f, %.1f), %d pixels\n", report->frame,
                report->sample, report->line, report->pixels);
  }
  if (off_centre > 0) {
    std::printf("Also reported:     %d flashes more than %.0f pixels off their centre\n",
                off_centre, kMatchPixels);
  }
  if (second_frames > 0) {
    std::printf("Also reported:     %d second frames of fading flashes\n", second_frames);
  }
  if (glint_frames > 0) {
    std::printf(
        "Satellite glint:   %d of its %d frames reported (a moving point looks like a flash in\n"
        "                   each frame; its report images show it travel)\n",
        glints, glint_frames);
  }
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
  if (argc == 4) {
    std::vector<CatalogueRow> events;
    if (!read_catalogue(argv[3], events, error)) {
      std::fprintf(stderr, "demo_summary: %s\n", error.c_str());
      return 1;
    }
    print_catalogue_summary(argv[3], events, truth);
  }
  return 0;
}
