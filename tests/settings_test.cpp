#include "control/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "test_support.h"

namespace {

// Values chosen so that every field differs from every other and from a shifted neighbour.
const DetectionSettings kWritten{2,  7,  12.5f, 3.25f, 5.5f,  4.0f, 4.5f,
                                 11, 12, 13,    14,    95.0f, 1,    60};

const char* kWrittenText =
    "Min_flash_limit= 2\n"
    "Max_flash_limit= 7\n"
    "Flash_sd_sep= 12.500000\n"
    "Neighbour_sd= 3.250000\n"
    "Time_sd= 5.500000\n"
    "Min_sd1= 4.000000\n"
    "Min_sd2= 4.500000\n"
    "Left_sample_border= 11\n"
    "Right_sample_border= 12\n"
    "Top_line_limit= 13\n"
    "Bott_line_limit= 14\n"
    "Peak_killer= 95.000000\n"
    "Interlace= 1\n"
    "Images_in_buffer= 60\n";

// A record whose every field is marked, so a field that no read sets is visible.
DetectionSettings marked() {
  return DetectionSettings{-9, -9, -9.0f, -9.0f, -9.0f, -9.0f, -9.0f,
                           -9, -9, -9,    -9,    -9.0f, -9,    -9};
}

// `text` with the first `from` replaced by `to`.
std::string replaced(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  return text.substr(0, at) + to + text.substr(at + from.size());
}

}  // namespace

TEST(SettingsFile, WriterProducesTheFourteenLines) {
  ScratchDir dir;
  std::string error;
  ASSERT_TRUE(write_settings_file(scratch_folder(), kWritten, &error)) << error;
  EXPECT_EQ(read_text("settings.txt"), kWrittenText);
}

TEST(SettingsFile, ParameterTableIsInFileOrder) {
  for (std::size_t i = 0; i < settings_parameters.size(); ++i) {
    EXPECT_EQ(settings_parameters[i].number, static_cast<int>(i) + 1);
  }
}

struct ReadCase {
  const char* name;
  std::string text;
  DetectionSettings expected;
  std::vector<std::string> problems;
};

TEST(SettingsFile, ReadsWithFormattedInputRules) {
  const std::string written = kWrittenText;
  std::string one_line = written;
  for (char& c : one_line) {
    if (c == '\n') c = ' ';
  }
  std::string blank_lines;
  for (char c : written) {
    blank_lines += c;
    if (c == '\n') blank_lines += "\n\t \n";
  }
  DetectionSettings swapped = kWritten;  // lines 5 and 6 swapped: positions decide
  swapped.Time_sd = 4.0f;
  swapped.Min_sd1 = 5.5f;
  DetectionSettings integer_in_float = kWritten;
  integer_in_float.Flash_sd_sep = 5.0f;
  // "1.5" for an int: 1 is read, ".5" becomes the next key, Max_flash_limit meets the key
  // "Max_flash_limit=" and keeps its value, and the later numbers land one field early; 4.5 in
  // the int field Left_sample_border then leaves ".5" behind in the same way.
  DetectionSettings fraction_in_int{1, -9, 7.0f, 12.5f, 3.25f, 5.5f, 4.0f,
                                    4, -9, 11,   12,    13.0f, 14,   95};
  // "Min_sd1=2.5" is one token: Min_sd1 loses its number, the next pair is read in step again.
  DetectionSettings attached = kWritten;
  attached.Min_sd1 = -9.0f;
  DetectionSettings short_file = marked();
  short_file.Min_flash_limit = 2;
  short_file.Max_flash_limit = 7;
  std::vector<std::string> short_problems;
  for (std::size_t i = 2; i < 14; ++i) {
    short_problems.push_back(std::string("settings.txt: ") + settings_parameters[i].key +
                             ": the file ends before its number");
  }

  const std::string fraction_text = replaced(written, "= 2\n", "= 1.5\n");
  const std::string attached_text = replaced(written, "Min_sd1= 4.000000", "Min_sd1=2.5");

  const std::vector<ReadCase> cases = {
      {"written form", written, kWritten, {}},
      {"all pairs on one line", one_line, kWritten, {}},
      {"blank lines between pairs", blank_lines, kWritten, {}},
      {"lines 5 and 6 swapped",
       "Min_flash_limit= 2\nMax_flash_limit= 7\nFlash_sd_sep= 12.5\nNeighbour_sd= 3.25\n"
       "Min_sd1= 4.0\nTime_sd= 5.5\nMin_sd2= 4.5\nLeft_sample_border= 11\n"
       "Right_sample_border= 12\nTop_line_limit= 13\nBott_line_limit= 14\nPeak_killer= 95\n"
       "Interlace= 1\nImages_in_buffer= 60\n",
       swapped,
       {}},
      {"integer in a float field", replaced(written, "12.500000", "5"), integer_in_float, {}},
      {"fraction in an int field",
       fraction_text,
       fraction_in_int,
       {"settings.txt: Max_flash_limit: no number at \"Max_flash_limit=\"",
        "settings.txt: Right_sample_border: no number at \"Left_sample_border=\""}},
      {"key with its number attached",
       attached_text,
       attached,
       {"settings.txt: Min_sd1: no number at \"Min_sd2=\""}},
      {"more than fourteen pairs", written + "Extra= 5\nMore= 6\n", kWritten, {}},
      {"two pairs only", "A= 2\nB= 7\n", short_file, short_problems},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_text("settings.txt", c.text);
    DetectionSettings read = marked();
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(
        read_settings_file(scratch_folder(), "settings.txt", read, problems, nullptr, &error))
        << error;
    EXPECT_EQ(format_settings(read), format_settings(c.expected));
    EXPECT_EQ(problems, c.problems);
  }
}

