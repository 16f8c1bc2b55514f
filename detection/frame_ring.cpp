#include "detection/frame_ring.h"

// Filled in with the detection core.
bool fill_ring(const FrameRing&, std::span<std::uint8_t>, std::string&, std::vector<std::string>&) {
  return true;
}
void sum_average(const FrameRing&) {}
void sum_sd(const FrameRing&) {}
void recompute_statistics(const FrameRing&) {}
void retire_slot(const FrameRing&, int) {}
void admit_slot(const FrameRing&, int) {}
