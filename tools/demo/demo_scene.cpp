#include "demo_scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "demo_random.h"

namespace demo {
namespace {

// Smooth random field with features about `cell` pixels across, values in about [-1, 1].
struct ValueNoise {
  int columns = 0;
  int rows = 0;
  double cell = 1.0;
  std::vector<double> nodes;
};

ValueNoise make_value_noise(Rng& rng, int width, int height, double cell) {
  ValueNoise noise;
  noise.cell = cell;
  noise.columns = static_cast<int>(width / cell) + 3;
  noise.rows = static_cast<int>(height / cell) + 3;
  noise.nodes.resize(static_cast<std::size_t>(noise.columns) * noise.rows);
  for (double& node : noise.nodes) node = uniform(rng, -1.0, 1.0);
  return noise;
}

double smooth(double t) {
  return t * t * (3.0 - 2.0 * t);
}

double sample_noise(const ValueNoise& noise, double x, double y) {
  const double gx = x / noise.cell;
  const double gy = y / noise.cell;
  const int ix = std::clamp(static_cast<int>(std::floor(gx)), 0, noise.columns - 2);
  const int iy = std::clamp(static_cast<int>(std::floor(gy)), 0, noise.rows - 2);
  const double fx = smooth(std::clamp(gx - ix, 0.0, 1.0));
  const double fy = smooth(std::clamp(gy - iy, 0.0, 1.0));
  const auto at = [&](int cx, int cy) {
    return noise.nodes[static_cast<std::size_t>(cy) * noise.columns + cx];
  };
  const double top = at(ix, iy) + (at(ix + 1, iy) - at(ix, iy)) * fx;
  const double bottom = at(ix, iy + 1) + (at(ix + 1, iy + 1) - at(ix, iy + 1)) * fx;
  return top + (bottom - top) * fy;
}

double smoothstep(double edge0, double edge1, double x) {
  return smooth(std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0));
}

struct Crater {
  double x, y, r;
};

// The Moon's disc: its centre lies far to the right, so the night-side limb crosses the left part
// of the frame.
struct Disc {
  double centre_x = 0.0;
  double centre_y = 0.0;
  double radius = 0.0;
};

Disc make_disc(int w, int h) {
  Disc disc;
  disc.centre_x = 1.53 * w;
  disc.centre_y = 0.57 * h;
  disc.radius = disc.centre_x - 0.14 * w;
  return disc;
}

// The random fields behind the surface, drawn in this order from the scene's stream.
struct Surface {
  ValueNoise maria;
  ValueNoise regions;
  ValueNoise texture;
  ValueNoise grain;
  ValueNoise jag;  // the terminator's ragged line
  std::vector<Crater> craters;
};

Surface make_surface(Rng& rng, int w, int h) {
  Surface s;
  s.maria = make_value_noise(rng, w, h, w / 2.5);
  s.regions = make_value_noise(rng, 2 * w, 2 * h, w / 6.0);
  s.texture = make_value_noise(rng, w, h, 18.0);
  s.grain = make_value_noise(rng, w, h, 5.0);
  s.jag = make_value_noise(rng, w, 3 * h, 9.0);
  s.craters.resize(static_cast<std::size_t>(w) * h / 8000);
  for (Crater& c : s.craters) {
    c.x = uniform(rng, 0.0, w);
    c.y = uniform(rng, 0.0, h);
    c.r = 3.0 * std::pow(8.0, uniform01(rng));  // 3 to 24 pixels, small ones commonest
  }
  return s;
}

// Column of the terminator in stored row y: the sunlit crescent lies to its right.
double terminator_column(const ValueNoise& jag, int w, int h, double y) {
  const double v = y / h - 0.1;
  return w * (0.80 + 0.35 * v * v) + 4.0 * sample_noise(jag, 0.0, y) +
         3.0 * sample_noise(jag, 40.0, 2.7 * y);
}

// Albedo of row y before craters: maria against highlands, with texture and grain.
void albedo_row(const Surface& s, int w, int y, std::vector<double>& albedo) {
  for (int x = 0; x < w; ++x) {
    // The second layer runs on turned axes so that the maria's edges follow no grid.
    const double broad =
        0.7 * sample_noise(s.maria, x, y) +
        0.3 * sample_noise(s.regions, 0.8 * x + 0.6 * y, 0.6 * w - 0.6 * x + 0.8 * y);
    double a = 0.55 + 0.45 * smoothstep(-0.15, 0.15, broad);
    a *= 1.0 + 0.08 * sample_noise(s.texture, x, y) + 0.05 * sample_noise(s.grain, x, y);
    albedo[x] = a;
  }
}

// Darkens crater floors and brightens their rims in the albedo of row y.
void add_craters(const std::vector<Crater>& craters, int w, int y, std::vector<double>& albedo) {
  for (const Crater& c : craters) {
    if (std::abs(y - c.y) > 1.5 * c.r) continue;
    const int x0 = std::max(0, static_cast<int>(c.x - 1.5 * c.r));
    const int x1 = std::min(w - 1, static_cast<int>(c.x + 1.5 * c.r));
    for (int x = x0; x <= x1; ++x) {
      const double r = std::hypot(x - c.x, y - c.y) / c.r;
      const double rim = 0.14 * std::exp(-(r - 1.0) * (r - 1.0) / 0.02);
      albedo[x] *= 1.0 + rim - (r < 1.0 ? 0.08 : 0.0);
    }
  }
}

// Light and night mask of row y, from its albedo and the terminator's column `term`.
void light_row(const Disc& disc, double term, int y, const std::vector<double>& albedo,
               Scene& scene) {
  const double earthshine = 52.0;  // grey levels of an average highland
  // Sunlight grows with the Sun's height, about in proportion to the distance from the
  // terminator: 14 grey levels per pixel saturates a camera set for earthshine within 20 pixels.
  const double sunlit_slope = 14.0;
  const double sky = 1.2;
  const int w = scene.width;
  const int h = scene.height;
  for (int x = 0; x < w; ++x) {
    const double from_centre = std::hypot(x - disc.centre_x, y - disc.centre_y);
    const double cover = std::clamp(disc.radius - from_centre + 0.5, 0.0, 1.0);
    const double mu =
        std::sqrt(std::max(0.0, 1.0 - (from_centre / disc.radius) * (from_centre / disc.radius)));
    const double night_side = earthshine * albedo[x] * (0.85 + 0.15 * mu);
    const double day_side = sunlit_slope * albedo[x] * std::clamp(x - term, 0.0, 100.0);
    const double behind = std::max(0.0, term - x);
    const double glare = 16.0 * std::exp(-behind / 60.0) + 5.0 * std::exp(-behind / 250.0);
    const std::size_t at = static_cast<std::size_t>(y) * w + x;
    scene.light[at] = static_cast<float>(sky + glare + cover * (night_side + day_side));
    const bool clear = from_centre < disc.radius - 15.0 && x < term - 30.0 && x >= 12 &&
                       x < w - 12 && y >= 12 && y < h - 12;
    scene.night[at] = clear ? 1 : 0;
  }
}

std::vector<double> gaussian_kernel(double sigma) {
  const int radius = static_cast<int>(std::ceil(3.0 * sigma));
  std::vector<double> kernel(2 * radius + 1);
  double total = 0.0;
  for (int i = -radius; i <= radius; ++i) {
    kernel[i + radius] = std::exp(-(i * i) / (2.0 * sigma * sigma));
    total += kernel[i + radius];
  }
  for (double& k : kernel) k /= total;
  return kernel;
}

// One pass of a separable blur: `to` at (x, y) is the kernel's sum over `from` along the row
// (`along_rows`) or along the column, edges clamped.
void blur_pass(const std::vector<double>& kernel, const std::vector<float>& from,
               std::vector<float>& to, int width, int height, bool along_rows) {
  const int radius = static_cast<int>(kernel.size() / 2);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      for (int i = -radius; i <= radius; ++i) {
        const int sx = along_rows ? std::clamp(x + i, 0, width - 1) : x;
        const int sy = along_rows ? y : std::clamp(y + i, 0, height - 1);
        sum += kernel[i + radius] * from[static_cast<std::size_t>(sy) * width + sx];
      }
      to[static_cast<std::size_t>(y) * width + x] = static_cast<float>(sum);
    }
  }
}

