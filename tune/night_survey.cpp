#include "tune/night_survey.h"

#include <algorithm>
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

void mark_night(NightSurvey& s, const ScanBorders& borders) {
  const int w = s.geometry.image_width;
  const int h = s.geometry.image_height;
  s.night.assign(s.mean.size(), 0);
  s.night_pixels = 0;
  std::vector<float> noise;
  for (int y = borders.top; y < h - borders.bottom; ++y) {
    for (int x = borders.left; x < w - borders.right; ++x) {
      const std::size_t at = index_of(x, y, w);
      if (s.edge[at] != 0 || !(s.mean[at] > kLowestNight) || !(s.mean[at] < kHighestNight)) {
        continue;
      }
      s.night[at] = 1;
      ++s.night_pixels;
      noise.push_back(s.noise[at]);
    }
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

bool survey_night(FrameSource& source, int ring_frames, const ScanBorders& borders, NightSurvey& s,
                  std::vector<std::string>& warnings, std::string& error) {
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
    error = "cannot allocate the survey maps for frames of " +
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
      error = read.reason;
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
    error = "holds " + std::to_string(s.frames) + " frames, fewer than the " +
            std::to_string(ring_frames) +
            " of Images_in_buffer: the detector cannot fill its ring and tests no frame";
    return false;
  }
  s.surveyed = rings * ring_frames;
  for (std::size_t i = 0; i < pixels; ++i) {
    s.mean[i] = static_cast<float>(sum[i] / s.surveyed);
    s.noise[i] = static_cast<float>(std::sqrt(variance[i] / rings));
  }
  mark_edges(s);
  mark_night(s, borders);
  if (s.night_pixels == 0) {
    error =
        "no night side to inject flashes into: no pixel inside the borders has a mean "
        "between 5 and 250 grey levels away from steep or saturated edges";
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
