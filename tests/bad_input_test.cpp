// Bad inputs end to end: each row damages one thing in a good run folder, runs the built vesk
// and checks its exact message, its exit status and that nothing an earlier run left is lost.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 32;
constexpr int kHeight = 24;
constexpr int kFrames = 16;
constexpr int kImagesInBuffer = 8;

const std::string kBanner = "***************\n*** V E S K ***\n***************\n\n";
const std::string kGeometryLine = "NS=32 NL=24\n";
const std::string kMenu =
    "\n\n Current Detection Parameters:\n(1) Multiple flashes No. (lower limit): 1\n";
const std::string kConsoleEnded =
    "console input ended before the menu was closed with 0; the run does not start\n";
const std::string kEarlierLog = "flash_info.dat of an earlier run\n";
const std::string kEarlierReport = "report image of an earlier run\n";

// A sequence of kFrames frames of kWidth x kHeight with a little fixed noise and, in frames 1,
// 4, 7, 10 and 13, a bright 2 x 1 spot that the detector reports (13's starts in column 30,
// which the right border of 2 leaves out; lower borders reach it).
std::vector<std::uint8_t> frame_pixels(int number) {
  std::vector<std::uint8_t> pixels(kWidth * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint8_t>(40 + (i * 7 + static_cast<std::size_t>(number) * 13) % 5);
  }
  if (number % 3 == 1) {
    const int x = 4 + 2 * number;
    const int y = 3 + number;
    pixels[y * kWidth + x] = 200;
    pixels[y * kWidth + x + 1] = 200;
  }
  return pixels;
}

// A good run folder, and what an earlier run left in it: a flash log and a report image.
void make_good_folder() {
  make_run_folder(
      settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, kImagesInBuffer));
  for (int f = 0; f < kFrames; ++f) write_raw_frame(f, kWidth, kHeight, frame_pixels(f));
  write_text("flash_info.dat", kEarlierLog);
  write_text("BMP_FLASHES/00007.bmp", kEarlierReport);
}

void write_header_geometry(std::int32_t width, std::int32_t height) {
  write_file("BMP_RAW/a00000.bmp", raw_frame_bytes(width, height, frame_pixels(0)));
}

void set_images_in_buffer(int images) {
  write_text("settings.txt",
             settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, images));
}

// Keeps the first `bytes` bytes of `path`.
void cut_file(const std::string& path, std::size_t bytes) {
  std::vector<std::uint8_t> content = read_file(path);
  content.resize(bytes);
  write_file(path, content);
}

// Settings text with line `line` (0-based) replaced, or cut before it when `replacement` is null.
std::string settings_with_line(int line, const char* replacement) {
  const std::string good = read_text("settings.txt");
  std::string text;
  std::size_t at = 0;
  for (int i = 0; at < good.size(); ++i) {
    const std::size_t end = good.find('\n', at) + 1;
    if (i == line) {
      if (replacement == nullptr) break;
      text += replacement;
    } else {
      text += good.substr(at, end - at);
    }
    at = end;
  }
  return text;
}

struct BadInput {
  const char* name;
  std::function<void()> damage;
  std::string console;
  std::string err;  // the whole of standard error
  int exit_status;
  std::string out_prefix;  // standard output starts with this
};

// Every regular file under the working folder with its content (links that lead nowhere, FIFOs
// and devices are left out).
std::map<std::string, std::string> folder_snapshot() {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(in_scratch("."))) {
    std::error_code ec;
    if (entry.is_regular_file(ec)) files[entry.path().string()] = read_text(entry.path().string());
  }
  return files;
}

void make_fifo(const std::string& path) {
  fs::remove(in_scratch(path));
  ASSERT_EQ(mkfifo(in_scratch(path).c_str(), 0644), 0) << path;
}

// `path` becomes a link to itself: opening it fails with ELOOP.
void make_link_loop(const std::string& path) {
  fs::remove(in_scratch(path));
  fs::create_symlink(fs::path(path).filename(), in_scratch(path));
}

