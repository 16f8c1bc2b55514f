// Compact clusters of a frame's confirmed pixels: pixels are joined when they lie within
// kClusterLink pixels of one another, directly or through other pixels of the cluster. A flash
// gives one cluster however many of its pixels are confirmed (neighbours, or every other row of
// one field); two flashes, or a flash and a glint, in one frame give two. Pure computation.
#pragma once

#include <span>
#include <vector>

#include "detection/flash_detector.h"

// Largest gap, in pixels, between two pixels of one cluster: the diameter of the aperture an
// event is measured in, so clusters further apart are measured on pixels of their own.
inline constexpr double kClusterLink = 6.0;

struct PixelCluster {
  double x = 0.0;  // mean position of its pixels
  double y = 0.0;
  int pixels = 0;
};

// The clusters of `pixels`, in the order of their first pixel in the list.
std::vector<PixelCluster> compact_clusters(std::span<const PixelPosition> pixels);
