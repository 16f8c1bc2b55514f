// Size arithmetic that cannot overflow silently.
#pragma once

#include <cstddef>
#include <limits>

// a * b into `product`; false (product unchanged) when it does not fit in size_t.
inline bool checked_multiply(std::size_t a, std::size_t b, std::size_t& product) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
  product = a * b;
  return true;
}
