// The line every program prints for --version: its name, the version and the git commit it was
// built from, e.g. "vesk 1.2-14-gabc1234 (commit abc1234...)".
#pragma once

#include <string>
#include <string_view>

#include "base/version.h"

// True when the command line is `--version` alone, the one form every program answers.
inline bool asks_version(int argc, char** argv) {
  return argc == 2 && std::string_view(argv[1]) == "--version";
}

inline std::string version_line(std::string_view program) {
  const BuildVersion build = build_version();
  return std::string(program) + " " + std::string(build.version) + " (commit " +
         std::string(build.commit) + ")";
}
