#include "demo_events.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "demo_random.h"

namespace demo {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct PlannedEvent {
  EventKind kind;
  int duration;  // frames
};

// The events of `plan` in random order, with their durations.
std::vector<PlannedEvent> draw_events(const EventPlan& plan, Rng& rng) {
  std::vector<PlannedEvent> events;
  for (int i = 0; i < plan.flashes; ++i) {
    events.push_back({EventKind::Flash, uniform01(rng) < 0.35 ? 2 : 1});
  }
  for (int i = 0; i < plan.hits; ++i) {
    events.push_back({i % 2 == 0 ? EventKind::CosmicRay : EventKind::HotPixel, 1});
  }
  for (int i = 0; i < plan.glints; ++i) {
    events.push_back({EventKind::Glint, 4 + uniform_index(rng, 3)});
  }
  for (std::size_t i = events.size(); i > 1; --i) {
    std::swap(events[i - 1], events[uniform_index(rng, static_cast<int>(i))]);
  }
  return events;
}

// The first frame of each event: tested frames are 1 .. frames - 1 - ring / 2, and successive
// events keep ring / 2 frames apart. False with `error` when they do not fit.
bool draw_start_frames(const EventPlan& plan, const std::vector<PlannedEvent>& events, Rng& rng,
                       std::vector<int>& starts, std::string* error) {
  const int gap = plan.ring / 2;
  const int first = 1;
  const int last = plan.frames - 1 - gap;
  const long span = static_cast<long>(last) - first + 1;
  long need = 0;
  for (const PlannedEvent& e : events) need += e.duration - 1;
  if (!events.empty()) need += static_cast<long>(events.size() - 1) * gap + 1;
  if (need > span) {
    *error = std::to_string(events.size()) + " events " + std::to_string(gap) +
             " frames apart need " + std::to_string(need + gap + first) + " frames; --frames " +
             std::to_string(plan.frames) + " is too few";
    return false;
  }
  std::vector<long> offsets(events.size());
  for (long& offset : offsets) offset = uniform_index(rng, static_cast<int>(span - need + 1));
  std::sort(offsets.begin(), offsets.end());
  long start = first;
  starts.resize(events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    starts[i] = static_cast<int>(start + offsets[i]);
    start += events[i].duration - 1 + gap;
  }
  return true;
}

// A random place on the night side; false after 100000 misses.
bool pick_night_site(const Scene& scene, Rng& rng, double& x, double& y) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    x = uniform(rng, 0.0, scene.width - 1.0);
    y = uniform(rng, 0.0, scene.height - 1.0);
    const std::size_t at = static_cast<std::size_t>(std::lround(y)) * scene.width +
                           static_cast<std::size_t>(std::lround(x));
    if (scene.night[at] != 0) return true;
  }
  return false;
}

void place_flash(const Scene& scene, Rng& rng, int frame, int duration, std::vector<Spot>& spots) {
  double x = 0.0;
  double y = 0.0;
  if (!pick_night_site(scene, rng, x, y)) return;
  const double peak = 15.0 * std::pow(20.0, uniform01(rng));  // 15 to 300, faint ones commonest
  const double width = uniform(rng, 2.0, 5.0);
  spots.push_back({frame, x, y, peak, width, EventKind::Flash});
  if (duration == 2) {
    spots.push_back({frame + 1, x, y, peak * uniform(rng, 0.2, 0.5), width, EventKind::FlashFade});
  }
}

void place_hit(const Scene& scene, Rng& rng, int frame, EventKind kind, std::vector<Spot>& spots) {
  double x = 0.0;
  double y = 0.0;
  if (!pick_night_site(scene, rng, x, y)) return;
  spots.push_back({frame, std::round(x), std::round(y), uniform(rng, 60.0, 220.0), 0.0, kind});
}

