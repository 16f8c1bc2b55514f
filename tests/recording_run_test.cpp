// vesk RECORDING as a user meets it: the same answers as converting with vesk-frames and running
// vesk in the folder, the notices about a corrected recording, the run folder beside it, and the
// recordings longer than a frame folder holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>

#include "formats/flashes_csv.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "sources/ser.h"
#include "sources/video.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kTools = VESK_TOOLS_DIR;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

ProgramRun vesk(const std::string& args, const std::string& console = "0\n") {
  write_text(".console_in", console);
  const ProgramRun run = run_command(quoted(VESK_BINARY) + " " + args + " < .console_in");
  fs::remove(in_scratch(".console_in"));
  return run;
}

ProgramRun vesk_frames(const std::string& args) {
  return run_command(quoted(VESK_FRAMES_BINARY) + " " + args);
}

bool have_ffmpeg() {
  return !find_on_path("ffmpeg").empty() && !find_on_path("ffprobe").empty();
}

// Runs `command` in the scratch folder, its output thrown away; its exit status.
int shell(const std::string& command) {
  return run_command(command + " > /dev/null 2>&1").exit_status;
}

std::string as_text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// 200 demo frames of 320 x 240 with three flashes and a cosmic-ray hit in `folder`/BMP_RAW.
void make_demo_frames(const std::string& folder) {
  ASSERT_EQ(
      shell(quoted(kTools + "/make_demo_frames") +
            " --size 320x240 --frames 200 --flashes 3 --hits 1 --glints 0 --seed 5 " + folder),
      0);
}

// The frames of `folder`/BMP_RAW as one stream of grey levels, for ffmpeg's rawvideo input.
void write_grey_stream(const std::string& folder, const std::string& path) {
  std::vector<std::uint8_t> stream;
  for (int f = 0;; ++f) {
    const std::string frame = folder + "/" + numbered_file_name(kRawFramePattern, f);
    if (!fs::exists(in_scratch(frame))) break;
    const std::vector<std::uint8_t> bytes = read_file(frame);
    stream.insert(stream.end(), bytes.begin() + kFrameHeaderBytes, bytes.end());
  }
  write_file(path, stream);
}

// Converts `recording` with vesk-frames into `converted` and runs vesk there (menu answered 0),
// then runs vesk on the recording itself into `direct` with `vesk_options`. Both vesk runs must
// succeed with the same console text and no messages.
struct BothWays {
  ProgramRun in_folder;
  ProgramRun on_recording;
};
BothWays run_both_ways(const std::string& recording, const std::string& options) {
  BothWays both;
  const ProgramRun converted = vesk_frames(recording + " converted " + options);
  EXPECT_EQ(converted.exit_status, 0) << converted.err;
  both.in_folder = run_vesk_program("0\n", "converted");
  both.on_recording = vesk(recording + " --out direct " + options);
  return both;
}

}  // namespace

TEST(RecordingRun, SameAnswersAsConvertedFrames) {
  ScratchDir dir;
  make_demo_frames("demo");
  write_grey_stream("demo", "demo.gray");
  struct Case {
    const char* name;
    std::string make;  // makes the recording from demo/
    std::string recording;
    std::string options;
    bool needs_ffmpeg;
  };
  const std::vector<Case> cases = {
      {"SER 8-bit", quoted(kTools + "/frames_to_ser") + " demo night.ser", "night.ser", "", false},
      {"SER 16-bit", quoted(kTools + "/frames_to_ser") + " demo night16.ser --depth 16",
       "night16.ser", "", false},
      {"SER 8-bit, a range of frames", quoted(kTools + "/frames_to_ser") + " demo part.ser",
       "part.ser", "--first 20 --count 150", false},
      {"video coded losslessly (FFV1)",
       "ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray -c:v ffv1 "
       "clip.mkv",
       "clip.mkv", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_ffmpeg && !have_ffmpeg()) continue;
    fs::remove_all(in_scratch("converted"));
    fs::remove_all(in_scratch("direct"));
    ASSERT_EQ(shell(c.make), 0);
    const BothWays both = run_both_ways(c.recording, c.options);
    EXPECT_EQ(both.in_folder.exit_status, 0) << both.in_folder.err;
    EXPECT_EQ(both.on_recording.exit_status, 0) << both.on_recording.err;
    // Off a terminal the console text is the folder run's, line for line.
    EXPECT_EQ(both.on_recording.out, both.in_folder.out);
    EXPECT_EQ(without_run_end(both.on_recording.err), "");
    const auto expected = run_results("converted");
    EXPECT_EQ(run_results("direct"), expected);
    // The run found flashes, and the recording gave its times.
    EXPECT_GE(std::count_if(expected.begin(), expected.end(),
                            [](const auto& file) { return file.first.starts_with("BMP_"); }),
              1);
    EXPECT_EQ(expected.count("frame_times.csv"), 1u);
    if (!c.needs_ffmpeg) {  // a SER's trailer gives UTC times to the catalogue both ways
      EXPECT_NE(as_text(expected.at("flashes.csv")).find(",2024-"), std::string::npos);
    }
    // No frame files: the frames came straight from the recording.
    EXPECT_FALSE(fs::exists(in_scratch("direct/BMP_RAW")));
  }
}

