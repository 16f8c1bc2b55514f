// Fuzzes the settings-file reader with any bytes as settings.txt, then checks that whatever the
// record then holds is written as a file that reads back without a problem.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "control/settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  write_fuzz_file("settings.txt", std::span(data, size));

  DetectionSettings settings;
  std::vector<std::string> problems;
  std::string error;
  if (!read_settings_file(fuzz_folder(), "settings.txt", settings, problems, nullptr, &error))
    std::abort();
  if (problems.size() > settings_parameters.size()) std::abort();
  for (const std::string& problem : problems) {
    if (problem.rfind("settings.txt: ", 0) != 0 || problem.find('\n') != std::string::npos) {
      std::abort();
    }
  }

  // Whatever was read must survive a save and a reload: fourteen readable pairs.
  if (!write_settings_file(fuzz_folder(), settings, &error)) std::abort();
  DetectionSettings reloaded;
  problems.clear();
  if (!read_settings_file(fuzz_folder(), "settings.txt", reloaded, problems, nullptr, &error) ||
      !problems.empty()) {
    std::abort();
  }
  for (const SettingsParameter& p : settings_parameters) {
    if (p.type == ParameterType::Int && reloaded.*p.int_member != settings.*p.int_member) {
      std::abort();
    }
  }
  return 0;
}
