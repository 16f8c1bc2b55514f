// The Moon's geometry against the worked examples of Meeus, Astronomical Algorithms (2nd ed.),
// chapters 47, 48 and 53, all at 1992 April 12 0h TD, and the time scales against the leap-second
// table.
#include <erfa.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "moon/ephemeris.h"
#include "moon/time_scales.h"

namespace {

// The instant of the examples: JDE 2448724.5, with UT1 = TT - 59 s (Meeus' Delta T for 1992).
Instant example_instant() {
  Instant t;
  t.tt1 = 2448724.5;
  t.tt2 = 0.0;
  t.ut1_1 = 2448724.5;
  t.ut1_2 = -59.0 / 86400.0;
  t.utc1 = t.ut1_1;
  t.utc2 = t.ut1_2;
  return t;
}

struct Row {
  const char* what;
  double computed;
  double published;
  double tolerance;  // and why, in the table below
};

TEST(MoonEphemeris, WorkedExamples) {
  const Instant t = example_instant();
  const double centuries = julian_centuries_tt(t);
  // Chapter 53 from the example's own inputs (47.a's apparent place, nutation and obliquity):
  // like with like, so the tolerance is the rounding of the published figures.
  const LunarOrientation o =
      lunar_orientation(centuries, 133.167265, -3.229126, 134.688470, 0.004610, 23.440636);
  // Chapter 48 from its own inputs (Moon 368410 km, Sun 149971520 km).
  const double chi = bright_limb_angle(134.6885, 13.7684, 20.6579, 8.6964);
  const double i = phase_angle(134.6885, 13.7684, 368410.0, 20.6579, 8.6964, 149971520.0);
  // The whole route through ERFA, geocentric (a site at the Earth's centre has no parallax, so
  // the geocentric fields are compared).
  const MoonGeometry g = moon_geometry(t, Site{});
  const Row rows[] = {
      // ERFA's Moon series and IAU 2006/2000A against Meeus' truncated ELP-2000/82: the
      // difference of the two theories is a few thousandths of a degree and about 1 km.
      {"47.a apparent lambda", g.geo_lambda, 133.167265, 0.005},
      {"47.a beta", g.geo_beta, -3.229126, 0.003},
      {"47.a distance km", g.geo_distance_km, 368409.7, 2.0},
      {"47.a parallax", g.horizontal_parallax, 0.991990, 0.00002},
      {"47.a alpha", g.geo_ra, 134.688470, 0.005},
      {"47.a delta", g.geo_dec, 13.768368, 0.003},
      // Nutation and obliquity: IAU 2000A against Meeus' 63-term series, under 0.5".
      {"47.a dpsi", g.dpsi, 0.004610, 0.00005},
      {"47.a true obliquity", g.eps, 23.440636, 0.00005},
      // Chapter 53 with the example's inputs: half a unit of the last published digit, plus a
      // unit for the rounding of the inputs.
      {"53.a rho", o.rho, -0.01042, 0.00001},
      {"53.a sigma", o.sigma, -0.01574, 0.00001},
      {"53.a tau", o.tau, 0.02673, 0.00001},
      {"53.a optical l", o.optical_l, -1.206, 0.001},
      {"53.a optical b", o.optical_b, 4.194, 0.001},
      {"53.a physical l", o.physical_l, -0.025, 0.001},
      {"53.a physical b", o.physical_b, 0.006, 0.001},
      {"53.a total l", o.l, -1.23, 0.006},
      {"53.a total b", o.b, 4.20, 0.006},
      {"53.a axis P", o.axis_pa, 15.08, 0.006},
      // The full route's geocentric libration and axis: the theories' difference above moves
      // them by under 0.005.
      {"53.a total l (ERFA route)", g.geo.l, -1.23, 0.01},
      {"53.a total b (ERFA route)", g.geo.b, 4.20, 0.01},
      {"53.a axis P (ERFA route)", g.geo.axis_pa, 15.08, 0.01},
      // The Sun's selenographic position: the Sun's place from ERFA against Meeus' low-precision
      // Sun (0.01 degree).
      {"53.a Sun selenographic longitude", g.sun_lon, 67.90, 0.01},
      {"53.a Sun selenographic latitude", g.sun_lat, 1.46, 0.01},
      // Chapter 48 with the example's inputs, to the published digits.
      {"48.a bright limb chi", chi, 285.044, 0.0005},
      {"48.a phase angle i", i, 69.0756, 0.0001},
      {"48.a illuminated fraction", (1.0 + std::cos(i * M_PI / 180.0)) / 2.0, 0.6786, 0.00005},
  };
  for (const Row& r : rows) {
    EXPECT_NEAR(r.computed, r.published, r.tolerance) << r.what;
  }
}

// Two routes to the topocentric libration and axis agree: rerunning the closed forms from the
// topocentric direction, and chapter 53's parallax corrections to the geocentric values.
TEST(MoonEphemeris, TopocentricRoutesAgree) {
  const Instant t = example_instant();
  const Site site{40.0, -66.0, 0.0};
  const MoonGeometry g = moon_geometry(t, site);
  // The geocentric hour angle, for the corrections.
  const double geo_hour = g.hour_angle + (g.ra - g.geo_ra);
  double dl = 0.0;
  double db = 0.0;
  double dp = 0.0;
  topocentric_corrections(g.horizontal_parallax, site.latitude, geo_hour, g.geo_dec, g.geo.b,
                          g.geo.axis_pa, &dl, &db, &dp);
  // The figures computed for this site and instant while the science notes were written, and
  // the two routes against each other: both within 0.005 (the corrections are first order).
  EXPECT_NEAR(dl, 0.122, 0.005);
  EXPECT_NEAR(db, 0.428, 0.005);
  EXPECT_NEAR(dp, 0.011, 0.005);
  EXPECT_NEAR(g.topo.l - g.geo.l, dl, 0.005);
  EXPECT_NEAR(g.topo.b - g.geo.b, db, 0.005);
  EXPECT_NEAR(g.topo.axis_pa - g.geo.axis_pa, dp, 0.005);
  // Parallax moves the Moon by up to a degree: the topocentric place and distance differ.
  EXPECT_GT(std::abs(g.dec - g.geo_dec), 0.1);
  EXPECT_LT(g.distance_km, g.geo_distance_km);
  EXPECT_NEAR(g.apparent_radius, std::asin(kMoonRadiusKm / g.distance_km) * 180.0 / M_PI, 1e-12);
}

// The geometry sums the nutation series once and builds the precession-nutation matrix and the
// sidereal time from it; ERFA's one-call routines sum it again each. Both routes give the same
// bits over a century of dates and times of day.
TEST(MoonEphemeris, NutationSummedOnceMatchesErfasOneCallRoutines) {
  for (int k = 0; k < 40; ++k) {
    const double tt1 = 2451545.0 + 36525.0 * (k - 20) / 20.0;
    const double tt2 = 0.013 * k - 0.3;
    const double ut2 = tt2 - 69.0 / 86400.0;
    double reference[3][3];
    eraPnm06a(tt1, tt2, reference);
    const double reference_gst = eraGst06a(tt1, ut2, tt1, tt2);
    double dpsi = 0.0, deps = 0.0, gamb = 0.0, phib = 0.0, psib = 0.0, epsa = 0.0;
    eraNut06a(tt1, tt2, &dpsi, &deps);
    eraPfw06(tt1, tt2, &gamb, &phib, &psib, &epsa);
    double once[3][3];
    eraFw2m(gamb, phib, psib + dpsi, epsa + deps, once);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(once[r][c], reference[r][c]) << k << " " << r << c;
    EXPECT_EQ(eraGst06(tt1, ut2, tt1, tt2, once), reference_gst) << k;
  }
}

TEST(MoonTimeScales, LeapSecondsAndDubiousYears) {
  struct Case {
    CivilUtc utc;
    double tt_minus_utc;  // seconds
    bool warned;
  };
  const Case cases[] = {
      {{2016, 12, 31, 12, 0, 0.0}, 36.0 + 32.184, false},
      {{2017, 1, 1, 12, 0, 0.0}, 37.0 + 32.184, false},
      {{1992, 4, 12, 0, 0, 0.0}, 26.0 + 32.184, false},
      // Past the table's reach (ERFA 2.0.0's from 2027): the last offset, with a warning.
      {{2040, 6, 1, 0, 0, 0.0}, 37.0 + 32.184, true},
  };
  for (const Case& c : cases) {
    Instant t;
    std::string warning;
    std::string error;
    ASSERT_TRUE(instant_from_utc(c.utc, &t, &warning, &error)) << error;
    // Two-part Julian dates hold a time to about 20 microseconds here.
    EXPECT_NEAR(t.tt_minus_utc, c.tt_minus_utc, 1e-4) << c.utc.year;
    EXPECT_EQ(!warning.empty(), c.warned) << c.utc.year << ": " << warning;
  }
  // The leap second itself is a real second; a 60th second on another day is not.
  Instant t;
  std::string warning;
  std::string error;
  EXPECT_TRUE(instant_from_utc({2016, 12, 31, 23, 59, 60.5}, &t, &warning, &error)) << error;
  EXPECT_FALSE(instant_from_utc({2016, 12, 30, 23, 59, 60.5}, &t, &warning, &error));
  EXPECT_FALSE(instant_from_utc({1950, 1, 1, 0, 0, 0.0}, &t, &warning, &error));
  EXPECT_FALSE(instant_from_utc({2020, 2, 30, 0, 0, 0.0}, &t, &warning, &error));
}

}  // namespace

