// A source that adds synthetic flashes to another source's frames in memory: the frames reach the
// run with the flashes in them, the recording itself is never changed. Used to measure which
// flashes the detector finds on a real recording's noise and background.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sources/frame_source.h"

// One flash in one frame: a Gaussian spot of full width at half maximum `fwhm` pixels whose
// centre, at column `x` and stored row `y` (sub-pixel), lies `peak` grey levels above the frame.
struct InjectedSpot {
  std::int64_t frame = 0;  // numbered as the wrapped source's read_next numbers its frames
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double fwhm = 0.0;
};

// Adds `spot` to `frame` (geometry.frame_pixels bytes, row 0 first): every pixel within 4
// standard deviations of the centre gets peak * exp(-r^2 / (2 sigma^2)), the sum rounded to the
// nearest grey level and clipped at 255. Only the first `valid_bytes` bytes are touched (a short
// frame's rest belongs to the run). Spots partly or wholly outside the frame are clipped.
void add_spot(const InjectedSpot& spot, const FrameGeometry& geometry,
              std::span<std::uint8_t> frame, std::size_t valid_bytes);

// Wraps `inner` (owned): every frame read gets the spots of its number added. `spots` may come in
// any order. Geometry, frame count, times and the check of the first frames are those of `inner`.
std::unique_ptr<FrameSource> make_injecting_source(std::unique_ptr<FrameSource> inner,
                                                   std::vector<InjectedSpot> spots);

// Wraps `inner` (owned): every frame read comes mirrored about `centres`, each pixel's grey level
// v as centres[p] - v clipped to 0..255 (`centres` holds one value per pixel, twice the level to
// mirror about; all 255 give the plain negative 255 - v). Mirrored about twice each pixel's own
// mean, a flash becomes a dip that no threshold reports, while each pixel keeps its level and
// the noise, the seeing at edges and the scintillation keep their statistics. A `centres` of
// another size than the frame gives the plain negative. Geometry, count, times as `inner`'s.
std::unique_ptr<FrameSource> make_mirrored_source(std::unique_ptr<FrameSource> inner,
                                                  std::vector<std::int16_t> centres);
