// vesk on FITS recordings: a cube and a folder of frames give the answers of a SER holding the
// same frames, whatever the sample type; a header that lies about the data stops the run with one
// line before anything is allocated. The FITS files are written here with cfitsio.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "formats/utc.h"
#include "imaging/file_io.h"
#include "sources/fits_source.h"
#include "sources/ser.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kTools = VESK_TOOLS_DIR;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

int shell(const std::string& command) {
  return run_command(command + " > /dev/null 2>&1").exit_status;
}

ProgramRun vesk(const std::string& args) {
  return run_command(quoted(VESK_BINARY) + " " + args + " --no-menu --quiet < /dev/null");
}

// The samples of every frame of a mono SER file, top row first: one value per pixel (16-bit
// samples little-endian, as frames_to_ser writes them).
struct Frames {
  int width = 0;
  int height = 0;
  std::vector<std::vector<double>> samples;
};

Frames read_ser(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  Frames frames;
  frames.width = get_le32(bytes, 26);
  frames.height = get_le32(bytes, 30);
  const int depth = get_le32(bytes, 34);
  const int count = get_le32(bytes, 38);
  const std::size_t pixels = static_cast<std::size_t>(frames.width) * frames.height;
  const std::size_t sample = depth > 8 ? 2 : 1;
  for (int f = 0; f < count; ++f) {
    const std::size_t at = kSerHeaderBytes + static_cast<std::size_t>(f) * pixels * sample;
    std::vector<double> values(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
      values[i] = sample == 1 ? bytes[at + i] : bytes[at + 2 * i] + 256.0 * bytes[at + 2 * i + 1];
    }
    frames.samples.push_back(std::move(values));
  }
  return frames;
}

// How a test FITS file stores its samples: cfitsio's image type, and the sample written for
// each value (float data as value * 2 + 100, so that --range 100,610 gives the values back).
enum class Stored { bytes, unsigned16, real };

struct Keys {
  std::string date_obs;
  std::string timesys = "UTC";
  std::vector<std::pair<std::string, std::string>> dates = {};  // DATE-BEG, DATE-AVG, ...
  std::optional<double> exptime = std::nullopt;
};

// Writes frames [first, first + count) of `frames` as one FITS file: a cube when `cube`, else a
// single frame (NAXIS 2). Rows are stored bottom first, as FITS does.
void write_fits(const std::string& path, const Frames& frames, int first, int count, bool cube,
                Stored stored, const Keys& keys) {
  fs::remove(in_scratch(path));
  fs::create_directories(in_scratch(path).parent_path());
  fitsfile* file = nullptr;
  int status = 0;
  const std::string name = in_scratch(path).string();
  ASSERT_EQ(fits_create_diskfile(&file, name.c_str(), &status), 0) << status;
  const int type = stored == Stored::bytes        ? BYTE_IMG
                   : stored == Stored::unsigned16 ? USHORT_IMG
                                                  : FLOAT_IMG;
  long axes[3] = {frames.width, frames.height, count};
  fits_create_img(file, type, cube ? 3 : 2, axes, &status);
  if (!keys.date_obs.empty()) {
    fits_write_key(file, TSTRING, "DATE-OBS", const_cast<char*>(keys.date_obs.c_str()), nullptr,
                   &status);
  }
  if (!keys.timesys.empty()) {
    fits_write_key(file, TSTRING, "TIMESYS", const_cast<char*>(keys.timesys.c_str()), nullptr,
                   &status);
  }
  for (const auto& [key, value] : keys.dates) {
    fits_write_key(file, TSTRING, key.c_str(), const_cast<char*>(value.c_str()), nullptr, &status);
  }
  if (keys.exptime) {
    double exptime = *keys.exptime;
    fits_write_key(file, TDOUBLE, "EXPTIME", &exptime, nullptr, &status);
  }
  const std::size_t pixels = static_cast<std::size_t>(frames.width) * frames.height;
  std::vector<double> flipped(pixels);
  for (int f = 0; f < count; ++f) {
    const std::vector<double>& values = frames.samples[static_cast<std::size_t>(first + f)];
    for (int row = 0; row < frames.height; ++row) {
      for (int x = 0; x < frames.width; ++x) {
        const double v = values[static_cast<std::size_t>(frames.height - 1 - row) * frames.width +
                                static_cast<std::size_t>(x)];
        flipped[static_cast<std::size_t>(row) * frames.width + static_cast<std::size_t>(x)] =
            stored == Stored::real ? v * 2 + 100 : v;
      }
    }
    LONGLONG first_pixel[3] = {1, 1, f + 1};
    fits_write_pixll(file, TDOUBLE, first_pixel, static_cast<LONGLONG>(pixels), flipped.data(),
                     &status);
  }
  fits_close_file(file, &status);
  ASSERT_EQ(status, 0) << path;
}