// Every row here stops before the run: the menu is never reached or never answered 0.
const std::vector<BadInput>& refused_start_rows() {
  static const std::vector<BadInput> rows = {
      {"BMP_RAW missing", [] { fs::remove_all(in_scratch("BMP_RAW")); }, "0\n",
       "BMP_RAW/a00000.bmp: cannot open: No such file or directory; vesk without arguments works "
       "on the frame folder it is started in (BMP_RAW/a00000.bmp ..., "
       "settings.txt); to read a recording give it: vesk RECORDING (vesk --help says more)\n",
       1, kBanner},
      {"a00000.bmp missing", [] { fs::remove(in_scratch("BMP_RAW/a00000.bmp")); }, "0\n",
       "BMP_RAW/a00000.bmp: cannot open: No such file or directory; vesk without arguments works "
       "on the frame folder it is started in (BMP_RAW/a00000.bmp ..., "
       "settings.txt); to read a recording give it: vesk RECORDING (vesk --help says more)\n",
       1, kBanner},
      {"a00000.bmp empty", [] { write_text("BMP_RAW/a00000.bmp", ""); }, "0\n",
       "BMP_RAW/a00000.bmp: truncated, 0 of 54 header bytes\n", 1, kBanner},
      {"a00000.bmp a folder",
       [] {
         fs::remove(in_scratch("BMP_RAW/a00000.bmp"));
         fs::create_directory(in_scratch("BMP_RAW/a00000.bmp"));
       },
       "0\n", "BMP_RAW/a00000.bmp: not a regular file\n", 1, kBanner},
      // A FIFO would block the program forever; it is refused at once.
      {"a00000.bmp a FIFO", [] { make_fifo("BMP_RAW/a00000.bmp"); }, "0\n",
       "BMP_RAW/a00000.bmp: not a regular file\n", 1, kBanner},
      {"a00000.bmp a link to itself", [] { make_link_loop("BMP_RAW/a00000.bmp"); }, "0\n",
       "BMP_RAW/a00000.bmp: cannot open: Too many levels of symbolic links\n", 1, kBanner},
      {"bmpheader.dat a FIFO", [] { make_fifo("bmpheader.dat"); }, "0\n",
       "bmpheader.dat: not a regular file\n", 1, kBanner},
      {"header cut at 30 bytes", [] { cut_file("BMP_RAW/a00000.bmp", 30); }, "0\n",
       "BMP_RAW/a00000.bmp: truncated, 30 of 54 header bytes\n", 1, kBanner},
      {"zero width", [] { write_header_geometry(0, kHeight); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 0 x 24 is outside 1 to 32768\n", 1, kBanner},
      {"zero height", [] { write_header_geometry(kWidth, 0); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 32 x 0 is outside 1 to 32768\n", 1, kBanner},
      {"negative width", [] { write_header_geometry(-32, kHeight); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size -32 x 24 is outside 1 to 32768\n", 1, kBanner},
      // A bottom-up BMP states a positive height; a negative one is refused, not taken as -h.
      {"negative height", [] { write_header_geometry(kWidth, -24); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 32 x -24 is outside 1 to 32768\n", 1, kBanner},
      {"absurd width", [] { write_header_geometry(2147483647, kHeight); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 2147483647 x 24 is outside 1 to 32768\n", 1, kBanner},
      {"absurd height", [] { write_header_geometry(kWidth, -2147483647 - 1); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 32 x -2147483648 is outside 1 to 32768\n", 1, kBanner},
      {"one past the largest side", [] { write_header_geometry(32769, 32768); }, "0\n",
       "BMP_RAW/a00000.bmp: frame size 32769 x 32768 is outside 1 to 32768\n", 1, kBanner},
      {"bmpheader.dat missing", [] { fs::remove(in_scratch("bmpheader.dat")); }, "0\n",
       "bmpheader.dat: cannot open: No such file or directory\n", 1, kBanner},
      {"bmpheader.dat short",
       [] { write_file("bmpheader.dat", std::vector<std::uint8_t>(20, 'B')); }, "0\n",
       "bmpheader.dat: truncated, 20 of 56 bytes\n", 1, kBanner},
      {"bmpheader.dat empty", [] { write_text("bmpheader.dat", ""); }, "0\n",
       "bmpheader.dat: truncated, 0 of 56 bytes\n", 1, kBanner},
      {"settings.txt missing", [] { fs::remove(in_scratch("settings.txt")); }, "0\n",
       "settings.txt: cannot open: No such file or directory (copy default.txt to settings.txt "
       "to start from the defaults)\n",
       1, kBanner + kGeometryLine},
      {"settings.txt garbled last value",
       [] { write_text("settings.txt", settings_with_line(13, "Images_in_buffer= many\n")); },
       "0\n",
       "settings.txt: Images_in_buffer: no number at \"many\"; every parameter needs a value\n", 1,
       kBanner + kGeometryLine},
      {"settings.txt one pair short",
       [] { write_text("settings.txt", settings_with_line(13, nullptr)); }, "0\n",
       "settings.txt: Images_in_buffer: the file ends before its number; every parameter needs "
       "a value\n",
       1, kBanner + kGeometryLine},
      {"settings.txt int beyond range",
       [] { write_text("settings.txt", settings_with_line(0, "Min_flash_limit= 4294967297\n")); },
       "0\n",
       "settings.txt: Min_flash_limit: 4294967297 is beyond the int range; every parameter needs "
       "a value\n",
       1, kBanner + kGeometryLine},
      {"BMP_FLASHES missing", [] { fs::remove_all(in_scratch("BMP_FLASHES")); }, "0\n",
       "BMP_FLASHES: folder missing; create it for the flash report images\n", 1,
       kBanner + kGeometryLine},
      {"BMP_FLASHES a plain file",
       [] {
         fs::remove_all(in_scratch("BMP_FLASHES"));
         write_text("BMP_FLASHES", "not a folder\n");
       },
       "0\n", "BMP_FLASHES: not a folder; the flash report images need a folder of that name\n", 1,
       kBanner + kGeometryLine},
      {"Images_in_buffer larger than the frames present", [] { set_images_in_buffer(60); }, "0\n",
       "BMP_RAW/a00016.bmp: cannot open: No such file or directory; the ring of Images_in_buffer "
       "60 needs frames 0 to 59 before the run can start; with the 16 frames there, "
       "set Images_in_buffer to 16 or less in settings.txt\n",
       1, kBanner + kGeometryLine + kMenu},
      {"Images_in_buffer one more than the frames present", [] { set_images_in_buffer(17); }, "0\n",
       "BMP_RAW/a00016.bmp: cannot open: No such file or directory; the ring of Images_in_buffer "
       "17 needs frames 0 to 16 before the run can start; with the 16 frames there, "
       "set Images_in_buffer to 16 or less in settings.txt\n",
       1, kBanner + kGeometryLine + kMenu},
      // The frames are checked before the ring's memory is taken (here 30 MB; with large frames
      // many GB, allocated and zeroed for nothing).
      {"Images_in_buffer 40000 with 16 frames", [] { set_images_in_buffer(40000); }, "0\n",
       "BMP_RAW/a00016.bmp: cannot open: No such file or directory; the ring of Images_in_buffer "
       "40000 needs frames 0 to 39999 before the run can start; with the 16 frames there, "
       "set Images_in_buffer to 16 or less in settings.txt\n",
       1, kBanner + kGeometryLine + kMenu},
      {"Images_in_buffer 2", [] { set_images_in_buffer(2); }, "0\n",
       "Images_in_buffer 2 is too small: the detector needs at least 3 frames in its ring\n", 1,
       kBanner + kGeometryLine + kMenu},
      {"Images_in_buffer 1 typed in the menu", [] {}, "14 1 0\n",
       "Images_in_buffer 1 is too small: the detector needs at least 3 frames in its ring\n", 1,
       kBanner + kGeometryLine + kMenu},
      {"Images_in_buffer 0", [] { set_images_in_buffer(0); }, "0\n",
       "Images_in_buffer 0 is too small: the detector needs at least 3 frames in its ring\n", 1,
       kBanner + kGeometryLine + kMenu},
      {"Images_in_buffer negative", [] { set_images_in_buffer(-8); }, "0\n",
       "Images_in_buffer -8 is too small: the detector needs at least 3 frames in its ring\n", 1,
       kBanner + kGeometryLine + kMenu},
      {"a gap among the first Images_in_buffer frames",
       [] { fs::remove(in_scratch("BMP_RAW/a00005.bmp")); }, "0\n",
       "BMP_RAW/a00005.bmp: cannot open: No such file or directory; the ring of Images_in_buffer "
       "8 needs frames 0 to 7 before the run can start; with the 5 frames there, "
       "set Images_in_buffer to 4 or less in settings.txt\n",
       1, kBanner + kGeometryLine + kMenu},
      {"console empty", [] {}, "", kConsoleEnded, 1, kBanner + kGeometryLine + kMenu},
      {"console ends at an edit prompt", [] {}, "3\n", kConsoleEnded, 1,
       kBanner + kGeometryLine + kMenu},
      {"console ends at the load/save prompt", [] {}, "15\n", kConsoleEnded, 1,
       kBanner + kGeometryLine + kMenu},
      {"console ends at the information screen", [] {}, "16\n", kConsoleEnded, 1,
       kBanner + kGeometryLine + kMenu},
      {"console holds only words", [] {}, "start run\n",
       "\"start\" not understood as a menu choice (0 to 16)\n"
       "\"run\" not understood as a menu choice (0 to 16)\n" +
           kConsoleEnded,
       1, kBanner + kGeometryLine + kMenu},
      {"console holds a word for a number, then ends", [] {}, "5 five\n",
       "\"five\" not understood as item 5, Time_sd (a number); the value is unchanged\n" +
           kConsoleEnded,
       1, kBanner + kGeometryLine + kMenu},
  };
  return rows;
}

}  // namespace

TEST(BadInput, RefusedBeforeTheRunWithItsMessageAndNothingLost) {
  for (const BadInput& row : refused_start_rows()) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_good_folder();
    row.damage();
    const std::map<std::string, std::string> before = folder_snapshot();
    const ProgramRun run = run_vesk_program(row.console);
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.exit_status, row.exit_status);
    EXPECT_EQ(run.out.substr(0, row.out_prefix.size()), row.out_prefix);
    // Nothing written, nothing removed: the earlier run's log and report image are still there.
    EXPECT_EQ(folder_snapshot(), before);
  }
}

namespace {

// Rows where the run starts: a message or a warning, then a run whose log holds every record of
// the frames tested before the fault, exactly as an undisturbed run writes them.
struct BadInputRun {
  const char* name;
  std::function<void()> damage;
  std::string console;
  std::string err;
  int exit_status;
  int compare_below;  // records of frames below this must match the undisturbed run; -1: none
  int nframes;        // the nframes line of data_dump.txt
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at + 1));
    at = end + 1;
  }
  return lines;
}

// The records of `log` (header excluded) whose frame number is below `frame`.
std::vector<std::string> records_below(const std::string& log, int frame) {
  std::vector<std::string> records = lines_of(log);
  if (!records.empty()) records.erase(records.begin());
  std::erase_if(records, [frame](const std::string& r) { return std::stoi(r) >= frame; });
  return records;
}

std::string undisturbed_log() {
  ScratchDir dir;
  make_good_folder();
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(without_run_end(run.err), "");
  return read_text("flash_info.dat");
}

}  // namespace

TEST(BadInput, ReportedAndTheRunKeepsEveryRecordBeforeTheFault) {
  const std::string full_log = undisturbed_log();
  ASSERT_EQ(records_below(full_log, kFrames).size(), 4u) << full_log;
  const std::string cut_frame_9 = "BMP_RAW/a00009.bmp: truncated, 100 of 822 bytes\n";
  const std::vector<BadInputRun> rows = {
      // The run ends at the gap: frames 0 to 8 are tested (5 to 8 in the last ring), none after.
      {"a gap in the frame folder", [] { fs::remove(in_scratch("BMP_RAW/a00009.bmp")); }, "0\n", "",
       0, 9 - kImagesInBuffer / 2, 9},
      {"a truncated later frame", [] { cut_file("BMP_RAW/a00009.bmp", 100); }, "0\n", cut_frame_9,
       0, 9 - kImagesInBuffer / 2, kFrames},
      {"a later frame with only part of its header", [] { cut_file("BMP_RAW/a00009.bmp", 20); },
       "0\n", "BMP_RAW/a00009.bmp: truncated, 20 of 822 bytes\n", 0, 9 - kImagesInBuffer / 2,
       kFrames},
      {"a later frame stating another size",
       [] { write_file("BMP_RAW/a00009.bmp", raw_frame_bytes(100, 100, frame_pixels(9))); }, "0\n",
       "BMP_RAW/a00009.bmp: header states 100 x 100, read as 32 x 24 like frame 0 (later frames "
       "are not checked)\n",
       0, kFrames, kFrames},
      {"a later frame that is a link to a regular file",
       [] {
         fs::rename(in_scratch("BMP_RAW/a00009.bmp"), in_scratch("BMP_RAW/frame9.bmp"));
         fs::create_symlink("frame9.bmp", in_scratch("BMP_RAW/a00009.bmp"));
       },
       "0\n", "", 0, kFrames, kFrames},
      {"an empty later frame", [] { cut_file("BMP_RAW/a00012.bmp", 0); }, "0\n",
       "BMP_RAW/a00012.bmp: truncated, 0 of 822 bytes\n", 0, 12 - kImagesInBuffer / 2, kFrames},
      {"a truncated frame in the first ring", [] { cut_file("BMP_RAW/a00002.bmp", 500); }, "0\n",
       "BMP_RAW/a00002.bmp: truncated, 500 of 822 bytes\n", 0, -1, kFrames},
      {"text after the last settings value",
       [] {
         std::string text = read_text("settings.txt");
         text.replace(text.find("Images_in_buffer= 8"), 19, "Images_in_buffer= 8e1");
         write_text("settings.txt", text);
       },
       "0\n", "settings.txt: Images_in_buffer: \"e1\" after its number is ignored\n", 0, kFrames,
       kFrames},
      {"a console token holding a NUL byte", [] {}, std::string("5 fi\0ve\n0\n", 10),
       "\"fi\\0ve\" not understood as item 5, Time_sd (a number); the value is unchanged\n", 0,
       kFrames, kFrames},
      {"borders that leave no column to test",
       [] {
         write_text("settings.txt", settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 20, 20, 2,
                                                  2, 95.0f, 0, kImagesInBuffer));
       },
       "0\n",
       "the borders leave no column (Left_sample_border 20 + Right_sample_border 20 of 32) to "
       "test: this run can report nothing\n",
       0, -1, kFrames},
      {"a word where a number belongs", [] {}, "5 five\n0\n",
       "\"five\" not understood as item 5, Time_sd (a number); the value is unchanged\n", 0,
       kFrames, kFrames},
      {"a fraction for a whole number", [] {}, "1 1.5\n0\n",
       "\".5\" not understood as a menu choice (0 to 16)\n", 0, kFrames, kFrames},
      {"a number beyond the int range", [] {}, "14 99999999999\n0\n",
       "\"99999999999\" not understood as item 14, Images_in_buffer (a whole number): beyond the "
       "int range; the value is unchanged\n",
       0, kFrames, kFrames},
      {"a word at the load/save prompt", [] {}, "15 save 2 0\n",
       "\"save\" not understood as a load/save choice (1 or 2)\n", 0, kFrames, kFrames},
      {"default.txt missing", [] { fs::remove(in_scratch("default.txt")); }, "15 1 0\n",
       "default.txt: cannot open: No such file or directory; the parameters are unchanged\n", 0,
       kFrames, kFrames},
      {"default.txt garbled",
       [] {
         std::string text = read_text("settings.txt");
         text.replace(text.find("Images_in_buffer= 8"), 19, "Images_in_buffer= many");
         write_text("default.txt", text);
       },
       "15 1 0\n",
       "default.txt: Images_in_buffer: no number at \"many\"; the field keeps its value\n", 0,
       kFrames, kFrames},
      {"about.txt missing", [] { fs::remove(in_scratch("about.txt")); }, "16 0\n",
       "about.txt: cannot open: No such file or directory; no information to show\n", 0, kFrames,
       kFrames},
      {"about.txt without an end marker",
       [] { write_text("about.txt", "a text\nthat never ends\n"); }, "16 ok 0\n", "", 0, kFrames,
       kFrames},
      {"about.txt empty", [] { write_text("about.txt", ""); }, "16 ok 0\n", "", 0, kFrames,
       kFrames},
      {"borders below what the detector reads",
       [] {
         write_text("settings.txt", settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, -5, 0, 1,
                                                  -2147483647 - 1, 95.0f, 0, kImagesInBuffer));
       },
       "0\n",
       "Left_sample_border -5 would read outside the frame; scanning with 1\n"
       "Right_sample_border 0 would read outside the frame; scanning with 1\n"
       "Top_line_limit 1 would read outside the frame; scanning with 2\n"
       "Bott_line_limit -2147483648 would read outside the frame; scanning with 2\n",
       // Column 30 is scanned now, so frame 13's spot is reported besides the others.
       0, 13, kFrames},
  };
  for (const BadInputRun& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_good_folder();
    row.damage();
    const ProgramRun run = run_vesk_program(row.console);
    EXPECT_EQ(without_run_end(run.err), row.err);
    EXPECT_EQ(run.exit_status, row.exit_status);
    const std::string log = read_text("flash_info.dat");
    EXPECT_EQ(lines_of(log).at(0), lines_of(full_log).at(0));
    if (row.compare_below >= 0) {
      EXPECT_EQ(records_below(log, row.compare_below), records_below(full_log, row.compare_below));
    }
    // Only frames the run read are tested.
    EXPECT_EQ(records_below(log, row.nframes), records_below(log, 99999));
    for (const std::string& record : records_below(log, kFrames)) {
      char name[32];
      std::snprintf(name, sizeof name, "BMP_FLASHES/%05d.bmp", std::stoi(record));
      EXPECT_TRUE(fs::is_regular_file(in_scratch(name))) << name;
    }
    EXPECT_NE(read_text("data_dump.txt").find("\nnframes=" + std::to_string(row.nframes) + "\n"),
              std::string::npos);
  }
}

// A frame that is there but cannot be read ends nothing silently: the run stops at it with one
// line and exit status 1, keeping every record of the frames tested before it. Only a missing
// frame ends the recording.
TEST(BadInput, FrameThatCannotBeReadStopsTheRun) {
  const std::string full_log = undisturbed_log();
  struct Row {
    const char* name;
    std::function<void()> damage;
    std::string err;
  };
  const std::vector<Row> rows = {
      {"a later frame that is a folder",
       [] {
         fs::remove(in_scratch("BMP_RAW/a00009.bmp"));
         fs::create_directory(in_scratch("BMP_RAW/a00009.bmp"));
       },
       "BMP_RAW/a00009.bmp: not a regular file\n"},
      {"a later frame that is a FIFO", [] { make_fifo("BMP_RAW/a00009.bmp"); },
       "BMP_RAW/a00009.bmp: not a regular file\n"},
      {"a later frame that is a device",
       [] {
         fs::remove(in_scratch("BMP_RAW/a00009.bmp"));
         fs::create_symlink("/dev/zero", in_scratch("BMP_RAW/a00009.bmp"));
       },
       "BMP_RAW/a00009.bmp: not a regular file\n"},
      {"a later frame that links to itself", [] { make_link_loop("BMP_RAW/a00009.bmp"); },
       "BMP_RAW/a00009.bmp: cannot open: Too many levels of symbolic links\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_good_folder();
    row.damage();
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(without_run_end(run.err), row.err);
    EXPECT_EQ(run.exit_status, 1);
    const std::string log = read_text("flash_info.dat");
    EXPECT_EQ(records_below(log, 99999), records_below(full_log, 9 - kImagesInBuffer / 2));
    EXPECT_FALSE(fs::exists(in_scratch("data_dump.txt")))
        << "the recording did not end: no run summary";
  }
}

// Every run that starts ends with three lines on standard error: the frames read and tested
// (with those not tested and why), the events by class, the run folder and its review page.
// Standard output is the program's own console text, unchanged.
TEST(BadInput, EveryRunEndsWithWhatItDid) {
  struct Row {
    const char* name;
    std::function<void()> damage;
    std::string err;
    int exit_status;
  };
  const std::vector<Row> rows = {
      {"every frame there", [] {},
       "run: 16 frames read, 16 tested\n"
       "run: 4 events (flash 4)\n"
       "run: results in ., review page review/index.html\n",
       0},
      {"no frame with a flash",
       [] {
         for (int f = 0; f < kFrames; ++f) write_raw_frame(f, kWidth, kHeight, frame_pixels(0));
       },
       "run: 16 frames read, 16 tested\n"
       "run: no events\n"
       "run: results in ., review page review/index.html\n",
       0},
      {"a later frame that cannot be read",
       [] {
         fs::remove(in_scratch("BMP_RAW/a00009.bmp"));
         fs::create_directory(in_scratch("BMP_RAW/a00009.bmp"));
       },
       "BMP_RAW/a00009.bmp: not a regular file\n"
       "run: 9 frames read, 5 tested; 4 not tested: the run stopped on an error\n"
       "run: 2 events (flash 2)\n"
       "run: results in ., review page review/index.html\n",
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_good_folder();
    row.damage();
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.exit_status, row.exit_status);
    EXPECT_EQ(run.out.find("run: "), std::string::npos);
  }
}

// A frame the user may not read: vesk run as another user (tests run as root, whom no
// permission stops).
TEST(BadInput, FrameWithoutReadPermissionStopsTheRun) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run vesk as another user";
  const std::string full_log = undisturbed_log();
  ScratchDir dir;
  make_good_folder();
  for (const std::string& folder : {std::string(""), std::string("BMP_FLASHES")}) {
    fs::permissions(in_scratch(folder), fs::perms::all);
  }
  fs::permissions(in_scratch("BMP_RAW"), fs::perms::owner_all | fs::perms::group_read |
                                             fs::perms::group_exec | fs::perms::others_read |
                                             fs::perms::others_exec);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(in_scratch("."))) {
    if (entry.is_regular_file()) {
      fs::permissions(in_scratch(entry.path()), fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read |
                                                    fs::perms::others_write);
    }
  }
  fs::permissions(in_scratch("BMP_RAW/a00009.bmp"), fs::perms::owner_read);
  write_text(".console_in", "0\n");
  const ProgramRun run = run_command("setpriv --reuid=nobody --regid=nogroup --clear-groups '" +
                                     std::string(VESK_BINARY) + "' < .console_in");
  EXPECT_EQ(without_run_end(run.err), "BMP_RAW/a00009.bmp: cannot open: Permission denied\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(records_below(read_text("flash_info.dat"), 99999),
            records_below(full_log, 9 - kImagesInBuffer / 2));
}

// A truncated frame's missing bytes come from the frame before it, never from the frame that left
// its ring slot N frames earlier: a flash in frame 20 is reported once, not again at frame 30.
TEST(BadInput, TruncatedFrameNeverShowsAnOlderFrame) {
  constexpr int kRing = 10;
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, kRing));
  std::vector<std::uint8_t> flat(kWidth * kHeight, 40);
  for (int f = 0; f < 40; ++f) {
    std::vector<std::uint8_t> pixels = flat;
    if (f == 20) {
      pixels[12 * kWidth + 10] = 200;
      pixels[12 * kWidth + 11] = 200;
    }
    write_raw_frame(f, kWidth, kHeight, pixels);
  }
  // Frame 30 sits in frame 20's old slot; it stops before the flash's row.
  cut_file("BMP_RAW/a00030.bmp", 54 + 5 * kWidth);
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(without_run_end(run.err), "BMP_RAW/a00030.bmp: truncated, 214 of 822 bytes\n");
  const std::vector<std::string> records = records_below(read_text("flash_info.dat"), 99999);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::stoi(records[0]), 20);
}

