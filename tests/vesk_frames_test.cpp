// vesk-frames as a user meets it: recordings made here (SER files written byte by byte, short
// videos made with ffmpeg) converted by the built program into run folders that vesk reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "control/convert.h"
#include "formats/frame_times_csv.h"
#include "imaging/frame_files.h"
#include "sources/video.h"
#include "test_support.h"

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
  std::int64_t local_time = 0;                     // header DateTime
  std::int64_t utc_time = 0;                       // header DateTime_UTC
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
  put_le(bytes, static_cast<std::uint64_t>(s.local_time), 8);
  put_le(bytes, static_cast<std::uint64_t>(s.utc_time), 8);
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
  return run_command(command).exit_status;
}

// Runs convert_recording in this process; its two streams come back as text.
// Files are named relative to the scratch folder, in the options and in the messages.
ProgramRun convert_here(ConvertOptions options) {
  options.data_folders = {VESK_DATA_DIR};
  options.recording = in_scratch(options.recording).string();
  options.outdir = in_scratch(options.outdir).string();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ProgramRun run;
  run.exit_status = convert_recording(options, out, err);
  for (auto [file, text] : {std::pair{out, &run.out}, std::pair{err, &run.err}}) {
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text->push_back(char(c));
    std::fclose(file);
    *text = without_scratch(*text);
  }
  return run;
}

const char* kTimes =
    "frame,utc,seconds,source\n"
    "0,2024-03-15T21:04:05.1234567Z,0.0000000,trailer\n"
    "1,2024-03-15T21:04:05.1634567Z,0.0400000,trailer\n"
    "2,2024-03-15T21:04:05.2034567Z,0.0800000,trailer\n";

