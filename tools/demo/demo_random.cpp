#include "demo_random.h"

#include <cmath>

namespace demo {
namespace {

// Where the ziggurat's outermost layer ends and the tail begins.
constexpr double kTail = 3.442619855899;

// Uniform in (0, 1), never 0, for the logarithms of the tail.
double uniform_open(Rng& rng) {
  return (static_cast<double>(rng() >> 11) + 0.5) * 0x1.0p-53;
}

// A value beyond kTail (Marsaglia's tail method), with the sign of `h`.
double normal_tail(Rng& rng, std::int32_t h) {
  double tx = 0.0;
  double ty = 0.0;
  do {
    tx = -std::log(uniform_open(rng)) / kTail;
    ty = -std::log(uniform_open(rng));
  } while (ty + ty < tx * tx);
  return h > 0 ? kTail + tx : -kTail - tx;
}

}  // namespace

double uniform01(Rng& rng) {
  return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

double uniform(Rng& rng, double lo, double hi) {
  return lo + (hi - lo) * uniform01(rng);
}

int uniform_index(Rng& rng, int n) {
  return static_cast<int>(uniform01(rng) * static_cast<double>(n));
}

Ziggurat make_ziggurat() {
  Ziggurat z;
  const double m = 2147483648.0;
  const double volume = 9.91256303526217e-3;
  double d = kTail;
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

// The layer index and the value come from separate bits of one draw.
double normal(const Ziggurat& z, Rng& rng) {
  for (;;) {
    const std::uint64_t bits = rng();
    const auto h = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
    const int i = static_cast<int>(bits & 127);
    const double x = h * z.w[i];
    if (std::abs(static_cast<double>(h)) < z.k[i]) return x;
    if (i == 0) return normal_tail(rng, h);
    if (z.f[i] + uniform01(rng) * (z.f[i - 1] - z.f[i]) < std::exp(-0.5 * x * x)) return x;
  }
}

std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t stream) {
  std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + stream * 0xBF58476D1CE4E5B9ull + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace demo
