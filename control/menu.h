// The numbered parameter menu shown before the run: edit any of the fourteen parameters, load
// default.txt, save settings.txt, read about.txt. Menu text goes to `out`, answers come from `in`,
// one-line messages about bad input or files go to `err`.
#pragma once

#include <cstdio>
#include <filesystem>

#include "control/console.h"
#include "control/settings.h"

// Runs the menu until the user answers 0 (returns true) or the console input ends first
// (returns false, having said so on `err`). `settings` is edited in place.
// The files of items 15 and 16 are those of `run_dir`.
bool parameter_menu(DetectionSettings& settings, const std::filesystem::path& run_dir,
                    std::FILE* in, std::FILE* out, std::FILE* err);

// Menu item 15: asks until 1 (load "default.txt") or 2 (save "settings.txt") is given.
// EndOfInput when the console ends first.
ConsoleRead load_save_settings(DetectionSettings& settings, const std::filesystem::path& run_dir,
                               std::FILE* in, std::FILE* out, std::FILE* err);

// Menu item 16: shows "about.txt" up to its end-marker line and waits for one word.
// EndOfInput when the console ends before the word.
ConsoleRead show_about_text(const std::filesystem::path& run_dir, std::FILE* in, std::FILE* out,
                            std::FILE* err);