// The warning for a folder of `frames` frames under the shipped Images_in_buffer of 60.
std::string ring_warning(int frames, const std::string& folder = "run1") {
  return folder + "/BMP_RAW: holds " + std::to_string(frames) +
         " frames, fewer than the 60 of Images_in_buffer in " + folder +
         "/settings.txt; vesk cannot fill its frame ring: convert more frames or lower "
         "Images_in_buffer\n";
}

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
       "frame,utc,seconds,source\n0,2024-03-15T21:04:05.1634567Z,0.0000000,trailer\n"
       "1,2024-03-15T21:04:05.2034567Z,0.0400000,trailer\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(c.recording));
    const ProgramRun run = run_vesk_frames("night.ser run1 " + c.options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, ring_warning(c.frames));
    EXPECT_EQ(run.out, "Wrote " + std::to_string(c.frames) +
                           " frames of 5 x 3 pixels to run1/BMP_RAW, their times to "
                           "run1/frame_times.csv\n");
    for (int k = 0; k < c.frames; ++k) {
      EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
                frame_file(5, 3, mono_payload(c.first_frame + k, 5, 3)))
          << "frame " << k;
    }
    EXPECT_FALSE(fs::exists(in_scratch(numbered_file_name("run1/BMP_RAW/a%5d.bmp", c.frames))));
    EXPECT_EQ(without_file_columns(read_text("run1/frame_times.csv")), c.times);
    // Each frame's file and its number there end the line: with --first 1, frame 0 is
    // night.ser's frame 1.
    const std::string times = read_text("run1/frame_times.csv");
    EXPECT_EQ(times.rfind("frame,utc,seconds,source,file,file_frame\n", 0), 0u) << times;
    const std::string first = std::to_string(c.first_frame);
    EXPECT_NE(times.find(",trailer,night.ser," + first + "\n1,"), std::string::npos) << times;
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
  EXPECT_TRUE(fs::is_directory(in_scratch("run1/BMP_FLASHES")));
  EXPECT_TRUE(fs::is_empty(in_scratch("run1/BMP_FLASHES")));
  // Nothing but finished frames in BMP_RAW.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(in_scratch("run1/BMP_RAW")), fs::directory_iterator()),
      1);

  // vesk starts on the folder: the frame size from the first frame, the run after answer 0.
  const ProgramRun vesk = run_vesk_program("0\n", "run1");
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
    EXPECT_FALSE(fs::exists(in_scratch("run1/frame_times.csv")));  // no timestamp trailer
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
  for (const Case& c : cases) {
    EXPECT_EQ(utc_text(c.ticks), c.text) << c.ticks;
    // Every time written reads back to the same ticks.
    std::int64_t back = 0;
    if (!c.text.empty()) {
      EXPECT_TRUE(parse_utc_text(c.text, back) && back == c.ticks) << c.text;
    }
  }

  struct Parse {
    std::string text;
    bool ok;
    std::int64_t ticks;
  };
  const std::vector<Parse> parses = {
      {"2024-03-15T21:04:05.1234567Z", true, kFirstTick},
      {"2024-03-15T21:04:05.1234567", true, kFirstTick},  // Z may be left out
      {"2024-03-15T21:04:05Z", true, kFirstTick - 1234567},
      {"2024-03-15T21:04:05.5Z", true, kFirstTick - 1234567 + 5000000},
      {"2024-02-29T00:00:00Z", true, 638447616000000000},
      {"2023-02-29T00:00:00Z", false, 0},           // no such day
      {"2024-03-15T24:00:00Z", false, 0},           // hour 24
      {"2024-03-15 21:04:05Z", false, 0},           // a space for the T
      {"2024-03-15T21:04:05.12345678Z", false, 0},  // eight decimals
      {"2024-03-15T21:04:05.Z", false, 0},
      {"2024-03-15T21:04:05+01:00", false, 0},  // only UTC
      {"0000-01-01T00:00:00Z", false, 0},
  };
  for (const Parse& p : parses) {
    std::int64_t ticks = 0;
    EXPECT_EQ(parse_utc_text(p.text, ticks), p.ok) << p.text;
    if (p.ok) {
      EXPECT_EQ(ticks, p.ticks) << p.text;
    }
  }
  EXPECT_EQ(seconds_text(0), "0.0000000");
  EXPECT_EQ(seconds_text(400000), "0.0400000");
  EXPECT_EQ(seconds_text(36000000001), "3600.0000001");
  EXPECT_EQ(seconds_text(-15000000), "-1.5000000");

  // A trailer of zeros, as some programs write, gives no file.
  ScratchDir dir;
  SerFile s = mono_recording(8, 0, false, 2);
  s.times = {0, 0};
  write_file("night.ser", ser_bytes(s));
  const ProgramRun run = run_vesk_frames("night.ser run1");
  EXPECT_EQ(run.out, "Wrote 2 frames of 5 x 3 pixels to run1/BMP_RAW\n");
  EXPECT_EQ(run.err,
            "night.ser: the frame times are not used: frame 0 time 0 lies outside the years 1990 "
            "to 2100\n" +
                ring_warning(2));
  EXPECT_FALSE(fs::exists(in_scratch("run1/frame_times.csv")));
}

