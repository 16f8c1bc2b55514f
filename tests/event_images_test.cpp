#include "review/event_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "imaging/png_file.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// Pixel (x, y) of the frame at offset k: never 0, so black in a picture means "outside the frame"
// or "frame not available".
std::uint8_t value(int k, int x, int y) {
  return static_cast<std::uint8_t>((k * 37 + x * 3 + y * 7) % 250 + 1);
}

struct Frames {
  int width = 0, height = 0;
  std::vector<std::vector<std::uint8_t>> pixels;
  std::vector<std::span<const std::uint8_t>> spans;
};

// The frames of offsets -5..10 of a width x height recording; offsets in `missing` left empty.
Frames make_frames(int width, int height, std::vector<int> missing = {}) {
  Frames f{width, height, std::vector<std::vector<std::uint8_t>>(kOffsetCount),
           std::vector<std::span<const std::uint8_t>>(kOffsetCount)};
  for (int k = kFirstOffset; k <= kLastOffset; ++k) {
    if (std::find(missing.begin(), missing.end(), k) != missing.end()) continue;
    auto& p = f.pixels[k - kFirstOffset];
    p.resize(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) p[static_cast<std::size_t>(y) * width + x] = value(k, x, y);
    }
    f.spans[k - kFirstOffset] = p;
  }
  return f;
}

PngImage read_picture(int event, EventImage kind) {
  PngImage image;
  std::string error;
  EXPECT_TRUE(
      read_png_file(in_scratch("review") / event_image_name(event, kind), 4096, image, &error))
      << error;
  return image;
}

std::uint8_t grey_at(const PngImage& p, int x, int y) {
  return p.pixels[static_cast<std::size_t>(y) * p.width + x];
}
std::array<int, 3> rgb_at(const PngImage& p, int x, int y) {
  const std::uint8_t* q = p.pixels.data() + 3 * (static_cast<std::size_t>(y) * p.width + x);
  return {q[0], q[1], q[2]};
}

// A moving site's close-ups follow its steps: tile k is centred on the site moved k steps, so a
// glint travelling 4 columns and 2 rows a frame stays in the middle of every close-up.
TEST(EventImages, CloseUpsOfAMovingSiteFollowItsSteps) {
  ScratchDir dir;
  constexpr int kWidth = 160, kHeight = 120;
  std::vector<std::vector<std::uint8_t>> pixels(kOffsetCount,
                                                std::vector<std::uint8_t>(kWidth * kHeight, 30));
  std::vector<std::span<const std::uint8_t>> spans;
  for (int k = kFirstOffset; k <= kLastOffset; ++k) {
    std::vector<std::uint8_t>& frame = pixels[static_cast<std::size_t>(k - kFirstOffset)];
    frame[static_cast<std::size_t>((50 + 2 * k) * kWidth + 60 + 4 * k)] = 250;  // the glint
    spans.emplace_back(frame);
  }
  EventFrames in{9, kWidth, kHeight, 60.0, 50.0, false, spans};
  in.step_x = 4.0;
  in.step_y = 2.0;
  std::string error;
  ASSERT_TRUE(write_event_images(in_scratch("review"), in, &error)) << error;
  const PngImage strip = read_picture(9, EventImage::strip);
  for (int k = kFirstOffset; k <= kLastOffset; ++k) {
    EXPECT_EQ(grey_at(strip, (k - kFirstOffset) * 22 + 10, 10), 250) << "offset " << k;
  }
  // A site that stays keeps its windows: the glint has left them after offset 2.
  in.step_x = 0.0;
  in.step_y = 0.0;
  ASSERT_TRUE(write_event_images(in_scratch("review"), in, &error)) << error;
  const PngImage still = read_picture(9, EventImage::strip);
  EXPECT_EQ(grey_at(still, (3 - kFirstOffset) * 22 + 10, 10), 30);
  EXPECT_EQ(grey_at(still, (0 - kFirstOffset) * 22 + 10, 10), 250);
}