TEST(RecordingRun, CodedLunarVideoKeepsEveryFrame) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  make_demo_frames("demo");
  write_grey_stream("demo", "demo.gray");
  // H.264 with B-frames, as a camera or a capture program writes it; FFmpeg's mpeg4 without x264.
  const std::string input =
      "ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray";
  std::string clip = "moon.mp4";
  if (shell(input + " -c:v libx264 -pix_fmt yuv420p -crf 16 moon.mp4") != 0) {
    clip = "moon.avi";
    ASSERT_EQ(shell(input + " -c:v mpeg4 -q:v 2 moon.avi"), 0);
  }
  const BothWays both = run_both_ways(clip, "");
  EXPECT_EQ(both.on_recording.exit_status, 0) << both.on_recording.err;
  EXPECT_EQ(both.on_recording.out, both.in_folder.out);
  EXPECT_EQ(run_results("direct"), run_results("converted"));
  const std::string dump = read_text("direct/data_dump.txt");
  EXPECT_NE(dump.find("nframes=200\n"), std::string::npos) << dump;
  const std::string times = read_text("direct/frame_times.csv");
  EXPECT_EQ(std::count(times.begin(), times.end(), '\n'), 201);
  // No --start-utc: no UTC, and the seconds from the video's presentation times.
  EXPECT_EQ(times.rfind("frame,utc,seconds,source,file,file_frame\n", 0), 0u);
  EXPECT_NE(times.find("\n199,,7.9600000,pts," + clip + ",199\n"), std::string::npos);
}

// A title that reads like the showinfo filter's frame lines is the video's text: the frame
// times are those of the same video without it.
TEST(RecordingRun, VideoTitleIsNeverTakenForFrameTimes) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  make_demo_frames("demo");
  write_grey_stream("demo", "demo.gray");
  const std::string input =
      "ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray -c:v ffv1";
  ASSERT_EQ(shell(input + " plain.mkv"), 0);
  ASSERT_EQ(shell(input + " -metadata title=\"Parsed_showinfo_0 n:   0 pts: 86400000 pts_time:86400"
                          "\" -metadata comment=\"[Parsed_showinfo_0 @ 0x1] [info] n: 1 pts: 9\""
                          " titled.mkv"),
            0);
  const ProgramRun plain = vesk("plain.mkv --no-menu --quiet --out plain");
  const ProgramRun titled = vesk("titled.mkv --no-menu --quiet --out titled");
  EXPECT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(titled.exit_status, 0) << titled.err;
  EXPECT_EQ(without_file_columns(read_text("titled/frame_times.csv")),
            without_file_columns(read_text("plain/frame_times.csv")));
  EXPECT_EQ(without_file_columns(read_text("titled/flashes.csv")),
            without_file_columns(read_text("plain/flashes.csv")));
}

