// Writes a synthetic recording of the Moon's night side in the frame layout VESK reads, with
// known events, so that a run can be scored against the truth.
//
// The scene: the night side lit faintly by earthshine, with broad dark maria and bright highlands,
// small craters and fine texture; part of the sunlit crescent (saturated) beyond a soft
// terminator, with scattered light around it; black sky beyond the limb. The camera adds read
// noise, shot noise and a few hot pixels; seeing shifts the whole scene by a fraction of a pixel
// from frame to frame and scintillation changes its brightness slightly. Stored row 0 is the top
// of the picture, the way VESK's report images show it.
//
// Events, listed in the truth file (CSV: frame,x,y,peak,width,kind; x = column, y = stored row,
// peak = grey levels above the scene at the centre, width = full width at half maximum):
//   flash       an impact flash: a Gaussian spot 2 to 5 pixels across on the night side
//   flash_fade  the second, fainter frame of a flash that fades over two frames
//   cosmic_ray  one pixel hit in one frame
//   hot_pixel   one pixel of the sensor flickering on for one frame
//   glint       a satellite glint: a point moving across the night side, one row per frame
// Events keep at least half the ring (Images_in_buffer / 2) frames apart and stay out of the
// last half ring, which VESK loads but never tests.
//
// Every value comes from std::mt19937_64 streams seeded from --seed, through distributions
// written out here (the standard library's own distributions differ between implementations),
// so a seed gives the same frames wherever it is built.
//
// Usage: make_demo_frames [--size WxH] [--frames N] [--seed S] [--flashes N] [--hits N]
//                         [--glints N] [--ring N] [--truth FILE] OUTDIR
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Options {
  int width = 720;
  int height = 576;
  int frames = 600;
  std::uint64_t seed = 1;
  int flashes = 12;
  int hits = 4;
  int glints = 1;
  int ring = 60;
  std::string out_dir;
  std::string truth_path;  // OUTDIR/truth.csv when empty
};

// ---- portable random numbers ----------------------------------------------------------------

using Rng = std::mt19937_64;

