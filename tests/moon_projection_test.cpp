// Pixels to selenographic places and back: the orthographic figures computed for the geometry of
// Meeus' example 53.a, round trips in both views, the perspective limb, and the error
// propagation against the rules of thumb of the science notes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "moon/projection.h"

namespace {

constexpr double kRad = M_PI / 180.0;

DiscView example_view(bool mirror, double apparent_radius) {
  DiscView v;
  v.cx = 640.0;
  v.cy = 540.0;
  v.radius = 1000.0;
  v.rotation = mirror ? 30.0 : -30.0;
  v.mirror = mirror;
  v.lib_lon = -1.23;
  v.lib_lat = 4.20;
  v.axis_pa = 15.08;
  v.apparent_radius = apparent_radius;
  return v;
}

// Great-circle distance in degrees.
double separation(double lat1, double lon1, double lat2, double lon2) {
  const double c = std::sin(lat1 * kRad) * std::sin(lat2 * kRad) +
                   std::cos(lat1 * kRad) * std::cos(lat2 * kRad) * std::cos((lon1 - lon2) * kRad);
  return std::acos(std::min(1.0, std::max(-1.0, c))) / kRad;
}

TEST(MoonProjection, OrthographicFiguresOfTheExampleGeometry) {
  struct Case {
    bool mirror;
    double x, y;
  } const cases[] = {{false, 181.573, 592.358}, {true, 914.557, 169.170}};
  for (const Case& c : cases) {
    const DiscView v = example_view(c.mirror, 0.0);
    double x = 0.0;
    double y = 0.0;
    ASSERT_TRUE(place_to_pixel(v, LunarPlace{20.6, -23.9}, &x, &y));
    // The figures are given to a thousandth of a pixel; 0.05 px allows their rounding of l, b, P
    // only (0.01 degree moves the point 0.17 px at R = 1000).
    EXPECT_NEAR(x, c.x, 0.05) << "mirror " << c.mirror;
    EXPECT_NEAR(y, c.y, 0.05) << "mirror " << c.mirror;
    LunarPlace back;
    ASSERT_TRUE(pixel_to_place(v, c.x, c.y, &back));
    EXPECT_NEAR(back.lat, 20.6, 5e-5);
    EXPECT_NEAR(back.lon, -23.9, 5e-5);
  }
}

TEST(MoonProjection, RoundTripsInBothViews) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (double apparent : {0.0, 0.2589, 0.28}) {
    for (bool mirror : {false, true}) {
      for (double rotation : {-170.0, -30.0, 0.0, 95.0}) {
        DiscView v = example_view(mirror, apparent);
        v.rotation = rotation;
        for (int k = 0; k < 200; ++k) {
          // Points up to 0.999 limb radii: nearer the limb the place moves by degrees per
          // pixel and the round trip no longer shows the formulas' faults.
          const double r = 999.0 * std::sqrt(unit(random));
          const double a = 2.0 * M_PI * unit(random);
          const double x = v.cx + r * std::cos(a);
          const double y = v.cy + r * std::sin(a);
          LunarPlace p;
          ASSERT_TRUE(pixel_to_place(v, x, y, &p));
          EXPECT_LE(std::abs(p.lon), 180.0);
          double bx = 0.0;
          double by = 0.0;
          ASSERT_TRUE(place_to_pixel(v, p, &bx, &by));
          EXPECT_NEAR(bx, x, 1e-9);
          EXPECT_NEAR(by, y, 1e-9);
        }
        // Off the disc, and the far side.
        LunarPlace p;
        EXPECT_FALSE(pixel_to_place(v, v.cx + 1000.5, v.cy, &p));
        double x = 0.0;
        double y = 0.0;
        EXPECT_FALSE(place_to_pixel(v, LunarPlace{-v.lib_lat, v.lib_lon + 180.0}, &x, &y));
      }
    }
  }
}

