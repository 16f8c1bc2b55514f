// vesk-frames as a user meets it: recordings made here (SER files written byte by byte, short
// videos made with ffmpeg) converted by the built program into run folders that vesk reads.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "imaging/frame_files.h"
#include "test_support.h"
#include "tools/vesk_frames/convert.h"
#include "tools/vesk_frames/video.h"

namespace fs = std::filesystem;

namespace {

// 2024-03-15T21:04:05.1234567Z in SER ticks (100 ns since 0001-01-01).
constexpr std::int64_t kFirstTick = 638461334451234567;
constexpr std::int64_t kFrameTicks = 400000;  // 40 ms

struct SerFile {
  int colour_id = 0;
  int little_endian = 0;  // the header field as written
  int depth = 8;
  int width = 5;
  int height = 3;
  int frame_count = -1;                            // header value; -1 for frames.size()
  bool big_endian = false;                         // byte order the 16-bit samples are written in
  std::vector<std::vector<std::uint16_t>> frames;  // samples in file order
  std::vector<std::int64_t> times;                 // trailer, empty for none
};

void put_le(std::vector<std::uint8_t>& bytes, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> ser_bytes(const SerFile& s) {
  const std::string signature = "LUCAM-RECORDER";
  std::vector<std::uint8_t> bytes(signature.begin(), signature.end());
  const int count = s.frame_count < 0 ? static_cast<int>(s.frames.size()) : s.frame_count;
  for (const int field : {0, s.colour_id, s.little_endian, s.width, s.height, s.depth, count}) {
    put_le(bytes, static_cast<std::uint32_t>(field), 4);
  }
  bytes.resize(bytes.size() + 120, ' ');  // observer, instrument, telescope
  put_le(bytes, 0, 8);                    // local date
  put_le(bytes, 0, 8);                    // UTC date
  for (const auto& frame : s.frames) {
    for (const std::uint16_t v : frame) {
      if (s.depth <= 8) {
        bytes.push_back(static_cast<std::uint8_t>(v));
      } else if (s.big_endian) {
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v));
      } else {
        put_le(bytes, v, 2);
      }
    }
  }
  for (const std::int64_t t : s.times) put_le(bytes, static_cast<std::uint64_t>(t), 8);
  return bytes;
}

// The grey level of pixel (x, y) of frame f in the mono fixtures: distinct for every pixel.
std::uint8_t grey_at(int f, int x, int y) {
  return static_cast<std::uint8_t>(1 + 50 * f + 16 * y + 3 * x);
}

// A 5 x 3 mono recording of `frames` frames holding grey_at() at `depth` bits: 16-bit samples
// carry the grey level in their top 8 bits and varying low bits, so reading them in the wrong
// byte order gives other values.
SerFile mono_recording(int depth, int little_endian, bool big_endian, int frames) {
  SerFile s;
  s.depth = depth;
  s.little_endian = little_endian;
  s.big_endian = big_endian;
  for (int f = 0; f < frames; ++f) {
    std::vector<std::uint16_t> samples;
    for (int y = 0; y < s.height; ++y) {
      for (int x = 0; x < s.width; ++x) {
        const int low_bits = depth - 8;
        const std::uint16_t low =
            low_bits > 0 ? static_cast<std::uint16_t>((7 * x + 5 * y + f + 1) % (1 << low_bits))
                         : 0;
        samples.push_back(
            static_cast<std::uint16_t>(grey_at(f, x, y) << std::max(low_bits, 0) | low));
      }
    }
    s.frames.push_back(samples);
    s.times.push_back(kFirstTick + f * kFrameTicks);
  }
  return s;
}

std::vector<std::uint8_t> mono_payload(int f, int width, int height) {
  std::vector<std::uint8_t> payload;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) payload.push_back(grey_at(f, x, y));
  }
  return payload;
}

