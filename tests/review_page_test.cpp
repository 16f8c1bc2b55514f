#include "review/review_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "imaging/png_file.h"
#include "review/event_images.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> all_without_scratch(std::vector<std::string> lines) {
  for (std::string& line : lines) line = without_scratch(line);
  return lines;
}

// The header of a flashes.csv of the first version (17 columns), which later versions still read.
const std::string kFlashesHeader =
    "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
    "class,report\n";
const std::string kCurvesHeader = "event,frame,offset,flux,flux_err,peak\n";
const std::string kDecisionsHeader = "event,frame,utc,decision\n";

// A good flashes.csv line for event `event` at frame `frame`.
std::string flash_line(int event, int frame, const std::string& cls = "flash") {
  char line[256];
  std::snprintf(line, sizeof line,
                "%d,%d,1,2024-03-15T21:04:05.120Z,12.5,100.25,80.50,140.0,1064.4,6.0,177.4,-3.21,0,"
                "0.00,,%s,BMP_FLASHES/%05d.bmp\n",
                event, frame, cls.c_str(), frame);
  return line;
}

// The page's embedded data: the text of the <script id="vesk-data"> element.
std::string page_data(const std::string& page) {
  const std::string open = "<script id=\"vesk-data\" type=\"application/json\">";
  const std::size_t from = page.find(open);
  const std::size_t to = page.find("</script>", from);
  if (from == std::string::npos || to == std::string::npos) return "";
  return page.substr(from + open.size(), to - from - open.size());
}

