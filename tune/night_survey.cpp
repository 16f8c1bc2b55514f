#include "tune/night_survey.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

namespace {

std::size_t index_of(int x, int y, int width) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
         static_cast<std::size_t>(x);
}

// Pixels within `reach` (a square) of a marked pixel of `marks`, marked in place: a maximum
// filter, rows then columns.
void widen(std::vector<std::uint8_t>& marks, int width, int height, int reach) {
  std::vector<std::uint8_t> rows(marks.size(), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (marks[index_of(x, y, width)] == 0) continue;
      for (int dx = std::max(0, x - reach); dx <= std::min(width - 1, x + reach); ++dx) {
        rows[index_of(dx, y, width)] = 1;
      }
    }
  }
  std::fill(marks.begin(), marks.end(), std::uint8_t{0});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (rows[index_of(x, y, width)] == 0) continue;
      for (int dy = std::max(0, y - reach); dy <= std::min(height - 1, y + reach); ++dy) {
        marks[index_of(x, dy, width)] = 1;
      }
    }
  }
}

// The edge map from the mean and brightest frames.
void mark_edges(NightSurvey& s) {
  const int w = s.geometry.image_width;
  const int h = s.geometry.image_height;
  std::vector<std::uint8_t> steep(s.mean.size(), 0);
  std::vector<std::uint8_t> saturated(s.mean.size(), 0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const std::size_t at = index_of(x, y, w);
      saturated[at] = s.brightest[at] >= kSaturatedLevel ? 1 : 0;
      double gradient = 0.0;
      if (x > 0 && x + 1 < w) {
        gradient = std::abs(s.mean[at + 1] - s.mean[at - 1]) / 2.0;
      }
      if (y > 0 && y + 1 < h) {
        const double vertical =
            std::abs(s.mean[index_of(x, y + 1, w)] - s.mean[index_of(x, y - 1, w)]) / 2.0;
        gradient = std::max(gradient, vertical);
      }
      steep[at] = gradient >= kEdgeGradient ? 1 : 0;
    }
  }
  widen(steep, w, h, kGradientReach);
  widen(saturated, w, h, kSaturationReach);
  s.edge.assign(s.mean.size(), 0);
  for (std::size_t i = 0; i < s.edge.size(); ++i) s.edge[i] = steep[i] | saturated[i];
}

void mark_night(NightSurvey& s, const ScanBorders& borders,
                const std::vector<std::uint8_t>* site_mask, std::span<const std::uint8_t> scanned) {
  const int w = s.geometry.image_width;
  const int h = s.geometry.image_height;
  // Pixels a flash could be seen on at all: inside the borders, tested by the detector, never
  // saturated, no edge site.
  std::vector<std::uint8_t> usable(s.mean.size(), 0);
  s.tested_pixels = 0;
  for (int y = borders.top; y < h - borders.bottom; ++y) {
    for (int x = borders.left; x < w - borders.right; ++x) {
      const std::size_t at = index_of(x, y, w);
      if (scanned.size() == s.mean.size() && scanned[at] == 0) continue;  // masked by the user
      if (!(s.mean[at] > kLowestNight) || !(s.mean[at] < kHighestNight)) continue;
      ++s.tested_pixels;
      if (s.edge[at] != 0 || s.brightest[at] >= kSaturatedLevel) continue;
      usable[at] = 1;
    }
  }
  s.night.assign(s.mean.size(), 0);
  s.night_pixels = 0;
  s.from_mask = site_mask != nullptr && site_mask->size() == s.mean.size();
  int low = 0;
  int high = -1;
  if (!s.from_mask && earthshine_band(s.mean, usable, low, high, s.earthshine_peak)) {
    s.earthshine_low = low;
    s.earthshine_high = high;
  }
  std::vector<float> noise;
  for (std::size_t at = 0; at < usable.size(); ++at) {
    if (usable[at] == 0) continue;
    if (s.from_mask) {
      if ((*site_mask)[at] == 0) continue;
    } else {
      const long level = std::lround(s.mean[at]);
      if (level < low || level > high) continue;
    }
    s.night[at] = 1;
    ++s.night_pixels;
    noise.push_back(s.noise[at]);
  }
  if (noise.empty()) return;
  const auto at_fraction = [&noise](double fraction) {
    const auto k = static_cast<std::size_t>(fraction * static_cast<double>(noise.size() - 1));
    std::nth_element(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(k), noise.end());
    return static_cast<double>(noise[k]);
  };
  s.noise_median = at_fraction(0.5);
  s.noise_low = at_fraction(0.1);
  s.noise_high = at_fraction(0.9);
}

}  // namespace