// The perspective view against its geometry worked out another way: a place at angle c from the
// sub-observer point is seen at angle theta from the centre with tan(theta) = sin c / (D - cos c),
// D = 1 / sin s' moon radii away, so at r = tan(theta) / tan(s') limb radii; the limb reaches
// 90 - s' degrees from the sub-observer point.
TEST(MoonProjection, PerspectiveAgainstTheTangentCone) {
  const double s = 0.2589;  // a Moon at 384400 km
  const double d = 1.0 / std::sin(s * kRad);
  DiscView v = example_view(false, s);
  for (double c : {10.0, 45.0, 70.0, 85.0, 89.5}) {
    const double r = (std::sin(c * kRad) / (d - std::cos(c * kRad))) / std::tan(s * kRad);
    // Along the screen's up direction.
    LunarPlace p;
    ASSERT_TRUE(pixel_to_place(v, v.cx, v.cy - r * v.radius, &p));
    EXPECT_NEAR(separation(p.lat, p.lon, v.lib_lat, v.lib_lon), c, 1e-7) << c;
    // The orthographic view places the same pixel further out: by 0.24 degrees at 70.
    DiscView o = v;
    o.apparent_radius = 0.0;
    LunarPlace q;
    ASSERT_TRUE(pixel_to_place(o, v.cx, v.cy - r * v.radius, &q));
    const double push = separation(q.lat, q.lon, v.lib_lat, v.lib_lon) - c;
    if (c == 70.0) {
      EXPECT_NEAR(push, 0.24, 0.01);
    }
    EXPECT_GT(push, 0.0);
  }
  LunarPlace limb;
  ASSERT_TRUE(pixel_to_place(v, v.cx + v.radius, v.cy, &limb));
  // acos near 0 loses digits: 1e-5 degrees.
  EXPECT_NEAR(separation(limb.lat, limb.lon, v.lib_lat, v.lib_lon), 90.0 - s, 1e-5);
}

// The errors against the science notes' rules of thumb: at R = 1000 px a pixel is 0.057 degrees
// at the centre and about 0.33 at 80 degrees from it (radially); a rotation error of 0.3 degrees
// moves a point 70 degrees from the centre by 0.28.
TEST(MoonProjection, ErrorsFromCovarianceAndCentroid) {
  DiscView v;
  v.cx = 500.0;
  v.cy = 500.0;
  v.radius = 1000.0;
  v.apparent_radius = 0.0;  // the rules of thumb are orthographic
  const DiscCovariance none{};
  DiscCovariance rotation{};
  rotation[3][3] = 0.3 * 0.3;
  struct Case {
    const char* what;
    const DiscCovariance& covariance;
    double centroid;
    LunarPlace place;
    double lat_err, lon_err, tolerance;
  } const cases[] = {
      {"1 px at the centre", none, 1.0, {0.0, 0.0}, 0.0573, 0.0573, 0.0005},
      // Longitude 80 on the equator: radial is longitude, 1/cos(80) times 0.057.
      {"1 px at 80 degrees", none, 1.0, {0.0, 80.0}, 0.0573, 0.330, 0.002},
      {"rotation 0.3 at 70 degrees", rotation, 0.0, {0.0, 70.0}, 0.282, 0.0, 0.002},
  };
  for (const Case& c : cases) {
    double x = 0.0;
    double y = 0.0;
    ASSERT_TRUE(place_to_pixel(v, c.place, &x, &y));
    PlaceError e;
    ASSERT_TRUE(place_error(v, c.covariance, x, y, c.centroid, &e));
    EXPECT_NEAR(e.lat, c.lat_err, c.tolerance) << c.what;
    EXPECT_NEAR(e.lon, c.lon_err, c.tolerance) << c.what;
  }
  // A centre error moves every place; a radius error moves those near the limb most.
  DiscCovariance radius{};
  radius[2][2] = 1.0;
  PlaceError centre_e;
  PlaceError limb_e;
  ASSERT_TRUE(place_error(v, radius, v.cx, v.cy, 0.0, &centre_e));
  ASSERT_TRUE(place_error(v, radius, v.cx + 900.0, v.cy, 0.0, &limb_e));
  EXPECT_NEAR(centre_e.lon, 0.0, 1e-9);
  EXPECT_GT(limb_e.lon, 0.1);
}

}  // namespace