// The cards' data: the lines of the <script id="vesk-cards"> element, one per event in time order.
std::vector<std::string> page_cards(const std::string& page) {
  const std::string open = "<script id=\"vesk-cards\" type=\"text/plain\">";
  const std::size_t from = page.find(open);
  const std::size_t to = page.find("</script>", from);
  std::vector<std::string> lines;
  if (from == std::string::npos || to == std::string::npos) return lines;
  std::string text = page.substr(from + open.size(), to - from - open.size());
  for (std::size_t at = 0, end; at <= text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

TEST(ReviewCsv, FlashesLinesThatAreRefused) {
  // Each case: the second line of flashes.csv (the header being right) and the message.
  struct Case {
    std::string line;
    std::string message;
  };
  const std::string good = flash_line(1, 42);
  const auto with_cell = [&](int index, const std::string& cell) {
    std::vector<std::string> cells;
    std::string rest = good.substr(0, good.size() - 1);
    for (std::size_t p; (p = rest.find(',')) != std::string::npos; rest.erase(0, p + 1)) {
      cells.push_back(rest.substr(0, p));
    }
    cells.push_back(rest);
    cells[index] = cell;
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
    return line + "\n";
  };
  const std::string cols =
      " (event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,"
      "saturated,motion,fields,class,report)";
  const Case cases[] = {
      {"1,42\n", "f.csv:2: 2 cells, 17 expected" + cols},
      {good.substr(0, good.size() - 1) + ",extra\n", "f.csv:2: 18 cells, 17 expected" + cols},
      {with_cell(0, "0"), "f.csv:2: column event: 0 is outside 1 to 9999999"},
      {with_cell(0, ""), "f.csv:2: column event: '' is not a whole number"},
      {with_cell(1, "12a"), "f.csv:2: column frame: '12a' is not a whole number"},
      {with_cell(1, "-1"), "f.csv:2: column frame: -1 is outside 0 to 1099511627776"},
      {with_cell(2, "0"), "f.csv:2: column frames: 0 is outside 1 to 1000000"},
      {with_cell(3, "<script>"), "f.csv:2: column utc: '<script>' is not an ISO 8601 time"},
      {with_cell(4, "soon"), "f.csv:2: column seconds: 'soon' is not a number"},
      {with_cell(5, "nan"), "f.csv:2: column x: 'nan' is not a number"},
      {with_cell(5, "inf"), "f.csv:2: column x: 'inf' is not a number"},
      {with_cell(5, "1e7"), "f.csv:2: column x: 1e7 is beyond 1000000 pixels"},
      {with_cell(6, "+3"), "f.csv:2: column y: '+3' is not a number"},
      {with_cell(6, "0x10"), "f.csv:2: column y: '0x10' is not a number"},
      {with_cell(7, ""), "f.csv:2: column peak: '' is not a number"},
      {with_cell(8, "1e999"), "f.csv:2: column flux: '1e999' is not a number"},
      {with_cell(10, "12 "), "f.csv:2: column snr: '12 ' is not a number"},
      {with_cell(12, "2"), "f.csv:2: column saturated: '2' is not 0 or 1"},
      {with_cell(13, ""), "f.csv:2: column motion: '' is not a number"},
      {with_cell(14, "top"), "f.csv:2: column fields: 'top' is not both, odd, even or empty"},
      {with_cell(15, "glint"),
       "f.csv:2: column class: 'glint' is not flash, moving, off_moon, sunlit, edge, hot_pixel, "
       "sharp "
       "or scattered"},
      {with_cell(15, "Flash"),
       "f.csv:2: column class: 'Flash' is not flash, moving, off_moon, sunlit, edge, hot_pixel, "
       "sharp "
       "or scattered"},
      {with_cell(16, "../x.bmp"),
       "f.csv:2: column report: '../x.bmp' is not a path inside the run folder"},
      {with_cell(16, "/etc/x"),
       "f.csv:2: column report: '/etc/x' is not a path inside the run folder"},
      {with_cell(16, "a\"b"), "f.csv:2: column report: 'a\"b' is not a path inside the run folder"},
      {with_cell(16, "BMP\x01"),
       "f.csv:2: column report: 'BMP?' is not a path inside the run folder"},
      {"\n", "f.csv:2: empty line"},
      {good + good, "f.csv:3: event 1 appears twice"},
      {good + "\n" + flash_line(2, 50), "f.csv:3: empty line"},
      {good + std::string(5000, 'x') + "\n", "f.csv:3: longer than 4096 bytes"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    write_text("f.csv", kFlashesHeader + c.line);
    std::vector<FlashRow> events;
    std::string error;
    EXPECT_FALSE(read_flashes_csv(in_scratch("f.csv"), events, &error)) << c.line;
    EXPECT_EQ(without_scratch(error), c.message);
  }
}

TEST(ReviewCsv, FlashesFileAsAWhole) {
  ScratchDir dir;
  std::vector<FlashRow> events;
  std::string error;
  write_text("empty.csv", "");
  EXPECT_FALSE(read_flashes_csv(in_scratch("empty.csv"), events, &error));
  EXPECT_EQ(without_scratch(error), "empty.csv: empty file; the first line must be " +
                                        flashes_header().substr(0, flashes_header().size() - 1));
  write_text("old.csv", "event,frame,x,y\n");
  EXPECT_FALSE(read_flashes_csv(in_scratch("old.csv"), events, &error));
  EXPECT_EQ(without_scratch(error), "old.csv:1: header is 'event,frame,x,y', not " +
                                        flashes_header().substr(0, flashes_header().size() - 1));
  EXPECT_FALSE(read_flashes_csv(in_scratch("none.csv"), events, &error));
  EXPECT_EQ(without_scratch(error), "none.csv: cannot open: No such file or directory");
  fs::create_directory(in_scratch("folder.csv"));
  EXPECT_FALSE(read_flashes_csv(in_scratch("folder.csv"), events, &error));
  EXPECT_EQ(without_scratch(error), "folder.csv: not a regular file");
  fs::resize_file((write_text("big.csv", kFlashesHeader), in_scratch("big.csv")), (64u << 20) + 1);
  EXPECT_FALSE(read_flashes_csv(in_scratch("big.csv"), events, &error));
  EXPECT_EQ(without_scratch(error), "big.csv: larger than 64 MiB");
}

TEST(ReviewCsv, FlashesReadWithCrLfAndEmptyOptionalCells) {
  ScratchDir dir;
  std::string text =
      kFlashesHeader + flash_line(2, 7) + "1,3,2,,,5.5,6.25,30,-4,2,0.5,,1,2.5,odd,edge,\n";
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  write_text("f.csv", crlf);
  std::vector<FlashRow> events;
  std::string error;
  ASSERT_TRUE(read_flashes_csv(in_scratch("f.csv"), events, &error)) << error;
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event, 2);
  EXPECT_EQ(events[0].utc, "2024-03-15T21:04:05.120Z");
  EXPECT_EQ(events[0].report, "BMP_FLASHES/00007.bmp");
  ASSERT_TRUE(events[0].m_inst.has_value());
  EXPECT_EQ(*events[0].m_inst, -3.21);
  const FlashRow& e = events[1];
  EXPECT_EQ(e.frame, 3);
  EXPECT_EQ(e.frames, 2);
  EXPECT_EQ(e.utc, "");
  EXPECT_FALSE(e.seconds.has_value());
  EXPECT_FALSE(e.m_inst.has_value());
  EXPECT_EQ(e.x, 5.5);
  EXPECT_EQ(e.y, 6.25);
  EXPECT_EQ(e.flux, -4.0);
  EXPECT_TRUE(e.saturated);
  EXPECT_EQ(e.fields, "odd");
  EXPECT_EQ(e.event_class, "edge");
  EXPECT_EQ(e.report, "");
}

TEST(ReviewCsv, LightCurveAndDecisionLinesThatAreRefused) {
  ScratchDir dir;
  write_text("f.csv", kFlashesHeader + flash_line(1, 42) + flash_line(2, 90));
  std::vector<FlashRow> events;
  std::string error;
  ASSERT_TRUE(read_flashes_csv(in_scratch("f.csv"), events, &error)) << error;

  struct Case {
    std::string text;
    std::string message;
  };
  const Case curves[] = {
      {"1,37,-5,1.5,2,3\n1,42,11,1,1,1\n", "l.csv:3: column offset: 11 is outside -5 to 10"},
      {"1,37,-6,1,1,1\n", "l.csv:2: column offset: -6 is outside -5 to 10"},
      {"3,42,0,1,1,1\n", "l.csv:2: event 3 is not in flashes.csv"},
      {"1,42,0,1,1,1\n1,42,0,2,2,2\n", "l.csv:3: event 1 offset 0 appears twice"},
      {"1,42,0,x,1,1\n", "l.csv:2: column flux: 'x' is not a number"},
      {"1,42,0,1,1\n", "l.csv:2: 5 cells, 6 expected (event,frame,offset,flux,flux_err,peak)"},
      {"1,4.2,0,1,1,1\n", "l.csv:2: column frame: '4.2' is not a whole number"},
  };
  for (const Case& c : curves) {
    write_text("l.csv", kCurvesHeader + c.text);
    std::vector<LightCurveRow> points;
    EXPECT_FALSE(read_lightcurves_csv(in_scratch("l.csv"), events, points, &error)) << c.text;
    EXPECT_EQ(without_scratch(error), c.message);
  }
  write_text("l.csv", kCurvesHeader + "1,,-5,,,\n2,95,5,-1.5,2,7\n");
  std::vector<LightCurveRow> points;
  ASSERT_TRUE(read_lightcurves_csv(in_scratch("l.csv"), events, points, &error)) << error;
  ASSERT_EQ(points.size(), 2u);
  EXPECT_FALSE(points[0].frame.has_value());
  EXPECT_FALSE(points[0].flux.has_value());
  EXPECT_EQ(*points[1].flux, -1.5);

  const Case decisions[] = {
      {"1,42,,maybe\n", "d.csv:2: column decision: 'maybe' is not accepted, rejected or undecided"},
      {"1,42,,accepted\n1,42,,rejected\n", "d.csv:3: event 1 appears twice"},
      {"1,42,accepted\n", "d.csv:2: 3 cells, 4 expected (event,frame,utc,decision)"},
      {"x,42,,accepted\n", "d.csv:2: column event: 'x' is not a whole number"},
  };
  for (const Case& c : decisions) {
    write_text("d.csv", kDecisionsHeader + c.text);
    std::vector<DecisionRow> lines;
    EXPECT_FALSE(read_decisions_csv(in_scratch("d.csv"), lines, &error)) << c.text;
    EXPECT_EQ(without_scratch(error), c.message);
  }
}

// A run folder with two events written out of time order, pictures for event 1 only, decisions
// for both events plus one for an event of an earlier run.
void make_run(const std::string& folder) {
  write_text(folder + "/flashes.csv",
             kFlashesHeader + flash_line(1, 90, "moving") + flash_line(2, 42));
  write_text(folder + "/lightcurves.csv", kCurvesHeader + "1,85,-5,1,2,3\n1,90,0,50,2,30\n");
  std::vector<std::uint8_t> frame(64 * 48, 20);
  std::vector<std::span<const std::uint8_t>> frames(kOffsetCount, frame);
  std::string error;
  ASSERT_TRUE(write_event_images(in_scratch(folder + "/review"), {1, 64, 48, 30, 20, false, frames},
                                 &error))
      << error;
}

TEST(ReviewPage, CardsInTimeOrderWithDecisionsAndNotices) {
  ScratchDir dir;
  make_run("run");
  write_text("run/decisions.csv", kDecisionsHeader +
                                      "2,42,2024-03-15T21:04:05.120Z,rejected\n1,90,,accepted\n"
                                      "3,77,,accepted\n");
  ReviewPageResult result;
  std::string error;
  ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
  EXPECT_EQ(result.page, in_scratch("run/review/index.html"));
  EXPECT_EQ(result.events, 2);
  EXPECT_EQ(all_without_scratch(result.notices),
            (std::vector<std::string>{
                "run/decisions.csv:4: event 3 at frame 77 is not in flashes.csv; its decision is "
                "ignored",
                "run/review/e0002_strip.png: not found; left out of event 2's card",
                "run/review/e0002_crop.png: not found; left out of event 2's card",
                "run/review/e0002_frame.png: not found; left out of event 2's card"}));
  EXPECT_FALSE(fs::exists(in_scratch("run/review/index.html.part")));
  const std::string page = read_text("run/review/index.html");
  const std::string data = page_data(page);
  const std::vector<std::string> cards = page_cards(page);
  ASSERT_EQ(cards.size(), 2u);
  // Event 2 (frame 42) comes first; event 1's card has its pictures, light curve and decision.
  const std::size_t second = data.find("{\"event\":2,\"frame\":42,");
  const std::size_t first = data.find("{\"event\":1,\"frame\":90,");
  ASSERT_NE(second, std::string::npos);
  ASSERT_NE(first, std::string::npos);
  EXPECT_LT(second, first);
  const std::string one = data.substr(first);
  EXPECT_NE(one.find("\"decision\":\"accepted\""), std::string::npos);
  EXPECT_NE(cards[1].find("\"strip\":{\"src\":\"e0001_strip.png\",\"width\":351,\"height\":21}"),
            std::string::npos);
  EXPECT_NE(cards[1].find("\"interlaced\":false,\"levels\":[20,20,20]"), std::string::npos);
  EXPECT_NE(cards[1].find("\"curve\":[[-5,1,2,3],[0,50,2,30]]"), std::string::npos);
  const std::string two = data.substr(second, first - second);
  EXPECT_NE(two.find("\"decision\":\"rejected\""), std::string::npos);
  EXPECT_NE(cards[0].find("\"strip\":null,\"crop\":null,\"overview\":null"), std::string::npos);
  EXPECT_NE(two.find("\"key\":\"f42@100.25,80.5\""), std::string::npos);
}

// With the run's frame times the light curve's frames get milliseconds from the event's first
// frame; a frame the table lacks gets null, a bad line of the table a notice.
TEST(ReviewPage, LightCurveTimesFromTheRunsFrameTimes) {
  ScratchDir dir;
  write_text("run/flashes.csv", kFlashesHeader + flash_line(1, 42) + flash_line(2, 7));
  write_text("run/lightcurves.csv", kCurvesHeader +
                                        "1,37,-5,1,2,3\n1,42,0,50,2,30\n1,43,1,9,2,5\n"
                                        "2,7,0,50,2,30\n");
  write_text("run/frame_times.csv",
             "frame,utc,seconds\n37,2024-03-15T21:04:01.480Z,1.48\n"
             "42,2024-03-15T21:04:01.6801Z,1.6801\nx,y,z\n");
  ReviewPageResult result;
  std::string error;
  ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
  ASSERT_EQ(result.notices.size(), 2u);
  EXPECT_EQ(without_scratch(result.notices[0]).rfind("run/frame_times.csv: line 4: ", 0), 0u)
      << result.notices[0];
  const std::vector<std::string> cards = page_cards(read_text("run/review/index.html"));
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_NE(cards[1].find("\"curve\":[[-5,1,2,3],[0,50,2,30],[1,9,2,5]],\"ms\":[-200.1,0,null]}"),
            std::string::npos)
      << cards[1];
  // Event 2's first frame has no time: no times for its curve.
  EXPECT_NE(cards[0].find("\"curve\":[[0,50,2,30]]}"), std::string::npos) << cards[0];
}

TEST(ReviewPage, NothingFoundAndNoLightCurves) {
  ScratchDir dir;
  write_text("run/flashes.csv", kFlashesHeader);
  ReviewPageResult result;
  std::string error;
  ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
  EXPECT_EQ(result.events, 0);
  EXPECT_EQ(
      all_without_scratch(result.notices),
      (std::vector<std::string>{"run/lightcurves.csv: not found; the cards show no light curve"}));
  EXPECT_NE(page_data(read_text("run/review/index.html")).find("\"events\":[\n]"),
            std::string::npos);
}

// Pictures that are not what they should be are left out with a notice, and a pipe among them
// does not keep the page waiting.
TEST(ReviewPage, OddPicturesAreLeftOut) {
  ScratchDir dir;
  write_text("run/flashes.csv", kFlashesHeader + flash_line(1, 5));
  write_text("run/lightcurves.csv", kCurvesHeader);
  fs::create_directories(in_scratch("run/review"));
  const std::vector<std::uint8_t> grey(100, 50);
  std::string error;
  ASSERT_TRUE(write_png_file(in_scratch("run/review/e0001_strip.png"), {10, 10, 1, grey}, &error))
      << error;
  ASSERT_EQ(mkfifo(in_scratch("run/review/e0001_crop.png").c_str(), 0600), 0);
  write_text("run/review/e0001_frame.png", "GIF89a");
  ReviewPageResult result;
  ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
  EXPECT_EQ(all_without_scratch(result.notices),
            (std::vector<std::string>{
                "run/review/e0001_crop.png: not a regular file; left out of event 1's card",
                "run/review/e0001_frame.png: not a PNG; left out of event 1's card",
                "run/review/e0001_strip.png: 10 x 10 pixels is not a close-up strip; left out of "
                "event 1's card"}));
  const std::vector<std::string> cards = page_cards(read_text("run/review/index.html"));
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_NE(cards[0].find("\"strip\":null,\"crop\":null,\"overview\":null"), std::string::npos);
}

// The page's data must not end its <script> element early, whatever the folder is called.
TEST(ReviewPage, FolderNameCannotBreakOutOfTheScript) {
  ScratchDir dir;
  const std::string folder = "a</script><script>alert(1)</script>&";
  write_text(folder + "/flashes.csv", kFlashesHeader + flash_line(1, 5));
  ReviewPageResult result;
  std::string error;
  ASSERT_TRUE(write_review_page(in_scratch(folder), result, &error)) << error;
  const std::string page = read_text(folder + "/review/index.html");
  const std::string data = page_data(page);
  EXPECT_EQ(data.find('<'), std::string::npos);
  const std::vector<std::string> cards = page_cards(page);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0].find('<'), std::string::npos);
  EXPECT_NE(data.find("a\\u003c/script\\u003e\\u003cscript\\u003ealert(1)"), std::string::npos);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
}