// Uniform in [0, 1), 53 random bits.
double uniform01(Rng& rng) {
  return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

double uniform(Rng& rng, double lo, double hi) {
  return lo + (hi - lo) * uniform01(rng);
}

// Uniform integer in [0, n), n > 0.
int uniform_index(Rng& rng, int n) {
  return static_cast<int>(uniform01(rng) * static_cast<double>(n));
}

// Standard normal values by the ziggurat method of Marsaglia and Tsang (128 layers), fast enough
// for one value per pixel; the layer index and the value come from separate bits of one draw.
struct Ziggurat {
  double k[128];  // acceptance bounds, scaled to 2^31
  double w[128];  // layer widths, scaled by 2^-31
  double f[128];  // density at the layer edges
};

Ziggurat make_ziggurat() {
  Ziggurat z;
  const double m = 2147483648.0;
  const double volume = 9.91256303526217e-3;
  double d = 3.442619855899;
  double t = d;
  const double q = volume / std::exp(-0.5 * d * d);
  z.k[0] = (d / q) * m;
  z.k[1] = 0.0;
  z.w[0] = q / m;
  z.w[127] = d / m;
  z.f[0] = 1.0;
  z.f[127] = std::exp(-0.5 * d * d);
  for (int i = 126; i >= 1; --i) {
    d = std::sqrt(-2.0 * std::log(volume / d + std::exp(-0.5 * d * d)));
    z.k[i + 1] = (d / t) * m;
    t = d;
    z.f[i] = std::exp(-0.5 * d * d);
    z.w[i] = d / m;
  }
  return z;
}

// Uniform in (0, 1), never 0, for the logarithms of the tail.
double uniform_open(Rng& rng) {
  return (static_cast<double>(rng() >> 11) + 0.5) * 0x1.0p-53;
}

double normal(const Ziggurat& z, Rng& rng) {
  constexpr double tail = 3.442619855899;
  for (;;) {
    const std::uint64_t bits = rng();
    const auto h = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
    const int i = static_cast<int>(bits & 127);
    const double x = h * z.w[i];
    if (std::abs(static_cast<double>(h)) < z.k[i]) return x;
    if (i == 0) {
      double tx = 0.0;
      double ty = 0.0;
      do {
        tx = -std::log(uniform_open(rng)) / tail;
        ty = -std::log(uniform_open(rng));
      } while (ty + ty < tx * tx);
      return h > 0 ? tail + tx : -tail - tx;
    }
    if (z.f[i] + uniform01(rng) * (z.f[i - 1] - z.f[i]) < std::exp(-0.5 * x * x)) return x;
  }
}

// A seed for stream `stream` of the run with seed `seed` (splitmix64 finaliser), so that frames
// and scene draw from independent streams.
std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + stream * 0xBF58476D1CE4E5B9ull + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// ---- the scene ----------------------------------------------------------------------------------

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

// The noiseless scene in grey levels, stored row 0 at the top of the picture, together with
// the places where the generator may put events (the night side, clear of limb, terminator and
// frame edges).
struct Scene {
  int width = 0;
  int height = 0;
  std::vector<float> light;           // width * height, before saturation
  std::vector<std::uint8_t> night;    // 1 where an event may be centred
  std::vector<float> hot_pixel_gain;  // width * height, dark current of hot pixels (mostly 0)
};

// Column of the terminator in stored row y: the sunlit crescent lies to its right.
double terminator_column(const Options& o, const ValueNoise& jag, double y) {
  const double v = y / o.height - 0.1;
  return o.width * (0.80 + 0.35 * v * v) + 4.0 * sample_noise(jag, 0.0, y) +
         3.0 * sample_noise(jag, 40.0, 2.7 * y);
}

// Gaussian blur (standard deviation `sigma` pixels) of `image`, edges clamped.
void blur(std::vector<float>& image, int width, int height, double sigma) {
  const int radius = static_cast<int>(std::ceil(3.0 * sigma));
  std::vector<double> kernel(2 * radius + 1);
  double total = 0.0;
  for (int i = -radius; i <= radius; ++i) {
    kernel[i + radius] = std::exp(-(i * i) / (2.0 * sigma * sigma));
    total += kernel[i + radius];
  }
  for (double& k : kernel) k /= total;
  std::vector<float> pass(image.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      for (int i = -radius; i <= radius; ++i) {
        const int sx = std::clamp(x + i, 0, width - 1);
        sum += kernel[i + radius] * image[static_cast<std::size_t>(y) * width + sx];
      }
      pass[static_cast<std::size_t>(y) * width + x] = static_cast<float>(sum);
    }
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      for (int i = -radius; i <= radius; ++i) {
        const int sy = std::clamp(y + i, 0, height - 1);
        sum += kernel[i + radius] * pass[static_cast<std::size_t>(sy) * width + x];
      }
      image[static_cast<std::size_t>(y) * width + x] = static_cast<float>(sum);
    }
  }
}