TEST(VeskFrames, SerFrameCountFromTheFileSize) {
  struct Case {
    const char* name;
    int depth;
    int header_count;  // frame count written in the header
    int stored;        // frames in the file
    bool trailer;      // frame times after them
    int cut;           // bytes cut from the end
    int added;         // bytes added at the end
    std::string options;
    int first;   // recording frame in a00000.bmp
    int frames;  // frames converted
    std::string notice;
  };
  const std::vector<Case> cases = {
      {"count 0 over frames and times", 8, 0, 3, true, 0, 0, "", 0, 3,
       "night.ser: frame count: the header gives 0, the file size gives 3; reading 3\n"},
      {"count 0 over frames alone", 8, 0, 3, false, 0, 0, "", 0, 3,
       "night.ser: frame count: the header gives 0, the file size gives 3; reading 3\n"},
      {"count too large, frames and times", 8, 5, 3, true, 0, 0, "", 0, 3,
       "night.ser: frame count: the header gives 5, the file size gives 3; reading 3\n"},
      {"count too small, frames and times", 8, 2, 3, true, 0, 0, "", 0, 3,
       "night.ser: frame count: the header gives 2, the file size gives 3; reading 3\n"},
      {"last frame cut short", 8, 3, 3, false, 8, 0, "", 0, 2,
       "night.ser: frame count: the header gives 3, the file size gives 2; reading 2\n"},
      {"16-bit, last frame cut short, from a later frame", 16, 4, 4, false, 1, 0, "--first 1", 1, 2,
       "night.ser: frame count: the header gives 4, the file size gives 3; reading 3\n"},
      {"bytes after the times", 8, 3, 3, true, 0, 5, "", 0, 3,
       "night.ser: 29 bytes follow the 3 frames, not the 24 of a trailer of frame times; reading "
       "no times\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    SerFile s = mono_recording(c.depth, 0, false, c.stored);
    s.frame_count = c.header_count;
    if (!c.trailer) s.times.clear();
    std::vector<std::uint8_t> bytes = ser_bytes(s);
    bytes.resize(bytes.size() - static_cast<std::size_t>(c.cut) + c.added, 0);
    write_file("night.ser", bytes);
    const ProgramRun run = run_vesk_frames("night.ser run1 " + c.options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, c.notice + ring_warning(c.frames));
    const bool times = c.trailer && c.added == 0;
    EXPECT_EQ(run.out, "Wrote " + std::to_string(c.frames) +
                           " frames of 5 x 3 pixels to run1/BMP_RAW" +
                           (times ? ", their times to run1/frame_times.csv" : "") + "\n");
    for (int k = 0; k < c.frames; ++k) {
      EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
                frame_file(5, 3, mono_payload(c.first + k, 5, 3)))
          << "frame " << k;
    }
    EXPECT_FALSE(fs::exists(in_scratch(numbered_file_name("run1/BMP_RAW/a%5d.bmp", c.frames))));
    if (times) {
      EXPECT_EQ(without_file_columns(read_text("run1/frame_times.csv")), kTimes);
    } else {
      EXPECT_FALSE(fs::exists(in_scratch("run1/frame_times.csv")));
    }
  }
}

TEST(VeskFrames, SerTrailerTimesOnlyWhenPlausibleAndInUtc) {
  constexpr std::int64_t kHour = 36000000000;
  constexpr std::int64_t kSecond = 10000000;
  struct Case {
    const char* name;
    std::vector<std::int64_t> times;  // trailer
    std::int64_t local_time;          // header DateTime
    std::int64_t utc_time;            // header DateTime_UTC
    std::string csv;                  // empty: no file
    std::string notice;
  };
  auto from = [](std::int64_t start) {
    return std::vector<std::int64_t>{start, start + kFrameTicks, start + 2 * kFrameTicks};
  };
  const std::string times_in_utc = kTimes;
  const std::vector<Case> cases = {
      {"UTC times, header two hours ahead", from(kFirstTick), kFirstTick + 2 * kHour - kSecond,
       kFirstTick - kSecond, times_in_utc, ""},
      {"local times two hours ahead of UTC", from(kFirstTick + 2 * kHour),
       kFirstTick + 2 * kHour - kSecond, kFirstTick - kSecond, times_in_utc,
       "night.ser: the frame times are local time (frame 0 lies within 5 minutes of the header's "
       "DateTime, not its DateTime_UTC); moved them by -02:00 to UTC\n"},
      {"local times three and a half hours behind UTC", from(kFirstTick - 7 * kHour / 2),
       kFirstTick - 7 * kHour / 2 - 90 * kSecond, kFirstTick - 90 * kSecond, times_in_utc,
       "night.ser: the frame times are local time (frame 0 lies within 5 minutes of the header's "
       "DateTime, not its DateTime_UTC); moved them by +03:30 to UTC\n"},
      // Seven minutes is no time zone: the header says nothing about the trailer then.
      {"header times seven minutes apart", from(kFirstTick), kFirstTick,
       kFirstTick - 7 * 60 * kSecond, times_in_utc, ""},
      {"a time past 2100",
       {kFirstTick, 678289248000000000, kFirstTick},
       0,
       0,
       "",
       "night.ser: the frame times are not used: frame 1 time 2150-06-01T00:00:00.0000000Z lies "
       "outside the years 1990 to 2100\n"},
      {"a time going back",
       {kFirstTick, kFirstTick + kFrameTicks, kFirstTick + 1},
       0,
       0,
       "",
       "night.ser: the frame times are not used: frame 2 time 2024-03-15T21:04:05.1234568Z is "
       "earlier than frame 1's\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    SerFile s = mono_recording(8, 0, false, 3);
    s.times = c.times;
    s.local_time = c.local_time;
    s.utc_time = c.utc_time;
    write_file("night.ser", ser_bytes(s));
    const ProgramRun run = run_vesk_frames("night.ser run1");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, c.notice + ring_warning(3));
    if (c.csv.empty()) {
      EXPECT_FALSE(fs::exists(in_scratch("run1/frame_times.csv")));
    } else {
      EXPECT_EQ(without_file_columns(read_text("run1/frame_times.csv")), c.csv);
    }
  }
}

