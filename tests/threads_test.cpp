// The scan split over threads: the bands, the banded passes over the sums bit for bit, and whole
// runs for 1, 2, 3 and 7 threads file for file against the straightforward run, with frame sizes
// that no thread count divides and flashes across the edges of the bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/driver.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "reference/oracle_support.h"
#include "reference/reference_detection.h"
#include "run/band_pool.h"
#include "run/processing_run.h"
#include "sources/frame_folder.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kThreadCounts[] = {1, 2, 3, 7};

// Captures what a FILE* receives.
struct MemoryStream {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  ~MemoryStream() {
    std::fclose(file);
    std::free(data);
  }
  std::string text() {
    std::fflush(file);
    return std::string(data, size);
  }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

DetectionSettings scan_settings(int images) {
  return oracle_settings(images);
}

}  // namespace

// Bands lie side by side from pixel 0 to the last pixel, start and end on candidate chunks (the
// last at the frame's end), and share the chunks out within one of each other; with more bands
// than chunks the extra bands are empty.
TEST(Bands, CoverTheFrameOnChunkBoundaries) {
  struct Case {
    int pixels;
    int bands;
  };
  const Case cases[] = {{1, 1},         {63, 2},
                        {64, 3},        {65, 2},
                        {129, 7},       {1643, 7},
                        {53 * 31, 3},   {64 * 7 + 1, 7},
                        {4096, 2},      {1, 256},
                        {720 * 576, 2}, {1920 * 1080, 7},
                        {0, 2},         {32768 * 32768 - 1, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pixels) + " pixels in " + std::to_string(c.bands) + " bands");
    const std::size_t pixels = c.pixels > 0 ? static_cast<std::size_t>(c.pixels) : 0;
    std::size_t next = 0;
    std::size_t fewest = pixels;
    std::size_t most = 0;
    for (int band = 0; band < c.bands; ++band) {
      const PixelRange range = band_range(c.pixels, band, c.bands);
      ASSERT_EQ(range.begin, next) << "band " << band;
      ASSERT_LE(range.begin, range.end) << "band " << band;
      EXPECT_EQ(range.begin % kCandidateChunkPixels, 0u) << "band " << band;
      EXPECT_TRUE(range.end % kCandidateChunkPixels == 0 || range.end == pixels) << "band " << band;
      const std::size_t chunks = (range.end - range.begin + kCandidateChunkPixels - 1) /
                                 static_cast<std::size_t>(kCandidateChunkPixels);
      fewest = std::min(fewest, chunks);
      most = std::max(most, chunks);
      next = range.end;
    }
    EXPECT_EQ(next, pixels);
    if (pixels > 0) {
      EXPECT_LE(most - fewest, 1u);
    }
  }
}

