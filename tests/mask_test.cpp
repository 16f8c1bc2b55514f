// The user's mask.png: a camera's time inserter, whose changing digits the detector would report,
// masked out; the fast and threaded runs and the tune's grid against the straightforward
// detector with a mask; the refusals of a mask that does not fit; `--mask` for a recording.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "control/settings.h"
#include "detection/flash_detector.h"
#include "imaging/file_io.h"
#include "imaging/png_file.h"
#include "imaging/scan_mask.h"
#include "reference/oracle_support.h"
#include "reference/reference_detection.h"
#include "sources/frame_folder.h"
#include "sources/frame_window.h"
#include "test_support.h"
#include "tune/tune.h"
#include "tune/tune_pictures.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kFrames = 90;
constexpr int kRing = 10;

// The inserter's field: four digits, each 3 x 5 cells of 2 x 2 pixels, from (kDigitsX, kDigitsY).
constexpr int kDigitsX = 26;
constexpr int kDigitsY = 34;
constexpr int kDigitWidth = 8;  // 6 pixels and a gap of 2
constexpr int kDigitsRight = kDigitsX + 4 * kDigitWidth;
constexpr int kDigitsBottom = kDigitsY + 10;
// Real flashes: a 2 x 2 spot at (kFlashX, kFlashY) in these frames.
constexpr int kFlashX = 12;
constexpr int kFlashY = 10;
const std::vector<int> kFlashFrames = {17, 38, 61};

// A 3 x 5 font, rows top first, bit 2 the left cell.
constexpr std::array<std::array<int, 5>, 10> kFont = {{
    {7, 5, 5, 5, 7},
    {2, 6, 2, 2, 7},
    {7, 1, 7, 4, 7},
    {7, 1, 3, 1, 7},
    {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7},
    {4, 4, 7, 5, 7},
    {7, 1, 2, 4, 4},
    {7, 5, 7, 5, 7},
    {7, 5, 7, 1, 1},
}};

bool in_digits(double x, double y) {
  return x >= kDigitsX - 1 && x <= kDigitsRight && y >= kDigitsY - 1 && y <= kDigitsBottom;
}

// Frame `f`: a dark sky of 40 with a little fixed noise, the inserter's digits in white (the
// last three change from frame to frame, as a field of milliseconds does), and the real flashes.
std::vector<std::uint8_t> overlay_frame(int f) {
  std::vector<std::uint8_t> pixels(kWidth * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<std::uint8_t>(40 + (i * 7 + static_cast<std::size_t>(f) * 13) % 5);
  }
  std::mt19937 digits(static_cast<unsigned>(f) * 2654435761u);
  for (int d = 0; d < 4; ++d) {
    const int digit = d == 0 ? (f / 30) % 10 : static_cast<int>(digits() % 10);
    for (int row = 0; row < 5; ++row) {
      for (int col = 0; col < 3; ++col) {
        if ((kFont[static_cast<std::size_t>(digit)][static_cast<std::size_t>(row)] & (4 >> col)) ==
            0) {
          continue;
        }
        for (int dy = 0; dy < 2; ++dy) {
          for (int dx = 0; dx < 2; ++dx) {
            const int x = kDigitsX + d * kDigitWidth + 2 * col + dx;
            const int y = kDigitsY + 2 * row + dy;
            pixels[static_cast<std::size_t>(y * kWidth + x)] = 230;
          }
        }
      }
    }
  }
  if (std::find(kFlashFrames.begin(), kFlashFrames.end(), f) != kFlashFrames.end()) {
    for (int dy = 0; dy < 2; ++dy) {
      for (int dx = 0; dx < 2; ++dx) {
        pixels[static_cast<std::size_t>((kFlashY + dy) * kWidth + kFlashX + dx)] = 200;
      }
    }
  }
  return pixels;
}

std::string overlay_settings() {
  return settings_text(1, 100, 1000.0f, 3.0f, 2.0f, 4.0f, 4.0f, 2, 2, 2, 2, 95.0f, 0, kRing);
}

