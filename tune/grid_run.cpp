#include "tune/grid_run.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <tuple>

#include "base/checked_math.h"
#include "catalogue/classes.h"
#include "catalogue/measure.h"
#include "catalogue/sharpness.h"
#include "control/driver.h"
#include "imaging/file_io.h"
#include "run/ring_retest.h"

namespace {

constexpr float kTimeSds[] = {3, 4, 5, 6, 7};
constexpr float kMinSd2s[] = {2, 3, 4, 5};
constexpr float kMinSd1s[] = {3, 4, 5};
constexpr float kNeighbourSds[] = {2, 3, 4};

// Tests a slice of the grid on every frame the run shows it; the run's own detector is set to
// find nothing, so it never calls report(). The slice is tested in one scan of the frame
// (flash_detector_grid), or, `straightforward`, by a whole scan of the detector per setting: the
// reference the shared scan is held to.
class GridOutput final : public RunOutput {
 public:
  GridOutput(const FrameGeometry& geometry, const DetectionSettings& base,
             const std::vector<GridSetting>& grid, std::size_t begin, std::size_t end,
             bool catalogue, bool straightforward)
      : catalogue_(catalogue),
        straightforward_(straightforward),
        interlaced_(base.Interlace != 0),
        min_flash_(base.Min_flash_limit),
        max_flash_(base.Max_flash_limit),
        begin_(begin),
        marked_(straightforward ? static_cast<std::size_t>(geometry.frame_pixels) : 0),
        results_(end - begin),
        reports_(grid.size()),
        books_(catalogue ? grid.size() : 0),
        events_(catalogue ? grid.size() : 0) {
    for (std::size_t i = begin; i < end; ++i) {
      thresholds_.push_back(detection_thresholds(with_setting(base, grid[i])));
    }
  }

  // Every setting of the slice scans only the pixels `mask` leaves in (empty: every pixel).
  void scan_with(std::span<const std::uint8_t> mask) {
    for (DetectionThresholds& t : thresholds_) t.mask = mask;
  }

  OutputStatus report(const ReportView& report, std::string* error) override {
    (void)report;
    (void)error;
    return OutputStatus::ok;
  }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView& ring,
                            std::string* error) override {
    (void)frame;
    (void)error;
    ++frames_tested_;
    measured_.clear();
    if (straightforward_) {
      for (std::size_t k = 0; k < thresholds_.size(); ++k) {
        retest_ring_frame(ring, thresholds_[k], {}, marked_, results_[k]);
      }
    } else {
      retest_ring_grid(ring, thresholds_, scratch_, results_);
    }
    for (std::size_t k = 0; k < thresholds_.size(); ++k) {
      const DetectionResult& result = results_[k];
      if (!result.found || result.flash_count < min_flash_ || result.flash_count > max_flash_) {
        continue;
      }
      const std::size_t i = begin_ + k;
      reports_[i].push_back({ring.target_frame, result.measurement.sample,
                             result.measurement.line, result.flash_count});
      if (catalogue_) {
        if (!optics_known_) {
          optics_fwhm_ = edge_fwhm(ring);
          optics_known_ = true;
        }
        add_report(books_[i], measured(ring, reports_[i].back()));
      }
    }
    if (catalogue_) {
      for (std::size_t i = 0; i < books_.size(); ++i) {
        if (!books_[i].open.empty()) close_events(books_[i], ring.target_frame, events_[i]);
      }
    }
    return OutputStatus::ok;
  }

  // Closes the events still open once the run has ended, and gives every event the signs the
  // catalogue adds at the end of a run: sharp against the optics' width (measured on the ring of
  // the run's first report, as the catalogue measures it), hot_pixel when the setting's events
  // at its pixel are kLeastHotPixelEvents or more; and its class from them.
  void close_all() {
    for (std::size_t i = 0; i < books_.size(); ++i) {
      close_all_events(books_[i], events_[i]);
      std::map<std::pair<int, int>, int> at_pixel;
      for (const CatalogueEvent& e : events_[i]) {
        if (!e.signs.moving) ++at_pixel[{e.pixel_x, e.pixel_y}];
      }
      for (CatalogueEvent& e : events_[i]) {
        const double width = interlaced_ ? e.field_fwhm : e.fwhm;
        e.signs.sharp = std::isfinite(optics_fwhm_) && width < kSharpFraction * optics_fwhm_;
        if (!e.signs.moving) {
          e.signs.hot_pixel = at_pixel[{e.pixel_x, e.pixel_y}] >= kLeastHotPixelEvents;
        }
        e.verdict = class_of(e.signs);
      }
    }
  }

  std::vector<std::vector<FoundReport>>& reports() { return reports_; }
  std::vector<std::vector<CatalogueEvent>>& events() { return events_; }
  std::int64_t frames_tested() const { return frames_tested_; }

 private:
  // The catalogue's measure of a report; settings that report the same place share it.
  const ReportMeasure& measured(const RingView& ring, const FoundReport& r) {
    for (const auto& [x, y, m] : measured_) {
      if (x == r.x && y == r.y) return m;
    }
    measured_.push_back({r.x, r.y, measure_report(ring, r.x, r.y)});
    return std::get<2>(measured_.back());
  }

