// The demo's truth file and flash log readers: what the generator writes reads back, and a damaged
// or foreign file stops the reader with one line naming the file and the line.
#include "demo_truth.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using demo::EventKind;
using demo::FlashReport;
using demo::TruthRow;

const std::string kColumns = "frame,x,y,peak,width,kind\n";
const std::string kGoodRow = "12,100.25,80.50,42.0,3.10,flash\n";

struct BadFile {
  const char* name;
  std::string text;
  std::string error;
};

TEST(DemoTruthFile, DamagedFilesAreRefusedWithTheirLine) {
  const BadFile cases[] = {
      {"empty", "", "truth.csv: empty, no column names"},
      {"flash log instead", "Frame Flashes sample line\n",
       "truth.csv: line 1: not the column names frame,x,y,peak,width,kind"},
      {"five fields", kColumns + "12,1.0,2.0,30.0,2.0\n",
       "truth.csv: line 2: not six fields frame,x,y,peak,width,kind"},
      {"seven fields", kColumns + kGoodRow + "12,1.0,2.0,30.0,2.0,flash,9\n",
       "truth.csv: line 3: not six fields frame,x,y,peak,width,kind"},
      {"negative frame", kColumns + "-1,1.0,2.0,30.0,2.0,flash\n",
       "truth.csv: line 2: frame '-1': need a whole number from 0 to 99999"},
      {"frame beyond int", kColumns + "99999999999,1.0,2.0,30.0,2.0,flash\n",
       "truth.csv: line 2: frame '99999999999': need a whole number from 0 to 99999"},
      {"frame with tail", kColumns + "12a,1.0,2.0,30.0,2.0,flash\n",
       "truth.csv: line 2: frame '12a': need a whole number from 0 to 99999"},
      {"x not a number", kColumns + "12,nan,2.0,30.0,2.0,flash\n",
       "truth.csv: line 2: x 'nan': need a number from 0 to 1e6"},
      {"peak infinite", kColumns + "12,1.0,2.0,inf,2.0,flash\n",
       "truth.csv: line 2: peak 'inf': need a number from 0 to 1e6"},
      {"y too large", kColumns + "12,1.0,1e9,30.0,2.0,flash\n",
       "truth.csv: line 2: y '1e9': need a number from 0 to 1e6"},
      {"width empty", kColumns + "12,1.0,2.0,30.0,,flash\n",
       "truth.csv: line 2: width '': need a number from 0 to 1e6"},
      {"unknown kind", kColumns + "12,1.0,2.0,30.0,2.0,comet\n",
       "truth.csv: line 2: kind 'comet': need flash, flash_fade, cosmic_ray, hot_pixel or glint"},
      {"NUL in kind", kColumns + std::string("12,1.0,2.0,30.0,2.0,flash\0\n", 27),
       "truth.csv: line 2: kind 'flash" + std::string(1, '\0') +
           "': need flash, flash_fade, cosmic_ray, hot_pixel or glint"},
      {"endless line", kColumns + kGoodRow + std::string(5000, '7'),
       "truth.csv: line 3: longer than 1000 characters"},
  };
  for (const BadFile& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_text("truth.csv", c.text);
    std::vector<TruthRow> rows;
    std::string error;
    EXPECT_FALSE(demo::read_truth(in_scratch("truth.csv").c_str(), rows, &error));
    EXPECT_EQ(without_scratch(error), c.error);
  }
}

TEST(DemoTruthFile, DevicesFoldersAndMissingFilesAreRefused) {
  ScratchDir dir;
  std::filesystem::create_directory(in_scratch("folder"));
  const std::pair<const char*, std::string> cases[] = {
      {"/dev/zero", "/dev/zero: not a regular file"},
      {"folder", "folder: not a regular file"},
      {"missing.csv", "missing.csv: cannot open: No such file or directory"},
  };
  for (const auto& [path, message] : cases) {
    std::vector<TruthRow> rows;
    std::string error;
    EXPECT_FALSE(demo::read_truth(in_scratch(path).c_str(), rows, &error)) << path;
    EXPECT_EQ(without_scratch(error), message);
  }
}

TEST(DemoTruthFile, MoreRowsThanTheLimitAreRefused) {
  ScratchDir dir;
  std::string text = kColumns;
  for (std::size_t i = 0; i <= demo::kMaxTruthRows; ++i) text += "0,0,0,0,0,flash\n";
  write_text("truth.csv", text);
  std::vector<TruthRow> rows;
  std::string error;
  EXPECT_FALSE(demo::read_truth(in_scratch("truth.csv").c_str(), rows, &error));
  EXPECT_EQ(without_scratch(error), "truth.csv: line 1000002: more than 1000000 rows");
}