namespace {

// Byte offsets of SER header fields.
constexpr std::size_t kLittleEndianField = 22;
constexpr std::size_t kFrameCountField = 38;

void put_field(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

TEST(RecordingRun, SaysWhatItCorrectedAsVeskFramesDoes) {
  ScratchDir dir;
  make_demo_frames("demo");
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night16.ser --depth 16"), 0);
  const std::vector<std::uint8_t> eight = read_file("night.ser");
  const std::vector<std::uint8_t> sixteen = read_file("night16.ser");
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string notices;
    std::string options = "";
  };
  std::vector<std::uint8_t> no_count = eight;
  put_field(no_count, kFrameCountField, 0);
  std::vector<std::uint8_t> tail = eight;
  tail.insert(tail.end(), 5, 0);
  std::vector<std::uint8_t> wrong_order = sixteen;
  put_field(wrong_order, kLittleEndianField, 1);
  std::vector<std::uint8_t> zero_times = eight;
  std::fill(zero_times.end() - 200 * 8, zero_times.end(), 0);
  const std::vector<Case> cases = {
      {"frame count 0", no_count,
       "rec.ser: frame count: the header gives 0, the file size gives 200; reading 200\n"},
      {"bytes after the times", tail,
       "rec.ser: 1605 bytes follow the 200 frames, not the 1600 of a trailer of frame times; "
       "reading no times\n"},
      {"16-bit samples under a big-endian flag", wrong_order,
       "rec.ser: the samples look like noise in the byte order of the header (big-endian) and "
       "like an image in little-endian in the first 4 frames; reading them little-endian\n"},
      {"a trailer of zeros", zero_times,
       "rec.ser: the frame times are not used: frame 0 time 0 lies outside the years 1990 to "
       "2100\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(in_scratch("converted"));
    fs::remove_all(in_scratch("rec.vesk"));
    write_file("rec.ser", c.bytes);
    const ProgramRun converted = vesk_frames("rec.ser converted " + c.options);
    EXPECT_EQ(converted.err, c.notices);
    const ProgramRun direct = vesk("rec.ser --no-menu --quiet " + c.options);
    EXPECT_EQ(direct.exit_status, 0);
    EXPECT_EQ(without_run_end(direct.err), c.notices);
    EXPECT_EQ(fs::exists(in_scratch("rec.vesk/frame_times.csv")),
              fs::exists(in_scratch("converted/frame_times.csv")));
  }
  if (!have_ffmpeg()) return;
  write_grey_stream("demo", "demo.gray");
  ASSERT_EQ(shell("ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray "
                  "-c:v ffv1 clip.mkv"),
            0);
  const ProgramRun video = vesk("clip.mkv --no-menu --quiet --depth 12");
  EXPECT_EQ(video.exit_status, 0);
  EXPECT_EQ(without_run_end(video.err),
            "clip.mkv: a video; --byte-order and --depth apply to SER recordings and are "
            "ignored\n");
}

TEST(RecordingRun, StopsWithOneLineOnABadRecording) {
  ScratchDir dir;
  make_demo_frames("demo");
  for (int f = 40; f < 200; ++f)
    fs::remove(in_scratch("demo/" + numbered_file_name(kRawFramePattern, f)));
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo short.ser"), 0);
  struct Case {
    const char* name;
    std::string args;
    std::string message;
    bool folder_made;  // the run folder was laid out before the stop
  };
  const std::vector<Case> cases = {
      {"no such file", "gone.ser", "gone.ser: cannot open: No such file or directory\n", false},
      {"a SER file with a start time", "short.ser --start-utc 2024-03-15T21:04:05Z",
       "--start-utc: short.ser is a SER recording, whose frame times come from the recording\n",
       false},
      {"past the last frame", "short.ser --first 40", "--first 40: short.ser has only 40 frames\n",
       false},
      {"fewer frames than the ring", "short.ser",
       "short.ser: holds 40 frames; the ring of Images_in_buffer 60 needs frames 0 to 59 before "
       "the run can start; with the 40 frames there, set Images_in_buffer to 40 "
       "or less in run/settings.txt\n",
       true},
      {"one frame left after --first", "short.ser --first 39",
       "short.ser: holds 1 frame from frame 39; the ring of Images_in_buffer 60 needs frames 0 to "
       "59 before the run can start; with only 1 frame there, no ring can be filled (3 frames at "
       "least)\n",
       true},
      {"fewer frames than the ring, by --count", "short.ser --first 5 --count 30",
       "short.ser: --count 30 reads frames 0 to 29; the ring of Images_in_buffer 60 needs frames 0 "
       "to 59 before the run can start; with the 30 frames there, set Images_in_buffer to 30 "
       "or less in run/settings.txt\n",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(in_scratch("run"));
    const ProgramRun run = vesk(c.args + " --out run --no-menu");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(fs::exists(in_scratch("run")), c.folder_made);
  }
  if (!have_ffmpeg()) return;
  write_grey_stream("demo", "demo.gray");
  ASSERT_EQ(shell("ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray "
                  "-c:v ffv1 short.mkv"),
            0);
  const ProgramRun video = vesk("short.mkv --no-menu");
  EXPECT_EQ(video.exit_status, 1);
  EXPECT_EQ(video.err,
            "short.mkv: ends after 40 frames; the ring of Images_in_buffer 60 needs frames 0 to 59 "
            "before the run can start; with the 40 frames there, set Images_in_buffer to 40 "
            "or less in short.vesk/settings.txt\n");
  // With --first both counts are said: the video's frames and those read from the first.
  const ProgramRun later = vesk("short.mkv --no-menu --first 35");
  EXPECT_EQ(later.exit_status, 1);
  EXPECT_EQ(later.err,
            "short.mkv: ends after 40 frames, 5 of them from frame 35 on; the ring of "
            "Images_in_buffer 60 needs frames 0 to 59 before the run can start; with the 5 frames "
            "there, set Images_in_buffer to 4 or less in short.vesk/settings.txt\n");
  const ProgramRun skipped = vesk("short.mkv --no-menu --first 45");
  EXPECT_EQ(skipped.exit_status, 1);
  EXPECT_EQ(skipped.err, "--first 45: short.mkv has only 40 frames\n");
}

// A video that changes its frame size stops where it changes (ffmpeg would scale the rest to the
// first size, and flashes would be reported at the wrong place); one cut short is named and read
// as far as it goes; times that leave the years a clock may give are dropped from there on.
TEST(RecordingRun, VideoThatChangesSizeLosesFramesOrLeavesTheYears) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed (Debian: ffmpeg)";
  ScratchDir dir;
  make_demo_frames("demo");
  write_grey_stream("demo", "demo.gray");
  const std::string input =
      "ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray";
  // 120 frames of 320 x 240, then 200 of 160 x 120: MPEG-2 in a transport stream carries each
  // part's size in the stream, as a capture restarted at another size does.
  ASSERT_EQ(shell(input + " -frames:v 120 -c:v mpeg2video -q:v 2 big.ts"), 0);
  ASSERT_EQ(shell(input + " -vf scale=160:120 -c:v mpeg2video -q:v 2 small.ts"), 0);
  write_text("parts.txt", "file big.ts\nfile small.ts\n");
  ASSERT_EQ(shell("ffmpeg -v error -f concat -i parts.txt -c copy sizes.ts"), 0);
  // An MP4 with its index first, cut after 60 % of its bytes: the index still counts 200 frames.
  ASSERT_EQ(shell(input + " -c:v mpeg4 -q:v 2 -movflags +faststart whole.mp4"), 0);
  const std::vector<std::uint8_t> whole = read_file("whole.mp4");
  write_file("cut.mp4", std::vector<std::uint8_t>(
                            whole.begin(),
                            whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * 6 / 10)));
  ASSERT_EQ(shell(input + " -c:v ffv1 clip.mkv"), 0);

  struct Case {
    const char* name;
    std::string args;
    int exit_status;
    std::string starts;  // standard error is one line that starts and ends so
    std::string ends;
    bool input_ended;  // the frames ran out: data_dump.txt and frame_times.csv written
  };
  const std::vector<Case> cases = {
      {"the frame size changes", "sizes.ts --out size", 1, "sizes.ts: frame ",
       " is 160 x 120, the frames before it 320 x 240; a video whose frame size changes is not "
       "read (cut it where the size changes)\n",
       false},
      {"cut short", "cut.mp4 --out cut", 0,
       "cut.mp4: the container states 200 frames, ffmpeg delivered ", " partial file)\n", true},
      {"times past 2100", "clip.mkv --out late --start-utc 2100-12-31T23:59:58Z", 0,
       "clip.mkv: the frame times are not used from frame 50 on: frame 50 time "
       "2101-01-01T00:00:00.0000000Z lies outside the years 1990 to 2100\n",
       "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = vesk(c.args + " --no-menu --quiet");
    EXPECT_EQ(run.exit_status, c.exit_status);
    // The cut file's last decoded frame may be torn, its candidate pixels then rejected by the
    // scatter test and named; that notice is not what this table is about.
    std::string kept;
    std::istringstream lines(without_run_end(run.err));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(": the scatter test rejected its candidate pixels") == std::string::npos) {
        kept += line + "\n";
      }
    }
    run.err = kept;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.starts_with(c.starts)) << run.err;
    EXPECT_TRUE(run.err.ends_with(c.ends)) << run.err;
    const std::string folder = c.args.substr(c.args.find("--out ") + 6, 4);  // size, cut, late
    EXPECT_TRUE(fs::exists(in_scratch(folder + "/flash_info.dat")));
    EXPECT_EQ(fs::exists(in_scratch(folder + "/data_dump.txt")), c.input_ended);
  }
  // The frames of the first size are read, never one scaled from the second.
  const ProgramRun sizes = vesk("sizes.ts --out size --no-menu --quiet");
  const std::int64_t changed = std::stoll(sizes.err.substr(std::string("sizes.ts: frame ").size()));
  EXPECT_GE(changed, 119);
  EXPECT_LE(changed, 120);
  const ProgramRun converted = vesk_frames("sizes.ts sizes_frames");
  EXPECT_EQ(converted.exit_status, 1);
  EXPECT_EQ(converted.err, without_run_end(sizes.err));
  // The cut video: the frames named missing are those after the last one read.
  const std::string cut = vesk("cut.mp4 --out cut --no-menu --quiet").err;
  const std::string dump = read_text("cut/data_dump.txt");
  const std::size_t at = dump.find("nframes=");
  ASSERT_NE(at, std::string::npos);
  const std::string delivered = dump.substr(at + 8, dump.find('\n', at) - at - 8);
  EXPECT_NE(cut.find("ffmpeg delivered " + delivered + ": frames " + delivered +
                     " to 199 of the recording are missing; the decoder reported "),
            std::string::npos)
      << cut;
  // The times past the bad one are not used; those before it are.
  const std::string times = without_file_columns(read_text("late/frame_times.csv"));
  EXPECT_NE(times.find("\n49,2100-12-31T23:59:59.9600000Z,1.9600000,pts\n50,,,\n"),
            std::string::npos);
  EXPECT_NE(times.find("\n199,,,\n"), std::string::npos);
}

