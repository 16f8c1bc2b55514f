// The run folder's file formats: each table's writer read back by its reader gives the rows it
// was given (an empty optional stays empty), each reader names file, line and column when it
// refuses a line, and the UTC parsers agree where their forms overlap.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "formats/completeness_csv.h"
#include "formats/data_dump_txt.h"
#include "formats/decisions_csv.h"
#include "formats/flash_info_dat.h"
#include "formats/flashes_csv.h"
#include "formats/frame_times_csv.h"
#include "formats/lightcurves_csv.h"
#include "formats/match_csv.h"
#include "formats/run_names.h"
#include "formats/utc.h"
#include "test_support.h"

namespace {

// Two events: one with every cell filled, one with every optional cell empty.
std::vector<FlashRow> sample_flashes() {
  FlashRow a;
  a.event = 1;
  a.frame = 123456789012;
  a.frames = 3;
  a.utc = "2024-03-15T21:04:05.1234567Z";
  a.seconds = 4.123456;
  a.x = 100.25;
  a.y = -0.5;
  a.peak = 140.75;
  a.flux = 1064.5;
  a.flux_err = 6.25;
  a.snr = 170.32;
  a.m_inst = -7.57;
  a.saturated = true;
  a.motion = 13.83;
  a.fields = "odd";
  a.event_class = "moving";
  a.report = "BMP_FLASHES/00042.bmp";
  a.fwhm = 2.35;
  a.optics_fwhm = 2.9;
  a.ring = "end";
  a.clusters = 2;
  // A file name with a comma and a quote is quoted; it comes back as it was.
  a.file = "night 2, \"east\".ser";
  a.file_frame = 1234;
  FlashRow b;
  b.event = 2;
  b.frame = 0;
  b.frames = 1;
  b.x = 1.0;
  b.y = 2.0;
  b.event_class = "edge";
  return {a, b};
}

void expect_same(const FlashRow& a, const FlashRow& b) {
  EXPECT_EQ(a.event, b.event);
  EXPECT_EQ(a.frame, b.frame);
  EXPECT_EQ(a.frames, b.frames);
  EXPECT_EQ(a.utc, b.utc);
  EXPECT_EQ(a.seconds, b.seconds);
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.peak, b.peak);
  EXPECT_EQ(a.flux, b.flux);
  EXPECT_EQ(a.flux_err, b.flux_err);
  EXPECT_EQ(a.snr, b.snr);
  EXPECT_EQ(a.m_inst, b.m_inst);
  EXPECT_EQ(a.saturated, b.saturated);
  EXPECT_EQ(a.motion, b.motion);
  EXPECT_EQ(a.fields, b.fields);
  EXPECT_EQ(a.event_class, b.event_class);
  EXPECT_EQ(a.report, b.report);
  EXPECT_EQ(a.fwhm, b.fwhm);
  EXPECT_EQ(a.optics_fwhm, b.optics_fwhm);
  EXPECT_EQ(a.ring, b.ring);
  EXPECT_EQ(a.clusters, b.clusters);
  EXPECT_EQ(a.file, b.file);
  EXPECT_EQ(a.file_frame, b.file_frame);
}

}  // namespace

TEST(Formats, FlashesWrittenAndReadBack) {
  // The sample's values have at most the decimals written, so they come back exactly.
  const std::vector<FlashRow> rows = sample_flashes();
  std::string text = flashes_header();
  for (const FlashRow& r : rows) text += flashes_line(r);
  EXPECT_EQ(text,
            "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,"
            "fields,class,report,fwhm,optics_fwhm,ring,lat,lon,lat_err,lon_err,clusters,file,"
            "file_frame\n"
            "1,123456789012,3,2024-03-15T21:04:05.1234567Z,4.123456,100.25,-0.50,140.75,1064.50,"
            "6.25,170.32,-7.57,1,13.83,odd,moving,BMP_FLASHES/00042.bmp,2.35,2.90,end,,,,,2,"
            "\"night 2, \"\"east\"\".ser\",1234\n"
            "2,0,1,,,1.00,2.00,0.00,0.00,0.00,,,0,0.00,,edge,,,,,,,,,,,\n");
  ScratchDir dir;
  write_text("flashes.csv", text);
  std::vector<FlashRow> back;
  std::string error;
  ASSERT_TRUE(read_flashes_csv(in_scratch("flashes.csv"), back, &error)) << error;
  ASSERT_EQ(back.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) expect_same(back[i], rows[i]);
}