// A frame file as VESK reads it, with the BMP image size field set too.
std::vector<std::uint8_t> frame_file(int width, int height,
                                     const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> bytes = raw_frame_bytes(width, height, payload);
  const auto size = static_cast<std::uint32_t>(width * height);
  for (int i = 0; i < 4; ++i) bytes[34 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  return bytes;
}

ProgramRun run_vesk_frames(const std::string& args, const std::string& environment = "") {
  return run_command(environment + " '" + VESK_FRAMES_BINARY + "' " + args);
}

bool have_ffmpeg() {
  return !find_on_path("ffmpeg").empty() && !find_on_path("ffprobe").empty();
}

int shell(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str());
}

// Runs convert_recording in this process; its two streams come back as text.
ProgramRun convert_here(ConvertOptions options) {
  options.data_folders = {VESK_DATA_DIR};
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ProgramRun run;
  run.exit_status = convert_recording(options, out, err);
  for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text->push_back(char(c));
    std::fclose(file);
  }
  return run;
}

const char* kTimes =
    "frame,utc\n"
    "0,2024-03-15T21:04:05.1234567Z\n"
    "1,2024-03-15T21:04:05.1634567Z\n"
    "2,2024-03-15T21:04:05.2034567Z\n";

}  // namespace

TEST(VeskFrames, SerMonoFramesInEveryDepthAndByteOrder) {
  struct Case {
    const char* name;
    SerFile recording;
    std::string options;
    int first_frame;  // recording frame expected in a00000.bmp
    int frames;
    std::string times;
  };
  const std::vector<Case> cases = {
      {"8-bit", mono_recording(8, 0, false, 3), "", 0, 3, kTimes},
      {"16-bit, flag 0 over little-endian samples", mono_recording(16, 0, false, 3), "", 0, 3,
       kTimes},
      {"12-bit, flag 1 over big-endian samples", mono_recording(12, 1, true, 3), "", 0, 3, kTimes},
      {"16-bit, flag 1 over little-endian samples, forced", mono_recording(16, 1, false, 3),
       "--byte-order little", 0, 3, kTimes},
      {"10-bit, flag 0 over big-endian samples, forced", mono_recording(10, 0, true, 3),
       "--byte-order big", 0, 3, kTimes},
      {"a range of frames renumbered from 0", mono_recording(16, 0, false, 4),
       "--first 1 --count 2", 1, 2,
       "frame,utc\n0,2024-03-15T21:04:05.1634567Z\n1,2024-03-15T21:04:05.2034567Z\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(c.recording));
    const ProgramRun run = run_vesk_frames("night.ser run1 " + c.options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Wrote " + std::to_string(c.frames) +
                           " frames of 5 x 3 pixels to run1/BMP_RAW, their times to "
                           "run1/frame_times.csv\n");
    for (int k = 0; k < c.frames; ++k) {
      EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
                frame_file(5, 3, mono_payload(c.first_frame + k, 5, 3)))
          << "frame " << k;
    }
    EXPECT_FALSE(fs::exists(numbered_file_name("run1/BMP_RAW/a%5d.bmp", c.frames)));
    EXPECT_EQ(read_text("run1/frame_times.csv"), c.times);
  }
}