// Every frame's time the recording allows, and where it came from (frame_times.csv's source):
// a SER's trailer; for a SER without one --start-utc with --fps (UTC and seconds) or --fps alone
// (seconds); a video's presentation times (seconds without --start-utc). flashes.csv carries
// them as far as they go.
TEST(RecordingRun, TimesWheneverTheRecordingAllows) {
  ScratchDir dir;
  make_demo_frames("demo");
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  // The same frames with no trailer: the header and the 200 frames of 320 x 240 alone.
  std::vector<std::uint8_t> bare = read_file("night.ser");
  bare.resize(178 + 200 * 320 * 240);
  write_file("bare.ser", bare);
  bool video = false;
  if (have_ffmpeg()) {
    write_grey_stream("demo", "demo.gray");
    video = shell(
                "ffmpeg -v error -f rawvideo -pix_fmt gray -s 320x240 -r 25 -i demo.gray "
                "-c:v ffv1 clip.mkv") == 0;
  }
  struct Case {
    const char* name;
    std::string args;
    std::string frame_1;  // line 1 of frame_times.csv
    bool utc;             // flashes.csv's utc filled (its seconds always are)
  };
  const std::vector<Case> cases = {
      {"SER with its trailer", "night.ser",
       "1,2024-03-15T21:04:05.0400000Z,0.0400000,trailer,night.ser,1", true},
      {"SER without trailer, --start-utc and --fps",
       "bare.ser --start-utc 2024-03-15T21:04:05Z --fps 25",
       "1,2024-03-15T21:04:05.0400000Z,0.0400000,fps,bare.ser,1", true},
      {"SER without trailer, a later first frame",
       "bare.ser --start-utc 2024-03-15T21:04:05Z --fps 25 --first 10",
       "1,2024-03-15T21:04:05.4400000Z,0.0400000,fps,bare.ser,11", true},
      {"SER without trailer, --fps alone", "bare.ser --fps 25", "1,,0.0400000,fps,bare.ser,1",
       false},
      {"video without --start-utc", "clip.mkv", "1,,0.0400000,pts,clip.mkv,1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.args.starts_with("clip.mkv") && !video) continue;
    fs::remove_all(in_scratch("run"));
    const ProgramRun run = vesk(c.args + " --out run --no-menu --quiet");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err.find("frame_times.csv"), std::string::npos) << run.err;
    const std::string times = read_text("run/frame_times.csv");
    EXPECT_EQ(times.rfind("frame,utc,seconds,source,file,file_frame\n", 0), 0u);
    EXPECT_NE(times.find("\n" + c.frame_1 + "\n"), std::string::npos) << times.substr(0, 200);
    std::vector<FlashRow> rows;
    std::string error;
    ASSERT_TRUE(read_flashes_csv(in_scratch("run/flashes.csv"), rows, &error)) << error;
    ASSERT_FALSE(rows.empty());
    for (const FlashRow& row : rows) {
      SCOPED_TRACE("event " + std::to_string(row.event));
      ASSERT_TRUE(row.seconds.has_value());
      // 25 frames a second from frame 0 of the run, to the microsecond flashes.csv writes.
      EXPECT_NEAR(*row.seconds, static_cast<double>(row.frame) / 25.0, 1e-6);
      EXPECT_EQ(row.utc.empty(), !c.utc) << row.utc;
    }
  }
  // The trailer's times and those of --start-utc with --fps are the same times here: the
  // catalogue does not tell them apart.
  fs::remove_all(in_scratch("run"));
  ASSERT_EQ(vesk("night.ser --out trailer --no-menu --quiet").exit_status, 0);
  ASSERT_EQ(
      vesk("bare.ser --out counted --no-menu --quiet --start-utc 2024-03-15T21:04:05Z --fps 25")
          .exit_status,
      0);
  EXPECT_EQ(without_file_columns(read_text("counted/flashes.csv")),
            without_file_columns(read_text("trailer/flashes.csv")));
}