// Hundreds of frames replaced band by band on a pool of 2, 3 and 7 threads, a recomputation in
// bands every 100: both sums stay bit for bit those of the straightforward four passes and the
// candidate map that of the whole-frame marking, also with N = 1 (every pixel a candidate) and a
// NaN Time_sd (none).
TEST(Bands, SumsAndMarksMatchTheStraightforwardPassesOnAnyThreadCount) {
  struct Case {
    const char* name;
    int width;
    int height;
    int images;
    Scene scene;
    float time_sd;
  };
  const Case cases[] = {
      {"53 x 31, N 7, noise", 53, 31, 7, Scene::Noise, 3.0f},
      {"61 x 19, N 12, full range, negative Time_sd", 61, 19, 12, Scene::FullRange, -0.5f},
      {"40 x 9, N 3, saturated and dark", 40, 9, 3, Scene::SaturatedAndDark, 3.0f},
      {"29 x 5, N 1", 29, 5, 1, Scene::Noise, 3.0f},
      {"33 x 7, N 5, NaN Time_sd", 33, 7, 5, Scene::FullRange,
       std::numeric_limits<float>::quiet_NaN()},
  };
  constexpr int kSteps = 320;
  for (const Case& c : cases) {
    for (const int threads : {2, 3, 7}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(threads) + " threads");
      Random random{0x5EED0000ULL + static_cast<std::uint64_t>(c.images)};
      TestRing fast(c.width, c.height, c.images);
      for (int s = 0; s < c.images; ++s)
        draw_frame(c.scene, random, c.width, c.height, fast.slot(s));
      TestRing slow = fast;
      DetectionSettings settings = scan_settings(c.images);
      settings.Time_sd = c.time_sd;
      const DetectionThresholds thresholds = thresholds_of(settings);

      BandPool pool(threads);
      ASSERT_EQ(pool.threads(), threads);
      const FrameRing ring = fast.view();
      const int bands = band_count(ring.frame_pixels, threads);
      auto recompute = [&](int band) {
        recompute_statistics(ring, band_range(ring.frame_pixels, band, bands));
      };
      pool.run(bands, recompute);
      reference::recompute_statistics(slow.view());
      ASSERT_TRUE(same_bits(fast.sum, slow.sum));
      ASSERT_TRUE(same_bits(fast.sq_dev, slow.sq_dev));

      std::vector<std::uint8_t> entering(static_cast<std::size_t>(c.width * c.height));
      std::vector<std::uint8_t> chunks(fast.chunks(), 0xCD);
      std::vector<std::uint8_t> expected(fast.chunks());
      for (int step = 1; step <= kSteps; ++step) {
        const int slot = step % c.images;
        const int target = (slot + c.images - c.images / 2) % c.images;
        draw_frame(c.scene, random, c.width, c.height, entering);
        const bool recompute_now = step % kRecomputePeriod == 0;
        auto load = [&](int band) {
          const PixelRange pixels = band_range(ring.frame_pixels, band, bands);
          if (recompute_now) recompute_statistics(ring, pixels);
          replace_and_mark(ring, slot, entering, target, thresholds, chunks, pixels);
        };
        pool.run(bands, load);
        if (recompute_now) reference::recompute_statistics(slow.view());
        reference::retire_slot(slow.view(), slot);
        std::copy(entering.begin(), entering.end(), slow.slot(slot).begin());
        reference::admit_slot(slow.view(), slot);
        mark_candidate_chunks(slow.view(), target, thresholds, expected);
        ASSERT_EQ(fast.frames, slow.frames) << "step " << step;
        ASSERT_TRUE(same_bits(fast.sum, slow.sum)) << "pixel_sum, step " << step;
        ASSERT_TRUE(same_bits(fast.sq_dev, slow.sq_dev)) << "pixel_sq_dev, step " << step;
        ASSERT_EQ(chunks, expected) << "step " << step;
      }
    }
  }
}

namespace {

constexpr int kRunWidth = 53;   // 53 x 31 = 1643 pixels, 26 candidate chunks
constexpr int kRunHeight = 31;  // a prime: no thread count splits it into whole rows
constexpr int kRunFrames = 240;
constexpr int kShortFrame = 150;

// Where flashes go: across every band edge of a 53 x 31 frame scanned on 2, 3 and 7 threads, a
// pixel each side of the edge, moved inside the scanned columns.
std::vector<std::pair<int, int>> band_edge_spots() {
  std::vector<std::pair<int, int>> spots;
  for (const int threads : {2, 3, 7}) {
    const int bands = band_count(kRunWidth * kRunHeight, threads);
    for (int band = 1; band < bands; ++band) {
      const auto edge = static_cast<int>(band_range(kRunWidth * kRunHeight, band, bands).begin);
      const int x = std::clamp(edge % kRunWidth, 3, kRunWidth - 5);
      const int y = std::clamp(edge / kRunWidth, 3, kRunHeight - 5);
      if (std::find(spots.begin(), spots.end(), std::pair(x, y)) == spots.end()) {
        spots.emplace_back(x, y);
      }
    }
  }
  return spots;
}

// Frames 0 to kRunFrames - 1 of a noisy scene; every 9 frames a 3 x 2 flash starting one pixel
// before a band edge, the edges taken in turn, and frame kShortFrame cut short. Frame kRunFrames
// is missing: end of input.
std::vector<std::vector<std::uint8_t>> write_run_frames() {
  const std::vector<std::pair<int, int>> spots = band_edge_spots();
  Random random{77};
  EXPECT_LE(spots.size() * 9, static_cast<std::size_t>(kRunFrames)) << "edges left without a flash";
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> payload(kRunWidth * kRunHeight);
  for (int frame = 0; frame < kRunFrames; ++frame) {
    draw_frame(Scene::Noise, random, kRunWidth, kRunHeight, payload);
    if (frame % 9 == 4) {
      const auto [x, y] = spots[static_cast<std::size_t>(frame / 9) % spots.size()];
      for (int dy = 0; dy < 2; ++dy) {
        for (int dx = -1; dx < 2; ++dx) {
          payload[static_cast<std::size_t>((y + dy) * kRunWidth + x + dx)] = 240;
        }
      }
    }
    std::vector<std::uint8_t> bytes = raw_frame_bytes(kRunWidth, kRunHeight, payload);
    if (frame == kShortFrame) bytes.resize(bytes.size() / 3);
    char name[64];
    std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", frame);
    write_file(name, bytes);
    frames.push_back(payload);
  }
  return frames;
}

// Every output file of the run in the working folder, by name.
std::map<std::string, std::vector<std::uint8_t>> run_files() {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const char* name : {"flash_info.dat", "data_dump.txt"}) files[name] = read_file(name);
  for (const auto& entry : fs::directory_iterator(in_scratch("BMP_FLASHES"))) {
    const std::string name = "BMP_FLASHES/" + entry.path().filename().string();
    files[name] = read_file(name);
  }
  return files;
}