void make_overlay_folder() {
  make_run_folder(overlay_settings());
  for (int f = 0; f < kFrames; ++f) write_raw_frame(f, kWidth, kHeight, overlay_frame(f));
}

// The mask an observer paints: white, with a black box over the inserter's field.
std::vector<std::uint8_t> inserter_mask_grey() {
  std::vector<std::uint8_t> grey(kWidth * kHeight, 255);
  for (int y = kDigitsY - 2; y < kDigitsBottom + 2; ++y) {
    for (int x = kDigitsX - 2; x < kDigitsRight + 2; ++x) {
      grey[static_cast<std::size_t>(y * kWidth + x)] = 0;
    }
  }
  return grey;
}

void write_grey_png(const std::string& path, int width, int height,
                    const std::vector<std::uint8_t>& grey) {
  std::string error;
  ASSERT_TRUE(write_png_file(in_scratch(path), {width, height, 1, grey}, &error)) << error;
}

// A PNG written by libpng in `format` (PNG_FORMAT_LINEAR_Y: 16-bit grey; PNG_FORMAT_GA: grey
// with alpha) of kWidth x kHeight, all samples mid-grey.
void write_png_in_format(const std::string& path, png_uint_32 format) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kWidth;
  image.height = kHeight;
  image.format = format;
  std::vector<std::uint16_t> samples(PNG_IMAGE_SIZE(image) / 2 + 1, 0x8080);
  ASSERT_NE(
      png_image_write_to_file(&image, in_scratch(path).c_str(), 0, samples.data(), 0, nullptr), 0)
      << image.message;
}

struct Record {
  int frame = 0;
  double sample = 0.0;
  double line = 0.0;
};

std::vector<Record> records_of(const std::string& log) {
  std::vector<Record> records;
  std::istringstream in(log);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Record r;
    int count = 0;
    fields >> r.frame >> count >> r.sample >> r.line;
    records.push_back(r);
  }
  return records;
}

ProgramRun vesk_with(const std::string& args, const std::string& console = "0\n") {
  write_text(".console_in", console);
  return run_command(std::string("'") + VESK_BINARY + "' " + args + " < .console_in");
}

// Every output of a frame folder's run, by name.
std::map<std::string, std::vector<std::uint8_t>> run_outputs() {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const char* name : {"flash_info.dat", "data_dump.txt"}) files[name] = read_file(name);
  for (const auto& entry : fs::directory_iterator(in_scratch("BMP_FLASHES"))) {
    const std::string name = "BMP_FLASHES/" + entry.path().filename().string();
    files[name] = read_file(name);
  }
  return files;
}

}  // namespace

// The inserter's changing digits are reported as flashes without a mask; with the mask painted
// over them nothing is reported there, the real flashes still are, the notice says how much of
// the frame is scanned, and the run leaves mask.png as it found it.
TEST(Mask, TimeInserterDigitsReportedWithoutTheMaskAndNotWithIt) {
  ScratchDir dir;
  make_overlay_folder();
  const ProgramRun bare = run_vesk_program("0\n");
  ASSERT_EQ(bare.exit_status, 0) << bare.err;
  const std::vector<Record> without = records_of(read_text("flash_info.dat"));
  const auto in_field = [](const Record& r) { return in_digits(r.sample, r.line); };
  EXPECT_GT(std::count_if(without.begin(), without.end(), in_field), 10) << "the digits report";

  write_grey_png("mask.png", kWidth, kHeight, inserter_mask_grey());
  const std::vector<std::uint8_t> mask_bytes = read_file("mask.png");
  const ProgramRun masked = run_vesk_program("0\n");
  ASSERT_EQ(masked.exit_status, 0) << masked.err;
  EXPECT_NE(masked.err.find("mask.png: 2568 of 3072 pixels scanned\n"), std::string::npos)
      << masked.err;
  const std::vector<Record> with = records_of(read_text("flash_info.dat"));
  std::vector<int> frames;
  for (const Record& r : with) {
    EXPECT_FALSE(in_field(r)) << "frame " << r.frame << " at " << r.sample << ", " << r.line;
    EXPECT_NEAR(r.sample, kFlashX + 0.5, 1.0);
    EXPECT_NEAR(r.line, kFlashY + 0.5, 1.0);
    frames.push_back(r.frame);
  }
  EXPECT_EQ(frames, kFlashFrames);
  EXPECT_EQ(read_file("mask.png"), mask_bytes);
}

