// The flash catalogue as a run writes it: flashes.csv and lightcurves.csv from whole runs of
// written 48 x 40 frames through run_detection (flat grey 50, so every flux is exact), the times
// from frame_times.csv in both layouts and its bad lines, the fields of interlaced runs, and the
// sink told of each closed event. The frame_times.csv parser is tested on its own first.
#include "outputs/flash_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "control/driver.h"
#include "formats/flash_info_dat.h"
#include "formats/frame_times_csv.h"
#include "imaging/frame_files.h"
#include "sources/frame_folder.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ParsedTimes {
  std::vector<std::string> entries;  // "frame utc seconds"
  std::vector<std::string> warnings;
};

ParsedTimes parse_times(const std::string& text) {
  FrameTimes times;
  times.name = "frame_times.csv";
  ParsedTimes parsed;
  std::int64_t number = 0;
  for (const std::string& line : lines_of(text)) {
    add_frame_times_line(times, line, ++number, parsed.warnings);
  }
  settle_frame_times(times, parsed.warnings);
  for (const FrameTimeEntry& e : times.entries) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f", e.seconds);
    parsed.entries.push_back(std::to_string(e.frame) + " " + format_utc(e.utc) + " " + seconds);
  }
  return parsed;
}

}  // namespace

// Both layouts, times across midnight and a leap day, and every kind of bad line: each one warned
// about with its line number and left out, the good lines kept.
TEST(FrameTimes, ParsesBothLayoutsAndWarnsAboutBadLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> entries;
    std::vector<std::string> warnings;
  };
  const std::string bad = "frame_times.csv: line ";
  const std::vector<Case> cases = {
      {"frame,utc,seconds",
       "frame,utc,seconds\n0,2024-03-15T21:04:05.1234567Z,0.0000000\n"
       "1,2024-03-15T21:04:05.1634567Z,0.0400000\n",
       {"0 2024-03-15T21:04:05.1234567Z 0.000000", "1 2024-03-15T21:04:05.1634567Z 0.040000"},
       {}},
      {"frame,utc: seconds from the first frame listed, across midnight",
       "frame,utc\n7,2024-03-15T23:59:59.98Z\n8,2024-03-16T00:00:00.02Z\n",
       {"7 2024-03-15T23:59:59.98Z 0.000000", "8 2024-03-16T00:00:00.02Z 0.040000"},
       {}},
      {"frame,utc over a leap day, lines out of order, CR LF",
       "frame,utc\r\n6,2024-03-01T00:00:01Z\r\n5,2024-02-28T23:59:59Z\r\n",
       {"5 2024-02-28T23:59:59Z 0.000000", "6 2024-03-01T00:00:01Z 86402.000000"},
       {}},
      {"bad lines",
       "frame,utc,seconds\n0,2024-03-15T21:04:05Z,0\nx,2024-03-15T21:04:05Z,0\n"
       "2,2023-02-29T00:00:00Z,1\n3,2024-03-15T21:04:05,1\n4,2024-03-15T21:04:05Z\n"
       "5,2024-03-15T21:04:05Z,abc\n\n6,2024-03-15T21:04:05.Z,2\n",
       {"0 2024-03-15T21:04:05Z 0.000000"},
       {bad + "3: frame \"x\" is not a frame number",
        bad + "4: utc \"2023-02-29T00:00:00Z\" is not a time like 2024-03-15T21:04:05.1234567Z",
        bad + "5: utc \"2024-03-15T21:04:05\" is not a time like 2024-03-15T21:04:05.1234567Z",
        bad + "6: 2 fields where frame,utc,seconds has 3",
        bad + "7: seconds \"abc\" is not a number", "frame_times.csv: 1 more bad lines not shown"}},
      {"a frame listed twice keeps its first line",
       "frame,utc\n3,2024-03-15T21:04:05Z\n3,2024-03-15T21:04:06Z\n",
       {"3 2024-03-15T21:04:05Z 0.000000"},
       {bad + "3: frame 3 listed again (first at line 2); the first is kept"}},
      {"a line too long",
       "frame,utc\n1,2024-03-15T21:04:05Z" + std::string(200, '0') + "\n",
       {},
       {bad + "2: longer than 200 bytes"}},
      {"a header not understood",
       "utc,frame\n2024-03-15T21:04:05Z,0\n",
       {},
       {bad + "1: not the header frame,utc,seconds or frame,utc; its times are not used"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParsedTimes parsed = parse_times(c.text);
    EXPECT_EQ(parsed.entries, c.entries);
    EXPECT_EQ(parsed.warnings, c.warnings);
  }
}

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 40;
constexpr int kFrames = 60;
constexpr int kImages = 10;  // the ring holds 4 frames before the tested one and 5 after

// A block of grey `value` over columns x .. x + w - 1 of the listed rows, in one frame.
struct Block {
  int frame;
  int x;
  int w;
  std::vector<int> rows;
  std::uint8_t value;
};

// A 3 x 3 flash with its centre at (16, 11) in frame 20; a flash at (31, 26) fading over frames
// 35 and 36; a 2 x 1 point at row 30 moving 6 pixels per frame through frames 45 to 48.
std::vector<Block> standard_blocks() {
  std::vector<Block> blocks = {
      {20, 15, 3, {10, 11, 12}, 200},
      {35, 30, 3, {25, 26, 27}, 200},
      {36, 30, 3, {25, 26, 27}, 120},
  };
  for (int k = 0; k < 4; ++k) blocks.push_back({45 + k, 8 + 6 * k, 2, {30}, 200});
  return blocks;
}

void write_frames(const std::vector<Block>& blocks) {
  for (int f = 0; f < kFrames; ++f) {
    std::vector<std::uint8_t> pixels(kWidth * kHeight, 50);
    for (const Block& b : blocks) {
      if (b.frame != f) continue;
      for (int row : b.rows) {
        for (int x = b.x; x < b.x + b.w; ++x)
          pixels[static_cast<std::size_t>(row * kWidth + x)] = b.value;
      }
    }
    write_raw_frame(f, kWidth, kHeight, pixels);
  }
}

DetectionSettings settings_for(int interlace) {
  return small_run_settings(kImages, interlace);
}

struct CatalogueRun {
  RunOutcome outcome;
  std::string err;
  std::string flashes;
  std::string curves;
};

// The processing phase in the working folder with the program's outputs, the catalogue built as
// run_detection builds it, plus `sinks`.
CatalogueRun run_catalogue(int interlace, std::vector<EventSink*> sinks = {}, double psf = 0.0) {
  std::string error;
  const std::unique_ptr<FrameSource> source = open_frame_folder(scratch_folder(), &error);
  EXPECT_NE(source, nullptr) << error;
  RunBuffers buffers;
  EXPECT_TRUE(allocate_run_buffers(buffers, source->geometry(), kImages, 0, &error)) << error;
  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  EXPECT_TRUE(load_report_header(scratch_folder(), report_header, kWidth, kHeight, &error))
      << error;
  char* err_text = nullptr;
  std::size_t err_size = 0;
  std::FILE* err = open_memstream(&err_text, &err_size);
  std::FILE* out = std::fopen("/dev/null", "w");
  CatalogueRun run;
  const DetectionSettings settings = settings_for(interlace);
  if (sinks.empty() && psf == 0.0) {
    run.outcome =
        run_detection(scratch_folder(), *source, settings, report_header, buffers, out, err);
  } else {
    const std::unique_ptr<RunOutput> catalogue =
        make_flash_catalogue({scratch_folder(), interlace, out, err, std::move(sinks), {}, psf});
    RunOutput* const outputs[] = {catalogue.get()};
    const RunParameters parameters{kImages, settings.Min_flash_limit, settings.Max_flash_limit,
                                   detection_thresholds(settings)};
    run.outcome = process_frames(*source, parameters, buffers, outputs, out, err);
  }
  std::fclose(out);
  std::fclose(err);
  run.err = std::string(err_text, err_size);
  std::free(err_text);
  run.flashes = read_text(kFlashesName);
  run.curves = read_text(kLightCurvesName);
  return run;
}

// Column `name` of every event line of flashes.csv.
std::vector<std::string> column(const std::string& flashes, const std::string& name) {
  const std::vector<std::string> lines = lines_of(flashes);
  std::vector<std::string> header;
  std::stringstream h(lines.at(0));
  for (std::string field; std::getline(h, field, ',');) header.push_back(field);
  const auto at =
      static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  std::vector<std::string> values;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> fields;
    std::stringstream l(lines[i] + ",");  // the trailing comma keeps a last empty field
    for (std::string field; std::getline(l, field, ',');) fields.push_back(field);
    values.push_back(at < fields.size() ? fields[at] : "?");
  }
  return values;
}

}  // namespace