std::string run_id_of(const std::string& folder) {
  ReviewPageResult result;
  std::string error;
  EXPECT_TRUE(write_review_page(in_scratch(folder), result, &error)) << error;
  const std::string data = page_data(read_text(folder + "/review/index.html"));
  const std::size_t at = data.find("\"id\":\"");
  return at == std::string::npos ? "" : data.substr(at + 6, 16);
}

// Decisions kept by the browser belong to one run: the id stays when the page is only rebuilt
// and changes when flashes.csv is written again, even with the same text, or in another folder.
TEST(ReviewPage, RunIdTellsRunsApart) {
  ScratchDir dir;
  const std::string text = kFlashesHeader + flash_line(1, 5);
  write_text("run/flashes.csv", text);
  write_text("other/flashes.csv", text);
  fs::last_write_time(in_scratch("other/flashes.csv"),
                      fs::last_write_time(in_scratch("run/flashes.csv")));
  const std::string id = run_id_of("run");
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(run_id_of("run"), id);
  EXPECT_NE(run_id_of("other"), id);
  write_text("run/flashes.csv", text);
  fs::last_write_time(in_scratch("run/flashes.csv"),
                      fs::last_write_time(in_scratch("run/flashes.csv")) + std::chrono::seconds(5));
  EXPECT_NE(run_id_of("run"), id);
}