TEST(EventImages, FileNamesCarryTheEventNumber) {
  EXPECT_EQ(event_image_name(1, EventImage::strip), "e0001_strip.png");
  EXPECT_EQ(event_image_name(42, EventImage::crop), "e0042_crop.png");
  EXPECT_EQ(event_image_name(12345, EventImage::overview), "e12345_frame.png");
  EXPECT_EQ(event_image_name(7, EventImage::difference), "e0007_diff.png");
}

// Close-ups: tile t shows offset t - 5 round the rounded site, black beyond the frame and for a
// missing frame, grey gaps between tiles.
TEST(EventImages, StripShowsEachOffsetRoundTheSite) {
  struct Case {
    double x, y;
    int cx, cy;  // the site as rounded
  };
  const Case cases[] = {
      {30.4, 20.6, 30, 21}, {2.0, 1.0, 2, 1}, {62.7, 47.2, 63, 47}, {-0.6, 5.0, -1, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + ", " + std::to_string(c.y));
    ScratchDir dir;
    const Frames f = make_frames(64, 48, {-5, 3});
    std::string error;
    ASSERT_TRUE(
        write_event_images(in_scratch("review"), {7, 64, 48, c.x, c.y, false, f.spans}, &error))
        << error;
    const PngImage strip = read_picture(7, EventImage::strip);
    ASSERT_EQ(strip.channels, 1);
    ASSERT_EQ(strip.width, 16 * 21 + 15);
    ASSERT_EQ(strip.height, 21);
    for (int k = kFirstOffset; k <= kLastOffset; ++k) {
      const int left = (k - kFirstOffset) * 22;
      const bool missing = k == -5 || k == 3;
      for (int r = 0; r < 21; ++r) {
        for (int col = 0; col < 21; ++col) {
          const int x = c.cx - 10 + col, y = c.cy - 10 + r;
          const bool inside = x >= 0 && x < 64 && y >= 0 && y < 48;
          const int want = missing || !inside ? 0 : value(k, x, y);
          ASSERT_EQ(grey_at(strip, left + col, r), want)
              << "offset " << k << " r " << r << " c " << col;
        }
        if (k < kLastOffset) {
          ASSERT_EQ(grey_at(strip, left + 21, r), kStripGapGrey);
        }
      }
    }
  }
}

// The strip alone (vesk-tune's cards) is the strip of the three pictures byte for byte, plain and
// interlaced, with a missing frame and a site near the corner; no crop or whole frame is written.
TEST(EventImages, StripAloneIsTheSameFileAsWithTheOtherPictures) {
  const Frames f = make_frames(64, 48, {2});
  for (const bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "progressive");
    ScratchDir dir;
    const EventFrames in{12, 64, 48, 3.4, 45.6, interlaced, f.spans};
    std::string error;
    ASSERT_TRUE(write_event_images(in_scratch("all"), in, &error)) << error;
    ASSERT_TRUE(write_event_strip(in_scratch("strip"), in, &error)) << error;
    const std::string name = event_image_name(12, EventImage::strip);
    EXPECT_EQ(read_file(in_scratch("strip") / name), read_file(in_scratch("all") / name));
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(in_scratch("strip"))) {
      written.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(written, std::vector<std::string>{name});
  }
}

