// The Moon's geometry at an instant, seen from a site on the Earth: position, distance, altitude,
// apparent radius, libration, position angle of the axis and of the bright limb, illuminated
// fraction and the Sun's selenographic position. Positions come from ERFA (the Moon's series,
// precession-nutation, the Earth's orbit and rotation); libration and the position angles from
// the closed forms of Meeus, Astronomical Algorithms, chapters 47, 48 and 53. Angles in degrees.
// Pure computation.
#pragma once

#include "moon/time_scales.h"

inline constexpr double kMoonRadiusKm = 1737.4;

// The observer: geodetic latitude (north), longitude (east), height above the WGS84 ellipsoid.
struct Site {
  double latitude = 0.0;
  double longitude = 0.0;
  double height_m = 0.0;
};

// Libration and axis from the closed forms, for one direction of view.
struct LunarOrientation {
  double optical_l = 0.0, optical_b = 0.0;    // l', b'
  double physical_l = 0.0, physical_b = 0.0;  // l'', b''
  double rho = 0.0, sigma = 0.0, tau = 0.0;   // physical libration terms
  double l = 0.0, b = 0.0;                    // total libration: the sub-observer point
  double axis_pa = 0.0;                       // P, from celestial north through east
};

// The closed forms of chapter 53 for a Moon seen at apparent ecliptic longitude `lambda` and
// latitude `beta` (of date) and apparent right ascension `alpha`, with the nutation in longitude
// `dpsi`, the true obliquity `eps`, at `t` Julian centuries of TT from J2000.0.
LunarOrientation lunar_orientation(double t, double lambda, double beta, double alpha, double dpsi,
                                   double eps);

// The selenographic longitude and latitude of the point under a body seen from the Moon's
// centre in ecliptic direction (lambda_h, beta_h), as chapter 53 gives for the Sun (optical and
// physical libration, no axis).
void selenographic_point(double t, double lambda_h, double beta_h, double dpsi, double* lon,
                         double* lat);

// Chapter 53's corrections from geocentric to topocentric libration and axis, for a Moon at
// geocentric declination `dec`, hour angle `hour_angle`, horizontal parallax `parallax`, with
// libration in latitude `b` and axis angle `p`, seen from geodetic latitude `latitude`.
void topocentric_corrections(double parallax, double latitude, double hour_angle, double dec,
                             double b, double p, double* dl, double* db, double* dp);

// Chapter 48: phase angle (degrees) and illuminated fraction of a Moon at (alpha, dec, distance)
// lit by a Sun at (sun_alpha, sun_dec, sun_distance), distances in one unit; and the position
// angle of the bright limb.
double phase_angle(double alpha, double dec, double distance, double sun_alpha, double sun_dec,
                   double sun_distance);
double bright_limb_angle(double alpha, double dec, double sun_alpha, double sun_dec);

struct MoonGeometry {
  // Geocentric, apparent, true equator and equinox of date.
  double geo_ra = 0.0, geo_dec = 0.0, geo_lambda = 0.0, geo_beta = 0.0;
  double geo_distance_km = 0.0;
  double horizontal_parallax = 0.0;
  double dpsi = 0.0, eps = 0.0;  // nutation in longitude, true obliquity
  LunarOrientation geo;          // libration and axis seen from the Earth's centre
  // Topocentric, the same frame.
  double ra = 0.0, dec = 0.0;
  double distance_km = 0.0;
  double hour_angle = 0.0;       // local, -180 to 180
  double altitude = 0.0;         // of the Moon's centre, geometric (no refraction)
  double apparent_radius = 0.0;  // asin(kMoonRadiusKm / distance_km)
  double parallactic = 0.0;      // q: the angle from north to the zenith at the Moon
  LunarOrientation topo;         // libration and axis seen from the site
  // The Sun and the lighting.
  double sun_ra = 0.0, sun_dec = 0.0, sun_lambda = 0.0, sun_distance_km = 0.0;
  double bright_limb_pa = 0.0;          // chi, 0 to 360
  double phase = 0.0;                   // phase angle i
  double illuminated = 0.0;             // fraction of the disc lit, (1 + cos i) / 2
  double sun_lon = 0.0, sun_lat = 0.0;  // the sub-solar point on the Moon
};

MoonGeometry moon_geometry(const Instant& instant, const Site& site);

// The geometry a fraction `f` (0 to 1) of the way from `a` to `b`, field by field, angles the
// short way round. Over a second every field is a straight line to far better than 1e-6 degrees
// (the fastest, the hour angle, turns 0.004 degrees a second and bends with the day), so events
// between two whole seconds share the ephemeris of those two seconds.
MoonGeometry interpolate_geometry(const MoonGeometry& a, const MoonGeometry& b, double f);

// An angle in degrees brought to -180 .. 180 and to 0 .. 360.
double wrap180(double degrees);
double wrap360(double degrees);