TEST(VeskFrames, MakesACompleteRunFolder) {
  ScratchDir dir;
  write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 1)));
  // A folder prepared by hand keeps its own settings and data files; what is missing is added.
  write_text("run2/settings.txt", "kept\n");
  write_text("run2/about.txt", "our observatory\n");
  write_text("run2/default.txt", "our defaults\n");
  ASSERT_EQ(run_vesk_frames("night.ser run1").exit_status, 0);
  ASSERT_EQ(run_vesk_frames("night.ser run2").exit_status, 0);
  const fs::path data(VESK_DATA_DIR);
  for (const char* name : {"bmpheader.dat", "about.txt", "default.txt"}) {
    EXPECT_EQ(read_file(std::string("run1/") + name), read_file((data / name).string())) << name;
  }
  EXPECT_EQ(read_text("run1/settings.txt"), read_text((data / "default.txt").string()));
  EXPECT_EQ(read_text("run2/settings.txt"), "kept\n");
  EXPECT_EQ(read_text("run2/about.txt"), "our observatory\n");
  EXPECT_EQ(read_text("run2/default.txt"), "our defaults\n");
  EXPECT_EQ(read_file("run2/bmpheader.dat"), read_file((data / "bmpheader.dat").string()));
  EXPECT_TRUE(fs::is_directory("run1/BMP_FLASHES"));
  EXPECT_TRUE(fs::is_empty("run1/BMP_FLASHES"));
  // Nothing but finished frames in BMP_RAW.
  EXPECT_EQ(std::distance(fs::directory_iterator("run1/BMP_RAW"), fs::directory_iterator()), 1);

  // vesk starts on the folder: the frame size from the first frame, the run after answer 0.
  fs::current_path("run1");
  const ProgramRun vesk = run_vesk_program("0\n");
  EXPECT_NE(vesk.out.find("NS=5 NL=3\n"), std::string::npos) << vesk.out << vesk.err;
}

TEST(VeskFrames, SerColourFramesBecomeGrey) {
  struct Case {
    const char* name;
    SerFile recording;
    std::vector<std::uint8_t> grey;
  };
  auto colour = [](int id, int depth, int width, int height, std::vector<std::uint16_t> samples) {
    SerFile s;
    s.colour_id = id;
    s.depth = depth;
    s.width = width;
    s.height = height;
    s.frames = {samples};
    return s;
  };
  // Luma (299 R + 587 G + 114 B + 500) / 1000: (200, 100, 50) gives 124, (0, 255, 0) 150.
  const std::vector<Case> cases = {
      {"RGB", colour(100, 8, 2, 1, {200, 100, 50, 0, 255, 0}), {124, 150}},
      {"BGR", colour(101, 8, 2, 1, {50, 100, 200, 0, 255, 0}), {124, 150}},
      {"RGB 16-bit", colour(100, 16, 2, 1, {200 << 8, 100 << 8, 50 << 8, 0, 65535, 0}), {124, 150}},
      // RGGB mosaic: each pixel is the mean of the 2x2 block from it (from one column or row
      // back at the last column or row), one R, two G and one B.
      {"Bayer RGGB",
       colour(8, 8, 4, 2, {100, 20, 104, 24, 28, 8, 32, 12}),
       {39, 41, 43, 43, 39, 41, 43, 43}},
      {"Bayer BGGR 12-bit",
       colour(11, 12, 2, 2, {10 << 4, 20 << 4, 30 << 4, 41 << 4}),
       {25, 25, 25, 25}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(c.recording));
    const ProgramRun run = run_vesk_frames("night.ser run1");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(read_file("run1/BMP_RAW/a00000.bmp"),
              frame_file(c.recording.width, c.recording.height, c.grey));
    EXPECT_FALSE(fs::exists("run1/frame_times.csv"));  // no timestamp trailer
  }
}

