// Frames of a demo recording: the scene under the seeing of each frame, its events, and the
// camera's read noise, shot noise and 8-bit quantisation, written as VESK's raw frame files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "demo_events.h"
#include "demo_scene.h"

namespace demo {

// Read noise of the camera in grey levels when none is asked for.
inline constexpr double kDefaultReadNoise = 1.6;
// Shot noise: electrons per grey level, so a pixel of level L has a shot noise of sqrt(L / 12).
inline constexpr double kElectronsPerLevel = 12.0;

struct FrameRun {
  std::string raw_dir;  // existing folder that receives a00000.bmp, a00001.bmp, ...
  int frames = 0;
  std::uint64_t seed = 1;                 // frame n draws from stream 1000 + n of this seed
  double read_noise = kDefaultReadNoise;  // grey levels, standard deviation, 0 or more
};

// Renders and writes frames 0 .. frames - 1 of `scene` with `spots`, in parallel (each frame has
// its own random stream, so the bytes do not depend on the number of threads). Each file goes
// through "<name>.part" and a rename. False with `error` naming the first file that could not be
// written; frames already written stay.
bool write_frames(const FrameRun& run, const Scene& scene, std::span<const Spot> spots,
                  std::string* error);

}  // namespace demo
