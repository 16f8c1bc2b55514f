// The run folder is the user's: a run removes or replaces only the names it writes, never through
// a link, names what else it finds, refuses a folder of another recording, never waits on a FIFO,
// and shares the folder with no second run at the same time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kTools = VESK_TOOLS_DIR;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

ProgramRun vesk(const std::string& args) {
  return run_command("timeout 60 " + quoted(VESK_BINARY) + " " + args + " < /dev/null");
}

// Two recordings of 200 demo frames of 160 x 120 each, different seeds: a.ser and b.ser.
void make_recordings() {
  for (const char* name : {"a", "b"}) {
    const std::string seed = name[0] == 'a' ? "1" : "2";
    ASSERT_EQ(run_command(quoted(kTools + "/make_demo_frames") +
                          " --size 160x120 --frames 200 --flashes 2 --hits 0 --glints 0 --seed " +
                          seed + " frames_" + name + " > /dev/null")
                  .exit_status,
              0);
    ASSERT_EQ(run_command(quoted(kTools + "/frames_to_ser") + " frames_" + name + " " + name +
                          ".ser > /dev/null")
                  .exit_status,
              0);
  }
}

// Every name under `folder`, relative to it, with its contents for files: a picture of the folder
// to compare before and after a refused run.
std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(in_scratch(folder))) {
    std::string name = fs::relative(entry.path(), in_scratch(folder)).string();
    if (entry.is_regular_file()) name += ' ' + read_text((fs::path(folder) / name).string());
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

constexpr const char* kRun = "a.ser --no-menu --quiet --out night";

}  // namespace

TEST(RunFolder, OwnNamesClearedOtherFilesKeptAndNamed) {
  ScratchDir dir;
  make_recordings();
  ASSERT_EQ(vesk(kRun).exit_status, 0);
  const std::string log = read_text("night/flash_info.dat");
  // The user's notes and a chapter in review/, a file of theirs in BMP_FLASHES, a stale report
  // image and a stale page of an earlier run, a file of theirs at the top.
  write_text("night/review/notes.txt", "mine\n");
  write_text("night/review/chapter1/draft.txt", "mine\n");
  write_text("night/review/e0099_strip.png", "stale");
  write_text("night/BMP_FLASHES/mine.txt", "mine\n");
  write_text("night/BMP_FLASHES/99999.bmp", "stale");
  write_text("night/BMP_FLASHES/00001.bmp.part", "stale");
  write_text("night/thesis.tex", "mine\n");
  write_text("night/frame_times.csv", "stale\n");
  const ProgramRun again = vesk(kRun);
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(without_run_end(again.err),
            "night: holds files a run does not write, left as they are: thesis.tex\n"
            "BMP_FLASHES: holds files a run does not write, left as they are: mine.txt\n"
            "review: holds files a run does not write, left as they are: chapter1/, notes.txt\n");
  EXPECT_EQ(read_text("night/review/notes.txt"), "mine\n");
  EXPECT_EQ(read_text("night/review/chapter1/draft.txt"), "mine\n");
  EXPECT_EQ(read_text("night/BMP_FLASHES/mine.txt"), "mine\n");
  EXPECT_EQ(read_text("night/thesis.tex"), "mine\n");
  EXPECT_FALSE(fs::exists(in_scratch("night/review/e0099_strip.png")));
  EXPECT_FALSE(fs::exists(in_scratch("night/BMP_FLASHES/99999.bmp")));
  EXPECT_FALSE(fs::exists(in_scratch("night/BMP_FLASHES/00001.bmp.part")));
  EXPECT_NE(read_text("night/frame_times.csv"), "stale\n");
  EXPECT_EQ(read_text("night/flash_info.dat"), log);
  EXPECT_TRUE(fs::exists(in_scratch("night/review/index.html")));
}

TEST(RunFolder, LinkedReviewFolderIsNeverEmptied) {
  ScratchDir dir;
  make_recordings();
  write_text("elsewhere/e0001_strip.png", "theirs");
  write_text("elsewhere/notes.txt", "theirs");
  fs::create_directories(in_scratch("night"));
  fs::create_directory_symlink(in_scratch("elsewhere"), in_scratch("night/review"));
  const ProgramRun run = vesk(kRun);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(without_run_end(run.err),
            "review: a link to another folder; nothing in it is removed\n");
  EXPECT_EQ(read_text("elsewhere/notes.txt"), "theirs");
}

