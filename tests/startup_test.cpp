// The program's start-up as a user meets it: banner, geometry line, and the checks made before the
// menu, each run through the built vesk in its own folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {
const char* kBanner = "***************\n*** V E S K ***\n***************\n\n";

// `err` without the "==pid==WARNING: AddressSanitizer failed to allocate" lines that a sanitizer
// build adds when an allocation is refused.
std::string without_sanitizer_warnings(const std::string& err) {
  std::string kept;
  std::size_t begin = 0;
  while (begin < err.size()) {
    std::size_t end = err.find('\n', begin);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string line = err.substr(begin, end - begin);
    if (!(line.starts_with("==") && line.find("WARNING: AddressSanitizer") != std::string::npos)) {
      kept += line;
    }
    begin = end;
  }
  return kept;
}
}  // namespace

TEST(Startup, PrintsBannerAndGeometry) {
  ScratchDir dir;
  make_run_folder();
  write_raw_frame(0, 720, 576, std::vector<std::uint8_t>(720 * 576, 30));
  // With fewer frames than the ring needs, the run refuses to start; the start-up text stands.
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.out.substr(0, std::string(kBanner).size() + 14),
            std::string(kBanner) + "NS=720 NL=576\n");
}

struct StartupFailure {
  const char* name;
  void (*prepare)();
  std::string message;
  bool geometry_line;  // whether "NS=.. NL=.." was printed before the stop
};

TEST(Startup, StopsBeforeTheMenuOnBadStartingFiles) {
  const std::vector<StartupFailure> cases = {
      {"frame 0 missing", [] { fs::remove(in_scratch("BMP_RAW/a00000.bmp")); },
       "BMP_RAW/a00000.bmp: cannot open: No such file or directory; vesk without arguments works "
       "on the frame folder it is started in (BMP_RAW/a00000.bmp ..., "
       "settings.txt); to read a recording give it: vesk RECORDING (vesk --help says more)\n",
       false},
      {"frame 0 shorter than its header",
       [] {
         write_file("BMP_RAW/a00000.bmp", {'B', 'M', 1});
       },
       "BMP_RAW/a00000.bmp: truncated, 3 of 54 header bytes\n", false},
      {"zero width", [] { write_raw_frame(0, 0, 48, {}); },
       "BMP_RAW/a00000.bmp: frame size 0 x 48 is outside 1 to 32768\n", false},
      {"negative height", [] { write_raw_frame(0, 64, -48, {}); },
       "BMP_RAW/a00000.bmp: frame size 64 x -48 is outside 1 to 32768\n", false},
      {"absurd width", [] { write_raw_frame(0, 1 << 30, 48, {}); },
       "BMP_RAW/a00000.bmp: frame size 1073741824 x 48 is outside 1 to 32768\n", false},
      {"template missing", [] { fs::remove(in_scratch("bmpheader.dat")); },
       "bmpheader.dat: cannot open: No such file or directory\n", false},
      {"template short", [] { write_file("bmpheader.dat", std::vector<std::uint8_t>(55, 0)); },
       "bmpheader.dat: truncated, 55 of 56 bytes\n", false},
      {"settings missing", [] { fs::remove(in_scratch("settings.txt")); },
       "settings.txt: cannot open: No such file or directory (copy default.txt to settings.txt "
       "to start from the defaults)\n",
       true},
      {"settings a device",
       [] {
         fs::remove(in_scratch("settings.txt"));
         fs::create_symlink("/dev/zero", in_scratch("settings.txt"));
       },
       "settings.txt: not a regular file (copy default.txt to settings.txt to start from the "
       "defaults)\n",
       true},
      {"settings with a word for a number",
       [] {
         std::string text = read_text("default.txt");
         text.replace(text.find("Time_sd= "), 17, "Time_sd= fast    ");
         write_text("settings.txt", text);
       },
       // The word stays in the stream, so the pairs after it are read out of step as well.
       "settings.txt: Time_sd: no number at \"fast\"; every parameter needs a value\n"
       "settings.txt: Min_sd1: no number at \"Min_sd1=\"; every parameter needs a value\n"
       "settings.txt: Right_sample_border: no number at \"Left_sample_border=\"; every "
       "parameter needs a value\n",
       true},
      {"flash folder missing", [] { fs::remove(in_scratch("BMP_FLASHES")); },
       "BMP_FLASHES: folder missing; create it for the flash report images\n", true},
      {"flash folder is a file",
       [] {
         fs::remove(in_scratch("BMP_FLASHES"));
         write_text("BMP_FLASHES", "");
       },
       "BMP_FLASHES: not a folder; the flash report images need a folder of that name\n", true},
  };
  for (const StartupFailure& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_raw_frame(0, 64, 48, std::vector<std::uint8_t>(64 * 48, 30));
    c.prepare();
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, std::string(kBanner) + (c.geometry_line ? "NS=64 NL=48\n" : ""));
    EXPECT_FALSE(fs::exists(in_scratch("flash_info.dat")));
  }
}