TEST(ReviewPage, BadCsvOrUnwritablePageStopsWithOneLine) {
  ScratchDir dir;
  ReviewPageResult result;
  std::string error;
  EXPECT_FALSE(write_review_page(in_scratch("run"), result, &error));
  EXPECT_EQ(without_scratch(error), "run/flashes.csv: cannot open: No such file or directory");

  write_text("run/flashes.csv", kFlashesHeader + flash_line(1, 5));
  write_text("run/lightcurves.csv", kCurvesHeader + "2,5,0,1,1,1\n");
  EXPECT_FALSE(write_review_page(in_scratch("run"), result, &error));
  EXPECT_EQ(without_scratch(error), "run/lightcurves.csv:2: event 2 is not in flashes.csv");

  fs::remove(in_scratch("run/lightcurves.csv"));
  write_text("run/decisions.csv", "event,frame,decision\n");
  EXPECT_FALSE(write_review_page(in_scratch("run"), result, &error));
  EXPECT_EQ(without_scratch(error),
            "run/decisions.csv:1: header is 'event,frame,decision', not "
            "event,frame,utc,decision");

  fs::remove(in_scratch("run/decisions.csv"));
  fs::create_directories(in_scratch("run/review/index.html/x"));
  EXPECT_FALSE(write_review_page(in_scratch("run"), result, &error));
  EXPECT_EQ(
      without_scratch(error).rfind("run/review/index.html: cannot rename the finished file: ", 0),
      0u)
      << error;
  EXPECT_FALSE(fs::exists(in_scratch("run/review/index.html.part")));
}