Scene make_scene(const Options& o) {
  Rng rng(stream_seed(o.seed, 0));
  const int w = o.width;
  const int h = o.height;
  Scene scene;
  scene.width = w;
  scene.height = h;
  const std::size_t pixels = static_cast<std::size_t>(w) * h;
  scene.light.assign(pixels, 0.0f);
  scene.night.assign(pixels, 0);
  scene.hot_pixel_gain.assign(pixels, 0.0f);

  // The Moon's disk: its centre lies far to the right, so the night-side limb crosses the left
  // part of the frame.
  const double centre_x = 1.53 * w;
  const double centre_y = 0.57 * h;
  const double radius = centre_x - 0.14 * w;

  const ValueNoise maria = make_value_noise(rng, w, h, w / 2.5);
  const ValueNoise regions = make_value_noise(rng, 2 * w, 2 * h, w / 6.0);
  const ValueNoise texture = make_value_noise(rng, w, h, 18.0);
  const ValueNoise grain = make_value_noise(rng, w, h, 5.0);
  const ValueNoise jag = make_value_noise(rng, w, 3 * h, 9.0);

  struct Crater {
    double x, y, r;
  };
  std::vector<Crater> craters(static_cast<std::size_t>(w) * h / 8000);
  for (Crater& c : craters) {
    c.x = uniform(rng, 0.0, w);
    c.y = uniform(rng, 0.0, h);
    c.r = 3.0 * std::pow(8.0, uniform01(rng));  // 3 to 24 pixels, small ones commonest
  }

  const double earthshine = 52.0;  // grey levels of an average highland
  // Sunlight grows with the Sun's height, about in proportion to the distance from the
  // terminator: 14 grey levels per pixel saturates a camera set for earthshine within 20 pixels.
  const double sunlit_slope = 14.0;
  std::vector<double> albedo(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    const double term = terminator_column(o, jag, y);
    for (int x = 0; x < w; ++x) {
      // The second layer runs on turned axes so that the maria's edges follow no grid.
      const double broad =
          0.7 * sample_noise(maria, x, y) +
          0.3 * sample_noise(regions, 0.8 * x + 0.6 * y, 0.6 * w - 0.6 * x + 0.8 * y);
      double a = 0.55 + 0.45 * smoothstep(-0.15, 0.15, broad);
      a *= 1.0 + 0.08 * sample_noise(texture, x, y) + 0.05 * sample_noise(grain, x, y);
      albedo[x] = a;
    }
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
    for (int x = 0; x < w; ++x) {
      const double from_centre = std::hypot(x - centre_x, y - centre_y);
      const double cover = std::clamp(radius - from_centre + 0.5, 0.0, 1.0);
      const double mu =
          std::sqrt(std::max(0.0, 1.0 - (from_centre / radius) * (from_centre / radius)));
      const double night_side = earthshine * albedo[x] * (0.85 + 0.15 * mu);
      const double day_side = sunlit_slope * albedo[x] * std::clamp(x - term, 0.0, 100.0);
      const double behind = std::max(0.0, term - x);
      const double glare = 16.0 * std::exp(-behind / 60.0) + 5.0 * std::exp(-behind / 250.0);
      const double sky = 1.2;
      const std::size_t at = static_cast<std::size_t>(y) * w + x;
      scene.light[at] = static_cast<float>(sky + glare + cover * (night_side + day_side));
      const bool clear = from_centre < radius - 15.0 && x < term - 30.0 && x >= 12 && x < w - 12 &&
                         y >= 12 && y < h - 12;
      scene.night[at] = clear ? 1 : 0;
    }
  }
  blur(scene.light, w, h, 1.1);  // the seeing disk

  // A few hot pixels of the sensor: bright in every frame, so never a change in time.
  const int hot = std::max(1, static_cast<int>(pixels / 50000));
  for (int i = 0; i < hot; ++i) {
    const std::size_t at = static_cast<std::size_t>(uniform_index(rng, static_cast<int>(pixels)));
    scene.hot_pixel_gain[at] = static_cast<float>(uniform(rng, 40.0, 150.0));
  }
  return scene;
}

// ---- events -----------------------------------------------------------------------------------

enum class Kind { Flash, FlashFade, CosmicRay, HotPixel, Glint };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Flash:
      return "flash";
    case Kind::FlashFade:
      return "flash_fade";
    case Kind::CosmicRay:
      return "cosmic_ray";
    case Kind::HotPixel:
      return "hot_pixel";
    case Kind::Glint:
      return "glint";
  }
  return "";
}

// One event in one frame; x is the column, y the stored row. A width of 0 means
// a single sensor pixel at (x, y), untouched by seeing.
struct Spot {
  int frame = 0;
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double width = 0.0;
  Kind kind = Kind::Flash;
};

struct PlannedEvent {
  Kind kind;
  int duration;
};

// A random place on the night side clear of everything else.
bool pick_night_site(const Scene& scene, Rng& rng, double& x, double& y) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    x = uniform(rng, 0.0, scene.width - 1.0);
    y = uniform(rng, 0.0, scene.height - 1.0);
    const std::size_t at = static_cast<std::size_t>(std::lround(y)) * scene.width +
                           static_cast<std::size_t>(std::lround(x));
    if (scene.night[at] != 0) return true;
  }
  return false;
}