// Interlaced: row 11 of the frame (odd) is the odd field's first row, drawn twice on the left; row
// 10 (even) the even field's first, on the right; the site row 20 is the even field's 6th row.
TEST(EventImages, InterlacedStripPutsTheOddFieldLeftAndTheEvenFieldRight) {
  ScratchDir dir;
  const Frames f = make_frames(64, 48);
  std::string error;
  ASSERT_TRUE(
      write_event_images(in_scratch("review"), {3, 64, 48, 30.0, 20.0, true, f.spans}, &error))
      << error;
  const PngImage strip = read_picture(3, EventImage::strip);
  ASSERT_EQ(strip.width, 16 * 43 + 15);
  ASSERT_EQ(strip.height, 22);
  const int k = 0;
  const int left = (k - kFirstOffset) * 44;
  struct Row {
    int strip_row, frame_row_left, frame_row_right;
  };
  const Row rows[] = {{0, 11, 10},  {1, 11, 10},  {10, 21, 20},
                      {11, 21, 20}, {20, 31, 30}, {21, 31, 30}};
  for (const Row& r : rows) {
    for (int col = 0; col < 21; ++col) {
      EXPECT_EQ(grey_at(strip, left + col, r.strip_row), value(k, 20 + col, r.frame_row_left));
      EXPECT_EQ(grey_at(strip, left + 22 + col, r.strip_row),
                value(k, 20 + col, r.frame_row_right));
    }
    EXPECT_EQ(grey_at(strip, left + 21, r.strip_row), kStripGapGrey);
  }
}

// Crop: 200 x 200 RGB, the site's pixel at (100, 100), grey pixels as they are, black beyond the
// frame, a yellow square one pixel outside the 21 x 21 close-up.
TEST(EventImages, CropHoldsTheSiteInTheMiddleWithABox) {
  ScratchDir dir;
  const Frames f = make_frames(160, 120);
  std::string error;
  ASSERT_TRUE(
      write_event_images(in_scratch("review"), {1, 160, 120, 40.2, 30.7, false, f.spans}, &error))
      << error;
  const PngImage crop = read_picture(1, EventImage::crop);
  ASSERT_EQ(crop.width, 200);
  ASSERT_EQ(crop.height, 200);
  ASSERT_EQ(crop.channels, 3);
  const auto grey = [](int v) { return std::array<int, 3>{v, v, v}; };
  const std::array<int, 3> yellow{255, 214, 0};
  EXPECT_EQ(rgb_at(crop, 100, 100), grey(value(0, 40, 31)));
  EXPECT_EQ(rgb_at(crop, 90, 90), grey(value(0, 30, 21)));    // corner inside the box
  EXPECT_EQ(rgb_at(crop, 110, 110), grey(value(0, 50, 41)));  // other corner inside
  for (int i = 89; i <= 111; ++i) {
    EXPECT_EQ(rgb_at(crop, i, 89), yellow);
    EXPECT_EQ(rgb_at(crop, i, 111), yellow);
    EXPECT_EQ(rgb_at(crop, 89, i), yellow);
    EXPECT_EQ(rgb_at(crop, 111, i), yellow);
  }
  EXPECT_EQ(rgb_at(crop, 88, 100), grey(value(0, 28, 31)));
  EXPECT_EQ(rgb_at(crop, 59, 100), grey(0));  // column -1
  EXPECT_EQ(rgb_at(crop, 60, 68), grey(0));   // row -1
  EXPECT_EQ(rgb_at(crop, 60, 69), grey(value(0, 0, 0)));
  EXPECT_EQ(rgb_at(crop, 199, 188), grey(value(0, 139, 119)));
  EXPECT_EQ(rgb_at(crop, 199, 189), grey(0));  // row 120, below the frame
}