// A folder holding frames 0 to 99,998 ends with its run summary like any other, and frames from
// 99,999 on are said to be unread. The frames are hard links to one file, so the folder is cheap.
TEST(BadInput, FrameFolderAtItsLimitWritesTheSummaryAndSaysWhatWasLeft) {
  for (const bool with_more : {false, true}) {
    SCOPED_TRACE(with_more ? "a99999.bmp present" : "frames 0 to 99998");
    ScratchDir dir;
    make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 1, 1, 2, 2, 95.0f, 0, 3));
    // A file takes at most 65,000 links: every 50,000th frame is a file of its own.
    const int last = with_more ? 99999 : 99998;
    for (int f = 0; f <= last; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", f);
      if (f % 50000 == 0) {
        write_raw_frame(f, 4, 5, std::vector<std::uint8_t>(20, 40));
      } else {
        char first[32];
        std::snprintf(first, sizeof first, "BMP_RAW/a%05d.bmp", f - f % 50000);
        fs::create_hard_link(in_scratch(first), in_scratch(name));
      }
    }
    write_text("data_dump.txt", "summary of an earlier run\n");
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.exit_status, 0);
    const std::string last_line = "\nProcessing frame 99999\n";
    EXPECT_EQ(run.out.substr(run.out.size() - last_line.size()), last_line);
    EXPECT_EQ(without_run_end(run.err),
              with_more ? "BMP_RAW/a99999.bmp: frames from 99999 on were not read, a "
                          "frame folder holds frames 0 to 99998; run vesk on the "
                          "recording itself (vesk RECORDING), or convert the rest into "
                          "another folder (vesk-frames RECORDING DIR --first 99999)\n"
                        : "");
    EXPECT_NE(read_text("data_dump.txt").find("\nnframes=99999\n"), std::string::npos);
  }
}

