// Every installed program answers --help with its usage line followed by a line for each option
// the usage line names, so an option added to a program cannot go unexplained.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

struct Program {
  const char* name;
  const char* binary;
};

// The options named in `usage` ("--out", "--threads", ...).
std::set<std::string> options_in(const std::string& usage) {
  std::set<std::string> options;
  const std::regex option("--[a-z][a-z-]*");
  for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
       it != std::sregex_iterator(); ++it)
    options.insert(it->str());
  return options;
}

TEST(ProgramHelp, EveryOptionOfTheUsageLineIsExplained) {
  ScratchDir scratch;  // the captured output goes to files of this test's own
  const Program programs[] = {
      {"vesk", VESK_BINARY},
      {"vesk-frames", VESK_FRAMES_BINARY},
      {"vesk-review", VESK_REVIEW_BINARY},
      {"vesk-tune", VESK_TUNE_BINARY},
  };
  ScratchDir dir;  // the console files of tests run side by side must not meet
  for (const Program& program : programs) {
    SCOPED_TRACE(program.name);
    const ProgramRun run = run_command(std::string("'") + program.binary + "' --help");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    std::istringstream lines(run.out);
    std::string usage;
    std::getline(lines, usage);
    EXPECT_EQ(usage.rfind(std::string("usage: ") + program.name + " ", 0), 0u) << usage;
    std::set<std::string> explained;
    for (std::string line; std::getline(lines, line);) {
      // An option's own line: two spaces, the option, then what it means.
      std::smatch match;
      if (std::regex_search(line, match, std::regex("^  (-h, )?(--[a-z][a-z-]*)")))
        explained.insert(match[2].str());
    }
    for (const std::string& option : options_in(usage))
      EXPECT_TRUE(explained.count(option)) << option << " is in the usage line but not explained";
    EXPECT_TRUE(explained.count("--help"));
  }
}

}  // namespace

namespace {

TEST(ProgramVersion, EveryProgramNamesItsVersionAndCommit) {
  ScratchDir scratch;
  const Program programs[] = {
      {"vesk", VESK_BINARY},
      {"vesk-frames", VESK_FRAMES_BINARY},
      {"vesk-review", VESK_REVIEW_BINARY},
      {"vesk-match", VESK_MATCH_BINARY},
      {"vesk-tune", VESK_TUNE_BINARY},
  };
  ScratchDir dir;  // the console files of tests run side by side must not meet
  for (const Program& program : programs) {
    SCOPED_TRACE(program.name);
    const ProgramRun run = run_command(std::string("'") + program.binary + "' --version");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    // A build from a git checkout names its commit in full; elsewhere both read "unknown".
    EXPECT_TRUE(std::regex_match(
        run.out,
        std::regex(std::string(program.name) + " [^ ]+ \\(commit ([0-9a-f]{40}|unknown)\\)\n")))
        << run.out;
  }
}

}  // namespace
