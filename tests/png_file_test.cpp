#include "imaging/png_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> pattern(std::size_t bytes) {
  std::vector<std::uint8_t> v(bytes);
  for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<std::uint8_t>((i * 37 + i / 7) & 255);
  return v;
}

TEST(PngFile, GreyAndRgbReadBackExactly) {
  struct Case {
    int width, height, channels;
  };
  const Case cases[] = {{1, 1, 1}, {3, 2, 1}, {257, 5, 1}, {1, 1, 3}, {5, 3, 3}, {200, 200, 3}};
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                 std::to_string(c.channels));
    const auto pixels = pattern(static_cast<std::size_t>(c.width) * c.height * c.channels);
    std::string error;
    ASSERT_TRUE(
        write_png_file(in_scratch("p.png"), {c.width, c.height, c.channels, pixels}, &error))
        << error;
    EXPECT_FALSE(fs::exists(in_scratch("p.png.part")));
    PngImage back;
    ASSERT_TRUE(read_png_file(in_scratch("p.png"), 1000, back, &error)) << error;
    EXPECT_EQ(back.width, c.width);
    EXPECT_EQ(back.height, c.height);
    EXPECT_EQ(back.channels, c.channels);
    EXPECT_EQ(back.pixels, pixels);
  }
}

TEST(PngFile, MalformedImagesAreRefusedAndNothingIsWritten) {
  const auto nine = pattern(9);
  struct Case {
    PngImageView image;
    const char* message;
  };
  const Case cases[] = {
      {{0, 1, 1, {}},
       "x.png: image of 0 x 1 pixels, 1 channels and 0 bytes cannot be written as PNG"},
      {{3, 3, 2, nine},
       "x.png: image of 3 x 3 pixels, 2 channels and 9 bytes cannot be written as PNG"},
      {{3, 3, 3, nine},
       "x.png: image of 3 x 3 pixels, 3 channels and 9 bytes cannot be written as PNG"},
      {{4, 2, 1, nine},
       "x.png: image of 4 x 2 pixels, 1 channels and 9 bytes cannot be written as PNG"},
      {{40000, 1, 1, nine},
       "x.png: image of 40000 x 1 pixels, 1 channels and 9 bytes cannot be written as PNG"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(write_png_file(in_scratch("x.png"), c.image, &error));
    EXPECT_EQ(without_scratch(error), c.message);
    EXPECT_FALSE(fs::exists(in_scratch("x.png")));
    EXPECT_FALSE(fs::exists(in_scratch("x.png.part")));
  }
}

TEST(PngFile, ReplacesAnOlderFileWholeAndKeepsItWhenTheWriteFails) {
  ScratchDir dir;
  std::string error;
  const auto a = pattern(12);
  ASSERT_TRUE(write_png_file(in_scratch("p.png"), {4, 3, 1, a}, &error)) << error;
  const auto b = pattern(2 * 2 * 3);
  ASSERT_TRUE(write_png_file(in_scratch("p.png"), {2, 2, 3, b}, &error)) << error;
  PngImage back;
  ASSERT_TRUE(read_png_file(in_scratch("p.png"), 100, back, &error)) << error;
  EXPECT_EQ(back.pixels, b);

  // A folder in the way of the rename: the part file goes, the folder stays.
  fs::create_directory(in_scratch("folder.png"));
  write_text("folder.png/keep", "x");
  EXPECT_FALSE(write_png_file(in_scratch("folder.png"), {4, 3, 1, a}, &error));
  EXPECT_EQ(without_scratch(error).rfind("folder.png: cannot rename the finished file: ", 0), 0u)
      << error;
  EXPECT_FALSE(fs::exists(in_scratch("folder.png.part")));
  EXPECT_TRUE(fs::exists(in_scratch("folder.png/keep")));

  // A folder that does not exist.
  EXPECT_FALSE(write_png_file(in_scratch("missing/p.png"), {4, 3, 1, a}, &error));
  EXPECT_EQ(without_scratch(error), "missing/p.png.part: cannot open: No such file or directory");

  // A full disk: libpng's write or the close fails, and nothing is left under either name.
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", in_scratch("full.png.part"));
    EXPECT_FALSE(write_png_file(in_scratch("full.png"), {4, 3, 1, a}, &error));
    EXPECT_NE(without_scratch(error).find("full.png.part: "), std::string::npos) << error;
    EXPECT_NE(without_scratch(error).find("No space left on device"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(in_scratch("full.png")));
  }
}

TEST(PngFile, ReaderRefusesWhatIsNotAWholePng) {
  ScratchDir dir;
  std::string error;
  const auto pixels = pattern(64 * 64);
  ASSERT_TRUE(write_png_file(in_scratch("good.png"), {64, 64, 1, pixels}, &error)) << error;
  const auto bytes = read_file("good.png");
  write_file("short.png",
             std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2));
  write_text("text.png", "not a picture at all, just some words\n");
  ASSERT_EQ(mkfifo(in_scratch("pipe.png").c_str(), 0600), 0);

  struct Case {
    const char* file;
    int max_side;
    const char* starts;
  };
  const Case cases[] = {
      {"text.png", 100, "text.png: not a readable PNG: "},
      {"short.png", 100, "short.png: damaged PNG: "},
      {"good.png", 63, "good.png: 64 x 64 pixels, more than 63 on a side"},
      {"none.png", 100, "none.png: cannot open: No such file or directory"},
      {"pipe.png", 100, "pipe.png: not a regular file"},
  };
  for (const Case& c : cases) {
    PngImage image;
    EXPECT_FALSE(read_png_file(in_scratch(c.file), c.max_side, image, &error)) << c.file;
    EXPECT_EQ(without_scratch(error).rfind(c.starts, 0), 0u) << error;
    EXPECT_TRUE(image.pixels.empty());
  }
}

}  // namespace
