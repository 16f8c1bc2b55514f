// vesk-match on hand-written catalogues: pairs within the window (0.1 s unless given, a window
// met exactly included, across midnight), the refusal of a catalogue without UTC times, and bad
// options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outputs/flash_catalogue.h"
#include "test_support.h"

namespace {

struct Row {
  int event;
  std::string utc;
  std::string peak;
  std::string verdict;
};

std::string catalogue(const std::vector<Row>& rows) {
  std::string text = kFlashesHeader;
  for (const Row& r : rows) {
    text += std::to_string(r.event) + ",100,1," + r.utc + ",4.000000,10.00,20.00," + r.peak +
            ",900.00,12.00,75.00,-7.39,0,0.00,," + r.verdict + ",BMP_FLASHES/00100.bmp,,,,\n";
  }
  return text;
}

const std::string kA = catalogue({
    {1, "2024-03-15T21:04:09.0000000Z", "57.10", "flash"},
    {2, "2024-03-15T21:04:13.0000000Z", "80.00", "flash"},
    {3, "2024-03-15T21:04:17.0000000Z", "30.25", "edge"},
    {4, "2024-03-15T23:59:59.98Z", "41.00", "flash"},
});
const std::string kB = catalogue({
    {1, "2024-03-15T21:04:09.05Z", "60.00", "flash"},
    {2, "2024-03-15T21:04:13.15Z", "77.50", "flash"},
    {3, "2024-03-15T21:04:16.95Z", "29.00", "flash"},
    {4, "2024-03-15T21:04:09.1Z", "12.00", "moving"},
    {5, "2024-03-16T00:00:00.03Z", "44.00", "flash"},
});
const std::string kPairsHeader = "a_event,b_event,dt,a_class,b_class,a_peak,b_peak\n";

}  // namespace

TEST(VeskMatch, PairsWithinTheWindowAndRefusesWhatItCannotUse) {
  struct Case {
    const char* name;
    std::string args;
    int exit_status;
    std::string out;
    std::string err;
  };
  const std::string binary = VESK_MATCH_BINARY;
  const std::vector<Case> cases = {
      {"default window 0.1 s, met exactly by A1 and B4", "a.csv b.csv", 0,
       kPairsHeader + "1,1,0.050000,flash,flash,57.10,60.00\n"
                      "1,4,0.100000,flash,moving,57.10,12.00\n"
                      "3,3,-0.050000,edge,flash,30.25,29.00\n"
                      "4,5,0.050000,flash,flash,41.00,44.00\n",
       ""},
      {"a wider window", "a.csv b.csv --window 0.2", 0,
       kPairsHeader + "1,1,0.050000,flash,flash,57.10,60.00\n"
                      "1,4,0.100000,flash,moving,57.10,12.00\n"
                      "2,2,0.150000,flash,flash,80.00,77.50\n"
                      "3,3,-0.050000,edge,flash,30.25,29.00\n"
                      "4,5,0.050000,flash,flash,41.00,44.00\n",
       ""},
      {"a narrow window, given first", "--window 0.01 b.csv a.csv", 0, kPairsHeader, ""},
      {"the other way round", "b.csv a.csv --window 0.06", 0,
       kPairsHeader + "1,1,-0.050000,flash,flash,60.00,57.10\n"
                      "3,3,0.050000,flash,edge,29.00,30.25\n"
                      "5,4,-0.050000,flash,flash,44.00,41.00\n",
       ""},
      {"a catalogue without UTC times", "a.csv no_times.csv", 1, "",
       "vesk-match: no_times.csv: event 1 has no UTC time (line 2); vesk-match needs the times "
       "of the run folder's frame_times.csv\n"},
      {"not a catalogue", "a.csv truth.csv", 1, "",
       "vesk-match: truth.csv: line 1: not the header of a flashes.csv (it needs event, utc, "
       "class and peak)\n"},
      {"a missing catalogue", "a.csv missing.csv", 1, "",
       "vesk-match: missing.csv: cannot open: No such file or directory\n"},
      {"--window without a value", "a.csv b.csv --window", 2, "",
       "vesk-match: --window needs a number of seconds\n"},
      {"--window 0", "a.csv b.csv --window 0", 2, "",
       "vesk-match: --window \"0\": not a number of seconds above 0 and up to 86400\n"},
      {"--window not a number", "a.csv b.csv --window 0.1s", 2, "",
       "vesk-match: --window \"0.1s\": not a number of seconds above 0 and up to 86400\n"},
      {"an unknown option", "a.csv b.csv --frob", 2, "",
       "vesk-match: unknown option --frob; usage: vesk-match A/flashes.csv B/flashes.csv "
       "[--window SECONDS]\n"},
      {"one catalogue", "a.csv", 2, "",
       "vesk-match: two catalogues needed, 1 given; usage: vesk-match A/flashes.csv "
       "B/flashes.csv [--window SECONDS]\n"},
  };
  ScratchDir dir;
  write_text("a.csv", kA);
  write_text("b.csv", kB);
  write_text("no_times.csv", catalogue({{1, "", "50.00", "flash"}}));
  write_text("truth.csv", "frame,x,y,peak,width,kind\n7,182.59,322.51,122.8,2.20,glint\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = run_command(binary + " " + c.args);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
  }
}
