#include "moon/ephemeris.h"

#include <erfa.h>
#include <erfam.h>

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr double kDeg = 180.0 / kPi;
constexpr double kInclination = 1.54242;  // of the lunar equator to the ecliptic
constexpr double kAuKm = ERFA_DAU / 1000.0;
constexpr double kEarthRadiusKm = 6378.137;  // equatorial, WGS84

double sind(double a) {
  return std::sin(a * kRad);
}
double cosd(double a) {
  return std::cos(a * kRad);
}
double atan2d(double y, double x) {
  return std::atan2(y, x) * kDeg;
}
double asind(double x) {
  return std::asin(x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x)) * kDeg;
}

// Chapter 47's fundamental arguments, degrees, and the eccentricity factor E.
struct Arguments {
  double d, m, mp, f, node, e;
};

Arguments arguments(double t) {
  const double t2 = t * t;
  const double t3 = t2 * t;
  const double t4 = t3 * t;
  Arguments a;
  a.d = 297.8501921 + 445267.1114034 * t - 0.0018819 * t2 + t3 / 545868.0 - t4 / 113065000.0;
  a.m = 357.5291092 + 35999.0502909 * t - 0.0001536 * t2 + t3 / 24490000.0;
  a.mp = 134.9633964 + 477198.8675055 * t + 0.0087414 * t2 + t3 / 69699.0 - t4 / 14712000.0;
  a.f = 93.2720950 + 483202.0175233 * t - 0.0036539 * t2 - t3 / 3526000.0 + t4 / 863310000.0;
  a.node = 125.0445479 - 1934.1362891 * t + 0.0020754 * t2 + t3 / 467441.0 - t4 / 60616000.0;
  a.e = 1.0 - 0.002516 * t - 0.0000074 * t2;
  return a;
}

struct Physical {
  double rho, sigma, tau;
};

// The physical libration terms rho, sigma, tau (degrees).
Physical physical_terms(double t, const Arguments& a) {
  const double k1 = 119.75 + 131.849 * t;
  const double k2 = 72.56 + 20.186 * t;
  const double mp = a.mp, m = a.m, f = a.f, d = a.d;
  Physical p;
  p.rho = -0.02752 * cosd(mp) - 0.02245 * sind(f) + 0.00684 * cosd(mp - 2 * f) -
          0.00293 * cosd(2 * f) - 0.00085 * cosd(2 * f - 2 * d) - 0.00054 * cosd(mp - 2 * d) -
          0.00020 * sind(mp + f) - 0.00020 * cosd(mp + 2 * f) - 0.00020 * cosd(mp - f) +
          0.00014 * cosd(mp + 2 * f - 2 * d);
  p.sigma = -0.02816 * sind(mp) + 0.02244 * cosd(f) - 0.00682 * sind(mp - 2 * f) -
            0.00279 * sind(2 * f) - 0.00083 * sind(2 * f - 2 * d) + 0.00069 * sind(mp - 2 * d) +
            0.00040 * cosd(mp + f) - 0.00025 * sind(2 * mp) - 0.00023 * sind(mp + 2 * f) +
            0.00020 * cosd(mp - f) + 0.00019 * sind(mp - f) + 0.00013 * sind(mp + 2 * f - 2 * d) -
            0.00010 * cosd(mp - 3 * f);
  p.tau = 0.02520 * a.e * sind(m) + 0.00473 * sind(2 * mp - 2 * f) - 0.00467 * sind(mp) +
          0.00396 * sind(k1) + 0.00276 * sind(2 * mp - 2 * d) + 0.00196 * sind(a.node) -
          0.00183 * cosd(mp - f) + 0.00115 * sind(mp - 2 * d) - 0.00096 * sind(mp - d) +
          0.00046 * sind(2 * f - 2 * d) - 0.00039 * sind(mp - f) - 0.00032 * sind(mp - m - d) +
          0.00027 * sind(2 * mp - m - 2 * d) + 0.00023 * sind(k2) - 0.00014 * sind(2 * d) +
          0.00014 * cosd(2 * mp - 2 * f) - 0.00012 * sind(mp - 2 * f) - 0.00012 * sind(2 * mp) +
          0.00011 * sind(2 * mp - 2 * m - 2 * d);
  return p;
}

