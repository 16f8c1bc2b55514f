// The processing run on short sequences of 40 x 30 frames written by the tests: which frames are
// tested, the progress lines and notices, flash_info.dat and data_dump.txt, the refusals to
// start, and the warnings and failures on the way. The last tests run the built vesk.
#include "run/processing_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>

#include "control/driver.h"
#include "imaging/frame_files.h"
#include "outputs/flash_log.h"
#include "outputs/report_images.h"
#include "reference/oracle_support.h"
#include "sources/frame_folder.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 40;
constexpr int kHeight = 30;
const FrameGeometry kGeometry{kWidth, kHeight, kWidth* kHeight};

// A horizontal run of `length` pixels of grey `value` from (x, y) in frame `frame`, on grey 50.
// A run of k pixels gives k - 1 confirmed flash pixels.
struct Flash {
  int frame;
  int x;
  int y;
  int length = 2;
  std::uint8_t value = 200;
};

std::vector<std::uint8_t> frame_pixels(int frame, const std::vector<Flash>& flashes) {
  std::vector<std::uint8_t> pixels(kWidth * kHeight, 50);
  for (const Flash& f : flashes) {
    if (f.frame != frame) continue;
    for (int i = 0; i < f.length; ++i)
      pixels[static_cast<std::size_t>(f.y * kWidth + f.x + i)] = f.value;
  }
  return pixels;
}

// Writes frames first to last (inclusive).
void write_frames(int first, int last, const std::vector<Flash>& flashes = {}) {
  for (int i = first; i <= last; ++i) write_raw_frame(i, kWidth, kHeight, frame_pixels(i, flashes));
}

DetectionSettings run_settings(int images_in_buffer) {
  return small_run_settings(images_in_buffer);
}

// Captures what a FILE* receives.
struct MemoryStream {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  ~MemoryStream() { std::free(data); }
  std::string text() {
    std::fflush(file);
    return std::string(data, size);
  }
};

struct RunResult {
  RunOutcome outcome;
  std::string out;
  std::string err;
  std::string flash_log;
  std::string error() const { return outcome.errors.empty() ? "" : outcome.errors.front(); }
};

// The processing phase as the program runs it, in the working folder.
RunResult run_frames(const DetectionSettings& settings) {
  std::string error;
  const std::unique_ptr<FrameSource> source = open_frame_folder(scratch_folder(), &error);
  EXPECT_NE(source, nullptr) << error;
  RunBuffers buffers;
  EXPECT_TRUE(allocate_run_buffers(buffers, kGeometry, settings.Images_in_buffer, 0, &error))
      << error;
  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  EXPECT_TRUE(load_report_header(scratch_folder(), report_header, kWidth, kHeight, &error))
      << error;
  MemoryStream out;
  MemoryStream err;
  RunResult result;
  result.outcome = run_detection(scratch_folder(), *source, settings, report_header, buffers,
                                 out.file, err.file);
  result.out = out.text();
  result.err = err.text();
  // A folder or a device put there by a test is not read.
  if (fs::is_regular_file(in_scratch("flash_info.dat")))
    result.flash_log = read_text("flash_info.dat");
  std::fclose(out.file);
  std::fclose(err.file);
  return result;
}

std::string progress(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "Processing frame " + std::to_string(i) + "\n";
  return text;
}

std::string notice(int frame_number, int target_frame) {
  return "Video Frame= " + std::to_string(frame_number) + " may have an impact flash " +
         std::to_string(target_frame) + "\n";
}

// With N = 60 the temporal spread of a lone 2 x 1 flash lies below Min_sd2 = 4, so every value of
// its record is known.
std::string lone_flash_record(int frame, int x, int y) {
  char line[200];
  std::snprintf(line, sizeof line,
                "%d 1 %d.000000 %d.000000 0.000000 50.000000 0.000000 150.000000 50.000000 "
                "4.000000 150.000000\n",
                frame, x, y);
  return line;
}

