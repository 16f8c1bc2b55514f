// The frame ring and its per-pixel sums: full recomputation, the deliberately approximate running
// update of pixel_sq_dev, and filling the ring from the first N frame files.
#include "detection/frame_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A ring of `n` slots of `pixels` bytes with its two sums, all owned here.
struct SmallRing {
  std::vector<std::uint8_t> frames;
  std::vector<double> sum;
  std::vector<double> sq_dev;
  int pixels;
  int n;

  SmallRing(int frame_pixels, int images)
      : frames(static_cast<std::size_t>(frame_pixels * images), 0),
        sum(frame_pixels, 0.0),
        sq_dev(frame_pixels, 0.0),
        pixels(frame_pixels),
        n(images) {}
  FrameRing view() { return {frames, sum, sq_dev, pixels, n}; }
  std::uint8_t& at(int slot, int p) { return frames[static_cast<std::size_t>(slot * pixels + p)]; }
};

}  // namespace

TEST(FrameRing, FullRecomputationGivesSumAndSquaredDeviations) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> values;  // one pixel, slot by slot
    double sum;
    double sq_dev;
  };
  const std::vector<Case> cases = {
      {"constant pixel", {7, 7, 7, 7, 7}, 35.0, 0.0},
      // Mean 1.4 in double: an integer mean of 1 would give 40.
      {"odd N, sum 7 over 5 frames", {0, 0, 0, 0, 7}, 7.0, 39.2},
      {"the worked example's ring", {8, 0, 0, 0}, 8.0, 48.0},
      {"full range", {0, 255, 0}, 255.0, 43350.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallRing ring(1, static_cast<int>(c.values.size()));
    ring.sum[0] = -1.0;  // stale values are replaced, not added to
    ring.sq_dev[0] = -1.0;
    for (int s = 0; s < ring.n; ++s) ring.at(s, 0) = c.values[static_cast<std::size_t>(s)];
    recompute_statistics(ring.view());
    EXPECT_EQ(ring.sum[0], c.sum);
    EXPECT_DOUBLE_EQ(ring.sq_dev[0], c.sq_dev);
  }
}

// N = 4, one pixel, all slots 0. The running update keeps the leaving value's deviation from the
// current mean, not the term it entered with, so it holds 36 where a full recomputation gives 48.
TEST(FrameRing, RunningUpdateFollowsTheWorkedExample) {
  struct Step {
    int slot;
    std::uint8_t value;  // admitted into `slot` after retiring it
    double sum;
    double sq_dev;
    double recomputed;  // what sum_sd gives for the same ring
  };
  const std::vector<Step> steps = {
      {0, 8, 8.0, 36.0, 48.0}, {1, 0, 8.0, 36.0, 48.0}, {2, 0, 8.0, 36.0, 48.0},
      {3, 0, 8.0, 36.0, 48.0}, {0, 0, 0.0, 0.0, 0.0},
  };
  SmallRing ring(1, 4);
  recompute_statistics(ring.view());
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Step& step = steps[i];
    retire_slot(ring.view(), step.slot);
    ring.at(step.slot, 0) = step.value;
    admit_slot(ring.view(), step.slot);
    EXPECT_EQ(ring.sum[0], step.sum);
    EXPECT_EQ(ring.sq_dev[0], step.sq_dev);

    SmallRing fresh = ring;
    sum_sd(fresh.view());
    EXPECT_EQ(fresh.sq_dev[0], step.recomputed);
  }
}

TEST(FrameRing, RetiringAndAdmittingTheSameBytesKeepsTheSums) {
  SmallRing ring(12, 6);
  for (int s = 0; s < ring.n; ++s) {
    for (int p = 0; p < ring.pixels; ++p)
      ring.at(s, p) = static_cast<std::uint8_t>((s * 37 + p * 53) % 256);
  }
  recompute_statistics(ring.view());
  const std::vector<double> sum = ring.sum;
  const std::vector<double> sq_dev = ring.sq_dev;
  for (int slot = 0; slot < ring.n; ++slot) {
    retire_slot(ring.view(), slot);
    admit_slot(ring.view(), slot);
  }
  for (int p = 0; p < ring.pixels; ++p) {
    SCOPED_TRACE("pixel " + std::to_string(p));
    EXPECT_EQ(ring.sum[p], sum[p]);
    EXPECT_NEAR(ring.sq_dev[p], sq_dev[p], 1e-9);
  }
}

TEST(FrameRing, RetireUsesTheMeanBeforeTheValueLeavesAndAdmitTheMeanAfter) {
  // N = 5, values {10, 20, 30, 40, 50}: sum 150, mean 30. Retiring the 50 subtracts (50 - 30)^2;
  // admitting 25 adds (25 - 125 / 5)^2 = 0.
  SmallRing ring(1, 5);
  for (int s = 0; s < 5; ++s) ring.at(s, 0) = static_cast<std::uint8_t>(10 * (s + 1));
  recompute_statistics(ring.view());
  ASSERT_EQ(ring.sq_dev[0], 1000.0);
  retire_slot(ring.view(), 4);
  EXPECT_EQ(ring.sum[0], 100.0);
  EXPECT_EQ(ring.sq_dev[0], 600.0);
  ring.at(4, 0) = 25;
  admit_slot(ring.view(), 4);
  EXPECT_EQ(ring.sum[0], 125.0);
  EXPECT_EQ(ring.sq_dev[0], 600.0);
}

TEST(FrameRing, ViewFindsEachHeldFrameInItsSlot) {
  // A ring that holds frames f in slot f mod N, as a run loads them: for odd and even N and the
  // target slot at either end, the view finds every frame it holds and holds no other.
  for (const int n : {3, 4, 7, 60}) {
    for (const std::int64_t newest : {std::int64_t{n - 1}, std::int64_t{n}, std::int64_t{1000}}) {
      SCOPED_TRACE("N " + std::to_string(n) + ", newest frame " + std::to_string(newest));
      const int pixels = 2;
      std::vector<std::uint8_t> frames(static_cast<std::size_t>(n) * pixels);
      std::vector<double> sums(pixels);
      std::vector<double> sq_devs(pixels);
      for (std::int64_t f = newest - n + 1; f <= newest; ++f) {
        frames[static_cast<std::size_t>(f % n) * pixels] = static_cast<std::uint8_t>(f % 251);
      }
      const FrameRing ring{frames, sums, sq_devs, pixels, n};
      const std::int64_t target = newest - frames_after_target(n);
      const RingView view =
          view_at(ring, {pixels, 1, pixels}, static_cast<int>(target % n), target);
      EXPECT_EQ(frames_before_target(n) + 1 + frames_after_target(n), n);
      for (std::int64_t f = newest - n - 2; f <= newest + 2; ++f) {
        const bool held = f >= 0 && f > newest - n && f <= newest;
        EXPECT_EQ(view.frame_held(f), held) << f;
        if (held) {
          EXPECT_EQ(view.frame_pixels(f)[0], f % 251) << f;
        }
      }
      EXPECT_EQ(slot_after(view.target_slot, -1, n), previous_slot(view.target_slot, n));
      EXPECT_EQ(slot_after(view.target_slot, 1, n), next_slot(view.target_slot, n));
      EXPECT_EQ(ring_of(view).frame_ring.data(), frames.data());
    }
  }
}