// Optical and physical libration for the direction (lambda, beta); A is returned for the axis.
void libration(double t, double lambda, double beta, double dpsi, const Arguments& a,
               const Physical& p, LunarOrientation* o, double* big_a) {
  const double w = lambda - dpsi - a.node;
  const double aa =
      atan2d(sind(w) * cosd(beta) * cosd(kInclination) - sind(beta) * sind(kInclination),
             cosd(w) * cosd(beta));
  o->optical_l = wrap180(aa - a.f);
  o->optical_b =
      asind(-sind(w) * cosd(beta) * sind(kInclination) - sind(beta) * cosd(kInclination));
  o->rho = p.rho;
  o->sigma = p.sigma;
  o->tau = p.tau;
  o->physical_l = -p.tau + (p.rho * cosd(aa) + p.sigma * sind(aa)) * std::tan(o->optical_b * kRad);
  o->physical_b = p.sigma * cosd(aa) - p.rho * sind(aa);
  o->l = wrap180(o->optical_l + o->physical_l);
  o->b = o->optical_b + o->physical_b;
  (void)t;
  *big_a = aa;
}

// Unit-free helpers on 3-vectors.
double norm(const double v[3]) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// Right ascension and declination (degrees) of an equatorial vector.
void to_radec(const double v[3], double* ra, double* dec) {
  *ra = wrap360(atan2d(v[1], v[0]));
  *dec = asind(v[2] / norm(v));
}

// Ecliptic longitude and latitude of date of an equatorial vector, obliquity `eps`.
void to_ecliptic(const double v[3], double eps, double* lambda, double* beta) {
  const double y = v[1] * cosd(eps) + v[2] * sind(eps);
  const double z = -v[1] * sind(eps) + v[2] * cosd(eps);
  *lambda = wrap360(atan2d(y, v[0]));
  *beta = asind(z / norm(v));
}

void rotate(const double r[3][3], const double v[3], double out[3]) {
  for (int i = 0; i < 3; ++i) out[i] = r[i][0] * v[0] + r[i][1] * v[1] + r[i][2] * v[2];
}

}  // namespace

double wrap180(double degrees) {
  double a = std::fmod(degrees, 360.0);
  if (a > 180.0) a -= 360.0;
  if (a <= -180.0) a += 360.0;
  return a;
}

double wrap360(double degrees) {
  double a = std::fmod(degrees, 360.0);
  if (a < 0.0) a += 360.0;
  return a;
}

LunarOrientation lunar_orientation(double t, double lambda, double beta, double alpha, double dpsi,
                                   double eps) {
  const Arguments a = arguments(t);
  const Physical p = physical_terms(t, a);
  LunarOrientation o;
  double big_a = 0.0;
  libration(t, lambda, beta, dpsi, a, p, &o, &big_a);
  const double v = a.node + dpsi + p.sigma / sind(kInclination);
  const double x = sind(kInclination + p.rho) * sind(v);
  const double y =
      sind(kInclination + p.rho) * cosd(v) * cosd(eps) - cosd(kInclination + p.rho) * sind(eps);
  const double omega = atan2d(x, y);
  o.axis_pa = asind(std::sqrt(x * x + y * y) * cosd(alpha - omega) / cosd(o.b));
  return o;
}

void selenographic_point(double t, double lambda_h, double beta_h, double dpsi, double* lon,
                         double* lat) {
  const Arguments a = arguments(t);
  const Physical p = physical_terms(t, a);
  LunarOrientation o;
  double big_a = 0.0;
  libration(t, lambda_h, beta_h, dpsi, a, p, &o, &big_a);
  *lon = o.l;
  *lat = o.b;
}

void topocentric_corrections(double parallax, double latitude, double hour_angle, double dec,
                             double b, double p, double* dl, double* db, double* dp) {
  const double q =
      atan2d(cosd(latitude) * sind(hour_angle),
             cosd(dec) * sind(latitude) - sind(dec) * cosd(latitude) * cosd(hour_angle));
  const double cos_z = sind(latitude) * sind(dec) + cosd(latitude) * cosd(dec) * cosd(hour_angle);
  const double z = std::acos(cos_z) * kDeg;
  const double pp = parallax * (sind(z) + 0.0084 * sind(2 * z));
  *dl = -pp * sind(q - p) / cosd(b);
  *db = pp * cosd(q - p);
  *dp = *dl * sind(b + *db) - pp * sind(q) * std::tan(dec * kRad);
}

double phase_angle(double alpha, double dec, double distance, double sun_alpha, double sun_dec,
                   double sun_distance) {
  const double cos_psi =
      sind(sun_dec) * sind(dec) + cosd(sun_dec) * cosd(dec) * cosd(sun_alpha - alpha);
  const double psi = std::acos(cos_psi < -1.0 ? -1.0 : (cos_psi > 1.0 ? 1.0 : cos_psi));
  return atan2d(sun_distance * std::sin(psi), distance - sun_distance * std::cos(psi));
}

double bright_limb_angle(double alpha, double dec, double sun_alpha, double sun_dec) {
  return wrap360(
      atan2d(cosd(sun_dec) * sind(sun_alpha - alpha),
             sind(sun_dec) * cosd(dec) - cosd(sun_dec) * sind(dec) * cosd(sun_alpha - alpha)));
}

