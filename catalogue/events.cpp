#include "catalogue/events.h"

#include <algorithm>
#include <cmath>
#include <limits>

const char* field_verdict_name(FieldVerdict fields) {
  switch (fields) {
    case FieldVerdict::both:
      return "both";
    case FieldVerdict::odd:
      return "odd";
    case FieldVerdict::even:
      return "even";
  }
  return "";
}

FieldVerdict field_verdict(const FieldSplit& split) {
  const bool odd = split.odd_flux > kFieldSignificance * split.odd_err;
  const bool even = split.even_flux > kFieldSignificance * split.even_err;
  if (odd && !even) return FieldVerdict::odd;
  if (even && !odd) return FieldVerdict::even;
  return FieldVerdict::both;
}

namespace {

bool follows(std::int64_t last_frame, std::int64_t frame) {
  const std::int64_t d = frame - last_frame;
  return d >= 1 && d <= kMostFrameStep;
}

struct Step {
  double x = 0.0;
  double y = 0.0;
  double length() const { return std::hypot(x, y); }
};

// Step per frame from `a` to `b`.
Step step_between(const TrackPoint& a, const TrackPoint& b) {
  const auto frames = static_cast<double>(b.frame - a.frame);
  return {(b.x - a.x) / frames, (b.y - a.y) / frames};
}

bool step_in_range(const Step& s) {
  const double length = s.length();
  return length > kLeastTrackStep && length <= kMostTrackStep;
}

// `next` keeps the direction of `previous` and roughly its speed.
bool steady(const Step& previous, const Step& next) {
  const double a = previous.length();
  const double b = next.length();
  if (!(a > 0.0) || !(b > 0.0)) return false;
  const double cosine = (previous.x * next.x + previous.y * next.y) / (a * b);
  return cosine >= kLeastStepCosine && b <= kMostSpeedRatio * a && a <= kMostSpeedRatio * b;
}

double distance(const TrackPoint& a, const TrackPoint& b) {
  return std::hypot(b.x - a.x, b.y - a.y);
}

// True when `points` (frame order) step along a track: each step within reach, the direction
// steady, and the whole leaving the first report's site.
bool is_track(const std::vector<TrackPoint>& points) {
  if (points.size() < 2) return false;
  Step previous;
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (!follows(points[i - 1].frame, points[i].frame)) return false;
    const Step s = step_between(points[i - 1], points[i]);
    if (!step_in_range(s)) return false;
    if (i > 1 && !steady(previous, s)) return false;
    previous = s;
  }
  return distance(points.front(), points.back()) > kSiteRadius;
}

void append(OpenEvent& e, const TrackPoint& p) {
  if (e.reports > 0) {
    const Step s = step_between(e.last, p);
    e.step_x = s.x;
    e.step_y = s.y;
    e.path += distance(e.last, p);
  }
  e.last = p;
  ++e.reports;
  if (e.points.size() < kKeptPoints) e.points.push_back(p);
  e.flux_sum += p.flux.flux;
  e.variance_sum += p.flux.flux_err * p.flux.flux_err;
  e.peak_max = e.reports == 1 ? p.flux.peak : std::max(e.peak_max, p.flux.peak);
  e.saturated = e.saturated || p.flux.saturated;
}

CatalogueEvent finish(const OpenEvent& e) {
  CatalogueEvent c;
  c.number = e.number;
  c.frame = e.first.frame;
  c.end_ring = e.first.end_ring;
  c.last_report = e.last.frame;
  c.reports = e.reports;
  c.x = e.first.x;
  c.y = e.first.y;
  c.first = e.first.at_report;
  c.fields = field_verdict(e.first.fields);
  c.curve = e.first.curve;
  c.fwhm = e.first.fwhm;
  c.field_fwhm = e.first.field_fwhm;
  c.pixel_x = e.first.pixel_x;
  c.pixel_y = e.first.pixel_y;
  c.clusters = e.first.clusters;
  if (e.reports > 1 && e.last.frame > e.first.frame) {
    c.motion = e.path / static_cast<double>(e.last.frame - e.first.frame);
  }
  if (e.moving) {
    c.signs.moving = true;
    c.verdict = class_of(c.signs);
    const auto frames = static_cast<double>(e.last.frame - e.first.frame);
    c.step_x = (e.last.x - e.first.x) / frames;
    c.step_y = (e.last.y - e.first.y) / frames;
    c.frames = static_cast<int>(
        std::min<std::int64_t>(e.last.frame - e.first.frame + 1, std::numeric_limits<int>::max()));
    c.flux = e.flux_sum;
    c.flux_err = std::sqrt(e.variance_sum);
    c.peak = e.peak_max;
    c.saturated = e.saturated;
    return c;
  }
  c.signs.edge = e.first.mean_gradient > kSteepMeanGradient || e.first.near_saturated;
  c.verdict = class_of(c.signs);
  c.frames = e.first.frames_lit;
  double variance = 0.0;
  for (int k = 0; k < c.frames; ++k) {
    const FrameFlux& f = c.curve[static_cast<std::size_t>(kCurveBefore + k)];
    c.flux += f.flux;
    variance += f.flux_err * f.flux_err;
    c.peak = k == 0 ? f.peak : std::max(c.peak, f.peak);
    c.saturated = c.saturated || f.saturated;
  }
  c.flux_err = std::sqrt(variance);
  return c;
}

