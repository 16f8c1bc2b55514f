#include "tune/injection_plan.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

// Uniform in [0, 1) from the top 53 bits, the same on every platform.
double uniform01(std::mt19937_64& rng) {
  return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

double uniform(std::mt19937_64& rng, double lo, double hi) {
  return lo + (hi - lo) * uniform01(rng);
}

// 0 to n - 1; n at least 1.
std::size_t uniform_index(std::mt19937_64& rng, std::size_t n) {
  return std::min(n - 1, static_cast<std::size_t>(uniform01(rng) * static_cast<double>(n)));
}

template <typename T>
void shuffle(std::vector<T>& items, std::mt19937_64& rng) {
  for (std::size_t i = items.size(); i > 1; --i) {
    std::swap(items[i - 1], items[uniform_index(rng, i)]);
  }
}

// The flashes to place, in random order, strengths and fading drawn.
std::vector<InjectedFlash> draw_flashes(int per_bin, std::mt19937_64& rng) {
  std::vector<InjectedFlash> flashes;
  for (std::size_t bin = 0; bin < kStrengthBins.size(); ++bin) {
    for (int k = 0; k < per_bin; ++k) {
      InjectedFlash f;
      f.bin = bin;
      f.strength = uniform(rng, kStrengthBins[bin].from, kStrengthBins[bin].to);
      const bool fades = uniform01(rng) < kFadeShare;
      const double fade = uniform(rng, kFadeLeast, kFadeMost);
      f.fade_peak = fades ? fade : 0.0;  // a ratio until the site's noise is known
      flashes.push_back(f);
    }
  }
  shuffle(flashes, rng);
  return flashes;
}

// One pass over the frames: which frames are taken and where its flashes are.
struct Pass {
  std::vector<std::uint8_t> taken;        // per frame
  std::vector<std::int64_t> frame_order;  // tested frames in random order
  std::size_t next = 0;                   // first frame of frame_order not tried yet
  std::vector<const InjectedFlash*> placed;
};

void start_pass(Pass& pass, std::int64_t frames, std::int64_t tested, std::mt19937_64& rng) {
  pass.taken.assign(static_cast<std::size_t>(frames), 0);
  pass.frame_order.resize(static_cast<std::size_t>(tested));
  for (std::int64_t f = 0; f < tested; ++f) pass.frame_order[static_cast<std::size_t>(f)] = f;
  shuffle(pass.frame_order, rng);
  pass.next = 0;
  pass.placed.clear();
}

bool far_enough(const Pass& pass, std::int64_t frame, double x, double y, int ring_frames) {
  for (const InjectedFlash* other : pass.placed) {
    if (std::llabs(other->frame - frame) > ring_frames) continue;
    if (std::hypot(other->x - x, other->y - y) < kFlashSpacing) return false;
  }
  return true;
}

// Places `flash` in `pass` at a free frame and a night site. False when the pass has no frame
// left that fits it.
bool place(InjectedFlash& flash, Pass& pass, const NightSurvey& survey,
           const std::vector<std::uint32_t>& night_sites, int ring_frames, std::mt19937_64& rng) {
  const int w = survey.geometry.image_width;
  const bool fades = flash.fade_peak > 0.0;
  while (pass.next < pass.frame_order.size()) {
    const std::int64_t f = pass.frame_order[pass.next++];
    const auto at = static_cast<std::size_t>(f);
    if (pass.taken[at] != 0) continue;
    if (fades && (at + 1 >= pass.taken.size() || pass.taken[at + 1] != 0)) continue;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::uint32_t site = night_sites[uniform_index(rng, night_sites.size())];
      const double x =
          static_cast<double>(site % static_cast<std::uint32_t>(w)) + uniform(rng, -0.5, 0.5);
      const double y =
          static_cast<double>(site / static_cast<std::uint32_t>(w)) + uniform(rng, -0.5, 0.5);
      if (!far_enough(pass, f, x, y, ring_frames)) continue;
      flash.frame = f;
      flash.x = x;
      flash.y = y;
      flash.noise = std::max(kLeastNoise, local_noise(survey, x, y));
      flash.peak = flash.strength * flash.noise;
      flash.fade_peak *= flash.peak;
      pass.taken[at] = 1;
      if (fades) pass.taken[at + 1] = 1;
      pass.placed.push_back(&flash);
      return true;
    }
  }
  return false;
}

}  // namespace

bool plan_injections(const NightSurvey& survey, int per_bin, int ring_frames, InjectionPlan& plan,
                     std::string* error) {
  plan = InjectionPlan{};
  plan.tested_frames = survey.frames;
  std::vector<std::uint32_t> night_sites;
  for (std::size_t i = 0; i < survey.night.size(); ++i) {
    if (survey.night[i] != 0) night_sites.push_back(static_cast<std::uint32_t>(i));
  }
  if (plan.tested_frames < 1 || night_sites.empty()) {
    *error = "no frame or no night-side pixel to place a flash in";
    return false;
  }
  std::mt19937_64 rng(kPlanSeed);
  plan.flashes = draw_flashes(per_bin, rng);
  // Pointers into plan.flashes stay valid: the vector is not resized from here on.
  Pass pass;
  start_pass(pass, survey.frames, plan.tested_frames, rng);
  plan.passes = 1;
  for (InjectedFlash& flash : plan.flashes) {
    if (place(flash, pass, survey, night_sites, ring_frames, rng)) {
      flash.pass = plan.passes - 1;
      continue;
    }
    start_pass(pass, survey.frames, plan.tested_frames, rng);
    ++plan.passes;
    if (!place(flash, pass, survey, night_sites, ring_frames, rng)) {
      *error = "no room for a flash on the night side even in an empty pass over the frames";
      return false;
    }
    flash.pass = plan.passes - 1;
  }
  return true;
}

std::vector<InjectedSpot> pass_spots(const InjectionPlan& plan, int pass, double fwhm) {
  std::vector<InjectedSpot> spots;
  for (const InjectedFlash& f : plan.flashes) {
    if (f.pass != pass) continue;
    spots.push_back({f.frame, f.x, f.y, f.peak, fwhm});
    if (f.fade_peak > 0.0) spots.push_back({f.frame + 1, f.x, f.y, f.fade_peak, fwhm});
  }
  return spots;
}
