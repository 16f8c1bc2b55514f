#include "imaging/flash_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr std::size_t kGuard = 64;         // bytes watched on each side of the work buffers
constexpr std::uint8_t kGuardByte = 0xA5;  // guard filler
constexpr std::uint8_t kStaleByte = 0x77;  // what the work buffers hold before a report

using PixelFn = std::function<std::uint8_t(int slot, int x, int y)>;

// Frame ring, marked frame and header with known bytes, plus the report parameters.
struct Scene {
  FlashReportInput input;
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> marked;
  std::vector<std::uint8_t> ring;  // exactly N frames, so a read past either end is caught
};

Scene make_scene(int width, int height, int images, const PixelFn& pixel) {
  Scene s;
  s.header.resize(kReportHeaderBytes);
  for (int i = 0; i < kReportHeaderBytes; ++i) s.header[i] = static_cast<std::uint8_t>(200 - 3 * i);
  const int pixels = width * height;
  s.marked.resize(pixels);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) s.marked[y * width + x] = static_cast<std::uint8_t>(x + 16 * y);
  }
  s.ring.resize(static_cast<std::size_t>(std::max(images, 0)) * pixels);
  for (int slot = 0; slot < images; ++slot) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) s.ring[(slot * height + y) * width + x] = pixel(slot, x, y);
    }
  }
  s.input.images_in_buffer = images;
  s.input.target_frame = 1000;  // far from frame 0: every frame the ring holds is shown
  s.input.geometry = {width, height, pixels};
  s.input.report_header = s.header;
  s.input.marked_frame = s.marked;
  s.input.frame_ring = s.ring;
  return s;
}

// Writes the report of `s` to a file and returns the file's bytes. The work buffers start stale
// and sit between guard bytes that must come out untouched.
std::vector<std::uint8_t> render(const Scene& s) {
  ScratchDir dir;
  const FrameGeometry& g = s.input.geometry;
  std::vector<std::uint8_t> pixels(2 * kGuard + 3 * static_cast<std::size_t>(g.frame_pixels),
                                   kGuardByte);
  std::vector<std::uint8_t> strip(2 * kGuard + 120 * static_cast<std::size_t>(g.image_width),
                                  kGuardByte);
  std::fill(pixels.begin() + kGuard, pixels.end() - kGuard, kStaleByte);
  std::fill(strip.begin() + kGuard, strip.end() - kGuard, kStaleByte);
  std::string error;
  FileHandle file = open_file(in_scratch("report.bmp").c_str(), "wb", &error);
  EXPECT_TRUE(file) << error;
  const bool ok = write_flash_report(
      file, "report.bmp", s.input, std::span(pixels).subspan(kGuard, pixels.size() - 2 * kGuard),
      std::span(strip).subspan(kGuard, strip.size() - 2 * kGuard), &error);
  EXPECT_TRUE(ok) << error;
  EXPECT_FALSE(file);
  for (const auto* buffer : {&pixels, &strip}) {
    const bool head_ok = std::all_of(buffer->begin(), buffer->begin() + kGuard,
                                     [](std::uint8_t b) { return b == kGuardByte; });
    const bool tail_ok = std::all_of(buffer->end() - kGuard, buffer->end(),
                                     [](std::uint8_t b) { return b == kGuardByte; });
    EXPECT_TRUE(head_ok && tail_ok) << "a write left its work buffer";
  }
  return read_file("report.bmp");
}

// Grey level of strip pixel (column, row) in a report file; its three bytes must agree.
int strip_grey(const std::vector<std::uint8_t>& file, const FrameGeometry& g, int column, int row) {
  const std::size_t at = kReportHeaderBytes + 3 * static_cast<std::size_t>(g.frame_pixels) +
                         3 * (static_cast<std::size_t>(row) * g.image_width + column);
  EXPECT_TRUE(file[at] == file[at + 1] && file[at] == file[at + 2])
      << "strip pixel " << column << "," << row;
  return file[at];
}