void close_where(EventBook& book, std::vector<CatalogueEvent>& closed, bool all,
                 std::int64_t tested_frame) {
  const std::size_t before = closed.size();
  auto keep = book.open.begin();
  for (auto it = book.open.begin(); it != book.open.end(); ++it) {
    if (all || tested_frame - it->last.frame >= kMostFrameStep) {
      closed.push_back(finish(*it));
    } else {
      if (keep != it) *keep = std::move(*it);
      ++keep;
    }
  }
  book.open.erase(keep, book.open.end());
  std::sort(closed.begin() + static_cast<std::ptrdiff_t>(before), closed.end(),
            [](const CatalogueEvent& a, const CatalogueEvent& b) { return a.number < b.number; });
}

}  // namespace

void add_report(EventBook& book, const ReportMeasure& report) {
  const TrackPoint p{report.frame, report.x, report.y, report.at_report};

  // A moving event that this report continues; the nearest to its predicted place wins.
  OpenEvent* best = nullptr;
  double best_miss = std::numeric_limits<double>::infinity();
  for (OpenEvent& e : book.open) {
    if (!e.moving || !follows(e.last.frame, p.frame)) continue;
    const Step s = step_between(e.last, p);
    if (!step_in_range(s) || !steady({e.step_x, e.step_y}, s)) continue;
    const auto frames = static_cast<double>(p.frame - e.last.frame);
    const double miss =
        std::hypot(e.last.x + e.step_x * frames - p.x, e.last.y + e.step_y * frames - p.y);
    if (miss < best_miss) {
      best = &e;
      best_miss = miss;
    }
  }
  if (best != nullptr) {
    append(*best, p);
    return;
  }

  // A site event whose reports and this one form a track.
  for (OpenEvent& e : book.open) {
    if (e.moving || !follows(e.last.frame, p.frame) ||
        e.points.size() != static_cast<std::size_t>(e.reports)) {
      continue;
    }
    std::vector<TrackPoint> points = e.points;
    points.push_back(p);
    if (is_track(points)) {
      e.moving = true;
      append(e, p);
      return;
    }
  }

  // The nearest site within reach of its first centroid.
  best = nullptr;
  double best_distance = std::numeric_limits<double>::infinity();
  for (OpenEvent& e : book.open) {
    if (e.moving || !follows(e.last.frame, p.frame)) continue;
    const double d = std::hypot(p.x - e.first.x, p.y - e.first.y);
    if (d <= kSiteRadius && d < best_distance) {
      best = &e;
      best_distance = d;
    }
  }
  if (best != nullptr) {
    append(*best, p);
    return;
  }

  OpenEvent e;
  e.number = book.next_number++;
  e.first = report;
  append(e, p);
  book.open.push_back(std::move(e));
}

void close_events(EventBook& book, std::int64_t tested_frame, std::vector<CatalogueEvent>& closed) {
  close_where(book, closed, false, tested_frame);
}

void close_all_events(EventBook& book, std::vector<CatalogueEvent>& closed) {
  close_where(book, closed, true, 0);
}

CatalogueEvent scattered_event(EventBook& book, const ReportMeasure& cluster) {
  OpenEvent e;
  e.number = book.next_number++;
  e.first = cluster;
  append(e, {cluster.frame, cluster.x, cluster.y, cluster.at_report});
  CatalogueEvent c = finish(e);
  c.signs.scattered = true;
  c.verdict = class_of(c.signs);
  return c;
}