// A SER without frame times holds no frame rate either: --start-utc alone cannot time its frames
// and is refused as a fault of the command line, by every program that reads recordings, before
// anything is written.
TEST(RecordingRun, StartTimeOfASerWithoutTimesNeedsItsFrameRate) {
  ScratchDir dir;
  make_demo_frames("demo");
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  std::vector<std::uint8_t> bare = read_file("night.ser");
  bare.resize(178 + 200 * 320 * 240);
  write_file("bare.ser", bare);
  const std::string message =
      "--start-utc: bare.ser is a SER recording without frame times, whose header holds no "
      "frame rate: give --fps too\n";
  struct Case {
    const char* name;
    std::string command;
  };
  const std::vector<Case> cases = {
      {"vesk",
       quoted(VESK_BINARY) + " bare.ser --out run --no-menu --start-utc 2024-03-15T21:04:05Z"},
      {"vesk, several files", quoted(VESK_BINARY) +
                                  " night.ser bare.ser --out run --no-menu --start-utc "
                                  "2024-03-15T21:04:05Z"},
      {"vesk-frames",
       quoted(VESK_FRAMES_BINARY) + " bare.ser run --start-utc 2024-03-15T21:04:05Z"},
      {"vesk-tune",
       quoted(VESK_TUNE_BINARY) + " bare.ser --out run --start-utc 2024-03-15T21:04:05Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = run_command(c.command + " < /dev/null");
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(in_scratch("run")));
  }
}

TEST(RecordingRun, RunFolderKeepsWhatIsThere) {
  ScratchDir dir;
  make_demo_frames("demo");
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  // A folder prepared by hand keeps its settings and data files; the ring is smaller here.
  const std::string settings = settings_text(1, 80, 32, 3, 5, 4, 4, 10, 10, 10, 10, 95, 0, 30);
  write_text("mine/settings.txt", settings);
  write_text("mine/about.txt", "our observatory\nX\n");
  const ProgramRun first = vesk("night.ser --out mine --no-menu --quiet");
  EXPECT_EQ(first.exit_status, 0) << first.err;
  EXPECT_EQ(read_text("mine/settings.txt"), settings);
  EXPECT_EQ(read_text("mine/about.txt"), "our observatory\nX\n");
  EXPECT_EQ(read_file("mine/bmpheader.dat"),
            read_file(std::string(VESK_DATA_DIR) + "/bmpheader.dat"));
  EXPECT_NE(read_text("mine/data_dump.txt").find("nframes=200\n"), std::string::npos);
  // A second run in the same folder replaces the results.
  const std::string log = read_text("mine/flash_info.dat");
  const ProgramRun again = vesk("night.ser --out mine --no-menu --quiet");
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(read_text("mine/flash_info.dat"), log);
  // --quiet leaves out the frame lines, not the reports; --no-menu shows no menu.
  EXPECT_EQ(again.out.find("Processing frame"), std::string::npos);
  EXPECT_EQ(again.out.find("Current Detection Parameters"), std::string::npos);
  EXPECT_NE(again.out.find("Video Frame= "), std::string::npos);
}

TEST(RecordingRun, NoMenuAndQuietInAFrameFolder) {
  ScratchDir dir;
  make_demo_frames(".");
  make_run_folder();
  const ProgramRun menu = run_vesk_program("0\n");
  ASSERT_EQ(menu.exit_status, 0) << menu.err;
  const auto with_menu = run_results(".");
  const ProgramRun quiet = vesk("--no-menu --quiet --threads 1");
  EXPECT_EQ(quiet.exit_status, 0) << quiet.err;
  EXPECT_EQ(run_results("."), with_menu);
  // Banner, size and the report lines; nothing of the menu or of each frame.
  std::string reports;
  std::size_t at = 0;
  while ((at = menu.out.find("Video Frame= ", at)) != std::string::npos) {
    const std::size_t end = menu.out.find('\n', at) + 1;
    reports += menu.out.substr(at, end - at);
    at = end;
  }
  EXPECT_EQ(quiet.out,
            "***************\n*** V E S K ***\n***************\n\nNS=320 NL=240\n" + reports);
  EXPECT_FALSE(fs::exists(in_scratch("frame_times.csv")));
}

TEST(RecordingRun, NoFolderLimitOnARecording) {
  ScratchDir dir;
  // 100,010 frames of 16 x 8 at level 50, with a flash of two pixels in frame 100,005.
  constexpr int kFrames = 100010;
  constexpr int kFlashFrame = 100005;
  std::vector<std::uint8_t> bytes = {'L', 'U', 'C', 'A', 'M', '-', 'R',
                                     'E', 'C', 'O', 'R', 'D', 'E', 'R'};
  for (const std::uint32_t field : {0u, 0u, 0u, 16u, 8u, 8u, static_cast<std::uint32_t>(kFrames)}) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
  }
  bytes.resize(178, 0);
  const std::size_t frames_at = bytes.size();
  bytes.resize(frames_at + std::size_t{kFrames} * 128, 50);
  for (const int x : {8, 9}) bytes[frames_at + std::size_t{kFlashFrame} * 128 + 4 * 16 + x] = 200;
  write_file("long.ser", bytes);
  write_text("run/settings.txt", settings_text(1, 80, 32, 3, 5, 4, 4, 1, 1, 2, 2, 95, 0, 6));
  const ProgramRun run = vesk("long.ser --out run --no-menu --quiet");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err), "");
  EXPECT_NE(run.out.find("Video Frame= 100008 may have an impact flash 100005\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::exists(in_scratch("run/BMP_FLASHES/100005.bmp")));
  EXPECT_NE(read_text("run/flash_info.dat").find("\n100005 "), std::string::npos);
  EXPECT_NE(read_text("run/data_dump.txt").find("nframes=100010\n"), std::string::npos);
}

TEST(RecordingRun, ProgressLineOnATerminal) {
  if (find_on_path("script").empty()) GTEST_SKIP() << "script (util-linux) is not installed";
  ScratchDir dir;
  make_demo_frames("demo");
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  // script gives vesk a terminal for its standard output.
  const ProgramRun run =
      run_command("script -qec " + quoted(quoted(VESK_BINARY) + " night.ser --no-menu") +
                  " /dev/null < /dev/null");
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.find("Processing frame"), std::string::npos);
  EXPECT_NE(run.out.find("\r200 of 200 frames (100%), "), std::string::npos) << run.out;
  // Each report still has its line: the progress line is overwritten by it, then drawn again.
  const std::string log = read_text("night.vesk/flash_info.dat");
  const std::size_t records =
      static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n')) - 1;
  std::size_t notices = 0;
  for (std::size_t at = 0; (at = run.out.find("\rVideo Frame= ", at)) != std::string::npos; ++at) {
    ++notices;
  }
  EXPECT_GE(records, 1u);
  EXPECT_EQ(notices, records);
}

