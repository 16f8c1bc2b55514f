#include "tune/tune_score.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <utility>

namespace {

bool within(const FoundReport& r, double x, double y, double radius) {
  return std::hypot(r.x - x, r.y - y) <= radius;
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

struct Reported {
  std::int64_t frame;
  std::size_t setting;
  const CatalogueEvent* event;
};

// Groups the events of one run (per setting) into candidates: one setting's event joins a
// candidate whose first frame lies within kMostFrameStep of its own and whose place lies within
// kNearRadius, when that setting is not in it yet.
std::vector<Candidate> group_events(const std::vector<std::vector<CatalogueEvent>>& events,
                                    bool negative) {
  std::vector<Reported> all;
  for (std::size_t i = 0; i < events.size(); ++i) {
    for (const CatalogueEvent& e : events[i]) all.push_back({e.frame, i, &e});
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Reported& a, const Reported& b) { return a.frame < b.frame; });
  std::vector<Candidate> candidates;
  std::vector<std::vector<std::string>> classes;  // per candidate, of each reporting setting
  std::size_t recent = 0;  // candidates before this one start too early to be joined
  for (const Reported& r : all) {
    while (recent < candidates.size() &&
           candidates[recent].event.frame + kMostFrameStep < r.frame) {
      ++recent;
    }
    std::size_t joined = candidates.size();
    for (std::size_t c = recent; c < candidates.size(); ++c) {
      const Candidate& k = candidates[c];
      if (std::llabs(k.event.frame - r.frame) > kMostFrameStep ||
          std::hypot(k.event.x - r.event->x, k.event.y - r.event->y) > kNearRadius ||
          std::find(k.settings.begin(), k.settings.end(), r.setting) != k.settings.end()) {
        continue;
      }
      joined = c;
      break;
    }
    if (joined == candidates.size()) {
      Candidate fresh;
      fresh.event = *r.event;
      fresh.negative = negative;
      candidates.push_back(std::move(fresh));
      classes.emplace_back();
    }
    candidates[joined].settings.push_back(r.setting);
    classes[joined].push_back(event_class_name(r.event->verdict));
  }
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    std::sort(candidates[c].settings.begin(), candidates[c].settings.end());
    // The class most reporting settings give; the first setting's on a tie.
    const std::vector<std::string>& named = classes[c];
    std::size_t best = 0;
    long best_count = 0;
    for (std::size_t k = 0; k < named.size(); ++k) {
      const long count = std::count(named.begin(), named.end(), named[k]);
      if (count > best_count) {
        best = k;
        best_count = count;
      }
    }
    candidates[c].class_name = named.empty() ? "flash" : named[best];
  }
  return candidates;
}

double per_10k(int alarms, std::int64_t frames) {
  return frames > 0 ? alarms * 10000.0 / static_cast<double>(frames) : 0.0;
}

int total(const SettingScore& s) {
  return std::accumulate(s.found.begin(), s.found.end(), 0);
}

void rank(TuneScores& t) {
  t.ranking.resize(t.scores.size());
  std::iota(t.ranking.begin(), t.ranking.end(), std::size_t{0});
  std::stable_sort(t.ranking.begin(), t.ranking.end(), [&](std::size_t i, std::size_t j) {
    const SettingScore& a = t.scores[i];
    const SettingScore& b = t.scores[j];
    if (a.within_limit != b.within_limit) return a.within_limit;
    if (t.scores[t.current].within_limit && a.missed_current != b.missed_current) {
      return a.missed_current < b.missed_current;
    }
    if (a.found[kReferenceBin] != b.found[kReferenceBin]) {
      return a.found[kReferenceBin] > b.found[kReferenceBin];
    }
    if (total(a) != total(b)) return total(a) > total(b);
    if (a.false_alarms != b.false_alarms) return a.false_alarms < b.false_alarms;
    if (a.edge_alarms != b.edge_alarms) return a.edge_alarms < b.edge_alarms;
    if ((i == t.current) != (j == t.current)) return i == t.current;
    return false;  // grid order, kept by the stable sort
  });
}

}  // namespace

const char* candidate_kind_name(CandidateKind kind) {
  switch (kind) {
    case CandidateKind::found:
      return "found";
    case CandidateKind::uncertain:
      return "uncertain";
    case CandidateKind::noise:
      return "noise";
    case CandidateKind::upward:
      return "upward";
    case CandidateKind::edge:
      return "edge";
    case CandidateKind::moving:
      return "moving";
    case CandidateKind::other:
      return "other";
  }
  return "";
}

CandidateKind candidate_kind(const std::string& class_name, bool negative, double share) {
  if (negative) return class_name == "flash" ? CandidateKind::noise : CandidateKind::other;
  if (share >= kSteadyShare) return CandidateKind::found;
  if (class_name == "flash") return CandidateKind::uncertain;
  if (class_name == "moving") return CandidateKind::moving;
  // A sharp spot (a cosmic ray) and a hot pixel only brighten: the negative cannot show them.
  if (class_name == "sharp" || class_name == "hot_pixel") return CandidateKind::upward;
  // The verdicts of place (edge, off_moon, sunlit) and the rest: counted with the edges.
  return CandidateKind::edge;
}

double SettingScore::recall(std::size_t bin) const {
  return injected[bin] > 0 ? static_cast<double>(found[bin]) / injected[bin] : 0.0;
}