std::string run_summary(int nframes, const DetectionSettings& s) {
  char text[600];
  std::snprintf(text, sizeof text,
                "image_width=40\nimage_height=30\ninterlace=%d\nnframes=%d\nmin_flash_limit=%d\n"
                "max_flash_limit=%d\nneighour_sd=%f\ntime_sd=%f\nmin_sd1=%f\nmin_sid2=%f\n"
                "left_border=%d\nright_border=%d\ntop_border=%d\nbottom_border=%d\n"
                "peak_killer=%f\ninterlace=%d\n",
                s.Interlace, nframes, s.Min_flash_limit, s.Max_flash_limit, double(s.Neighbour_sd),
                double(s.Time_sd), double(s.Min_sd1), double(s.Min_sd2), s.Left_sample_border,
                s.Right_sample_border, s.Top_line_limit, s.Bott_line_limit, double(s.Peak_killer),
                s.Interlace);
  return text;
}

}  // namespace

// Frames 0 to 59 only: the run starts at frame 30, tests frames 0 to 29 as it loads frames 30 to
// 59, ends at 60, and tests frames 30 to 59 in the same ring.
TEST(ProcessingRun, ExactlyNFramesWithNSixty) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 59, {{0, 10, 10}, {29, 20, 20}, {45, 30, 15}});
  const DetectionSettings settings = run_settings(60);
  const RunResult r = run_frames(settings);
  EXPECT_TRUE(r.outcome.completed) << r.error();
  EXPECT_FALSE(r.outcome.lost_output);
  EXPECT_EQ(r.out, progress(30, 30) + notice(30, 0) + progress(31, 59) + notice(59, 29) +
                       progress(60, 60) + notice(59, 45));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.flash_log, kFlashInfoHeader + lone_flash_record(0, 10, 10) +
                             lone_flash_record(29, 20, 20) + lone_flash_record(45, 30, 15));
  EXPECT_EQ(read_text("data_dump.txt"), run_summary(60, settings));
  EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00000.bmp")));
  EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00029.bmp")));
  EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00045.bmp")));
}

// Every frame is tested: a flash in the first frame and one in the last are both found. The last
// N/2 frames are tested once the frames run out, in the last full ring, each reported with the
// last frame loaded as its newest, in a frame folder and in a SER recording of the same frames.
TEST(ProcessingRun, FlashesInTheFirstAndTheLastFrameAreFound) {
  struct Case {
    const char* name;
    int images;
    int frames;
  };
  const Case cases[] = {
      {"Images_in_buffer 60, 100 frames", 60, 100},
      {"Images_in_buffer 4, 10 frames", 4, 10},
      {"odd Images_in_buffer 5, 9 frames", 5, 9},
      {"as many frames as the ring", 6, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    const int last = c.frames - 1;
    write_frames(0, last, {{0, 10, 10}, {last, 20, 20}});
    const RunResult r = run_frames(run_settings(c.images));
    EXPECT_TRUE(r.outcome.completed) << r.error();
    EXPECT_EQ(r.err, "");
    // The first frame is reported as the run starts, the last after the progress line of the frame
    // that is not there.
    EXPECT_EQ(r.out, progress(c.images / 2, c.images / 2) + notice(c.images / 2, 0) +
                         progress(c.images / 2 + 1, c.frames) + notice(last, last));
    const std::string header = kFlashInfoHeader;
    ASSERT_EQ(r.flash_log.substr(0, header.size()), header);
    EXPECT_EQ(r.flash_log.find("0 1 10.000000 10.000000 0.000000 ", header.size()), header.size());
    char last_record[64];
    std::snprintf(last_record, sizeof last_record, "\n%d 1 20.000000 20.000000 0.000000 ", last);
    EXPECT_NE(r.flash_log.find(last_record), std::string::npos) << r.flash_log;
    EXPECT_EQ(std::count(r.flash_log.begin(), r.flash_log.end(), '\n'), 3);
    EXPECT_TRUE(fs::exists(in_scratch(numbered_file_name(kReportPattern, last))));

    // The same frames as a SER recording give the same log and report images.
    ASSERT_EQ(
        run_command(std::string("'") + VESK_TOOLS_DIR + "/frames_to_ser' . rec.ser").exit_status,
        0);
    fs::create_directory(in_scratch("direct"));
    write_text("direct/settings.txt",
               settings_text(1, 20, 10, 3, 1.5f, 4, 4, 3, 3, 3, 3, 95, 0, c.images));
    const ProgramRun direct =
        run_command(std::string("echo 0 | '") + VESK_BINARY + "' rec.ser --out direct");
    EXPECT_EQ(direct.exit_status, 0) << direct.err;
    EXPECT_EQ(read_text("direct/flash_info.dat"), r.flash_log);
    EXPECT_EQ(read_file("direct/" + numbered_file_name(kReportPattern, last)),
              read_file(numbered_file_name(kReportPattern, last)));
  }
}

// Frame 100 is tested when frame 130 is loaded, after the recomputation at frame 100.
TEST(ProcessingRun, FrameUnderTestIsHalfTheRingBehind) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 130, {{100, 10, 10}});
  const RunResult r = run_frames(run_settings(60));
  EXPECT_TRUE(r.outcome.completed) << r.error();
  EXPECT_EQ(r.out, progress(30, 130) + notice(130, 100) + progress(131, 131));
  EXPECT_EQ(r.flash_log, kFlashInfoHeader + lone_flash_record(100, 10, 10));
  EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00100.bmp")));
  EXPECT_EQ(read_text("data_dump.txt").substr(0, 55),
            "image_width=40\nimage_height=30\ninterlace=0\nnframes=131\n");
}