TEST(VeskFrames, FrameTimes) {
  struct Case {
    std::int64_t ticks;
    std::string text;
  };
  const std::vector<Case> cases = {
      {kFirstTick, "2024-03-15T21:04:05.1234567Z"},
      {621355968000000000, "1970-01-01T00:00:00.0000000Z"},
      {630822816000000000 - 1, "1999-12-31T23:59:59.9999999Z"},
      {631139040000000000, "2001-01-01T00:00:00.0000000Z"},
      {3155378975999999999, "9999-12-31T23:59:59.9999999Z"},
      {3155378976000000000, ""},  // past year 9999
      {0, ""},                    // not recorded
      {-5, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ser_time_text(c.ticks), c.text) << c.ticks;

  // A trailer of zeros, as some programs write, gives no file.
  ScratchDir dir;
  SerFile s = mono_recording(8, 0, false, 2);
  s.times = {0, 0};
  write_file("night.ser", ser_bytes(s));
  const ProgramRun run = run_vesk_frames("night.ser run1");
  EXPECT_EQ(run.out, "Wrote 2 frames of 5 x 3 pixels to run1/BMP_RAW\n");
  EXPECT_FALSE(fs::exists("run1/frame_times.csv"));
}

TEST(VeskFrames, BadInputStopsWithOneLine) {
  struct Case {
    const char* name;
    void (*prepare)();
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing recording", [] {}, "night.ser run1",
       "night.ser: cannot open: No such file or directory\n"},
      {"SER header cut short",
       [] {
         std::vector<std::uint8_t> bytes = ser_bytes(mono_recording(8, 0, false, 1));
         bytes.resize(100);
         write_file("night.ser", bytes);
       },
       "night.ser run1", "night.ser: truncated: 100 of 178 header bytes\n"},
      {"SER frames cut short",
       [] {
         std::vector<std::uint8_t> bytes = ser_bytes(mono_recording(8, 0, false, 3));
         bytes.resize(178 + 2 * 15 + 7);
         write_file("night.ser", bytes);
       },
       "night.ser run1",
       "night.ser: truncated: its header gives 3 frames of 15 bytes, the file holds 2; convert "
       "those with --count 2\n"},
      {"16-bit SER frames cut short, from a later frame",
       [] {
         std::vector<std::uint8_t> bytes = ser_bytes(mono_recording(16, 0, false, 4));
         bytes.resize(178 + 3 * 30 + 29);
         write_file("night.ser", bytes);
       },
       "night.ser run1 --first 1",
       "night.ser: truncated: its header gives 4 frames of 30 bytes, the file holds 3; convert "
       "those with --count 2\n"},
      {"unknown colour id",
       [] {
         SerFile s = mono_recording(8, 0, false, 1);
         s.colour_id = 7;
         write_file("night.ser", ser_bytes(s));
       },
       "night.ser run1",
       "night.ser: colour id 7 is unknown (0 mono, 8-11 Bayer, 16-19 CMY, 100 RGB, 101 BGR)\n"},
      {"depth above 16 bits",
       [] {
         SerFile s = mono_recording(16, 0, false, 1);
         s.depth = 17;
         write_file("night.ser", ser_bytes(s));
       },
       "night.ser run1", "night.ser: pixel depth 17 is outside 1 to 16 bits\n"},
      {"frame size beyond what vesk reads",
       [] {
         SerFile s = mono_recording(8, 0, false, 0);
         s.width = 40000;
         write_file("night.ser", ser_bytes(s));
       },
       "night.ser run1", "night.ser: frame size 40000 x 3 is outside 1 to 32768\n"},
      {"zero frames", [] { write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 0))); },
       "night.ser run1", "night.ser: holds no frames (frame count 0)\n"},
      {"first frame past the end",
       [] { write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3))); },
       "night.ser run1 --first 3", "--first 3: night.ser has only 3 frames\n"},
      {".ser name without the signature", [] { write_text("night.ser", std::string(200, 'x')); },
       "night.ser run1", "night.ser: not a SER file (no LUCAM-RECORDER signature)\n"},
      {"frames of an earlier conversion in the folder",
       [] {
         write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
         write_file("run1/BMP_RAW/a00007.bmp",
                    raw_frame_bytes(5, 3, std::vector<std::uint8_t>(15)));
       },
       "night.ser run1",
       "run1/BMP_RAW: already holds frames (a00007.bmp); remove them or choose another "
       "folder\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    c.prepare();
    const ProgramRun run = run_vesk_frames(c.args);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists("run1/BMP_RAW/a00000.bmp"));
  }
}

