// Where, when and how bright vesk-tune's synthetic flashes go: a fixed number per strength bin,
// strengths in units of the local noise, at most one flash per frame, on the night side, spread
// over as many passes over the frames as they need. The same recording always gets the same plan.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sources/injecting_source.h"
#include "tune/night_survey.h"

// Peak over the local noise, from (inclusive) and to (exclusive).
struct StrengthBin {
  double from = 0.0;
  double to = 0.0;
};

inline constexpr std::array<StrengthBin, 6> kStrengthBins = {
    {{2, 4}, {4, 6}, {6, 8}, {8, 12}, {12, 20}, {20, 30}}};
// The bin the recommendation maximises: flashes 8 to 12 times the noise.
inline constexpr std::size_t kReferenceBin = 3;
// Share of flashes that fade over a second frame, and the second frame's peak against the first.
inline constexpr double kFadeShare = 0.35;
inline constexpr double kFadeLeast = 0.2;
inline constexpr double kFadeMost = 0.5;
// Flashes whose frames lie within a ring of each other keep this far apart (pixels), so that one
// never sits in the other's ring statistics.
inline constexpr double kFlashSpacing = 10.0;
// No 8-bit frame shows less noise than its rounding; a flat synthetic recording still gets spots.
inline constexpr double kLeastNoise = 0.5;
inline constexpr std::uint64_t kPlanSeed = 20261210;

struct InjectedFlash {
  std::int64_t frame = 0;  // first frame, numbered from the first frame used
  double x = 0.0;          // column of the centre
  double y = 0.0;          // stored row of the centre
  std::size_t bin = 0;     // index into kStrengthBins
  double strength = 0.0;   // peak / noise
  double noise = 0.0;      // local noise at the site, grey levels
  double peak = 0.0;       // grey levels above the background at the centre
  double fade_peak = 0.0;  // peak in frame + 1; 0 when the flash lasts one frame
  int pass = 0;            // the pass over the frames that carries it
};

struct InjectionPlan {
  std::vector<InjectedFlash> flashes;
  int passes = 0;
  std::int64_t tested_frames = 0;  // frames the detector tests in one pass: all of them
};

// Plans `per_bin` flashes in each strength bin for a recording of survey.frames frames tested
// with a ring of `ring_frames`: the run tests every frame, the last ring_frames / 2 in the last
// full ring, so any frame may take a flash (a fading one not the last frame, which has no second).
// Flashes within a ring of each other keep kFlashSpacing apart. A frame carries at most one
// flash, or the fading second frame of one. False with `error` when the night side has no room
// for a flash even in an empty pass.
bool plan_injections(const NightSurvey& survey, int per_bin, int ring_frames, InjectionPlan& plan,
                     std::string* error);

// The spots of pass `pass` for make_injecting_source: each flash, and its second frame when it
// fades, as Gaussian spots of full width at half maximum `fwhm` pixels.
std::vector<InjectedSpot> pass_spots(const InjectionPlan& plan, int pass, double fwhm);