TEST(Formats, LightCurvesDecisionsMatchesAndCompletenessReadBack) {
  ScratchDir dir;
  std::string error;

  const std::vector<FlashRow> events = sample_flashes();
  LightCurveRow held{1, 123456789007, -5, 12.5, 2.25, -3.0};
  LightCurveRow missing;
  missing.event = 2;
  missing.offset = kCurveLastOffset;
  write_text("l.csv", lightcurves_header() + lightcurves_line(held) + lightcurves_line(missing));
  EXPECT_EQ(read_text("l.csv"),
            "event,frame,offset,flux,flux_err,peak\n1,123456789007,-5,12.50,2.25,-3.00\n"
            "2,,10,,,\n");
  std::vector<LightCurveRow> curves;
  ASSERT_TRUE(read_lightcurves_csv(in_scratch("l.csv"), events, curves, &error)) << error;
  ASSERT_EQ(curves.size(), 2u);
  EXPECT_EQ(curves[0].frame, held.frame);
  EXPECT_EQ(curves[0].flux, held.flux);
  EXPECT_EQ(curves[0].peak, held.peak);
  EXPECT_FALSE(curves[1].frame || curves[1].flux || curves[1].flux_err || curves[1].peak);

  const DecisionRow decided[] = {{0, 1, 42, "2024-03-15T21:04:05.12Z", Decision::accepted},
                                 {0, 2, 7, "", Decision::rejected},
                                 {0, 3, 9, "", Decision::undecided}};
  std::string text = decisions_header();
  for (const DecisionRow& d : decided) text += decisions_line(d);
  write_text("d.csv", text);
  std::vector<DecisionRow> decisions;
  ASSERT_TRUE(read_decisions_csv(in_scratch("d.csv"), decisions, &error)) << error;
  ASSERT_EQ(decisions.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(decisions[i].line, static_cast<int>(i) + 2);
    EXPECT_EQ(decisions[i].event, decided[i].event);
    EXPECT_EQ(decisions[i].frame, decided[i].frame);
    EXPECT_EQ(decisions[i].utc, decided[i].utc);
    EXPECT_EQ(decisions[i].decision, decided[i].decision);
  }

  const MatchRow pair{4, 5, -0.05, "flash", "moving", 41.0, 44.25};
  MatchRow alone;  // an event of B left unmatched
  alone.b_event = 7;
  alone.b_class = "edge";
  alone.b_peak = 12.5;
  write_text("m.csv", match_header() + match_line(pair) + match_line(alone));
  EXPECT_EQ(read_text("m.csv"),
            "a_event,b_event,dt,a_class,b_class,a_peak,b_peak,separation,separation_err,verdict\n"
            "4,5,-0.050000,flash,moving,41.00,44.25,,,\n,7,,,edge,,12.50,,,\n");
  std::vector<MatchRow> pairs;
  ASSERT_TRUE(read_match_csv(in_scratch("m.csv"), pairs, &error)) << error;
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].a_event, 4);
  EXPECT_EQ(pairs[0].dt, -0.05);
  EXPECT_EQ(pairs[0].b_class, "moving");
  EXPECT_EQ(pairs[0].b_peak, 44.25);
  EXPECT_FALSE(pairs[1].a_event || pairs[1].dt || pairs[1].a_peak);
  EXPECT_EQ(pairs[1].a_class, "");
  EXPECT_EQ(pairs[1].b_event, 7);

  const CompletenessRow bin{5, 2, 4, 3, 8, 12, 40, 38, 1, 2, 5000000000, 1, 0, 3, 7};
  write_text("c.csv", completeness_header() + completeness_line(bin));
  EXPECT_EQ(read_text("c.csv"),
            "time_sd,min_sd2,min_sd1,neighbour_sd,strength_from,strength_to,injected,found,"
            "false_alarms,edge_alarms,frames,noise_alarms,upward_alarms,moving_alarms,uncertain\n"
            "5,2,4,3,8,12,40,38,1,2,5000000000,1,0,3,7\n");
  std::vector<CompletenessRow> bins;
  ASSERT_TRUE(read_completeness_csv(in_scratch("c.csv"), bins, &error)) << error;
  ASSERT_EQ(bins.size(), 1u);
  EXPECT_EQ(bins[0].strength_to, 12.0);
  EXPECT_EQ(bins[0].found, 38);
  EXPECT_EQ(bins[0].frames, 5000000000);
  EXPECT_EQ(bins[0].moving_alarms, 3);
  EXPECT_EQ(bins[0].uncertain, 7);
  // A file of the first version, without the last four columns, is still read.
  write_text("c1.csv",
             "time_sd,min_sd2,min_sd1,neighbour_sd,strength_from,strength_to,injected,found,"
             "false_alarms,edge_alarms,frames\n5,2,4,3,8,12,40,38,1,2,50\n");
  ASSERT_TRUE(read_completeness_csv(in_scratch("c1.csv"), bins, &error)) << error;
  ASSERT_EQ(bins.size(), 1u);
  EXPECT_EQ(bins[0].frames, 50);
  EXPECT_EQ(bins[0].uncertain, 0);
}

