// Scores each setting of the grid: which injected flashes its runs found, per strength bin, and
// how many reports it made where nothing was injected (false alarms), an edge site's apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tune/grid_run.h"
#include "tune/injection_plan.h"
#include "tune/night_survey.h"

// An injected flash is found when a report of its first frame lies within kFoundRadius pixels of
// its centre; a report within kNearRadius of an injected spot of its frame (the first or the
// fading frame) is put down to that spot.
inline constexpr double kFoundRadius = 2.0;
inline constexpr double kNearRadius = 5.0;

// A report away from the injected flashes is put down to the recording itself, not to the
// setting, when at least this share of the grid's settings make it (within kNearRadius in the
// same frame): a real flash, a satellite glint or a hard edge, which most thresholds report. A
// false alarm of noise is made by the loosest settings only.
inline constexpr double kSteadyShare = 0.5;

// An event of the recording itself, as one of the settings reported it.
struct SteadyEvent {
  FoundReport report;
  int settings = 0;  // settings of the grid that report it
};

struct SettingScore {
  GridSetting setting;
  // Injected flashes, leaving out those in a frame with a steady event (one report per frame
  // cannot name both), and those found.
  std::array<int, kStrengthBins.size()> injected{};
  std::array<int, kStrengthBins.size()> found{};
  // Reports of the run without injections that are no steady event, at edge sites or elsewhere.
  int false_alarms = 0;
  int edge_alarms = 0;
  std::vector<FoundReport> alarms;  // the false alarms, then the edge alarms, by frame
  // The same count over the injected runs, away from every injected spot.
  int injected_alarms = 0;
  int injected_edge_alarms = 0;
  double alarm_rate = 0.0;           // false_alarms per 10,000 tested frames
  double injected_alarm_rate = 0.0;  // injected_alarms per 10,000 tested frames of those runs
  bool within_limit = false;         // both rates at or below the limit

  // Found over injected in `bin`, 0 to 1 (0 when nothing was injected there).
  double recall(std::size_t bin) const;
};

struct TuneScores {
  std::vector<SettingScore> scores;  // in grid order
  std::size_t current = 0;           // the grid index of settings.txt's thresholds
  int recommended = -1;              // grid index, -1 when no setting keeps within the limit
  std::vector<std::size_t> ranking;  // grid indices, best first (see rank_scores)
  // Reports of the run without injections that kSteadyShare of the settings make, one per event,
  // by frame: not counted as false alarms of any setting.
  std::vector<SteadyEvent> steady;
  std::int64_t frames_tested = 0;  // per run
  int passes = 0;
  double limit = 0.0;  // false alarms per 10,000 frames
};

// Scores `runs` of `grid` against `plan`; `current` is the grid index of the settings in use,
// `limit` the false alarms per 10,000 frames allowed. Fills every field of `scores`. The ranking
// puts the settings within the limit first, then by found flashes in kReferenceBin, then by found
// flashes over all bins, then by fewer false alarms (without, then with injections), fewer edge
// alarms, the current setting before others, and grid order. The recommendation is the first of
// the ranking when it keeps within the limit.
void score_grid(const GridRuns& runs, const InjectionPlan& plan, const NightSurvey& survey,
                const std::vector<GridSetting>& grid, std::size_t current, double limit,
                TuneScores& scores);
