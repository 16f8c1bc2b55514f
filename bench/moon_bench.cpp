// What places on the Moon cost: the geometry and the place of one event, and one fit of the disc
// (limb and orientation) in a 720x576 mean frame. A run fits once per 60 s of recording (1500
// frames at 25 frames/s) and checks the disc's centroid every 25 frames: BM_MoonPerFrame does a
// whole 60 s of that work (the mean frame made from the ring's sums, the ephemeris, the fits and
// sixty centroid checks) and reports it per frame, to compare with BM_core of detection_bench;
// BM_EventPlace is what each closed event adds (the geometry at its time, its place and errors),
// which a noisy night pays thousands of times, and BM_EventEveryFrame the same for an event in
// every frame as the run does it: the geometry of each whole second computed once and
// interpolated in between.
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

// A disc of radius r centred at (cx, cy) lit on the right of the terminator x = term (limb radii,
// at the disc's middle row), with earthshine, sky 12, noise as in a mean of 60 frames.
std::vector<float> lit_disc(int w, int h, double cx, double cy, double r, double term) {
  std::vector<float> image(static_cast<std::size_t>(w) * h);
  std::mt19937 random(1);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double dx = (x - cx) / r, dy = (y - cy) / r;
      float v = 12.0f;
      if (dx * dx + dy * dy <= 1.0) v = dx > term * std::sqrt(1.0 - dy * dy) ? 220.0f : 30.0f;
      image[static_cast<std::size_t>(y) * w + x] = v + noise(random);
    }
  }
  return image;
}

// A crescent lit on the right with earthshine, sky 12, noise as in a mean of 60 frames; the disc
// 250 px in radius in a 720x576 frame, scaled with the frame's height.
std::vector<float> crescent(int w, int h) {
  const double k = h / 576.0;
  return lit_disc(w, h, 330.0 * k, 290.0 * k, 250.0 * k, 0.4);
}

void BM_DiscFit(benchmark::State& state) {
  const int w = 720, h = 576;
  const std::vector<float> image = crescent(w, h);
  LimbFitBuffers buffers;  // kept between fits, as the run keeps them
  for (auto _ : state) {
    const LimbFit limb = fit_limb(MeanImage{image, w, h}, LimbFitSettings{}, &buffers);
    benchmark::DoNotOptimize(fit_orientation(MeanImage{image, w, h}, limb, 270.0, 110.0, false));
  }
}
BENCHMARK(BM_DiscFit)->Unit(benchmark::kMillisecond);

