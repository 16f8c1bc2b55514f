// The one way a message line reaches the user: standard output is flushed first, so the line
// lands after the console text written so far, then the line goes to `err`. Names in messages
// come from the user (a recording, a folder), so control bytes in them are shown escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// `text` with every control byte (below 0x20, and 0x7f) written as \xNN, so that a name holding
// them can neither break a message line nor drive the terminal. Other bytes are kept.
inline std::string escaped_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      constexpr char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

inline void print_message(std::FILE* out, std::FILE* err, const std::string& message) {
  if (out != nullptr) std::fflush(out);
  std::fprintf(err, "%s\n", escaped_text(message).c_str());
}

// A number of frames as a message says it: "1 frame", "5 frames".
inline std::string frames_text(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames");
}
