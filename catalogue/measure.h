// Photometry of one reported frame from the ring as it stands at report time: the flash site's
// flux-weighted centroid, its peak, its flux in a circular aperture with an error from the
// pixels' own time spreads, the same flux in each frame from 5 before to 10 after (the light
// curve), the shape of the mean frame round the site and the split of the excess between the two
// fields of an interlaced frame. Pure computation: no I/O, nothing kept between calls.
#pragma once

#include <array>
#include <cstdint>

#include "detection/frame_ring.h"
#include "formats/lightcurves_csv.h"

// Aperture radius in pixels: the pixels whose centres lie within this distance of the centroid.
inline constexpr double kApertureRadius = 3.0;
// The light curve runs from kCurveBefore frames before the reported frame to kCurveAfter after.
inline constexpr int kCurveBefore = -kCurveFirstOffset;
inline constexpr int kCurveAfter = kCurveLastOffset;
inline constexpr int kCurveFrames = kCurveBefore + 1 + kCurveAfter;
// Least variance of a pixel over time, grey levels squared: the running sums can drift below
// zero, and no camera pixel is steadier than one grey level.
inline constexpr double kLeastPixelVariance = 1.0;
// A frame's flux counts as lit by the flash when above this many times its error.
inline constexpr double kLitSignificance = 3.0;
// A pixel of the mean frame at or above this is taken as saturated (the detector tests no pixel
// whose mean over the other frames reaches it).
inline constexpr double kSaturatedMean = 250.0;

// The aperture in one frame of the ring. Every grey-level value is the pixels' excess over their
// mean in the other frames of the ring: v - (pixel_sum - v) / (N - 1).
struct FrameFlux {
  bool held = false;       // the ring holds this frame; the other fields are 0 otherwise
  double flux = 0.0;       // summed excess over the aperture, grey levels
  double flux_err = 0.0;   // its one-sigma error from the pixels' time spreads
  double peak = 0.0;       // excess of the aperture's brightest pixel
  bool saturated = false;  // some aperture pixel is 255 in this frame
};

// Excess of the reported frame in the lines of each field (stored row odd or even, counted as
// odd_or_even counts them for the report image).
struct FieldSplit {
  double odd_flux = 0.0;
  double odd_err = 0.0;
  double even_flux = 0.0;
  double even_err = 0.0;
};

struct ReportMeasure {
  std::int64_t frame = 0;  // the reported frame
  bool end_ring = false;   // tested in the recording's last ring (one of its last N/2 frames)
  double x = 0.0;          // flux-weighted centroid: column
  double y = 0.0;          // and stored row (0 the top)
  FrameFlux at_report;     // the aperture in the reported frame
  // The aperture at the same centroid in frames frame - kCurveBefore .. frame + kCurveAfter;
  // curve[kCurveBefore] is at_report.
  std::array<FrameFlux, kCurveFrames> curve{};
  // Frames from the reported one on, consecutive, whose flux stands above kLitSignificance times
  // its error: at least 1, at most those the ring holds up to kCurveAfter.
  int frames_lit = 1;
  // Steepest gradient of the mean frame (grey levels per pixel) within 2 pixels of the site, and
  // whether a saturated pixel of it lies within 3 pixels. The mean frame leaves the lit frames
  // out, so that a bright flash does not steepen its own site.
  double mean_gradient = 0.0;
  bool near_saturated = false;
  FieldSplit fields;
  // Full width at half maximum (pixels) of the Gaussian fitted to the excess round the centroid
  // (catalogue/sharpness.h): over all rows, and over the rows of the field with the larger
  // excess; NaN when there is no excess to fit.
  double fwhm = 0.0;
  double field_fwhm = 0.0;
  // The aperture pixel of the largest excess in the reported frame.
  int pixel_x = 0;
  int pixel_y = 0;
  // Compact clusters of the frame's confirmed pixels (catalogue/clusters.h); set by the caller,
  // 0 when not counted.
  int clusters = 0;
};

// Measures the report of frame ring.target_frame whose detector position is (sample, line)
// (column, stored row; NaN or a place outside the frame is taken to the nearest frame pixel).
// The centroid starts there and moves to the flux-weighted mean of the positive excess in the
// aperture (three passes at most). The flux error is the root of the summed variances of the
// aperture pixels' excess, each pixel's variance taken from pixel_sq_dev over the frames the
// flash leaves dark (the lit frames are taken out of the sums) and floored at
// kLeastPixelVariance. `ring` must be the ring of that report, with at least 3 frames; offsets
// it does not hold (frame_held false) are left empty in the curve.
ReportMeasure measure_report(const RingView& ring, double sample, double line);

// The aperture at (cx, cy) in frame `frame`, which the ring must hold: flux and peak as in a
// report's light curve, the error from the aperture pixels' spreads over the ring's other frames
// (floored as there).
FrameFlux measure_aperture(const RingView& ring, std::int64_t frame, double cx, double cy);
