// Differential fuzzing of the fast per-frame path against the straightforward oracle of
// tests/reference_detection: a fuzzed ring (values, N, geometry) and fuzzed settings (NaN,
// infinities, negative and huge thresholds, any borders). After the full recomputation and after
// each one-pass frame replacement, the sums must match bit for bit; then the detector, with and
// without the candidate map, must give the oracle's answer, count, marked frame and nine values.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "control/settings.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "reference_detection.h"

namespace {

struct Ring {
  FrameGeometry geometry;
  int n = 0;
  std::vector<std::uint8_t> frames;
  std::vector<double> sum;
  std::vector<double> sq_dev;
  FrameRing view() { return {frames, sum, sq_dev, geometry.frame_pixels, n}; }
};

float pick_float(FuzzedDataProvider& input) {
  const float edges[] = {0.0f,
                         -0.0f,
                         1.0f,
                         3.0f,
                         4.0f,
                         5.0f,
                         -2.0f,
                         1e-30f,
                         3e38f,
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  if (input.ConsumeBool()) return input.PickValueInArray(edges);
  return input.ConsumeFloatingPoint<float>();
}

// A frame: a background level with fuzzed noise, and fuzzed bytes where the input has them.
void draw_frame(FuzzedDataProvider& input, std::span<std::uint8_t> frame) {
  const std::uint8_t level = input.ConsumeIntegral<std::uint8_t>();
  const int spread = input.ConsumeIntegralInRange<int>(0, 255);
  std::uint32_t noise = input.ConsumeIntegral<std::uint32_t>();
  for (std::uint8_t& pixel : frame) {
    noise = noise * 1664525u + 1013904223u;
    pixel = static_cast<std::uint8_t>(
        std::min(255, level + static_cast<int>((noise >> 16) % (spread + 1))));
  }
  const std::vector<std::uint8_t> spikes = input.ConsumeBytes<std::uint8_t>(
      input.ConsumeIntegralInRange<std::size_t>(0, 2 * frame.size()));
  for (std::size_t i = 0; i + 1 < spikes.size(); i += 2)
    frame[spikes[i] % frame.size()] = spikes[i + 1];
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

void check_same(Ring& fast, Ring& slow) {
  if (fast.frames != slow.frames || !same_bits(fast.sum, slow.sum) ||
      !same_bits(fast.sq_dev, slow.sq_dev)) {
    std::abort();
  }
}

void compare_detectors(Ring& fast, Ring& slow, int target, const DetectionSettings& settings,
                       std::span<const std::uint8_t> chunks, FlashMeasurement& slow_m,
                       FlashMeasurement& plain_m, FlashMeasurement& mapped_m) {
  const auto pixels = static_cast<std::size_t>(fast.geometry.frame_pixels);
  std::vector<std::uint8_t> slow_marked(pixels, 0xAB);
  std::vector<std::uint8_t> plain_marked(pixels, 0xAB);
  std::vector<std::uint8_t> mapped_marked(pixels, 0xAB);
  int slow_count = -1;
  int plain_count = -1;
  int mapped_count = -1;
  const int slow_result = reference::flash_detector(slow.view(), slow.geometry, target, settings,
                                                    slow_marked, slow_count, slow_m);
  const int plain_result = flash_detector(fast.view(), fast.geometry, target, settings,
                                          plain_marked, plain_count, plain_m);
  const int mapped_result = flash_detector(fast.view(), fast.geometry, target, settings,
                                           mapped_marked, mapped_count, mapped_m, chunks);
  if (plain_result != slow_result || mapped_result != slow_result || plain_count != slow_count ||
      mapped_count != slow_count || plain_marked != slow_marked || mapped_marked != slow_marked ||
      std::memcmp(&plain_m, &slow_m, sizeof slow_m) != 0 ||
      std::memcmp(&mapped_m, &slow_m, sizeof slow_m) != 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Ring fast;
  const int width = input.ConsumeIntegralInRange<int>(1, input.ConsumeBool() ? 40 : 300);
  const int height = input.ConsumeIntegralInRange<int>(1, 24);
  fast.geometry = {width, height, width * height};
  fast.n = input.ConsumeIntegralInRange<int>(1, 12);
  const auto pixels = static_cast<std::size_t>(fast.geometry.frame_pixels);
  fast.frames.assign(pixels * static_cast<std::size_t>(fast.n), 0);
  fast.sum.assign(pixels, 0.0);
  fast.sq_dev.assign(pixels, 0.0);

  DetectionSettings settings;
  settings.Images_in_buffer = fast.n;
  settings.Flash_sd_sep = pick_float(input);
  settings.Neighbour_sd = pick_float(input);
  settings.Time_sd = pick_float(input);
  settings.Min_sd1 = pick_float(input);
  settings.Min_sd2 = pick_float(input);
  settings.Left_sample_border = input.ConsumeIntegralInRange<int>(-3, width + 3);
  settings.Right_sample_border = input.ConsumeIntegralInRange<int>(-3, width + 3);
  settings.Top_line_limit = input.ConsumeIntegralInRange<int>(-3, height + 3);
  settings.Bott_line_limit = input.ConsumeIntegralInRange<int>(-3, height + 3);

  for (int s = 0; s < fast.n; ++s) {
    draw_frame(input, std::span<std::uint8_t>(fast.frames).subspan(s * pixels, pixels));
  }
  Ring slow = fast;
  recompute_statistics(fast.view());
  reference::recompute_statistics(slow.view());
  check_same(fast, slow);

  FlashMeasurement slow_m;
  FlashMeasurement plain_m;
  FlashMeasurement mapped_m;
  std::vector<std::uint8_t> chunks(candidate_chunk_count(fast.geometry.frame_pixels), 0xCD);
  mark_candidate_chunks(fast.view(), 0, settings, chunks);
  compare_detectors(fast, slow, 0, settings, chunks, slow_m, plain_m, mapped_m);

  // Frames replaced in turn without a recomputation, so pixel_sq_dev drifts as in a run.
  const int steps = input.ConsumeIntegralInRange<int>(0, 3 * fast.n);
  std::vector<std::uint8_t> entering(pixels);
  for (int step = 0; step < steps; ++step) {
    const int load_slot = step % fast.n;
    const int target_slot = (load_slot + fast.n - fast.n / 2) % fast.n;
    draw_frame(input, entering);
    replace_and_mark(fast.view(), load_slot, entering, target_slot, settings, chunks);
    reference::retire_slot(slow.view(), load_slot);
    std::copy(entering.begin(), entering.end(), slow.frames.begin() + load_slot * pixels);
    reference::admit_slot(slow.view(), load_slot);
    check_same(fast, slow);
    compare_detectors(fast, slow, target_slot, settings, chunks, slow_m, plain_m, mapped_m);
  }
  return 0;
}
