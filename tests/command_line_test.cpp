// vesk's command line: what each argument sets, the one-line refusals, and that a refused command
// line touches nothing.
#include "control/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> list;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) list.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return list;
}

}  // namespace

TEST(CommandLine, ReadsEveryOption) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse_command_line(words("--quiet night.ser --out runs/n1 --no-menu --threads 3 "
                                       "--first 10 --count 20 --byte-order big --depth 12 "
                                       "--start-utc 2024-03-15T21:04:05.25Z"),
                                 line, &error))
      << error;
  EXPECT_EQ(line.recording, "night.ser");
  EXPECT_EQ(line.out, "runs/n1");
  EXPECT_TRUE(line.no_menu);
  EXPECT_TRUE(line.quiet);
  EXPECT_EQ(line.threads, 3);
  EXPECT_EQ(line.reading.first, 10);
  EXPECT_EQ(line.reading.count, 20);
  EXPECT_EQ(line.reading.byte_order, ByteOrder::big);
  EXPECT_EQ(line.reading.depth, 12);
  ASSERT_TRUE(line.reading.start_utc.has_value());
  EXPECT_EQ(*line.reading.start_utc, 638461334452500000);
  EXPECT_FALSE(line.help);

  // Without a recording only the run options: the frame folder here.
  ASSERT_TRUE(parse_command_line(words("--no-menu --threads 0 --psf 2.75"), line, &error));
  EXPECT_TRUE(line.recording.empty());
  EXPECT_TRUE(line.no_menu);
  EXPECT_FALSE(line.quiet);
  EXPECT_EQ(line.threads, 0);
  EXPECT_EQ(line.psf, 2.75);
  EXPECT_EQ(line.reading.count, -1);

  // Several recordings: one night, in one run folder named after the first.
  ASSERT_TRUE(
      parse_command_line(words("a.ser --range -1.5,2e3 b.ser --fps 29.97 c.ser"), line, &error))
      << error;
  EXPECT_EQ(line.recording, "a.ser");
  EXPECT_EQ(line.recordings, (std::vector<std::string>{"a.ser", "b.ser", "c.ser"}));
  EXPECT_EQ(run_folder_of(line), "a.vesk");
  ASSERT_TRUE(line.reading.range.has_value());
  EXPECT_EQ(line.reading.range->first, -1.5);
  EXPECT_EQ(line.reading.range->second, 2000.0);
  EXPECT_EQ(line.reading.fps, 29.97);

  ASSERT_TRUE(parse_command_line(words("night_0001.ser --follow --idle 2.5"), line, &error))
      << error;
  EXPECT_TRUE(line.follow);
  EXPECT_EQ(line.idle_seconds, 2.5);
  ASSERT_TRUE(parse_command_line(words("night_0001.ser --follow"), line, &error)) << error;
  EXPECT_EQ(line.idle_seconds, 30.0);

  ASSERT_TRUE(parse_command_line(words("-h --bad"), line, &error));
  EXPECT_TRUE(line.help);
}