// A mask of 128 and more everywhere changes nothing: the outputs are those of the run without.
TEST(Mask, AllScannedMaskGivesTheRunWithout) {
  ScratchDir dir;
  make_overlay_folder();
  ASSERT_EQ(run_vesk_program("0\n").exit_status, 0);
  const auto without = run_outputs();
  write_grey_png("mask.png", kWidth, kHeight, std::vector<std::uint8_t>(kWidth * kHeight, 128));
  const ProgramRun masked = run_vesk_program("0\n");
  ASSERT_EQ(masked.exit_status, 0) << masked.err;
  EXPECT_EQ(run_outputs(), without);
}

// With a mask, vesk on one thread and on several writes flash_info.dat, data_dump.txt and the
// report images byte for byte as the straightforward run with the same mask does.
TEST(Mask, FastAndThreadedRunsWriteWhatTheStraightforwardRunWrites) {
  std::vector<std::uint8_t> grey = inserter_mask_grey();
  // A ragged hole too, so that masked pixels sit beside scanned ones inside a row's chunks.
  for (int y = 5; y < 20; ++y) {
    for (int x = 30; x < 50; x += (y % 3) + 1) grey[static_cast<std::size_t>(y * kWidth + x)] = 127;
  }
  const std::vector<std::uint8_t> scanned = scanned_pixels(grey);
  std::map<std::string, std::vector<std::uint8_t>> slow;
  {
    ScratchDir dir;
    make_overlay_folder();
    DetectionSettings settings;
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(
        read_settings_file(scratch_folder(), "settings.txt", settings, problems, nullptr, &error))
        << error;
    ASSERT_TRUE(reference_run(scratch_folder(), settings, scanned, &error)) << error;
    slow = run_outputs();
  }
  EXPECT_GE(slow.size(), 2u + kFlashFrames.size());
  for (const char* threads : {"1", "3"}) {
    SCOPED_TRACE(std::string("threads ") + threads);
    ScratchDir dir;
    make_overlay_folder();
    write_grey_png("mask.png", kWidth, kHeight, grey);
    const ProgramRun run = vesk_with(std::string("--threads ") + threads);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(run_outputs() == slow);
  }
}

