// The runs of vesk-tune: the library's run (process_frames) over the frames, once as they are and
// once per pass with injected flashes, every setting of a grid of thresholds tested on each frame
// the run shows its outputs. The ring and its sums do not depend on the thresholds, so one run
// serves the whole grid; the runs go side by side on the cores.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "catalogue/events.h"
#include "control/settings.h"
#include "run/processing_run.h"
#include "run/run_output.h"
#include "sources/frame_source.h"
#include "sources/injecting_source.h"

// The four thresholds vesk-tune chooses among; the other parameters stay as settings.txt has them.
struct GridSetting {
  float time_sd = 0.0f;
  float min_sd2 = 0.0f;
  float min_sd1 = 0.0f;
  float neighbour_sd = 0.0f;
};

bool operator==(const GridSetting& a, const GridSetting& b);

// The grid: every combination of Time_sd 3, 4, 5, 6, 7; Min_sd2 2, 3, 4, 5; Min_sd1 3, 4, 5 and
// Neighbour_sd 2, 3, 4 (180 settings), in that nesting order, and `current` last when it is not
// among them.
std::vector<GridSetting> threshold_grid(const GridSetting& current);

// The four thresholds of `settings`.
GridSetting grid_setting(const DetectionSettings& settings);

// `settings` with the four thresholds of `setting`.
DetectionSettings with_setting(DetectionSettings settings, const GridSetting& setting);

// One report of a run: the frame tested (numbered from the first frame of the source) and the
// mean position of its confirmed pixels.
struct FoundReport {
  std::int64_t frame = 0;
  double x = 0.0;  // sample
  double y = 0.0;  // line
  int pixels = 0;
};

// A run output that keeps every report of its run (what flash_info.dat would hold, in short).
class ReportCollector final : public RunOutput {
 public:
  OutputStatus report(const ReportView& report, std::string* error) override;
  const std::vector<FoundReport>& reports() const { return reports_; }

 private:
  std::vector<FoundReport> reports_;
};

// Opens the recording anew, at its first frame used: every run reads it from the start.
using SourceOpener = std::function<std::unique_ptr<FrameSource>(std::string* error)>;

struct GridRequest {
  SourceOpener open;
  DetectionSettings settings;  // the run's other parameters (ring, flash limits, borders)
  std::vector<GridSetting> grid;
  std::vector<std::vector<InjectedSpot>> passes;  // the spots of each injected pass
  bool negative = true;  // also run the recording's negative (make_mirrored_source)
  // Per pixel, twice the level the negative mirrors about (the pixel's mean); empty: 255 - v.
  std::vector<std::int16_t> mirror_centres;
  int threads = 1;
  // The user's mask (DetectionThresholds::mask) every setting scans with; empty: every pixel.
  std::span<const std::uint8_t> mask;
  // Each setting tested by a whole scan of the detector of its own on the shared ring, instead of
  // one scan for the grid: slower, the same results; the reference the tests hold the grid to.
  bool straightforward = false;
  // Told after each run (or slice of the grid) ends: how many have ended of how many; called
  // under a lock, from the thread that ran it. Empty: nothing told.
  std::function<void(std::size_t done, std::size_t total)> progress;
};

struct GridRuns {
  std::int64_t frames_tested = 0;               // per run
  std::vector<std::vector<FoundReport>> clean;  // per setting, the run without injections
  // Per setting, the reports of the run without injections and of the negative run grouped into
  // events with the catalogue's verdicts, as vesk's flashes.csv would list them.
  std::vector<std::vector<CatalogueEvent>> clean_events;
  std::vector<std::vector<CatalogueEvent>> negative_events;
  std::vector<std::vector<std::vector<FoundReport>>> injected;  // per pass, per setting
};

// Runs the recording once as it is, once as its negative (when request.negative) and once per
// pass with its spots, each run testing every setting of the grid, on request.threads threads
// (each run with its own buffers; the grid is split between runs when there are more threads
// than runs). The reports of the first two are measured and grouped into events as the
// catalogue does. False with `error` when a source cannot be opened, memory cannot be had, or a
// run stops on a frame it cannot read.
bool run_grid(const GridRequest& request, GridRuns& runs, std::string* error);

// The runs (or slices of the grid) run_grid starts for `request`, and how many of them go at once.
std::size_t grid_task_count(const GridRequest& request);
std::size_t grid_runs_at_once(const GridRequest& request);

// The memory one run of the grid takes on frames of `geometry`: the run's buffers
// (run_buffers_bytes) and the grid's own (a marked frame, candidate chunks and a frame the source
// may hold).
std::uint64_t grid_run_bytes(const FrameGeometry& geometry, int images_in_buffer);

// One setting's reports on one run, through process_frames with that setting itself (no grid):
// what vesk with those thresholds reports. False with `error` as run_grid.
bool run_one_setting(FrameSource& source, const DetectionSettings& settings,
                     std::vector<FoundReport>& reports, std::string* error);
