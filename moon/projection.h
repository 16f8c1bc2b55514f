// Pixels to selenographic places and back, through the view of the disc: its centre and limb
// radius in the image, the image's orientation (rho: the position angle of its up direction,
// from celestial north through east), mirror reversal, and the Moon's libration, axis angle and
// apparent radius. The perspective view intersects each pixel's line of sight with the sphere;
// an apparent radius of 0 gives the orthographic view (the observer infinitely far). Pixel x to
// the right, y down; latitude north, longitude east (towards Mare Crisium), -180 to 180. Pure
// computation.
#pragma once

#include <array>

struct DiscView {
  double cx = 0.0, cy = 0.0;  // centre, pixels
  double radius = 1.0;        // limb radius, pixels
  double rotation = 0.0;      // rho, degrees
  bool mirror = false;
  double lib_lon = 0.0, lib_lat = 0.0;  // l, b: the sub-observer point
  double axis_pa = 0.0;                 // P
  double apparent_radius = 0.0;         // s', degrees; 0 for orthographic
};

struct LunarPlace {
  double lat = 0.0;
  double lon = 0.0;
};

// The place seen at pixel (x, y); false when the pixel is off the disc.
bool pixel_to_place(const DiscView& view, double x, double y, LunarPlace* place);

// The pixel where `place` is seen; false when it is on the far side.
bool place_to_pixel(const DiscView& view, const LunarPlace& place, double* x, double* y);

// Distance of pixel (x, y) from the disc centre in limb radii.
double limb_distance(const DiscView& view, double x, double y);

// Covariance of the disc fit in the order centre x, centre y, radius (pixels), rotation (degrees).
using DiscCovariance = std::array<std::array<double, 4>, 4>;

struct PlaceError {
  double lat = 0.0;  // 1 sigma, degrees of latitude
  double lon = 0.0;  // 1 sigma, degrees of longitude
};

// 1-sigma errors of the place at pixel (x, y), from the fit's covariance and a centroid error of
// `centroid_sigma` pixels in each coordinate, propagated through the view's derivatives. False
// when the pixel is off the disc.
bool place_error(const DiscView& view, const DiscCovariance& covariance, double x, double y,
                 double centroid_sigma, PlaceError* error);
