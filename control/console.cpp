#include "control/console.h"

// Filled in with the parameter menu.
ConsoleRead read_console_int(std::FILE*, int&, std::string&) { return ConsoleRead::EndOfInput; }
ConsoleRead read_console_float(std::FILE*, float&, std::string&) { return ConsoleRead::EndOfInput; }
ConsoleRead read_console_word(std::FILE*, std::string&) { return ConsoleRead::EndOfInput; }