namespace {

// A noise byte for sample fixtures: the same on every platform.
std::uint32_t noise(int f, int x, int y) {
  std::uint32_t h = static_cast<std::uint32_t>(x * 73856093) ^
                    static_cast<std::uint32_t>(y * 19349663) ^
                    static_cast<std::uint32_t>(f * 83492791);
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  return h & 255;
}

// 16 x 8 pictures: a slope with noise in the low bits, at several depths and placements.
std::uint16_t full_16(int f, int x, int y) {
  return static_cast<std::uint16_t>(2000 * x + 1500 * y + 400 * f + noise(f, x, y));
}
std::uint16_t twelve_bits(int f, int x, int y) {
  return static_cast<std::uint16_t>(200 * x + 100 * y + 10 * f + (noise(f, x, y) & 63));
}
std::uint16_t twelve_in_top_bits(int f, int x, int y) {
  return static_cast<std::uint16_t>(twelve_bits(f, x, y) << 4);
}
std::uint16_t fourteen_bits(int f, int x, int y) {
  return static_cast<std::uint16_t>(900 * x + 300 * y + 10 * f + (noise(f, x, y) & 63));
}

using SampleFunction = std::uint16_t (*)(int, int, int);

SerFile sample_recording(int depth, int flag, bool big_endian, SampleFunction value) {
  SerFile s;
  s.depth = depth;
  s.little_endian = flag;
  s.big_endian = big_endian;
  s.width = 16;
  s.height = 8;
  for (int f = 0; f < 2; ++f) {
    std::vector<std::uint16_t> samples;
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) samples.push_back(value(f, x, y));
    }
    s.frames.push_back(samples);
  }
  return s;
}

std::uint16_t largest_of(SampleFunction value) {
  std::uint16_t largest = 0;
  for (int f = 0; f < 2; ++f) {
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) largest = std::max(largest, value(f, x, y));
    }
  }
  return largest;
}

}  // namespace

