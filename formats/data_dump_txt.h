// data_dump.txt: the frame size, the number of frames read and the detection parameters of a
// run, one "key=value" line each, written when the frames run out. The keys are spelt as scripts
// have always read them (neighour_sd, min_sid2, interlace twice). This module owns the name and
// the text; control/ fills the values from the settings.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kDataDumpName = "data_dump.txt";

struct DataDump {
  int image_width = 0;
  int image_height = 0;
  int interlace = 0;
  std::int64_t frames = 0;
  int min_flash_limit = 0;
  int max_flash_limit = 0;
  double neighbour_sd = 0.0;
  double time_sd = 0.0;
  double min_sd1 = 0.0;
  double min_sd2 = 0.0;
  int left_border = 0;
  int right_border = 0;
  int top_border = 0;
  int bottom_border = 0;
  double peak_killer = 0.0;
};

// The whole text of the file.
std::string data_dump_text(const DataDump& dump);