// The detector with a mask against the straightforward one, on drifted random rings under a
// mask of scattered holes: result, list, marked frame and all nine values, with and without the
// candidate map. The mask changes answers somewhere, and the grid detector gives for each of its
// thresholds what the detector gives with the same mask.
TEST(Mask, DetectorAndGridHonourTheMaskAsTheStraightforwardDetector) {
  const int width = 57;
  const int height = 21;
  Random random{4242};
  std::vector<std::uint8_t> mask(static_cast<std::size_t>(width * height));
  for (auto& m : mask) m = random.below(4) == 0 ? 0 : 1;
  int changed = 0;
  int found = 0;
  for (const int images : {3, 8}) {
    TestRing ring(width, height, images);
    for (int s = 0; s < images; ++s) draw_frame(Scene::Noise, random, width, height, ring.slot(s));
    reference::recompute_statistics(ring.view());
    DetectionSettings settings = oracle_settings(images);
    settings.Time_sd = 1.5f;
    settings.Max_flash_limit = 100;
    DetectionThresholds thresholds = thresholds_of(settings);
    thresholds.mask = mask;
    DetectionThresholds open = thresholds_of(settings);
    for (int target = 0; target < images; ++target) {
      SCOPED_TRACE("N " + std::to_string(images) + ", slot " + std::to_string(target));
      DetectorRuns runs;
      ASSERT_EQ(compare_detectors(ring, target, thresholds, runs), "");
      DetectorRuns bare;
      ASSERT_EQ(compare_detectors(ring, target, open, bare), "");
      found += runs.slow.flash_count > 0 ? 1 : 0;
      changed += runs.slow.listed != bare.slow.listed ? 1 : 0;
      for (int p = 0; p < runs.slow.flash_count; ++p) {
        const auto at =
            static_cast<std::size_t>(runs.slow.pixels[p].y * width + runs.slow.pixels[p].x);
        EXPECT_EQ(mask[at], 1) << "a masked pixel listed";
      }

      std::vector<DetectionThresholds> grid;
      for (const float time_sd : {1.0f, 1.5f, 3.0f}) {
        for (const float neighbour_sd : {2.0f, 3.0f}) {
          DetectionSettings s = settings;
          s.Time_sd = time_sd;
          s.Neighbour_sd = neighbour_sd;
          grid.push_back(thresholds_of(s));
          grid.back().mask = mask;
        }
      }
      std::vector<DetectionResult> results(grid.size());
      GridScratch scratch;
      flash_detector_grid(ring.view(), ring.geometry, target, grid, scratch, results);
      std::vector<std::uint8_t> marked(mask.size());
      for (std::size_t k = 0; k < grid.size(); ++k) {
        DetectionResult own;
        flash_detector(ring.view(), ring.geometry, target, grid[k], marked, {}, own);
        ASSERT_EQ(results[k].found, own.found) << k;
        ASSERT_EQ(results[k].listed, own.listed) << k;
        for (int p = 0; p < own.listed; ++p) {
          ASSERT_EQ(results[k].pixels[p].x, own.pixels[p].x) << k;
          ASSERT_EQ(results[k].pixels[p].y, own.pixels[p].y) << k;
        }
      }
    }
  }
  EXPECT_GT(found, 0);
  EXPECT_GT(changed, 0) << "the mask never changed an answer";
}

namespace {

struct BadMask {
  const char* name;
  std::function<void()> make;
  std::string err;
};

const std::string kMaskRule = "; a mask is 8-bit grey (white scanned, black not)\n";

std::vector<std::uint8_t> bmp_mask_bytes(int width, int height) {
  return raw_frame_bytes(width, height,
                         std::vector<std::uint8_t>(static_cast<std::size_t>(width * height), 255));
}

std::vector<BadMask> bad_masks() {
  return {
      {"wrong size",
       [] { write_grey_png("mask.png", 32, 24, std::vector<std::uint8_t>(768, 255)); },
       "mask.png: 32x24, the frames are 64x48\n"},
      {"one row short",
       [] { write_grey_png("mask.png", 64, 47, std::vector<std::uint8_t>(64 * 47, 255)); },
       "mask.png: 64x47, the frames are 64x48\n"},
      {"colour PNG",
       [] {
         std::string error;
         const std::vector<std::uint8_t> rgb(kWidth * kHeight * 3, 200);
         ASSERT_TRUE(write_png_file(in_scratch("mask.png"), {kWidth, kHeight, 3, rgb}, &error));
       },
       "mask.png: a colour PNG" + kMaskRule},
      {"16-bit PNG", [] { write_png_in_format("mask.png", PNG_FORMAT_LINEAR_Y); },
       "mask.png: a 16-bit PNG" + kMaskRule},
      {"grey PNG with alpha", [] { write_png_in_format("mask.png", PNG_FORMAT_GA); },
       "mask.png: a grey PNG with transparency" + kMaskRule},
      {"not an image", [] { write_text("mask.png", "the inserter is at the bottom right\n"); },
       "mask.png: not an image; a mask is an 8-bit grey PNG (or BMP) of the frames' size\n"},
      {"empty", [] { write_text("mask.png", ""); },
       "mask.png: empty; a mask is an 8-bit grey PNG (or BMP) of the frames' size\n"},
      {"truncated PNG",
       [] {
         write_grey_png("mask.png", kWidth, kHeight, inserter_mask_grey());
         std::vector<std::uint8_t> bytes = read_file("mask.png");
         bytes.resize(60);
         write_file("mask.png", bytes);
       },
       "mask.png: damaged PNG: Read Error\n"},
      {"PNG cut inside its header",
       [] {
         write_grey_png("mask.png", kWidth, kHeight, inserter_mask_grey());
         std::vector<std::uint8_t> bytes = read_file("mask.png");
         bytes.resize(20);
         write_file("mask.png", bytes);
       },
       "mask.png: not a readable PNG: Read Error\n"},
      {"BMP of another size", [] { write_file("mask.png", bmp_mask_bytes(64, 40)); },
       "mask.png: 64x40, the frames are 64x48\n"},
      {"truncated BMP",
       [] {
         std::vector<std::uint8_t> bytes = bmp_mask_bytes(kWidth, kHeight);
         bytes.resize(1000);
         write_file("mask.png", bytes);
       },
       "mask.png: truncated, 1000 of 3126 bytes\n"},
      {"BMP whose palette pushes its pixels past its end",
       [] {
         std::vector<std::uint8_t> bytes = bmp_mask_bytes(kWidth, kHeight);
         bytes[10] = 0x36;
         bytes[11] = 0x04;  // pixels after a 1024-byte palette
         write_file("mask.png", bytes);
       },
       "mask.png: truncated, 3126 of 4150 bytes\n"},
      {"a FIFO", [] { ASSERT_EQ(mkfifo(in_scratch("mask.png").c_str(), 0644), 0); },
       "mask.png: not a regular file\n"},
      {"a folder", [] { fs::create_directory(in_scratch("mask.png")); },
       "mask.png: not a regular file\n"},
      {"a link to nothing", [] { fs::create_symlink("gone.png", in_scratch("mask.png")); },
       "mask.png: cannot open: No such file or directory\n"},
  };
}

}  // namespace