namespace {

// Frames [first, first + count) of the mono SER file `whole` (with a trailer) as a SER file of
// their own: header with their count, their frames, their times.
std::vector<std::uint8_t> ser_part(const std::vector<std::uint8_t>& whole, int first, int count) {
  const std::size_t frame = static_cast<std::size_t>(get_le32(whole, 26)) * get_le32(whole, 30) *
                            (get_le32(whole, 34) > 8 ? 2 : 1);
  const std::size_t total = static_cast<std::size_t>(get_le32(whole, 38));
  const std::size_t frames_at = kSerHeaderBytes + static_cast<std::size_t>(first) * frame;
  const std::size_t times_at =
      kSerHeaderBytes + total * frame + static_cast<std::size_t>(first) * 8;
  const std::size_t frame_bytes = static_cast<std::size_t>(count) * frame;
  std::vector<std::uint8_t> part(kSerHeaderBytes + frame_bytes +
                                 static_cast<std::size_t>(count) * 8);
  std::copy_n(whole.data(), kSerHeaderBytes, part.data());
  std::copy_n(whole.data() + frames_at, frame_bytes, part.data() + kSerHeaderBytes);
  std::copy_n(whole.data() + times_at, static_cast<std::size_t>(count) * 8,
              part.data() + kSerHeaderBytes + frame_bytes);
  put_field(part, kFrameCountField, static_cast<std::uint32_t>(count));
  return part;
}

}  // namespace