// The companion programs read their command lines as vesk does: an option given twice is a
// slip (exit 2), "--" ends the options, and a value that starts with "--" is the next option,
// so the value was left out (exit 2). Nothing is made for a refused command line.
TEST(BadInput, CompanionProgramsReadOptionsAsVeskDoes) {
  struct Row {
    const char* program;
    std::string args;
    int exit_status;
    std::string err;
  };
  const std::vector<Row> rows = {
      {VESK_FRAMES_BINARY, "night.ser run1 --count 5 --count 6", 2,
       "--count: given twice; give each option once\n"},
      {VESK_FRAMES_BINARY, "night.ser run1 --first --count 5", 2, "--first: needs a value\n"},
      {VESK_FRAMES_BINARY, "night.ser run1 --start-utc --x", 2, "--start-utc: needs a value\n"},
      // After "--" a name that looks like an option is a name: here a recording not there.
      {VESK_FRAMES_BINARY, "-- --night.ser run1", 1,
       "--night.ser: cannot open: No such file or directory\n"},
      {VESK_TUNE_BINARY, "night.ser --threads 1 --threads 2", 2,
       "--threads: given twice; give each option once\n"},
      {VESK_TUNE_BINARY, "night.ser --write --write", 2,
       "--write: given twice; give each option once\n"},
      {VESK_TUNE_BINARY, "night.ser --out --write", 2, "--out: needs a value\n"},
      {VESK_TUNE_BINARY, "night.ser --flashes --psf 2", 2, "--flashes: needs a value\n"},
      {VESK_TUNE_BINARY, "-- --night.ser", 1,
       "--night.ser: cannot open: No such file or directory\n"},
      {VESK_MATCH_BINARY, "a.csv b.csv --window 2 --window 3", 2,
       "vesk-match: --window given twice; give each option once\n"},
      {VESK_MATCH_BINARY, "a.csv b.csv --window --max-separation 1", 2,
       "vesk-match: --window needs a number of seconds\n"},
      {VESK_MATCH_BINARY, "-- --a.csv b.csv", 1,
       "vesk-match: --a.csv: cannot open: No such file or directory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(fs::path(row.program).filename().string() + " " + row.args);
    ScratchDir dir;
    std::string command(1, '\'');
    command.append(row.program).append("' ").append(row.args);
    const ProgramRun run = run_command(command);
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.exit_status, row.exit_status);
    EXPECT_FALSE(fs::exists(in_scratch("run1")));
    EXPECT_FALSE(fs::exists(in_scratch("night.vesk")));
    EXPECT_FALSE(fs::exists(in_scratch("--night.vesk")));
  }
}