// A night with 15 events on 720 x 576 frames of pure noise (the worst case for PNG
// compression): the page and its pictures stay well under a few MB.
TEST(ReviewPage, FifteenEventsOnFullFramesStaySmall) {
  ScratchDir dir;
  std::vector<std::uint8_t> frame(720 * 576);
  std::uint32_t state = 12345;
  for (auto& p : frame) {
    state = state * 1664525u + 1013904223u;
    p = static_cast<std::uint8_t>(20 + (state >> 29));  // noise of 8 grey levels round 23
  }
  std::vector<std::span<const std::uint8_t>> frames(kOffsetCount, frame);
  std::string flashes = kFlashesHeader, curves = kCurvesHeader;
  for (int e = 1; e <= 15; ++e) {
    flashes += flash_line(e, 40 * e);
    for (int k = kFirstOffset; k <= kLastOffset; ++k) {
      curves += std::to_string(e) + "," + std::to_string(40 * e + k) + "," + std::to_string(k) +
                ",12.5,6.25,30\n";
    }
    std::string error;
    ASSERT_TRUE(write_event_images(in_scratch("run/review"),
                                   {e, 720, 576, 30.0 * e, 20.0 * e, false, frames}, &error))
        << error;
  }
  write_text("run/flashes.csv", flashes);
  write_text("run/lightcurves.csv", curves);
  ReviewPageResult result;
  std::string error;
  ASSERT_TRUE(write_review_page(in_scratch("run"), result, &error)) << error;
  std::uintmax_t total = 0;
  for (const auto& f : fs::directory_iterator(in_scratch("run/review"))) total += f.file_size();
  EXPECT_LT(fs::file_size(in_scratch("run/review/index.html")), 200u * 1024);
  EXPECT_LT(total, 3u * 1024 * 1024);
  RecordProperty("review_folder_bytes", std::to_string(total));
}

