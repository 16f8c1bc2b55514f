#include "formats/data_dump_txt.h"

#include <cstdio>

std::string data_dump_text(const DataDump& d) {
  const auto print = [&](char* text, std::size_t size) {
    return std::snprintf(
        text, size,
        "image_width=%d\nimage_height=%d\ninterlace=%d\nnframes=%lld\nmin_flash_limit=%d\n"
        "max_flash_limit=%d\nneighour_sd=%f\ntime_sd=%f\nmin_sd1=%f\nmin_sid2=%f\nleft_border=%d\n"
        "right_border=%d\ntop_border=%d\nbottom_border=%d\npeak_killer=%f\ninterlace=%d\n",
        d.image_width, d.image_height, d.interlace, static_cast<long long>(d.frames),
        d.min_flash_limit, d.max_flash_limit, d.neighbour_sd, d.time_sd, d.min_sd1, d.min_sd2,
        d.left_border, d.right_border, d.top_border, d.bottom_border, d.peak_killer, d.interlace);
  };
  const int length = print(nullptr, 0);
  if (length <= 0) return "";
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  print(text.data(), text.size());
  text.resize(static_cast<std::size_t>(length));
  return text;
}
