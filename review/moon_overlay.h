// What the review page draws of the Moon: a selenographic grid over an event's whole-frame
// picture, and the night map (the disc as seen, its sunlit part, the grid and a mark for every
// event). The lines are computed here, through the view of a fit of the disc (moon/projection),
// and handed to the page as SVG path data; only the hemisphere in view is drawn. Pure
// computation.
#pragma once

#include <string>

#include "formats/moon_csv.h"
#include "moon/projection.h"

inline constexpr double kGridStep = 10.0;  // degrees between grid lines

// The view of the disc that fit `row` gives (moon_fit_usable(row) must hold).
DiscView view_of_fit(const MoonFitRow& row);

// A linear map from frame pixels (centres at whole numbers) to drawing units.
struct DrawingScale {
  double scale = 1.0;  // drawing units per pixel
  double x0 = 0.0;     // where pixel (0, 0)'s centre lands
  double y0 = 0.0;
  double tolerance = 0.0;  // drawing units a simplified line may stray from the true one
};

// The drawing scale of a whole-frame picture that shrinks the frame by `factor` in whole blocks
// (review/event_images): pixel x lands at (x + 0.5) / factor; lines drawn to 0.15 of a
// picture pixel.
DrawingScale block_scale(int factor);

// SVG path data ("M x y L x y ...", one decimal) of the grid lines every kGridStep degrees of
// latitude and longitude on the visible hemisphere of `view`, each line ending where it meets
// the limb.
std::string grid_path(const DiscView& view, const DrawingScale& to);

// SVG path data of the sunlit part of the disc of `view` for the Sun over selenographic
// (sun_lon, sun_lat): the visible terminator closed along the lit limb. Empty when no part of
// the disc is lit.
std::string lit_path(const DiscView& view, double sun_lon, double sun_lat, const DrawingScale& to);