// A run's catalogue on a flat background, where every flux is exact: a 3 x 3 flash of 150 grey
// levels above its surroundings gives 1350; the fading flash gives 9 x (200 - 520 / 9) in its
// first frame and 9 x (120 - 600 / 9) in its second, 1760 in all; the moving point is one event.
// flux_err comes from the floor of 1 grey level over 29 pixels: sqrt(29 x 10 / 9) = 5.68.
TEST(FlashCatalogue, RunWritesOneLinePerEventAndItsLightCurve) {
  ScratchDir dir;
  make_run_folder();
  write_frames(standard_blocks());
  write_text(kFlashesName, "an earlier run's catalogue\n");
  const CatalogueRun run = run_catalogue(0);
  EXPECT_TRUE(run.outcome.completed);
  EXPECT_FALSE(run.outcome.lost_output);
  EXPECT_EQ(run.err, "");
  const std::vector<std::string> lines = lines_of(run.flashes);
  ASSERT_EQ(lines.size(), 4u) << run.flashes;
  EXPECT_EQ(lines[0] + "\n", flashes_header());
  EXPECT_EQ(lines[1],
            "1,20,1,,,16.00,11.00,150.00,1350.00,5.68,237.82,-7.83,0,0.00,,flash,"
            "BMP_FLASHES/00020.bmp,2.40,,full,,,,,1,BMP_RAW/a00020.bmp,0");
  EXPECT_EQ(lines[2],
            "2,35,2,,,31.00,26.00,142.22,1760.00,8.03,225.49,-8.11,0,0.00,,flash,"
            "BMP_FLASHES/00035.bmp,2.40,,full,,,,,1,BMP_RAW/a00035.bmp,0");
  EXPECT_EQ(column(run.flashes, "class")[2], "moving");
  EXPECT_EQ(column(run.flashes, "frame")[2], "45");
  EXPECT_EQ(column(run.flashes, "frames")[2], "4");
  EXPECT_EQ(column(run.flashes, "x")[2], "8.50");
  EXPECT_EQ(column(run.flashes, "motion")[2], "6.00");

  // Sixteen lines per event; with N = 10 the ring holds offsets -4 to +5 only.
  const std::vector<std::string> curves = lines_of(run.curves);
  ASSERT_EQ(curves.size(), 1u + 3u * 16u);
  EXPECT_EQ(curves[0] + "\n", lightcurves_header());
  EXPECT_EQ(curves[1], "1,15,-5,,,");
  // Without the flash every aperture pixel is 50; the peak is then a pixel outside the block.
  EXPECT_EQ(curves[2], "1,16,-4,-150.00,5.68,0.00");
  EXPECT_EQ(curves[6], "1,20,0,1350.00,5.68,150.00");
  EXPECT_EQ(curves[11], "1,25,5,-150.00,5.68,0.00");
  EXPECT_EQ(curves[12], "1,26,6,,,");
  EXPECT_EQ(curves[16], "1,30,10,,,");
  EXPECT_EQ(curves[17 + 5], "2,35,0,1280.00,5.68,142.22");
  EXPECT_EQ(curves[17 + 6], "2,36,1,480.00,5.68,53.33");
  // The moving point is measured along its track: 2 x 150 at each of its frames, where the first
  // report's fixed aperture would see -33.33 after the first. Its event closes when frame 50 is
  // tested, whose ring holds frames 46 to 55: the frames before its first are left empty.
  const auto curve_of_moving = [&](int offset) {
    std::string line = curves.at(static_cast<std::size_t>(33 + 5 + offset));
    std::vector<std::string> cells;
    std::stringstream in(line + ",");
    for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
    return cells;
  };
  for (int offset = 0; offset <= 3; ++offset) {
    SCOPED_TRACE(offset);
    EXPECT_EQ(curve_of_moving(offset)[3], "300.00");
    EXPECT_EQ(curve_of_moving(offset)[5], "150.00");
  }
  EXPECT_EQ(curve_of_moving(4)[3], "0.00");
  EXPECT_EQ(curve_of_moving(10)[3], "0.00");
  EXPECT_EQ(curves.at(33 + 4), "3,44,-1,,,");
}