TEST(RecordingRun, SeveralFilesOfOneNightAsOneRecording) {
  ScratchDir dir;
  // 300 frames with flashes at frames 54, 100, 156 and 256 (found so in the whole file below).
  ASSERT_EQ(shell(quoted(kTools + "/make_demo_frames") +
                  " --size 320x240 --frames 300 --flashes 4 --hits 1 --glints 0 --seed 7 demo"),
            0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night.ser"), 0);
  const ProgramRun whole = vesk("night.ser --out whole --no-menu --quiet");
  ASSERT_EQ(whole.exit_status, 0) << whole.err;
  ASSERT_NE(whole.out.find("may have an impact flash 100\n"), std::string::npos) << whole.out;
  // The night in three files; the flash at frame 100 lies in the last half second of the first,
  // which a run over that file alone tests only in its last ring.
  const std::vector<std::uint8_t> night = read_file("night.ser");
  write_file("a.ser", ser_part(night, 0, 110));
  write_file("b.ser", ser_part(night, 110, 90));
  write_file("c.ser", ser_part(night, 200, 100));
  const ProgramRun alone = vesk("a.ser --out alone --no-menu --quiet");
  EXPECT_NE(alone.out.find("impact flash 100\n"), std::string::npos) << alone.out;

  // Given out of order, read in the order of their times: the run is the whole file's, in one
  // run folder named after the first file given, with one review page.
  const ProgramRun three = vesk("c.ser a.ser b.ser --no-menu --quiet");
  EXPECT_EQ(three.exit_status, 0) << three.err;
  EXPECT_EQ(without_run_end(three.err), "");
  EXPECT_EQ(three.out, whole.out);
  // Frame numbers and times run on across the files: every result file is the whole file's but
  // for the file,file_frame columns, which name each frame's file and its number there.
  EXPECT_EQ(run_results_without_file_columns("c.vesk"), run_results_without_file_columns("whole"));
  const std::string times = read_text("c.vesk/frame_times.csv");
  EXPECT_EQ(times.rfind("frame,utc,seconds,source,file,file_frame\n", 0), 0u);
  int frame = -1;
  for (std::size_t at = 0; at < times.size(); ++frame) {
    const std::size_t end = times.find('\n', at);
    if (frame >= 0) {
      const char* file = frame < 110 ? "a.ser" : frame < 200 ? "b.ser" : "c.ser";
      const int first = frame < 110 ? 0 : frame < 200 ? 110 : 200;
      const std::string ending =
          std::string(",trailer,") + file + "," + std::to_string(frame - first);
      EXPECT_EQ(times.substr(end - ending.size(), ending.size()), ending) << "frame " << frame;
    }
    at = end + 1;
  }
  EXPECT_EQ(frame, 300);
  EXPECT_NE(times.find("\n110,2024-03-15T21:04:09.4000000Z,4.4000000,trailer,b.ser,0\n"),
            std::string::npos);
  // Each flash names its file and its frame there: the one at 100 in the last half second of
  // a.ser (frames 0 to 109), the others in the files after it.
  std::vector<FlashRow> rows;
  std::string error;
  ASSERT_TRUE(read_flashes_csv(in_scratch("c.vesk/flashes.csv"), rows, &error)) << error;
  struct Origin {
    std::int64_t frame;
    const char* file;
    std::int64_t file_frame;
  };
  const Origin origins[] = {
      {54, "a.ser", 54}, {100, "a.ser", 100}, {156, "b.ser", 46}, {256, "c.ser", 56}};
  ASSERT_EQ(rows.size(), std::size(origins));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(origins[i].frame));
    EXPECT_EQ(rows[i].frame, origins[i].frame);
    EXPECT_EQ(rows[i].file, origins[i].file);
    EXPECT_EQ(rows[i].file_frame, origins[i].file_frame);
  }
  // A run on the one file names it, with the frame numbers of the run.
  const std::string whole_csv = read_text("whole/flashes.csv");
  EXPECT_NE(whole_csv.find(",night.ser,156\n"), std::string::npos) << whole_csv;
  EXPECT_NE(read_text("c.vesk/flashes.csv").find(",BMP_FLASHES/00100.bmp"), std::string::npos);
  // One review page for the night.
  const ProgramRun page = run_command(quoted(VESK_REVIEW_BINARY) + " c.vesk");
  EXPECT_EQ(page.exit_status, 0) << page.err;
  EXPECT_EQ(page.out, "Wrote c.vesk/review/index.html (4 events)\n");
  EXPECT_TRUE(fs::exists(in_scratch("c.vesk/review")));
  EXPECT_FALSE(fs::exists(in_scratch("a.vesk")));
  EXPECT_FALSE(fs::exists(in_scratch("b.vesk")));
  // run.txt names and identifies every file of the night.
  const std::string record = read_text("c.vesk/run.txt");
  EXPECT_NE(record.find("\nRecording= c.ser + a.ser + b.ser\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\nRecording_id= c.ser fnv1a64:"), std::string::npos) << record;
  EXPECT_NE(record.find(" + a.ser fnv1a64:"), std::string::npos) << record;
  EXPECT_NE(record.find(" + b.ser fnv1a64:"), std::string::npos) << record;

  // --first and --count count frames across the files.
  const ProgramRun part =
      vesk("a.ser b.ser c.ser --out part --no-menu --quiet --first 100 --count 150");
  EXPECT_EQ(part.exit_status, 0) << part.err;
  const ProgramRun part_whole =
      vesk("night.ser --out part_whole --no-menu --quiet --first 100 --count 150");
  EXPECT_EQ(part.out, part_whole.out);

  // Frames missing between two files: a gap, after which the ring starts afresh; the flash at
  // 256 (frame 246 of the 290 left) is still found.
  write_file("c.ser", ser_part(night, 210, 90));
  const ProgramRun gap = vesk("a.ser b.ser c.ser --out gap --no-menu --quiet");
  EXPECT_EQ(gap.exit_status, 0) << gap.err;
  EXPECT_EQ(without_run_end(gap.err),
            "c.ser: starts 0.440 s after the last frame of b.ser (frames 0.040 s apart): a gap; "
            "the ring starts afresh at its first frame\n");
  EXPECT_NE(gap.out.find("may have an impact flash 246\n"), std::string::npos) << gap.out;
  EXPECT_NE(read_text("gap/data_dump.txt").find("nframes=290\n"), std::string::npos);
  // A gap right after the flash at 100, in the last half ring of a.ser: the frames before the
  // gap are tested as at the end of a recording, so it is found; 156 and 256 come 10 frames
  // earlier in the numbering.
  write_file("b.ser", ser_part(night, 120, 80));
  write_file("c.ser", ser_part(night, 200, 100));
  const ProgramRun early = vesk("a.ser b.ser c.ser --out early --no-menu --quiet");
  EXPECT_EQ(early.exit_status, 0) << early.err;
  EXPECT_EQ(without_run_end(early.err),
            "b.ser: starts 0.440 s after the last frame of a.ser (frames 0.040 s apart): a gap; "
            "the ring starts afresh at its first frame\n");
  for (const char* flash : {"flash 100\n", "flash 146\n", "flash 246\n"}) {
    EXPECT_NE(early.out.find(flash), std::string::npos) << flash << early.out;
  }
  // On one thread the first frame after the gap is read into the buffer the detector draws in:
  // testing the frames before the gap must not overwrite it.
  const ProgramRun one = vesk("a.ser b.ser c.ser --out one --no-menu --quiet --threads 1");
  EXPECT_EQ(one.exit_status, 0) << one.err;
  for (const char* file : {"flash_info.dat", "data_dump.txt", "flashes.csv", "lightcurves.csv"}) {
    EXPECT_EQ(read_text(std::string("one/") + file), read_text(std::string("early/") + file))
        << file;
  }
  // The flash before the gap is one of the frames tested in the last full ring.
  const std::string early_csv = read_text("early/flashes.csv");
  const std::size_t at = early_csv.find("\n2,100,1,");
  ASSERT_NE(at, std::string::npos) << early_csv;
  const std::string row = early_csv.substr(at + 1, early_csv.find('\n', at + 1) - at - 1);
  EXPECT_NE(row.find(",end,"), std::string::npos) << row;

  // Files of another frame size are refused with one line, before any folder is made.
  write_file("small.ser", ser_part(night, 0, 100));
  std::vector<std::uint8_t> small = read_file("small.ser");
  put_field(small, 26, 160);
  put_field(small, 30, 480);
  write_file("small.ser", small);
  const ProgramRun mixed = vesk("a.ser small.ser --out mixed --no-menu --quiet");
  EXPECT_EQ(mixed.exit_status, 1);
  EXPECT_EQ(mixed.err,
            "small.ser: frames of 160 x 480, not the 320 x 240 of a.ser; files are read as one "
            "recording only when their frames are of one size\n");
  EXPECT_FALSE(fs::exists(in_scratch("mixed")));
}

