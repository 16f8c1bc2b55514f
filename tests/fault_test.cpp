// Faults during a run that hold even for root: a flash log on a full disk, a run killed midway,
// report images that cannot be created or written. Nothing the run found before may be lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kImagesInBuffer = 8;
constexpr const char* kLogHeader =
    "Frame Flashes sample line scatter bckgrnd bckgrnd_sigma signal time_back time_sigma "
    "time_signal\n";

// Frame `number`: a grey field with a little fixed noise and, in every seventh frame, a bright
// 2 x 2 spot that the detector reports.
std::vector<std::uint8_t> sequence_frame(int number) {
  std::vector<std::uint8_t> pixels(kWidth * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] =
        static_cast<std::uint8_t>(98 + (i * 31 + static_cast<std::size_t>(number) * 17) % 5);
  }
  if (number % 7 == 3) {
    const int x = 16 + number % 29;
    const int y = 14 + number % 17;
    for (int dy = 0; dy < 2; ++dy) {
      for (int dx = 0; dx < 2; ++dx) pixels[(y + dy) * kWidth + x + dx] = 220;
    }
  }
  return pixels;
}

// A run folder with frames 0 to frames - 1 of the sequence.
void make_sequence(int frames) {
  make_run_folder(settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 10, 10, 10, 10, 95.0f, 0,
                                kImagesInBuffer));
  for (int f = 0; f < frames; ++f) write_raw_frame(f, kWidth, kHeight, sequence_frame(f));
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? end : end - at + 1));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

// The flash log of an undisturbed run over `frames` frames, and its notices.
struct FullRun {
  std::string log;
  std::string out;
};
FullRun full_run(int frames) {
  ScratchDir dir;
  make_sequence(frames);
  const ProgramRun run = run_vesk_program("0\n");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(without_run_end(run.err), "");
  return {read_text("flash_info.dat"), run.out};
}

// Header plus the records of `log` whose frame number is below `first_frame_not_tested`.
std::string log_before(const std::string& log, int first_frame_not_tested) {
  std::string kept;
  for (const std::string& line : lines_of(log)) {
    if (line == kLogHeader || std::stoi(line) < first_frame_not_tested) kept += line;
  }
  return kept;
}

// Copies everything from `from` into the file `path` until the writing end closes.
void copy_pipe_to_file(int from, const char* path) {
  const int to = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char buffer[4096];
  for (ssize_t got; (got = read(from, buffer, sizeof buffer)) > 0;) {
    if (to >= 0 && write(to, buffer, static_cast<std::size_t>(got)) != got) break;
  }
  if (to >= 0) close(to);
}

// vesk started in the scratch folder with "0" as its console, output to files. A `file_limit`
// above 0 caps the size of every file it writes (RLIMIT_FSIZE, the fault of a full disk that
// also holds for root); its console text then goes to /dev/null and its messages through a pipe
// to err.txt, which the cap does not reach. The returned process ends with vesk's exit status.
pid_t start_vesk(rlim_t file_limit = 0) {
  write_text("console.txt", "0\n");
  // vesk without arguments works in its working folder: the child's is the scratch folder.
  const std::string folder = scratch_folder().string();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(folder.c_str()) != 0) _exit(127);
  int messages[2] = {-1, -1};
  if (file_limit > 0 && pipe(messages) != 0) _exit(127);
  const pid_t vesk = file_limit > 0 ? fork() : 0;
  if (vesk > 0) {  // the copier: messages to err.txt, then vesk's exit status as its own
    close(messages[1]);
    copy_pipe_to_file(messages[0], "err.txt");
    int status = 0;
    if (waitpid(vesk, &status, 0) != vesk) _exit(127);
    if (WIFSIGNALED(status)) kill(getpid(), WTERMSIG(status));
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
  }
  if (vesk < 0) _exit(127);
  if (file_limit > 0) {
    const rlimit limit{file_limit, file_limit};
    // Ignored, SIGXFSZ no longer kills the writer: the write fails with EFBIG instead.
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  }
  const int in = open("console.txt", O_RDONLY);
  const int out = file_limit > 0 ? open("/dev/null", O_WRONLY)
                                 : open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err =
      file_limit > 0 ? messages[1] : open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) _exit(127);
  if (file_limit > 0) close(messages[0]);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  execl(VESK_BINARY, VESK_BINARY, static_cast<char*>(nullptr));
  _exit(127);
}