bool earthshine_band(std::span<const float> mean, std::span<const std::uint8_t> usable, int& low,
                     int& high, int& peak) {
  std::array<double, 256> counts{};
  for (std::size_t i = 0; i < mean.size() && i < usable.size(); ++i) {
    if (usable[i] == 0) continue;
    const long level = std::lround(std::clamp(static_cast<double>(mean[i]), 0.0, 255.0));
    counts[static_cast<std::size_t>(level)] += 1.0;
  }
  // Smoothed over kHistogramSmoothing levels, only the levels the detector tests.
  const int first = static_cast<int>(kLowestNight) + 1;
  const int last = static_cast<int>(kHighestNight) - 1;
  std::array<double, 256> smooth{};
  const int half = kHistogramSmoothing / 2;
  double highest = 0.0;
  for (int v = first; v <= last; ++v) {
    for (int k = std::max(first, v - half); k <= std::min(last, v + half); ++k) {
      smooth[static_cast<std::size_t>(v)] += counts[static_cast<std::size_t>(k)];
    }
    highest = std::max(highest, smooth[static_cast<std::size_t>(v)]);
  }
  if (!(highest > 0.0)) return false;
  int top = -1;
  for (int v = first; v <= last && top < 0; ++v) {
    const double here = smooth[static_cast<std::size_t>(v)];
    const double below = v > first ? smooth[static_cast<std::size_t>(v - 1)] : 0.0;
    // A plateau counts from its first level; the level after it must not rise.
    int after = v + 1;
    while (after <= last && smooth[static_cast<std::size_t>(after)] == here) ++after;
    const double above = after <= last ? smooth[static_cast<std::size_t>(after)] : 0.0;
    if (here >= kLeastPeakShare * highest && here > below && here >= above) top = v;
  }
  if (top < 0) return false;
  const double floor = kBandFloor * smooth[static_cast<std::size_t>(top)];
  int lo = top;
  while (lo > first && smooth[static_cast<std::size_t>(lo - 1)] >= floor) --lo;
  int hi = top;
  while (hi < last && smooth[static_cast<std::size_t>(hi + 1)] >= floor) ++hi;
  low = lo;
  high = hi;
  peak = top;
  return true;
}