// Appends to the FITS file `path` a binary table whose column TIME holds `seconds`, one row per
// frame: the cube's time table.
void append_time_table(const std::string& path, const std::vector<double>& seconds) {
  fitsfile* file = nullptr;
  int status = 0;
  const std::string name = in_scratch(path).string();
  ASSERT_EQ(fits_open_diskfile(&file, name.c_str(), READWRITE, &status), 0) << status;
  char column[] = "TIME";
  char form[] = "1D";
  char unit[] = "s";
  char* names[] = {column};
  char* forms[] = {form};
  char* units[] = {unit};
  char extname[] = "TIMES";
  fits_create_tbl(file, BINARY_TBL, static_cast<LONGLONG>(seconds.size()), 1, names, forms, units,
                  extname, &status);
  fits_write_col(file, TDOUBLE, 1, 1, 1, static_cast<LONGLONG>(seconds.size()),
                 const_cast<double*>(seconds.data()), &status);
  fits_close_file(file, &status);
  ASSERT_EQ(status, 0) << path;
}

// frames_to_ser stamps frame f 40 ms after 2024-03-15T21:04:05.
std::string frame_date(int f) {
  char text[40];
  std::snprintf(text, sizeof text, "2024-03-15T21:04:%02d.%02d", 5 + f / 25, (f % 25) * 4);
  return text;
}

void write_fits_folder(const std::string& folder, const Frames& frames, Stored stored) {
  fs::create_directories(in_scratch(folder));
  for (int f = 0; f < static_cast<int>(frames.samples.size()); ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "/m%05d.fits", f);
    write_fits(folder + name, frames, f, 1, false, stored, {frame_date(f)});
  }
}

}  // namespace

