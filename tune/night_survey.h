// What vesk-tune learns about a recording before it injects anything: each pixel's mean, its
// brightest value and its noise (the spread of its values over time, as the detector measures it
// in its ring), the sites where the background makes trouble (steep gradients, saturation), and
// the night side, where synthetic flashes go.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/frame_geometry.h"
#include "detection/flash_detector.h"
#include "sources/frame_source.h"

// Backgrounds the detector tests: it skips pixels whose mean is 5 or less or 250 or more.
inline constexpr double kLowestNight = 5.0;
inline constexpr double kHighestNight = 250.0;
// An edge site: within kGradientReach pixels the mean frame changes by kEdgeGradient grey
// levels per pixel or more (the limb, the terminator's ramp), or within kSaturationReach pixels
// some pixel reaches kSaturatedLevel in some surveyed frame (the sunlit crescent). A small shift
// of the seeing changes such pixels by many grey levels from frame to frame.
inline constexpr double kEdgeGradient = 8.0;
inline constexpr int kGradientReach = 2;
inline constexpr int kSaturationReach = 3;
inline constexpr int kSaturatedLevel = 250;
// The earthshine: the lowest peak of the mean frame's brightness histogram (smoothed over
// kHistogramSmoothing grey levels, levels strictly between kLowestNight and kHighestNight, pixels
// never saturated) that reaches kLeastPeakShare of the highest there; its band runs both ways
// from that peak until the smoothed histogram falls below kBandFloor of the peak's height. The
// sky lies below it, the sunlit surface (saturated or not) and the terminator's ramp above.
inline constexpr int kHistogramSmoothing = 5;
inline constexpr double kLeastPeakShare = 0.25;
inline constexpr double kBandFloor = 0.02;
// The noise comes from this many consecutive rings of frames at most (5 x 60 = 300 frames).
inline constexpr int kSurveyRings = 5;

struct NightSurvey {
  FrameGeometry geometry;
  std::int64_t frames = 0;              // frames the source gave
  int surveyed = 0;                     // frames the maps below come from (whole rings)
  std::vector<float> mean;              // per pixel, grey levels
  std::vector<float> noise;             // per pixel: time spread within a ring, grey levels
  std::vector<std::uint8_t> brightest;  // per pixel, over the surveyed frames
  std::vector<std::uint8_t> edge;       // per pixel: 1 at an edge site
  std::vector<std::uint8_t> night;      // per pixel: 1 where a flash may be centred
  std::int64_t night_pixels = 0;
  std::int64_t tested_pixels = 0;  // inside the borders, mean strictly between 5 and 250
  // The earthshine band of the mean frame, grey levels (both inclusive), and its peak; all 0
  // when the night side came from a mask given by the caller.
  int earthshine_low = 0;
  int earthshine_high = 0;
  int earthshine_peak = 0;
  bool from_mask = false;  // the night side is the caller's mask (the fitted disc)
  // The user's mask.png as the detector takes it (1 scanned, 0 never a candidate); empty: none.
  std::vector<std::uint8_t> scanned;
  std::int64_t masked_pixels = 0;  // pixels the user's mask leaves out
  double frame_rate = 0.0;         // frames per second from the source's times; 0 when unknown
  // The noise over the night side: median and the 10th and 90th percentiles, grey levels.
  double noise_median = 0.0;
  double noise_low = 0.0;
  double noise_high = 0.0;
};

// Reads every frame of `source` (it is used up). The maps come from the first kSurveyRings whole
// rings of `ring_frames` frames; each pixel's noise is the root of its sample variance within a
// ring, averaged over the rings. The night side is every pixel inside `borders` (as the detector
// uses them) whose mean lies in the earthshine band (see kLeastPeakShare) and strictly between
// kLowestNight and kHighestNight, that never reaches kSaturatedLevel and is no edge site; with
// `site_mask` (one byte per pixel, 1 on the night side as the fitted disc and terminator place
// it) the mask takes the band's place, the other conditions kept. Warnings of the source (a short
// frame) are appended to `warnings` once each. `scanned` (the user's mask, as
// DetectionThresholds::mask; empty: none) keeps the pixels it marks 0 out of the tested pixels
// and the night side. False with `error` when a frame cannot be read, the source holds fewer than
// `ring_frames` frames (the detector could test none), or the night side is empty.
bool survey_night(FrameSource& source, int ring_frames, const ScanBorders& borders,
                  NightSurvey& survey, std::vector<std::string>& warnings,
                  const std::vector<std::uint8_t>* site_mask, std::span<const std::uint8_t> scanned,
                  std::string* error);

// The earthshine band of `mean` over the pixels where `usable` is 1: false when no level
// qualifies (then low, high and peak are left alone).
bool earthshine_band(std::span<const float> mean, std::span<const std::uint8_t> usable, int& low,
                     int& high, int& peak);

// True when (x, y), rounded to the nearest pixel, is an edge site or lies outside the frame.
bool is_edge_site(const NightSurvey& survey, double x, double y);

// The noise at (x, y) rounded: the root of the mean variance over the 3 x 3 pixels around it
// (those inside the frame), so that one pixel's estimate does not set a flash's strength alone.
double local_noise(const NightSurvey& survey, double x, double y);

// Per pixel, twice its mean rounded: the recording's negative mirrors each pixel about its own
// mean (make_mirrored_source), so that it keeps its level. The detector's time test is not
// symmetric in the level (its spread leaves out v / (N - 1) of the tested value), so the plain
// negative 255 - v, which moves a night-side pixel of 60 to 195, reports other numbers of noise
// events than the frames themselves.
std::vector<std::int16_t> mirror_centres(const NightSurvey& survey);