TEST(VeskFrames, SerSamplesReadInTheirRealByteOrderAndDepth) {
  struct Case {
    const char* name;
    int depth;        // header
    int flag;         // header LittleEndian field
    bool big_endian;  // samples as written
    SampleFunction value;
    std::string options;
    bool swapped;  // expected reading: bytes swapped from the written order
    int shift;     // expected reading: shifted right by
    std::string notice;
  };
  const std::string samples = "night.ser: the ";
  const std::vector<Case> cases = {
      {"little-endian under a big-endian flag", 16, 1, false, full_16, "", false, 8,
       samples + "samples look like noise in the byte order of the header (big-endian) and like "
                 "an image in little-endian in the first 2 frames; reading them little-endian\n"},
      {"big-endian under flag 0", 16, 0, true, full_16, "", false, 8,
       samples + "samples look like noise in the byte order of the header (little-endian) and "
                 "like an image in big-endian in the first 2 frames; reading them big-endian\n"},
      {"a forced byte order is kept", 16, 1, false, full_16, "--byte-order big", true, 8, ""},
      {"12-bit in the top bits of 16", 12, 0, false, twelve_in_top_bits, "", false, 8,
       samples + "12-bit samples lie in the top bits of 16 (the low 4 bits always 0, largest " +
           std::to_string(largest_of(twelve_in_top_bits)) +
           " in the first 2 frames); scaling them as 16-bit\n"},
      {"12-bit declared as 16", 16, 0, false, twelve_bits, "", false, 4,
       samples + "16-bit samples use only 12 bits (largest " +
           std::to_string(largest_of(twelve_bits)) +
           " in the first 2 frames); scaling them as 12-bit\n"},
      {"14-bit declared as 12", 12, 1, true, fourteen_bits, "", false, 6,
       samples + "12-bit samples reach 14 bits (largest " +
           std::to_string(largest_of(fourteen_bits)) +
           " in the first 2 frames); scaling them as 14-bit\n"},
      {"a forced depth is kept", 12, 0, false, twelve_in_top_bits, "--depth 12", false, 4, ""},
      {"a forced depth, declared order", 16, 0, false, twelve_bits, "--depth 16", false, 8, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(sample_recording(c.depth, c.flag, c.big_endian, c.value)));
    const ProgramRun run = run_vesk_frames("night.ser run1 " + c.options);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, c.notice + ring_warning(2));
    for (int f = 0; f < 2; ++f) {
      std::vector<std::uint8_t> grey;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 16; ++x) {
          std::uint32_t v = c.value(f, x, y);
          if (c.swapped) v = (v >> 8) | ((v & 255) << 8);
          grey.push_back(static_cast<std::uint8_t>(std::min<std::uint32_t>(v >> c.shift, 255)));
        }
      }
      EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", f)), frame_file(16, 8, grey))
          << "frame " << f;
    }
  }

  // On 8-bit samples the two options have nothing to act on.
  ScratchDir dir;
  write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
  const ProgramRun run = run_vesk_frames("night.ser run1 --byte-order big --depth 12");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err,
            "night.ser: holds 8-bit samples; --byte-order and --depth apply to 16-bit samples and "
            "are ignored\n" +
                ring_warning(3));
  EXPECT_EQ(read_file("run1/BMP_RAW/a00002.bmp"), frame_file(5, 3, mono_payload(2, 5, 3)));
}