bool is_night(const Scene& scene, double x, double y) {
  const long ix = std::lround(x);
  const long iy = std::lround(y);
  if (ix < 0 || iy < 0 || ix >= scene.width || iy >= scene.height) return false;
  return scene.night[static_cast<std::size_t>(iy) * scene.width + ix] != 0;
}

// Places the events in time and space. False with `error` when they do not fit.
bool plan_events(const Options& o, const Scene& scene, std::vector<Spot>& spots,
                 std::string& error) {
  Rng rng(stream_seed(o.seed, 1));
  std::vector<PlannedEvent> events;
  for (int i = 0; i < o.flashes; ++i) {
    events.push_back({Kind::Flash, uniform01(rng) < 0.35 ? 2 : 1});
  }
  for (int i = 0; i < o.hits; ++i) {
    events.push_back({i % 2 == 0 ? Kind::CosmicRay : Kind::HotPixel, 1});
  }
  for (int i = 0; i < o.glints; ++i) events.push_back({Kind::Glint, 4 + uniform_index(rng, 3)});
  for (std::size_t i = events.size(); i > 1; --i) {
    std::swap(events[i - 1], events[uniform_index(rng, static_cast<int>(i))]);
  }

  // Frames 1 .. frames - 1 - ring / 2 are tested; successive events keep ring / 2 frames apart.
  const int gap = o.ring / 2;
  const int first = 1;
  const int last = o.frames - 1 - gap;
  const long span = static_cast<long>(last) - first + 1;
  long need = 0;
  for (const PlannedEvent& e : events) need += e.duration - 1;
  if (!events.empty()) need += static_cast<long>(events.size() - 1) * gap + 1;
  if (need > span) {
    error = std::to_string(events.size()) + " events " + std::to_string(gap) +
            " frames apart need " + std::to_string(need + gap + first) + " frames; --frames " +
            std::to_string(o.frames) + " is too few";
    return false;
  }
  std::vector<long> offsets(events.size());
  for (long& offset : offsets) offset = uniform_index(rng, static_cast<int>(span - need + 1));
  std::sort(offsets.begin(), offsets.end());

  long start = first;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const PlannedEvent& e = events[i];
    const int frame = static_cast<int>(start + offsets[i]);
    start += e.duration - 1 + gap;
    double x = 0.0;
    double y = 0.0;
    switch (e.kind) {
      case Kind::Flash: {
        if (!pick_night_site(scene, rng, x, y)) break;
        const double peak =
            15.0 * std::pow(20.0, uniform01(rng));  // 15 to 300, faint ones commonest
        const double width = uniform(rng, 2.0, 5.0);
        spots.push_back({frame, x, y, peak, width, Kind::Flash});
        if (e.duration == 2) {
          spots.push_back({frame + 1, x, y, peak * uniform(rng, 0.2, 0.5), width, Kind::FlashFade});
        }
        break;
      }
      case Kind::CosmicRay:
      case Kind::HotPixel: {
        if (!pick_night_site(scene, rng, x, y)) break;
        spots.push_back(
            {frame, std::round(x), std::round(y), uniform(rng, 60.0, 220.0), 0.0, e.kind});
        break;
      }
      case Kind::Glint: {
        // A straight path at 6 to 15 pixels per frame, wholly over the night side.
        const double speed = uniform(rng, 6.0, 15.0);
        const double angle = uniform(rng, 0.0, 2.0 * kPi);
        const double vx = speed * std::cos(angle);
        const double vy = speed * std::sin(angle);
        bool placed = false;
        for (int attempt = 0; attempt < 1000 && !placed; ++attempt) {
          if (!pick_night_site(scene, rng, x, y)) break;
          placed = is_night(scene, x + vx * (e.duration - 1), y + vy * (e.duration - 1));
        }
        if (!placed) break;
        const double peak = uniform(rng, 70.0, 160.0);
        for (int k = 0; k < e.duration; ++k) {
          spots.push_back(
              {frame + k, x + vx * k, y + vy * k, peak * uniform(rng, 0.7, 1.0), 2.2, Kind::Glint});
        }
        break;
      }
      case Kind::FlashFade:
        break;
    }
  }
  if (spots.empty() && !events.empty()) {
    error = "no room for events on the night side of a " + std::to_string(o.width) + "x" +
            std::to_string(o.height) + " frame";
    return false;
  }
  std::stable_sort(spots.begin(), spots.end(),
                   [](const Spot& a, const Spot& b) { return a.frame < b.frame; });
  return true;
}