TEST(SettingsFile, NumbersBeyondTheIntRangeAreRefused) {
  ScratchDir dir;
  write_text("settings.txt", replaced(kWrittenText, "= 60", "= 4294967356"));
  DetectionSettings read = marked();
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(
      read_settings_file(scratch_folder(), "settings.txt", read, problems, nullptr, &error));
  EXPECT_EQ(read.Images_in_buffer, -9);
  EXPECT_EQ(problems, std::vector<std::string>{
                          "settings.txt: Images_in_buffer: 4294967356 is beyond the int range"});
}

TEST(SettingsFile, MissingFileLeavesTheRecordAlone) {
  ScratchDir dir;
  DetectionSettings read = kWritten;
  std::vector<std::string> problems;
  std::string error;
  EXPECT_FALSE(
      read_settings_file(scratch_folder(), "default.txt", read, problems, nullptr, &error));
  EXPECT_EQ(error, "default.txt: cannot open: No such file or directory");
  EXPECT_EQ(format_settings(read), format_settings(kWritten));
}

TEST(SettingsFile, SaveIntoAFolderFails) {
  ScratchDir dir;
  std::filesystem::create_directory(in_scratch("settings.txt"));
  std::string error;
  EXPECT_FALSE(write_settings_file(scratch_folder(), kWritten, &error));
  EXPECT_EQ(error, "settings.txt: cannot rename the finished file: Is a directory");
}

TEST(SettingsFile, FloatsRoundTripThroughSixDecimals) {
  ScratchDir dir;
  DetectionSettings s = kWritten;
  s.Flash_sd_sep = 1.0f / 3.0f;
  s.Peak_killer = -250.125f;
  std::string error;
  ASSERT_TRUE(write_settings_file(scratch_folder(), s, &error));
  DetectionSettings back = marked();
  std::vector<std::string> problems;
  ASSERT_TRUE(
      read_settings_file(scratch_folder(), "settings.txt", back, problems, nullptr, &error));
  EXPECT_EQ(back.Flash_sd_sep, std::strtof("0.333333", nullptr));
  EXPECT_EQ(back.Peak_killer, -250.125f);
}
