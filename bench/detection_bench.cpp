// Per-frame cost of the run's hot path, for 720x576 and 1920x1080 frames with Images_in_buffer 60.
//
//   floor      the reference cost of the rolling statistics: one pass that for every pixel reads
//              the leaving and the entering value, retires and admits them in the run's per-pixel
//              order and evaluates the exact temporal test once
//   core       one iteration as the run does it: the new frame loaded from a cached file into its
//              slot with both sums brought up to date, then the detector on a frame without
//              flashes (clear) or with a few (flashes); counter core/floor = core time / floor time
//   recompute  one full recomputation of both sums
//
// Run: build/bench/vesk_bench   (see bench/README.md)
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "control/settings.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "detection/vector_clones.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "reference/oracle_support.h"
#include "reference/settings_fixture.h"
#include "sources/frame_folder.h"

namespace {

constexpr int kImages = 60;

// The shipped default.txt, its ring of kImages frames.
DetectionSettings bench_settings() {
  return settings_fixture([](DetectionSettings& s) { s.Images_in_buffer = kImages; });
}

// A ring of kImages frames of a smooth scene with noise and its sums, the slots the run would use
// at this point, a folder holding raw frame 0 (the frame the iteration loads), and the run's
// other buffers. With `flashes`, the frame under test carries a 3x3 flash and two hits.
struct Scene {
  FrameGeometry geometry;
  std::vector<std::uint8_t> ring_bytes;
  std::vector<double> pixel_sum;
  std::vector<double> pixel_sq_dev;
  std::vector<std::uint8_t> marked_frame;
  std::vector<std::uint8_t> candidate_chunks;
  FrameRing ring;
  int target_slot = 7;
  int load_slot = (7 + kImages / 2) % kImages;
  std::filesystem::path folder;

  Scene(int width, int height, bool flashes) {
    geometry = {width, height, width * height};
    const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
    ring_bytes.resize(kImages * pixels);
    pixel_sum.resize(pixels);
    pixel_sq_dev.resize(pixels);
    marked_frame.resize(pixels);
    candidate_chunks.resize(candidate_chunk_count(geometry.frame_pixels));
    Random random{12345};
    for (int s = 0; s < kImages; ++s) {
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const auto base = 20 + (150 * x) / width + (60 * y) / height;
          ring_bytes[s * pixels + static_cast<std::size_t>(y) * width + x] =
              static_cast<std::uint8_t>(base + random.next() % 8);
        }
      }
    }
    if (flashes) {  // a 3 x 3 flash and two single-pixel hits
      const std::size_t target = static_cast<std::size_t>(target_slot) * pixels;
      const int cx = width / 3;
      const int cy = height / 2;
      for (int y = cy - 1; y <= cy + 1; ++y) {
        for (int x = cx - 1; x <= cx + 1; ++x) {
          ring_bytes[target + static_cast<std::size_t>(y) * width + x] = 250;
        }
      }
      ring_bytes[target + static_cast<std::size_t>(height / 4) * width + width / 2] = 250;
      ring_bytes[target + static_cast<std::size_t>(height / 3) * width + width / 5] = 250;
    }
    ring = {ring_bytes, pixel_sum, pixel_sq_dev, geometry.frame_pixels, kImages};
    recompute_statistics(ring);