// Whole frame: shrunk by the smallest whole factor that brings both sides to 240 or less, each
// pixel the rounded mean of its block (cut short at the right and bottom edges).
TEST(EventImages, OverviewShrinksByAWholeFactorAndMarksTheSite) {
  struct Case {
    int width, height, out_width, out_height;
  };
  const Case cases[] = {{720, 576, 240, 192},
                        {1920, 1080, 240, 135},
                        {100, 50, 100, 50},
                        {241, 10, 121, 5},
                        {240, 241, 120, 121}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    ScratchDir dir;
    const Frames f = make_frames(c.width, c.height);
    std::string error;
    const double x = c.width / 2.0, y = c.height / 2.0;
    ASSERT_TRUE(write_event_images(in_scratch("review"),
                                   {2, c.width, c.height, x, y, false, f.spans}, &error))
        << error;
    const PngImage o = read_picture(2, EventImage::overview);
    ASSERT_EQ(o.width, c.out_width);
    ASSERT_EQ(o.height, c.out_height);
    ASSERT_EQ(o.channels, 3);
    const int factor = (std::max(c.width, c.height) + 239) / 240;
    // The last block of the first row, which may be cut short.
    const int bx = o.width - 1;
    long sum = 0, count = 0;
    for (int yy = 0; yy < std::min(factor, c.height); ++yy) {
      for (int xx = bx * factor; xx < std::min(c.width, (bx + 1) * factor); ++xx) {
        sum += value(0, xx, yy);
        ++count;
      }
    }
    const int mean = static_cast<int>((sum + count / 2) / count);
    EXPECT_EQ(rgb_at(o, bx, 0), (std::array<int, 3>{mean, mean, mean}));
    // The mark: a yellow square 13 pixels across round the site.
    const int mx = static_cast<int>(std::llround(x)) / factor;
    const int my = static_cast<int>(std::llround(y)) / factor;
    // (clipped where the picture ends, as in the 5-row overview).
    EXPECT_EQ(rgb_at(o, mx - 6, my), (std::array<int, 3>{255, 214, 0}));
    if (my + 6 < o.height) {
      EXPECT_EQ(rgb_at(o, mx + 6, my + 6), (std::array<int, 3>{255, 214, 0}));
    }
    EXPECT_NE(rgb_at(o, mx, my), (std::array<int, 3>{255, 214, 0}));
  }
}

TEST(EventImages, MissingEventFrameLeavesCropAndOverviewBlack) {
  ScratchDir dir;
  const Frames f = make_frames(64, 48, {0});
  std::string error;
  ASSERT_TRUE(
      write_event_images(in_scratch("review"), {5, 64, 48, 10.0, 10.0, false, f.spans}, &error))
      << error;
  const PngImage crop = read_picture(5, EventImage::crop);
  EXPECT_EQ(rgb_at(crop, 100, 100), (std::array<int, 3>{0, 0, 0}));
  const PngImage o = read_picture(5, EventImage::overview);
  EXPECT_EQ(rgb_at(o, 30, 30), (std::array<int, 3>{0, 0, 0}));
}

TEST(EventImages, MalformedInputIsRefusedBeforeAnythingIsWritten) {
  const Frames f = make_frames(8, 6);
  std::vector<std::span<const std::uint8_t>> fifteen(f.spans.begin(), f.spans.end() - 1);
  std::vector<std::span<const std::uint8_t>> short_frame = f.spans;
  short_frame[4] = short_frame[4].first(47);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> sums(48, 100.0);
  struct Case {
    EventFrames in;
    const char* message;
  };
  const Case cases[] = {
      {{0, 8, 6, 1, 1, false, f.spans}, "event images: event number 0 is below 1"},
      {{1, 0, 6, 1, 1, false, f.spans}, "event 1 images: frame size 0 x 6 is outside 1 to 32768"},
      {{1, 8, 40000, 1, 1, false, f.spans},
       "event 1 images: frame size 8 x 40000 is outside 1 to 32768"},
      {{1, 8, 6, 1, 1, false, fifteen}, "event 1 images: 15 frames given, 16 expected"},
      {{1, 8, 6, 1, 1, false, short_frame},
       "event 1 images: frame at offset -1 has 47 bytes, not 48"},
      {{1, 8, 6, nan, 1, false, f.spans}, "event 1 images: site (nan, 1) is not a usable position"},
      {{1, 8, 6, 1, inf, false, f.spans}, "event 1 images: site (1, inf) is not a usable position"},
      {{1, 8, 6, 2e6, 1, false, f.spans},
       "event 1 images: site (2e+06, 1) is not a usable position"},
      {{1, 8, 6, 1, 1, false, f.spans, 0.0, 0.0, std::span<const double>(sums).first(47), 20},
       "event 1 images: the ring's sums have 47 values over 20 frames, not 48 values over at "
       "least 1"},
      {{1, 8, 6, 1, 1, false, f.spans, 0.0, 0.0, sums, 0},
       "event 1 images: the ring's sums have 48 values over 0 frames, not 48 values over at "
       "least 1"},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(write_event_images(in_scratch("review"), c.in, &error));
    EXPECT_EQ(without_scratch(error), c.message);
    EXPECT_FALSE(fs::exists(in_scratch("review")));
  }
}

