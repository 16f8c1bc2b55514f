#include "review/moon_overlay.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr double kSample = 2.0;  // degrees between the points of a line

struct Point {
  double x, y;
};

// Keeps the points of line[first..last] that the straight segments between kept points need to
// stay within `tolerance` of every point left out (Douglas-Peucker).
void simplify(const std::vector<Point>& line, std::size_t first, std::size_t last, double tolerance,
              std::vector<bool>& keep) {
  if (last <= first + 1) return;
  const double ax = line[first].x, ay = line[first].y;
  const double bx = line[last].x - ax, by = line[last].y - ay;
  const double length = std::hypot(bx, by);
  double worst = -1.0;
  std::size_t at = first;
  for (std::size_t i = first + 1; i < last; ++i) {
    const double px = line[i].x - ax, py = line[i].y - ay;
    const double d = length > 0.0 ? std::fabs(px * by - py * bx) / length : std::hypot(px, py);
    if (d > worst) {
      worst = d;
      at = i;
    }
  }
  if (worst <= tolerance) return;
  keep[at] = true;
  simplify(line, first, at, tolerance, keep);
  simplify(line, at, last, tolerance, keep);
}

// The line in drawing units, simplified to within to.tolerance.
void append_line(std::string& out, const std::vector<Point>& line, const DrawingScale& to) {
  if (line.size() < 2) return;
  std::vector<Point> drawn(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    drawn[i] = {to.x0 + to.scale * line[i].x, to.y0 + to.scale * line[i].y};
  }
  std::vector<bool> keep(drawn.size(), to.tolerance <= 0.0);
  keep.front() = keep.back() = true;
  simplify(drawn, 0, drawn.size() - 1, to.tolerance, keep);
  bool first = true;
  for (std::size_t i = 0; i < drawn.size(); ++i) {
    if (!keep[i]) continue;
    char text[48];
    std::snprintf(text, sizeof text, "%c%.1f %.1f", first ? 'M' : 'L', drawn[i].x, drawn[i].y);
    out += text;
    first = false;
  }
}

// The pixel of the place at parameter t along a line, or false on the far side.
template <typename PlaceAt>
bool pixel_at(const DiscView& view, const PlaceAt& place_at, double t, Point& p) {
  return place_to_pixel(view, place_at(t), &p.x, &p.y);
}

// Samples the line place_at(t) for t from t0 to t1 into its visible pieces; a piece ends at the
// limb, found by halving the step between a visible and a hidden sample.
using Piece = std::vector<Point>;

template <typename PlaceAt>
void visible_pieces(const DiscView& view, const PlaceAt& place_at, double t0, double t1,
                    std::vector<Piece>& out) {
  const int steps = static_cast<int>(std::ceil((t1 - t0) / kSample));
  std::vector<Point> piece;
  bool was_visible = false;
  double last_t = t0;
  for (int k = 0; k <= steps; ++k) {
    const double t = k == steps ? t1 : t0 + k * kSample;
    Point p{};
    const bool visible = pixel_at(view, place_at, t, p);
    if (k > 0 && visible != was_visible) {
      // The limb lies between last_t and t.
      double in = was_visible ? last_t : t, outside = was_visible ? t : last_t;
      Point edge{};
      pixel_at(view, place_at, in, edge);
      for (int i = 0; i < 24; ++i) {
        const double mid = 0.5 * (in + outside);
        Point q{};
        if (pixel_at(view, place_at, mid, q)) {
          in = mid;
          edge = q;
        } else {
          outside = mid;
        }
      }
      if (was_visible) {
        piece.push_back(edge);
        if (piece.size() >= 2) out.push_back(piece);
        piece.clear();
      } else {
        piece.push_back(edge);
      }
    }
    if (visible) piece.push_back(p);
    was_visible = visible;
    last_t = t;
  }
  if (piece.size() >= 2) out.push_back(piece);
}

struct Vec {
  double x, y, z;
};

LunarPlace place_of(const Vec& v) {
  return {std::asin(std::fmax(-1.0, std::fmin(1.0, v.z))) / kRad, std::atan2(v.y, v.x) / kRad};
}

Vec unit(double lat, double lon) {
  return {std::cos(lat * kRad) * std::cos(lon * kRad), std::cos(lat * kRad) * std::sin(lon * kRad),
          std::sin(lat * kRad)};
}

double sun_height(const Vec& sun, const LunarPlace& place) {
  const Vec p = unit(place.lat, place.lon);
  return p.x * sun.x + p.y * sun.y + p.z * sun.z;
}

}  // namespace