struct InProcessRun {
  int status = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::vector<std::uint8_t>> files;
};

// run_vesk in the working folder with `threads`, the menu answered with 0.
InProcessRun run_in_process(int threads) {
  char answer[] = "0\n";
  std::FILE* in = fmemopen(answer, sizeof answer - 1, "r");
  MemoryStream out;
  MemoryStream err;
  InProcessRun run;
  run.status = run_vesk(scratch_folder(), in, out.file, err.file, threads);
  std::fclose(in);
  run.out = out.text();
  run.err = err.text();
  run.files = run_files();
  return run;
}

}  // namespace

// Whole runs of 240 frames (two periodic recomputations, a short frame, end of input at a missing
// frame, flashes across every band edge) with 1, 2, 3 and 7 threads write flash_info.dat,
// data_dump.txt and the report images byte for byte as the straightforward run does, and the same
// console text; under the shipped kind of settings, under settings that let many pixels through,
// and under settings that confirm every pixel so that the list of 100 is cut every frame.
TEST(Threads, WholeRunsWriteTheSameFilesForAnyThreadCount) {
  struct Case {
    const char* name;
    std::string settings;
    std::size_t least_reports;
  };
  const Case cases[] = {
      {"default kind, N 10",
       settings_text(1, 20, 10.0f, 3.0f, 5.0f, 4.0f, 4.0f, 10, 10, 10, 10, 95.0f, 1, 10), 4},
      {"negative Time_sd, odd N 7, narrow borders",
       settings_text(1, 100, 40.0f, 3.0f, -0.5f, 4.0f, 0.0f, 0, 1, 1, 2, 95.0f, 0, 7), 4},
      {"every pixel confirmed, N 5",
       settings_text(1, 100, 1e30f, -1.0f, -1.0f, 0.0f, 0.0f, 1, 1, 2, 2, 95.0f, 0, 5), 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    make_run_folder(c.settings);
    write_run_frames();
    DetectionSettings settings;
    std::vector<std::string> problems;
    std::string error;
    ASSERT_TRUE(
        read_settings_file(scratch_folder(), "settings.txt", settings, problems, nullptr, &error))
        << error;
    ASSERT_TRUE(reference_run(scratch_folder(), settings, &error)) << error;
    const std::map<std::string, std::vector<std::uint8_t>> expected = run_files();
    EXPECT_GE(expected.size(), c.least_reports + 2) << "too few report images to compare";

    InProcessRun one_thread;
    for (const int threads : kThreadCounts) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      for (const auto& entry : fs::directory_iterator(in_scratch("BMP_FLASHES")))
        fs::remove(entry.path());
      fs::remove(in_scratch("flash_info.dat"));
      fs::remove(in_scratch("data_dump.txt"));
      const InProcessRun run = run_in_process(threads);
      EXPECT_EQ(run.status, 0) << run.err;
      ASSERT_EQ(run.files.size(), expected.size());
      for (const auto& [name, bytes] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(run.files.count(name), 1u);
        EXPECT_TRUE(run.files.at(name) == bytes);
      }
      if (threads == 1) {
        one_thread = run;
      } else {
        EXPECT_EQ(run.out, one_thread.out);
        EXPECT_EQ(run.err, one_thread.err);
      }
      if (testing::Test::HasFailure()) return;
    }
  }
}

