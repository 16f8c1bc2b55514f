#include "control/menu.h"

#include <string>
#include <vector>

#include "base/message.h"
#include "imaging/file_io.h"

namespace {

// Written before and after the information text, to clear the screen of the menu.
constexpr const char* kNineteenLineEnds = "\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n";

// `token` as refused by read_console_int: a token that starts like a number was refused only
// because it does not fit in an int.
std::string not_understood(const std::string& token, const std::string& what, bool int_read) {
  std::string message = "\"" + token + "\" not understood as " + what;
  const std::size_t digit_at = (token[0] == '+' || token[0] == '-') ? 1 : 0;
  if (int_read && digit_at < token.size() && token[digit_at] >= '0' && token[digit_at] <= '9') {
    message += ": beyond the int range";
  }
  return message;
}

void show_interlace(int interlace, std::FILE* out) {
  switch (interlace) {
    case 0:
      std::fputs("(13) De-interlace: None\n", out);
      break;
    case 1:
      std::fputs("(13) De-interlace: Odd then Even\n", out);
      break;
    case 2:
      std::fputs("(13) De-interlace: Even then Odd\n", out);
      break;
    default:  // an unknown mode has no line
      break;
  }
}

void show_menu(const DetectionSettings& settings, std::FILE* out) {
  std::fputs("\n\n Current Detection Parameters:\n", out);
  for (const SettingsParameter& p : settings_parameters) {
    if (p.int_member == &DetectionSettings::Interlace) {
      show_interlace(settings.Interlace, out);
    } else if (p.type == ParameterType::Int) {
      std::fprintf(out, "%s%d\n", p.menu_label, settings.*p.int_member);
    } else {
      std::fprintf(out, "%s%f\n", p.menu_label, static_cast<double>(settings.*p.float_member));
    }
  }
  std::fputs("(15) Load/Save Settings\n", out);
  std::fputs("(16) Information About VESK\n", out);
  std::fputs("If OK press 0, else select a parameter between 1 and 16:", out);
}

// Menu items 1 to 14: the prompt, then one value stored as typed.
ConsoleRead edit_parameter(const SettingsParameter& p, DetectionSettings& settings, std::FILE* in,
                           std::FILE* out, std::FILE* err) {
  std::fputs(p.prompt, out);
  std::fflush(out);
  std::string token;
  const bool int_read = p.type == ParameterType::Int;
  const ConsoleRead read = int_read ? read_console_int(in, settings.*p.int_member, token)
                                    : read_console_float(in, settings.*p.float_member, token);
  if (read == ConsoleRead::NotANumber) {
    const std::string what = "item " + std::to_string(p.number) + ", " + p.key +
                             (int_read ? " (a whole number)" : " (a number)");
    print_message(out, err, not_understood(token, what, int_read) + "; the value is unchanged");
  }
  return read;
}

}  // namespace

bool parameter_menu(DetectionSettings& settings, const std::filesystem::path& run_dir,
                    std::FILE* in, std::FILE* out, std::FILE* err) {
  for (;;) {
    show_menu(settings, out);
    std::fflush(out);
    int choice = -1;
    std::string token;
    ConsoleRead read = read_console_int(in, choice, token);
    if (read == ConsoleRead::NotANumber) {
      print_message(out, err, not_understood(token, "a menu choice (0 to 16)", true));
    } else if (read == ConsoleRead::Ok) {
      if (choice == 0) return true;
      if (choice >= 1 && choice <= 14) {
        read = edit_parameter(settings_parameters[choice - 1], settings, in, out, err);
      } else if (choice == 15) {
        read = load_save_settings(settings, run_dir, in, out, err);
      } else if (choice == 16) {
        read = show_about_text(run_dir, in, out, err);
      }
      // Any other number shows the menu again, without a message.
    }
    if (read == ConsoleRead::EndOfInput) {
      print_message(
          out, err,
          "console input ended before the menu was closed with 0; the run does not start");
      return false;
    }
  }
}

ConsoleRead load_save_settings(DetectionSettings& settings, const std::filesystem::path& run_dir,
                               std::FILE* in, std::FILE* out, std::FILE* err) {
  int choice = 0;
  while (choice <= 0 || choice > 2) {
    std::fputs("1) Load Default Settings\n", out);
    std::fputs("2) Save Current Settings\n", out);
    std::fflush(out);
    std::string token;
    const ConsoleRead read = read_console_int(in, choice, token);
    if (read == ConsoleRead::EndOfInput) return read;
    if (read == ConsoleRead::NotANumber) {
      print_message(out, err, not_understood(token, "a load/save choice (1 or 2)", true));
    }
  }
  std::string error;
  if (choice == 1) {
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    if (!read_settings_file(run_dir, "default.txt", settings, problems, &warnings, &error)) {
      print_message(out, err, error + "; the parameters are unchanged");
    }
    for (const std::string& problem : problems) {
      print_message(out, err, problem + "; the field keeps its value");
    }
    for (const std::string& warning : warnings) print_message(out, err, warning);
  } else if (!write_settings_file(run_dir, settings, &error)) {
    print_message(out, err,
                  error + "; the parameters were not saved and settings.txt is as it was");
  }
  return ConsoleRead::Ok;
}

ConsoleRead show_about_text(const std::filesystem::path& run_dir, std::FILE* in, std::FILE* out,
                            std::FILE* err) {
  std::string error;
  FileHandle file = open_text_to_read(run_dir, "about.txt", &error);
  if (!file) {
    // Nothing to read, so the menu comes back at once rather than an empty screen to leave.
    print_message(out, err, error + "; no information to show");
    return ConsoleRead::Ok;
  }
  // fgets with 90 bytes: a longer line comes in pieces of 89 characters, each shown and tested
  // for the end marker as a line of its own.
  char line[90];
  bool have_line = std::fgets(line, sizeof line, file.get()) != nullptr;
  std::fputs(kNineteenLineEnds, out);
  while (have_line && line[0] != 'X' && line[1] != 'X') {
    std::fprintf(out, "%s", line);
    have_line = std::fgets(line, sizeof line, file.get()) != nullptr;
  }
  if (std::ferror(file.get()) != 0) {
    const std::string message = errno_message("about.txt", "read failed");
    print_message(out, err, message + "; the text ends here");
  }
  file.reset();
  std::fputs("\n Press 0 and the return key to return to the menu: ", out);
  std::fflush(out);
  std::string word;
  if (read_console_word(in, word) == ConsoleRead::EndOfInput) return ConsoleRead::EndOfInput;
  std::fputs(kNineteenLineEnds, out);
  return ConsoleRead::Ok;
}