// decisions.csv as a spreadsheet saves it: each row one file, vesk-review's exit status, its
// standard error after the usual notices, and the decision event 1 starts with on the page.
TEST(VeskReview, DecisionsSavedBySpreadsheets) {
  ScratchDir dir;
  write_text("run/flashes.csv", kFlashesHeader + flash_line(1, 5) + flash_line(2, 9));
  write_text("run/lightcurves.csv", kCurvesHeader);
  const std::string bom = "\xEF\xBB\xBF";
  const std::string one = "1,5,2024-03-15T21:04:05.120Z,accepted";
  const std::string two = "2,9,,rejected";
  struct Case {
    std::string text;
    int status;
    std::string err;       // the error, or nothing but the notice of the missing pictures
    std::string decision;  // event 1's, when the page is written
  };
  const Case cases[] = {
      {bom + "event,frame,utc,decision\n" + one + "\n", 0, "", "accepted"},
      {"event,frame,utc,decision\n" + one + "\n\n\n", 0, "", "accepted"},
      {bom + "event,frame,utc,decision\r\n" + one + "\r\n" + two + "\r\n\r\n\r\n", 0, "",
       "accepted"},
      {bom + "event,frame,utc,decision\n" + one, 0, "", "accepted"},
      {bom + "event,frame,utc,decision\n\n", 0, "", "undecided"},
      {bom + "\n\n", 1,
       "run/decisions.csv: empty file; the first line must be event,frame,utc,decision\n", ""},
      {bom + "event,frame,utc,decision\n" + one + "\n\n" + two + "\n", 1,
       "run/decisions.csv:3: empty line\n", ""},
      {bom + bom + "event,frame,utc,decision\n" + one + "\n", 1,
       "run/decisions.csv:1: header is '???event,frame,utc,decision', not "
       "event,frame,utc,decision\n",
       ""},
      {"event,frame,utc,decision\n" + one + "\n \n", 1,
       "run/decisions.csv:3: 1 cells, 4 expected (event,frame,utc,decision)\n", ""},
  };
  for (const Case& c : cases) {
    write_text("run/decisions.csv", c.text);
    fs::remove(in_scratch("run/review/index.html"));
    const ProgramRun r = run_command(std::string(VESK_REVIEW_BINARY) + " run");
    EXPECT_EQ(r.exit_status, c.status) << c.text;
    EXPECT_EQ(r.err,
              c.status == 0
                  ? "run/review: no event pictures; the cards show the catalogue values only\n"
                  : c.err)
        << c.text;
    if (c.status != 0) {
      EXPECT_FALSE(fs::exists(in_scratch("run/review/index.html"))) << c.text;
      continue;
    }
    const std::string data = page_data(read_text("run/review/index.html"));
    const std::size_t at = data.find("{\"event\":1,");
    ASSERT_NE(at, std::string::npos) << c.text;
    EXPECT_NE(data.find("\"decision\":\"" + c.decision + "\"", at), std::string::npos) << c.text;
    EXPECT_LT(data.find("\"decision\":\"" + c.decision + "\"", at), data.find("{\"event\":2,"))
        << c.text;
  }
}