// A mask that does not fit stops the run before the menu with one line naming it and what is
// wrong, exit status 1, without waiting on a FIFO, and the folder is left as it was.
TEST(Mask, RefusedMasksAreNamedAndNothingIsTouched) {
  for (const BadMask& row : bad_masks()) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    make_overlay_folder();
    write_text("flash_info.dat", "an earlier run's log\n");
    row.make();
    const ProgramRun run = run_vesk_program("0\n");
    EXPECT_EQ(run.err, row.err);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out.find("Current Detection Parameters"), std::string::npos) << run.out;
    EXPECT_EQ(read_text("flash_info.dat"), "an earlier run's log\n");
  }
}

namespace {

// A BMP as a picture editor saves one, of `width` x `height` pixels whose grey levels (row 0
// first) are `grey`: `bits` 8 (each grey level an index into `palette`, blue green red per
// entry), 24 or 32 (blue = green = red = the grey level), rows padded to 4 bytes, stored bottom
// row first, or top row first when `top_down` (a negative height). `compression` goes into the
// header as is.
struct EditorBmp {
  int bits = 8;
  bool top_down = false;
  std::vector<std::array<std::uint8_t, 3>> palette;
  int compression = 0;
};

std::vector<std::uint8_t> editor_bmp_bytes(int width, int height,
                                           const std::vector<std::uint8_t>& grey,
                                           const EditorBmp& bmp) {
  const std::size_t stride = (static_cast<std::size_t>(width) * bmp.bits + 31) / 32 * 4;
  const std::size_t offset = 54 + 4 * bmp.palette.size();
  std::vector<std::uint8_t> bytes(offset + stride * static_cast<std::size_t>(height), 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  put_le32(bytes, 2, static_cast<std::int32_t>(bytes.size()));
  put_le32(bytes, 10, static_cast<std::int32_t>(offset));
  put_le32(bytes, 14, 40);
  put_le32(bytes, 18, width);
  put_le32(bytes, 22, bmp.top_down ? -height : height);
  bytes[26] = 1;
  bytes[28] = static_cast<std::uint8_t>(bmp.bits);
  put_le32(bytes, 30, bmp.compression);
  for (std::size_t i = 0; i < bmp.palette.size(); ++i) {
    std::copy(bmp.palette[i].begin(), bmp.palette[i].end(), bytes.begin() + 54 + 4 * i);
  }
  const std::size_t step = static_cast<std::size_t>(bmp.bits) / 8;
  for (int row = 0; row < height; ++row) {
    const int stored = bmp.top_down ? row : height - 1 - row;
    for (int x = 0; x < width; ++x) {
      const std::uint8_t level = grey[static_cast<std::size_t>(row * width + x)];
      const std::size_t at = offset + static_cast<std::size_t>(stored) * stride + x * step;
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(step, 3),
                  level);
    }
  }
  return bytes;
}

std::vector<std::array<std::uint8_t, 3>> grey_palette() {
  std::vector<std::array<std::uint8_t, 3>> palette(256);
  for (int i = 0; i < 256; ++i) {
    const auto level = static_cast<std::uint8_t>(i);
    palette[static_cast<std::size_t>(i)] = {level, level, level};
  }
  return palette;
}

}  // namespace

