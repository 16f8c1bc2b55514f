#include "demo_frames.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <thread>
#include <vector>

#include "demo_random.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace demo {
namespace {

// Standard deviation of the camera noise at each level 0 .. 1023: read noise and shot noise.
std::vector<float> noise_table(double read_noise) {
  std::vector<float> sd(1024);
  for (std::size_t level = 0; level < sd.size(); ++level) {
    sd[level] = static_cast<float>(
        std::sqrt(read_noise * read_noise + static_cast<double>(level) / kElectronsPerLevel));
  }
  return sd;
}

// Seeing moves the scene by a fraction of a pixel; scintillation scales it by a few percent.
Seeing draw_seeing(const Ziggurat& zig, Rng& rng) {
  Seeing seeing;
  seeing.shift_x = 0.25 * normal(zig, rng);
  seeing.shift_y = 0.25 * normal(zig, rng);
  seeing.gain = 1.0 + 0.015 * normal(zig, rng);
  return seeing;
}

// `light` = the scene's light moved and scaled by `seeing` (bilinear, edges clamped).
void apply_seeing(const Scene& scene, const Seeing& seeing, std::span<float> light) {
  const int w = scene.width;
  const int h = scene.height;
  const int ix = static_cast<int>(std::floor(seeing.shift_x));
  const int iy = static_cast<int>(std::floor(seeing.shift_y));
  const double fx = seeing.shift_x - ix;
  const double fy = seeing.shift_y - iy;
  const double gain = seeing.gain;
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
}

// The camera: hot pixels' dark current, noise for the pixel's level, rounding to 0 .. 255.
void expose(const Scene& scene, std::span<const float> light, std::span<const float> noise_sd,
            const Ziggurat& zig, Rng& rng, std::span<std::uint8_t> payload) {
  for (std::size_t at = 0; at < payload.size(); ++at) {
    const float signal = light[at] + scene.hot_pixel_gain[at];
    const int level = std::clamp(static_cast<int>(signal), 0, 1023);
    const double value = signal + noise_sd[static_cast<std::size_t>(level)] * normal(zig, rng);
    payload[at] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0) + 0.5);
  }
}

// Everything one worker needs, built once per worker.
struct Renderer {
  const FrameRun& run;
  const Scene& scene;
  std::span<const Spot> spots;
  Ziggurat zig = make_ziggurat();
  std::vector<float> noise_sd = noise_table(run.read_noise);
  std::vector<float> light = std::vector<float>(scene.light.size());
};

// Frame `frame` into `payload`, stored row 0 (the top of the picture) first.
void render_frame(Renderer& r, int frame, std::span<std::uint8_t> payload) {
  Rng rng(stream_seed(r.run.seed, 1000 + static_cast<std::uint64_t>(frame)));
  const Seeing seeing = draw_seeing(r.zig, rng);
  apply_seeing(r.scene, seeing, r.light);
  add_spots(r.spots, frame, seeing, r.scene.width, r.scene.height, r.light);
  expose(r.scene, r.light, r.noise_sd, r.zig, rng, payload);
}

// Writes `bytes` to `path` through "<path>.part" and a rename.
bool write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes,
                      std::string* error) {
  const std::string part = path + ".part";
  FileHandle file = open_file(part.c_str(), "wb", error);
  if (!file || !write_bytes(file.get(), bytes, part.c_str(), error) ||
      !close_file(file, part.c_str(), error)) {
    std::remove(part.c_str());
    return false;
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    *error = errno_message(path.c_str(), "cannot rename the finished file");
    std::remove(part.c_str());
    return false;
  }
  return true;
}

// Renders and writes frames first, first + step, ... False with `error` at the first file that
// cannot be written.
bool write_every(const FrameRun& run, const Scene& scene, std::span<const Spot> spots, int first,
                 int step, std::string* error) {
  Renderer renderer{run, scene, spots};
  std::vector<std::uint8_t> bytes(kFrameHeaderBytes + scene.light.size());
  ::write_raw_frame_header(
      std::span<std::uint8_t, kFrameHeaderBytes>(bytes.data(), kFrameHeaderBytes), scene.width,
      scene.height);
  const std::span<std::uint8_t> payload(bytes.data() + kFrameHeaderBytes, scene.light.size());
  for (int frame = first; frame < run.frames; frame += step) {
    render_frame(renderer, frame, payload);
    const std::string name = run.raw_dir + "/" + numbered_file_name("a%5d.bmp", frame);
    if (!write_whole_file(name, bytes, error)) return false;
  }
  return true;
}

}  // namespace

bool write_frames(const FrameRun& run, const Scene& scene, std::span<const Spot> spots,
                  std::string* error) {
  const int workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  std::vector<std::string> errors(static_cast<std::size_t>(workers));
  std::vector<std::thread> threads;
  for (int k = 0; k < workers; ++k) {
    threads.emplace_back([&, k] { write_every(run, scene, spots, k, workers, &errors[k]); });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors) {
    if (!e.empty()) {
      *error = e;
      return false;
    }
  }
  return true;
}

}  // namespace demo