namespace {

// An output that keeps the sums as they stand at the last frame tested while frames were loaded
// (the recording's last ring has its sums recomputed), and the detector's results of every
// reported frame.
class SumsAtEnd final : public RunOutput {
 public:
  OutputStatus report(const ReportView& report, std::string*) override {
    counts.push_back(report.result.flash_count);
    return OutputStatus::ok;
  }
  OutputStatus frame_tested(const TestedFrame&, const RingView& ring, std::string*) override {
    if (ring.end_ring()) return OutputStatus::ok;
    sum.assign(ring.pixel_sum.begin(), ring.pixel_sum.end());
    sq_dev.assign(ring.pixel_sq_dev.begin(), ring.pixel_sq_dev.end());
    return OutputStatus::ok;
  }
  std::vector<double> sum;
  std::vector<double> sq_dev;
  std::vector<int> counts;
};

}  // namespace

// After 600 frames (six recomputations, the running pixel_sq_dev drifting in between) the run's
// sums are bit for bit those of the straightforward four-pass update, for every thread count.
TEST(Threads, SumsAfterManyFramesAreTheStraightforwardOnes) {
  constexpr int kFrames = 600;
  constexpr int kImages = 9;
  ScratchDir scratch;
  make_run_folder();
  Random random{4242};
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> payload(kRunWidth * kRunHeight);
  for (int frame = 0; frame < kFrames; ++frame) {
    draw_frame(Scene::FullRange, random, kRunWidth, kRunHeight, payload);
    write_raw_frame(frame, kRunWidth, kRunHeight, payload);
    frames.push_back(payload);
  }

  // The straightforward run: recomputation every 100 frame numbers, retire, copy, admit.
  TestRing slow(kRunWidth, kRunHeight, kImages);
  for (int s = 0; s < kImages; ++s) {
    std::copy(frames[static_cast<std::size_t>(s)].begin(),
              frames[static_cast<std::size_t>(s)].end(), slow.slot(s).begin());
  }
  reference::recompute_statistics(slow.view());
  int load_slot = kImages / 2;
  for (int frame_number = kImages / 2; frame_number < kFrames; ++frame_number) {
    if (frame_number % kRecomputePeriod == 0) reference::recompute_statistics(slow.view());
    reference::retire_slot(slow.view(), load_slot);
    const std::vector<std::uint8_t>& entering =
        frame_number < kImages
            ? std::vector<std::uint8_t>(slow.slot(load_slot).begin(), slow.slot(load_slot).end())
            : frames[static_cast<std::size_t>(frame_number)];
    std::copy(entering.begin(), entering.end(), slow.slot(load_slot).begin());
    reference::admit_slot(slow.view(), load_slot);
    if (++load_slot >= kImages) load_slot = 0;
  }

  DetectionSettings settings = scan_settings(kImages);
  settings.Time_sd = -0.5f;  // many candidates, every one confirmed
  settings.Neighbour_sd = -1.0f;
  settings.Flash_sd_sep = 1e30f;
  std::vector<int> one_thread_counts;
  for (const int threads : kThreadCounts) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    std::string error;
    const std::unique_ptr<FrameSource> source = open_frame_folder(scratch_folder(), &error);
    ASSERT_NE(source, nullptr) << error;
    RunBuffers buffers;
    ASSERT_TRUE(allocate_run_buffers(buffers, source->geometry(), kImages, 0, &error)) << error;
    RunParameters parameters{kImages, 1, 100, thresholds_of(settings), threads};
    SumsAtEnd sums;
    RunOutput* const outputs[] = {&sums};
    const RunOutcome outcome =
        process_frames(*source, parameters, buffers, outputs, nullptr, stderr);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.frames_read, kFrames);
    EXPECT_TRUE(same_bits(sums.sum, slow.sum));
    EXPECT_TRUE(same_bits(sums.sq_dev, slow.sq_dev));
    EXPECT_FALSE(sums.counts.empty());
    if (threads == 1) one_thread_counts = sums.counts;
    EXPECT_EQ(sums.counts, one_thread_counts);
  }
}