// Frames missing from a huge ring are found before any memory is taken.
TEST(Startup, RingLargerThanTheFramesIsRefusedBeforeItsMemoryIsTaken) {
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 2000000000));
  write_raw_frame(0, 4096, 4096, std::vector<std::uint8_t>(4096 * 4096, 30));
  write_text("flash_info.dat", "earlier run\n");
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "BMP_RAW/a00001.bmp: cannot open: No such file or directory; the ring of "
            "Images_in_buffer 2000000000 needs frames 0 to 1999999999 before the run can start; "
            "with only 1 frame there, no ring can be filled (3 frames at least)\n");
  EXPECT_EQ(read_text("flash_info.dat"), "earlier run\n");
}

// Every frame the ring needs is there (hard links to one short file: only their presence is
// checked before the memory), but the ring is beyond the machine's memory.
TEST(Startup, RingTooLargeForMemoryIsReportedBeforeAnyOutputFile) {
  ScratchDir dir;
  constexpr int kImages = 20000;
  make_run_folder(settings_text(1, 20, 10, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, kImages));
  write_file("BMP_RAW/a00000.bmp", raw_frame_bytes(32768, 32768, {}));
  for (int f = 1; f < kImages; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", f);
    std::filesystem::create_hard_link(in_scratch("BMP_RAW/a00000.bmp"), in_scratch(name));
  }
  write_text("flash_info.dat", "earlier run\n");
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 1);
  // Told before any of it is asked for, against the machine's memory (whatever this one has).
  const std::string err = without_sanitizer_warnings(run.err);
  EXPECT_EQ(err.rfind("the run (a ring of 20000 frames of 32768 x 32768) needs 20504576 MiB, more "
                      "than the ",
                      0),
            0u)
      << err;
  EXPECT_TRUE(err.ends_with("; lower Images_in_buffer or give a larger --max-memory\n")) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(read_text("flash_info.dat"), "earlier run\n");
}

// At the least ring the detector can work with, lowering Images_in_buffer is no way out: the
// message says the frames are too large. Memory is limited for the run (ulimit -v), which a
// sanitizer build's shadow memory would not survive.
TEST(Startup, SmallestRingTooLargeSaysTheFramesAreTooLarge) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit and AddressSanitizer do not mix";
#endif
  ScratchDir dir;
  make_run_folder(settings_text(1, 20, 10, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 3));
  for (int f = 0; f < 3; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", f);
    write_file(name, raw_frame_bytes(32768, 32768, {}));
  }
  write_text(".console_in", "0\n");
  const ProgramRun run =
      run_command(std::string("ulimit -v 1000000; '") + VESK_BINARY + "' < .console_in");
  EXPECT_EQ(run.exit_status, 1);
  // The need counts a read-ahead queue when the machine has more than one core.
  EXPECT_EQ(run.err.rfind("the run (a ring of 3 frames of 32768 x 32768) needs ", 0), 0u)
      << run.err;
  EXPECT_TRUE(
      run.err.ends_with(" MiB, more than the 976 MiB of the address-space limit; frames of "
                        "32768 x 32768 are too large even in the smallest ring\n"))
      << run.err;
  EXPECT_FALSE(std::filesystem::exists(in_scratch("flash_info.dat")));
}
