// What places on the Moon cost: the geometry and the place of one event, and one fit of the disc
// (limb and orientation) in a 720x576 mean frame. A run fits once per 10 s of recording (250
// frames at 25 frames/s) and checks the disc's centroid every 25 frames: divide the fit by 250 to
// compare it with the per-frame cost of detection_bench.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "moon/disc_fit.h"
#include "moon/ephemeris.h"
#include "moon/projection.h"

namespace {

void BM_MoonGeometry(benchmark::State& state) {
  Instant t;
  std::string warning, error;
  instant_from_utc({2024, 3, 15, 21, 4, 5.0}, &t, &warning, &error);
  for (auto _ : state) {
    t.tt2 += 1e-7;
    benchmark::DoNotOptimize(moon_geometry(t, Site{40.0, -3.7, 650.0}));
  }
}
BENCHMARK(BM_MoonGeometry);

void BM_PlaceOfEvent(benchmark::State& state) {
  DiscView v;
  v.cx = 360.0;
  v.cy = 288.0;
  v.radius = 250.0;
  v.rotation = 20.0;
  v.lib_lon = -3.0;
  v.lib_lat = 4.0;
  v.axis_pa = 15.0;
  v.apparent_radius = 0.26;
  DiscCovariance cov{};
  cov[0][0] = cov[1][1] = cov[2][2] = 0.01;
  cov[3][3] = 0.0025;
  double x = 300.0;
  for (auto _ : state) {
    LunarPlace p;
    PlaceError e;
    x = x > 400.0 ? 300.0 : x + 0.5;
    benchmark::DoNotOptimize(pixel_to_place(v, x, 250.0, &p));
    benchmark::DoNotOptimize(place_error(v, cov, x, 250.0, 0.3, &e));
  }
}
BENCHMARK(BM_PlaceOfEvent);

// A crescent lit on the right with earthshine, sky 12, noise as in a mean of 60 frames.
std::vector<float> crescent(int w, int h) {
  std::vector<float> image(static_cast<std::size_t>(w) * h);
  std::mt19937 random(1);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double dx = (x - 330.0) / 250.0, dy = (y - 290.0) / 250.0;
      float v = 12.0f;
      if (dx * dx + dy * dy <= 1.0) v = dx > 0.4 * std::sqrt(1.0 - dy * dy) ? 220.0f : 30.0f;
      image[static_cast<std::size_t>(y) * w + x] = v + noise(random);
    }
  }
  return image;
}

void BM_DiscFit(benchmark::State& state) {
  const int w = 720, h = 576;
  const std::vector<float> image = crescent(w, h);
  for (auto _ : state) {
    const LimbFit limb = fit_limb(MeanImage{image, w, h}, LimbFitSettings{});
    benchmark::DoNotOptimize(fit_orientation(MeanImage{image, w, h}, limb, 270.0, 110.0, false));
  }
}
BENCHMARK(BM_DiscFit)->Unit(benchmark::kMillisecond);

}  // namespace