// The placement table applied pixel by pixel, with pixels outside the frame or the strip
// dropped: the expected 40 x W strip of grey levels.
std::vector<int> expected_strip(const Scene& s, int sx, int ly) {
  const FlashReportInput& in = s.input;
  const int w = in.geometry.image_width;
  const int h = in.geometry.image_height;
  const int n_slots = in.images_in_buffer;
  std::vector<int> strip(40 * static_cast<std::size_t>(w), 0);
  if (in.interlace < 0 || in.interlace > 2) return strip;
  for (int n = -5; n <= 5; ++n) {
    const int slot = ((in.target_slot + n) % n_slots + n_slots) % n_slots;
    for (int p = -10; p <= 10; ++p) {
      for (int r = -10; r <= 10; ++r) {
        const int x = sx + r;
        const int y = ly + p;
        const int v = (x >= 0 && x < w && y >= 0 && y < h) ? s.ring[(slot * h + y) * w + x] : 0;
        std::vector<int> rows;
        int column = w / 2 + r;
        if (in.interlace == 0) {
          rows = {20 - p};
          column += 25 * n;
        } else {
          rows = in.interlace == 1 ? std::vector<int>{20 - p, 21 - p} : std::vector{20 + p, 21 + p};
          const int left = in.interlace == 1 ? 1 : 2;
          column += 50 * n + (odd_or_even(y) == left ? 0 : 25);
        }
        if (column < 0 || column >= w) continue;
        for (int row : rows) strip[row * w + column] = v;
      }
    }
  }
  return strip;
}

// A grey level that differs between neighbouring pixels, lines and slots, never 0.
std::uint8_t patterned(int slot, int x, int y) {
  return static_cast<std::uint8_t>((7 * x + 13 * y + 29 * slot) % 251 + 1);
}

TEST(OddOrEven, LowestBitDecides) {
  const struct {
    int value;
    int expected;
  } cases[] = {{0, 2}, {1, 1}, {2, 2}, {-1, 1}, {-2, 2}, {INT_MAX, 1}, {INT_MIN, 2}};
  for (const auto& c : cases) EXPECT_EQ(odd_or_even(c.value), c.expected) << c.value;
}

TEST(FlashReport, HeaderThenFrameRowsBottomUpThenStrip) {
  Scene s = make_scene(6, 4, 11, patterned);
  s.input.target_slot = 5;
  s.input.sample = 3.0f;
  s.input.line = 2.0f;
  const std::vector<std::uint8_t> file = render(s);
  const int w = 6;
  const int h = 4;
  ASSERT_EQ(file.size(), 56u + 3u * w * (h + 40));
  EXPECT_TRUE(std::equal(s.header.begin(), s.header.end(), file.begin()));
  for (int k = 0; k < h; ++k) {
    for (int x = 0; x < w; ++x) {
      const std::uint8_t grey = s.marked[(h - 1 - k) * w + x];
      for (int b = 0; b < 3; ++b) {
        ASSERT_EQ(file[56 + 3 * (k * w + x) + b], grey) << "file row " << k << " column " << x;
      }
    }
  }
  // First pixel row after the header is stored row H - 1 of the marked frame.
  EXPECT_EQ(file[56], s.marked[(h - 1) * w]);
}

TEST(FlashReport, ThumbnailColumnRangesAt720) {
  // Every slot is one flat grey level, so each close-up's columns show which slot it came from.
  Scene s = make_scene(720, 60, 11, [](int slot, int, int) { return 10 + slot; });
  s.input.target_slot = 5;
  s.input.sample = 360.0f;
  s.input.line = 30.0f;
  const struct {
    int interlace;
    int n;
    int first;
    int last;
    int width;  // lit columns on strip row 20
  } cases[] = {
      {0, 0, 350, 370, 21},  {0, -5, 225, 245, 21}, {0, 5, 475, 495, 21},
      {1, -5, 100, 145, 42}, {1, 5, 600, 645, 42},  {1, 0, 350, 395, 42},
  };
  for (const auto& c : cases) {
    s.input.interlace = c.interlace;
    const std::vector<std::uint8_t> file = render(s);
    const int grey = 10 + 5 + c.n;
    int first = -1;
    int last = -1;
    int lit = 0;
    for (int col = 0; col < 720; ++col) {
      if (strip_grey(file, s.input.geometry, col, 20) != grey) continue;
      if (first < 0) first = col;
      last = col;
      ++lit;
    }
    EXPECT_EQ(first, c.first) << "mode " << c.interlace << " n " << c.n;
    EXPECT_EQ(last, c.last) << "mode " << c.interlace << " n " << c.n;
    EXPECT_EQ(lit, c.width) << "mode " << c.interlace << " n " << c.n;
  }
}