// ---- frames -----------------------------------------------------------------------------------

// Adds a Gaussian spot of full width at half maximum `width` and centre value `peak` at (x, y).
void add_gaussian(std::vector<float>& light, int w, int h, double x, double y, double peak,
                  double width) {
  const double sigma = width / 2.3548200450309493;
  const int radius = static_cast<int>(std::ceil(4.0 * sigma));
  const int cx = static_cast<int>(std::lround(x));
  const int cy = static_cast<int>(std::lround(y));
  for (int py = std::max(0, cy - radius); py <= std::min(h - 1, cy + radius); ++py) {
    for (int px = std::max(0, cx - radius); px <= std::min(w - 1, cx + radius); ++px) {
      const double r2 = (px - x) * (px - x) + (py - y) * (py - y);
      light[static_cast<std::size_t>(py) * w + px] +=
          static_cast<float>(peak * std::exp(-r2 / (2.0 * sigma * sigma)));
    }
  }
}

// Camera noise: read noise 1.6 grey levels, shot noise of 12 electrons per grey level.
std::vector<float> noise_table() {
  std::vector<float> sd(1024);
  for (std::size_t level = 0; level < sd.size(); ++level) {
    sd[level] = static_cast<float>(std::sqrt(1.6 * 1.6 + static_cast<double>(level) / 12.0));
  }
  return sd;
}

// Renders frame `frame` into `payload`, stored row 0 (the top of the picture, as VESK's report
// images show it) first. `light` is scratch of the scene's size.
void render_frame(const Options& o, const Scene& scene, std::span<const Spot> spots, int frame,
                  const Ziggurat& zig, const std::vector<float>& noise_sd,
                  std::vector<float>& light, std::span<std::uint8_t> payload) {
  const int w = scene.width;
  const int h = scene.height;
  Rng rng(stream_seed(o.seed, 1000 + static_cast<std::uint64_t>(frame)));
  // Seeing: the scene moves by a fraction of a pixel; scintillation scales it by a few percent.
  const double shift_x = 0.25 * normal(zig, rng);
  const double shift_y = 0.25 * normal(zig, rng);
  const double gain = 1.0 + 0.015 * normal(zig, rng);

  const int ix = static_cast<int>(std::floor(shift_x));
  const int iy = static_cast<int>(std::floor(shift_y));
  const double fx = shift_x - ix;
  const double fy = shift_y - iy;
  const float w00 = static_cast<float>(gain * (1 - fx) * (1 - fy));
  const float w10 = static_cast<float>(gain * fx * (1 - fy));
  const float w01 = static_cast<float>(gain * (1 - fx) * fy);
  const float w11 = static_cast<float>(gain * fx * fy);
  for (int y = 0; y < h; ++y) {
    const std::size_t row0 = static_cast<std::size_t>(std::clamp(y + iy, 0, h - 1)) * w;
    const std::size_t row1 = static_cast<std::size_t>(std::clamp(y + iy + 1, 0, h - 1)) * w;
    float* out = &light[static_cast<std::size_t>(y) * w];
    const float* a = &scene.light[row0];
    const float* b = &scene.light[row1];
    for (int x = 0; x < w; ++x) {
      const int x0 = std::clamp(x + ix, 0, w - 1);
      const int x1 = std::clamp(x + ix + 1, 0, w - 1);
      out[x] = w00 * a[x0] + w10 * a[x1] + w01 * b[x0] + w11 * b[x1];
    }
  }
  for (const Spot& spot : spots) {
    if (spot.frame != frame) continue;
    if (spot.width == 0.0) {
      light[static_cast<std::size_t>(spot.y) * w + static_cast<std::size_t>(spot.x)] +=
          static_cast<float>(spot.peak);
    } else {
      // Light from the Moon moves with the seeing like the rest of the scene.
      add_gaussian(light, w, h, spot.x - shift_x, spot.y - shift_y, gain * spot.peak, spot.width);
    }
  }
  for (int y = 0; y < h; ++y) {
    const std::size_t row = static_cast<std::size_t>(y) * w;
    std::uint8_t* out = &payload[row];
    for (int x = 0; x < w; ++x) {
      const float signal = light[row + x] + scene.hot_pixel_gain[row + x];
      const int level = std::clamp(static_cast<int>(signal), 0, 1023);
      const double value = signal + noise_sd[static_cast<std::size_t>(level)] * normal(zig, rng);
      out[x] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0) + 0.5);
    }
  }
}