// What the generator writes reads back at the written precision, over an older file and with
// nothing left under the temporary name; CRLF line ends and a last line without one read too.
TEST(DemoTruthFile, WrittenRowsReadBack) {
  ScratchDir dir;
  write_text("truth.csv", "an older truth file that is longer than the new one\n\n\n\n\n");
  const std::vector<TruthRow> written = {
      {1, 81.014, 134.049, 122.84, 2.2, EventKind::Glint},
      {35, 240.0, 133.0, 138.6, 1.0, EventKind::CosmicRay},
      {72, 221.88, 143.66, 70.66, 4.35, EventKind::FlashFade},
  };
  std::string error;
  ASSERT_TRUE(demo::write_truth(in_scratch("truth.csv").c_str(), written, &error)) << error;
  EXPECT_EQ(read_text("truth.csv"), kColumns +
                                        "1,81.01,134.05,122.8,2.20,glint\n"
                                        "35,240.00,133.00,138.6,1.00,cosmic_ray\n"
                                        "72,221.88,143.66,70.7,4.35,flash_fade\n");
  EXPECT_FALSE(std::filesystem::exists(in_scratch("truth.csv.part")));

  write_text("crlf.csv",
             "frame,x,y,peak,width,kind\r\n12,100.25,80.50,42.0,3.10,flash\r\n"
             "13,1,2,3,4,hot_pixel");
  std::vector<TruthRow> rows;
  ASSERT_TRUE(demo::read_truth(in_scratch("crlf.csv").c_str(), rows, &error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].frame, 12);
  EXPECT_EQ(rows[0].x, 100.25);
  EXPECT_EQ(rows[0].y, 80.5);
  EXPECT_EQ(rows[0].peak, 42.0);
  EXPECT_EQ(rows[0].width, 3.1);
  EXPECT_EQ(rows[0].kind, EventKind::Flash);
  EXPECT_EQ(rows[1].kind, EventKind::HotPixel);
}

TEST(DemoTruthFile, WriteIntoAMissingFolderFails) {
  ScratchDir dir;
  std::string error;
  EXPECT_FALSE(
      demo::write_truth(in_scratch("no/such/truth.csv").c_str(), std::vector<TruthRow>{}, &error));
  EXPECT_EQ(without_scratch(error),
            "no/such/truth.csv.part: cannot open: No such file or directory");
}

const std::string kLogColumns =
    "Frame Flashes sample line scatter bckgrnd bckgrnd_sigma signal time_back time_sigma "
    "time_signal\n";

TEST(DemoFlashLog, ReadsVeskRecordsAndRefusesOthers) {
  ScratchDir dir;
  write_text("flash_info.dat",
             kLogColumns +
                 "3 6 209.500000 345.000000 2.345208 31.088512 0.105100 30.911488 31.525423 "
                 "4.000000 20.474577\n");
  std::vector<FlashReport> reports;
  std::string error;
  ASSERT_TRUE(demo::read_flash_log(in_scratch("flash_info.dat").c_str(), reports, &error)) << error;
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].frame, 3);
  EXPECT_EQ(reports[0].pixels, 6);
  EXPECT_EQ(reports[0].sample, 209.5);
  EXPECT_EQ(reports[0].line, 345.0);

  const std::string bad_record =
      "flash_info.dat: line 2: not a flash record (frame, pixels, sample, line, ...)";
  const BadFile cases[] = {
      {"truth file instead", kColumns,
       "flash_info.dat: line 1: not the column names Frame Flashes sample line"},
      {"three fields", kLogColumns + "3 6 209.5\n", bad_record},
      {"pixels not a number", kLogColumns + "3 x 209.5 345.0\n", bad_record},
      {"negative frame", kLogColumns + "-3 6 209.5 345.0\n", bad_record},
      {"line not finite", kLogColumns + "3 6 209.5 nan\n", bad_record},
  };
  for (const BadFile& c : cases) {
    SCOPED_TRACE(c.name);
    write_text("flash_info.dat", c.text);
    reports.clear();
    EXPECT_FALSE(demo::read_flash_log(in_scratch("flash_info.dat").c_str(), reports, &error));
    EXPECT_EQ(without_scratch(error), c.error);
  }
}

}  // namespace