// 60 s of recording at 25 frames/s, as the run does it: sixty centroid checks, then the mean frame
// from the ring's sums (60 frames), the geometry and the fits of limb and orientation. The time
// is shown per frame.
// With `fill` the disc fills most of the frame (as in the demo recording: 0.6 of the frame's
// width in radius, its limb on the left, lit beyond a gibbous terminator on the right).
void BM_MoonPerFrame(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  const bool fill = state.range(2) != 0;
  const std::vector<float> crescent_mean =
      fill ? lit_disc(w, h, 0.75 * w, 0.5 * h, 0.6 * w, -0.3) : crescent(w, h);
  const double phase = fill ? 72.5 : 110.0;
  constexpr double kFrames = 60.0;
  std::vector<double> sum(crescent_mean.size());
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = crescent_mean[i] * kFrames;
  std::vector<float> mean(sum.size());
  Instant t;
  std::string warning, error;
  instant_from_utc({2024, 3, 15, 21, 4, 5.0}, &t, &warning, &error);
  OrientationFit oriented;
  double radius = 0.0;
  LimbFitBuffers buffers;
  for (auto _ : state) {
    double cx = 0.0, cy = 0.0;
    for (int check = 0; check < 60; ++check) {
      benchmark::DoNotOptimize(bright_centroid(sum, w, h, kFrames, 12.0, &cx, &cy));
    }
    for (std::size_t i = 0; i < sum.size(); ++i) mean[i] = static_cast<float>(sum[i] / kFrames);
    t.tt2 += 1e-4;
    const MoonGeometry g = moon_geometry(t, Site{40.0, -3.7, 650.0});
    benchmark::DoNotOptimize(g);
    const LimbFit limb = fit_limb(MeanImage{mean, w, h}, LimbFitSettings{}, &buffers);
    radius = limb.radius;
    oriented = fit_orientation(MeanImage{mean, w, h}, limb, 270.0, phase, false);
    benchmark::DoNotOptimize(oriented);
  }
  // What was found, to show the fits work on this frame: the radius and the rotation.
  state.counters["radius"] = oriented.found ? radius : 0.0;
  state.counters["rotation"] = oriented.rotation;
  state.counters["per_frame"] = benchmark::Counter(
      1500.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MoonPerFrame)
    ->ArgNames({"width", "height", "fill"})
    ->Args({720, 576, 0})
    ->Args({1920, 1080, 0})
    ->Args({720, 576, 1})
    ->Args({1280, 1024, 1})
    ->Unit(benchmark::kMillisecond);

// What one closed event adds: the Moon's geometry at its time, its place and the place's errors.
void BM_EventPlace(benchmark::State& state) {
  Instant t;
  std::string warning, error;
  instant_from_utc({2024, 3, 15, 21, 4, 5.0}, &t, &warning, &error);
  DiscView v;
  v.cx = 360.0;
  v.cy = 288.0;
  v.radius = 250.0;
  v.rotation = 20.0;
  DiscCovariance cov{};
  cov[0][0] = cov[1][1] = cov[2][2] = 0.01;
  cov[3][3] = 0.0025;
  double x = 300.0;
  for (auto _ : state) {
    t.tt2 += 1e-7;
    const MoonGeometry g = moon_geometry(t, Site{40.0, -3.7, 650.0});
    v.lib_lon = g.topo.l;
    v.lib_lat = g.topo.b;
    v.axis_pa = g.topo.axis_pa;
    v.apparent_radius = g.apparent_radius;
    x = x > 400.0 ? 300.0 : x + 0.5;
    LunarPlace p;
    PlaceError e;
    benchmark::DoNotOptimize(pixel_to_place(v, x, 250.0, &p));
    benchmark::DoNotOptimize(place_error(v, cov, x, 250.0, 0.3, &e));
  }
}
BENCHMARK(BM_EventPlace)->Unit(benchmark::kMicrosecond);

// An event in every frame at 25 frames/s, as the run places them: the geometry of the whole
// seconds round the event's time (each computed once, when the events reach it), interpolated,
// then the place and its errors. One iteration is one frame's event.
void BM_EventEveryFrame(benchmark::State& state) {
  Instant t0;
  std::string warning, error;
  instant_from_utc({2024, 3, 15, 21, 4, 5.0}, &t0, &warning, &error);
  const Site site{40.0, -3.7, 650.0};
  DiscView v;
  v.cx = 360.0;
  v.cy = 288.0;
  v.radius = 250.0;
  v.rotation = 20.0;
  DiscCovariance cov{};
  cov[0][0] = cov[1][1] = cov[2][2] = 0.01;
  cov[3][3] = 0.0025;
  long frame = 0;
  long second = -1;
  MoonGeometry a, b;
  double x = 300.0;
  for (auto _ : state) {
    const long now = frame / 25;
    if (now != second) {
      Instant at = t0;
      at.tt2 += static_cast<double>(now) / 86400.0;
      a = second == now - 1 ? b : moon_geometry(at, site);
      at.tt2 += 1.0 / 86400.0;
      b = moon_geometry(at, site);
      second = now;
    }
    const MoonGeometry g = interpolate_geometry(a, b, (frame % 25) / 25.0);
    ++frame;
    v.lib_lon = g.topo.l;
    v.lib_lat = g.topo.b;
    v.axis_pa = g.topo.axis_pa;
    v.apparent_radius = g.apparent_radius;
    x = x > 400.0 ? 300.0 : x + 0.5;
    LunarPlace p;
    PlaceError e;
    benchmark::DoNotOptimize(pixel_to_place(v, x, 250.0, &p));
    benchmark::DoNotOptimize(place_error(v, cov, x, 250.0, 0.3, &e));
  }
}
BENCHMARK(BM_EventEveryFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