// Gaussian blur (standard deviation `sigma` pixels) of `image`, edges clamped.
void blur(std::vector<float>& image, int width, int height, double sigma) {
  const std::vector<double> kernel = gaussian_kernel(sigma);
  std::vector<float> pass(image.size());
  blur_pass(kernel, image, pass, width, height, true);
  blur_pass(kernel, pass, image, width, height, false);
}

// A few hot pixels of the sensor: bright in every frame, so never a change in time.
void add_hot_pixels(Rng& rng, Scene& scene) {
  const std::size_t pixels = scene.hot_pixel_gain.size();
  const int hot = std::max(1, static_cast<int>(pixels / 50000));
  for (int i = 0; i < hot; ++i) {
    const std::size_t at = static_cast<std::size_t>(uniform_index(rng, static_cast<int>(pixels)));
    scene.hot_pixel_gain[at] = static_cast<float>(uniform(rng, 40.0, 150.0));
  }
}

}  // namespace

Scene make_scene(int width, int height, std::uint64_t seed) {
  Rng rng(stream_seed(seed, 0));
  Scene scene;
  scene.width = width;
  scene.height = height;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  scene.light.assign(pixels, 0.0f);
  scene.night.assign(pixels, 0);
  scene.hot_pixel_gain.assign(pixels, 0.0f);

  const Disc disc = make_disc(width, height);
  const Surface surface = make_surface(rng, width, height);
  std::vector<double> albedo(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    const double term = terminator_column(surface.jag, width, height, y);
    albedo_row(surface, width, y, albedo);
    add_craters(surface.craters, width, y, albedo);
    light_row(disc, term, y, albedo, scene);
  }
  blur(scene.light, width, height, 1.1);  // the seeing disc
  add_hot_pixels(rng, scene);
  return scene;
}

bool is_night(const Scene& scene, double x, double y) {
  const long ix = std::lround(x);
  const long iy = std::lround(y);
  if (ix < 0 || iy < 0 || ix >= scene.width || iy >= scene.height) return false;
  return scene.night[static_cast<std::size_t>(iy) * scene.width + ix] != 0;
}

}  // namespace demo