TEST(RunFolder, OneRecordingPerFolder) {
  ScratchDir dir;
  make_recordings();
  ASSERT_EQ(vesk(kRun).exit_status, 0);
  const std::string run_txt = read_text("night/run.txt");
  EXPECT_NE(run_txt.find("Program= vesk\n"), std::string::npos) << run_txt;
  EXPECT_NE(run_txt.find("Recording= a.ser\nRecording_id= a.ser fnv1a64:"), std::string::npos);
  EXPECT_NE(run_txt.find("Options= a.ser --no-menu --quiet --out night\n"), std::string::npos);
  write_text("night/settings.txt", read_text("night/settings.txt") + "\n");  // edited by hand
  const std::vector<std::string> before = listing("night");

  const ProgramRun other = vesk("b.ser --no-menu --quiet --out night");
  EXPECT_EQ(other.exit_status, 1);
  EXPECT_EQ(other.err,
            "night: holds the run of another recording (a.ser, run.txt); choose another --out, or "
            "--replace to start the folder afresh\n");
  EXPECT_EQ(listing("night"), before);

  const std::string settings = read_text("night/settings.txt");
  const ProgramRun replaced = vesk("b.ser --no-menu --quiet --out night --replace");
  EXPECT_EQ(replaced.exit_status, 0) << replaced.err;
  EXPECT_NE(read_text("night/run.txt").find("Recording= b.ser\n"), std::string::npos);
  EXPECT_EQ(read_text("night/settings.txt"), settings);
  // A copy of the recording in another folder, under the same name, is the same recording.
  fs::create_directories(in_scratch("copy"));
  fs::copy_file(in_scratch("b.ser"), in_scratch("copy/b.ser"));
  EXPECT_EQ(vesk("copy/b.ser --no-menu --quiet --out night").exit_status, 0);
}

// run.txt holds every key in order, each program naming itself, its build (as --version says
// it), the recording, the arguments as given and the times; a converted folder has its own.
TEST(RunFolder, RunTxtSaysHowTheFolderWasMade) {
  struct Case {
    const char* program;
    std::string binary;
    std::string args;
    std::string folder;
    std::string options;  // the Options= value
  };
  const std::vector<Case> cases = {
      {"vesk", VESK_BINARY, kRun, "night", "a.ser --no-menu --quiet --out night"},
      {"vesk-frames", VESK_FRAMES_BINARY, "a.ser frames_night --count 70", "frames_night",
       "a.ser frames_night --count 70"},
  };
  ScratchDir dir;
  make_recordings();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const ProgramRun version = run_command(quoted(c.binary) + " --version");
    ASSERT_EQ(version.exit_status, 0);
    const ProgramRun run =
        run_command("timeout 60 " + quoted(c.binary) + " " + c.args + " < /dev/null > /dev/null");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    std::vector<std::pair<std::string, std::string>> lines;
    const std::string text = read_text(c.folder + "/run.txt");
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      const std::string line = text.substr(at, end - at);
      const std::size_t eq = line.find("= ");
      ASSERT_NE(eq, std::string::npos) << line;
      lines.emplace_back(line.substr(0, eq), line.substr(eq + 2));
      at = end + 1;
    }
    const std::vector<std::string> keys = {"Program",      "Version", "Commit",  "Recording",
                                           "Recording_id", "Options", "Started", "Ended"};
    ASSERT_EQ(lines.size(), keys.size()) << text;
    for (std::size_t k = 0; k < keys.size(); ++k) EXPECT_EQ(lines[k].first, keys[k]) << text;
    EXPECT_EQ(lines[0].second, c.program);
    EXPECT_EQ(version.out, std::string(c.program) + " " + lines[1].second + " (commit " +
                               lines[2].second + ")\n");
    EXPECT_EQ(lines[3].second, "a.ser");
    EXPECT_TRUE(lines[4].second.starts_with("a.ser fnv1a64:")) << lines[4].second;
    EXPECT_EQ(lines[5].second, c.options);
    for (std::size_t k : {6, 7}) {
      EXPECT_EQ(lines[k].second.size(), 20u) << lines[k].second;  // 2026-12-10T18:40:00Z
      EXPECT_TRUE(lines[k].second.ends_with("Z")) << lines[k].second;
    }
    EXPECT_LE(lines[6].second, lines[7].second);
  }
  // vesk running in the converted folder leaves its run.txt as vesk-frames wrote it.
  const std::string converted = read_text("frames_night/run.txt");
  const ProgramRun in_folder =
      run_command("cd " + quoted(in_scratch("frames_night").string()) + " && timeout 60 " +
                  quoted(VESK_BINARY) + " --no-menu --quiet < /dev/null > /dev/null");
  EXPECT_EQ(in_folder.exit_status, 0) << in_folder.err;
  EXPECT_EQ(read_text("frames_night/run.txt"), converted);
}