// A straight path at 6 to 15 pixels per frame, wholly over the night side.
void place_glint(const Scene& scene, Rng& rng, int frame, int duration, std::vector<Spot>& spots) {
  const double speed = uniform(rng, 6.0, 15.0);
  const double angle = uniform(rng, 0.0, 2.0 * kPi);
  const double vx = speed * std::cos(angle);
  const double vy = speed * std::sin(angle);
  double x = 0.0;
  double y = 0.0;
  bool placed = false;
  for (int attempt = 0; attempt < 1000 && !placed; ++attempt) {
    if (!pick_night_site(scene, rng, x, y)) break;
    placed = is_night(scene, x + vx * (duration - 1), y + vy * (duration - 1));
  }
  if (!placed) return;
  const double peak = uniform(rng, 70.0, 160.0);
  for (int k = 0; k < duration; ++k) {
    spots.push_back(
        {frame + k, x + vx * k, y + vy * k, peak * uniform(rng, 0.7, 1.0), 2.2, EventKind::Glint});
  }
}

// Adds a Gaussian spot of full width at half maximum `width` and centre value `peak` at (x, y).
void add_gaussian(std::span<float> light, int w, int h, double x, double y, double peak,
                  double width) {
  const double sigma = width / 2.3548200450309493;
  const int radius = static_cast<int>(std::ceil(4.0 * sigma));
  const int cx = static_cast<int>(std::lround(x));
  const int cy = static_cast<int>(std::lround(y));
  for (int py = std::max(0, cy - radius); py <= std::min(h - 1, cy + radius); ++py) {
    for (int px = std::max(0, cx - radius); px <= std::min(w - 1, cx + radius); ++px) {
      const double r2 = (px - x) * (px - x) + (py - y) * (py - y);
      light[static_cast<std::size_t>(py) * w + px] +=
          static_cast<float>(peak * std::exp(-r2 / (2.0 * sigma * sigma)));
    }
  }
}

}  // namespace

bool plan_events(const EventPlan& plan, const Scene& scene, std::vector<Spot>& spots,
                 std::string* error) {
  Rng rng(stream_seed(plan.seed, 1));
  const std::vector<PlannedEvent> events = draw_events(plan, rng);
  std::vector<int> starts;
  if (!draw_start_frames(plan, events, rng, starts, error)) return false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const PlannedEvent& e = events[i];
    switch (e.kind) {
      case EventKind::Flash:
        place_flash(scene, rng, starts[i], e.duration, spots);
        break;
      case EventKind::CosmicRay:
      case EventKind::HotPixel:
        place_hit(scene, rng, starts[i], e.kind, spots);
        break;
      case EventKind::Glint:
        place_glint(scene, rng, starts[i], e.duration, spots);
        break;
      case EventKind::FlashFade:
        break;
    }
  }
  if (spots.empty() && !events.empty()) {
    *error = "no room for events on the night side of a " + std::to_string(scene.width) + "x" +
             std::to_string(scene.height) + " frame";
    return false;
  }
  std::stable_sort(spots.begin(), spots.end(),
                   [](const Spot& a, const Spot& b) { return a.frame < b.frame; });
  return true;
}

void add_spots(std::span<const Spot> spots, int frame, const Seeing& seeing, int width, int height,
               std::span<float> light) {
  for (const Spot& spot : spots) {
    if (spot.frame != frame) continue;
    if (spot.width == 0.0) {
      light[static_cast<std::size_t>(spot.y) * width + static_cast<std::size_t>(spot.x)] +=
          static_cast<float>(spot.peak);
    } else {
      add_gaussian(light, width, height, spot.x - seeing.shift_x, spot.y - seeing.shift_y,
                   seeing.gain * spot.peak, spot.width);
    }
  }
}

std::vector<TruthRow> truth_rows(std::span<const Spot> spots) {
  std::vector<TruthRow> rows;
  rows.reserve(spots.size());
  for (const Spot& s : spots) {
    rows.push_back({s.frame, s.x, s.y, s.peak, s.width == 0.0 ? 1.0 : s.width, s.kind});
  }
  return rows;
}

}  // namespace demo