// BMP masks as picture editors write them: 8-bit through a palette, 24- and 32-bit grey, rows
// padded to 4 bytes (6 pixels a row: 2 bytes of padding at 8 bits), stored bottom-up or top-down;
// each read as the grey levels the picture shows, or refused with one line.
TEST(Mask, EditorBmpMasksAreReadAsTheirGreyLevels) {
  constexpr int kW = 6;
  constexpr int kH = 4;
  const FrameGeometry geometry{kW, kH, kW * kH};
  std::vector<std::uint8_t> grey(kW * kH);
  for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<std::uint8_t>(i * 11);
  // Two colours, black and white, drawn as indices 0 and 1.
  std::vector<std::uint8_t> indices(kW * kH);
  std::vector<std::uint8_t> black_white(kW * kH);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    indices[i] = static_cast<std::uint8_t>(i % 5 == 0 ? 1 : 0);
    black_white[i] = static_cast<std::uint8_t>(indices[i] * 255);
  }
  struct Row {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> grey;  // empty: refused with `error`
    std::string error;
  };
  std::vector<std::uint8_t> colour_pixel = editor_bmp_bytes(kW, kH, grey, {24, false, {}, 0});
  colour_pixel[54 + 3 * 2 + 2] ^= 1;  // the red of pixel (2, 3), on the bottom row stored first
  std::vector<std::uint8_t> truncated = editor_bmp_bytes(kW, kH, grey, {8, false, grey_palette()});
  truncated.resize(1100);
  std::vector<std::uint8_t> far_pixels = editor_bmp_bytes(kW, kH, grey, {24, false, {}, 0});
  put_le32(far_pixels, 10, 100000);
  const Row rows[] = {
      {"8-bit grey palette", editor_bmp_bytes(kW, kH, grey, {8, false, grey_palette()}), grey, ""},
      {"8-bit grey palette, top-down", editor_bmp_bytes(kW, kH, grey, {8, true, grey_palette()}),
       grey, ""},
      {"8-bit, black and white palette",
       editor_bmp_bytes(kW, kH, indices, {8, false, {{0, 0, 0}, {255, 255, 255}}}), black_white,
       ""},
      {"24-bit grey", editor_bmp_bytes(kW, kH, grey, {24, false, {}, 0}), grey, ""},
      {"32-bit grey, top-down", editor_bmp_bytes(kW, kH, grey, {32, true, {}, 0}), grey, ""},
      {"colour palette entry in use",
       editor_bmp_bytes(kW, kH, indices, {8, false, {{0, 0, 0}, {255, 0, 0}}}),
       {},
       "m.bmp: a colour BMP; a mask is 8-bit grey (white scanned, black not)"},
      {"one colour pixel",
       colour_pixel,
       {},
       "m.bmp: a colour BMP; a mask is 8-bit grey (white scanned, black not)"},
      {"index beyond the palette",
       editor_bmp_bytes(kW, kH, grey, {8, false, {{0, 0, 0}}}),
       {},
       "m.bmp: a pixel of colour 11 beyond the palette's 1"},
      {"16 bits a pixel",
       editor_bmp_bytes(kW, kH, grey, {16, false, {}, 0}),
       {},
       "m.bmp: a BMP of 16 bits a pixel; a mask BMP has 8 (a grey palette), 24 or 32, or give a "
       "grey PNG"},
      {"run-length coded",
       editor_bmp_bytes(kW, kH, grey, {8, false, grey_palette(), 1}),
       {},
       "m.bmp: a compressed BMP; a mask BMP is uncompressed, or give a grey PNG"},
      {"truncated", truncated, {}, "m.bmp: truncated, 1100 of 1110 bytes"},
      {"pixels far beyond the headers",
       far_pixels,
       {},
       "m.bmp: a damaged BMP header (pixels at byte 100000)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScratchDir dir;
    write_file("m.bmp", row.bytes);
    std::vector<std::uint8_t> read;
    std::string error;
    EXPECT_EQ(read_mask_picture(dir.path(), "m.bmp", geometry, read, &error), !row.grey.empty());
    EXPECT_EQ(read, row.grey);
    EXPECT_EQ(error, row.error);
  }
}