TEST(FitsRecording, SameAnswersAsTheSameFramesInASer) {
  ScratchDir dir;
  ASSERT_EQ(shell(quoted(kTools + "/make_demo_frames") +
                  " --size 320x240 --frames 200 --flashes 3 --hits 1 --glints 0 --seed 5 demo"),
            0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night16.ser --depth 16"), 0);
  const Frames eight = read_ser("night.ser");
  const Frames sixteen = read_ser("night16.ser");
  ASSERT_EQ(eight.samples.size(), 200u);
  const int count = static_cast<int>(eight.samples.size());
  const Keys start{frame_date(0)};
  write_fits("cube8.fits", eight, 0, count, true, Stored::bytes, start);
  write_fits("cube16.fits", sixteen, 0, count, true, Stored::unsigned16, start);
  write_fits("cube_real.fits", eight, 0, count, true, Stored::real, start);
  write_fits("cube8_table.fits", eight, 0, count, true, Stored::bytes, start);
  std::vector<double> seconds;
  for (int f = 0; f < count; ++f) seconds.push_back(f * 0.04);
  append_time_table("cube8_table.fits", seconds);
  write_fits_folder("folder8", eight, Stored::bytes);
  write_fits_folder("folder16", sixteen, Stored::unsigned16);
  write_fits_folder("folder_real", eight, Stored::real);

  const ProgramRun ser8 = vesk("night.ser --out ser8");
  ASSERT_EQ(ser8.exit_status, 0) << ser8.err;
  const ProgramRun ser16 = vesk("night16.ser --out ser16");
  ASSERT_EQ(ser16.exit_status, 0) << ser16.err;
  const auto expected8 = run_results("ser8");
  const auto expected16 = run_results("ser16");
  ASSERT_GE(expected8.size(), 6u);  // flashes found: report images beside the text files
  ASSERT_NE(std::string(expected8.at("flashes.csv").begin(), expected8.at("flashes.csv").end())
                .find(",2024-03-15T21:04:"),
            std::string::npos);
  // The same times, said to come from the FITS headers (a cube's frames after the first from
  // --fps) where the SER's came from its trailer; the file,file_frame columns set aside.
  const auto timed_by = [](std::map<std::string, std::vector<std::uint8_t>> files,
                           const std::string& source) {
    drop_file_columns(files);
    std::string times(files.at("frame_times.csv").begin(), files.at("frame_times.csv").end());
    for (std::size_t at = 0; (at = times.find(",trailer\n", at)) != std::string::npos;) {
      times.replace(at + 1, 7, source);
      at += source.size() + 2;
    }
    files["frame_times.csv"] = std::vector<std::uint8_t>(times.begin(), times.end());
    return files;
  };
  const auto cube8 = timed_by(expected8, "fps");
  const auto cube16 = timed_by(expected16, "fps");
  const auto table8 = timed_by(expected8, "table");
  const auto folder8 = timed_by(expected8, "header");
  const auto folder16 = timed_by(expected16, "header");
  struct Case {
    const char* name;
    std::string args;
    const ProgramRun* ser;
    const std::map<std::string, std::vector<std::uint8_t>>* expected;
  };
  const std::vector<Case> cases = {
      {"8-bit cube", "cube8.fits --fps 25", &ser8, &cube8},
      {"8-bit cube timed by its TIME table", "cube8_table.fits", &ser8, &table8},
      {"8-bit folder", "folder8", &ser8, &folder8},
      {"16-bit unsigned cube (BZERO 32768)", "cube16.fits --fps 25", &ser16, &cube16},
      {"16-bit unsigned folder", "folder16", &ser16, &folder16},
      {"float cube with --range", "cube_real.fits --fps 25 --range 100,610", &ser8, &cube8},
      {"float folder with --range", "folder_real --range 100,610", &ser8, &folder8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(in_scratch("fits"));
    const ProgramRun run = vesk(c.args + " --out fits");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(without_run_end(run.err), "");
    EXPECT_EQ(run.out, c.ser->out);
    // The same frames in another file: the same results but for the file named in file,file_frame.
    EXPECT_EQ(run_results_without_file_columns("fits"), *c.expected);
  }
}

TEST(FitsRecording, SaysHowItReadTheSamplesAndTimes) {
  ScratchDir dir;
  // Two 16 x 8 frames: a ramp up to 3937 (12 bits used of 16), then a flat one.
  Frames frames{16, 8, {}};
  std::vector<double> ramp(128);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(i) * 31;
  frames.samples = {ramp, std::vector<double>(128, 1000)};
  Frames bytes{16, 8, {std::vector<double>(128, 10), std::vector<double>(128, 20)}};
  struct Case {
    const char* name;
    Stored stored;
    Keys keys;
    std::string options;
    std::string notices;
  };
  const std::vector<Case> cases = {
      {"16-bit samples using 12 bits",
       Stored::unsigned16,
       {"2024-03-15T21:04:05", "UTC"},
       "--fps 25",
       "c.fits: the 16-bit samples use only 12 bits (largest 3937 in the first 2 frames); "
       "scaling them as 12-bit\n"},
      {"real numbers without --range",
       Stored::real,
       {"2024-03-15T21:04:05", "UTC"},
       "--fps 25",
       "c.fits: real-number samples: 100 to 7974 (the 0.1 and 99.9 percentiles of the first 2 "
       "frames) become grey 0 to 255 for the whole run; --range LO,HI sets them\n"},
      {"no TIMESYS",
       Stored::bytes,
       {"2024-03-15T21:04:05", ""},
       "--fps 25",
       "c.fits: no TIMESYS; DATE-OBS taken as UTC\n"},
      {"a cube without --fps",
       Stored::bytes,
       {"2024-03-15T21:04:05", "UTC"},
       "",
       "c.fits: a cube of 2 frames with one DATE-OBS; --fps F gives the frames' times; reading "
       "no frame times\n"},
      {"another time scale, taken to UTC",
       Stored::bytes,
       {"2024-03-15T21:04:05", "TT"},
       "--fps 25",
       ""},
      {"--depth on 8-bit samples",
       Stored::bytes,
       {"2024-03-15T21:04:05", "UTC"},
       "--fps 25 --depth 10",
       "c.fits: holds 8-bit samples; --depth applies to 16- and 32-bit integer samples and is "
       "ignored\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_fits("c.fits", c.stored == Stored::bytes ? bytes : frames, 0, 2, true, c.stored, c.keys);
    // Two frames are too few for the ring: the run stops after the notices.
    const ProgramRun run = vesk("c.fits --out run --replace " + c.options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.notices +
                           "c.fits: holds 2 frames; the ring of Images_in_buffer 60 needs frames 0 "
                           "to 59 before the run can start; with only 2 frames there, no ring can "
                           "be filled (3 frames at least)\n");
  }
}

TEST(FitsRecording, TimeTableOrSaysWhyNot) {
  ScratchDir dir;
  Frames bytes{16, 8, {std::vector<double>(128, 10), std::vector<double>(128, 20)}};
  struct Case {
    const char* name;
    std::vector<double> seconds;
    std::string options;
    std::string notices;
  };
  const std::vector<Case> cases = {
      {"a table of the frames' times", {0, 0.5}, "", ""},
      {"a table beside --fps",
       {0, 0.5},
       "--fps 25",
       "c.fits: the frame times come from its TIME table; --fps is ignored\n"},
      {"a row short",
       {0},
       "",
       "c.fits: its TIME table has 1 rows for 2 frames; reading no frame times\n"},
      {"a time not a number",
       {0, std::nan("")},
       "",
       "c.fits: its TIME table's row 2 is no time; reading no frame times\n"},
      {"times going back",
       {0.5, 0},
       "",
       "c.fits: the frame times are not used: frame 1 time 2024-03-15T21:04:05.0000000Z is "
       "earlier than frame 0's\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_fits("c.fits", bytes, 0, 2, true, Stored::bytes, {"2024-03-15T21:04:05", "UTC"});
    append_time_table("c.fits", c.seconds);
    // Two frames are too few for the ring: the run stops after the notices.
    const ProgramRun run = vesk("c.fits --out run --replace " + c.options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.notices +
                           "c.fits: holds 2 frames; the ring of Images_in_buffer 60 needs frames 0 "
                           "to 59 before the run can start; with only 2 frames there, no ring can "
                           "be filled (3 frames at least)\n");
  }
}

namespace {

// Replaces the card of `key` in the header of the FITS file `path` with `key = value`.
void set_card(const std::string& path, const std::string& key, const std::string& value) {
  std::vector<std::uint8_t> bytes = read_file(path);
  std::string card = key;
  card.resize(8, ' ');
  for (std::size_t at = 0; at + 80 <= 2880; at += 80) {
    if (std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at) + 8) != card) {
      continue;
    }
    std::string line =
        card + "= " + std::string(20 - std::min<std::size_t>(value.size(), 20), ' ') + value;
    line.resize(80, ' ');
    std::copy(line.begin(), line.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    write_file(path, bytes);
    return;
  }
  FAIL() << key << " not in " << path;
}

}  // namespace

TEST(FitsRecording, HostileHeadersStopWithOneLine) {
  ScratchDir dir;
  Frames frames{16, 8, {}};
  for (int f = 0; f < 10; ++f) frames.samples.push_back(std::vector<double>(128, 10.0 + f));
  const Keys keys{"2024-03-15T21:04:05"};
  write_fits("good.fits", frames, 0, 10, true, Stored::bytes, keys);
  const std::vector<std::uint8_t> good = read_file("good.fits");
  ASSERT_EQ(good.size(), 2u * 2880);  // header block, then 1280 bytes of data in one block

  struct Case {
    const char* name;
    std::function<void()> make;  // writes the recording named in args
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"data cut short",
       [&] {
         write_file("h.fits", {good.begin(), good.begin() + 2880 + 500});
       },
       "h.fits",
       "h.fits: truncated: its header gives 10 frames of 16 x 8 at BITPIX 8 (128 bytes each), the "
       "file holds 500 bytes of data\n"},
      {"NAXIS3 far beyond the file",
       [&] {
         write_file("h.fits", good);
         set_card("h.fits", "NAXIS3", "2000000000");
       },
       "h.fits",
       "h.fits: truncated: its header gives 2000000000 frames of 16 x 8 at BITPIX 8 (128 bytes "
       "each), the file holds 2880 bytes of data\n"},
      {"a side beyond any frame",
       [&] {
         write_file("h.fits", good);
         set_card("h.fits", "NAXIS1", "100000");
       },
       "h.fits", "h.fits: frame size 100000 x 8 is outside 1 to 32768\n"},
      {"a frame of one row only (NAXIS 1)",
       [&] {
         write_file("h.fits", good);
         set_card("h.fits", "NAXIS", "1");
       },
       "h.fits",
       "h.fits: NAXIS 1: a FITS recording holds frames (NAXIS 2) or a cube of them (NAXIS 3)\n"},
      {"64-bit integers",
       [&] {
         write_file("h.fits", good);
         set_card("h.fits", "BITPIX", "64");
       },
       "h.fits", "h.fits: BITPIX 64 is not one of 8, 16, 32, -32, -64\n"},
      {"a folder with a frame of another size",
       [&] {
         write_fits("f/a.fits", frames, 0, 1, false, Stored::bytes, keys);
         Frames other{16, 9, {std::vector<double>(144, 10.0)}};
         write_fits("f/b.fits", other, 0, 1, false, Stored::bytes, keys);
       },
       "f", "f/b.fits: frame size 16 x 9, not the 16 x 8 of f/a.fits\n"},
      {"a folder with a frame of another sample type",
       [&] {
         fs::remove_all(in_scratch("f"));
         write_fits("f/a.fits", frames, 0, 1, false, Stored::bytes, keys);
         write_fits("f/b.fits", frames, 1, 1, false, Stored::unsigned16, keys);
       },
       "f",
       "f/b.fits: BITPIX 16 with BZERO 32768 and BSCALE 1, not the BITPIX 8 with BZERO 0 and "
       "BSCALE 1 of f/a.fits\n"},
      {"a folder holding a cube",
       [&] {
         fs::remove_all(in_scratch("f"));
         write_fits("f/a.fits", frames, 0, 1, false, Stored::bytes, keys);
         write_file("f/b.fits", good);
       },
       "f", "f/b.fits: a cube of 10 frames; a folder of FITS frames holds one frame per file\n"},
      {"a folder with no FITS file", [&] { fs::create_directories(in_scratch("empty")); }, "empty",
       "empty: a folder with no FITS file (*.fits, *.fit, *.fts)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const ProgramRun run = vesk(c.args + " --out run --fps 25");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_FALSE(fs::exists(in_scratch("run")));
  }
}

// A night of FITS cubes is read as its first cube is: the depth of its integer samples, or the
// grey scale of its real numbers, settled on its first frames holds for every cube after it, as
// in one cube holding the whole night, with the notice said once. Each fixture's later cube
// would be read otherwise on its own first frames. A cube of another sample type is refused.
TEST(FitsRecording, NightOfCubesIsReadAsItsFirstCube) {
  ScratchDir dir;
  ASSERT_EQ(shell(quoted(kTools + "/make_demo_frames") +
                  " --size 320x240 --frames 200 --flashes 3 --hits 1 --glints 0 --seed 5 demo"),
            0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night16.ser --depth 16"), 0);
  const Frames sixteen = read_ser("night16.ser");
  ASSERT_EQ(sixteen.samples.size(), 200u);
  // Frame f's samples through `value`.
  auto night_of = [&](const std::function<double(int, double)>& value) {
    Frames frames = sixteen;
    for (int f = 0; f < 200; ++f) {
      for (double& v : frames.samples[static_cast<std::size_t>(f)]) v = value(f, v);
    }
    return frames;
  };
  struct Case {
    const char* name;
    Frames frames;
    Stored stored;
    std::string options;
    std::string notice;  // the whole night's, naming its first file
  };
  const std::vector<Case> cases = {
      // 12 bits used in the first cube, under 8 in the second: alone it would be scaled as 8-bit.
      {"integer depth",
       night_of([](int f, double v) { return std::floor(v / (f < 110 ? 16 : 256)); }),
       Stored::unsigned16, "",
       ": the 16-bit samples use only 12 bits (largest 4095 in the first 4 frames); scaling "
       "them as 12-bit\n"},
      // The second cube's values spread four times as wide: alone its percentiles would differ.
      {"real-number grey scale",
       night_of([](int f, double v) { return std::floor(v / 256) * (f < 110 ? 1 : 4); }),
       Stored::real, "",
       ": real-number samples: 100 to 610 (the 0.1 and 99.9 percentiles of the first 4 frames) "
       "become grey 0 to 255 for the whole run; --range LO,HI sets them\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_fits("whole.fits", c.frames, 0, 200, true, c.stored, {frame_date(0)});
    write_fits("a.fits", c.frames, 0, 110, true, c.stored, {frame_date(0)});
    write_fits("b.fits", c.frames, 110, 90, true, c.stored, {frame_date(110)});
    fs::remove_all(in_scratch("whole"));
    fs::remove_all(in_scratch("joined"));
    const ProgramRun whole = vesk("whole.fits --out whole --fps 25" + c.options);
    ASSERT_EQ(whole.exit_status, 0) << whole.err;
    EXPECT_EQ(without_run_end(whole.err), "whole.fits" + c.notice);
    const ProgramRun joined = vesk("b.fits a.fits --out joined --fps 25" + c.options);
    ASSERT_EQ(joined.exit_status, 0) << joined.err;
    EXPECT_EQ(without_run_end(joined.err), "a.fits" + c.notice);
    EXPECT_EQ(joined.out, whole.out);
    EXPECT_EQ(run_results_without_file_columns("joined"),
              run_results_without_file_columns("whole"));
  }

  const Frames eight = night_of([](int, double v) { return std::floor(v / 256); });
  write_fits("a.fits", eight, 0, 110, true, Stored::bytes, {frame_date(0)});
  write_fits("b.fits", sixteen, 110, 90, true, Stored::unsigned16, {frame_date(110)});
  const ProgramRun mixed = vesk("b.fits a.fits --out mixed --fps 25");
  EXPECT_EQ(mixed.exit_status, 1);
  EXPECT_EQ(mixed.err,
            "b.fits: frames of BITPIX 16 with BZERO 32768 and BSCALE 1; the night's first file, "
            "a.fits, has frames of BITPIX 8 with BZERO 0 and BSCALE 1\n");
  EXPECT_FALSE(fs::exists(in_scratch("mixed")));
}

// The start of the first frame's exposure in UTC from each way a header can give it: DATE-BEG,
// DATE-OBS, DATE-AVG or DATE-END (moved back by EXPTIME), preferred in that order, in UTC, TT,
// TAI or GPS. Leap seconds come from ERFA's table: 37 s TAI - UTC from 2017, 36 s before.
TEST(FitsRecording, StartOfExposureInUtc) {
  ScratchDir dir;
  Frames one{16, 8, {std::vector<double>(128, 10)}};
  using Cards = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    Keys keys;
    std::string utc;  // of the first frame; empty: no times
    std::string notices;
  };
  const std::string start = "2024-03-15T21:04:05.2500000Z";
  const std::vector<Case> cases = {
      {"DATE-OBS", {"2024-03-15T21:04:05.25", "UTC"}, start, ""},
      {"DATE-OBS with UT", {"2024-03-15T21:04:05.25", "UT"}, start, ""},
      {"DATE-BEG before DATE-OBS",
       {"2024-03-15T21:00:00", "UTC", Cards{{"DATE-BEG", "2024-03-15T21:04:05.25"}}},
       start,
       ""},
      {"DATE-OBS before DATE-AVG",
       {"2024-03-15T21:04:05.25", "UTC", Cards{{"DATE-AVG", "2024-03-15T21:09:00"}}, 0.04},
       start,
       ""},
      {"DATE-AVG: the middle, EXPTIME / 2 after the start",
       {"", "UTC", Cards{{"DATE-AVG", "2024-03-15T21:04:05.27"}}, 0.04},
       start,
       ""},
      {"DATE-END: the end, EXPTIME after the start",
       {"", "UTC", Cards{{"DATE-END", "2024-03-15T21:04:05.29"}}, 0.04},
       start,
       ""},
      {"DATE-AVG before DATE-END",
       {"", "UTC",
        Cards{{"DATE-END", "2024-03-15T21:09:00"}, {"DATE-AVG", "2024-03-15T21:04:06.25"}}, 2.0},
       start,
       ""},
      {"no TIMESYS: UTC",
       {"", "", Cards{{"DATE-BEG", "2024-03-15T21:04:05.25"}}},
       start,
       "c.fits: no TIMESYS; DATE-BEG taken as UTC\n"},
      // TT = TAI + 32.184 s; TAI = UTC + 37 s in 2024.
      {"TT", {"2024-03-15T21:05:14.434", "TT"}, start, ""},
      {"TT at the end of an exposure",
       {"", "TT", Cards{{"DATE-END", "2024-03-15T21:05:14.474"}}, 0.04},
       start,
       ""},
      {"TAI", {"2024-03-15T21:04:42.25", "TAI"}, start, ""},
      // GPS = TAI - 19 s.
      {"GPS", {"2024-03-15T21:04:23.25", "GPS"}, start, ""},
      {"TAI just after the leap second of 2016-12-31",
       {"2017-01-01T00:00:37.5", "TAI"},
       "2017-01-01T00:00:00.5000000Z",
       ""},
      {"TAI just before it", {"2017-01-01T00:00:35.5", "TAI"}, "2016-12-31T23:59:59.5000000Z", ""},
      {"DATE-AVG without EXPTIME",
       {"", "UTC", Cards{{"DATE-AVG", "2024-03-15T21:04:05.27"}}},
       "",
       "c.fits: DATE-AVG gives the middle of the exposure and there is no EXPTIME to find its "
       "start by; reading no frame times\n"},
      {"DATE-END without EXPTIME",
       {"", "TT", Cards{{"DATE-END", "2024-03-15T21:04:05.27"}}},
       "",
       "c.fits: DATE-END gives the end of the exposure and there is no EXPTIME to find its start "
       "by; reading no frame times\n"},
      {"a negative EXPTIME",
       {"", "UTC", Cards{{"DATE-END", "2024-03-15T21:04:05.27"}}, -1.0},
       "",
       "c.fits: EXPTIME -1 is no exposure in seconds; reading no frame times\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_fits("c.fits", one, 0, 1, false, Stored::bytes, c.keys);
    std::vector<std::string> notices;
    std::string error;
    const auto source = open_fits_source(in_scratch("c.fits").string(), {}, notices, &error);
    ASSERT_NE(source, nullptr) << error;
    std::string said;
    for (std::string line : notices) said += line.substr(line.find("c.fits")) + "\n";
    EXPECT_EQ(said, c.notices);
    const FrameTime time = source->frame_time(0);
    if (c.utc.empty()) {
      EXPECT_FALSE(time.known);
      continue;
    }
    // Within 1 us: the times are kept in 100-ns ticks, and ERFA's two-part Julian dates carry
    // the scale offsets (whole ticks) to about 10 ps, so the conversion lands on the exact tick;
    // the tolerance only allows for how the text is rounded.
    std::int64_t got = 0;
    std::int64_t expected = 0;
    ASSERT_TRUE(parse_utc_text(time.utc, got)) << time.utc;
    ASSERT_TRUE(parse_utc_text(c.utc, expected));
    EXPECT_LE(std::llabs(got - expected), 10) << time.utc;
  }

  // A cube of frames: DATE-AVG and DATE-END give the middle and end of the whole cube, not of
  // its first frame, and are not used; another time scale stops the run with one line.
  Frames three{16, 8, {one.samples[0], one.samples[0], one.samples[0]}};
  struct Refusal {
    const char* name;
    Keys keys;
    bool cube;
    std::string err;
    int status;
  };
  const std::vector<Refusal> refusals = {
      {"TCB",
       {"2024-03-15T21:04:05.25", "TCB"},
       false,
       "c.fits: TIMESYS TCB: the frame times can be read in UTC, TT, TAI or GPS only\n",
       1},
      {"TDB in a cube timed by DATE-END",
       {"", "TDB", Cards{{"DATE-END", "2024-03-15T21:04:05.29"}}, 0.04},
       true,
       "c.fits: TIMESYS TDB: the frame times can be read in UTC, TT, TAI or GPS only\n",
       1},
      {"a cube timed by DATE-END",
       {"", "UTC", Cards{{"DATE-END", "2024-03-15T21:04:05.29"}}, 0.04},
       true,
       "c.fits: a cube of 3 frames timed by DATE-END, which gives the end of the whole cube; "
       "DATE-BEG or DATE-OBS gives its start; reading no frame times\n",
       0},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    write_fits("c.fits", r.cube ? three : one, 0, r.cube ? 3 : 1, r.cube, Stored::bytes, r.keys);
    std::vector<std::string> notices;
    std::string error;
    RecordingOptions options;
    options.fps = 25;
    const auto source = open_fits_source(in_scratch("c.fits").string(), options, notices, &error);
    std::string said;
    for (const std::string& line : notices) said += line.substr(line.find("c.fits")) + "\n";
    if (r.status == 1) {
      EXPECT_EQ(source, nullptr);
      said += error.substr(error.find("c.fits")) + "\n";
    } else {
      ASSERT_NE(source, nullptr) << error;
      EXPECT_FALSE(source->frame_time(0).known);
    }
    EXPECT_EQ(said, r.err);
  }
  // As the user meets them: a refused time scale is one line and exit status 1 before any
  // folder is made; a folder of frames whose time lacks its EXPTIME runs on without times.
  write_fits("c.fits", one, 0, 1, false, Stored::bytes, {"2024-03-15T21:04:05.25", "TCB"});
  const ProgramRun tcb = vesk("c.fits --out run");
  EXPECT_EQ(tcb.exit_status, 1);
  EXPECT_EQ(tcb.err,
            "c.fits: TIMESYS TCB: the frame times can be read in UTC, TT, TAI or GPS only\n");
  EXPECT_FALSE(fs::exists(in_scratch("run")));
  Frames frames{48, 48, {}};
  for (int f = 0; f < 64; ++f) frames.samples.push_back(std::vector<double>(48 * 48, 10.0 + f % 3));
  fs::create_directories(in_scratch("f"));
  for (int f = 0; f < 64; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "f/m%05d.fits", f);
    write_fits(name, frames, f, 1, false, Stored::bytes,
               {"", "UTC", Cards{{"DATE-AVG", frame_date(f)}}});
  }
  const ProgramRun untimed = vesk("f --out run");
  EXPECT_EQ(untimed.exit_status, 0) << untimed.err;
  EXPECT_EQ(without_run_end(untimed.err),
            "f/m00000.fits: DATE-AVG gives the middle of the exposure and there is no EXPTIME to "
            "find its start by; reading no frame times\n");
  EXPECT_FALSE(fs::exists(in_scratch("run/frame_times.csv")));
}
