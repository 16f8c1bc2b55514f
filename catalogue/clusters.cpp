#include "catalogue/clusters.h"

#include <cmath>
#include <cstddef>

std::vector<PixelCluster> compact_clusters(std::span<const PixelPosition> pixels) {
  // Each pixel's cluster, found by spreading from the first pixel not yet taken (at most 100
  // pixels a frame, so the quadratic pass is cheap).
  const std::size_t n = pixels.size();
  std::vector<int> cluster_of(n, -1);
  std::vector<PixelCluster> clusters;
  std::vector<std::size_t> pending;
  for (std::size_t start = 0; start < n; ++start) {
    if (cluster_of[start] >= 0) continue;
    const int id = static_cast<int>(clusters.size());
    PixelCluster c;
    double sum_x = 0.0;
    double sum_y = 0.0;
    cluster_of[start] = id;
    pending.assign(1, start);
    while (!pending.empty()) {
      const std::size_t i = pending.back();
      pending.pop_back();
      sum_x += pixels[i].x;
      sum_y += pixels[i].y;
      ++c.pixels;
      for (std::size_t j = 0; j < n; ++j) {
        if (cluster_of[j] >= 0) continue;
        if (std::hypot(pixels[j].x - pixels[i].x, pixels[j].y - pixels[i].y) <= kClusterLink) {
          cluster_of[j] = id;
          pending.push_back(j);
        }
      }
    }
    c.x = sum_x / c.pixels;
    c.y = sum_y / c.pixels;
    clusters.push_back(c);
  }
  return clusters;
}
