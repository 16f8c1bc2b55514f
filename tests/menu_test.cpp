#include "control/menu.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// The record the menu starts from in these tests; every field differs from the defaults below.
const DetectionSettings kStart{2, 7, 12.25f, 3.25f, 4.5f, 4.0f, 4.5f, 11, 12, 13, 14, 95.0f, 1, 60};

const std::string kDefaultText =
    settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 10, 10, 10, 10, 95.0f, 0, 40);
const DetectionSettings kDefaults{1,  20, 10.0f, 3.0f, 5.0f,  4.0f, 4.0f,
                                  10, 10, 10,    10,   95.0f, 0,    40};

const std::string kLoadSave = "1) Load Default Settings\n2) Save Current Settings\n";
const std::string kNineteen(19, '\n');
const std::string kAboutPrompt = "\n Press 0 and the return key to return to the menu: ";
const std::string kEnded =
    "console input ended before the menu was closed with 0; the run does not start\n";

// The menu display for `s`, written out from its literal text.
std::string menu(const DetectionSettings& s) {
  char text[2048];
  const char* interlace = "";
  if (s.Interlace == 0) interlace = "(13) De-interlace: None\n";
  if (s.Interlace == 1) interlace = "(13) De-interlace: Odd then Even\n";
  if (s.Interlace == 2) interlace = "(13) De-interlace: Even then Odd\n";
  std::snprintf(text, sizeof text,
                "\n\n Current Detection Parameters:\n"
                "(1) Multiple flashes No. (lower limit): %d\n"
                "(2) Multiple flash No. (upper limit): %d\n"
                "(3) Multiple flash separation standard deviation threshold: %f\n"
                "(4) No. of s.d. above neighbour pixels threshold: %f\n"
                "(5) No. of s.d. in time domain threshold: %f\n"
                "(6) Minimum s.d. 1 threshold: %f\n"
                "(7) Minimum s.d. 2 threshold: %f\n"
                "(8) Left Border (Pixels): %d\n"
                "(9) Right Border (Pixels): %d\n"
                "(10) Top Border (Pixels): %d\n"
                "(11) Bottom Border (Pixels): %d\n"
                "(12) Peak Killer Threshold: %f\n"
                "%s"
                "(14) No. of Images in Buffer: %d\n"
                "(15) Load/Save Settings\n"
                "(16) Information About VESK\n"
                "If OK press 0, else select a parameter between 1 and 16:",
                s.Min_flash_limit, s.Max_flash_limit, double(s.Flash_sd_sep),
                double(s.Neighbour_sd), double(s.Time_sd), double(s.Min_sd1), double(s.Min_sd2),
                s.Left_sample_border, s.Right_sample_border, s.Top_line_limit, s.Bott_line_limit,
                double(s.Peak_killer), interlace, s.Images_in_buffer);
  return text;
}

DetectionSettings changed(DetectionSettings s, void (*change)(DetectionSettings&)) {
  change(s);
  return s;
}

struct Transcript {
  bool closed = false;
  std::string out;
  std::string err;
  DetectionSettings settings;
};