TEST(CommandLine, RefusesWithOneLine) {
  const std::string usage = kVeskUsage;
  struct Case {
    std::string args;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"--fast", "--fast: unknown option; " + usage},
      {"-q night.ser", "-q: unknown option; " + usage},
      {"a.ser --range 5,5", "--range: \"5,5\" is not two numbers LO,HI with LO below HI"},
      {"a.fits --range 5", "--range: \"5\" is not two numbers LO,HI with LO below HI"},
      {"a.fits --fps 0", "--fps: \"0\" is not a frame rate above 0 and up to 1000000"},
      {"night.ser --out", "--out: needs a value"},
      {"--threads", "--threads: needs a value"},
      {"--threads -1", "--threads: \"-1\" is not a whole number from 0 to 1024"},
      {"--threads 1025", "--threads: \"1025\" is not a whole number from 0 to 1024"},
      {"--threads 2x", "--threads: \"2x\" is not a whole number from 0 to 1024"},
      {"--psf", "--psf: needs a value"},
      {"--psf 0.4", "--psf: \"0.4\" is not a width in pixels from 0.5 to 20"},
      {"--psf 20.5", "--psf: \"20.5\" is not a width in pixels from 0.5 to 20"},
      {"--psf 0x2", "--psf: \"0x2\" is not a width in pixels from 0.5 to 20"},
      {"--psf 2e0", "--psf: \"2e0\" is not a width in pixels from 0.5 to 20"},
      {"--psf nan", "--psf: \"nan\" is not a width in pixels from 0.5 to 20"},
      {"night.ser --count 0", "--count: \"0\" is not a whole number of 1 or more"},
      {"night.ser --first -3", "--first: \"-3\" is not a whole number of 0 or more"},
      {"night.ser --first 3000000000", "--first: 3000000000 is past any recording"},
      {"night.ser --byte-order middle", "--byte-order: \"middle\" is not little or big"},
      {"night.ser --depth 17", "--depth: \"17\" is not a whole number from 8 to 16"},
      {"night.ser --start-utc today",
       "--start-utc: \"today\" is not a UTC time such as 2024-03-15T21:04:05.25Z"},
      // The options of a recording need one.
      {"--out runs/n1", "--out: only with a recording; " + usage},
      {"--no-menu --count 5 --first 2", "--count: only with a recording; " + usage},
      {"--depth 12", "--depth: only with a recording; " + usage},
      {"--replace", "--replace: only with a recording; " + usage},
      // An option given twice is a slip, not a choice of the last value.
      {"night.ser --threads 2 --threads 4", "--threads: given twice; give each option once"},
      {"night.ser --no-menu --quiet --no-menu", "--no-menu: given twice; give each option once"},
      // A value that starts with "--" is the next option: this one's value is missing.
      {"night.ser --out --no-menu", "--out: needs a value"},
      {"night.ser --count --first 3", "--count: needs a value"},
      // Clocks outside 1990 to 2100 are typing slips.
      {"night.mp4 --start-utc 9999-12-31T23:59:59Z",
       "--start-utc: 9999-12-31T23:59:59Z is outside the years 1990 to 2100"},
      {"night.mp4 --start-utc 1989-12-31T23:59:59Z",
       "--start-utc: 1989-12-31T23:59:59Z is outside the years 1990 to 2100"},
      {"night.ser --max-memory lots",
       "--max-memory: \"lots\" is not a size such as 512M or 2G (bytes, or K, M, G)"},
      {"night.ser --max-memory 0G",
       "--max-memory: \"0G\" is not a size such as 512M or 2G (bytes, or K, M, G)"},
      // Following: one recording, a time without growth to end on, no places.
      {"--follow", "--follow: only with a recording; " + usage},
      {"night.ser --idle 5", "--idle: only with --follow; " + usage},
      {"night.ser --follow --idle 0", "--idle: \"0\" is not a number of seconds above 0 and up "
                                      "to 86400"},
      {"night.ser --follow --idle 1e3",
       "--idle: \"1e3\" is not a number of seconds above 0 and up to 86400"},
      {"a.ser b.ser --follow",
       "--follow: one recording (a.ser); the files after it are followed by their numbers"},
      {"a.ser --follow --site 45,7", "--site: not with --follow; the frame times a place needs "
                                     "come with the file's close, so run vesk over the finished "
                                     "recording for places on the Moon"},
      // After "--" every word is a recording name.
      {"-- a.ser --quiet", "--quiet: one recording at most (a.ser is given); " + usage},
  };
  for (const Case& c : cases) {
    CommandLine line;
    std::string error;
    EXPECT_FALSE(parse_command_line(words(c.args), line, &error)) << c.args;
    EXPECT_EQ(error, c.error) << c.args;
  }
  CommandLine line;
  std::string error;
  const std::vector<std::string> empty_out = {"night.ser", "--out", ""};
  EXPECT_FALSE(parse_command_line(empty_out, line, &error));
  EXPECT_EQ(error, "--out: \"\" is not a folder name");
}

TEST(CommandLine, DoubleDashEndsTheOptionsAndSizesTakeSuffixes) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse_command_line(words("--no-menu -- --night.ser"), line, &error)) << error;
  EXPECT_EQ(line.recording, "--night.ser");
  EXPECT_TRUE(line.no_menu);
  ASSERT_TRUE(parse_command_line(words("n.ser --max-memory 512M --replace"), line, &error))
      << error;
  EXPECT_EQ(line.max_memory, 512u << 20);
  EXPECT_TRUE(line.replace);
  ASSERT_TRUE(parse_command_line(words("n.mp4 --start-utc 2100-12-31T23:59:59Z"), line, &error))
      << error;
}

TEST(CommandLine, RunFolderBesideTheWorkingFolder) {
  struct Case {
    std::string args;
    std::string folder;
  };
  const std::vector<Case> cases = {
      {"", "."},
      {"--no-menu", "."},
      {"night.ser", "night.vesk"},
      {"/data/2024-03-15/night.ser", "night.vesk"},  // in the current folder, not the recording's
      {"clip.tar.gz", "clip.tar.vesk"},              // the last extension only
      {"noname", "noname.vesk"},
      {"night.ser --out /tmp/elsewhere", "/tmp/elsewhere"},
  };
  for (const Case& c : cases) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(parse_command_line(words(c.args), line, &error)) << c.args << ": " << error;
    EXPECT_EQ(run_folder_of(line), fs::path(c.folder)) << c.args;
  }
}

TEST(CommandLine, RefusedCommandLineTouchesNothing) {
  ScratchDir dir;
  write_text("night.ser", "LUCAM-RECORDER");
  struct Case {
    std::string args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"night.ser --count none", "--count: \"none\" is not a whole number of 1 or more\n"},
      {"night.ser --out run1 --threads many",
       "--threads: \"many\" is not a whole number from 0 to 1024\n"},
      {"--out run1", "--out: only with a recording; " + std::string(kVeskUsage) + "\n"},
  };
  for (const Case& c : cases) {
    const ProgramRun run = run_command(std::string("'") + VESK_BINARY + "' " + c.args);
    EXPECT_EQ(run.exit_status, 2) << c.args;
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.out, "");  // not even the banner
    EXPECT_FALSE(fs::exists(in_scratch("night.vesk")));
    EXPECT_FALSE(fs::exists(in_scratch("run1")));
  }
}