// ---- files ------------------------------------------------------------------------------------

bool write_truth(const std::string& path, const std::vector<Spot>& spots, std::string& error) {
  FileHandle file = open_file(path.c_str(), "w", error);
  if (!file) return false;
  std::fprintf(file.get(), "frame,x,y,peak,width,kind\n");
  for (const Spot& s : spots) {
    std::fprintf(file.get(), "%d,%.2f,%.2f,%.1f,%.2f,%s\n", s.frame, s.x, s.y, s.peak,
                 s.width == 0.0 ? 1.0 : s.width, kind_name(s.kind));
  }
  return close_file(file, path.c_str(), error);
}

// Renders and writes frames first, first + step, ... of OUTDIR/BMP_RAW. False with `error` at
// the first file that cannot be written.
bool write_frames(const Options& o, const Scene& scene, const std::vector<Spot>& spots,
                  unsigned first, unsigned step, std::string& error) {
  const std::size_t pixels = static_cast<std::size_t>(o.width) * o.height;
  std::vector<std::uint8_t> bytes(kFrameHeaderBytes + pixels, 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  put_le32(bytes, 2, static_cast<std::int32_t>(bytes.size()));
  put_le32(bytes, 10, kFrameHeaderBytes);
  put_le32(bytes, 14, 40);
  put_le32(bytes, 18, o.width);
  put_le32(bytes, 22, o.height);
  bytes[26] = 1;  // planes
  bytes[28] = 8;  // bits per pixel
  put_le32(bytes, 34, static_cast<std::int32_t>(pixels));
  const std::vector<float> noise_sd = noise_table();
  const Ziggurat zig = make_ziggurat();
  std::vector<float> light(pixels);
  const std::span<std::uint8_t> payload(bytes.data() + kFrameHeaderBytes, pixels);
  for (int frame = static_cast<int>(first); frame < o.frames; frame += static_cast<int>(step)) {
    render_frame(o, scene, spots, frame, zig, noise_sd, light, payload);
    const std::string name = o.out_dir + "/" + numbered_file_name(kRawFramePattern, frame);
    FileHandle file = open_file(name.c_str(), "wb", error);
    if (!file || !write_bytes(file.get(), bytes, name.c_str(), error) ||
        !close_file(file, name.c_str(), error)) {
      return false;
    }
  }
  return true;
}

// ---- command line -----------------------------------------------------------------------------

bool parse_int(const char* text, long lo, long hi, const char* option, long& value,
               std::string& error) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < lo || value > hi) {
    error = std::string(option) + " " + text + ": need a whole number from " + std::to_string(lo) +
            " to " + std::to_string(hi);
    return false;
  }
  return true;
}