namespace {

// The 16-bit samples of the mono SER file `ser` (little-endian, as frames_to_ser writes them)
// rewritten frame by frame: `store` turns frame f's sample into the two bytes stored.
void rewrite_samples(
    std::vector<std::uint8_t>& ser,
    const std::function<std::pair<std::uint8_t, std::uint8_t>(int frame, std::uint32_t sample)>&
        store) {
  const std::size_t pixels = static_cast<std::size_t>(get_le32(ser, 26)) * get_le32(ser, 30);
  const int count = get_le32(ser, 38);
  for (int f = 0; f < count; ++f) {
    std::uint8_t* at = ser.data() + kSerHeaderBytes + static_cast<std::size_t>(f) * pixels * 2;
    for (std::size_t i = 0; i < pixels; ++i) {
      const std::uint32_t sample = at[2 * i] | (std::uint32_t{at[2 * i + 1]} << 8);
      std::tie(at[2 * i], at[2 * i + 1]) = store(f, sample);
    }
  }
}

}  // namespace

// A night of 16-bit files is read as its first file is: the byte order and the depth settled on
// that file's first frames hold for every file after it, as they would in one file holding the
// whole night, and the notice of that reading comes once. Each fixture has later files whose own
// first frames would be read otherwise.
TEST(RecordingRun, NightOfFilesIsReadAsItsFirstFile) {
  ScratchDir dir;
  ASSERT_EQ(shell(quoted(kTools + "/make_demo_frames") +
                  " --size 320x240 --frames 300 --flashes 4 --hits 1 --glints 0 --seed 7 demo"),
            0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night8.ser"), 0);
  ASSERT_EQ(shell(quoted(kTools + "/frames_to_ser") + " demo night16.ser --depth 16"), 0);
  const std::vector<std::uint8_t> night8 = read_file("night8.ser");
  const std::vector<std::uint8_t> night16 = read_file("night16.ser");
  using Bytes = std::pair<std::uint8_t, std::uint8_t>;
  auto little = [](std::uint32_t v) { return Bytes(v & 0xff, v >> 8); };
  struct Case {
    const char* name;
    std::function<Bytes(int, std::uint32_t)> store;
    std::string notice;  // the whole night's, naming its first file
  };
  const std::vector<Case> cases = {
      // Samples reaching 12 bits in the first file, under 8 bits in the second: alone, the
      // second would be scaled as 8-bit and come out 16 times brighter.
      {"depth", [&](int f, std::uint32_t v) { return little(f < 110 ? v >> 4 : v >> 8); },
       ": the 16-bit samples use only 12 bits (largest 4095 in the first 4 frames); scaling them "
       "as 12-bit\n"},
      // Big-endian samples under a header saying little-endian. The first file's noisy low bytes
      // show the order; the later files' low bytes are all 128, which looks like an image in
      // either order, so alone they would be read little-endian: flat at grey 128.
      {"byte order",
       [&](int f, std::uint32_t v) { return Bytes(v >> 8, f < 110 ? v & 0xff : 128); },
       ": the samples look like noise in the byte order of the header (little-endian) and like an "
       "image in big-endian in the first 4 frames; reading them big-endian\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> night = night16;
    rewrite_samples(night, c.store);
    write_file("night.ser", night);
    const ProgramRun whole = vesk("night.ser --out whole --replace --no-menu --quiet");
    ASSERT_EQ(whole.exit_status, 0) << whole.err;
    EXPECT_EQ(without_run_end(whole.err), "night.ser" + c.notice);
    write_file("a.ser", ser_part(night, 0, 110));
    write_file("b.ser", ser_part(night, 110, 90));
    write_file("c.ser", ser_part(night, 200, 100));
    // Given out of order: the first by time, a.ser, settles the reading.
    const ProgramRun joined = vesk("c.ser b.ser a.ser --out joined --replace --no-menu --quiet");
    ASSERT_EQ(joined.exit_status, 0) << joined.err;
    EXPECT_EQ(without_run_end(joined.err), "a.ser" + c.notice);
    EXPECT_EQ(joined.out, whole.out);
    EXPECT_EQ(run_results_without_file_columns("joined"),
              run_results_without_file_columns("whole"));
    // From within the second file: still read as the first file is.
    const ProgramRun part =
        vesk("a.ser b.ser c.ser --out part --replace --no-menu --quiet --first 150 --count 120");
    const ProgramRun part_whole =
        vesk("night.ser --out part_whole --replace --no-menu --quiet --first 150 --count 120");
    ASSERT_EQ(part.exit_status, 0) << part.err;
    EXPECT_EQ(part.out, part_whole.out);
    EXPECT_EQ(read_text("part/data_dump.txt"), read_text("part_whole/data_dump.txt"));
  }

  // A later file of another depth is refused with one line, before any folder is made.
  struct Refusal {
    const std::vector<std::uint8_t>* first;
    const std::vector<std::uint8_t>* later;
    std::string message;
  };
  const Refusal refusals[] = {
      {&night8, &night16,
       "b.ser: 16-bit frames; the night's first file, a.ser, has 8-bit frames\n"},
      {&night16, &night8,
       "b.ser: 8-bit frames; the night's first file, a.ser, has 16-bit frames\n"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.message);
    write_file("a.ser", ser_part(*r.first, 0, 110));
    write_file("b.ser", ser_part(*r.later, 110, 90));
    const ProgramRun mixed = vesk("b.ser a.ser --out mixed --no-menu --quiet");
    EXPECT_EQ(mixed.exit_status, 1);
    EXPECT_EQ(mixed.err, r.message);
    EXPECT_FALSE(fs::exists(in_scratch("mixed")));
  }
}