  bool catalogue_;  // measure the reports and group them into events
  bool straightforward_;
  bool interlaced_;
  bool optics_known_ = false;
  double optics_fwhm_ = std::numeric_limits<double>::quiet_NaN();
  int min_flash_;
  int max_flash_;
  std::size_t begin_;                            // grid index of the slice's first setting
  std::vector<DetectionThresholds> thresholds_;  // of the slice
  GridScratch scratch_;
  std::vector<std::uint8_t> marked_;      // straightforward only
  std::vector<DetectionResult> results_;  // of the slice, for the frame under test
  std::vector<std::vector<FoundReport>> reports_;  // per grid index; only the slice's filled
  std::int64_t frames_tested_ = 0;
  std::vector<EventBook> books_;                     // per grid index, with catalogue_
  std::vector<std::vector<CatalogueEvent>> events_;  // closed, per grid index
  std::vector<std::tuple<double, double, ReportMeasure>> measured_;  // of the current frame
};

// One run over the recording: pass kCleanRun as it is, kNegativeRun as its negative, else that
// pass's spots; the grid settings [begin, end).
constexpr int kCleanRun = -1;
constexpr int kNegativeRun = -2;

struct Task {
  int pass = kCleanRun;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::vector<std::vector<FoundReport>> reports;
  std::vector<std::vector<CatalogueEvent>> events;
  std::int64_t frames_tested = 0;
  std::string error;
};

// The run's own parameters: the ring and limits of `settings`, with a Time_sd that lets no pixel
// pass, so that the run's detector returns at once and only the grid tests the frames.
RunParameters silent_parameters(const DetectionSettings& settings) {
  RunParameters parameters{settings.Images_in_buffer, settings.Min_flash_limit,
                           settings.Max_flash_limit, detection_thresholds(settings)};
  parameters.thresholds.time_sd = std::numeric_limits<double>::infinity();
  return parameters;
}

// Runs `source` through process_frames with `outputs`; warnings about frames go nowhere (the
// survey has shown them). False with `error` when buffers or the run fail.
bool run_source(FrameSource& source, const RunParameters& parameters,
                std::span<RunOutput* const> outputs, std::string* error) {
  FileHandle sink = open_file("/dev/null", "w", error);
  if (!sink) return false;
  RunBuffers buffers;
  if (!allocate_run_buffers(buffers, source.geometry(), parameters.images_in_buffer, 0, error)) {
    return false;
  }
  const RunOutcome outcome =
      process_frames(source, parameters, buffers, outputs, nullptr, sink.get());
  if (!outcome.completed) {
    *error = outcome.errors.empty() ? "the run stopped" : outcome.errors.front();
    return false;
  }
  return true;
}

void run_task(const GridRequest& request, Task& task) {
  std::unique_ptr<FrameSource> source = request.open(&task.error);
  if (source == nullptr) return;
  if (task.pass >= 0) {
    source = make_injecting_source(std::move(source),
                                   request.passes[static_cast<std::size_t>(task.pass)]);
  } else if (task.pass == kNegativeRun) {
    source = make_mirrored_source(std::move(source), request.mirror_centres);
  }
  const FrameGeometry geometry = source->geometry();
  // The grid's buffers come on top of the run's; a frame too large for them ends this run with
  // a message instead of ending the program.
  try {
    GridOutput output(geometry, request.settings, request.grid, task.begin, task.end,
                      task.pass < 0, request.straightforward);
    if (request.mask.size() == static_cast<std::size_t>(geometry.frame_pixels)) {
      output.scan_with(request.mask);
    }
    RunOutput* const outputs[] = {&output};
    if (!run_source(*source, silent_parameters(request.settings), outputs, &task.error)) return;
    output.close_all();
    task.reports = std::move(output.reports());
    task.events = std::move(output.events());
    task.frames_tested = output.frames_tested();
  } catch (const std::bad_alloc&) {
    task.error = "cannot allocate the buffers to test the grid on frames of " +
                 std::to_string(geometry.image_width) + " x " +
                 std::to_string(geometry.image_height) + " pixels";
  }
}

}  // namespace

bool operator==(const GridSetting& a, const GridSetting& b) {
  return a.time_sd == b.time_sd && a.min_sd2 == b.min_sd2 && a.min_sd1 == b.min_sd1 &&
         a.neighbour_sd == b.neighbour_sd;
}

std::vector<GridSetting> threshold_grid(const GridSetting& current) {
  std::vector<GridSetting> grid;
  for (const float time_sd : kTimeSds) {
    for (const float min_sd2 : kMinSd2s) {
      for (const float min_sd1 : kMinSd1s) {
        for (const float neighbour_sd : kNeighbourSds) {
          grid.push_back({time_sd, min_sd2, min_sd1, neighbour_sd});
        }
      }
    }
  }
  if (std::find(grid.begin(), grid.end(), current) == grid.end()) grid.push_back(current);
  return grid;
}

