#include "moon/projection.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr double kDeg = 180.0 / kPi;

struct Vec {
  double x, y, z;
};

Vec operator*(double s, const Vec& v) {
  return {s * v.x, s * v.y, s * v.z};
}
Vec operator+(const Vec& a, const Vec& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
double dot(const Vec& a, const Vec& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The view's axes in selenographic coordinates (x towards longitude 0 on the equator, z the
// north pole): towards the observer, the projected north pole, and increasing longitude.
struct Axes {
  Vec to_observer, up, across;
};

Axes axes_of(const DiscView& v) {
  const double sl = std::sin(v.lib_lon * kRad);
  const double cl = std::cos(v.lib_lon * kRad);
  const double sb = std::sin(v.lib_lat * kRad);
  const double cb = std::cos(v.lib_lat * kRad);
  Axes a;
  a.to_observer = {cb * cl, cb * sl, sb};
  a.up = {-sb * cl, -sb * sl, cb};
  a.across = {-sl, cl, 0.0};  // up x to_observer
  return a;
}

// Offsets from the centre in limb radii to (x', y'): x' towards increasing longitude, y' towards
// the projected north pole.
void screen_to_lunar(const DiscView& v, double dx, double dy, double* xp, double* yp) {
  const double psi = std::atan2(-dx, -dy);
  const double pa = v.mirror ? v.rotation * kRad - psi : v.rotation * kRad + psi;
  const double r = std::sqrt(dx * dx + dy * dy);
  const double north = r * std::cos(pa);
  const double west = -r * std::sin(pa);
  const double p = v.axis_pa * kRad;
  *xp = west * std::cos(p) + north * std::sin(p);
  *yp = -west * std::sin(p) + north * std::cos(p);
}

void lunar_to_screen(const DiscView& v, double xp, double yp, double* dx, double* dy) {
  const double p = v.axis_pa * kRad;
  const double west = xp * std::cos(p) - yp * std::sin(p);
  const double north = xp * std::sin(p) + yp * std::cos(p);
  const double r = std::sqrt(west * west + north * north);
  const double pa = std::atan2(-west, north);
  const double psi = v.mirror ? v.rotation * kRad - pa : pa - v.rotation * kRad;
  *dx = -r * std::sin(psi);
  *dy = -r * std::cos(psi);
}

}  // namespace

double limb_distance(const DiscView& view, double x, double y) {
  return std::hypot(x - view.cx, y - view.cy) / view.radius;
}

bool pixel_to_place(const DiscView& view, double x, double y, LunarPlace* place) {
  double xp = 0.0;
  double yp = 0.0;
  screen_to_lunar(view, (x - view.cx) / view.radius, (y - view.cy) / view.radius, &xp, &yp);
  const double r = std::sqrt(xp * xp + yp * yp);
  if (!(r <= 1.0)) return false;
  // The point on the unit sphere in view coordinates (across, up, to_observer).
  double u = 0.0;
  double w = 0.0;  // distance from the axis, and height towards the observer
  if (view.apparent_radius <= 0.0) {
    u = r;
    w = std::sqrt(1.0 - r * r);
  } else {
    // The line of sight at angle theta from the centre, from an observer at distance D
    // (moon radii) meets the sphere first at t = D cos(theta) - sqrt(1 - D^2 sin^2(theta)).
    const double s = view.apparent_radius * kRad;
    const double d = 1.0 / std::sin(s);
    const double theta = std::atan(r * std::tan(s));
    const double inside = 1.0 - d * d * std::sin(theta) * std::sin(theta);
    const double t = d * std::cos(theta) - std::sqrt(inside > 0.0 ? inside : 0.0);
    u = t * std::sin(theta);
    w = d - t * std::cos(theta);
  }
  const double cx = r > 0.0 ? xp / r : 0.0;
  const double cy = r > 0.0 ? yp / r : 0.0;
  const Axes a = axes_of(view);
  const Vec p = (u * cx) * a.across + (u * cy) * a.up + w * a.to_observer;
  place->lat = std::asin(p.z < -1.0 ? -1.0 : (p.z > 1.0 ? 1.0 : p.z)) * kDeg;
  place->lon = std::atan2(p.y, p.x) * kDeg;
  return true;
}

bool place_to_pixel(const DiscView& view, const LunarPlace& place, double* x, double* y) {
  const double cl = std::cos(place.lat * kRad);
  const Vec p = {cl * std::cos(place.lon * kRad), cl * std::sin(place.lon * kRad),
                 std::sin(place.lat * kRad)};
  const Axes a = axes_of(view);
  const double across = dot(p, a.across);
  const double up = dot(p, a.up);
  const double toward = dot(p, a.to_observer);
  const double h = std::sqrt(across * across + up * up);
  double r = 0.0;
  if (view.apparent_radius <= 0.0) {
    if (toward < 0.0) return false;
    r = h;
  } else {
    const double s = view.apparent_radius * kRad;
    const double d = 1.0 / std::sin(s);
    if (toward < 1.0 / d) return false;  // beyond the tangent cone: out of sight
    r = (h / (d - toward)) / std::tan(s);
  }
  const double xp = h > 0.0 ? r * across / h : 0.0;
  const double yp = h > 0.0 ? r * up / h : 0.0;
  double dx = 0.0;
  double dy = 0.0;
  lunar_to_screen(view, xp, yp, &dx, &dy);
  *x = view.cx + dx * view.radius;
  *y = view.cy + dy * view.radius;
  return true;
}

bool place_error(const DiscView& view, const DiscCovariance& covariance, double x, double y,
                 double centroid_sigma, PlaceError* error) {
  LunarPlace centre_place;
  if (!pixel_to_place(view, x, y, &centre_place)) return false;
  // Derivatives by central differences in cx, cy, radius, rotation, then x, y. Steps small
  // against every error that matters, large against rounding.
  const double steps[6] = {1e-3, 1e-3, 1e-3, 1e-4, 1e-3, 1e-3};
  double dlat[6];
  double dlon[6];
  for (int k = 0; k < 6; ++k) {
    LunarPlace side[2];
    for (int s = 0; s < 2; ++s) {
      const double h = s == 0 ? steps[k] : -steps[k];
      DiscView v = view;
      double px = x;
      double py = y;
      if (k == 0) v.cx += h;
      if (k == 1) v.cy += h;
      if (k == 2) v.radius += h;
      if (k == 3) v.rotation += h;
      if (k == 4) px += h;
      if (k == 5) py += h;
      // At the very limb one side may fall off the disc: use the place itself for it.
      if (!pixel_to_place(v, px, py, &side[s])) side[s] = centre_place;
    }
    double lon_step = side[0].lon - side[1].lon;
    if (lon_step > 180.0) lon_step -= 360.0;
    if (lon_step < -180.0) lon_step += 360.0;
    dlat[k] = (side[0].lat - side[1].lat) / (2.0 * steps[k]);
    dlon[k] = lon_step / (2.0 * steps[k]);
  }
  double var_lat = 0.0;
  double var_lon = 0.0;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      var_lat += dlat[i] * covariance[i][j] * dlat[j];
      var_lon += dlon[i] * covariance[i][j] * dlon[j];
    }
  }
  const double c2 = centroid_sigma * centroid_sigma;
  var_lat += c2 * (dlat[4] * dlat[4] + dlat[5] * dlat[5]);
  var_lon += c2 * (dlon[4] * dlon[4] + dlon[5] * dlon[5]);
  error->lat = std::sqrt(var_lat > 0.0 ? var_lat : 0.0);
  error->lon = std::sqrt(var_lon > 0.0 ? var_lon : 0.0);
  return true;
}
