// The per-frame flash detector: temporal test from the running sums, neighbourhood confirmation,
// boxes in marked_frame, and the cluster test on the confirmed pixels.
#pragma once

#include <cstdint>
#include <span>

#include "control/settings.h"
#include "detection/frame_ring.h"
#include "imaging/frame_files.h"

// The nine measured values, in the column order of flash_info.dat. Never cleared between calls:
// a field keeps the value of the last pixel that reached its writing step.
struct FlashMeasurement {
  float sample = 0.0f;
  float line = 0.0f;
  float scatter = 0.0f;
  float bckgrnd = 0.0f;
  float bckgrnd_sigma = 0.0f;
  float signal = 0.0f;
  float time_back = 0.0f;
  float time_sigma = 0.0f;
  float time_signal = 0.0f;
};

// Tests the frame in `target_slot`: rebuilds `marked_frame` (frame_pixels bytes) as that frame
// with a 21x21 box outline round every confirmed pixel, sets `flash_count` (0 to 100) and
// updates `measurement`. Answers 1 when at least one pixel was confirmed and their scatter is at
// most Flash_sd_sep, else 0 (flash_count then 0). Borders below the reads' needs are narrowed,
// so nothing outside the ring or the sums is read for any settings.
int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement);
