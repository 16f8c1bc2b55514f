// The fourteen detection parameters, their table (file order, menu text, prompts) and the
// positional settings files settings.txt / default.txt.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Field names follow the settings-file keys. Values are stored as read or typed: no range checks.
struct DetectionSettings {
  int Min_flash_limit = 0;
  int Max_flash_limit = 0;
  float Flash_sd_sep = 0.0f;
  float Neighbour_sd = 0.0f;
  float Time_sd = 0.0f;
  float Min_sd1 = 0.0f;
  float Min_sd2 = 0.0f;
  int Left_sample_border = 0;
  int Right_sample_border = 0;
  int Top_line_limit = 0;
  int Bott_line_limit = 0;
  float Peak_killer = 0.0f;
  int Interlace = 0;
  int Images_in_buffer = 0;
};

enum class ParameterType { Int, Float };

// One row of the parameter table. Exactly one of int_member / float_member is set, by `type`.
// `menu_label` is the menu line up to its value, e.g. "(1) Multiple flashes No. (lower limit): ";
// it is empty for Interlace, whose menu line names the mode instead of printing the number.
struct SettingsParameter {
  int number;       // menu item, 1 to 14; also the position in the settings file
  const char* key;  // settings-file key without its "="
  ParameterType type;
  const char* menu_label;
  const char* prompt;  // edit prompt written before the value is read
  int DetectionSettings::*int_member;
  float DetectionSettings::*float_member;
};

// The fourteen parameters in file and menu order.
extern const std::array<SettingsParameter, 14> settings_parameters;

// Reads the fourteen "key number" pairs of `path` into `settings`, in table order, with C
// formatted-input rules (fscanf "%*s" then "%d" or "%f"): positions decide, keys are not compared,
// line breaks mean nothing, anything after the fourteenth pair is ignored. A number that cannot be
// read leaves its field unchanged, is left in the stream, and adds one line to `problems`, e.g.
// "default.txt: Time_sd: no number at \"abc\"" (the caller says what follows from it).
// Returns false, with `error` set and `settings` untouched, when the file cannot be opened.
// `name` is the file in `run_dir`, named so in messages.
// Text right after the fourteenth number ("Images_in_buffer= 6e1" reads 6) adds one line to
// `warnings` (when given) naming it: "settings.txt: Images_in_buffer: \"e1\" after its number is
// ignored".
bool read_settings_file(const std::filesystem::path& run_dir, const char* name,
                        DetectionSettings& settings, std::vector<std::string>& problems,
                        std::vector<std::string>* warnings, std::string* error);

// Writes the fourteen "Key= value" lines (%d / %f) to `run_dir`/settings.txt, through a temporary
// file in the same folder renamed over it, so a failed save leaves the old file whole. False
// with `error` when the file cannot be written.
bool write_settings_file(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                         std::string* error);

// The text of data_dump.txt: the frame size, `frames_read` and the settings as typed, under the
// keys scripts read (spelt as they always were: neighour_sd, min_sid2, interlace twice).
std::string format_run_summary(const DetectionSettings& settings, int image_width, int image_height,
                               std::int64_t frames_read);

// The fourteen lines of write_settings_file as one string (used by the writer and by tests).
std::string format_settings(const DetectionSettings& settings);