TEST(VeskFrames, WarnsAboutTheOutputFolder) {
  struct Case {
    const char* name;
    void (*prepare)();
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"results of an earlier run",
       [] {
         write_text("run1/settings.txt",
                    settings_text(1, 80, 32, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 3));
         write_text("run1/flash_info.dat", "old\n");
         write_text("run1/BMP_FLASHES/00012.bmp", "old");
         write_text("run1/BMP_FLASHES/00040.bmp", "old");
       },
       "run1: holds results of an earlier run (flash_info.dat, 2 images in BMP_FLASHES) that do "
       "not belong to the new frames; move them away before running vesk\n"},
      {"a ring larger than the frames",
       [] {
         write_text("run1/settings.txt",
                    settings_text(1, 80, 32, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 4));
       },
       "run1/BMP_RAW: holds 3 frames, fewer than the 4 of Images_in_buffer in run1/settings.txt; "
       "vesk cannot fill its frame ring: convert more frames or lower Images_in_buffer\n"},
      {"a ring the frames fill",
       [] {
         write_text("run1/settings.txt",
                    settings_text(1, 80, 32, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 3));
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
    c.prepare();
    const ProgramRun run = run_vesk_frames("night.ser run1");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, c.warning);
    EXPECT_TRUE(fs::exists(in_scratch("run1/BMP_RAW/a00002.bmp")));
  }
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
      {"a frame count over a header alone",
       [] {
         std::vector<std::uint8_t> bytes = ser_bytes(mono_recording(8, 0, false, 3));
         bytes.resize(178 + 14);
         write_file("night.ser", bytes);
       },
       "night.ser run1",
       "night.ser: truncated: its header gives 3 frames of 15 bytes, the file holds none\n"},
      {"a start time for a SER",
       [] { write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3))); },
       "night.ser run1 --start-utc 2024-03-15T21:00:00Z",
       "--start-utc: night.ser is a SER recording, whose frame times come from the recording\n"},
      {"first frame past the end",
       [] { write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3))); },
       "night.ser run1 --first 3", "--first 3: night.ser has only 3 frames\n"},
      {"a FIFO for a recording",
       [] { ASSERT_EQ(mkfifo(in_scratch("night.ser").c_str(), 0600), 0); }, "night.ser run1",
       "night.ser: not a regular file; a recording is read from a file\n"},
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
    EXPECT_FALSE(fs::exists(in_scratch("run1/BMP_RAW/a00000.bmp")));
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
      {"night.ser run1 --depth 7", "--depth: \"7\" is not a whole number from 8 to 16\n"},
      {"night.ser run1 --depth 17", "--depth: \"17\" is not a whole number from 8 to 16\n"},
      {"night.ser run1 --start-utc 2024-03-15",
       "--start-utc: \"2024-03-15\" is not a UTC time such as 2024-03-15T21:04:05.25Z\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    ScratchDir dir;
    write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
    const ProgramRun run = run_vesk_frames(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(in_scratch("run1")));
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
  EXPECT_FALSE(fs::exists(in_scratch("run1")));
}

TEST(VeskFrames, FrameThatCannotBeWrittenStopsTheConversion) {
  ScratchDir dir;
  write_file("night.ser", ser_bytes(mono_recording(8, 0, false, 3)));
  // A folder where the second frame's part file would go makes that write fail.
  fs::create_directories(in_scratch("run1/BMP_RAW/a00001.bmp.part"));
  const ProgramRun run = run_vesk_frames("night.ser run1");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "run1/BMP_RAW/a00001.bmp.part: cannot open: Is a directory\n");
  EXPECT_EQ(read_file("run1/BMP_RAW/a00000.bmp"), frame_file(5, 3, mono_payload(0, 5, 3)));
  EXPECT_FALSE(fs::exists(in_scratch("run1/BMP_RAW/a00001.bmp")));
  EXPECT_FALSE(fs::exists(in_scratch("run1/BMP_RAW/a00002.bmp")));
  EXPECT_FALSE(fs::exists(in_scratch("run1/frame_times.csv")));
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
    EXPECT_FALSE(fs::exists(in_scratch("run1/BMP_RAW/a00003.bmp")));
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
  EXPECT_EQ(run.err, ring_warning(3));
  EXPECT_EQ(run.out,
            "Wrote 3 frames of 16 x 8 pixels to run1/BMP_RAW, their times to "
            "run1/frame_times.csv\n");
  for (int k = 0; k < 3; ++k) {
    const auto start = raw.begin() + (2 + k) * 128;
    EXPECT_EQ(read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
              frame_file(16, 8, std::vector<std::uint8_t>(start, start + 128)))
        << "frame " << k;
  }
  EXPECT_FALSE(fs::exists(in_scratch("run1/BMP_RAW/a00003.bmp")));
  // Seconds from VESK's frame 0 (recording frame 2); no UTC without --start-utc.
  EXPECT_EQ(without_file_columns(read_text("run1/frame_times.csv")),
            "frame,utc,seconds,source\n0,,0.0000000,pts\n1,,0.0400000,pts\n2,,0.0800000,pts\n");

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
            "Wrote 4 frames of 16 x 8 pixels to run2/BMP_RAW, their times to "
            "run2/frame_times.csv\n");
  EXPECT_TRUE(fs::exists(in_scratch("run2/BMP_RAW/a00003.bmp")));
  EXPECT_FALSE(fs::exists(in_scratch("run2/BMP_RAW/a00004.bmp")));
}

