// The straightforward rolling statistics and detector, kept as the oracle for the fast versions in
// detection/: four separate passes per frame (retire's two, admit's two), sum_sd dividing for
// every slot, and the exact temporal test computed for every scanned pixel and again for its
// right-hand neighbour. Same arguments and results as the library functions of the same names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "control/settings.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "imaging/frame_files.h"

namespace reference {

void sum_average(const FrameRing& ring);
void sum_sd(const FrameRing& ring);
void recompute_statistics(const FrameRing& ring);
void retire_slot(const FrameRing& ring, int slot);
void admit_slot(const FrameRing& ring, int slot);

// The temporal test of pixel p of the frame in `target_slot`, as the detector applies it.
bool passes_temporal_test(const FrameRing& ring, int target_slot, std::size_t p,
                          const DetectionSettings& settings);

int double_check(const FrameRing& ring, int x, int y, int target_slot, int image_width,
                 float neighbour_sd, float min_sd1, FlashMeasurement& measurement);
int flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                   const DetectionSettings& settings, std::span<std::uint8_t> marked_frame,
                   int& flash_count, FlashMeasurement& measurement);

}  // namespace reference