TEST(ProcessingRun, OddRingStartsAtHalfRoundedDown) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 9, {{0, 10, 10}, {3, 20, 20}, {8, 15, 15}});
  const RunResult r = run_frames(run_settings(5));
  EXPECT_TRUE(r.outcome.completed) << r.error();
  // Frames 0 to 7 are tested as frames 2 to 9 are loaded; frames 8 and 9 in the last ring.
  EXPECT_EQ(r.out, progress(2, 2) + notice(2, 0) + progress(3, 5) + notice(5, 3) + progress(6, 10) +
                       notice(9, 8));
  const std::string header = kFlashInfoHeader;
  ASSERT_EQ(r.flash_log.substr(0, header.size()), header);
  EXPECT_EQ(r.flash_log.find("0 1 10.000000 10.000000 0.000000 ", header.size()), header.size());
  EXPECT_NE(r.flash_log.find("\n3 1 20.000000 20.000000 0.000000 "), std::string::npos);
  EXPECT_NE(r.flash_log.find("\n8 1 15.000000 15.000000 0.000000 "), std::string::npos);
  EXPECT_EQ(std::count(r.flash_log.begin(), r.flash_log.end(), '\n'), 4);
}

TEST(ProcessingRun, GapInTheNumberingEndsTheRun) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 7, {{3, 10, 10}});
  write_frames(9, 12, {{10, 20, 20}});
  const DetectionSettings settings = run_settings(4);
  const RunResult r = run_frames(settings);
  EXPECT_TRUE(r.outcome.completed) << r.error();
  EXPECT_EQ(r.out, progress(2, 5) + notice(5, 3) + progress(6, 8));
  EXPECT_EQ(read_text("data_dump.txt"), run_summary(8, settings));
  EXPECT_EQ(std::count(r.flash_log.begin(), r.flash_log.end(), '\n'), 2);
}

// The running pixel_sq_dev drifts once values of different size have passed through the ring.
// With the recomputation at frame 100, the brightening to 100 in frame 104 stays below the
// threshold; with the drift from frames 96 and 97 kept, it would be reported.
TEST(ProcessingRun, RecomputesTheSumsAtEveryHundredthFrame) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 107, {{96, 10, 10, 2, 160}, {97, 10, 10, 2, 137}, {104, 10, 10, 2, 100}});
  const RunResult r = run_frames(run_settings(4));
  EXPECT_TRUE(r.outcome.completed) << r.error();
  EXPECT_EQ(r.out, progress(2, 108));
  EXPECT_EQ(r.flash_log, kFlashInfoHeader);
}

