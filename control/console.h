// Console answers as white-space-separated tokens with C formatted-input rules (fscanf on the
// console stream), so several answers may stand on one line and a bare return reads nothing.
#pragma once

#include <cstdio>
#include <string>

enum class ConsoleRead {
  Ok,          // a value was read and stored
  NotANumber,  // the next token is not a number (or is beyond the int range); it was discarded
               // and its text is in `token`
  EndOfInput,  // the console has no more input
};

// Reads one integer ("%d" semantics) into `value`; on NotANumber `value` is unchanged.
ConsoleRead read_console_int(std::FILE* in, int& value, std::string& token);

// Reads one number ("%f" semantics) into `value`; on NotANumber `value` is unchanged.
ConsoleRead read_console_float(std::FILE* in, float& value, std::string& token);

// Reads one white-space-delimited word of any length into `word`.
ConsoleRead read_console_word(std::FILE* in, std::string& word);