GridSetting grid_setting(const DetectionSettings& settings) {
  return {settings.Time_sd, settings.Min_sd2, settings.Min_sd1, settings.Neighbour_sd};
}

DetectionSettings with_setting(DetectionSettings settings, const GridSetting& setting) {
  settings.Time_sd = setting.time_sd;
  settings.Min_sd2 = setting.min_sd2;
  settings.Min_sd1 = setting.min_sd1;
  settings.Neighbour_sd = setting.neighbour_sd;
  return settings;
}

OutputStatus ReportCollector::report(const ReportView& report, std::string* error) {
  (void)error;
  reports_.push_back({report.ring.target_frame, report.result.measurement.sample,
                      report.result.measurement.line, report.result.flash_count});
  return OutputStatus::ok;
}

namespace {

// Slices of the grid per run: spare threads split the grid; each slice repeats the ring updates,
// a small cost.
std::size_t grid_slices(const GridRequest& request, std::size_t run_count) {
  const std::size_t threads = static_cast<std::size_t>(std::max(1, request.threads));
  return std::clamp<std::size_t>(threads / run_count, 1,
                                 std::max<std::size_t>(1, request.grid.size()));
}

std::size_t grid_run_count(const GridRequest& request) {
  return (request.negative ? 2 : 1) + request.passes.size();
}

}  // namespace

std::size_t grid_task_count(const GridRequest& request) {
  const std::size_t run_count = grid_run_count(request);
  return run_count * grid_slices(request, run_count);
}

std::size_t grid_runs_at_once(const GridRequest& request) {
  return std::min(static_cast<std::size_t>(std::max(1, request.threads)),
                  grid_task_count(request));
}

std::uint64_t grid_run_bytes(const FrameGeometry& geometry, int images_in_buffer) {
  const std::uint64_t pixels =
      geometry.frame_pixels > 0 ? static_cast<std::uint64_t>(geometry.frame_pixels) : 0;
  return saturating_add(run_buffers_bytes(geometry, images_in_buffer, 0),
                        saturating_multiply(3, pixels));
}

bool run_grid(const GridRequest& request, GridRuns& runs, std::string* error) {
  const std::size_t first_pass = request.negative ? 2 : 1;  // the runs before the passes
  const std::size_t run_count = grid_run_count(request);
  const std::size_t threads = static_cast<std::size_t>(std::max(1, request.threads));
  const std::size_t slices = grid_slices(request, run_count);
  std::vector<Task> tasks;
  for (std::size_t r = 0; r < run_count; ++r) {
    for (std::size_t s = 0; s < slices; ++s) {
      Task task;
      task.pass = r == 0                       ? kCleanRun
                  : r == 1 && request.negative ? kNegativeRun
                                               : static_cast<int>(r - first_pass);
      task.begin = request.grid.size() * s / slices;
      task.end = request.grid.size() * (s + 1) / slices;
      tasks.push_back(std::move(task));
    }
  }
  std::atomic<std::size_t> next{0};
  std::mutex told;
  std::size_t done = 0;
  const auto work = [&] {
    for (std::size_t t = next++; t < tasks.size(); t = next++) {
      run_task(request, tasks[t]);
      if (request.progress) {
        const std::lock_guard<std::mutex> lock(told);
        request.progress(++done, tasks.size());
      }
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t k = 1; k < std::min(threads, tasks.size()); ++k) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();

  runs = GridRuns{};
  runs.clean.resize(request.grid.size());
  runs.clean_events.resize(request.grid.size());
  runs.negative_events.resize(request.grid.size());
  runs.injected.assign(request.passes.size(),
                       std::vector<std::vector<FoundReport>>(request.grid.size()));
  for (Task& task : tasks) {
    if (!task.error.empty()) {
      *error = task.error;
      return false;
    }
    if (task.pass == kNegativeRun) {
      for (std::size_t i = task.begin; i < task.end; ++i) {
        runs.negative_events[i] = std::move(task.events[i]);
      }
      continue;
    }
    auto& into = task.pass < 0 ? runs.clean : runs.injected[static_cast<std::size_t>(task.pass)];
    for (std::size_t i = task.begin; i < task.end; ++i) into[i] = std::move(task.reports[i]);
    if (task.pass == kCleanRun) {
      runs.frames_tested = task.frames_tested;
      for (std::size_t i = task.begin; i < task.end; ++i) {
        runs.clean_events[i] = std::move(task.events[i]);
      }
    }
  }
  return true;
}

bool run_one_setting(FrameSource& source, const DetectionSettings& settings,
                     std::vector<FoundReport>& reports, std::string* error) {
  ReportCollector collector;
  RunOutput* const outputs[] = {&collector};
  const RunParameters parameters{settings.Images_in_buffer, settings.Min_flash_limit,
                                 settings.Max_flash_limit, detection_thresholds(settings)};
  if (!run_source(source, parameters, outputs, error)) return false;
  reports = collector.reports();
  return true;
}
