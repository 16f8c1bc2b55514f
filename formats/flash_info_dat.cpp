#include "formats/flash_info_dat.h"

#include "formats/csv.h"

std::string flash_info_line(const FlashInfoRecord& r) {
  return printed("%lld %d %f %f %f %f %f %f %f %f %f\n", static_cast<long long>(r.frame), r.flashes,
                 r.sample, r.line, r.scatter, r.bckgrnd, r.bckgrnd_sigma, r.signal, r.time_back,
                 r.time_sigma, r.time_signal);
}
