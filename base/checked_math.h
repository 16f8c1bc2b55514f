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

// a * b and a + b, or the largest size_t when they do not fit: for byte counts that are compared
// with what memory holds, where "too large" is the answer either way.
inline std::size_t saturating_multiply(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  return checked_multiply(a, b, product) ? product : std::numeric_limits<std::size_t>::max();
}
inline std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}