// A run of four bright pixels in frame 2 gives three confirmed pixels, tested at frame 4 (N = 4).
TEST(ProcessingRun, AcceptsFlashCountsWithinBothLimits) {
  struct Case {
    const char* name;
    bool flash;
    int min_flash;
    int max_flash;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"count equal to both limits", true, 3, 3, true},
      {"count equal to the lower limit", true, 3, 20, true},
      {"count equal to the upper limit", true, 1, 3, true},
      {"count one below the lower limit", true, 4, 20, false},
      {"count one above the upper limit", true, 1, 2, false},
      {"lower limit above upper", true, 3, 2, false},
      {"no flash, lower limit 0", false, 0, 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    std::vector<Flash> flashes;
    if (c.flash) flashes.push_back({2, 10, 10, 4});
    write_frames(0, 5, flashes);
    DetectionSettings settings = run_settings(4);
    settings.Min_flash_limit = c.min_flash;
    settings.Max_flash_limit = c.max_flash;
    const RunResult r = run_frames(settings);
    EXPECT_TRUE(r.outcome.completed) << r.error();
    if (c.accepted) {
      EXPECT_EQ(r.out, progress(2, 4) + notice(4, 2) + progress(5, 6));
      EXPECT_EQ(r.flash_log.substr(0, std::string(kFlashInfoHeader).size() + 36),
                std::string(kFlashInfoHeader) + "2 3 11.000000 10.000000 1.414214 50.");
      EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00002.bmp")));
    } else {
      EXPECT_EQ(r.out, progress(2, 6));
      EXPECT_EQ(r.flash_log, kFlashInfoHeader);
      EXPECT_TRUE(fs::is_empty(in_scratch("BMP_FLASHES")));
    }
  }
}

TEST(FlashLog, RecordHoldsTheSinglePrecisionDigits) {
  MemoryStream log;
  const FlashMeasurement m{100.0f / 3.0f, 20.5f, 0.1f, 186.66667f, 16.5f,
                           -1.5f,         50.0f, 4.0f, 150.0f};
  ASSERT_TRUE(write_flash_record(log.file, 7, 3, m));
  EXPECT_EQ(log.text(),
            "7 3 33.333332 20.500000 0.100000 186.666672 16.500000 -1.500000 50.000000 "
            "4.000000 150.000000\n");
  std::fclose(log.file);

  // The record is flushed at once, so a full disk shows at this record, not at the close.
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_FALSE(write_flash_record(full, 7, 3, m));
  std::fclose(full);
}

TEST(ProcessingRun, RefusesToStartWithoutARingToFill) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 3);
  write_text("flash_info.dat", "earlier run\n");
  const RunResult r = run_frames(run_settings(5));
  EXPECT_FALSE(r.outcome.completed);
  EXPECT_EQ(r.outcome.errors,
            std::vector<std::string>{
                "BMP_RAW/a00004.bmp: cannot open: No such file or directory; the ring of "
                "Images_in_buffer 5 needs frames 0 to 4 before the run can start; with the 4 "
                "frames there, set Images_in_buffer to 4 or less in " +
                in_scratch("settings.txt").string()});
  EXPECT_EQ(r.flash_log, "earlier run\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(in_scratch("data_dump.txt")));
}

// Buffers sized for another ring are a bug of the caller: the program stops.
TEST(ProcessingRunDeathTest, BuffersOfAnotherSizeStopTheProgram) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 9);
  std::string error;
  const std::unique_ptr<FrameSource> source = open_frame_folder(scratch_folder(), &error);
  ASSERT_NE(source, nullptr) << error;
  RunBuffers buffers;
  ASSERT_TRUE(allocate_run_buffers(buffers, kGeometry, 4, 0, &error)) << error;
  RunParameters parameters{5, 1, 20, thresholds_of(run_settings(5))};
  EXPECT_DEATH(process_frames(*source, parameters, buffers, {}, stdout, stderr),
               "internal error: the run's buffers do not match");
}

