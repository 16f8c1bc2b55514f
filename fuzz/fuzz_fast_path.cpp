// Differential fuzzing of the fast per-frame path against the straightforward oracle of
// tests/reference: a fuzzed ring (values, N, geometry) and fuzzed settings (NaN,
// infinities, negative and huge thresholds, any borders). After the full recomputation and after
// each one-pass frame replacement, the sums must match bit for bit; then the detector, with and
// without the candidate map, must give the oracle's answer, count, marked frame and nine values.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "reference/oracle_support.h"
#include "reference/reference_detection.h"

namespace {

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

void check_same(TestRing& fast, TestRing& slow) {
  if (fast.frames != slow.frames || !same_bits(fast.sum, slow.sum) ||
      !same_bits(fast.sq_dev, slow.sq_dev)) {
    std::abort();
  }
}

// The fused pass's candidate map must be the one the detector would mark itself, and the fast
// detector must give the oracle's every result.
void check_detectors(TestRing& fast, int target, const DetectionThresholds& thresholds,
                     std::span<const std::uint8_t> chunks, DetectorRuns& runs) {
  std::vector<std::uint8_t> expected(chunks.size());
  mark_candidate_chunks(fast.view(), target, thresholds, expected);
  if (!std::equal(expected.begin(), expected.end(), chunks.begin())) std::abort();
  const std::string difference = compare_detectors(fast, target, thresholds, runs);
  if (!difference.empty()) {
    std::fprintf(stderr, "fast path differs from the oracle: %s\n", difference.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int width = input.ConsumeIntegralInRange<int>(1, input.ConsumeBool() ? 40 : 300);
  const int height = input.ConsumeIntegralInRange<int>(1, 24);
  const int images = input.ConsumeIntegralInRange<int>(1, 12);
  TestRing fast(width, height, images);
  const auto pixels = static_cast<std::size_t>(fast.geometry.frame_pixels);

  DetectionThresholds thresholds;
  thresholds.flash_sd_sep = pick_float(input);
  thresholds.neighbour_sd = pick_float(input);
  thresholds.time_sd = pick_float(input);
  thresholds.min_sd1 = pick_float(input);
  thresholds.min_sd2 = pick_float(input);
  thresholds.borders = usable_borders({input.ConsumeIntegralInRange<int>(-3, width + 3),
                                       input.ConsumeIntegralInRange<int>(-3, width + 3),
                                       input.ConsumeIntegralInRange<int>(-3, height + 3),
                                       input.ConsumeIntegralInRange<int>(-3, height + 3)});

  for (int s = 0; s < images; ++s) draw_frame(input, fast.slot(s));
  TestRing slow = fast;
  recompute_statistics(fast.view());
  reference::recompute_statistics(slow.view());
  check_same(fast, slow);

  DetectorRuns runs;
  std::vector<std::uint8_t> chunks(fast.chunks(), 0xCD);
  mark_candidate_chunks(fast.view(), 0, thresholds, chunks);
  check_detectors(fast, 0, thresholds, chunks, runs);

  // Frames replaced in turn without a recomputation, so pixel_sq_dev drifts as in a run.
  const int steps = input.ConsumeIntegralInRange<int>(0, 3 * images);
  std::vector<std::uint8_t> entering(pixels);
  for (int step = 0; step < steps; ++step) {
    const int load_slot = step % images;
    const int target_slot = (load_slot + images - images / 2) % images;
    draw_frame(input, entering);
    replace_and_mark(fast.view(), load_slot, entering, target_slot, thresholds, chunks);
    reference::retire_slot(slow.view(), load_slot);
    std::copy(entering.begin(), entering.end(), slow.slot(load_slot).begin());
    reference::admit_slot(slow.view(), load_slot);
    check_same(fast, slow);
    check_detectors(fast, target_slot, thresholds, chunks, runs);
  }
  return 0;
}