MoonGeometry moon_geometry(const Instant& instant, const Site& site) {
  MoonGeometry g;
  const double t = julian_centuries_tt(instant);
  // The nutation series is the costly part of the geometry and is summed once: the matrix of
  // eraPnm06a and the sidereal time of eraGst06a are built from it as those functions do, to the
  // same bits.
  double dpsi = 0.0;
  double deps = 0.0;
  eraNut06a(instant.tt1, instant.tt2, &dpsi, &deps);
  double gamb = 0.0, phib = 0.0, psib = 0.0, epsa = 0.0;
  eraPfw06(instant.tt1, instant.tt2, &gamb, &phib, &psib, &epsa);
  double rnpb[3][3];
  eraFw2m(gamb, phib, psib + dpsi, epsa + deps, rnpb);
  g.dpsi = dpsi * kDeg;
  g.eps = (eraObl06(instant.tt1, instant.tt2) + deps) * kDeg;

  // The Moon, geocentric, true equator and equinox of date, km.
  double pv[2][3];
  eraMoon98(instant.tt1, instant.tt2, pv);
  double moon[3];
  rotate(rnpb, pv[0], moon);
  for (double& c : moon) c *= kAuKm;
  g.geo_distance_km = norm(moon);
  to_radec(moon, &g.geo_ra, &g.geo_dec);
  to_ecliptic(moon, g.eps, &g.geo_lambda, &g.geo_beta);
  g.horizontal_parallax = asind(kEarthRadiusKm / g.geo_distance_km);
  g.geo = lunar_orientation(t, g.geo_lambda, g.geo_beta, g.geo_ra, g.dpsi, g.eps);

  // The site in the same frame: Earth-fixed, turned by the apparent sidereal time (polar motion,
  // under 0.5", left out).
  double fixed[3] = {0.0, 0.0, 0.0};
  eraGd2gc(ERFA_WGS84, site.longitude * kRad, site.latitude * kRad, site.height_m, fixed);
  const double gast = eraGst06(instant.ut1_1, instant.ut1_2, instant.tt1, instant.tt2, rnpb);
  const double observer[3] = {(fixed[0] * std::cos(gast) - fixed[1] * std::sin(gast)) / 1000.0,
                              (fixed[0] * std::sin(gast) + fixed[1] * std::cos(gast)) / 1000.0,
                              fixed[2] / 1000.0};
  const double topo[3] = {moon[0] - observer[0], moon[1] - observer[1], moon[2] - observer[2]};
  g.distance_km = norm(topo);
  to_radec(topo, &g.ra, &g.dec);
  double topo_lambda = 0.0;
  double topo_beta = 0.0;
  to_ecliptic(topo, g.eps, &topo_lambda, &topo_beta);
  g.hour_angle = wrap180(gast * kDeg + site.longitude - g.ra);
  g.altitude = asind(sind(site.latitude) * sind(g.dec) +
                     cosd(site.latitude) * cosd(g.dec) * cosd(g.hour_angle));
  g.apparent_radius = asind(kMoonRadiusKm / g.distance_km);
  g.parallactic = atan2d(sind(g.hour_angle), std::tan(site.latitude * kRad) * cosd(g.dec) -
                                                 sind(g.dec) * cosd(g.hour_angle));
  // Chapter 53 rerun from the topocentric direction: libration and axis as the site sees them.
  g.topo = lunar_orientation(t, topo_lambda, topo_beta, g.ra, g.dpsi, g.eps);

  // The Sun: the Earth's heliocentric position reversed, of date, with the annual aberration
  // in longitude (20.4898" / R).
  double earth_h[2][3];
  double earth_b[2][3];
  eraEpv00(instant.tt1, instant.tt2, earth_h, earth_b);
  const double sun_gcrs[3] = {-earth_h[0][0], -earth_h[0][1], -earth_h[0][2]};
  double sun[3];
  rotate(rnpb, sun_gcrs, sun);
  const double sun_au = norm(sun);
  g.sun_distance_km = sun_au * kAuKm;
  double sun_beta = 0.0;
  to_ecliptic(sun, g.eps, &g.sun_lambda, &sun_beta);
  g.sun_lambda = wrap360(g.sun_lambda - 20.4898 / 3600.0 / sun_au);
  const double ecl[3] = {cosd(sun_beta) * cosd(g.sun_lambda), cosd(sun_beta) * sind(g.sun_lambda),
                         sind(sun_beta)};
  const double equ[3] = {ecl[0], ecl[1] * cosd(g.eps) - ecl[2] * sind(g.eps),
                         ecl[1] * sind(g.eps) + ecl[2] * cosd(g.eps)};
  to_radec(equ, &g.sun_ra, &g.sun_dec);

  g.bright_limb_pa = bright_limb_angle(g.ra, g.dec, g.sun_ra, g.sun_dec);
  g.phase = phase_angle(g.ra, g.dec, g.distance_km, g.sun_ra, g.sun_dec, g.sun_distance_km);
  g.illuminated = (1.0 + cosd(g.phase)) / 2.0;

  // The sub-solar point (chapter 53: the heliocentric direction of the Moon, from the geocentric
  // one corrected for the Sun's finite distance).
  const double ratio = g.geo_distance_km / g.sun_distance_km;
  const double lambda_h =
      g.sun_lambda + 180.0 + ratio * kDeg * cosd(g.geo_beta) * sind(g.sun_lambda - g.geo_lambda);
  const double beta_h = ratio * g.geo_beta;
  selenographic_point(t, lambda_h, beta_h, g.dpsi, &g.sun_lon, &g.sun_lat);
  return g;
}