TEST(RunFolder, NonRegularNamesRefusedWithoutWaiting) {
  ScratchDir dir;
  make_recordings();
  struct Row {
    const char* name;     // made a FIFO in the run folder
    std::string message;  // on standard error, exit 1
  };
  const std::vector<Row> rows = {
      {"flash_info.dat",
       "flash_info.dat: a FIFO, not a file a run writes; remove it or choose another folder\n"},
      {"flashes.csv",
       "flashes.csv: a FIFO, not a file a run writes; remove it or choose another folder\n"},
      {"data_dump.txt",
       "data_dump.txt: a FIFO, not a file a run writes; remove it or choose another folder\n"},
      {"data_dump.txt.part",
       "data_dump.txt.part: a FIFO, not a file a run writes; remove it or choose another "
       "folder\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(in_scratch("night"));
    fs::create_directories(in_scratch("night"));
    ASSERT_EQ(mkfifo(in_scratch(std::string("night/") + row.name).c_str(), 0644), 0);
    const ProgramRun run = vesk(kRun);
    EXPECT_EQ(run.exit_status, 1);  // timeout's 124 when it waited
    EXPECT_EQ(run.err, row.message);
  }
  // In a frame folder (vesk without arguments) too.
  fs::remove(in_scratch("frames_a/data_dump.txt"));
  ASSERT_EQ(mkfifo(in_scratch("frames_a/data_dump.txt").c_str(), 0644), 0);
  const ProgramRun folder =
      run_command("cd frames_a && timeout 60 " + quoted(VESK_BINARY) + " < /dev/null > /dev/null");
  EXPECT_EQ(folder.exit_status, 1);
  EXPECT_EQ(folder.err,
            "data_dump.txt: a FIFO, not a file a run writes; remove it or choose another folder\n");
  // A FIFO as the recording.
  ASSERT_EQ(mkfifo(in_scratch("live.ser").c_str(), 0644), 0);
  const ProgramRun fifo = vesk("live.ser --no-menu --out live");
  EXPECT_EQ(fifo.exit_status, 1);
  EXPECT_EQ(fifo.err, "live.ser: not a regular file; a recording is read from a file\n");
  EXPECT_FALSE(fs::exists(in_scratch("live")));
}

TEST(RunFolder, SecondRunAtOnceIsRefused) {
  ScratchDir dir;
  make_recordings();
  ASSERT_EQ(vesk(kRun).exit_status, 0);
  const std::string log = read_text("night/flash_info.dat");
  // This test holds the folder's lock as a running vesk would.
  const int fd = ::open(in_scratch("night").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const std::string busy =
      ": another run (vesk, vesk-tune or vesk-review) is using this folder; wait for it to end or "
      "choose another folder\n";
  const ProgramRun second = vesk(kRun);
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(second.err, std::string("night") + busy);
  const ProgramRun review = run_command(quoted(VESK_REVIEW_BINARY) + " night");
  EXPECT_EQ(review.exit_status, 1);
  EXPECT_EQ(review.err, std::string("night") + busy);
  ::close(fd);  // the lock goes with the descriptor, as it goes with a killed process
  EXPECT_EQ(read_text("night/flash_info.dat"), log);
  EXPECT_EQ(vesk(kRun).exit_status, 0);
}

namespace {

// A SER file of `frames` frames of width x height (ColorID `colour`, `depth` bits), its frames
// left as a hole: the file is sparse, so even a huge one costs nothing on disk.
void write_sparse_ser(const std::string& name, int width, int height, int colour, int depth,
                      int frames) {
  std::vector<std::uint8_t> header(178, 0);
  const std::string signature = "LUCAM-RECORDER";
  std::copy(signature.begin(), signature.end(), header.begin());
  auto put = [&](std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) header[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  put(18, static_cast<std::uint32_t>(colour));
  put(22, 0);
  put(26, static_cast<std::uint32_t>(width));
  put(30, static_cast<std::uint32_t>(height));
  put(34, static_cast<std::uint32_t>(depth));
  put(38, static_cast<std::uint32_t>(frames));
  write_file(name, header);
  const std::uint64_t samples =
      static_cast<std::uint64_t>(width) * height * (colour >= 100 ? 3 : 1);
  fs::resize_file(in_scratch(name),
                  178 + samples * (depth > 8 ? 2 : 1) * static_cast<std::uint64_t>(frames));
}

}  // namespace

// Sizes are checked before memory is taken: under an address-space limit of 200 MB the run is
// refused with one line, never killed or crashed.
TEST(RunFolder, MemoryCheckedBeforeItIsTaken) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit and AddressSanitizer do not mix";
#endif
  ScratchDir dir;
  write_sparse_ser("huge.ser", 32768, 32768, 100, 16, 1);  // one frame of 6 GiB
  write_sparse_ser("wide.ser", 4096, 4096, 0, 8, 100);     // a ring of 60 frames of 16 MiB
  write_sparse_ser("small.ser", 640, 480, 0, 8, 100);
  struct Row {
    const char* name;
    std::string args;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"one frame larger than the limit", "huge.ser",
       "huge.ser: one frame needs 6144 MiB, more than the 200 MiB of the address-space limit\n"},
      {"a ring larger than the limit", "wide.ser",
       "the run (a ring of 60 frames of 4096 x 4096) needs 1296 MiB, more than the 200 MiB of "
       "the address-space limit; lower Images_in_buffer or give a larger --max-memory\n"},
      {"a ring larger than --max-memory", "small.ser --max-memory 16M",
       "the run (a ring of 60 frames of 640 x 480) needs 24 MiB, more than the 16 MiB of "
       "--max-memory; lower Images_in_buffer or give a larger --max-memory\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ProgramRun run =
        run_command("ulimit -v 204800; " + quoted(VESK_BINARY) + " " + row.args +
                    " --no-menu --quiet --threads 1 --out run" +
                    std::to_string(&row - rows.data()) + " < /dev/null > /dev/null");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, row.message);
  }
}