std::string take_stream(std::FILE* f, char*& buffer, std::size_t& size) {
  std::fclose(f);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

// Runs the menu on `start` with `console` as the typed answers, capturing everything.
Transcript run_menu(const DetectionSettings& start, const std::string& console) {
  Transcript t;
  t.settings = start;
  std::FILE* in = std::tmpfile();
  std::fwrite(console.data(), 1, console.size(), in);
  std::rewind(in);
  char* out_buffer = nullptr;
  char* err_buffer = nullptr;
  std::size_t out_size = 0;
  std::size_t err_size = 0;
  std::FILE* out = open_memstream(&out_buffer, &out_size);
  std::FILE* err = open_memstream(&err_buffer, &err_size);
  t.closed = parameter_menu(t.settings, scratch_folder(), in, out, err);
  std::fclose(in);
  t.out = take_stream(out, out_buffer, out_size);
  t.err = take_stream(err, err_buffer, err_size);
  return t;
}

struct MenuCase {
  const char* name;
  std::string console;
  std::string out;
  std::string err;
  bool closed;
  DetectionSettings end;
};

void check(const MenuCase& c, const DetectionSettings& start = kStart) {
  const Transcript t = run_menu(start, c.console);
  EXPECT_EQ(t.out, c.out) << c.name;
  EXPECT_EQ(t.err, c.err) << c.name;
  EXPECT_EQ(t.closed, c.closed) << c.name;
  EXPECT_EQ(format_settings(t.settings), format_settings(c.end)) << c.name;
}

TEST(ParameterMenu, AnswersOutsideTheItemsAndBadInput) {
  ScratchDir dir;  // nothing may be written, and never into the source folder
  const DetectionSettings min2 =
      changed(kStart, [](DetectionSettings& s) { s.Min_flash_limit = 2; });
  const std::vector<MenuCase> cases = {
      {"0 at once", "0\n", menu(kStart), "", true, kStart},
      {"17, 99 and -1 show the menu again", "17\n99\n-1\n0\n",
       menu(kStart) + menu(kStart) + menu(kStart) + menu(kStart), "", true, kStart},
      {"a bare return reads nothing", "\n\n\n0\n", menu(kStart), "", true, kStart},
      {"a word at the menu", "abc\n0\n", menu(kStart) + menu(kStart),
       "\"abc\" not understood as a menu choice (0 to 16)\n", true, kStart},
      {"a fraction after an integer item", "1 2.5\n0\n",
       menu(kStart) +
           "\n Enter new: No. of pixels in a flash (lower limit) - N.B. must be >=1 e.g. 1:" +
           menu(min2) + menu(min2),
       "\".5\" not understood as a menu choice (0 to 16)\n", true, min2},
      {"a menu answer beyond the int range", "99999999999 0", menu(kStart) + menu(kStart),
       "\"99999999999\" not understood as a menu choice (0 to 16): beyond the int range\n", true,
       kStart},
      {"a word for a float item", "5 abc 0",
       menu(kStart) +
           "\n Enter new: No. of s.d. in time domain threshold e.g. 5.0: " + menu(kStart),
       "\"abc\" not understood as item 5, Time_sd (a number); the value is unchanged\n", true,
       kStart},
      {"an int item beyond the int range", "14 3000000000 0",
       menu(kStart) + "\n Enter an even No. for the No. of images in the buffer:" + menu(kStart),
       "\"3000000000\" not understood as item 14, Images_in_buffer (a whole number): beyond the "
       "int range; the value is unchanged\n",
       true, kStart},
      {"end of input at the menu", "", menu(kStart), kEnded, false, kStart},
      {"end of input at an edit prompt", "1\n",
       menu(kStart) +
           "\n Enter new: No. of pixels in a flash (lower limit) - N.B. must be >=1 e.g. 1:",
       kEnded, false, kStart},
      {"end of input at the load/save choice", "15 x", menu(kStart) + kLoadSave + kLoadSave,
       "\"x\" not understood as a load/save choice (1 or 2)\n" + kEnded, false, kStart},
  };
  for (const MenuCase& c : cases) check(c);
}

struct EditCase {
  std::string console;
  const char* prompt;
  void (*change)(DetectionSettings&);
};

// Each item once: its prompt, and the value stored as typed (no range checks) and shown.
TEST(ParameterMenu, EachItemEditsItsField) {
  ScratchDir dir;  // nothing may be written, and never into the source folder
  const std::vector<EditCase> edits = {
      {"1 0\n0\n",
       "\n Enter new: No. of pixels in a flash (lower limit) - N.B. must be >=1 e.g. 1:",
       [](DetectionSettings& s) { s.Min_flash_limit = 0; }},
      {"2 -3\n0\n",
       "\n Enter new: No. of pixels in a flash (upper limit) - N.B. must be > the lower limit e.g. "
       "5:",
       [](DetectionSettings& s) { s.Max_flash_limit = -3; }},
      {"3 12.5\n0\n",
       "\n Enter new: Multiple Flash standard deviation separation threshold (pixels) e.g. 10.0:",
       [](DetectionSettings& s) { s.Flash_sd_sep = 12.5f; }},
      {"4\n\n 2.75 0", "\n Enter new: No. of s.d. above neighbour pixels threshold e.g. 3.0:",
       [](DetectionSettings& s) { s.Neighbour_sd = 2.75f; }},
      {"5 5 0", "\n Enter new: No. of s.d. in time domain threshold e.g. 5.0: ",
       [](DetectionSettings& s) { s.Time_sd = 5.0f; }},
      {"6 -1 0", "\n Enter new: Minimum s.d. 1 threshold: e.g.4.0:",
       [](DetectionSettings& s) { s.Min_sd1 = -1.0f; }},
      {"7 0.001 0", "\n Enter new: Minimum s.d. 2 threshold: e.g. 4.0:",
       [](DetectionSettings& s) { s.Min_sd2 = 0.001f; }},
      {"8 0 0", "\n Enter new: Left Border (Pixels)): e.g. 10:",
       [](DetectionSettings& s) { s.Left_sample_border = 0; }},
      {"9 100000 0", "\n Enter new: Right Border (Pixels): e.g. 10:",
       [](DetectionSettings& s) { s.Right_sample_border = 100000; }},
      {"10 -5 0", "\n Enter new: Top Border (Pixels): e.g. 10:",
       [](DetectionSettings& s) { s.Top_line_limit = -5; }},
      {"11 +7 0", "\n Enter new: Bottom Border (Pixels): e.g. 10:",
       [](DetectionSettings& s) { s.Bott_line_limit = 7; }},
      {"12 250 0", "\n Enter new: Peak Killer Threshold (percent) (0-100)",
       [](DetectionSettings& s) { s.Peak_killer = 250.0f; }},
      {"13 3 0", "\n Pick a No. e.g. 0, Odd then Even = 1, Even then Odd =2:",
       [](DetectionSettings& s) { s.Interlace = 3; }},
      {"14 7 0", "\n Enter an even No. for the No. of images in the buffer:",
       [](DetectionSettings& s) { s.Images_in_buffer = 7; }},
  };
  for (const EditCase& e : edits) {
    const DetectionSettings end = changed(kStart, e.change);
    check({e.console.c_str(), e.console, menu(kStart) + e.prompt + menu(end), "", true, end});
  }
}

TEST(ParameterMenu, InterlaceLineNamesTheMode) {
  ScratchDir dir;  // nothing may be written, and never into the source folder
  const char* prompt = "\n Pick a No. e.g. 0, Odd then Even = 1, Even then Odd =2:";
  DetectionSettings none = kStart;
  none.Interlace = 0;
  DetectionSettings even_odd = kStart;
  even_odd.Interlace = 2;
  DetectionSettings unknown = kStart;
  unknown.Interlace = -1;
  const std::string out =
      menu(kStart) + prompt + menu(none) + prompt + menu(even_odd) + prompt + menu(unknown);
  // The literal lines themselves, so the helper above cannot hide a wrong label.
  EXPECT_NE(menu(kStart).find("\n(13) De-interlace: Odd then Even\n(14)"), std::string::npos);
  EXPECT_NE(menu(unknown).find("(12) Peak Killer Threshold: 95.000000\n(14)"), std::string::npos);
  check({"13 0, 2, -1", "13 0 13 2 13 -1 0", out, "", true, unknown});
}

// A run folder's text files for the cases that read or write them; a null text leaves the file
// out. `saved` is what settings.txt must hold afterwards (null: it must not exist).
struct FilesCase {
  MenuCase menu_case;
  const char* about;
  const char* default_text;
  const char* saved = nullptr;
};

void check_in_scratch_folder(const FilesCase& c) {
  ScratchDir dir;
  if (c.about != nullptr) write_text("about.txt", c.about);
  if (c.default_text != nullptr) write_text("default.txt", c.default_text);
  check(c.menu_case);
  if (c.saved != nullptr) {
    EXPECT_EQ(read_text("settings.txt"), c.saved) << c.menu_case.name;
  } else {
    EXPECT_FALSE(std::filesystem::exists(in_scratch("settings.txt"))) << c.menu_case.name;
  }
}

TEST(ParameterMenu, LoadAndSaveSettings) {
  DetectionSettings half_loaded = kDefaults;  // Interlace fails, and Images_in_buffer after it
  half_loaded.Interlace = kStart.Interlace;
  half_loaded.Images_in_buffer = kStart.Images_in_buffer;
  std::string malformed = kDefaultText;
  malformed.replace(malformed.find("Interlace= 0"), 12, "Interlace= none");
  const char* start_text =
      "Min_flash_limit= 2\nMax_flash_limit= 7\nFlash_sd_sep= 12.250000\n"
      "Neighbour_sd= 3.250000\nTime_sd= 4.500000\nMin_sd1= 4.000000\nMin_sd2= 4.500000\n"
      "Left_sample_border= 11\nRight_sample_border= 12\nTop_line_limit= 13\n"
      "Bott_line_limit= 14\nPeak_killer= 95.000000\nInterlace= 1\nImages_in_buffer= 60\n";
  const std::vector<FilesCase> cases = {
      {{"15 answered 0, 3, then 1, and then 2", "15 0 3 1 15 2 0",
        menu(kStart) + kLoadSave + kLoadSave + kLoadSave + menu(kDefaults) + kLoadSave +
            menu(kDefaults),
        "", true, kDefaults},
       nullptr,
       kDefaultText.c_str(),
       kDefaultText.c_str()},
      {{"save as the menu shows", "15 2 0", menu(kStart) + kLoadSave + menu(kStart), "", true,
        kStart},
       nullptr,
       nullptr,
       start_text},
      {{"default.txt missing", "15 1 0", menu(kStart) + kLoadSave + menu(kStart),
        "default.txt: cannot open: No such file or directory; the parameters are unchanged\n", true,
        kStart},
       nullptr,
       nullptr},
      {{"a malformed default.txt", "15 1 0", menu(kStart) + kLoadSave + menu(half_loaded),
        "default.txt: Interlace: no number at \"none\"; the field keeps its value\n"
        "default.txt: Images_in_buffer: no number at \"Images_in_buffer=\"; the field keeps its "
        "value\n",
        true, half_loaded},
       nullptr,
       malformed.c_str()},
      {{"a word at the load/save choice", "15 load 2 0",
        menu(kStart) + kLoadSave + kLoadSave + menu(kStart),
        "\"load\" not understood as a load/save choice (1 or 2)\n", true, kStart},
       nullptr,
       nullptr,
       start_text},
  };
  for (const FilesCase& c : cases) check_in_scratch_folder(c);

  ScratchDir dir;
  std::filesystem::create_directory(in_scratch("settings.txt"));
  check({"settings.txt cannot be written", "15 2 0", menu(kStart) + kLoadSave + menu(kStart),
         "settings.txt: cannot rename the finished file: Is a directory; the parameters were not "
         "saved and settings.txt is as it was\n",
         true, kStart});
  EXPECT_TRUE(std::filesystem::is_directory(in_scratch("settings.txt")));
  EXPECT_FALSE(std::filesystem::exists(in_scratch("settings.txt.part")));
}

// A save that fails midway (a full disk, a file-size limit) leaves the old settings.txt whole,
// so the next start still reads it.
TEST(ParameterMenu, FailedSaveKeepsTheOldSettings) {
  const std::string vesk = std::string("'") + VESK_BINARY + "'";
  struct Case {
    const char* name;
    std::string setup;  // shell commands run before vesk, in its shell
    std::string err;
  };
  const std::vector<Case> cases = {
      {"full disk", "ln -s /dev/full settings.txt.part",
       "settings.txt.part: write failed: No space left on device; the parameters were not saved "
       "and settings.txt is as it was\n"},
      {"file-size limit", "trap '' XFSZ; ulimit -f 0",
       "settings.txt.part: write failed: File too large; the parameters were not saved and "
       "settings.txt is as it was\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    make_run_folder();
    write_raw_frame(0, 8, 8, std::vector<std::uint8_t>(64, 30));
    const std::string good = read_text("settings.txt");
    write_text(".console_in", "15 2\n");
    // Standard error comes back on standard output, through a pipe the size limit does not touch.
    const ProgramRun run =
        run_command("(" + c.setup + "; exec " + vesk + " < .console_in 2>&1 >/dev/null) | cat");
    EXPECT_EQ(run.out, c.err +
                           "console input ended before the menu was closed with 0; the run "
                           "does not start\n");
    EXPECT_EQ(read_text("settings.txt"), good);
    EXPECT_FALSE(std::filesystem::exists(in_scratch("settings.txt.part")));
  }
}

TEST(ParameterMenu, InformationScreen) {
  const std::string piece_of_89(89, 'p');
  const std::string long_line = std::string(100, 'c') + "\n" + piece_of_89 + "qX not a line\n";
  const std::vector<FilesCase> cases = {
      {{"end marker in the first character; any word returns", "16 hello 0",
        menu(kStart) + kNineteen + "First line\nan X further along\n" + kAboutPrompt + kNineteen +
            menu(kStart),
        "", true, kStart},
       "First line\nan X further along\nXXXX end\nhidden\n",
       nullptr},
      {{"end marker in the second character", "16 0 0",
        menu(kStart) + kNineteen + "Text\n\n" + kAboutPrompt + kNineteen + menu(kStart), "", true,
        kStart},
       "Text\n\n.X end\nhidden\nXX\n",
       nullptr},
      {{"end marker on the first line shows no text", "16 x 0",
        menu(kStart) + kNineteen + kAboutPrompt + kNineteen + menu(kStart), "", true, kStart},
       "X\nhidden\n",
       nullptr},
      {{"pieces of 89 characters are tested as lines", "16 0 0",
        menu(kStart) + kNineteen + std::string(100, 'c') + "\n" + piece_of_89 + kAboutPrompt +
            kNineteen + menu(kStart),
        "", true, kStart},
       long_line.c_str(),
       nullptr},
      {{"no end marker: the text ends at the end of the file", "16 0 0",
        menu(kStart) + kNineteen + "one\nlast, no line end" + kAboutPrompt + kNineteen +
            menu(kStart),
        "", true, kStart},
       "one\nlast, no line end",
       nullptr},
      {{"a long word returns", "16 " + std::string(5000, 'z') + " 0",
        menu(kStart) + kNineteen + kAboutPrompt + kNineteen + menu(kStart), "", true, kStart},
       "X\n",
       nullptr},
      {{"about.txt missing", "16 0", menu(kStart) + menu(kStart),
        "about.txt: cannot open: No such file or directory; no information to show\n", true,
        kStart},
       nullptr,
       nullptr},
      {{"end of input instead of the word", "16\n",
        menu(kStart) + kNineteen + "Text\n" + kAboutPrompt, kEnded, false, kStart},
       "Text\nX\n",
       nullptr},
  };
  for (const FilesCase& c : cases) check_in_scratch_folder(c);
}

const char* kBanner = "***************\n*** V E S K ***\n***************\n\nNS=64 NL=48\n";

// Through the built program: the record saved in one session is the one loaded at the next
// start, and a session that ends without the answer 0 runs nothing.
TEST(ParameterMenu, SavedValuesLoadAtTheNextStart) {
  ScratchDir dir;
  make_run_folder(
      settings_text(2, 7, 12.25f, 3.25f, 4.5f, 4.0f, 4.5f, 11, 12, 13, 14, 95.0f, 1, 60));
  write_text("default.txt", kDefaultText);
  write_raw_frame(0, 64, 48, std::vector<std::uint8_t>(64 * 48, 30));
  DetectionSettings saved = kDefaults;
  saved.Neighbour_sd = 2.5f;

  const ProgramRun first = run_vesk_program("15 1\n4 2.5\n15 2\n");
  EXPECT_EQ(first.out, kBanner + menu(kStart) + kLoadSave + menu(kDefaults) +
                           "\n Enter new: No. of s.d. above neighbour pixels threshold e.g. 3.0:" +
                           menu(saved) + kLoadSave + menu(saved));
  EXPECT_EQ(first.err, kEnded);
  EXPECT_EQ(first.exit_status, 1);
  EXPECT_FALSE(std::filesystem::exists(in_scratch("flash_info.dat")));

  const ProgramRun second = run_vesk_program("");
  EXPECT_EQ(second.out, kBanner + menu(saved));
  EXPECT_EQ(second.err, kEnded);
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_FALSE(std::filesystem::exists(in_scratch("flash_info.dat")));
}

}  // namespace

// A text file name that points at a device or a folder must not keep the menu reading forever.
TEST(ParameterMenu, TextFilesThatAreNotRegularFilesAreRefused) {
  struct Case {
    const char* name;
    const char* file;
    bool as_folder;  // a folder of that name instead of a link to /dev/zero
    MenuCase expected;
  };
  const std::vector<Case> cases = {
      {"about.txt is /dev/zero",
       "about.txt",
       false,
       {"", "16 0", menu(kStart) + menu(kStart),
        "about.txt: not a regular file; no information to show\n", true, kStart}},
      {"about.txt is a folder",
       "about.txt",
       true,
       {"", "16 0", menu(kStart) + menu(kStart),
        "about.txt: not a regular file; no information to show\n", true, kStart}},
      {"default.txt is /dev/zero",
       "default.txt",
       false,
       {"", "15 1 0", menu(kStart) + kLoadSave + menu(kStart),
        "default.txt: not a regular file; the parameters are unchanged\n", true, kStart}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    if (c.as_folder) {
      std::filesystem::create_directory(in_scratch(c.file));
    } else {
      std::filesystem::create_symlink("/dev/zero", in_scratch(c.file));
    }
    check(c.expected);
  }
}
