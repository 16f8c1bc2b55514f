#include "formats/flash_info_dat.h"

#include <cstdio>

std::string flash_info_line(const FlashInfoRecord& r) {
  const auto print = [&](char* text, std::size_t size) {
    return std::snprintf(text, size, "%lld %d %f %f %f %f %f %f %f %f %f\n",
                         static_cast<long long>(r.frame), r.flashes, r.sample, r.line, r.scatter,
                         r.bckgrnd, r.bckgrnd_sigma, r.signal, r.time_back, r.time_sigma,
                         r.time_signal);
  };
  // "%f" of a large value is long: the length is asked for first.
  const int length = print(nullptr, 0);
  if (length <= 0) return "";
  std::string line(static_cast<std::size_t>(length) + 1, '\0');
  print(line.data(), line.size());
  line.resize(static_cast<std::size_t>(length));
  return line;
}