// `vesk RECORDING --mask FILE` puts the file's grey levels into the run folder as mask.png and
// scans with it; a later run without --mask keeps and uses it; a refused --mask names the file
// as given and leaves the mask there whole.
TEST(Mask, MaskOptionCopiesTheMaskIntoTheRecordingsFolder) {
  ScratchDir dir;
  make_run_folder(overlay_settings());
  for (int f = 0; f < kFrames; ++f) write_raw_frame(f, kWidth, kHeight, overlay_frame(f));
  ASSERT_EQ(
      run_command(std::string("'") + VESK_TOOLS_DIR + "/frames_to_ser' . night.ser").exit_status,
      0);
  // A BMP laid out as the frame files is taken too, and stored as a grey PNG.
  std::vector<std::uint8_t> grey = inserter_mask_grey();
  write_file("given.bmp", raw_frame_bytes(kWidth, kHeight, grey));
  fs::create_directory(in_scratch("night.vesk"));
  write_text("night.vesk/settings.txt", overlay_settings());
  const ProgramRun first = vesk_with("night.ser --no-menu --quiet --mask given.bmp", "");
  ASSERT_EQ(first.exit_status, 0) << first.err;
  EXPECT_NE(first.err.find("mask.png: 2568 of 3072 pixels scanned\n"), std::string::npos)
      << first.err;
  EXPECT_FALSE(fs::exists(in_scratch("night.vesk/mask.png.part")));
  PngImage copied;
  std::string error;
  ASSERT_TRUE(read_png_file(in_scratch("night.vesk/mask.png"), 100, copied, &error)) << error;
  EXPECT_EQ(copied.channels, 1);
  EXPECT_EQ(copied.pixels, grey);
  const std::string flashes = read_text("night.vesk/flash_info.dat");
  for (const Record& r : records_of(flashes)) EXPECT_FALSE(in_digits(r.sample, r.line));
  EXPECT_EQ(records_of(flashes).size(), kFlashFrames.size());

  const std::vector<std::uint8_t> kept = read_file("night.vesk/mask.png");
  const ProgramRun again = vesk_with("night.ser --no-menu --quiet", "");
  ASSERT_EQ(again.exit_status, 0) << again.err;
  EXPECT_NE(again.err.find("mask.png: 2568 of 3072 pixels scanned\n"), std::string::npos);
  EXPECT_EQ(read_file("night.vesk/mask.png"), kept);
  EXPECT_EQ(read_text("night.vesk/flash_info.dat"), flashes);

  write_grey_png("small.png", 32, 24, std::vector<std::uint8_t>(768, 255));
  const ProgramRun refused = vesk_with("night.ser --no-menu --quiet --mask small.png", "");
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err, "small.png: 32x24, the frames are 64x48\n");
  EXPECT_EQ(read_file("night.vesk/mask.png"), kept);

  const ProgramRun no_recording = vesk_with("--mask small.png");
  EXPECT_EQ(no_recording.exit_status, 2);
  EXPECT_EQ(no_recording.err.rfind("--mask: only with a recording; usage: vesk", 0), 0u)
      << no_recording.err;
}