TEST(Formats, FrameTimesWrittenAndReadBack) {
  // Frame 1's times are unknown: its line has empty cells, which the reader warns about and
  // skips (the policy of frame_times.csv), keeping the frames around it. Frame 3 has its seconds
  // alone (a video without a start time): taken, its UTC unknown.
  const std::int64_t start =
      utc_day_ticks(2024, 3, 15) + (21 * 3600 + 4 * 60 + 5) * kTicksPerSecond;
  const FrameTimesRow rows[] = {{start, 0, kTimeFromFps},
                                {std::nullopt, std::nullopt, ""},
                                {start + 400000, 400000, kTimeFromFps},
                                {std::nullopt, 800000, kTimeFromPts}};
  ScratchDir dir;
  // The frames are frames 5 on of a file whose name holds a comma, a quote and a line end: it is
  // quoted and its control byte escaped, and the reader still finds every frame's times.
  write_text("frame_times.csv", frame_times_csv(rows, "night, \"2\"\n.ser", 5));
  EXPECT_EQ(read_text("frame_times.csv"),
            "frame,utc,seconds,source,file,file_frame\n"
            "0,2024-03-15T21:04:05.0000000Z,0.0000000,fps,\"night, \"\"2\"\"\\x0a.ser\",5\n"
            "1,,,,\"night, \"\"2\"\"\\x0a.ser\",6\n"
            "2,2024-03-15T21:04:05.0400000Z,0.0400000,fps,\"night, \"\"2\"\"\\x0a.ser\",7\n"
            "3,,0.0800000,pts,\"night, \"\"2\"\"\\x0a.ser\",8\n");
  FrameTimes times;
  std::vector<std::string> warnings;
  std::string error;
  ASSERT_TRUE(read_frame_times_csv(in_scratch(""), times, warnings, &error)) << error;
  EXPECT_EQ(warnings,
            std::vector<std::string>{"frame_times.csv: line 3: utc \"\" is not a time like "
                                     "2024-03-15T21:04:05.1234567Z"});
  ASSERT_EQ(times.entries.size(), 3u);
  EXPECT_EQ(format_utc(times.entries[0].utc), utc_text(start));
  EXPECT_EQ(times.entries[1].frame, 2);
  EXPECT_EQ(times.entries[1].seconds, 0.04);
  EXPECT_EQ(find_frame_time(times, 1), nullptr);
  EXPECT_EQ(times.entries[2].frame, 3);
  EXPECT_FALSE(times.entries[2].utc_known);
  EXPECT_TRUE(times.entries[0].utc_known && times.entries[1].utc_known);
  EXPECT_EQ(times.entries[2].seconds, 0.08);

  // No file: no table, no warning, no error.
  std::filesystem::remove(in_scratch("frame_times.csv"));
  warnings.clear();
  ASSERT_TRUE(read_frame_times_csv(in_scratch(""), times, warnings, &error));
  EXPECT_TRUE(times.entries.empty() && warnings.empty());
}