DiscView view_of_fit(const MoonFitRow& row) {
  DiscView v;
  v.cx = *row.cx;
  v.cy = *row.cy;
  v.radius = *row.radius;
  v.rotation = *row.rotation;
  v.mirror = row.mirror == "yes";
  v.lib_lon = *row.lib_lon;
  v.lib_lat = *row.lib_lat;
  v.axis_pa = *row.axis_pa;
  v.apparent_radius = std::asin(1737.4 / *row.distance_km) / kRad;
  return v;
}

DrawingScale block_scale(int factor) {
  const double s = 1.0 / factor;
  return {s, 0.5 * s, 0.5 * s, 0.15};
}

std::string grid_path(const DiscView& view, const DrawingScale& to) {
  std::vector<Piece> pieces;
  for (double lat = -90.0 + kGridStep; lat < 90.0 - 1e-9; lat += kGridStep) {
    visible_pieces(
        view,
        [lat](double lon) {
          return LunarPlace{lat, lon};
        },
        -180.0, 180.0, pieces);
  }
  for (double lon = -180.0; lon < 180.0 - 1e-9; lon += kGridStep) {
    visible_pieces(
        view,
        [lon](double lat) {
          return LunarPlace{lat, lon};
        },
        -90.0, 90.0, pieces);
  }
  std::string out;
  for (const Piece& piece : pieces) append_line(out, piece, to);
  return out;
}

std::string lit_path(const DiscView& view, double sun_lon, double sun_lat, const DrawingScale& to) {
  const Vec sun = unit(sun_lat, sun_lon);
  // Two unit vectors across the Sun's direction span the terminator.
  const Vec a = std::fabs(sun.z) < 0.9 ? Vec{-sun.y, sun.x, 0.0} : Vec{1.0, 0.0, 0.0};
  const double na = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
  Vec u{a.x / na, a.y / na, a.z / na};
  u = {u.x - (u.x * sun.x + u.y * sun.y + u.z * sun.z) * sun.x,
       u.y - (u.x * sun.x + u.y * sun.y + u.z * sun.z) * sun.y,
       u.z - (u.x * sun.x + u.y * sun.y + u.z * sun.z) * sun.z};
  const double nu = std::sqrt(u.x * u.x + u.y * u.y + u.z * u.z);
  u = {u.x / nu, u.y / nu, u.z / nu};
  const Vec w{sun.y * u.z - sun.z * u.y, sun.z * u.x - sun.x * u.z, sun.x * u.y - sun.y * u.x};
  const auto terminator = [&](double t) {
    const double c = std::cos(t * kRad), s = std::sin(t * kRad);
    return place_of({c * u.x + s * w.x, c * u.y + s * w.y, c * u.z + s * w.z});
  };
  // The visible arc of the terminator, from a hidden point on so that it comes in one piece.
  double start = 0.0;
  Point p{};
  for (double t = 0.0; t < 360.0; t += 1.0) {
    if (!place_to_pixel(view, terminator(t), &p.x, &p.y)) {
      start = t;
      break;
    }
  }
  std::vector<Piece> pieces;
  visible_pieces(view, terminator, start, start + 360.0, pieces);
  const Piece arc = pieces.empty() ? Piece{} : pieces.front();
  std::vector<Point> outline;
  const auto limb_point = [&](double angle, double reach) {
    return Point{view.cx + reach * view.radius * std::cos(angle),
                 view.cy + reach * view.radius * std::sin(angle)};
  };
  const auto lit_at = [&](const Point& q) {
    LunarPlace place;
    return pixel_to_place(view, q.x, q.y, &place) && sun_height(sun, place) > 0.0;
  };
  if (arc.size() < 2) {
    // No terminator in view: the disc is lit whole or not at all.
    if (!lit_at({view.cx, view.cy})) return "";
    for (int k = 0; k < 360; k += 2) outline.push_back(limb_point(k * kRad, 1.0));
  } else {
    outline = arc;
    // Close along the limb from the arc's end to its start, the way whose middle is lit.
    const double a_end = std::atan2(arc.back().y - view.cy, arc.back().x - view.cx);
    const double a_start = std::atan2(arc.front().y - view.cy, arc.front().x - view.cx);
    double sweep = std::remainder(a_start - a_end, 2.0 * kPi);  // -pi .. pi
    if (!lit_at(limb_point(a_end + 0.5 * sweep, 0.98))) {
      sweep = sweep > 0.0 ? sweep - 2.0 * kPi : sweep + 2.0 * kPi;
    }
    const int steps = static_cast<int>(std::ceil(std::fabs(sweep) / (kSample * kRad)));
    for (int k = 1; k < steps; ++k) outline.push_back(limb_point(a_end + sweep * k / steps, 1.0));
  }
  std::string out;
  append_line(out, outline, to);
  if (!out.empty()) out += 'Z';
  return out;
}