TEST(VeskReview, ExitStatusAndMessages) {
  ScratchDir dir;
  write_text("run/flashes.csv", kFlashesHeader + flash_line(1, 5));
  struct Case {
    std::string args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {"run", 0, "Wrote run/review/index.html (1 event)\n",
       "run/lightcurves.csv: not found; the cards show no light curve\n"
       "run/review: no event pictures; the cards show the catalogue values only\n"},
      {"--bogus", 2, "", "vesk-review: unknown option --bogus (see --help)\n"},
      {"run other", 2, "", "vesk-review: one run folder at most, got other as well (see --help)\n"},
      {"''", 2, "", "vesk-review: the run folder name is empty\n"},
      {"missing", 1, "", "missing/flashes.csv: cannot open: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    const ProgramRun r = run_command(std::string(VESK_REVIEW_BINARY) + " " + c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.args;
    EXPECT_EQ(r.out, c.out) << c.args;
    EXPECT_EQ(r.err, c.err) << c.args;
  }
  // Without a folder it works in the current one.
  const ProgramRun here = run_command(std::string("cd run && ") + VESK_REVIEW_BINARY);
  EXPECT_EQ(here.exit_status, 0);
  EXPECT_EQ(here.out, "Wrote ./review/index.html (1 event)\n");
}

}  // namespace
