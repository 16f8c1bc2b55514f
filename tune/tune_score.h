// Scores each setting of the grid: which injected flashes its runs found, per strength bin, and
// its false alarms: those of noise measured on the recording's negative, where a real flash
// cannot make one, and those the catalogue's verdicts explain in the run without injections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/events.h"
#include "tune/grid_run.h"
#include "tune/injection_plan.h"
#include "tune/night_survey.h"

// An injected flash is found when a report of its first frame lies within kFoundRadius pixels of
// its centre; a report within kNearRadius of an injected spot of its frame (the first or the
// fading frame) is put down to that spot.
inline constexpr double kFoundRadius = 2.0;
inline constexpr double kNearRadius = 5.0;

// An event of the run without injections is put down to the recording itself, not to the
// setting, when at least this share of the grid's settings report it: a real flash, a satellite
// glint or a hard edge, which most thresholds report.
inline constexpr double kSteadyShare = 0.5;

// What vesk-tune makes of one candidate: an event that some settings of the grid report (the
// same place within kNearRadius, first frames within kMostFrameStep).
enum class CandidateKind {
  found,      // the recording: most settings report it (kSteadyShare); nobody's false alarm
  uncertain,  // only some settings report it and the catalogue calls it a flash: perhaps a real
              // flash, perhaps noise; listed to look at, never counted as a false alarm
  noise,      // in the negative run and called a flash by the catalogue: a false alarm of noise
  upward,     // a catalogue verdict of a false alarm the negative cannot show (sharp, hot_pixel)
  edge,       // the catalogue's edge verdict, or another of place (off_moon, sunlit): counted
              // apart, not against the limit
  moving,     // the catalogue's moving verdict: counted apart, not against the limit
  other,      // the negative run's events of other classes: the run without injections shows
              // those itself
};

const char* candidate_kind_name(CandidateKind kind);

struct Candidate {
  CatalogueEvent event;    // as the first reporting setting (grid order) made it
  std::string class_name;  // the catalogue's class, the one most reporting settings give
  bool negative = false;   // from the negative run
  CandidateKind kind = CandidateKind::uncertain;
  std::vector<std::size_t> settings;  // grid indices that report it, ascending
};

// The kind of a candidate of the run without injections (negative false) or of the negative run
// from its class name and the share of the grid's settings that report it.
CandidateKind candidate_kind(const std::string& class_name, bool negative, double share);

struct SettingScore {
  GridSetting setting;
  // Injected flashes, leaving out those in a frame of an event of the recording that most
  // settings report (one report per frame cannot name both), and those found.
  std::array<int, kStrengthBins.size()> injected{};
  std::array<int, kStrengthBins.size()> found{};
  // False alarms against the limit: noise (the negative run's flash-class events) plus upward
  // (events of the run without injections with a verdict the negative cannot show).
  int false_alarms = 0;
  int noise_alarms = 0;
  int upward_alarms = 0;
  int edge_alarms = 0;     // the catalogue's edge verdict, run without injections
  int moving_alarms = 0;   // its moving verdict
  int uncertain = 0;       // uncertain candidates this setting reports
  int direct_flashes = 0;  // flash-class events of the run without injections, all of them
  // The current setting's found and uncertain candidates that this setting does not report: a
  // real flash among them would be lost by changing to this setting.
  int missed_current = 0;
  // Reports of the injected runs away from every injected spot and every candidate: shown only.
  int injected_alarms = 0;
  double alarm_rate = 0.0;  // false_alarms per 10,000 tested frames
  bool within_limit = false;

  // Found over injected in `bin`, 0 to 1 (0 when nothing was injected there).
  double recall(std::size_t bin) const;
};

// Flashes of 8 times the noise and more: the bins from kReferenceBin on, taken together.
int found_from_reference(const SettingScore& s);
int injected_from_reference(const SettingScore& s);

struct TuneScores {
  std::vector<SettingScore> scores;   // in grid order
  std::size_t current = 0;            // the grid index of settings.txt's thresholds
  int recommended = -1;               // grid index, -1 when no setting keeps within the limit
  std::vector<std::size_t> ranking;   // grid indices, best first (see rank_scores)
  std::vector<Candidate> candidates;  // by first frame, of both runs
  std::int64_t frames_tested = 0;     // per run
  int passes = 0;
  double limit = 0.0;  // false alarms per 10,000 frames
  // The recommended setting finds `loss` fewer injected flashes of 8 times the noise and more
  // than the current one (0 when it finds as many or more), of `loss_of` injected there; a
  // loss counts when it is more than one flash in fifty.
  int loss = 0;
  int loss_of = 0;
  bool losing() const { return loss * 50 > loss_of; }
};

// Scores `runs` of `grid` against `plan`; `current` is the grid index of the settings in use,
// `limit` the false alarms per 10,000 frames allowed. Fills every field of `scores`. The ranking
// puts the settings within the limit first; when the current setting is within the limit, then
// those that miss fewer of its found and uncertain candidates (so the recommendation reports
// every event of the recording the current setting reports, real flashes included); then by
// found flashes in kReferenceBin, then by found flashes over all bins, then by fewer false
// alarms, fewer edge alarms, the current setting before others, and grid order. The recommendation
// is the first of the ranking when it keeps within the limit.
void score_grid(const GridRuns& runs, const InjectionPlan& plan, const NightSurvey& survey,
                const std::vector<GridSetting>& grid, std::size_t current, double limit,
                TuneScores& scores);
