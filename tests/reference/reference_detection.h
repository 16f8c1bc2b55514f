// The straightforward rolling statistics and detector, kept as the oracle for the fast versions in
// detection/: four separate passes per frame (retire's two, admit's two), sum_sd dividing for
// every slot, and the exact temporal test computed for every scanned pixel and again for its
// right-hand neighbour. Every piece (the temporal test, the neighbourhood confirmation, the boxes,
// the cluster test) is written here from the detector's rules and shares no code with
// detection/, so a fault there shows as a difference; only its types are borrowed to compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/frame_geometry.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"

namespace reference {

void sum_average(const FrameRing& ring);
void sum_sd(const FrameRing& ring);
void recompute_statistics(const FrameRing& ring);
void retire_slot(const FrameRing& ring, int slot);
void admit_slot(const FrameRing& ring, int slot);

// The temporal test of pixel p of the frame in `target_slot`, as the detector applies it.
bool passes_temporal_test(const FrameRing& ring, int target_slot, std::size_t p,
                          const DetectionThresholds& thresholds);

// Every scanned pixel through the exact tests in scan order, no candidate map.
void flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                    const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
                    DetectionResult& result);

}  // namespace reference