TEST(VeskFrames, BadOptionsStopWithStatus2) {
  struct Case {
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"night.ser run1 --count 0", "--count: \"0\" is not a whole number of 1 or more\n"},
      {"night.ser run1 --byte-order middle", "--byte-order: \"middle\" is not little or big\n"},
      {"night.ser run1 --first", "--first: needs a value\n"},
      {"night.ser run1 --fast", std::string("--fast: unknown option; ") + kVeskFramesUsage + "\n"},
      {"night.ser", std::string(kVeskFramesUsage) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
    const ProgramRun run = run_vesk_frames(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists("run1"));
  }
}

TEST(VeskFrames, MissingFfmpegIsNamed) {
  ScratchDir dir;
  write_text("clip.avi", "RIFF");
  const ProgramRun run = run_vesk_frames("clip.avi run1", "PATH=/nonexistent");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "clip.avi: not a SER file, and ffmpeg is not on PATH to decode it as video; install "
            "FFmpeg (Debian: apt-get install ffmpeg)\n");
  EXPECT_FALSE(fs::exists("run1"));
}

TEST(VeskFrames, FrameThatCannotBeWrittenStopsTheConversion) {
  ScratchDir dir;
  write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
  // A folder where the second frame's part file would go makes that write fail.
  fs::create_directories("run1/BMP_RAW/a00001.bmp.part");
  const ProgramRun run = run_vesk_frames("night.ser run1");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "run1/BMP_RAW/a00001.bmp.part: cannot open: Is a directory\n");
  EXPECT_EQ(read_file("run1/BMP_RAW/a00000.bmp"), frame_file(5, 3, mono_payload(0, 5, 3)));
  EXPECT_FALSE(fs::exists("run1/BMP_RAW/a00001.bmp"));
  EXPECT_FALSE(fs::exists("run1/BMP_RAW/a00002.bmp"));
  EXPECT_FALSE(fs::exists("run1/frame_times.csv"));
}

TEST(VeskFrames, LongRecordingFillsOneFolderAndSaysHowToGoOn) {
  // The folder limit (99999 in use) lowered to 3 so the test stays small.
  struct Case {
    std::int64_t first;
    std::string notice;
  };
  const std::vector<Case> cases = {
      {0,
       "Converted 3 of the 5 frames from frame 0 (VESK reads at most 3 from one folder); "
       "convert the rest into another folder with --first 3\n"},
      {1,
       "Converted 3 of the 4 frames from frame 1 (VESK reads at most 3 from one folder); "
       "convert the rest into another folder with --first 4\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 5)));
    ConvertOptions options;
    options.recording = "night.ser";
    options.outdir = "run1";
    options.first = c.first;
    options.frame_limit = 3;
    const ProgramRun run = convert_here(options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, c.notice +
                           "Wrote 3 frames of 5 x 3 pixels to run1/BMP_RAW, their times to "
                           "run1/frame_times.csv\n");
    EXPECT_EQ(read_file("run1/BMP_RAW/a00002.bmp"),
              frame_file(5, 3, mono_payload(static_cast<int>(c.first) + 2, 5, 3)));
    EXPECT_FALSE(fs::exists("run1/BMP_RAW/a00003.bmp"));
  }
}

TEST(VeskFrames, ProgressBar) {
  struct Case {
    std::int64_t done;
    std::int64_t total;
    std::string text;
  };
  const std::string dashes(40, '-');
  const std::vector<Case> cases = {
      {0, 4, "[" + dashes + "]   0% 0/4 frames"},
      {1, 4, "[" + std::string(10, '#') + std::string(30, '-') + "]  25% 1/4 frames"},
      {4, 4, "[" + std::string(40, '#') + "] 100% 4/4 frames"},
      {5, 4, "[" + std::string(40, '#') + "] 100% 5/5 frames"},  // an estimate ran short
      {250, -1, "250 frames"},
  };
  for (const Case& c : cases) EXPECT_EQ(progress_bar(c.done, c.total), c.text);

  ScratchDir dir;
  write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 2)));
  ConvertOptions options;
  options.recording = "night.ser";
  options.outdir = "run1";
  options.progress = true;
  const ProgramRun run = convert_here(options);
  EXPECT_EQ(run.out, "\r[" + std::string(20, '#') + std::string(20, '-') + "]  50% 1/2 frames\r[" +
                         std::string(40, '#') +
                         "] 100% 2/2 frames\nWrote 2 frames of 5 x 3 pixels to run1/BMP_RAW, "
                         "their times to run1/frame_times.csv\n");
}

