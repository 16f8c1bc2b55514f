// The Moon's disc in a mean frame (the ring's running sums divided by its frames, so noise is
// down and a flash barely shows): the limb circle and the image's orientation. Limb points are
// gradient maxima whose darker side is at the sky's level; a random-sample consensus over
// circles picks the limb among them, an algebraic fit that does not shrink short arcs (Taubin)
// starts a least-squares refinement with a Huber loss (limb topography is 1-3 px), and fainter
// points in a band round the circle (the earthshine limb) join the last fits. The orientation is
// the rotation whose predicted lit region (the limb and the terminator for the bright limb's
// position angle and the phase) best separates lit from unlit pixels. Pure computation.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "moon/projection.h"

struct MeanImage {
  std::span<const float> pixels;  // grey levels, row 0 the top
  int width = 0;
  int height = 0;
};

struct LimbFitSettings {
  double fixed_radius = 0.0;  // pixels; above 0 the radius is this (known image scale)
  double saturation = 254.5;  // a mean at or above this is saturated
  double least_arc = 60.0;    // degrees of limb needed to fit the radius as well
};

struct LimbFit {
  bool found = false;         // a circle was fitted
  bool radius_known = false;  // from the fit on a long enough arc, or fixed
  double cx = 0.0, cy = 0.0, radius = 0.0;
  double cov[3][3] = {};  // centre x, centre y, radius (pixels^2); radius terms 0 when fixed
  double arc = 0.0;       // degrees of the circle the limb points span
  double rms = 0.0;       // of their distances from the circle, pixels
  int points = 0;         // limb points used
  double sky = 0.0;       // the sky's grey level
  double noise = 0.0;     // and its noise
  std::string problem;    // why nothing was found, or why the radius is not known
};

// What the limb fit works in: the frame shrunk 2 times, its smoothed copy and gradient, and the
// full frame's, filled only in a band round the limb. Kept from one fit to the next (of frames of
// one size), they are not made anew each time: the system handing out their memory a page at a
// time cost a sixth of a fit. What one fit leaves in them does not change the next one's result.
// Their elements are left as they are on growing (no zeros written): the full frame's smoothed
// copy and gradient are filled only in the band round the circle, and zeroing the rest would
// cost more than filling the band. Nothing outside what a fit filled is read.
template <class T>
struct LeftAsIs : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = LeftAsIs<U>;
  };
  LeftAsIs() = default;
  template <class U>
  LeftAsIs(const LeftAsIs<U>&) {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
};
using FitBuffer = std::vector<float, LeftAsIs<float>>;

struct LimbFitBuffers {
  FitBuffer half, half_rows, half_smoothed, half_gradient;
  FitBuffer rows, smoothed, gradient;
};

LimbFit fit_limb(const MeanImage& image, const LimbFitSettings& settings, LimbFitBuffers* buffers);
// The same with buffers of its own.
LimbFit fit_limb(const MeanImage& image, const LimbFitSettings& settings);

// The centroid (*cx, *cy, pixels) of the light above `sky` in the mean of a ring whose per-pixel
// sums over `frames` frames are `sum` (width x height, row by row). False, outputs untouched, when
// no pixel is above the sky. Used to notice that the disc has moved between fits, on a grid of
// every 4th pixel of every 8th row.
bool bright_centroid(std::span<const double> sum, int width, int height, double frames, double sky,
                     double* cx, double* cy);

struct OrientationFit {
  bool found = false;
  double rotation = 0.0;  // rho, degrees, -180 to 180
  double error = 0.0;     // 1 sigma, degrees
  std::string problem;
};

// The rotation from the lit region of the disc `limb` found, for a bright limb at position angle
// `bright_limb_pa` and phase angle `phase` (degrees); `mirror` as the observer says.
OrientationFit fit_orientation(const MeanImage& image, const LimbFit& limb, double bright_limb_pa,
                               double phase, bool mirror);