// The difference strip on a small ring of 20 frames (offsets -5 to 14) whose mean is known: the
// night side at 60 left of column 32, the lit surface at 200 from it on, a star saturated in every
// frame, and single-frame changes at chosen pixels. The site (32, 24) puts both surfaces in the
// close-ups; offset -4 is not available to the strip, though the ring's sum holds it.
TEST(EventImages, DifferenceStripIsEachPixelMinusTheRingsMean) {
  constexpr int kWidth = 64, kHeight = 48, kRing = 20;
  struct Change {
    int offset, x, y, value;
  };
  const Change changes[] = {
      {0, 32, 24, 250},  // a flash on the lit surface
      {2, 28, 30, 255},  // a saturating flash on a dark pixel
      {3, 36, 28, 0},    // a lit pixel gone dark
      {4, 22, 16, 134},  // just past the top end
      {4, 24, 16, 133},  // just inside it
      {5, 42, 16, 5},    // just past the bottom end (surface 140 there)
      {5, 40, 16, 6},    // just inside it
  };
  std::vector<std::vector<std::uint8_t>> ring(kRing);
  for (int j = 0; j < kRing; ++j) {
    const int offset = j + kFirstOffset;
    auto& frame = ring[static_cast<std::size_t>(j)];
    frame.resize(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) frame[y * kWidth + x] = x < 32 ? 60 : 200;
    }
    frame[18 * kWidth + 25] = 255;  // the saturated star
    frame[30 * kWidth + 28] = 0;    // a dark pixel
    frame[16 * kWidth + 22] = frame[16 * kWidth + 24] = 0;
    frame[16 * kWidth + 42] = frame[16 * kWidth + 40] = 140;
    for (const Change& c : changes) {
      if (c.offset == offset) frame[c.y * kWidth + c.x] = static_cast<std::uint8_t>(c.value);
    }
  }
  std::vector<double> sums(kWidth * kHeight, 0.0);
  for (const auto& frame : ring) {
    for (std::size_t p = 0; p < sums.size(); ++p) sums[p] += frame[p];
  }
  std::vector<std::span<const std::uint8_t>> spans(kOffsetCount);
  for (int k = 0; k < kOffsetCount; ++k) {
    if (k + kFirstOffset != -4)
      spans[static_cast<std::size_t>(k)] = ring[static_cast<std::size_t>(k)];
  }
  ScratchDir dir;
  EventFrames in{4, kWidth, kHeight, 32.0, 24.0, false, spans};
  std::string error;
  ASSERT_TRUE(write_event_images(in_scratch("review"), in, &error)) << error;
  EXPECT_FALSE(fs::exists(in_scratch("review") / event_image_name(4, EventImage::difference)))
      << "without the ring's sums there is no difference strip";
  in.pixel_sum = sums;
  in.sum_frames = kRing;
  ASSERT_TRUE(write_event_images(in_scratch("review"), in, &error)) << error;
  const PngImage d = read_picture(4, EventImage::difference);
  ASSERT_EQ(d.channels, 1);
  ASSERT_EQ(d.width, strip_width(false));
  ASSERT_EQ(d.height, strip_height(false));

  struct Case {
    const char* what;
    int offset, x, y;  // frame pixel
    int grey;
  };
  const Case cases[] = {
      // 250 on a mean of (19 x 200 + 250) / 20 = 202.5: +47.5, rounded away from zero.
      {"flash", 0, 32, 24, 128 + 48},
      {"the flash's pixel a frame later: 200 - 202.5", 1, 32, 24, 128 - 3},
      {"night side, the same in every frame", 3, 23, 24, 128},
      {"lit surface, the same in every frame", 3, 40, 30, 128},
      {"saturated in every frame", 0, 25, 18, 128},
      {"saturating flash, 255 on a mean of 12.75: past the top end", 2, 28, 30, 255},
      {"lit pixel gone dark, 0 on a mean of 190: past the bottom end", 3, 36, 28, 0},
      {"134 on a mean of 6.7: +127.3, the top end", 4, 22, 16, 255},
      {"133 on a mean of 6.65: +126.35", 4, 24, 16, 254},
      {"5 on a mean of 133.25: -128.25, the bottom end", 5, 42, 16, 0},
      {"6 on a mean of 133.3: -127.3", 5, 40, 16, 1},
      {"a frame the strip does not have", -4, 32, 24, 128},
  };
  for (const Case& c : cases) {
    const int column = (c.offset - kFirstOffset) * (kCloseupSide + kStripGap) + c.x - 32 + 10;
    EXPECT_EQ(grey_at(d, column, c.y - 24 + 10), c.grey) << c.what;
  }
  for (int r = 0; r < kCloseupSide; ++r) {
    EXPECT_EQ(grey_at(d, kCloseupSide, r), kDiffZero) << "the gap after the first tile";
  }
}

