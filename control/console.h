// Console answers as white-space-separated tokens with C formatted-input rules (fscanf on the
// console stream), so several answers may stand on one line and a bare return reads nothing.
// The reads take the stream one character at a time with the input-item rules of "%d", "%f"
// and "%s", so that a refused token can be named in full and an int that overflows is refused
// instead of wrapping.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum class ConsoleRead {
  Ok,          // a value was read and stored
  NotANumber,  // the next token is not a number (or is beyond the int range); it was discarded
               // and its text is in `token`
  EndOfInput,  // the console has no more input
};

// Longest token text kept: a longer word is read to its end but kept as its first
// kConsoleTextLimit characters followed by "...", and a longer number is refused.
inline constexpr std::size_t kConsoleTextLimit = 256;

// Reads one integer ("%d" semantics) into `value`; on NotANumber `value` is unchanged. When the
// token does not start a number, the whole white-space-delimited word is discarded; when the
// number is beyond the int range, its digits are discarded and what follows them stays unread.
ConsoleRead read_console_int(std::FILE* in, int& value, std::string& token);

// Reads one decimal number ("%f" semantics: sign, digits, fraction, exponent) into `value`; on
// NotANumber `value` is unchanged and the whole word is discarded. A number too large for a
// float is stored as infinity, as "%f" does.
ConsoleRead read_console_float(std::FILE* in, float& value, std::string& token);

// Reads one white-space-delimited word of any length into `word` (kept as described at
// kConsoleTextLimit); the white space after it stays unread.
ConsoleRead read_console_word(std::FILE* in, std::string& word);