TEST(ProcessingRun, WarnsAboutShortFramesAndKeepsTheTypedBorders) {
  ScratchDir dir;
  make_run_folder();
  write_frames(0, 5);
  // Rows 28 and 29 missing: below every row the detector reads here.
  const std::vector<std::uint8_t> short_payload(kWidth * 28, 50);
  write_raw_frame(1, kWidth, kHeight, short_payload);
  write_raw_frame(4, kWidth, kHeight, short_payload);
  DetectionSettings settings = run_settings(4);
  settings.Left_sample_border = 0;
  settings.Right_sample_border = -3;
  settings.Top_line_limit = 1;
  settings.Bott_line_limit = 2;
  const RunResult r = run_frames(settings);
  EXPECT_TRUE(r.outcome.completed) << r.error();
  EXPECT_FALSE(r.outcome.lost_output);
  EXPECT_EQ(r.err,
            "BMP_RAW/a00001.bmp: truncated, 1174 of 1254 bytes\n"
            "BMP_RAW/a00004.bmp: truncated, 1174 of 1254 bytes\n");
  EXPECT_EQ(r.out, progress(2, 6));
  // The summary keeps the values as typed.
  EXPECT_EQ(read_text("data_dump.txt"), run_summary(6, settings));
}

TEST(ProcessingRun, OutputFilesThatCannotBeWrittenStopTheRun) {
  struct Case {
    const char* name;
    void (*prepare)();
    std::string error;
    bool loop_ran;
  };
  const std::vector<Case> cases = {
      {"flash_info.dat is a folder", [] { fs::create_directory(in_scratch("flash_info.dat")); },
       "flash_info.dat: cannot open: Is a directory", false},
      {"flash_info.dat on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("flash_info.dat")); },
       "flash_info.dat: write failed: No space left on device", false},
      // data_dump.txt is written whole under its temporary name, then renamed.
      {"data_dump.txt is a folder", [] { fs::create_directory(in_scratch("data_dump.txt")); },
       "data_dump.txt: cannot rename the finished file: Is a directory", true},
      {"data_dump.txt on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("data_dump.txt.part")); },
       "data_dump.txt.part: write failed: No space left on device", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_frames(0, 5, {{2, 10, 10}});
    c.prepare();
    const RunResult r = run_frames(run_settings(4));
    EXPECT_FALSE(r.outcome.completed);
    EXPECT_EQ(r.outcome.errors, std::vector<std::string>{c.error});
    EXPECT_EQ(r.err, "");
    if (c.loop_ran) {
      EXPECT_EQ(r.out, progress(2, 4) + notice(4, 2) + progress(5, 6));
      EXPECT_EQ(std::count(r.flash_log.begin(), r.flash_log.end(), '\n'), 2);
    } else {
      EXPECT_EQ(r.out, "");
    }
  }
}

TEST(ProcessingRun, ReportImageThatCannotBeWrittenIsLostButTheRunGoesOn) {
  struct Case {
    const char* name;
    void (*prepare)();
    std::string err;
  };
  const std::vector<Case> cases = {
      // A report is written under its temporary name, then renamed; a folder under its name is
      // not the run's, so it is named and kept.
      {"report name taken by a folder",
       [] { fs::create_directory(in_scratch("BMP_FLASHES/00002.bmp")); },
       "BMP_FLASHES: holds files a run does not write, left as they are: 00002.bmp/\n"
       "BMP_FLASHES/00002.bmp: cannot rename the finished file: Is a directory\n"},
      {"report on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("BMP_FLASHES/00002.bmp.part")); },
       "BMP_FLASHES/00002.bmp: write failed: No space left on device\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_frames(0, 9, {{2, 10, 10}, {5, 20, 20}});
    c.prepare();
    const RunResult r = run_frames(run_settings(4));
    EXPECT_TRUE(r.outcome.completed) << r.error();
    EXPECT_TRUE(r.outcome.lost_output);
    EXPECT_EQ(r.err, c.err);
    // The record and the notice of the lost report still happen, and later reports are made.
    EXPECT_EQ(r.out,
              progress(2, 4) + notice(4, 2) + progress(5, 7) + notice(7, 5) + progress(8, 10));
    EXPECT_EQ(std::count(r.flash_log.begin(), r.flash_log.end(), '\n'), 3);
    EXPECT_TRUE(fs::exists(in_scratch("BMP_FLASHES/00005.bmp")));
  }
}

// The whole program on a sequence of 20 frames with N = 6 and two injected flashes.
TEST(VeskProgram, FindsInjectedFlashesEndToEnd) {
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10, 3, 1.5f, 4, 50, 3, 3, 3, 3, 95, 1, 6));
  write_frames(0, 19, {{5, 10, 10}, {12, 20, 15, 3}});
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(without_run_end(run.err), "");
  EXPECT_EQ(run.out.find("NS=40 NL=30\n"),
            std::string("***************\n*** V E S K ***\n***************\n\n").size());
  const std::string run_text =
      progress(3, 8) + notice(8, 5) + progress(9, 15) + notice(15, 12) + progress(16, 20);
  ASSERT_GE(run.out.size(), run_text.size());
  EXPECT_EQ(run.out.substr(run.out.size() - run_text.size()), run_text);
  // Min_sd2 = 50 lies above the temporal spread of both flashes.
  EXPECT_EQ(read_text("flash_info.dat"),
            std::string(kFlashInfoHeader) +
                "5 1 10.000000 10.000000 0.000000 50.000000 0.000000 150.000000 50.000000 "
                "50.000000 150.000000\n"
                "12 2 20.500000 15.000000 0.707107 50.000000 0.000000 150.000000 50.000000 "
                "50.000000 150.000000\n");
  EXPECT_EQ(read_text("data_dump.txt"),
            "image_width=40\nimage_height=30\ninterlace=1\nnframes=20\nmin_flash_limit=1\n"
            "max_flash_limit=20\nneighour_sd=3.000000\ntime_sd=1.500000\nmin_sd1=4.000000\n"
            "min_sid2=50.000000\nleft_border=3\nright_border=3\ntop_border=3\nbottom_border=3\n"
            "peak_killer=95.000000\ninterlace=1\n");
  // Header, 30 frame rows and 40 strip rows of 3 x 40 bytes.
  EXPECT_EQ(fs::file_size(in_scratch("BMP_FLASHES/00005.bmp")), 56u + 3u * 40u * 70u);
  EXPECT_EQ(fs::file_size(in_scratch("BMP_FLASHES/00012.bmp")), 56u + 3u * 40u * 70u);
}