TEST(VeskFrames, VideoFramesInOrderTopRowFirst) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  // Six 16 x 8 grey frames, coded losslessly, so every level must come back unchanged.
  std::vector<std::uint8_t> raw;
  for (int f = 0; f < 6; ++f) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) raw.push_back(static_cast<std::uint8_t>(40 * f + 4 * y + x));
    }
  }
  write_file("frames.gray", raw);
  ASSERT_EQ(shell("ffmpeg -v error -f rawvideo -pix_fmt gray -s 16x8 -r 25 -i frames.gray "
                  "-c:v ffv1 clip.mkv"),
            0);
  const ProgramRun run = run_vesk_frames("clip.mkv run1 --first 2 --count 3");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Wrote 3 frames of 16 x 8 pixels to run1/BMP_RAW\n");
  for (int k = 0; k < 3; ++k) {
    const auto start = raw.begin() + (2 + k) * 128;
    EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
              frame_file(16, 8, std::vector<std::uint8_t>(start, start + 128)))
        << "frame " << k;
  }
  EXPECT_FALSE(fs::exists("run1/BMP_RAW/a00003.bmp"));
  EXPECT_FALSE(fs::exists("run1/frame_times.csv"));

  // The same recording past the folder limit (lowered to 4 here) keeps the first 4.
  ConvertOptions options;
  options.recording = "clip.mkv";
  options.outdir = "run2";
  options.first = 1;
  options.frame_limit = 4;
  const ProgramRun limited = convert_here(options);
  EXPECT_EQ(limited.exit_status, 0);
  EXPECT_EQ(limited.out,
            "Converted 4 frames from frame 1 and the recording goes on (VESK reads at most 4 "
            "from one folder); convert the rest into another folder with --first 5\n"
            "Wrote 4 frames of 16 x 8 pixels to run2/BMP_RAW\n");
  EXPECT_TRUE(fs::exists("run2/BMP_RAW/a00003.bmp"));
  EXPECT_FALSE(fs::exists("run2/BMP_RAW/a00004.bmp"));
}

TEST(VeskFrames, VeskRunsOnFramesFromATestVideo) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  ASSERT_EQ(shell("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 70 "
                  "-c:v mpeg4 clip.avi"),
            0);
  const ProgramRun run = run_vesk_frames("clip.avi run1");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, "Wrote 70 frames of 320 x 240 pixels to run1/BMP_RAW\n");
  EXPECT_EQ(read_file("run1/BMP_RAW/a00069.bmp").size(), 54u + 320 * 240);
  fs::current_path("run1");
  const ProgramRun vesk = run_vesk_program("0\n");
  EXPECT_EQ(vesk.exit_status, 0) << vesk.err;
  EXPECT_NE(vesk.out.find("NS=320 NL=240\n"), std::string::npos);
}

TEST(VeskFrames, UnreadableVideoStopsWithOneLine) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  struct Case {
    const char* name;
    const char* command;  // makes clip.mkv
    std::string message;  // ffmpeg's own reason follows, when it gives one
  };
  const std::vector<Case> cases = {
      {"not a video", "echo junk > clip.mkv", "clip.mkv: ffprobe cannot read it: "},
      {"sound only", "ffmpeg -v error -f lavfi -i anullsrc -t 0.1 -c:a pcm_s16le clip.mkv",
       "clip.mkv: no video stream"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(shell(c.command), 0);
    const ProgramRun run = run_vesk_frames("clip.mkv run1");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err.substr(0, c.message.size()), c.message);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists("run1"));
  }
}
