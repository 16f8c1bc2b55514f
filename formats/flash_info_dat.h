// flash_info.dat: the flash log of a run, a header line naming the fields, then one record per
// reported frame, fields separated by single spaces. This module owns its name, its header and
// the text of a record; outputs/flash_log.h writes it during a run.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kFlashInfoName = "flash_info.dat";

// The first line, naming the record fields in order.
inline constexpr const char* kFlashInfoHeader =
    "Frame Flashes sample line scatter bckgrnd bckgrnd_sigma signal time_back time_sigma "
    "time_signal\n";

// One record: the frame, the number of flash pixels and the nine measured values (single
// precision values widened to double).
struct FlashInfoRecord {
  std::int64_t frame = 0;
  int flashes = 0;
  double sample = 0.0;
  double line = 0.0;
  double scatter = 0.0;
  double bckgrnd = 0.0;
  double bckgrnd_sigma = 0.0;
  double signal = 0.0;
  double time_back = 0.0;
  double time_sigma = 0.0;
  double time_signal = 0.0;
};

// The record's line, "%lld %d %f %f %f %f %f %f %f %f %f\n".
std::string flash_info_line(const FlashInfoRecord& record);