TEST(VeskProgram, RefusalLeavesTheEarlierFlashLogAndExitsWithOne) {
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10, 3, 1.5f, 4, 4, 3, 3, 3, 3, 95, 0, 60));
  write_frames(0, 9);
  write_text("flash_info.dat", "earlier run\n");
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "BMP_RAW/a00010.bmp: cannot open: No such file or directory; the ring of "
            "Images_in_buffer 60 needs frames 0 to 59 before the run can start; with the 10 frames "
            "there, "
            "set Images_in_buffer to 10 or less in settings.txt\n");
  EXPECT_EQ(run.out.find("Processing frame"), std::string::npos);
  EXPECT_EQ(read_text("flash_info.dat"), "earlier run\n");
}

TEST(RunMemory, StatedBytesAreTheBytesAllocated) {
  // What the detector and the report images state is what allocate_run_buffers takes, for frames
  // of odd sizes, the least ring, and with or without a read-ahead queue.
  struct Case {
    int width, height, images, ahead;
  };
  const Case cases[] = {{64, 48, 3, 0}, {721, 577, 60, 0}, {33, 1, 7, 4}, {1920, 1080, 10, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const FrameGeometry geometry{c.width, c.height, c.width * c.height};
    RunBuffers buffers;
    std::string error;
    ASSERT_TRUE(allocate_run_buffers(buffers, geometry, c.images, c.ahead, &error)) << error;
    const std::size_t allocated =
        buffers.frame_ring.size() + buffers.marked_frame.size() +
        sizeof(double) * (buffers.pixel_sum.size() + buffers.pixel_sq_dev.size()) +
        buffers.candidate_chunks.size() + buffers.read_ahead.size();
    EXPECT_EQ(run_buffers_bytes(geometry, c.images, c.ahead), allocated);
    EXPECT_EQ(report_images_bytes_needed(geometry),
              buffers.report_pixels.size() + buffers.thumbnail_strip.size());
    EXPECT_GT(run_memory_bytes(geometry, c.images, c.ahead),
              allocated + buffers.report_pixels.size() + buffers.thumbnail_strip.size());
  }
  // The largest ring of the largest frames is counted whole, not wrapped to a small number.
  const FrameGeometry huge{32768, 32768, 32768 * 32768};
  EXPECT_GT(run_memory_bytes(huge, std::numeric_limits<int>::max(), 0), std::size_t{1} << 61);
}