namespace {

// `frames` frames of kWidth x kHeight with fixed noise and, in every frame f with
// f % spot_every == 1, a bright 2 x 1 spot at a place that moves round the frame inside the
// borders.
void make_spotted_folder(int frames, int spot_every) {
  make_run_folder(
      settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, kImagesInBuffer));
  for (int f = 0; f < frames; ++f) {
    std::vector<std::uint8_t> pixels(kWidth * kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = static_cast<std::uint8_t>(40 + (i * 7 + static_cast<std::size_t>(f) * 13) % 5);
    }
    if (f % spot_every == 1) {
      const int x = 4 + (f * 7) % 22;
      const int y = 4 + (f * 5) % 16;
      pixels[y * kWidth + x] = 200;
      pixels[y * kWidth + x + 1] = 200;
    }
    write_raw_frame(f, kWidth, kHeight, pixels);
  }
}

int files_in(const std::string& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(in_scratch(folder))) {
    count += entry.is_regular_file() ? 1 : 0;
  }
  return count;
}

// The report column of every row of flashes.csv.
std::vector<std::string> report_cells(const std::string& csv) {
  std::vector<std::string> lines = lines_of(csv);
  std::vector<std::string> cells;
  const std::string header = lines.front();
  int column = 0;
  for (std::size_t at = 0; at < header.find("report,"); ++at) column += header[at] == ',' ? 1 : 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::size_t start = 0;
    for (int c = 0; c < column; ++c) start = lines[i].find(',', start) + 1;
    cells.push_back(lines[i].substr(start, lines[i].find(',', start) - start));
  }
  return cells;
}

}  // namespace