    // Raw frame 0 holds the bytes the load slot already has, so every iteration retires and
    // admits the same values and the sums stay as they are.
    folder = std::filesystem::temp_directory_path() /
             ("vesk_bench_" + std::to_string(::getpid()) + "_" + std::to_string(width));
    std::filesystem::create_directories(folder / "BMP_RAW");
    std::vector<std::uint8_t> file(kFrameHeaderBytes + pixels, 0);
    write_raw_frame_header(
        std::span<std::uint8_t, kFrameHeaderBytes>(file.data(), kFrameHeaderBytes), width, height);
    std::copy_n(ring_bytes.begin() + load_slot * pixels, pixels, file.begin() + kFrameHeaderBytes);
    std::string error;
    const std::string path = (folder / numbered_file_name(kRawFramePattern, 0)).string();
    FileHandle handle = open_file(path.c_str(), "wb", &error);
    if (!handle || !write_bytes(handle.get(), file, path.c_str(), &error) ||
        !close_file(handle, path.c_str(), &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
  }
  ~Scene() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  std::span<std::uint8_t> slot(int s) {
    const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
    return std::span<std::uint8_t>(ring_bytes).subspan(s * pixels, pixels);
  }
};

// Processor seconds of this thread, so that the core/floor ratio holds while other programs share
// the processor.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// The reference pass: retire `leaving`, admit `entering`, exact temporal test of `tested`, per
// pixel in the run's order. Answers the number of pixels that pass. Compiled like the library's
// hot loops, so the ratio compares like with like.
VESK_VECTOR_CLONES
int floor_pass(const std::uint8_t* __restrict leaving, const std::uint8_t* __restrict entering,
               const std::uint8_t* __restrict tested, double* __restrict pixel_sum,
               double* __restrict pixel_sq_dev, std::size_t pixels, int images,
               const DetectionSettings& settings) {
  const double n = images;
  const double time_sd = settings.Time_sd;
  const double min_sd2 = settings.Min_sd2;
  int passed = 0;
  for (std::size_t p = 0; p < pixels; ++p) {
    const double old_value = leaving[p];
    const double retire_d = old_value - pixel_sum[p] / n;
    pixel_sq_dev[p] -= retire_d * retire_d;
    pixel_sum[p] -= old_value;
    const double new_value = entering[p];
    pixel_sum[p] += new_value;
    const double admit_d = new_value - pixel_sum[p] / n;
    pixel_sq_dev[p] += admit_d * admit_d;

    const double v = tested[p];
    const double s = pixel_sum[p];
    const double u = v - s / (n - 1);
    const double tau = std::sqrt((pixel_sq_dev[p] - u * u) / (n - 2));
    const double b = (s - v) / (n - 1);
    const double floored = min_sd2 > tau ? min_sd2 : tau;
    // Without branches, so that the loop vectorises like the library's.
    passed += (v - b > time_sd * floored) & (b > 5) & (b < 250);
  }
  return passed;
}

// Floor seconds per frame by width, filled by BM_floor for the core/floor counter.
std::map<int, double>& floor_seconds() {
  static std::map<int, double> seconds;
  return seconds;
}

double time_floor(Scene& scene, const DetectionSettings& settings, int repeats) {
  const std::vector<std::uint8_t> entering(scene.slot(scene.load_slot).begin(),
                                           scene.slot(scene.load_slot).end());
  const double start = thread_seconds();
  for (int r = 0; r < repeats; ++r) {
    benchmark::DoNotOptimize(floor_pass(scene.slot(scene.load_slot).data(), entering.data(),
                                        scene.slot(scene.target_slot).data(),
                                        scene.pixel_sum.data(), scene.pixel_sq_dev.data(),
                                        scene.pixel_sum.size(), kImages, settings));
    benchmark::ClobberMemory();
  }
  const double elapsed = thread_seconds() - start;
  return elapsed / repeats;
}

void BM_floor(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false);
  const DetectionSettings settings = bench_settings();
  const std::vector<std::uint8_t> entering(scene.slot(scene.load_slot).begin(),
                                           scene.slot(scene.load_slot).end());
  const double start = thread_seconds();
  for (auto _ : state) {
    benchmark::DoNotOptimize(floor_pass(scene.slot(scene.load_slot).data(), entering.data(),
                                        scene.slot(scene.target_slot).data(),
                                        scene.pixel_sum.data(), scene.pixel_sq_dev.data(),
                                        scene.pixel_sum.size(), kImages, settings));
    benchmark::ClobberMemory();
  }
  const double elapsed = thread_seconds() - start;
  floor_seconds()[scene.geometry.image_width] = elapsed / state.iterations();
  state.SetItemsProcessed(state.iterations());
}

void BM_core(benchmark::State& state) {
  const bool flashes = state.range(2) != 0;
  Scene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), flashes);
  const DetectionSettings settings = bench_settings();
  const DetectionThresholds thresholds = thresholds_of(settings);
  DetectionResult result;
  const double start = thread_seconds();
  for (auto _ : state) {
    // As the run does it: marked_frame takes the frame file's bytes, one pass updates the sums
    // and marks the candidates, then the detector rebuilds marked_frame.
    std::string error;
    const std::unique_ptr<FrameSource> source = open_frame_folder(scene.folder, &error);
    if (!source || source->read_next(scene.marked_frame).status != FrameStatus::frame) {
      state.SkipWithError("the cached frame cannot be read");
      break;
    }
    replace_and_mark(scene.ring, scene.load_slot, scene.marked_frame, scene.target_slot, thresholds,
                     scene.candidate_chunks);
    flash_detector(scene.ring, scene.geometry, scene.target_slot, thresholds, scene.marked_frame,
                   scene.candidate_chunks, result);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
  const double elapsed = thread_seconds() - start;
  const double core = elapsed / state.iterations();
  double floor = 0.0;
  if (const auto found = floor_seconds().find(scene.geometry.image_width);
      found != floor_seconds().end()) {
    floor = found->second;
  } else {
    floor = time_floor(scene, settings, 20);
  }
  state.counters["core/floor"] = core / floor;
  state.counters["flash_count"] = result.flash_count;
  state.counters["result"] = result.found ? 1 : 0;
  state.SetItemsProcessed(state.iterations());
}

void BM_recompute(benchmark::State& state) {
  Scene scene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false);
  for (auto _ : state) {
    recompute_statistics(scene.ring);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_floor)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_core)
    ->ArgNames({"width", "height", "flashes"})
    ->Args({720, 576, 0})
    ->Args({720, 576, 1})
    ->Args({1280, 1024, 0})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_recompute)->Args({720, 576})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
