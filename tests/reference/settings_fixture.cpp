#include "reference/settings_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

DetectionSettings settings_fixture(const std::function<void(DetectionSettings&)>& change) {
  DetectionSettings settings;
  std::vector<std::string> problems;
  std::string error;
  if (!read_settings_file(VESK_DATA_DIR, "default.txt", settings, problems, nullptr, &error) ||
      !problems.empty()) {
    std::fprintf(stderr, "settings fixture: %s\n",
                 error.empty() ? problems.front().c_str() : error.c_str());
    std::abort();
  }
  if (change) change(settings);
  return settings;
}