// A run that reports on more than 1 in 100 of at least 1,000 tested frames says so once and
// points at vesk-tune; --max-reports N draws report images and review pictures for the first N
// reports only, with one line, while flash_info.dat and the catalogue stay complete.
TEST(BadInput, RunawayRunIsSaidAndItsPicturesBounded) {
  const std::string runaway =
      " of the first 1000 frames tested report a flash (more than 1 in 100): the detection "
      "parameters let this recording's noise through; vesk-tune . suggests better ones\n";
  struct Row {
    const char* name;
    int frames;
    int spot_every;
    std::string options;
    std::string err_starts;  // "": no message at all
    std::string err_ends;
  };
  const std::vector<Row> rows = {
      {"a report in every third frame", 1100, 3, "", "", runaway},
      {"999 frames are too few to judge", 999, 3, "", "", ""},
      {"a report in every 200th frame is no runaway", 1100, 200, "", "", ""},
      {"--max-reports 3", 1100, 3, "--max-reports 3",
       "--max-reports 3: frame 10 is report 4; no more report images or review pictures are drawn "
       "(flash_info.dat and flashes.csv stay complete)\n",
       runaway},
  };
  std::string unlimited_log;
  std::vector<std::string> unlimited_reports;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_spotted_folder(row.frames, row.spot_every);
    const ProgramRun run = run_command("'" VESK_BINARY "' --no-menu --quiet " + row.options);
    EXPECT_EQ(run.exit_status, 0);
    const std::string err = without_run_end(run.err);
    EXPECT_TRUE(err.starts_with(row.err_starts)) << run.err;
    EXPECT_TRUE(err.ends_with(row.err_ends)) << run.err;
    const auto lines = std::count(err.begin(), err.end(), '\n');
    EXPECT_EQ(lines, (row.err_starts.empty() ? 0 : 1) + (row.err_ends.empty() ? 0 : 1)) << run.err;
    const std::vector<std::string> reports = report_cells(read_text("flashes.csv"));
    const int named = static_cast<int>(std::count_if(
        reports.begin(), reports.end(), [](const std::string& r) { return !r.empty(); }));
    for (const std::string& r : reports) {
      if (!r.empty()) {
        EXPECT_TRUE(fs::exists(in_scratch(r))) << r;
      }
    }
    if (row.options.empty()) {
      EXPECT_EQ(files_in("BMP_FLASHES"), named);
      if (row.frames == 1100 && row.spot_every == 3) {
        unlimited_log = read_text("flash_info.dat");
        unlimited_reports = reports;
      }
      continue;
    }
    // Everything but the pictures is as without the limit.
    EXPECT_EQ(files_in("BMP_FLASHES"), 3);
    EXPECT_EQ(named, 3);
    EXPECT_EQ(read_text("flash_info.dat"), unlimited_log);
    ASSERT_EQ(reports.size(), unlimited_reports.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i], i < 3 ? unlimited_reports[i] : "");
    }
    std::set<std::string> pictured;  // events with review pictures: the first three
    for (const auto& entry : fs::directory_iterator(in_scratch("review"))) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".png")) pictured.insert(name.substr(0, name.find('_')));
    }
    EXPECT_EQ(pictured.size(), 3u);
  }
}

