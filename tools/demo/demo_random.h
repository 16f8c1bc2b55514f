// Portable random numbers for the demo generator: std::mt19937_64 streams and distributions
// written out here (the standard library's own distributions differ between implementations), so
// a seed gives the same frames wherever the generator is built.
#pragma once

#include <cstdint>
#include <random>

namespace demo {

using Rng = std::mt19937_64;

// Uniform in [0, 1) from the top 53 bits of one draw.
double uniform01(Rng& rng);

// Uniform in [lo, hi).
double uniform(Rng& rng, double lo, double hi);

// Uniform integer in [0, n); n must be positive.
int uniform_index(Rng& rng, int n);

// Tables of the ziggurat method (Marsaglia and Tsang, 128 layers) for standard normal values.
struct Ziggurat {
  double k[128];  // acceptance bounds, scaled to 2^31
  double w[128];  // layer widths, scaled by 2^-31
  double f[128];  // density at the layer edges
};

// The tables; computed once and shared read-only by every stream.
Ziggurat make_ziggurat();

// A standard normal value (mean 0, standard deviation 1) drawn from `rng`.
double normal(const Ziggurat& z, Rng& rng);

// The seed of stream `stream` of the run with seed `seed` (splitmix64 finaliser), so that the
// scene, the events and each frame draw from independent streams.
std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t stream);

}  // namespace demo
