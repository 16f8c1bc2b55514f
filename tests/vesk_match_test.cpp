// vesk-match on hand-written catalogues: one-to-one pairs within the window (0.1 s unless given,
// a window met exactly included, across midnight), the closest pair taken first, the unmatched
// events of each side listed after the pairs, the summary line, the refusal of a catalogue
// without UTC times, and bad options (numbers read strictly).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/flashes_csv.h"
#include "test_support.h"

namespace {

struct Row {
  int event;
  std::string utc;
  std::string peak;
  std::string verdict;
};

std::string catalogue(const std::vector<Row>& rows) {
  std::string text = flashes_header();
  for (const Row& r : rows) {
    FlashRow row;
    row.event = r.event;
    row.frame = 100;
    row.frames = 1;
    row.utc = r.utc;
    row.seconds = 4.0;
    row.x = 10.0;
    row.y = 20.0;
    row.peak = std::stod(r.peak);
    row.flux = 900.0;
    row.flux_err = 12.0;
    row.snr = 75.0;
    row.m_inst = -7.39;
    row.event_class = r.verdict;
    row.report = "BMP_FLASHES/00100.bmp";
    row.fwhm = 2.1;
    row.optics_fwhm = 2.5;
    text += flashes_line(row);
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

// The output as it is written: the place columns separation, separation_err and verdict after
// the others, empty for catalogues without places.
std::string with_place_columns(const std::string& out) {
  std::string result;
  std::size_t at = 0;
  bool header = true;
  while (at < out.size()) {
    const std::size_t end = out.find('\n', at);
    result +=
        out.substr(at, end - at) + (header ? ",separation,separation_err,verdict" : ",,,") + "\n";
    header = false;
    at = end + 1;
  }
  return result;
}

}  // namespace

TEST(VeskMatch, PairsOneToOneListsTheUnmatchedAndRefusesWhatItCannotUse) {
  struct Case {
    const char* name;
    std::string args;
    int exit_status;
    std::string out;
    std::string err;
  };
  const std::string binary = VESK_MATCH_BINARY;
  const std::vector<Case> cases = {
      // A1 is within 0.1 s of B1 (0.05) and of B4 (0.1 exactly): it takes B1, the closer.
      {"default window 0.1 s, met exactly by A1 and B4", "a.csv b.csv", 0,
       kPairsHeader + "1,1,0.050000,flash,flash,57.10,60.00\n"
                      "3,3,-0.050000,edge,flash,30.25,29.00\n"
                      "4,5,0.050000,flash,flash,41.00,44.00\n"
                      "2,,,flash,,80.00,\n"
                      ",2,,,flash,,77.50\n"
                      ",4,,,moving,,12.00\n",
       "vesk-match: 3 pairs, 1 unmatched in A (a.csv), 2 unmatched in B (b.csv)\n"},
      {"a wider window", "a.csv b.csv --window 0.2", 0,
       kPairsHeader + "1,1,0.050000,flash,flash,57.10,60.00\n"
                      "2,2,0.150000,flash,flash,80.00,77.50\n"
                      "3,3,-0.050000,edge,flash,30.25,29.00\n"
                      "4,5,0.050000,flash,flash,41.00,44.00\n"
                      ",4,,,moving,,12.00\n",
       "vesk-match: 4 pairs, 0 unmatched in A (a.csv), 1 unmatched in B (b.csv)\n"},
      {"a narrow window, given first", "--window 0.01 b.csv a.csv", 0,
       kPairsHeader + "1,,,flash,,60.00,\n2,,,flash,,77.50,\n3,,,flash,,29.00,\n"
                      "4,,,moving,,12.00,\n5,,,flash,,44.00,\n"
                      ",1,,,flash,,57.10\n,2,,,flash,,80.00\n,3,,,edge,,30.25\n"
                      ",4,,,flash,,41.00\n",
       "vesk-match: 0 pairs, 5 unmatched in A (b.csv), 4 unmatched in B (a.csv)\n"},
      {"the other way round", "b.csv a.csv --window 0.06", 0,
       kPairsHeader + "1,1,-0.050000,flash,flash,60.00,57.10\n"
                      "3,3,0.050000,flash,edge,29.00,30.25\n"
                      "5,4,-0.050000,flash,flash,44.00,41.00\n"
                      "2,,,flash,,77.50,\n"
                      "4,,,moving,,12.00,\n"
                      ",2,,,flash,,80.00\n",
       "vesk-match: 3 pairs, 2 unmatched in A (b.csv), 1 unmatched in B (a.csv)\n"},
      // C1 is closer to D2 (0.03 s) than to D1 (0.045 s), but C2 is closest to D2 of all
      // (0.02 s): that pair goes first and C1 takes D1. Taking A's events in order, each with its
      // closest free event of B, would pair C1-D2 and C2-D1 instead. C3 and C4 lie 0.02 s either
      // side of D3 (a tie): the earlier event of A takes it.
      {"the closest pair first, each event once", "c.csv d.csv", 0,
       kPairsHeader + "1,1,-0.045000,flash,flash,10.00,11.00\n"
                      "2,2,-0.020000,flash,flash,20.00,21.00\n"
                      "3,3,0.020000,flash,flash,30.00,31.00\n"
                      "4,,,flash,,40.00,\n",
       "vesk-match: 3 pairs, 1 unmatched in A (c.csv), 0 unmatched in B (d.csv)\n"},
      {"one pair", "c.csv one.csv --window 0.05", 0,
       kPairsHeader + "1,7,-0.045000,flash,flash,10.00,11.00\n"
                      "2,,,flash,,20.00,\n3,,,flash,,30.00,\n4,,,flash,,40.00,\n",
       "vesk-match: 1 pair, 3 unmatched in A (c.csv), 0 unmatched in B (one.csv)\n"},
      {"a catalogue without events", "a.csv empty.csv", 0,
       kPairsHeader + "1,,,flash,,57.10,\n2,,,flash,,80.00,\n3,,,edge,,30.25,\n"
                      "4,,,flash,,41.00,\n",
       "vesk-match: 0 pairs, 4 unmatched in A (a.csv), 0 unmatched in B (empty.csv)\n"},
      {"a catalogue without UTC times", "a.csv no_times.csv", 1, "",
       "vesk-match: no_times.csv: event 1 has no UTC time (line 2); vesk-match needs the times "
       "of the run folder's frame_times.csv\n"},
      {"not a catalogue", "a.csv truth.csv", 1, "",
       "vesk-match: truth.csv:1: header is 'frame,x,y,peak,width,kind', not " + flashes_header()},
      {"a missing catalogue", "a.csv missing.csv", 1, "",
       "vesk-match: missing.csv: cannot open: No such file or directory\n"},
      {"--window without a value", "a.csv b.csv --window", 2, "",
       "vesk-match: --window needs a number of seconds\n"},
      {"--window 0", "a.csv b.csv --window 0", 2, "",
       "vesk-match: --window \"0\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"0.1s\"", "a.csv b.csv --window '0.1s'", 2, "",
       "vesk-match: --window \"0.1s\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"0x10\"", "a.csv b.csv --window '0x10'", 2, "",
       "vesk-match: --window \"0x10\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"inf\"", "a.csv b.csv --window 'inf'", 2, "",
       "vesk-match: --window \"inf\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"nan\"", "a.csv b.csv --window 'nan'", 2, "",
       "vesk-match: --window \"nan\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"1e1\"", "a.csv b.csv --window '1e1'", 2, "",
       "vesk-match: --window \"1e1\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"-1\"", "a.csv b.csv --window '-1'", 2, "",
       "vesk-match: --window \"-1\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"+1\"", "a.csv b.csv --window '+1'", 2, "",
       "vesk-match: --window \"+1\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \" 1\"", "a.csv b.csv --window ' 1'", 2, "",
       "vesk-match: --window \" 1\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"1.2.3\"", "a.csv b.csv --window '1.2.3'", 2, "",
       "vesk-match: --window \"1.2.3\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \".\"", "a.csv b.csv --window '.'", 2, "",
       "vesk-match: --window \".\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"\"", "a.csv b.csv --window ''", 2, "",
       "vesk-match: --window \"\": not a number of seconds above 0 and up to 86400\n"},
      {"--window \"86400.5\"", "a.csv b.csv --window '86400.5'", 2, "",
       "vesk-match: --window \"86400.5\": not a number of seconds above 0 and up to 86400\n"},
      {"--window with a point and no fraction", "c.csv d.csv --window 1.", 0,
       kPairsHeader + "1,1,-0.045000,flash,flash,10.00,11.00\n"
                      "2,2,-0.020000,flash,flash,20.00,21.00\n"
                      "3,3,0.020000,flash,flash,30.00,31.00\n"
                      "4,,,flash,,40.00,\n",
       "vesk-match: 3 pairs, 1 unmatched in A (c.csv), 0 unmatched in B (d.csv)\n"},
      {"an unknown option", "a.csv b.csv --frob", 2, "",
       "vesk-match: unknown option --frob; usage: vesk-match A/flashes.csv B/flashes.csv "
       "[--window SECONDS] [--max-separation DEG]\n"},
      {"one catalogue", "a.csv", 2, "",
       "vesk-match: two catalogues needed, 1 given; usage: vesk-match A/flashes.csv "
       "B/flashes.csv [--window SECONDS] [--max-separation DEG]\n"},
  };
  ScratchDir dir;
  write_text("a.csv", kA);
  write_text("b.csv", kB);
  write_text("c.csv", catalogue({
                          {1, "2024-03-15T21:00:00.00Z", "10.00", "flash"},
                          {2, "2024-03-15T21:00:00.05Z", "20.00", "flash"},
                          {3, "2024-03-15T21:00:05.00Z", "30.00", "flash"},
                          {4, "2024-03-15T21:00:05.04Z", "40.00", "flash"},
                      }));
  write_text("d.csv", catalogue({
                          {1, "2024-03-15T20:59:59.955Z", "11.00", "flash"},
                          {2, "2024-03-15T21:00:00.03Z", "21.00", "flash"},
                          {3, "2024-03-15T21:00:05.02Z", "31.00", "flash"},
                      }));
  write_text("one.csv", catalogue({{7, "2024-03-15T20:59:59.955Z", "11.00", "flash"}}));
  write_text("empty.csv", flashes_header());
  write_text("no_times.csv", catalogue({{1, "", "50.00", "flash"}}));
  write_text("truth.csv", "frame,x,y,peak,width,kind\n7,182.59,322.51,122.8,2.20,glint\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = run_command(binary + " " + c.args);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.out, with_place_columns(c.out));
    EXPECT_EQ(run.err, c.err);
  }
}

namespace {

// A catalogue with places: event, utc, class, lat, lon, lat_err, lon_err.
struct PlacedRow {
  int event;
  std::string utc;
  std::string verdict;
  std::string place;  // "lat,lon,lat_err,lon_err" or ",,,"
};

std::string placed_catalogue(const std::vector<PlacedRow>& rows) {
  std::string text =
      "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
      "class,report,fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err\n";
  for (const PlacedRow& r : rows) {
    text += std::to_string(r.event) + ",100,1," + r.utc +
            ",4.000000,10.00,20.00,50.00,900.00,"
            "12.00,75.00,-7.39,0,0.00,," +
            r.verdict + ",BMP_FLASHES/00100.bmp,,,," + r.place + "\n";
  }
  return text;
}

}  // namespace

// Two sites: a flash on the same spot is validated; a glint at the same time elsewhere on the
// Moon's face is parallax; time and place choose the pair together.
TEST(VeskMatch, ValidatesByPlace) {
  ScratchDir dir;
  write_text("a.csv", placed_catalogue({
                          {1, "2024-03-15T21:04:09.00Z", "flash", "-29.200,-67.500,0.100,0.200"},
                          {2, "2024-03-15T21:04:13.00Z", "flash", "10.000,20.000,0.100,0.100"},
                          {3, "2024-03-15T21:04:17.00Z", "flash", "5.000,5.000,0.100,0.100"},
                          {4, "2024-03-15T21:04:21.00Z", "flash", ",,,"},
                      }));
  write_text("b.csv", placed_catalogue({
                          // 0.2 degrees off: sigma 0.14 (latitude errors) -> within 3 sigma.
                          {1, "2024-03-15T21:04:09.02Z", "flash", "-29.400,-67.500,0.100,0.200"},
                          // 2 degrees away at the same time: not one spot on the Moon.
                          {2, "2024-03-15T21:04:13.01Z", "flash", "12.000,20.000,0.100,0.100"},
                          // Closer in time but far away, and a little later on the same spot.
                          {3, "2024-03-15T21:04:17.01Z", "flash", "-20.000,40.000,0.100,0.100"},
                          {4, "2024-03-15T21:04:17.04Z", "flash", "5.050,5.000,0.100,0.100"},
                          {5, "2024-03-15T21:04:21.00Z", "flash", "1.000,1.000,0.100,0.100"},
                      }));
  const std::string binary = VESK_MATCH_BINARY;
  ProgramRun run = run_command("'" + binary + "' a.csv b.csv");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out,
            "a_event,b_event,dt,a_class,b_class,a_peak,b_peak,separation,separation_err,verdict\n"
            "1,1,0.020000,flash,flash,50.00,50.00,0.200,0.141,validated\n"
            "2,2,0.010000,flash,flash,50.00,50.00,2.000,0.141,parallax\n"
            "3,4,0.040000,flash,flash,50.00,50.00,0.050,0.141,validated\n"
            "4,5,0.000000,flash,flash,50.00,50.00,,,\n"
            ",3,,,flash,,50.00,,,\n");
  // A limit in degrees instead of 3 sigma.
  run = run_command("'" + binary + "' a.csv b.csv --max-separation 0.1");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("1,1,0.020000,flash,flash,50.00,50.00,0.200,0.141,parallax\n"),
            std::string::npos)
      << run.out;
  run = run_command("'" + binary + "' a.csv b.csv --max-separation x");
  EXPECT_EQ(run.exit_status, 2);
}
