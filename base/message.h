// The one way a message line reaches the user: standard output is flushed first, so the line
// lands after the console text written so far, then the line goes to `err`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline void print_message(std::FILE* out, std::FILE* err, const std::string& message) {
  if (out != nullptr) std::fflush(out);
  std::fprintf(err, "%s\n", message.c_str());
}

// A number of frames as a message says it: "1 frame", "5 frames".
inline std::string frames_text(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames");
}