// A name holding control bytes (an escape sequence, a line end) is shown escaped in every
// program's message: the message stays one line and the terminal is never driven by a name.
TEST(BadInput, ControlBytesInNamesAreShownEscaped) {
  struct Row {
    const char* program;
    std::string args;  // NAME stands for the name with control bytes
    std::string err;
  };
  const std::string shown = "a\\x1b[31m\\x0ab.ser";
  const std::vector<Row> rows = {
      {VESK_BINARY, "NAME --no-menu", shown + ": cannot open: No such file or directory\n"},
      {VESK_FRAMES_BINARY, "NAME run1", shown + ": cannot open: No such file or directory\n"},
      {VESK_TUNE_BINARY, "NAME", shown + ": cannot open: No such file or directory\n"},
      {VESK_REVIEW_BINARY, "NAME",
       shown + "/flashes.csv: cannot open: No such file or directory\n"},
      {VESK_MATCH_BINARY, "NAME b.csv",
       "vesk-match: " + shown + ": cannot open: No such file or directory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(fs::path(row.program).filename().string());
    ScratchDir dir;
    std::string args = row.args;
    args.replace(args.find("NAME"), 4, "\"$(printf 'a\\033[31m\\nb.ser')\"");
    std::string command(1, '\'');
    command.append(row.program).append("' ").append(args);
    const ProgramRun run = run_command(command);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, row.err);
  }
}