TEST(FlashReport, FieldRowsByInterlaceAndParity) {
  // Every pixel holds its own line number; 0 means black. Column 360 is the centre column of the
  // middle thumbnail (left half in modes 1 and 2), 385 that of thumbnail 1 in mode 0 and of the
  // middle right half in modes 1 and 2.
  Scene s = make_scene(720, 60, 11, [](int, int, int y) { return y; });
  s.input.target_slot = 5;
  s.input.sample = 360.0f;
  const struct {
    int interlace;
    int ly;
    int row;
    int left;
    int right;
  } cases[] = {
      {0, 30, 10, 40, 40}, {0, 30, 20, 30, 30}, {0, 30, 30, 20, 20}, {0, 30, 31, 0, 0},
      {1, 30, 9, 0, 0},    {1, 30, 10, 0, 40},  {1, 30, 11, 39, 40}, {1, 30, 20, 31, 30},
      {1, 30, 30, 21, 20}, {1, 30, 31, 0, 20},  {1, 30, 32, 0, 0},   {1, 31, 10, 41, 0},
      {1, 31, 31, 21, 0},  {2, 30, 10, 20, 0},  {2, 30, 11, 20, 21}, {2, 30, 20, 30, 29},
      {2, 30, 30, 40, 39}, {2, 30, 31, 40, 0},  {2, 30, 32, 0, 0},   {2, 31, 10, 0, 21},
      {2, 31, 31, 0, 41},
  };
  for (const auto& c : cases) {
    s.input.interlace = c.interlace;
    s.input.line = static_cast<float>(c.ly);
    const std::vector<std::uint8_t> file = render(s);
    const std::string where = "mode " + std::to_string(c.interlace) + " ly " +
                              std::to_string(c.ly) + " row " + std::to_string(c.row);
    EXPECT_EQ(strip_grey(file, s.input.geometry, 360, c.row), c.left) << where;
    EXPECT_EQ(strip_grey(file, s.input.geometry, 385, c.row), c.right) << where;
  }
}

TEST(FlashReport, UnknownInterlaceOrEmptyRingGivesBlackStrip) {
  const struct {
    int interlace;
    int images;
  } cases[] = {{3, 11}, {-1, 11}, {0, 0}, {1, -4}};
  for (const auto& c : cases) {
    Scene s = make_scene(720, 30, c.images, patterned);
    s.input.interlace = c.interlace;
    s.input.sample = 360.0f;
    s.input.line = 15.0f;
    const std::vector<std::uint8_t> file = render(s);
    ASSERT_EQ(file.size(), 56u + 3u * 720 * 70);
    const auto strip_begin = file.end() - 120 * 720;
    EXPECT_TRUE(std::all_of(strip_begin, file.end(), [](std::uint8_t b) { return b == 0; }))
        << "mode " << c.interlace << " images " << c.images;
    EXPECT_EQ(file[56], s.marked[29 * 720]);  // frame section as usual
  }
}

