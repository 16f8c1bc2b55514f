#include "detection/flash_detector.h"

// Filled in with the detection core.
int flash_detector(const FrameRing&, const FrameGeometry&, int, const DetectionSettings&,
                   std::span<std::uint8_t>, int& flash_count, FlashMeasurement&) {
  flash_count = 0;
  return 0;
}
