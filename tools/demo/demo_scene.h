// The noiseless scene of a demo recording: the Moon's night side lit faintly by earthshine, with
// broad dark maria and bright highlands, small craters and fine texture; part of the sunlit
// crescent beyond a soft terminator, with scattered light around it; black sky beyond the limb;
// a few hot pixels of the sensor. Stored row 0 is the top of the picture.
#pragma once

#include <cstdint>
#include <vector>

namespace demo {

struct Scene {
  int width = 0;
  int height = 0;
  std::vector<float> light;           // width * height grey levels, before seeing and saturation
  std::vector<std::uint8_t> night;    // width * height, 1 where an event may be centred
  std::vector<float> hot_pixel_gain;  // width * height, dark current of hot pixels (mostly 0)
};

// The scene of `width` x `height` pixels (both at least 1) drawn from stream 0 of `seed`. The
// night mask marks the night side clear of limb, terminator and frame edges.
Scene make_scene(int width, int height, std::uint64_t seed);

// True when (x, y), rounded to the nearest pixel, lies inside the frame and on the night mask.
bool is_night(const Scene& scene, double x, double y);

}  // namespace demo