// The difference strip has the plain strip's layout (interlaced fields, a moving site's steps,
// missing frames, pixels beyond the frame): over a mean of 96 everywhere each of its pixels is
// difference_grey of the plain strip's, and zero where the plain strip is black.
TEST(EventImages, DifferenceStripKeepsTheStripsLayout) {
  for (const bool interlaced : {false, true}) {
    SCOPED_TRACE(interlaced ? "interlaced" : "progressive");
    ScratchDir dir;
    const Frames f = make_frames(64, 48, {-2, 7});
    const std::vector<double> sums(64 * 48, 96.0 * 30);
    EventFrames in{6, 64, 48, 3.0, 40.0, interlaced, f.spans};
    in.step_x = 2.0;
    in.step_y = -1.0;
    in.pixel_sum = sums;
    in.sum_frames = 30;
    std::string error;
    ASSERT_TRUE(write_event_images(in_scratch("review"), in, &error)) << error;
    const PngImage plain = read_picture(6, EventImage::strip);
    const PngImage d = read_picture(6, EventImage::difference);
    ASSERT_EQ(d.width, plain.width);
    ASSERT_EQ(d.height, plain.height);
    int zeros = 0;
    for (std::size_t i = 0; i < d.pixels.size(); ++i) {
      // The plain strip's gaps (grey 96) are zero in both readings.
      const int want =
          plain.pixels[i] == 0 ? kDiffZero : difference_grey(plain.pixels[i], 96.0 * 30, 30);
      ASSERT_EQ(d.pixels[i], want) << "pixel " << i % d.width << ", " << i / d.width;
      zeros += plain.pixels[i] == 0;
    }
    EXPECT_GT(zeros, 2 * 21 * 21) << "the missing frames and the pixels beyond the frame";
  }
}

TEST(EventImages, UnwritableFolderIsReported) {
  ScratchDir dir;
  write_text("review", "a file where the folder should be");
  const Frames f = make_frames(8, 6);
  std::string error;
  EXPECT_FALSE(write_event_images(in_scratch("review"), {1, 8, 6, 1, 1, false, f.spans}, &error));
  EXPECT_EQ(without_scratch(error).rfind("review: cannot create folder", 0), 0u) << error;
}

}  // namespace