int found_from_reference(const SettingScore& s) {
  return std::accumulate(s.found.begin() + kReferenceBin, s.found.end(), 0);
}

int injected_from_reference(const SettingScore& s) {
  return std::accumulate(s.injected.begin() + kReferenceBin, s.injected.end(), 0);
}

void score_grid(const GridRuns& runs, const InjectionPlan& plan, const NightSurvey& survey,
                const std::vector<GridSetting>& grid, std::size_t current, double limit,
                TuneScores& t) {
  (void)survey;
  t = TuneScores{};
  t.current = current;
  t.limit = limit;
  t.passes = static_cast<int>(runs.injected.size());
  t.frames_tested = runs.frames_tested;
  t.scores.resize(grid.size());
  for (std::size_t i = 0; i < grid.size(); ++i) t.scores[i].setting = grid[i];

  std::vector<Candidate> clean = group_events(runs.clean_events, false);
  std::vector<Candidate> negative = group_events(runs.negative_events, true);
  const double settings = static_cast<double>(std::max<std::size_t>(1, grid.size()));
  for (std::vector<Candidate>* run : {&clean, &negative}) {
    for (Candidate& c : *run) {
      c.kind = candidate_kind(c.class_name, c.negative,
                              static_cast<double>(c.settings.size()) / settings);
      for (const std::size_t i : c.settings) {
        SettingScore& s = t.scores[i];
        switch (c.kind) {
          case CandidateKind::noise:
            ++s.noise_alarms;
            break;
          case CandidateKind::upward:
            ++s.upward_alarms;
            break;
          case CandidateKind::edge:
            ++s.edge_alarms;
            break;
          case CandidateKind::moving:
            ++s.moving_alarms;
            break;
          case CandidateKind::uncertain:
            ++s.uncertain;
            break;
          case CandidateKind::found:
          case CandidateKind::other:
            break;
        }
      }
    }
  }
  for (const Candidate& c : clean) {
    const bool flash_like = c.kind == CandidateKind::found || c.kind == CandidateKind::uncertain;
    if (!flash_like || !std::binary_search(c.settings.begin(), c.settings.end(), current)) continue;
    for (std::size_t i = 0; i < grid.size(); ++i) {
      if (!std::binary_search(c.settings.begin(), c.settings.end(), i))
        ++t.scores[i].missed_current;
    }
  }
  for (std::size_t i = 0; i < grid.size(); ++i) {
    for (const CatalogueEvent& e : runs.clean_events[i]) {
      if (e.verdict == EventClass::flash) ++t.scores[i].direct_flashes;
    }
  }

  // Frames where the recording has an event of its own: a flash injected into one that most
  // settings report cannot be told found or not (a run reports one place per frame), and an
  // injected run's report in any of them is the recording's.
  constexpr std::uint8_t kFlashLike = 1;
  constexpr std::uint8_t kAnyEvent = 2;
  std::vector<std::uint8_t> busy;
  for (const Candidate& c : clean) {
    const bool flash_like = c.kind == CandidateKind::found;
    for (std::int64_t f = std::max<std::int64_t>(0, c.event.frame); f <= c.event.last_report; ++f) {
      if (static_cast<std::size_t>(f) >= busy.size()) busy.resize(static_cast<std::size_t>(f) + 1);
      busy[static_cast<std::size_t>(f)] |= flash_like ? (kFlashLike | kAnyEvent) : kAnyEvent;
    }
  }
  const auto in_busy = [&busy](std::int64_t frame, std::uint8_t what) {
    return frame >= 0 && static_cast<std::size_t>(frame) < busy.size() &&
           (busy[static_cast<std::size_t>(frame)] & what) != 0;
  };

  for (std::size_t i = 0; i < grid.size(); ++i) {
    SettingScore& s = t.scores[i];
    for (int pass = 0; pass < t.passes; ++pass) {
      const std::vector<FoundReport>& reports = runs.injected[static_cast<std::size_t>(pass)][i];
      for (const InjectedFlash& f : plan.flashes) {
        if (f.pass != pass || in_busy(f.frame, kFlashLike)) continue;
        ++s.injected[f.bin];
        const bool found = std::any_of(reports.begin(), reports.end(), [&](const FoundReport& r) {
          return r.frame == f.frame && within(r, f.x, f.y, kFoundRadius);
        });
        if (found) ++s.found[f.bin];
      }
      for (const FoundReport& r : reports) {
        if (near_injection(r, plan, pass) || in_busy(r.frame, kAnyEvent)) continue;
        ++s.injected_alarms;
      }
    }
    s.false_alarms = s.noise_alarms + s.upward_alarms;
    s.alarm_rate = per_10k(s.false_alarms, runs.frames_tested);
    s.within_limit = s.alarm_rate <= limit;
  }
  t.candidates = std::move(clean);
  t.candidates.insert(t.candidates.end(), negative.begin(), negative.end());
  std::stable_sort(
      t.candidates.begin(), t.candidates.end(),
      [](const Candidate& a, const Candidate& b) { return a.event.frame < b.event.frame; });
  rank(t);
  if (!t.ranking.empty() && t.scores[t.ranking.front()].within_limit) {
    t.recommended = static_cast<int>(t.ranking.front());
    const SettingScore& best = t.scores[t.ranking.front()];
    const SettingScore& now = t.scores[current];
    t.loss = std::max(0, found_from_reference(now) - found_from_reference(best));
    t.loss_of = injected_from_reference(now);
  }
}