bool parse_options(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 2 || arg[0] != '-') {
      if (!o.out_dir.empty()) {
        error = arg + ": only one output folder may be given";
        return false;
      }
      o.out_dir = arg;
      continue;
    }
    if (i + 1 >= argc) {
      error = arg + ": needs a value";
      return false;
    }
    const char* value = argv[++i];
    long n = 0;
    if (arg == "--size") {
      const std::string text = value;
      const std::size_t cross = text.find('x');
      long w = 0;
      long h = 0;
      if (cross == std::string::npos ||
          !parse_int(text.substr(0, cross).c_str(), 160, 8192, "--size width", w, error) ||
          !parse_int(text.substr(cross + 1).c_str(), 120, 8192, "--size height", h, error)) {
        if (cross == std::string::npos) error = "--size " + text + ": need WIDTHxHEIGHT";
        return false;
      }
      o.width = static_cast<int>(w);
      o.height = static_cast<int>(h);
    } else if (arg == "--frames") {
      if (!parse_int(value, 3, 99999, "--frames", n, error)) return false;
      o.frames = static_cast<int>(n);
    } else if (arg == "--seed") {
      char* end = nullptr;
      errno = 0;
      o.seed = std::strtoull(value, &end, 10);
      if (end == value || *end != '\0' || errno != 0 || value[0] == '-') {
        error = std::string("--seed ") + value + ": need a whole number from 0";
        return false;
      }
    } else if (arg == "--flashes") {
      if (!parse_int(value, 0, 10000, "--flashes", n, error)) return false;
      o.flashes = static_cast<int>(n);
    } else if (arg == "--hits") {
      if (!parse_int(value, 0, 10000, "--hits", n, error)) return false;
      o.hits = static_cast<int>(n);
    } else if (arg == "--glints") {
      if (!parse_int(value, 0, 10000, "--glints", n, error)) return false;
      o.glints = static_cast<int>(n);
    } else if (arg == "--ring") {
      if (!parse_int(value, 3, 10000, "--ring", n, error)) return false;
      o.ring = static_cast<int>(n);
    } else if (arg == "--truth") {
      o.truth_path = value;
    } else {
      error = arg + ": unknown option";
      return false;
    }
  }
  if (o.out_dir.empty()) {
    error = "no output folder given";
    return false;
  }
  if (o.frames < o.ring) {
    error = "--frames " + std::to_string(o.frames) + ": VESK needs at least --ring " +
            std::to_string(o.ring) + " (Images_in_buffer) frames";
    return false;
  }
  if (o.truth_path.empty())
    o.truth_path = (std::filesystem::path(o.out_dir) / "truth.csv").string();
  return true;
}

constexpr const char* kUsage =
    "usage: make_demo_frames [--size WxH] [--frames N] [--seed S] [--flashes N] [--hits N]\n"
    "                        [--glints N] [--ring N] [--truth FILE] OUTDIR\n"
    "Writes OUTDIR/BMP_RAW/a00000.bmp ... and the truth file (OUTDIR/truth.csv).\n"
    "Defaults: --size 720x576 --frames 600 --seed 1 --flashes 12 --hits 4 --glints 1 --ring 60\n";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (argc == 1) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (!parse_options(argc, argv, o, error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 1;
  }
  const Scene scene = make_scene(o);
  std::vector<Spot> spots;
  if (!plan_events(o, scene, spots, error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 1;
  }

  std::error_code ec;
  const std::filesystem::path raw = std::filesystem::path(o.out_dir) / "BMP_RAW";
  std::filesystem::create_directories(raw, ec);
  if (ec) {
    std::fprintf(stderr, "make_demo_frames: %s: cannot create: %s\n", raw.c_str(),
                 ec.message().c_str());
    return 1;
  }
  if (!write_truth(o.truth_path, spots, error)) {
    std::fprintf(stderr, "make_demo_frames: %s\n", error.c_str());
    return 1;
  }
  // Frames are independent (each has its own random stream), so they are rendered in parallel.
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<std::string> errors(workers);
  std::vector<std::thread> threads;
  for (unsigned k = 0; k < workers; ++k) {
    threads.emplace_back([&, k] { write_frames(o, scene, spots, k, workers, errors[k]); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors) {
    if (!e.empty()) {
      std::fprintf(stderr, "make_demo_frames: %s\n", e.c_str());
      return 1;
    }
  }

  int counts[5] = {};
  for (const Spot& s : spots) ++counts[static_cast<int>(s.kind)];
  std::printf(
      "Wrote %d frames of %dx%d to %s, and %s: %d flashes (%d fading over two frames), %d "
      "single-pixel hits, %d glint frames\n",
      o.frames, o.width, o.height, raw.c_str(), o.truth_path.c_str(), counts[0], counts[1],
      counts[2] + counts[3], counts[4]);
  return 0;
}