// Events between two whole seconds take the geometry interpolated between those seconds': every
// field the places use lies within 1e-6 degrees (0.4 arcseconds' worth of nothing: a place's
// error is 0.05 degrees at best) of the geometry computed at the event's own time, at a Moon
// high in the south and at one near the horizon, where the hour angle and parallactic angle
// bend fastest.
TEST(MoonEphemeris, InterpolationWithinASecondMatchesTheDirectGeometry) {
  struct Case {
    const char* what;
    CivilUtc utc;
    Site site;
  };
  const Case cases[] = {
      {"crescent over Madrid", {2024, 3, 15, 21, 4, 5.0}, {40.4, -3.7, 650.0}},
      {"Moon low over Auckland", {2024, 3, 15, 7, 30, 17.0}, {-36.85, 174.76, 20.0}},
      {"near the pole", {2023, 12, 31, 23, 59, 58.0}, {78.2, 15.6, 10.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Instant start;
    std::string warning, error;
    ASSERT_TRUE(instant_from_utc(c.utc, &start, &warning, &error)) << error;
    Instant next = start;
    next.tt2 += 1.0 / 86400.0;
    next.utc2 += 1.0 / 86400.0;
    next.ut1_2 += 1.0 / 86400.0;
    const MoonGeometry a = moon_geometry(start, c.site);
    const MoonGeometry b = moon_geometry(next, c.site);
    for (const double f : {0.0, 0.04, 0.5, 0.96}) {
      Instant at = start;
      at.tt2 += f / 86400.0;
      at.utc2 += f / 86400.0;
      at.ut1_2 += f / 86400.0;
      const MoonGeometry direct = moon_geometry(at, c.site);
      const MoonGeometry g = interpolate_geometry(a, b, f);
      const double pairs[][2] = {{g.topo.l, direct.topo.l},
                                 {g.topo.b, direct.topo.b},
                                 {g.topo.axis_pa, direct.topo.axis_pa},
                                 {g.apparent_radius, direct.apparent_radius},
                                 {g.parallactic, direct.parallactic},
                                 {g.sun_lon, direct.sun_lon},
                                 {g.sun_lat, direct.sun_lat},
                                 {g.hour_angle, direct.hour_angle},
                                 {g.geo_ra, direct.geo_ra},
                                 {g.geo_dec, direct.geo_dec},
                                 {g.sun_ra, direct.sun_ra},
                                 {g.bright_limb_pa, direct.bright_limb_pa}};
      for (const auto& p : pairs) EXPECT_NEAR(p[0], p[1], 1e-6) << "at fraction " << f;
    }
  }
}

// Angles are interpolated the short way round and stay in their range; other fields in a line.
TEST(MoonEphemeris, InterpolationGoesTheShortWayRound) {
  struct Case {
    double a, b, f, expected;
  };
  const Case cases[] = {
      {359.9, 0.1, 0.5, 0.0},      {359.9, 0.1, 0.25, 359.95},    {0.1, 359.9, 0.75, 359.95},
      {179.9, -179.9, 0.5, 180.0}, {-179.9, 179.9, 0.75, 179.95}, {10.0, 20.0, 0.3, 13.0},
  };
  for (const Case& c : cases) {
    MoonGeometry a, b;
    a.geo_ra = a.hour_angle = c.a;
    b.geo_ra = b.hour_angle = c.b;
    a.distance_km = 1000.0;
    b.distance_km = 2000.0;
    const MoonGeometry g = interpolate_geometry(a, b, c.f);
    if (c.a >= 0.0 && c.b >= 0.0) {
      EXPECT_NEAR(g.geo_ra, c.expected, 1e-9) << c.a << " to " << c.b;
    }
    if (c.a > -180.0 && c.a <= 180.0 && c.b > -180.0 && c.b <= 180.0) {
      EXPECT_NEAR(g.hour_angle, wrap180(c.expected), 1e-9) << c.a << " to " << c.b;
      EXPECT_GT(g.hour_angle, -180.0);
      EXPECT_LE(g.hour_angle, 180.0);
    }
    EXPECT_DOUBLE_EQ(g.distance_km, 1000.0 + 1000.0 * c.f);
  }
}