bool survey_night(FrameSource& source, int ring_frames, const ScanBorders& borders, NightSurvey& s,
                  std::vector<std::string>& warnings, const std::vector<std::uint8_t>* site_mask,
                  std::span<const std::uint8_t> scanned, std::string* error) {
  s = NightSurvey{};
  s.geometry = source.geometry();
  const auto pixels = static_cast<std::size_t>(s.geometry.frame_pixels);
  std::vector<std::uint8_t> frame;
  std::vector<std::uint8_t> previous;
  std::vector<double> sum;       // over the whole survey
  std::vector<double> ring_sum;  // over the current ring
  std::vector<double> ring_sq;   // squares over the current ring
  std::vector<double> variance;  // summed over the whole rings
  try {
    frame.assign(pixels, 0);
    previous.assign(pixels, 0);
    sum.assign(pixels, 0.0);
    ring_sum.assign(pixels, 0.0);
    ring_sq.assign(pixels, 0.0);
    variance.assign(pixels, 0.0);
    s.brightest.assign(pixels, 0);
    s.mean.assign(pixels, 0.0f);
    s.noise.assign(pixels, 0.0f);
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the survey maps for frames of " +
             std::to_string(s.geometry.image_width) + " x " +
             std::to_string(s.geometry.image_height) + " pixels (about 50 bytes a pixel)";
    return false;
  }
  int rings = 0;
  int in_ring = 0;
  for (;;) {
    const FrameRead read = source.read_next(frame);
    if (!read.warning.empty() &&
        std::find(warnings.begin(), warnings.end(), read.warning) == warnings.end()) {
      warnings.push_back(read.warning);
    }
    if (read.status == FrameStatus::failed) {
      *error = read.reason;
      return false;
    }
    if (read.status == FrameStatus::end) break;
    // A short frame is completed from the frame before, as the run does.
    std::copy(previous.begin() + static_cast<std::ptrdiff_t>(std::min(read.bytes, pixels)),
              previous.end(),
              frame.begin() + static_cast<std::ptrdiff_t>(std::min(read.bytes, pixels)));
    ++s.frames;
    if (rings < kSurveyRings) {
      for (std::size_t i = 0; i < pixels; ++i) {
        const double v = frame[i];
        ring_sum[i] += v;
        ring_sq[i] += v * v;
        s.brightest[i] = std::max(s.brightest[i], frame[i]);
      }
      if (++in_ring == ring_frames) {
        const double n = ring_frames;
        for (std::size_t i = 0; i < pixels; ++i) {
          variance[i] += std::max(0.0, (ring_sq[i] - ring_sum[i] * ring_sum[i] / n) / (n - 1.0));
          sum[i] += ring_sum[i];
        }
        std::fill(ring_sum.begin(), ring_sum.end(), 0.0);
        std::fill(ring_sq.begin(), ring_sq.end(), 0.0);
        in_ring = 0;
        ++rings;
      }
    }
    frame.swap(previous);
  }
  if (rings == 0 || ring_frames < 2) {
    *error = "holds " + std::to_string(s.frames) + " frames, fewer than the " +
             std::to_string(ring_frames) +
             " of Images_in_buffer: the detector cannot fill its ring and tests no frame";
    return false;
  }
  s.surveyed = rings * ring_frames;
  for (std::size_t i = 0; i < pixels; ++i) {
    s.mean[i] = static_cast<float>(sum[i] / s.surveyed);
    s.noise[i] = static_cast<float>(std::sqrt(variance[i] / rings));
  }
  if (s.frames > 1) {
    const FrameTime first = source.frame_time(0);
    const FrameTime last = source.frame_time(s.frames - 1);
    if (first.known && last.known && last.seconds > first.seconds) {
      s.frame_rate = static_cast<double>(s.frames - 1) / (last.seconds - first.seconds);
    }
  }
  mark_edges(s);
  if (scanned.size() == pixels) {
    s.scanned.assign(scanned.begin(), scanned.end());
    s.masked_pixels = std::count(scanned.begin(), scanned.end(), std::uint8_t{0});
  }
  mark_night(s, borders, site_mask, s.scanned);
  if (s.night_pixels == 0) {
    *error =
        "no night side to inject flashes into: no pixel inside the borders lies in the "
        "earthshine, never saturated, away from steep or saturated edges";
    return false;
  }
  return true;
}

bool is_edge_site(const NightSurvey& s, double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return true;
  const long long cx = std::llround(std::clamp(x, -1.0, 1e9));
  const long long cy = std::llround(std::clamp(y, -1.0, 1e9));
  if (cx < 0 || cy < 0 || cx >= s.geometry.image_width || cy >= s.geometry.image_height) {
    return true;
  }
  return s.edge[index_of(static_cast<int>(cx), static_cast<int>(cy), s.geometry.image_width)] != 0;
}

double local_noise(const NightSurvey& s, double x, double y) {
  const int w = s.geometry.image_width;
  const int h = s.geometry.image_height;
  const int cx = static_cast<int>(std::clamp<long long>(std::llround(x), 0, w - 1));
  const int cy = static_cast<int>(std::clamp<long long>(std::llround(y), 0, h - 1));
  double variance = 0.0;
  int count = 0;
  for (int py = std::max(0, cy - 1); py <= std::min(h - 1, cy + 1); ++py) {
    for (int px = std::max(0, cx - 1); px <= std::min(w - 1, cx + 1); ++px) {
      const double sd = s.noise[index_of(px, py, w)];
      variance += sd * sd;
      ++count;
    }
  }
  return std::sqrt(variance / count);
}

std::vector<std::int16_t> mirror_centres(const NightSurvey& s) {
  std::vector<std::int16_t> centres(s.mean.size());
  for (std::size_t i = 0; i < centres.size(); ++i) {
    centres[i] = static_cast<std::int16_t>(
        std::clamp<long>(std::lround(2.0 * static_cast<double>(s.mean[i])), 0, 510));
  }
  return centres;
}