TEST(VeskFrames, VeskRunsOnFramesFromATestVideo) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  ASSERT_EQ(shell("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 70 "
                  "-c:v mpeg4 clip.avi"),
            0);
  const ProgramRun run = run_vesk_frames("clip.avi run1");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out,
            "Wrote 70 frames of 320 x 240 pixels to run1/BMP_RAW, their times to "
            "run1/frame_times.csv\n");
  EXPECT_EQ(read_file("run1/BMP_RAW/a00069.bmp").size(), 54u + 320 * 240);
  const ProgramRun vesk = run_vesk_program("0\n", "run1");
  EXPECT_EQ(vesk.exit_status, 0) << vesk.err;
  EXPECT_NE(vesk.out.find("NS=320 NL=240\n"), std::string::npos);
}

// Eight 16 x 8 frames of one grey level each, 10 f + 1 for frame f, for ffmpeg to code.
void write_level_frames() {
  std::vector<std::uint8_t> raw;
  for (int f = 0; f < 8; ++f) raw.insert(raw.end(), 128, static_cast<std::uint8_t>(10 * f + 1));
  write_file("levels.gray", raw);
}

TEST(VeskFrames, VideoFramesKeptOnceInTheirOwnTiming) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  struct Case {
    const char* name;
    std::string filter;       // applied to the 8 frames at 25 fps when making clip.mkv
    std::string options;      // for vesk-frames
    std::vector<int> frames;  // recording frames expected in a00000.bmp ...
    std::string csv;
    std::string notice = "";
  };
  const std::vector<Case> cases = {
      {"variable rate",
       "settb=1/1000,setpts=N*N*7",
       "",
       {0, 1, 2, 3, 4, 5, 6, 7},
       "frame,utc,seconds,source\n0,,0.0000000,pts\n1,,0.0070000,pts\n2,,0.0280000,pts\n3,,0."
       "0630000,pts\n"
       "4,,0.1120000,pts\n5,,0.1750000,pts\n6,,0.2520000,pts\n7,,0.3430000,pts\n"},
      {"a gap of two frames",
       "select='not(between(n\\,3\\,4))'",
       "",
       {0, 1, 2, 5, 6, 7},
       "frame,utc,seconds,source\n0,,0.0000000,pts\n1,,0.0400000,pts\n2,,0.0800000,pts\n3,,0."
       "2000000,pts\n"
       "4,,0.2400000,pts\n5,,0.2800000,pts\n"},
      // Equal times make ffmpeg log errors about its own output; every frame still comes once.
      {"repeated times",
       "settb=1/1000,setpts=floor(N/2)*40",
       "",
       {0, 1, 2, 3, 4, 5, 6, 7},
       "frame,utc,seconds,source\n0,,0.0000000,pts\n1,,0.0000000,pts\n2,,0.0400000,pts\n3,,0."
       "0400000,pts\n"
       "4,,0.0800000,pts\n5,,0.0800000,pts\n6,,0.1200000,pts\n7,,0.1200000,pts\n"},
      {"steady rate; the SER options do nothing",
       "null",
       "--depth 12",
       {0, 1, 2, 3, 4, 5, 6, 7},
       "frame,utc,seconds,source\n0,,0.0000000,pts\n1,,0.0400000,pts\n2,,0.0800000,pts\n3,,0."
       "1200000,pts\n"
       "4,,0.1600000,pts\n5,,0.2000000,pts\n6,,0.2400000,pts\n7,,0.2800000,pts\n",
       "clip.mkv: a video; --byte-order and --depth apply to SER recordings and are ignored\n"},
      // The start time is that of the recording's frame 0, so UTC runs on after --first.
      {"a start time, from a later frame",
       "select='not(between(n\\,3\\,4))'",
       "--first 2 --count 2 --start-utc 2024-03-15T21:04:05Z",
       {2, 5},
       "frame,utc,seconds,source\n0,2024-03-15T21:04:05.0800000Z,0.0000000,pts\n"
       "1,2024-03-15T21:04:05.2000000Z,0.1200000,pts\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_level_frames();
    ASSERT_EQ(
        shell("ffmpeg -v error -f rawvideo -pix_fmt gray -s 16x8 -r 25 -i levels.gray -vf \"" +
              c.filter + "\" -fps_mode passthrough -enc_time_base 1/1000 -c:v ffv1 clip.mkv"),
        0);
    const ProgramRun run = run_vesk_frames("clip.mkv run1 " + c.options);
    const int n = static_cast<int>(c.frames.size());
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, c.notice + ring_warning(n));
    for (int k = 0; k < n; ++k) {
      EXPECT_EQ(
          read_file(numbered_file_name("run1/BMP_RAW/a%5d.bmp", k)),
          frame_file(16, 8, std::vector<std::uint8_t>(128, std::uint8_t(10 * c.frames[k] + 1))))
          << "frame " << k;
    }
    EXPECT_FALSE(fs::exists(in_scratch(numbered_file_name("run1/BMP_RAW/a%5d.bmp", n))));
    EXPECT_EQ(without_file_columns(read_text("run1/frame_times.csv")), c.csv);
  }
}

