// Bad inputs end to end: each row damages one thing in a good run folder, runs the built vesk
// and checks its exact message, its exit status and that nothing an earlier run left is lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 32;
constexpr int kHeight = 24;
constexpr int kFrames = 12;

const std::string kBanner = "***************\n*** V E S K ***\n***************\n\n";
const std::string kGeometryLine = "NS=32 NL=24\n";
const std::string kMenu =
    "\n\n Current Detection Parameters:\n(1) Multiple flashes No. (lower limit): 1\n";
const std::string kConsoleEnded =
    "console input ended before the menu was closed with 0; the run does not start\n";
const std::string kEarlierLog = "flash_info.dat of an earlier run\n";
const std::string kEarlierReport = "report image of an earlier run\n";

// A sequence of kFrames frames of kWidth x kHeight with a little fixed noise.
std::vector<std::uint8_t> frame_pixels(int number) {
  std::vector<std::uint8_t> pixels(kWidth * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint8_t>(40 + (i * 7 + static_cast<std::size_t>(number) * 13) % 5);
  }
  return pixels;
}

// A good run folder, and what an earlier run left in it: a flash log and a report image.
void make_good_folder() {
  make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, 4));
  for (int f = 0; f < kFrames; ++f) write_raw_frame(f, kWidth, kHeight, frame_pixels(f));
  write_text("flash_info.dat", kEarlierLog);
  write_text("BMP_FLASHES/00007.bmp", kEarlierReport);
}

void write_header_geometry(std::int32_t width, std::int32_t height) {
  write_file("BMP_RAW/a00000.bmp", raw_frame_bytes(width, height, frame_pixels(0)));
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

// Every file under the working folder with its content.
std::map<std::string, std::string> folder_snapshot() {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(".")) {
    if (entry.is_regular_file()) files[entry.path().string()] = read_text(entry.path().string());
  }
  return files;
}

// Every row here stops before the run: the menu is never reached or never answered 0.
const std::vector<BadInput>& refused_start_rows() {
  static const std::vector<BadInput> rows = {
      {"BMP_RAW missing", [] { fs::remove_all("BMP_RAW"); }, "0\n",
       "BMP_RAW/a00000.bmp: cannot open: No such file or directory\n", 1, kBanner},
      {"a00000.bmp missing", [] { fs::remove("BMP_RAW/a00000.bmp"); }, "0\n",
       "BMP_RAW/a00000.bmp: cannot open: No such file or directory\n", 1, kBanner},
      {"a00000.bmp empty", [] { write_text("BMP_RAW/a00000.bmp", ""); }, "0\n",
       "BMP_RAW/a00000.bmp: truncated, 0 of 54 header bytes\n", 1, kBanner},
      {"a00000.bmp a folder",
       [] {
         fs::remove("BMP_RAW/a00000.bmp");
         fs::create_directory("BMP_RAW/a00000.bmp");
       },
       "0\n", "BMP_RAW/a00000.bmp: truncated, 0 of 54 header bytes\n", 1, kBanner},
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
      {"bmpheader.dat missing", [] { fs::remove("bmpheader.dat"); }, "0\n",
       "bmpheader.dat: cannot open: No such file or directory\n", 1, kBanner},
      {"bmpheader.dat short",
       [] { write_file("bmpheader.dat", std::vector<std::uint8_t>(20, 'B')); }, "0\n",
       "bmpheader.dat: truncated, 20 of 56 bytes\n", 1, kBanner},
      {"bmpheader.dat empty", [] { write_text("bmpheader.dat", ""); }, "0\n",
       "bmpheader.dat: truncated, 0 of 56 bytes\n", 1, kBanner},
      {"settings.txt missing", [] { fs::remove("settings.txt"); }, "0\n",
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
      {"BMP_FLASHES missing", [] { fs::remove_all("BMP_FLASHES"); }, "0\n",
       "BMP_FLASHES: folder missing; create it for the flash report images\n", 1,
       kBanner + kGeometryLine},
      {"BMP_FLASHES a plain file",
       [] {
         fs::remove_all("BMP_FLASHES");
         write_text("BMP_FLASHES", "not a folder\n");
       },
       "0\n", "BMP_FLASHES: not a folder; the flash report images need a folder of that name\n", 1,
       kBanner + kGeometryLine},
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
