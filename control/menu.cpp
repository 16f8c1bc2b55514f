#include "control/menu.h"

// Placeholder until the menu lands: answering 0 at once.
bool parameter_menu(DetectionSettings&, std::FILE*, std::FILE*, std::FILE*) { return true; }
ConsoleRead load_save_settings(DetectionSettings&, std::FILE*, std::FILE*, std::FILE*) {
  return ConsoleRead::EndOfInput;
}
ConsoleRead show_about_text(std::FILE*, std::FILE*, std::FILE*) { return ConsoleRead::EndOfInput; }