// vesk-tune with the user's mask: every injected flash is centred on a scanned pixel, the night
// side holds none of the masked ones, and tune/mask.png shows them darkened, neither green nor
// red.
TEST(Mask, TuneInjectsAndCountsOnlyInsideTheMask) {
  ScratchDir dir;
  constexpr int kTuneFrames = 120;
  make_run_folder(settings_text(1, 80, 32, 3, 5, 4, 4, 4, 4, 4, 4, 95, 0, 20));
  std::mt19937_64 rng(7);
  std::normal_distribution<double> noise(0.0, 2.0);
  std::vector<std::uint8_t> frame(kWidth * kHeight);
  for (int f = 0; f < kTuneFrames; ++f) {
    for (auto& v : frame) v = static_cast<std::uint8_t>(std::lround(60.0 + noise(rng)));
    write_raw_frame(f, kWidth, kHeight, frame);
  }
  std::vector<std::uint8_t> grey(kWidth * kHeight, 255);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = kWidth / 2; x < kWidth; ++x) grey[static_cast<std::size_t>(y * kWidth + x)] = 0;
  }
  TuneInput input;
  std::vector<std::string> problems;
  std::string error;
  ASSERT_TRUE(read_settings_file(scratch_folder(), "settings.txt", input.settings, problems,
                                 nullptr, &error))
      << error;
  const fs::path folder = scratch_folder();
  input.open = [folder](std::string* open_error) -> std::unique_ptr<FrameSource> {
    std::unique_ptr<FrameSource> source = open_frame_folder(folder, open_error);
    if (source == nullptr) return nullptr;
    return make_frame_window(std::move(source), 0, -1);
  };
  input.flashes_per_bin = 10;
  input.threads = 2;
  input.scan_mask = scanned_pixels(grey);
  TuneOutcome outcome;
  ASSERT_TRUE(tune_recording(input, outcome, &error)) << error;
  ASSERT_FALSE(outcome.plan.flashes.empty());
  for (const InjectedFlash& f : outcome.plan.flashes) {
    const long x = std::lround(f.x);
    const long y = std::lround(f.y);
    EXPECT_LT(x, kWidth / 2) << "a flash injected at " << f.x << ", " << f.y;
    EXPECT_EQ(input.scan_mask[static_cast<std::size_t>(y * kWidth + x)], 1);
  }
  EXPECT_EQ(outcome.survey.masked_pixels, kWidth * kHeight / 2);
  for (std::size_t i = 0; i < grey.size(); ++i) {
    if (grey[i] == 0) {
      ASSERT_EQ(outcome.survey.night[i], 0) << i;
    }
  }
  fs::create_directory(in_scratch("tune"));
  ASSERT_TRUE(write_mask_image(in_scratch("tune"), outcome.survey, &error)) << error;
  PngImage picture;
  ASSERT_TRUE(read_png_file(in_scratch("tune/mask.png"), 100, picture, &error)) << error;
  ASSERT_EQ(picture.channels, 3);
  int green = 0;
  for (std::size_t i = 0; i < grey.size(); ++i) {
    const std::uint8_t r = picture.pixels[3 * i];
    const std::uint8_t g = picture.pixels[3 * i + 1];
    const std::uint8_t b = picture.pixels[3 * i + 2];
    if (grey[i] == 0) {
      ASSERT_TRUE(r == g && g == b) << "masked pixel " << i << " tinted";
    } else {
      green += g > r ? 1 : 0;
    }
  }
  EXPECT_GT(green, 0);
}
