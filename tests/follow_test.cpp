// vesk --follow beside a capture program: a writer process appends frames with flashes to a SER
// file at 50 frames per second while vesk follows it. Every flash is found while the file is
// written, the finished run folder is that of a run over the finished file, a signal ends the run
// with its outputs whole, and the next file of the numbering is followed on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "formats/flashes_csv.h"
#include "sources/ser.h"
#include "sources/ser_follow.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string kTools = VESK_TOOLS_DIR;

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

// A program started in the scratch folder with its output to files; killed and reaped when the
// test leaves early.
struct Child {
  pid_t pid = -1;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  bool running() {
    int status = 0;
    if (pid <= 0) return false;
    if (waitpid(pid, &status, WNOHANG) == 0) return true;
    pid = -1;
    exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }
  // Waits up to `seconds` for the child to end; its exit status (-1 when it died of a signal,
  // -2 when it did not end in time).
  int wait(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (running()) {
      if (std::chrono::steady_clock::now() > until) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exit_status;
  }
  int exit_status = -2;
};

// Starts `argv` in the scratch folder, standard output and error to `name`.out and `name`.err.
pid_t start(const std::vector<std::string>& argv, const std::string& name) {
  const std::string folder = scratch_folder().string();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(folder.c_str()) != 0) _exit(127);
  const int in = open("/dev/null", O_RDONLY);
  const int out = open((name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

pid_t start_writer(const std::string& from, const std::string& to, const std::string& fps,
                   bool close = true) {
  std::vector<std::string> argv = {kTools + "/ser_writer", from, to, "--fps", fps};
  if (!close) argv.push_back("--no-close");
  return start(argv, "writer");
}

pid_t start_follow(const std::string& recording, const std::string& out, const std::string& idle) {
  return start(
      {VESK_BINARY, recording, "--follow", "--idle", idle, "--out", out, "--no-menu", "--quiet"},
      "follow");
}

// The first frames of the events of `folder`/flashes.csv, in file order (empty while it is not
// there or not readable).
std::vector<std::int64_t> event_frames(const std::string& folder) {
  std::vector<FlashRow> rows;
  std::string error;
  std::vector<std::int64_t> frames;
  if (!read_flashes_csv(in_scratch(folder + "/flashes.csv"), rows, &error)) return frames;
  for (const FlashRow& row : rows) frames.push_back(row.frame);
  return frames;
}

bool contains(const std::vector<std::int64_t>& frames, std::int64_t frame) {
  return std::find(frames.begin(), frames.end(), frame) != frames.end();
}

// Every file of a run folder by its name there, but run.txt (its start and end times and
// options differ by nature). The review page's run line names the folder and the time it was
// built: those are taken out.
std::map<std::string, std::string> folder_files(const std::string& folder) {
  std::map<std::string, std::string> files;
  const fs::path root = in_scratch(folder);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = fs::relative(entry.path(), root).string();
    if (name == "run.txt") continue;
    std::string text = read_text(entry.path().string());
    if (name.starts_with("review/") && (name.ends_with(".html") || name.ends_with(".js"))) {
      static const std::regex run_line(
          "\"id\":\"[0-9a-f]+\",\"folder\":\"[^\"]*\",\"path\":\"[^\"]*\",\"built\":\"[^\"]*\"");
      text = std::regex_replace(text, run_line, "RUN");
    }
    files[name] = text;
  }
  return files;
}

// 400 frames of 320 x 240 with flashes as night.ser, and a run over it into `whole`; the first
// frames of its events.
std::vector<std::int64_t> make_night(int frames = 400) {
  EXPECT_EQ(run_command(quoted(kTools + "/make_demo_frames") + " --size 320x240 --frames " +
                        std::to_string(frames) +
                        " --flashes 4 --hits 1 --glints 0 --seed 7 demo > /dev/null")
                .exit_status,
            0);
  EXPECT_EQ(run_command(quoted(kTools + "/frames_to_ser") + " demo night.ser").exit_status, 0);
  const ProgramRun whole =
      run_command(quoted(VESK_BINARY) + " night.ser --out whole --no-menu --quiet < /dev/null");
  EXPECT_EQ(whole.exit_status, 0) << whole.err;
  write_text("whole.out", whole.out);
  return event_frames("whole");
}

}  // namespace

TEST(Follow, FindsEveryFlashWhileWrittenAndEndsAsTheFinishedFile) {
  ScratchDir dir;
  const std::vector<std::int64_t> flashes = make_night();
  ASSERT_GE(flashes.size(), 3u);
  Child writer{start_writer("night.ser", "night_0001.ser", "50")};
  Child vesk{start_follow("night_0001.ser", "live", "2")};
  // Each flash is waited for with a generous timeout; those well before the end of the file
  // (more than 2 s of frames) must be in flashes.csv while the writer is still writing. The run
  // ids of the review pages written meanwhile are noted: one run, one id, or a page open during
  // the run would drop its decisions at each new page.
  std::set<std::string> run_ids;
  const auto note_run_id = [&run_ids](const std::string& page) {
    static const std::regex id("\"run\":\\{\"id\":\"([0-9a-f]+)\"");
    std::smatch match;
    if (std::regex_search(page, match, id)) run_ids.insert(match[1].str());
  };
  for (const std::int64_t frame : flashes) {
    bool found = false;
    bool writing = false;
    for (int i = 0; i < 6000 && !found; ++i) {
      writing = writer.running();
      if (fs::exists(in_scratch("live/review/events.js"))) {
        note_run_id(read_text("live/review/events.js"));
      }
      found = contains(event_frames("live"), frame);
      if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(found) << "flash at frame " << frame;
    if (frame < 400 - 100) {
      EXPECT_TRUE(writing) << "flash at frame " << frame;
    }
  }
  EXPECT_EQ(writer.wait(60), 0) << read_text("writer.err");
  EXPECT_EQ(vesk.wait(60), 0) << read_text("follow.err");
  EXPECT_EQ(without_run_end(read_text("follow.err")),
            "night_0001.ser: closed after 400 frames; night_0002.ser is followed next when it "
            "comes within 2 s\n");
  note_run_id(read_text("live/review/events.js"));
  EXPECT_EQ(run_ids.size(), 1u) << run_ids.size() << " run ids";
  // The catalogue got its times from the trailer at the close: the folder is the finished
  // file's, frame times included.
  // (but for the file each frame lies in: night_0001.ser, not night.ser).
  std::map<std::string, std::string> live = folder_files("live");
  std::map<std::string, std::string> whole = folder_files("whole");
  for (auto* files : {&live, &whole}) {
    for (const char* name : {"flashes.csv", "frame_times.csv"}) {
      (*files)[name] = without_file_columns((*files)[name]);
    }
  }
  EXPECT_EQ(live, whole);
  EXPECT_NE(read_text("live/flashes.csv").find(",2024-03-15T21:04:"), std::string::npos);
  EXPECT_NE(read_text("live/frame_times.csv").find(",trailer,night_0001.ser,399\n"),
            std::string::npos);
  EXPECT_EQ(read_text("follow.out"), read_text("whole.out"));
}

// What a terminal shows of `bytes`: each "\r" takes the cursor back to the line's start, where
// what follows overwrites; each "\n" ends the line (trailing blanks dropped). The line still
// open at the end is the last one, empty when the bytes ended with a newline.
std::vector<std::string> terminal_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t cursor = 0;
  const auto commit = [&] {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
    line.clear();
    cursor = 0;
  };
  for (const char c : bytes) {
    if (c == '\r') {
      cursor = 0;
    } else if (c == '\n') {
      commit();
    } else {
      if (cursor < line.size()) {
        line[cursor] = c;
      } else {
        line += c;
      }
      ++cursor;
    }
  }
  commit();
  return lines;
}

TEST(Follow, TerminalShowsOneLiveLineAndWholeMessageLines) {
  ScratchDir dir;
  const std::vector<std::int64_t> flashes = make_night();
  ASSERT_GE(flashes.size(), 3u);
  Child writer{start_writer("night.ser", "night_0001.ser", "100")};
  // vesk on a pseudo-terminal, standard output and error both, as in a terminal window.
  const std::string folder = scratch_folder().string();
  int master = -1;
  Child vesk;
  vesk.pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(vesk.pid, 0);
  if (vesk.pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    execl(VESK_BINARY, VESK_BINARY, "night_0001.ser", "--follow", "--idle", "2", "--out", "live",
          "--no-menu", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string bytes;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (std::chrono::steady_clock::now() < until) {
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // the terminal closes (EIO) when vesk has ended
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  close(master);
  EXPECT_EQ(vesk.wait(30), 0) << bytes;
  EXPECT_EQ(writer.wait(30), 0);
  // The line was rewritten in place as the frames came, a few times a second at most: 400 frames
  // at 100 frames/s give at most about 20 drawings.
  std::size_t drawn = 0;
  for (std::size_t at = bytes.find("\r"); at != std::string::npos; at = bytes.find("\r", at + 1)) {
    if (bytes.compare(at, 2, "\r\n") != 0 && bytes.compare(at, 2, "\r ") != 0) ++drawn;
  }
  EXPECT_GE(drawn, 4u) << bytes;
  EXPECT_LE(drawn, 60u) << bytes;
  // Every line the terminal shows is whole: a live line, a report's notice, the messages and the
  // banner, none written over another.
  const std::regex live(
      "[0-9 ]+ frames? tested(, [0-9]+\\.[0-9] frames/s)?, [0-9 ]+ frames?( \\([0-9.]+ s\\))? "
      "behind the writer, [0-9]+ events?");
  const std::regex notice("Video Frame= [0-9]+ may have an impact flash [0-9]+");
  const std::vector<std::string> lines = terminal_lines(bytes);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "") << "the live line ends with a newline";
  int notices = 0;
  std::string last_live;
  bool closed = false;
  bool run_end = false;
  for (const std::string& line : lines) {
    if (line.starts_with("run: ")) {
      // The run's closing lines come after the live line has ended.
      if (line == "run: 400 frames read, 400 tested") run_end = true;
      EXPECT_FALSE(last_live.empty()) << line;
    } else if (line.find("tested") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, live)) << line;
      last_live = line;
    } else if (line.find("Video Frame") != std::string::npos) {
      EXPECT_TRUE(std::regex_match(line, notice)) << line;
      ++notices;
    } else if (line.find("closed after") != std::string::npos) {
      EXPECT_EQ(line,
                "night_0001.ser: closed after 400 frames; night_0002.ser is followed next when "
                "it comes within 2 s");
      closed = true;
    }
  }
  EXPECT_TRUE(closed) << bytes;
  EXPECT_TRUE(run_end) << bytes;
  EXPECT_GE(notices, static_cast<int>(flashes.size()));
  // The last line left standing counts the whole recording and every event.
  EXPECT_TRUE(last_live.starts_with("400 frames tested")) << last_live;
  EXPECT_TRUE(last_live.ends_with(", " + std::to_string(flashes.size()) + " events")) << last_live;
  // No per-frame lines while the live line shows.
  EXPECT_EQ(bytes.find("Processing frame"), std::string::npos);
  // The same folder as the finished file's, but for the file each frame lies in.
  std::map<std::string, std::string> live_files = folder_files("live");
  std::map<std::string, std::string> whole_files = folder_files("whole");
  for (auto* files : {&live_files, &whole_files}) {
    for (const char* name : {"flashes.csv", "frame_times.csv"}) {
      (*files)[name] = without_file_columns((*files)[name]);
    }
  }
  EXPECT_EQ(live_files, whole_files);
}

TEST(Follow, SignalEndsTheRunWithItsOutputsWhole) {
  ScratchDir dir;
  const std::vector<std::int64_t> flashes = make_night();
  ASSERT_GE(flashes.size(), 2u);
  Child writer{start_writer("night.ser", "night.ser.part", "50", false)};
  // The writer's file is followed under a name of its own, as a capture program's file would be.
  Child vesk{start_follow("night.ser.part", "live", "30")};
  bool found = false;
  for (int i = 0; i < 6000 && !found; ++i) {
    found = contains(event_frames("live"), flashes[0]);
    if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(found);
  ASSERT_EQ(kill(vesk.pid, SIGINT), 0);
  EXPECT_EQ(vesk.wait(60), 0) << read_text("follow.err");
  const std::string err = without_run_end(read_text("follow.err"));
  EXPECT_TRUE(std::regex_match(err, std::regex("stopped by a signal after [0-9]+ frames; "
                                               "flash_info.dat, data_dump.txt and the review page "
                                               "cover them\n")))
      << err;
  // Every output closed whole: the catalogue readable to its last line, the log a prefix of the
  // finished file's in whole records, the summary and the page written.
  std::vector<FlashRow> rows;
  std::string error;
  EXPECT_TRUE(read_flashes_csv(in_scratch("live/flashes.csv"), rows, &error)) << error;
  EXPECT_GE(rows.size(), 1u);
  const std::string log = read_text("live/flash_info.dat");
  const std::string full = read_text("whole/flash_info.dat");
  EXPECT_EQ(full.substr(0, log.size()), log);
  EXPECT_EQ(log.back(), '\n');
  EXPECT_NE(read_text("live/data_dump.txt").find("nframes="), std::string::npos);
  EXPECT_TRUE(fs::exists(in_scratch("live/review/index.html")));
}

TEST(Follow, FileLeftOpenEndsAfterIdleTimeWithoutTimes) {
  ScratchDir dir;
  make_night(200);
  Child writer{start_writer("night.ser", "cut.ser", "1000", false)};
  Child vesk{start_follow("cut.ser", "live", "1")};
  EXPECT_EQ(writer.wait(60), 0) << read_text("writer.err");
  EXPECT_EQ(vesk.wait(60), 0) << read_text("follow.err");
  EXPECT_EQ(without_run_end(read_text("follow.err")),
            "cut.ser: no new frame for 1 s (--idle) and its header's frame count is still 0, as "
            "the capture program leaves it until it closes the file; the run ends after 200 "
            "frames, without their times\n");
  // The same detections; only the times are missing.
  EXPECT_EQ(read_text("live/flash_info.dat"), read_text("whole/flash_info.dat"));
  EXPECT_EQ(read_text("live/data_dump.txt"), read_text("whole/data_dump.txt"));
  EXPECT_FALSE(fs::exists(in_scratch("live/frame_times.csv")));
}

namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// Frames [first, first + count) of the SER file `whole` (with a trailer) as a SER file of their
// own.
std::vector<std::uint8_t> ser_part(const std::vector<std::uint8_t>& whole, int first, int count) {
  const std::size_t frame = std::size_t{le32(whole, 26)} * le32(whole, 30);
  const std::size_t total = le32(whole, 38);
  const std::size_t n = static_cast<std::size_t>(count);
  const std::size_t from = static_cast<std::size_t>(first);
  std::vector<std::uint8_t> part(kSerHeaderBytes + n * frame + n * 8);
  std::copy_n(whole.data(), kSerHeaderBytes, part.data());
  std::copy_n(whole.data() + kSerHeaderBytes + from * frame, n * frame,
              part.data() + kSerHeaderBytes);
  std::copy_n(whole.data() + kSerHeaderBytes + total * frame + from * 8, n * 8,
              part.data() + kSerHeaderBytes + n * frame);
  for (int i = 0; i < 4; ++i)
    part[38 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (8 * i));
  return part;
}

}  // namespace

TEST(Follow, NextFileOfTheNumberingFollowsOn) {
  ScratchDir dir;
  make_night(300);
  const std::vector<std::uint8_t> night = read_file("night.ser");
  write_file("a.ser", ser_part(night, 0, 110));
  write_file("b.ser", ser_part(night, 110, 190));
  // The night followed as its files are written, then read as one from the finished files.
  const std::string writer = quoted(kTools + "/ser_writer");
  Child writing{start({"/bin/sh", "-c",
                       writer + " a.ser n_09.ser --fps 200 && sleep 0.3 && " + writer +
                           " b.ser n_10.ser --fps 200"},
                      "writer")};
  Child vesk{start_follow("n_09.ser", "live", "2")};
  EXPECT_EQ(writing.wait(60), 0) << read_text("writer.err");
  EXPECT_EQ(vesk.wait(60), 0) << read_text("follow.err");
  EXPECT_EQ(
      without_run_end(read_text("follow.err")),
      "n_09.ser: closed after 110 frames; n_10.ser is followed next when it comes within 2 s\n"
      "n_10.ser: follows on from n_09.ser at frame 110\n"
      "n_10.ser: closed after 190 frames; n_11.ser is followed next when it comes within "
      "2 s\n");
  const ProgramRun finished = run_command(
      quoted(VESK_BINARY) + " n_09.ser n_10.ser --out set --no-menu --quiet < /dev/null");
  EXPECT_EQ(finished.exit_status, 0) << finished.err;
  EXPECT_EQ(folder_files("live"), folder_files("set"));
  EXPECT_NE(read_text("live/frame_times.csv").find(",trailer,n_10.ser,0\n"), std::string::npos);
}

TEST(Follow, RefusesWhatCannotBeFollowed) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo(in_scratch("pipe.ser").c_str(), 0644), 0);
  write_text("clip.avi",
             "not a SER file at all, and long enough to hold a SER header's bytes; "
             "not a SER file at all, and long enough to hold a SER header's bytes; "
             "not a SER file at all, and long enough to hold a SER header's bytes");
  struct Case {
    std::string args;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"pipe.ser --follow", "pipe.ser: not a regular file; a recording is read from a file\n"},
      {"clip.avi --follow",
       "--follow: clip.avi is not a SER recording; only SER files are followed\n"},
      {"missing.ser --follow --idle 0.2",
       "missing.ser: no whole frame written within 0.2 s (--idle); nothing to follow\n"},
  };
  for (const Case& c : cases) {
    const ProgramRun run =
        run_command("timeout 20 " + quoted(VESK_BINARY) + " " + c.args + " --no-menu < /dev/null");
    EXPECT_EQ(run.exit_status, 1) << c.args;
    EXPECT_EQ(run.err, c.error) << c.args;
  }
}

TEST(Follow, NextFileByTheLastNumberInItsName) {
  const struct {
    const char* path;
    const char* next;
  } cases[] = {
      {"night_0001.ser", "night_0002.ser"},
      {"night_0009.ser", "night_0010.ser"},
      {"runs/Moon-99.ser", "runs/Moon-100.ser"},
      {"2024_03_15-2104_7.ser", "2024_03_15-2104_8.ser"},
      {"12_34_56.ser", "12_34_57.ser"},
      {"night.ser", ""},
      {"cam2/night.ser", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(next_numbered_file(c.path), c.next) << c.path;
}
