// What the flash catalogue adds to a run, for 720x576 and 1920x1080 frames with Images_in_buffer
// 60 (compare with BM_core, the run's own work per frame):
//
//   catalogue_frame   the output's work for a tested frame without a report (frame_started,
//                     frame_tested with no event open)
//   catalogue_event   one report measured from the ring, its event closed two frames later and
//                     its 17 lines written and flushed (flashes.csv and lightcurves.csv in a
//                     temporary folder)
//   catalogue_demo    one tested frame at the demo recording's rate of reports (17 in 600 frames:
//                     a report every 35th frame), events closing as in a run
//
// Run: build/bench/vesk_bench --benchmark_filter=catalogue   (see bench/README.md)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "outputs/flash_catalogue.h"
#include "reference/oracle_support.h"

namespace {

constexpr int kImages = 60;

// A ring of noisy frames on a slope, a 3 x 3 flash in the slot under test, the sums, and an
// empty folder for the catalogue's files.
struct CatalogueScene {
  FrameGeometry geometry;
  std::vector<std::uint8_t> frames;
  std::vector<double> sum;
  std::vector<double> sq_dev;
  int target_slot = 7;
  std::filesystem::path folder;
  DetectionResult result;

  CatalogueScene(int width, int height) {
    geometry = {width, height, width * height};
    const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
    frames.resize(kImages * pixels);
    sum.resize(pixels);
    sq_dev.resize(pixels);
    Random random{4242};
    for (int s = 0; s < kImages; ++s) {
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          frames[s * pixels + static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(
              20 + (150 * x) / width + (60 * y) / height + random.next() % 8);
        }
      }
    }
    const int cx = width / 3;
    const int cy = height / 2;
    for (int y = cy - 1; y <= cy + 1; ++y) {
      for (int x = cx - 1; x <= cx + 1; ++x) {
        frames[static_cast<std::size_t>(target_slot) * pixels +
               static_cast<std::size_t>(y) * width + x] = 220;
      }
    }
    recompute_statistics({frames, sum, sq_dev, geometry.frame_pixels, kImages});
    result.found = true;
    result.flash_count = 6;
    result.measurement.sample = static_cast<float>(cx - 0.5);
    result.measurement.line = static_cast<float>(cy);
    folder = std::filesystem::temp_directory_path() /
             ("vesk_catalogue_bench_" + std::to_string(::getpid()) + "_" + std::to_string(width));
    std::filesystem::create_directories(folder);
  }
  ~CatalogueScene() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  CatalogueScene(const CatalogueScene&) = delete;
  CatalogueScene& operator=(const CatalogueScene&) = delete;

  // The ring as it stands when frame `target_frame` is tested (the slots' bytes do not change).
  RingView view(std::int64_t target_frame) const {
    return {frames, sum, sq_dev, geometry, kImages, target_slot, target_frame};
  }
};

std::unique_ptr<RunOutput> started_catalogue(const CatalogueScene& scene, benchmark::State& state) {
  std::unique_ptr<RunOutput> catalogue =
      make_flash_catalogue({scene.folder, 0, nullptr, stderr, {}, {}, 0.0});
  std::string error;
  if (catalogue->start(&error) != OutputStatus::ok) state.SkipWithError("cannot start");
  return catalogue;
}

void BM_catalogue_frame(benchmark::State& state) {
  CatalogueScene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::unique_ptr<RunOutput> catalogue = started_catalogue(scene, state);
  std::int64_t frame = 100;
  std::string error;
  for (auto _ : state) {
    catalogue->frame_started(frame + kImages / 2);
    benchmark::DoNotOptimize(
        catalogue->frame_tested({frame + kImages / 2, frame, false}, scene.view(frame), &error));
    ++frame;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_catalogue_event(benchmark::State& state) {
  CatalogueScene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::unique_ptr<RunOutput> catalogue = started_catalogue(scene, state);
  std::int64_t frame = 100;
  std::string error;
  for (auto _ : state) {
    const RingView ring = scene.view(frame);
    benchmark::DoNotOptimize(
        catalogue->report({frame + kImages / 2, scene.result, {}, ring}, &error));
    // The event closes once the frame two after it is tested.
    benchmark::DoNotOptimize(catalogue->frame_tested({frame + 2 + kImages / 2, frame + 2, false},
                                                     scene.view(frame + 2), &error));
    frame += 10;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_catalogue_demo(benchmark::State& state) {
  CatalogueScene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const std::unique_ptr<RunOutput> catalogue = started_catalogue(scene, state);
  std::int64_t frame = 100;
  std::string error;
  for (auto _ : state) {
    const RingView ring = scene.view(frame);
    catalogue->frame_started(frame + kImages / 2);
    const bool reported = frame % 35 == 0;
    if (reported) {
      benchmark::DoNotOptimize(
          catalogue->report({frame + kImages / 2, scene.result, {}, ring}, &error));
    }
    benchmark::DoNotOptimize(
        catalogue->frame_tested({frame + kImages / 2, frame, reported}, ring, &error));
    ++frame;
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_catalogue_frame)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_catalogue_event)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_catalogue_demo)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