// Kills and reaps the child when a failed assertion leaves the test early, so that no vesk is
// left waiting at its FIFO.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // Sends `signal` and reaps the child; its wait status.
  int stop(int signal) {
    int status = 0;
    EXPECT_EQ(kill(pid, signal), 0);
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    pid = -1;
    return status;
  }
};

// Waits until flash_info.dat holds at least `records` records; false after 60 s.
bool wait_for_records(std::size_t records) {
  for (int i = 0; i < 60000; ++i) {
    if (fs::exists(in_scratch("flash_info.dat")) &&
        lines_of(read_text("flash_info.dat")).size() > records) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace

struct OutputFileFault {
  const char* name;
  void (*prepare)();
  std::string err;
  bool log_complete;  // flash_info.dat holds every record of an undisturbed run
};

// The run's own output files where they cannot be written: one message, exit status 1, and
// whatever could be written is complete.
TEST(Fault, RunOutputFileThatCannotBeWrittenGivesOneMessageAndExitStatus1) {
  constexpr int kFrames = 30;
  const FullRun full = full_run(kFrames);
  const std::vector<OutputFileFault> faults = {
      {"flash_info.dat on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("flash_info.dat")); },
       "flash_info.dat: write failed: No space left on device\n", false},
      {"flash_info.dat a folder", [] { fs::create_directory(in_scratch("flash_info.dat")); },
       "flash_info.dat: cannot open: Is a directory\n", false},
      // data_dump.txt is written whole under its temporary name and renamed.
      {"data_dump.txt on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("data_dump.txt.part")); },
       "data_dump.txt.part: write failed: No space left on device\n", true},
      {"data_dump.txt a folder", [] { fs::create_directory(in_scratch("data_dump.txt")); },
       "data_dump.txt: cannot rename the finished file: Is a directory\n", true},
      {"flashes.csv on a full disk",
       [] { fs::create_symlink("/dev/full", in_scratch("flashes.csv")); },
       "flashes.csv: write failed: No space left on device\n"
       "flashes.csv: not a regular file; no review page\n",
       true},
      {"lightcurves.csv a folder", [] { fs::create_directory(in_scratch("lightcurves.csv")); },
       "lightcurves.csv: cannot open: Is a directory\n"
       "lightcurves.csv: not a regular file; no review page\n",
       true},
  };
  for (const OutputFileFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    ScratchDir dir;
    make_sequence(kFrames);
    fault.prepare();
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(without_run_end(run.err), fault.err);
    if (fault.log_complete) {
      EXPECT_EQ(read_text("flash_info.dat"), full.log);
      EXPECT_EQ(run.out, full.out);
    }
  }
}

// The disk fills up after the third record: the record that does not fit ends the run with one
// message and exit status 1, and the log keeps every byte that could be written.
TEST(Fault, FlashLogFullMidwayStopsTheRunWithOneMessage) {
  constexpr int kFrames = 60;
  const FullRun full = full_run(kFrames);
  const std::vector<std::string> records = lines_of(full.log);
  ASSERT_GE(records.size(), 5u);
  const std::size_t limit = records[0].size() + records[1].size() + records[2].size() +
                            records[3].size() + records[4].size() / 2;

  ScratchDir dir;
  make_sequence(kFrames);
  const pid_t pid = start_vesk(limit);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(read_text("flash_info.dat"), full.log.substr(0, limit));
  // Report images are larger than the cap, so each of the four frames reports its own.
  std::string expected_err;
  for (std::size_t i = 1; i <= 4; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "BMP_FLASHES/%05d.bmp", std::stoi(records[i]));
    expected_err += std::string(name) + ": write failed: File too large\n";
  }
  expected_err += "flash_info.dat: write failed: File too large\n";
  // The flash catalogue's two files fill up too; each says so once, where its line falls. The
  // review pictures and page, larger than the cap, are lost one by one with a line each.
  std::string err;
  std::vector<std::string> catalogue_err;
  int review_lines = 0;
  for (const std::string& line : lines_of(without_run_end(read_text("err.txt")))) {
    if (line.rfind("flashes.csv: ", 0) == 0 || line.rfind("lightcurves.csv: ", 0) == 0) {
      catalogue_err.push_back(line);
    } else if (line.rfind("review/", 0) == 0 || line.ends_with("; no review page\n")) {
      ++review_lines;
    } else {
      err += line;
    }
  }
  EXPECT_GT(review_lines, 0);
  EXPECT_EQ(err, expected_err);
  std::sort(catalogue_err.begin(), catalogue_err.end());
  EXPECT_EQ(catalogue_err,
            (std::vector<std::string>{"flashes.csv: write failed: File too large\n",
                                      "lightcurves.csv: write failed: File too large\n"}));
  EXPECT_FALSE(fs::exists(in_scratch("data_dump.txt")));
}

// The run is stopped (SIGSTOP) midway, once the records of the first frames are in, and then
// interrupted or killed: the log keeps every record written before the signal, in whole records,
// exactly as the undisturbed run wrote them.
TEST(Fault, RunKilledMidwayKeepsEveryRecordOfTheFramesAcceptedBeforeIt) {
  constexpr int kFrames = 160;
  constexpr int kEarlyFrame = 120;
  const FullRun full = full_run(kFrames);
  const std::string expected = log_before(full.log, kEarlyFrame - kImagesInBuffer / 2);
  ASSERT_GE(lines_of(expected).size(), 10u) << "the sequence must give records before the stop";
  ASSERT_LT(expected.size(), full.log.size()) << "and records after it";

  for (const int signal : {SIGKILL}) {
    SCOPED_TRACE("SIGKILL");
    ScratchDir dir;
    make_sequence(kFrames);
    ChildGuard vesk{start_vesk()};
    ASSERT_GT(vesk.pid, 0);
    ASSERT_TRUE(wait_for_records(lines_of(expected).size() - 1));
    ASSERT_EQ(kill(vesk.pid, SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string at_stop = read_text("flash_info.dat");
    ASSERT_EQ(kill(vesk.pid, signal), 0);
    ASSERT_EQ(kill(vesk.pid, SIGCONT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(vesk.pid, &status, 0), vesk.pid);
    vesk.pid = -1;
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string log = read_text("flash_info.dat");
    EXPECT_EQ(log, at_stop);
    EXPECT_EQ(log.substr(0, expected.size()), expected);
    EXPECT_EQ(full.log.substr(0, log.size()), log);
    EXPECT_EQ(log.back(), '\n');
  }
}

// Killed at whatever point it has reached once the first records are in: the log is then a
// prefix of the undisturbed run's log, in whole records.
TEST(Fault, RunKilledAtAnyPointLeavesWholeRecordsOfTheUndisturbedRun) {
  constexpr int kFrames = 400;
  const FullRun full = full_run(kFrames);
  for (const std::size_t after_records : {1u, 5u, 20u}) {
    SCOPED_TRACE(after_records);
    ScratchDir dir;
    make_sequence(kFrames);
    ChildGuard vesk{start_vesk()};
    ASSERT_GT(vesk.pid, 0);
    ASSERT_TRUE(wait_for_records(after_records));
    vesk.stop(SIGKILL);
    const std::string log = read_text("flash_info.dat");
    EXPECT_GE(lines_of(log).size(), after_records + 1);
    EXPECT_EQ(full.log.substr(0, log.size()), log);
    EXPECT_EQ(log.back(), '\n');
  }
}

struct ReportFault {
  const char* name;
  void (*prepare)(const std::string& report);
  std::string message;
};

// A report image that cannot be created or written is reported; the run goes on, its log and
// notices are those of an undisturbed run, the other images are written, and the exit status is 1.
TEST(Fault, ReportImageThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  constexpr int kFrames = 60;
  const FullRun full = full_run(kFrames);
  const std::vector<std::string> records = lines_of(full.log);
  ASSERT_GE(records.size(), 4u);
  const int lost_frame = std::stoi(records[2]);
  char name[32];
  std::snprintf(name, sizeof name, "BMP_FLASHES/%05d.bmp", lost_frame);
  const std::string report = name;

  // A report is written under its temporary name and renamed; a folder under the report's name
  // is not the run's, so it is named and kept.
  const std::vector<ReportFault> faults = {
      {"a folder of that name", [](const std::string& r) { fs::create_directory(in_scratch(r)); },
       "BMP_FLASHES: holds files a run does not write, left as they are: " + report.substr(12) +
           "/\n" + report + ": cannot rename the finished file: Is a directory\n"},
      {"a link to a full disk",
       [](const std::string& r) { fs::create_symlink("/dev/full", in_scratch(r + ".part")); },
       report + ": write failed: No space left on device\n"},
  };
  for (const ReportFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    ScratchDir dir;
    make_sequence(kFrames);
    fault.prepare(report);
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(without_run_end(run.err), fault.message);
    EXPECT_EQ(run.out, full.out);
    EXPECT_EQ(read_text("flash_info.dat"), full.log);
    for (std::size_t i = 1; i < records.size(); ++i) {
      std::snprintf(name, sizeof name, "BMP_FLASHES/%05d.bmp", std::stoi(records[i]));
      if (name != report) {
        EXPECT_TRUE(fs::is_regular_file(in_scratch(name))) << name;
      }
    }
  }
}

// SIGINT and SIGTERM stop the run between frames: the open events are closed, the summary and
// the review page written, one line says so, and the exit status is 1. The log is a prefix of
// the undisturbed run's, in whole records.
TEST(Fault, RunStoppedBySignalEndsWithItsSummaryAndPage) {
  constexpr int kFrames = 400;
  const FullRun full = full_run(kFrames);
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    ScratchDir dir;
    make_sequence(kFrames);
    ChildGuard vesk{start_vesk()};
    ASSERT_GT(vesk.pid, 0);
    ASSERT_TRUE(wait_for_records(3));
    ASSERT_EQ(kill(vesk.pid, SIGSTOP), 0);
    ASSERT_EQ(kill(vesk.pid, signal), 0);
    ASSERT_EQ(kill(vesk.pid, SIGCONT), 0);
    int status = 0;
    ASSERT_EQ(waitpid(vesk.pid, &status, 0), vesk.pid);
    vesk.pid = -1;
    ASSERT_TRUE(WIFEXITED(status)) << "died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string err = without_run_end(read_text("err.txt"));
    ASSERT_EQ(lines_of(err).size(), 1u) << err;
    EXPECT_EQ(err.rfind("stopped by a signal after ", 0), 0u) << err;
    EXPECT_NE(err.find(" frames; flash_info.dat, data_dump.txt and the review page cover them\n"),
              std::string::npos)
        << err;
    const std::string log = read_text("flash_info.dat");
    EXPECT_LT(log.size(), full.log.size());
    EXPECT_EQ(full.log.substr(0, log.size()), log);
    EXPECT_NE(read_text("data_dump.txt").find("nframes="), std::string::npos);
    EXPECT_TRUE(fs::exists(in_scratch("review/index.html")));
  }
}

// Writes that fail through a signal's cause are write errors, never a silent death: a real
// file-size limit (SIGXFSZ left at its default by the shell) and a reader that goes away
// (SIGPIPE). The loss is named, every other output is closed, exit status 1.
TEST(Fault, FileSizeLimitAndClosedPipeAreWriteErrors) {
  const FullRun full = full_run(160);
  ScratchDir dir;
  make_sequence(160);
  write_text("console_in.txt", "0\n");
  const std::string vesk = std::string("'") + VESK_BINARY + "'";
  const ProgramRun limited =
      run_command("(trap - XFSZ; ulimit -f 4; " + vesk + " < console_in.txt > /dev/null)");
  EXPECT_EQ(limited.exit_status, 1) << limited.err;  // 153 when SIGXFSZ killed it
  EXPECT_NE(limited.err.find(": write failed: File too large"), std::string::npos) << limited.err;

  ScratchDir again;
  make_sequence(160);
  write_text("console_in.txt", "0\n");
  const ProgramRun piped = run_command("bash -c '" + std::string(VESK_BINARY) +
                                       " < console_in.txt | head -c 100 > /dev/null; "
                                       "exit ${PIPESTATUS[0]}'");
  EXPECT_EQ(piped.exit_status, 1) << piped.err;  // 141 when SIGPIPE killed it
  EXPECT_EQ(without_run_end(piped.err),
            "standard output: write failed; the run folder's files are whole\n");
  EXPECT_EQ(read_text("flash_info.dat"), full.log);
  EXPECT_NE(read_text("data_dump.txt").find("nframes=160"), std::string::npos);
  EXPECT_TRUE(fs::exists(in_scratch("review/index.html")));
}