TEST(Formats, ReadersNameFileLineAndColumn) {
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  const std::string flashes = flashes_header();
  const std::string good_flash = flashes_line(sample_flashes()[0]);
  const std::string match = match_header();
  const std::string completeness = completeness_header();
  const Case cases[] = {
      {"flashes: a header of fewer columns than the first version",
       "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
       "class\n",
       "t.csv:1: header is 'event,frame,frames,utc,seconds,x,y,peak,...', not " +
           flashes.substr(0, flashes.size() - 1)},
      {"flashes: a utc of the wrong form",
       flashes + good_flash + "2,0,1,2024-03-15 21:04:05Z" +
           good_flash.substr(good_flash.find(",4.12")),
       "t.csv:3: column utc: '2024-03-15 21:04:05Z' is not an ISO 8601 time"},
      {"flashes: a day that does not exist",
       flashes + "2,0,1,2023-02-29T00:00:00Z" + good_flash.substr(good_flash.find(",4.12")),
       "t.csv:2: column utc: '2023-02-29T00:00:00Z' is not an ISO 8601 time"},
      {"flashes: text after a file name's closing quote",
       flashes + good_flash.substr(0, good_flash.find(",\"night")) + ",\"night\"x.ser,7\n",
       "t.csv:2: column file: '\"night\"x.ser' is not a quoted text (\"...\" with \"\" for a "
       "quote)"},
      {"match: a class it does not know", match + "1,2,0.000000,glint,flash,1.00,2.00,,,\n",
       "t.csv:2: column a_class: 'glint' is not a class of flashes.csv or empty"},
      {"match: a row of no event", match + ",,,,,,,,,\n", "t.csv:2: neither a_event nor b_event"},
      {"match: dt not a number", match + "1,2,soon,flash,flash,1.00,2.00,,,\n",
       "t.csv:2: column dt: 'soon' is not a number"},
      {"match: event 0", match + "1,0,0.1,flash,flash,1.00,2.00,,,\n",
       "t.csv:2: column b_event: 0 is outside 1 to 9999999"},
      {"completeness: a negative count", completeness + "5,2,4,3,8,12,40,-1,1,2,50,1,0,0,3\n",
       "t.csv:2: column found: -1 is outside 0 to 2147483647"},
      {"completeness: a cell missing", completeness + "5,2,4,3,8,12,40,38,1,2,50,1,0,0\n",
       "t.csv:2: 14 cells, 15 expected (" + completeness.substr(0, completeness.size() - 1) + ")"},
      {"completeness: an empty line", completeness + "\n", "t.csv:2: empty line"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_text("t.csv", c.text);
    std::string error;
    const std::string name(c.name);
    if (name.starts_with("flashes")) {
      std::vector<FlashRow> rows;
      EXPECT_FALSE(read_flashes_csv(in_scratch("t.csv"), rows, &error));
    } else if (name.starts_with("match")) {
      std::vector<MatchRow> rows;
      EXPECT_FALSE(read_match_csv(in_scratch("t.csv"), rows, &error));
    } else {
      std::vector<CompletenessRow> rows;
      EXPECT_FALSE(read_completeness_csv(in_scratch("t.csv"), rows, &error));
    }
    EXPECT_EQ(without_scratch(error), c.message);
  }
}

TEST(Formats, FlashInfoAndDataDumpText) {
  FlashInfoRecord r;
  r.frame = 4294967296;
  r.flashes = 3;
  r.sample = 11;
  r.line = 10;
  r.scatter = 1.4142135;
  r.signal = 1e30;  // "%f" of it is 38 characters: the line is not cut short
  EXPECT_EQ(flash_info_line(r),
            "4294967296 3 11.000000 10.000000 1.414214 0.000000 0.000000 "
            "1000000000000000019884624838656.000000 0.000000 0.000000 0.000000\n");
  DataDump d;
  d.image_width = 720;
  d.image_height = 576;
  d.interlace = 1;
  d.frames = 600;
  d.min_sd2 = 2;
  EXPECT_EQ(data_dump_text(d),
            "image_width=720\nimage_height=576\ninterlace=1\nnframes=600\nmin_flash_limit=0\n"
            "max_flash_limit=0\nneighour_sd=0.000000\ntime_sd=0.000000\nmin_sd1=0.000000\n"
            "min_sid2=2.000000\nleft_border=0\nright_border=0\ntop_border=0\nbottom_border=0\n"
            "peak_killer=0.000000\ninterlace=1\n");
}

TEST(Formats, UtcParsersAgreeWhereTheirFormsOverlap) {
  // parse_utc keeps the text as written (1-9 fraction digits, a leap second, "Z" needed);
  // parse_utc_text gives ticks (at most 7 digits, no leap second, "Z" optional).
  struct Case {
    const char* text;
    bool as_written;
    bool as_ticks;
  };
  const Case cases[] = {
      {"2024-03-15T21:04:05.1234567Z", true, true}, {"2024-03-15T21:04:05Z", true, true},
      {"2024-03-15T21:04:05", false, true},         {"2024-03-15T21:04:05.123456789Z", true, false},
      {"2016-12-31T23:59:60Z", true, false},        {"2024-02-29T00:00:00Z", true, true},
      {"2023-02-29T00:00:00Z", false, false},       {"0000-01-01T00:00:00Z", true, false},
      {"2024-03-15T21:04:05.Z", false, false},      {"2024-03-15T24:00:00Z", false, false},
      {"2024-03-15T21:04:05ZZ", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    UtcTime time;
    std::int64_t ticks = 0;
    EXPECT_EQ(parse_utc(c.text, time), c.as_written);
    EXPECT_EQ(parse_utc_text(c.text, ticks), c.as_ticks);
    if (c.as_written) {
      EXPECT_EQ(format_utc(time), c.text);
    }
    if (c.as_written && c.as_ticks) {
      // Both readings name the same instant.
      UtcTime from_ticks;
      ASSERT_TRUE(parse_utc(utc_text(ticks), from_ticks));
      EXPECT_EQ(seconds_between(time, from_ticks), 0.0);
    }
  }
}

TEST(Formats, RunNamesAreThoseARunWrites) {
  const std::pair<const char*, bool> cases[] = {
      {"flashes.csv", true},
      {"flashes.csv.part", true},
      {"frame_times.csv.part", true},
      {"BMP_FLASHES/00042.bmp", true},
      {"BMP_FLASHES/123456.bmp", true},
      {"BMP_FLASHES/.bmp", false},
      {"BMP_FLASHES/x0042.bmp", false},
      {"review/e0001_strip.png", true},
      {"review/e0001_diff.png", true},
      {"review/index.html", true},
      {"review/events.js", true},
      {"review/events.js.part", true},
      {"review/events.json", false},
      {"review/notes.txt", false},
      {"BMP_RAW/a00000.bmp", true},
      {"tune/completeness.csv", true},
      {"night.ser", false},
      {"flashes.csv.bak", false},
      {"", false},
  };
  for (const auto& [name, written] : cases) EXPECT_EQ(is_run_name(name), written) << name;
}