namespace {

double lerp(double a, double b, double f) {
  return a + f * (b - a);
}

// Between two angles the short way round, kept in the range (0 .. 360 or -180 .. 180) that holds
// both ends.
double lerp_angle(double a, double b, double f) {
  const double r = a + f * wrap180(b - a);
  if (a >= 0.0 && a < 360.0 && b >= 0.0 && b < 360.0 && (r < 0.0 || r >= 360.0)) return wrap360(r);
  if (a > -180.0 && a <= 180.0 && b > -180.0 && b <= 180.0 && (r <= -180.0 || r > 180.0))
    return wrap180(r);
  return r;
}

LunarOrientation lerp_orientation(const LunarOrientation& a, const LunarOrientation& b, double f) {
  LunarOrientation o;
  o.optical_l = lerp_angle(a.optical_l, b.optical_l, f);
  o.optical_b = lerp(a.optical_b, b.optical_b, f);
  o.physical_l = lerp(a.physical_l, b.physical_l, f);
  o.physical_b = lerp(a.physical_b, b.physical_b, f);
  o.rho = lerp(a.rho, b.rho, f);
  o.sigma = lerp(a.sigma, b.sigma, f);
  o.tau = lerp(a.tau, b.tau, f);
  o.l = lerp_angle(a.l, b.l, f);
  o.b = lerp(a.b, b.b, f);
  o.axis_pa = lerp_angle(a.axis_pa, b.axis_pa, f);
  return o;
}

}  // namespace

MoonGeometry interpolate_geometry(const MoonGeometry& a, const MoonGeometry& b, double f) {
  MoonGeometry g;
  g.geo_ra = lerp_angle(a.geo_ra, b.geo_ra, f);
  g.geo_dec = lerp(a.geo_dec, b.geo_dec, f);
  g.geo_lambda = lerp_angle(a.geo_lambda, b.geo_lambda, f);
  g.geo_beta = lerp(a.geo_beta, b.geo_beta, f);
  g.geo_distance_km = lerp(a.geo_distance_km, b.geo_distance_km, f);
  g.horizontal_parallax = lerp(a.horizontal_parallax, b.horizontal_parallax, f);
  g.dpsi = lerp(a.dpsi, b.dpsi, f);
  g.eps = lerp(a.eps, b.eps, f);
  g.geo = lerp_orientation(a.geo, b.geo, f);
  g.ra = lerp_angle(a.ra, b.ra, f);
  g.dec = lerp(a.dec, b.dec, f);
  g.distance_km = lerp(a.distance_km, b.distance_km, f);
  g.hour_angle = lerp_angle(a.hour_angle, b.hour_angle, f);
  g.altitude = lerp(a.altitude, b.altitude, f);
  g.apparent_radius = lerp(a.apparent_radius, b.apparent_radius, f);
  g.parallactic = lerp_angle(a.parallactic, b.parallactic, f);
  g.topo = lerp_orientation(a.topo, b.topo, f);
  g.sun_ra = lerp_angle(a.sun_ra, b.sun_ra, f);
  g.sun_dec = lerp(a.sun_dec, b.sun_dec, f);
  g.sun_lambda = lerp_angle(a.sun_lambda, b.sun_lambda, f);
  g.sun_distance_km = lerp(a.sun_distance_km, b.sun_distance_km, f);
  g.bright_limb_pa = lerp_angle(a.bright_limb_pa, b.bright_limb_pa, f);
  g.phase = lerp(a.phase, b.phase, f);
  g.illuminated = lerp(a.illuminated, b.illuminated, f);
  g.sun_lon = lerp_angle(a.sun_lon, b.sun_lon, f);
  g.sun_lat = lerp(a.sun_lat, b.sun_lat, f);
  return g;
}
