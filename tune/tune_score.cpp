#include "tune/tune_score.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

namespace {

bool within(const FoundReport& r, double x, double y, double radius) {
  return std::hypot(r.x - x, r.y - y) <= radius;
}

bool near_steady(const FoundReport& r, const std::vector<SteadyEvent>& events) {
  for (const SteadyEvent& e : events) {
    if (e.report.frame == r.frame && within(r, e.report.x, e.report.y, kNearRadius)) return true;
  }
  return false;
}

// A run reports one position per frame: a flash in a frame where the recording has an event of
// its own (see kSteadyShare) cannot be told found or not, and is left out of every count.
bool shares_frame_with_event(const InjectedFlash& f, const std::vector<SteadyEvent>& events) {
  return std::any_of(events.begin(), events.end(),
                     [&f](const SteadyEvent& e) { return e.report.frame == f.frame; });
}

// True when `r` lies near an injected spot of its frame in `pass`.
bool near_injection(const FoundReport& r, const InjectionPlan& plan, int pass) {
  for (const InjectedFlash& f : plan.flashes) {
    if (f.pass != pass) continue;
    const bool in_frame = f.frame == r.frame || (f.fade_peak > 0.0 && f.frame + 1 == r.frame);
    if (in_frame && within(r, f.x, f.y, kNearRadius)) return true;
  }
  return false;
}

// The steady events of the run without injections: every report that at least kSteadyShare of
// the settings make, the first of each event kept.
std::vector<SteadyEvent> steady_events(const std::vector<std::vector<FoundReport>>& clean) {
  struct Made {
    std::size_t setting;
    const FoundReport* report;
  };
  std::map<std::int64_t, std::vector<Made>> by_frame;
  for (std::size_t i = 0; i < clean.size(); ++i) {
    for (const FoundReport& r : clean[i]) by_frame[r.frame].push_back({i, &r});
  }
  std::vector<SteadyEvent> events;
  for (const auto& [frame, made] : by_frame) {
    for (const Made& m : made) {
      std::vector<std::size_t> settings;
      for (const Made& other : made) {
        if (within(*other.report, m.report->x, m.report->y, kNearRadius) &&
            std::find(settings.begin(), settings.end(), other.setting) == settings.end()) {
          settings.push_back(other.setting);
        }
      }
      if (static_cast<double>(settings.size()) < kSteadyShare * static_cast<double>(clean.size()) ||
          near_steady(*m.report, events)) {
        continue;
      }
      events.push_back({*m.report, static_cast<int>(settings.size())});
    }
  }
  return events;
}

double per_10k(int alarms, std::int64_t frames) {
  return frames > 0 ? alarms * 10000.0 / static_cast<double>(frames) : 0.0;
}

void rank(TuneScores& t) {
  t.ranking.resize(t.scores.size());
  std::iota(t.ranking.begin(), t.ranking.end(), std::size_t{0});
  const auto total = [](const SettingScore& s) {
    return std::accumulate(s.found.begin(), s.found.end(), 0);
  };
  std::stable_sort(t.ranking.begin(), t.ranking.end(), [&](std::size_t i, std::size_t j) {
    const SettingScore& a = t.scores[i];
    const SettingScore& b = t.scores[j];
    if (a.within_limit != b.within_limit) return a.within_limit;
    if (a.found[kReferenceBin] != b.found[kReferenceBin]) {
      return a.found[kReferenceBin] > b.found[kReferenceBin];
    }
    if (total(a) != total(b)) return total(a) > total(b);
    if (a.false_alarms != b.false_alarms) return a.false_alarms < b.false_alarms;
    if (a.injected_alarms != b.injected_alarms) return a.injected_alarms < b.injected_alarms;
    if (a.edge_alarms != b.edge_alarms) return a.edge_alarms < b.edge_alarms;
    if ((i == t.current) != (j == t.current)) return i == t.current;
    return false;  // grid order, kept by the stable sort
  });
}

}  // namespace

double SettingScore::recall(std::size_t bin) const {
  return injected[bin] > 0 ? static_cast<double>(found[bin]) / injected[bin] : 0.0;
}

void score_grid(const GridRuns& runs, const InjectionPlan& plan, const NightSurvey& survey,
                const std::vector<GridSetting>& grid, std::size_t current, double limit,
                TuneScores& t) {
  t = TuneScores{};
  t.current = current;
  t.limit = limit;
  t.passes = static_cast<int>(runs.injected.size());
  t.frames_tested = runs.frames_tested;
  t.steady = steady_events(runs.clean);
  const std::int64_t injected_frames = runs.frames_tested * t.passes;
  t.scores.resize(grid.size());
  for (std::size_t i = 0; i < grid.size(); ++i) {
    SettingScore& s = t.scores[i];
    s.setting = grid[i];
    std::vector<FoundReport> edges;
    for (const FoundReport& r : runs.clean[i]) {
      if (near_steady(r, t.steady)) continue;
      if (is_edge_site(survey, r.x, r.y)) {
        edges.push_back(r);
      } else {
        s.alarms.push_back(r);
      }
    }
    s.false_alarms = static_cast<int>(s.alarms.size());
    s.edge_alarms = static_cast<int>(edges.size());
    s.alarms.insert(s.alarms.end(), edges.begin(), edges.end());
    for (int pass = 0; pass < t.passes; ++pass) {
      const std::vector<FoundReport>& reports = runs.injected[static_cast<std::size_t>(pass)][i];
      for (const InjectedFlash& f : plan.flashes) {
        if (f.pass != pass || shares_frame_with_event(f, t.steady)) continue;
        ++s.injected[f.bin];
        const bool found = std::any_of(reports.begin(), reports.end(), [&](const FoundReport& r) {
          return r.frame == f.frame && within(r, f.x, f.y, kFoundRadius);
        });
        if (found) ++s.found[f.bin];
      }
      for (const FoundReport& r : reports) {
        if (near_injection(r, plan, pass) || near_steady(r, t.steady)) continue;
        ++(is_edge_site(survey, r.x, r.y) ? s.injected_edge_alarms : s.injected_alarms);
      }
    }
    s.alarm_rate = per_10k(s.false_alarms, runs.frames_tested);
    s.injected_alarm_rate = per_10k(s.injected_alarms, injected_frames);
    s.within_limit = s.alarm_rate <= limit && s.injected_alarm_rate <= limit;
  }
  rank(t);
  if (!t.ranking.empty() && t.scores[t.ranking.front()].within_limit) {
    t.recommended = static_cast<int>(t.ranking.front());
  }
}