// Close-up n shows the slot n places on from the frame under test, wrapping round the ring, for
// the frames the ring holds (N - 1 - N/2 before, N/2 after) and from frame 0 on; any other
// close-up is black (-1 below), never a frame it does not stand for.
TEST(FlashReport, CloseUpsShowOnlyTheFramesTheyStandFor) {
  const struct {
    int images;
    int target_slot;
    std::int64_t target_frame;
    std::vector<int> slots;  // for n = -5 .. 5
  } cases[] = {
      {11, 0, 1000, {6, 7, 8, 9, 10, 0, 1, 2, 3, 4, 5}},
      {11, 10, 1000, {5, 6, 7, 8, 9, 10, 0, 1, 2, 3, 4}},
      {20, 3, 1000, {18, 19, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {10, 0, 1000, {-1, 6, 7, 8, 9, 0, 1, 2, 3, 4, 5}},
      {3, 0, 1000, {-1, -1, -1, -1, 2, 0, 1, -1, -1, -1, -1}},
      {3, 2, 1000, {-1, -1, -1, -1, 1, 2, 0, -1, -1, -1, -1}},
      {1, 0, 1000, {-1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1}},
      // The first frames under test: nothing before frame 0.
      {60, 0, 0, {-1, -1, -1, -1, -1, 0, 1, 2, 3, 4, 5}},
      {60, 2, 2, {-1, -1, -1, 0, 1, 2, 3, 4, 5, 6, 7}},
      {60, 5, 5, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
  };
  for (const auto& c : cases) {
    Scene s = make_scene(300, 24, c.images, [](int slot, int, int) { return 100 + slot; });
    s.input.target_slot = c.target_slot;
    s.input.target_frame = c.target_frame;
    s.input.sample = 150.0f;
    s.input.line = 12.0f;
    const std::vector<std::uint8_t> file = render(s);
    for (int n = -5; n <= 5; ++n) {
      const int slot = c.slots[static_cast<std::size_t>(n + 5)];
      EXPECT_EQ(strip_grey(file, s.input.geometry, 150 + 25 * n, 20), slot < 0 ? 0 : 100 + slot)
          << "images " << c.images << " target " << c.target_slot << " n " << n;
    }
  }
}

TEST(FlashReport, CentreTruncatedAndWindowsClipped) {
  // The whole strip is compared with the placement table applied pixel by pixel; windows that
  // cross the frame edge show black there, and narrow frames lose the columns past the strip.
  // A centre far beyond the int range stands anywhere far outside the frame: all black.
  const struct {
    int width;
    int height;
    int interlace;
    float sample;
    float line;
    int sx;
    int ly;
  } cases[] = {
      {720, 120, 0, 99.9f, 57.5f, 99, 57},     {720, 120, 1, 99.9f, 57.5f, 99, 57},
      {720, 120, 0, -0.5f, 57.5f, 0, 57},      {720, 120, 0, 3.7f, 2.2f, 3, 2},
      {720, 120, 2, 717.9f, 118.0f, 717, 118}, {720, 120, 1, 5.0f, -0.9f, 5, 0},
      {40, 30, 0, 20.0f, 15.0f, 20, 15},       {40, 30, 1, 20.0f, 15.0f, 20, 15},
      {40, 30, 2, 38.0f, 1.0f, 38, 1},         {5, 3, 1, 2.0f, 1.0f, 2, 1},
      {720, 120, 0, 1e20f, 57.0f, 100000, 57}, {720, 120, 1, 360.0f, -1e20f, 360, -100000},
  };
  for (const auto& c : cases) {
    Scene s = make_scene(c.width, c.height, 11, patterned);
    s.input.target_slot = 10;  // slot N - 1: thumbnails 1 to 5 wrap to the ring's first frames
    s.input.interlace = c.interlace;
    s.input.sample = c.sample;
    s.input.line = c.line;
    const std::vector<std::uint8_t> file = render(s);
    const std::vector<int> expected = expected_strip(s, c.sx, c.ly);
    int wrong = 0;
    for (int row = 0; row < 40; ++row) {
      for (int col = 0; col < c.width; ++col) {
        if (strip_grey(file, s.input.geometry, col, row) != expected[row * c.width + col]) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0) << "W " << c.width << " mode " << c.interlace << " sample " << c.sample
                        << " line " << c.line;
  }
  // The middle close-up's centre is frame pixel (99, 57) of the frame under test.
  Scene s = make_scene(720, 120, 11, patterned);
  s.input.target_slot = 4;
  s.input.sample = 99.9f;
  s.input.line = 57.5f;
  EXPECT_EQ(strip_grey(render(s), s.input.geometry, 360, 20), patterned(4, 99, 57));
}

TEST(FlashReport, FailuresNameTheFile) {
  const char* path = "BMP_FLASHES/00042.bmp";
  const struct {
    int width;
    int height;
    const char* device;
    std::size_t strip_bytes;
    std::string message;
  } cases[] = {
      // A small report fails when the buffered bytes are flushed by the close, a large one in
      // the frame section's write.
      {4, 2, "/dev/full", report_strip_bytes(4),
       std::string(path) + ": write failed: No space left on device"},
      {720, 576, "/dev/full", report_strip_bytes(720),
       std::string(path) + ": write failed: No space left on device"},
      {720, 576, nullptr, report_strip_bytes(720), std::string(path) + ": report file is not open"},
  };
  for (const auto& c : cases) {
    Scene s = make_scene(c.width, c.height, 11, patterned);
    std::vector<std::uint8_t> pixels(3 * static_cast<std::size_t>(c.width) * c.height);
    std::vector<std::uint8_t> strip(c.strip_bytes);
    std::string error;
    FileHandle file;
    if (c.device != nullptr) {
      file = open_file(c.device, "wb", &error);
      ASSERT_TRUE(file) << error;
    }
    EXPECT_FALSE(write_flash_report(file, path, s.input, pixels, strip, &error));
    EXPECT_EQ(error, c.message);
    EXPECT_FALSE(file) << "the report file is closed after a failure";
  }
}

// A strip buffer smaller than the frame needs is a sizing bug: the program stops.
TEST(FlashReportDeathTest, ShortWorkBufferStopsTheProgram) {
  Scene s = make_scene(720, 576, 11, patterned);
  std::vector<std::uint8_t> pixels(3 * 720 * 576);
  std::vector<std::uint8_t> strip(report_strip_bytes(720) - 1);
  std::string error;
  FileHandle file = open_file("/dev/null", "wb", &error);
  ASSERT_TRUE(file) << error;
  EXPECT_DEATH(write_flash_report(file, "BMP_FLASHES/00042.bmp", s.input, pixels, strip, &error),
               "internal error: report buffers do not match the frame geometry");
}

}  // namespace