// utc and seconds come from frame_times.csv, three-column or the older two-column layout; a bad
// line is warned about and only its frame goes without a time.
TEST(FlashCatalogue, TimesComeFromFrameTimes) {
  struct Case {
    const char* name;
    std::string frame_times;
    std::vector<std::string> utc;
    std::vector<std::string> seconds;
    std::string err;
  };
  std::string three = "frame,utc,seconds\n";
  std::string two = "frame,utc\n";
  for (int f = 0; f < kFrames; ++f) {
    char line[96];
    std::snprintf(line, sizeof line, "%d,2024-03-15T21:04:%02d.%02d00000Z", f, 5 + f / 25,
                  (f % 25) * 4);
    three += std::string(line) + "," + std::to_string(f * 0.04) + "\n";
    two += std::string(line) + "\n";
  }
  std::string damaged = two;
  damaged.replace(damaged.find("\n35,"), 4, "\n35;");
  const std::vector<Case> cases = {
      {"no frame_times.csv", "", {"", "", ""}, {"", "", ""}, ""},
      {"frame,utc,seconds",
       three,
       {"2024-03-15T21:04:05.8000000Z", "2024-03-15T21:04:06.4000000Z",
        "2024-03-15T21:04:06.8000000Z"},
       {"0.800000", "1.400000", "1.800000"},
       ""},
      {"frame,utc",
       two,
       {"2024-03-15T21:04:05.8000000Z", "2024-03-15T21:04:06.4000000Z",
        "2024-03-15T21:04:06.8000000Z"},
       {"0.800000", "1.400000", "1.800000"},
       ""},
      {"a bad line",
       damaged,
       {"2024-03-15T21:04:05.8000000Z", "", "2024-03-15T21:04:06.8000000Z"},
       {"0.800000", "", "1.800000"},
       "frame_times.csv: line 37: 1 fields where frame,utc has 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_frames(standard_blocks());
    if (!c.frame_times.empty()) write_text(kFrameTimesName, c.frame_times);
    const CatalogueRun run = run_catalogue(0);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(column(run.flashes, "utc"), c.utc);
    EXPECT_EQ(column(run.flashes, "seconds"), c.seconds);
    EXPECT_FALSE(run.outcome.lost_output);
  }
}

// Interlaced runs say which field lines hold the excess (rows counted as the report image counts
// them); runs that are not interlaced leave the column empty.
TEST(FlashCatalogue, FieldsOfInterlacedRuns) {
  struct Case {
    const char* name;
    int interlace;
    std::vector<int> rows;
    std::string fields;
  };
  const std::vector<Case> cases = {
      {"odd rows, Interlace 1", 1, {11, 13}, "odd"},
      {"odd rows, Interlace 2", 2, {11, 13}, "odd"},
      {"even rows, Interlace 1", 1, {10, 12}, "even"},
      {"both fields, Interlace 1", 1, {10, 11, 12}, "both"},
      {"odd rows, not interlaced", 0, {11, 13}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_frames({{20, 15, 3, c.rows, 200}});
    const CatalogueRun run = run_catalogue(c.interlace);
    EXPECT_EQ(column(run.flashes, "fields"), std::vector<std::string>{c.fields});
  }
}

namespace {

// Checks at each call that the event's lines are already in the files, and looks for the flash
// in the event's frame when the ring still holds it.
struct CheckingSink final : EventSink {
  std::vector<int> numbers;
  std::vector<std::int64_t> tested_then;
  std::vector<bool> held;
  OutputStatus event_closed(const CatalogueEvent& event, const RingView& ring,
                            std::string*) override {
    numbers.push_back(event.number);
    tested_then.push_back(ring.target_frame);
    held.push_back(ring.frame_held(event.frame));
    EXPECT_EQ(lines_of(read_text(kFlashesName)).size(), numbers.size() + 1);
    EXPECT_EQ(lines_of(read_text(kLightCurvesName)).size(), numbers.size() * 16 + 1);
    if (ring.frame_held(event.frame)) {
      const auto at = static_cast<std::size_t>(std::lround(event.y)) * kWidth +
                      static_cast<std::size_t>(std::lround(event.x));
      EXPECT_EQ(ring.frame_pixels(event.frame)[at], 200);
    }
    return OutputStatus::ok;
  }
};

}  // namespace

// Each event closes two frames after its last report (the fading flash's second frame is not
// reported), its lines written and flushed first; the sink hears of every event once, in order.
// With N = 10 the ring then holds 4 frames before the one tested: the flashes' frames, but no
// longer the first frame of the point that moved for four frames.
TEST(FlashCatalogue, SinkHearsOfEachEventAsItCloses) {
  ScratchDir dir;
  make_run_folder();
  write_frames(standard_blocks());
  CheckingSink sink;
  const CatalogueRun run = run_catalogue(0, {&sink});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(sink.numbers, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(sink.tested_then, (std::vector<std::int64_t>{22, 37, 50}));
  EXPECT_EQ(sink.held, (std::vector<bool>{true, true, false}));
}

// The classes the catalogue adds. A hot pixel (a pair of pixels of 200 in frames 8, 25 and 52,
// apart enough to be three events) is hot_pixel in all three rows, the first two rewritten at
// the end; a hit of two pixels and the 3 x 3 flash at the same peak (150 above the grey) are
// sharp and flash against optics 2.5 pixels wide (the block fits 2.40, the hit below 1), both
// sharp against optics of 4.5, and neither when the optics' width is unknown (a flat frame has
// no limb); the moving point stays moving.
TEST(FlashCatalogue, SharpHitsAndHotPixelsAreToldFromFlashes) {
  struct Case {
    const char* name;
    double psf;
    std::vector<std::string> classes;  // events in order: hot, flash, hot, hit, moving, hot
    std::string optics;
  };
  const std::vector<Case> cases = {
      {"optics 2.5 pixels wide",
       2.5,
       {"hot_pixel", "flash", "hot_pixel", "sharp", "moving", "hot_pixel"},
       "2.50"},
      {"optics 4.5 pixels wide",
       4.5,
       {"hot_pixel", "sharp", "hot_pixel", "sharp", "moving", "hot_pixel"},
       "4.50"},
      {"optics unknown",
       0.0,
       {"hot_pixel", "flash", "hot_pixel", "flash", "moving", "hot_pixel"},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    std::vector<Block> blocks = {
        {8, 40, 2, {5}, 200},   {20, 15, 3, {10, 11, 12}, 200}, {25, 40, 2, {5}, 200},
        {33, 10, 2, {33}, 200}, {52, 40, 2, {5}, 200},
    };
    for (int k = 0; k < 4; ++k) blocks.push_back({45 + k, 8 + 6 * k, 2, {30}, 200});
    write_frames(blocks);
    const CatalogueRun run = run_catalogue(0, {}, c.psf);
    EXPECT_TRUE(run.outcome.completed);
    EXPECT_FALSE(run.outcome.lost_output);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(column(run.flashes, "frame"),
              (std::vector<std::string>{"8", "20", "25", "33", "45", "52"}));
    EXPECT_EQ(column(run.flashes, "class"), c.classes);
    const std::vector<std::string> widths = column(run.flashes, "fwhm");
    ASSERT_EQ(widths.size(), 6u);
    EXPECT_EQ(widths[1], "2.40");
    EXPECT_LT(std::stod(widths[3]), 1.0);
    EXPECT_LT(std::stod(widths[0]), 1.0);
    for (const std::string& optics : column(run.flashes, "optics_fwhm"))
      EXPECT_EQ(optics, c.optics);
    EXPECT_FALSE(fs::exists(std::string(kFlashesName) + ".part"));
  }
}

// Two flashes in one frame fail the scatter test together (Flash_sd_sep 10): nothing is reported,
// but each flash is a scattered row at its own place with its flux, and the frame is named on
// the error stream. Seven such frames, at places that never repeat (so no pixel turns hot):
// five named, the other two counted at the end.
TEST(FlashCatalogue, FramesTheScatterTestRejectsGiveScatteredRows) {
  ScratchDir dir;
  make_run_folder();
  std::vector<Block> blocks;
  const int frames[] = {2, 10, 18, 26, 34, 42, 50};  // 8 apart: never two in one ring of 10
  for (int k = 0; k < 7; ++k) {
    blocks.push_back({frames[k], 8 + 4 * k, 3, {9, 10, 11}, 200});
    blocks.push_back({frames[k], 36 - 4 * k, 3, {27, 28, 29}, 200});
  }
  write_frames(blocks);
  const CatalogueRun run = run_catalogue(0);
  EXPECT_TRUE(run.outcome.completed);
  EXPECT_FALSE(run.outcome.lost_output);
  EXPECT_EQ(read_text(kFlashInfoName), kFlashInfoHeader) << "no frame is reported";
  std::string said;
  for (int k = 0; k < 5; ++k) {
    said += "frame " + std::to_string(frames[k]) +
            ": the scatter test rejected its candidate pixels, 2 clusters (Flash_sd_sep); each "
            "is a scattered row in flashes.csv\n";
  }
  said +=
      "2 more frames whose candidate pixels the scatter test rejected, not named one by one; "
      "their clusters are scattered rows in flashes.csv\n";
  EXPECT_EQ(run.err, said);
  std::vector<std::string> frame_cells, xs, ys;
  for (int k = 0; k < 7; ++k) {
    for (const int x : {8 + 4 * k + 1, 36 - 4 * k + 1}) {
      frame_cells.push_back(std::to_string(frames[k]));
      xs.push_back(std::to_string(x) + ".00");
    }
    ys.insert(ys.end(), {"10.00", "28.00"});
  }
  EXPECT_EQ(column(run.flashes, "frame"), frame_cells);
  EXPECT_EQ(column(run.flashes, "x"), xs);
  EXPECT_EQ(column(run.flashes, "y"), ys);
  EXPECT_EQ(column(run.flashes, "class"), std::vector<std::string>(14, "scattered"));
  EXPECT_EQ(column(run.flashes, "clusters"), std::vector<std::string>(14, "2"));
  // 9 pixels 150 above the flat 50, as for a reported flash.
  EXPECT_EQ(column(run.flashes, "flux"), std::vector<std::string>(14, "1350.00"));
  EXPECT_EQ(column(run.flashes, "peak"), std::vector<std::string>(14, "150.00"));
  EXPECT_EQ(column(run.flashes, "report"), std::vector<std::string>(14, ""));
}
