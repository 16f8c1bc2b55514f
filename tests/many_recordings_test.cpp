// A campaign of recordings as independent jobs under GNU parallel, one single-threaded vesk per
// job: each run folder must hold what a run of that recording alone writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Every result file of a run folder, by name.
std::map<std::string, std::string> results(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const char* name :
       {"flash_info.dat", "data_dump.txt", "frame_times.csv", "flashes.csv", "lightcurves.csv"}) {
    files[name] = read_text(folder + "/" + name);
  }
  for (const auto& entry : fs::directory_iterator(in_scratch(folder + "/BMP_FLASHES"))) {
    files["BMP_FLASHES/" + entry.path().filename().string()] = read_text(entry.path().string());
  }
  return files;
}

}  // namespace

TEST(ManyRecordings, GnuParallelRunsEachAsARunOfItsOwn) {
  if (run_command("command -v parallel").exit_status != 0) {
    GTEST_SKIP() << "GNU parallel is not installed (Debian: parallel)";
  }
  ScratchDir dir;
  const std::string tools = std::string("'") + VESK_TOOLS_DIR + "/";
  const std::vector<std::string> names = {"north", "south", "west"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const ProgramRun made =
        run_command(tools +
                    "make_demo_frames' --size 160x120 --frames 160 --flashes 2 --hits 0 "
                    "--glints 0 --seed " +
                    std::to_string(11 + i) + " frames_" + name + " && " + tools +
                    "frames_to_ser' frames_" + name + " " + name + ".ser");
    ASSERT_EQ(made.exit_status, 0) << made.err;
  }
  // The campaign as docs/campaigns.md shows it: one job per recording, each vesk on one thread.
  const std::string vesk = std::string("'") + VESK_BINARY + "'";
  const ProgramRun campaign =
      run_command("parallel --will-cite --halt now,fail=1 " + vesk +
                  " {} --no-menu --quiet --threads 1 --out {.}.vesk ::: north.ser south.ser "
                  "west.ser");
  ASSERT_EQ(campaign.exit_status, 0) << campaign.err;
  std::size_t report_images = 0;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const ProgramRun alone =
        run_command(vesk + " " + name + ".ser --no-menu --quiet --out alone_" + name + ".vesk");
    ASSERT_EQ(alone.exit_status, 0) << alone.err;
    const auto expected = results("alone_" + name + ".vesk");
    report_images += expected.size() - 5;
    EXPECT_EQ(results(name + ".vesk"), expected);
  }
  EXPECT_GE(report_images, 2u) << "the recordings give reports to compare";
}