TEST(VeskFrames, VideoLumaAsStored) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  // One 16 x 8 frame; its levels cover video range (16-235) and beyond.
  auto level = [](int x, int y) { return static_cast<std::uint8_t>(16 * y + 15 * x + 3); };
  std::vector<std::uint8_t> luma;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) luma.push_back(level(x, y));
  }
  struct Case {
    const char* name;
    std::vector<std::uint8_t> raw;  // the frame as ffmpeg reads it
    std::string command;            // codes frame.raw into clip.*
    std::vector<std::uint8_t> grey;
  };
  std::vector<std::uint8_t> yuv = luma;
  yuv.insert(yuv.end(), 64, 128);  // flat chroma, 8 x 4 each
  std::vector<std::uint8_t> yuv10;
  for (const std::uint8_t y : luma) {
    const int v = 4 * y + 3;  // 10-bit, low bits set
    yuv10.push_back(static_cast<std::uint8_t>(v));
    yuv10.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  for (int i = 0; i < 64; ++i) {
    yuv10.push_back(0);
    yuv10.push_back(2);  // 512
  }
  std::vector<std::uint8_t> rgb;
  std::vector<std::uint8_t> rgb_luma;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 16; ++x) {
      const int r = 16 * x + 5;
      const int g = 255 - 30 * y;
      const int b = 8 * x + 15 * y;
      rgb.insert(rgb.end(), {std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)});
      rgb_luma.push_back(static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000));
    }
  }
  const std::vector<Case> cases = {
      {"YUV 4:2:0 in video range", yuv,
       "-pix_fmt yuv420p -color_range tv -i frame.raw -c:v ffv1 -color_range tv clip.mkv", luma},
      {"YUV 4:2:0 without a range", yuv, "-pix_fmt yuv420p -i frame.raw -c:v ffv1 clip.mkv", luma},
      {"10-bit YUV 4:2:0", yuv10,
       "-pix_fmt yuv420p10le -color_range tv -i frame.raw -c:v ffv1 clip.mkv", luma},
      {"packed RGB", rgb, "-pix_fmt rgb24 -i frame.raw -c:v rawvideo clip.nut", rgb_luma},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file("frame.raw", c.raw);
    ASSERT_EQ(shell("ffmpeg -v error -f rawvideo -s 16x8 -r 25 " + c.command), 0);
    const std::string clip = fs::exists(in_scratch("clip.mkv")) ? "clip.mkv" : "clip.nut";
    const ProgramRun run = run_vesk_frames(clip + " run1");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(read_file("run1/BMP_RAW/a00000.bmp"), frame_file(16, 8, c.grey));
  }
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
    EXPECT_FALSE(fs::exists(in_scratch("run1")));
  }
}
