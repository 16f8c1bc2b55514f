// The events of a demo recording: impact flashes (some fading over a second frame), single-pixel
// hits (cosmic rays, flickering hot pixels) and satellite glints, placed in time and on the
// night side, and drawn into a frame's light.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "demo_scene.h"
#include "demo_truth.h"

namespace demo {

// One event in one frame, as the truth file lists it: x is the column, y the stored row, peak in
// grey levels above the scene at the centre. A width (full width at half maximum, pixels) of 0
// means a single sensor pixel at (x, y), untouched by seeing.
using Spot = TruthRow;

// What to place, and where in time: events keep at least ring / 2 frames apart and stay out of
// the last ring / 2 frames, which VESK loads but never tests.
struct EventPlan {
  std::uint64_t seed = 1;  // events draw from stream 1 of this seed
  int frames = 0;
  int ring = 0;  // VESK's Images_in_buffer
  int flashes = 0;
  int hits = 0;    // alternately cosmic rays and hot pixels
  int glints = 0;  // each 4 to 6 frames long
};

// Places the events of `plan` on the night of `scene` into `spots`, sorted by frame. False with
// `error` when they do not fit in the frames or no event finds room on the night side.
bool plan_events(const EventPlan& plan, const Scene& scene, std::vector<Spot>& spots,
                 std::string* error);

// Seeing of one frame: the scene moves by (shift_x, shift_y) pixels and is scaled by gain.
struct Seeing {
  double shift_x = 0.0;
  double shift_y = 0.0;
  double gain = 1.0;
};

// Adds the spots of frame `frame` to `light` (width x height, stored row 0 first). Spots of light
// from the Moon move and scale with `seeing`; single-pixel hits do not.
void add_spots(std::span<const Spot> spots, int frame, const Seeing& seeing, int width, int height,
               std::span<float> light);

// The truth file's rows for `spots`: a single-pixel hit is written 1 pixel wide.
std::vector<TruthRow> truth_rows(std::span<const Spot> spots);

}  // namespace demo
