#include "reference/oracle_support.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "control/driver.h"
#include "imaging/file_io.h"
#include "imaging/flash_report.h"
#include "imaging/frame_files.h"
#include "outputs/flash_log.h"
#include "reference/reference_detection.h"
#include "reference/settings_fixture.h"
#include "run/processing_run.h"
#include "sources/frame_folder.h"

TestRing::TestRing(int width, int height, int images, std::uint8_t background)
    : geometry{width, height, width * height},
      n(images),
      frames(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                 static_cast<std::size_t>(images),
             background),
      sum(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0.0),
      sq_dev(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0.0) {}

FrameRing TestRing::view() {
  return {frames, sum, sq_dev, geometry.frame_pixels, n};
}

std::span<std::uint8_t> TestRing::slot(int s) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  return std::span<std::uint8_t>(frames).subspan(static_cast<std::size_t>(s) * pixels, pixels);
}

std::uint8_t& TestRing::at(int s, int x, int y) {
  return slot(s)[static_cast<std::size_t>(y) * static_cast<std::size_t>(geometry.image_width) +
                 static_cast<std::size_t>(x)];
}

std::size_t TestRing::chunks() const {
  return candidate_chunk_count(geometry.frame_pixels);
}

void draw_frame(Scene scene, Random& random, int width, int height, std::span<std::uint8_t> frame) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int value = 0;
      switch (scene) {
        case Scene::Noise:
          value = 20 + (100 * x) / width + random.below(8);
          break;
        case Scene::SaturatedAndDark:
          if (x < width / 3) {
            value = random.below(6) == 0 ? 254 : 255;
          } else if (x < 2 * width / 3) {
            value = random.below(3);
          } else {
            value = 120 + random.below(9);
          }
          break;
        case Scene::FullRange:
          value = random.below(256);
          break;
      }
      frame[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint8_t>(value);
    }
  }
  const int spots = random.below(3);
  for (int s = 0; s < spots; ++s) {
    const int w = std::min(1 + random.below(3), width);
    const int h = std::min(1 + random.below(2), height);
    const int x0 = random.below(width - w + 1);
    const int y0 = random.below(height - h + 1);
    const auto value = static_cast<std::uint8_t>(200 + random.below(56));
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) frame[static_cast<std::size_t>(y * width + x)] = value;
    }
  }
}

DetectionSettings oracle_settings(int images_in_buffer) {
  return settings_fixture([images_in_buffer](DetectionSettings& s) {
    s.Max_flash_limit = 20;
    s.Flash_sd_sep = 10.0f;
    s.Time_sd = 3.0f;
    s.Min_sd2 = 4.0f;
    s.Left_sample_border = 1;
    s.Right_sample_border = 1;
    s.Top_line_limit = 2;
    s.Bott_line_limit = 2;
    s.Images_in_buffer = images_in_buffer;
  });
}

DetectionThresholds thresholds_of(const DetectionSettings& settings) {
  return detection_thresholds(settings);
}

namespace {

bool same_float_bits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// "" when `fast` gives what `slow` gives, bit for bit.
std::string difference(const char* which, const DetectionResult& fast, const DetectionResult& slow,
                       const std::vector<std::uint8_t>& fast_marked,
                       const std::vector<std::uint8_t>& slow_marked) {
  const std::string prefix = std::string(which) + ": ";
  if (fast.found != slow.found) return prefix + "found differs";
  if (fast.flash_count != slow.flash_count) {
    return prefix + "flash_count " + std::to_string(fast.flash_count) + " vs " +
           std::to_string(slow.flash_count);
  }
  for (int i = 0; i < slow.flash_count; ++i) {
    if (fast.pixels[i].x != slow.pixels[i].x || fast.pixels[i].y != slow.pixels[i].y) {
      return prefix + "listed pixel " + std::to_string(i) + " differs";
    }
  }
  if (fast_marked != slow_marked) return prefix + "marked frame differs";
  const std::pair<const char*, float FlashMeasurement::*> fields[] = {
      {"sample", &FlashMeasurement::sample},
      {"line", &FlashMeasurement::line},
      {"scatter", &FlashMeasurement::scatter},
      {"bckgrnd", &FlashMeasurement::bckgrnd},
      {"bckgrnd_sigma", &FlashMeasurement::bckgrnd_sigma},
      {"signal", &FlashMeasurement::signal},
      {"time_back", &FlashMeasurement::time_back},
      {"time_sigma", &FlashMeasurement::time_sigma},
      {"time_signal", &FlashMeasurement::time_signal},
  };
  for (const auto& [name, field] : fields) {
    if (!same_float_bits(fast.measurement.*field, slow.measurement.*field)) {
      return prefix + name + " " + std::to_string(fast.measurement.*field) + " vs " +
             std::to_string(slow.measurement.*field);
    }
  }
  return "";
}

}  // namespace

std::string compare_detectors(TestRing& ring, int target, const DetectionThresholds& thresholds,
                              DetectorRuns& runs) {
  const auto pixels = static_cast<std::size_t>(ring.geometry.frame_pixels);
  std::vector<std::uint8_t> slow_marked(pixels, 0xAB);
  std::vector<std::uint8_t> plain_marked(pixels, 0xAB);
  std::vector<std::uint8_t> mapped_marked(pixels, 0xAB);
  reference::flash_detector(ring.view(), ring.geometry, target, thresholds, slow_marked, runs.slow);
  flash_detector(ring.view(), ring.geometry, target, thresholds, plain_marked, {}, runs.plain);
  std::vector<std::uint8_t> chunks(ring.chunks(), 0xCD);
  mark_candidate_chunks(ring.view(), target, thresholds, chunks);
  flash_detector(ring.view(), ring.geometry, target, thresholds, mapped_marked, chunks,
                 runs.mapped);
  std::string diff =
      difference("without the map", runs.plain, runs.slow, plain_marked, slow_marked);
  if (diff.empty()) {
    diff = difference("with the map", runs.mapped, runs.slow, mapped_marked, slow_marked);
  }
  return diff;
}

namespace {

// Reads the next frame of `source` into `slot`: the bytes the file has, and past them the bytes
// of `previous` (the frame before it; zeros when there is none). False at the end of the frames.
bool read_into(FrameSource& source, std::span<std::uint8_t> slot,
               std::span<const std::uint8_t> previous, std::vector<std::uint8_t>& scratch) {
  const FrameRead read = source.read_next(scratch);
  if (read.status != FrameStatus::frame) return false;
  for (std::size_t i = 0; i < slot.size(); ++i) {
    if (i < read.bytes) {
      slot[i] = scratch[i];
    } else {
      slot[i] = previous.empty() ? 0 : previous[i];
    }
  }
  return true;
}

}  // namespace

bool reference_run(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                   std::string* error) {
  return reference_run(run_dir, settings, {}, error);
}

bool reference_run(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                   std::span<const std::uint8_t> mask, std::string* error) {
  // One source fills the ring; a second one, read from the start, gives frames N/2 onwards as
  // the loop loads them, the first N - N/2 of them a second time.
  std::unique_ptr<FrameSource> filler = open_frame_folder(run_dir, error);
  std::unique_ptr<FrameSource> loader = open_frame_folder(run_dir, error);
  if (filler == nullptr || loader == nullptr) return false;
  const FrameGeometry geometry = filler->geometry();
  const int n = settings.Images_in_buffer;
  DetectionThresholds thresholds = thresholds_of(settings);
  thresholds.mask = mask;
  RunBuffers buffers;
  if (!allocate_run_buffers(buffers, geometry, n, 0, error)) return false;
  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  if (!load_report_header(run_dir, report_header, geometry.image_width, geometry.image_height,
                          error)) {
    return false;
  }
  const FrameRing ring{buffers.frame_ring, buffers.pixel_sum, buffers.pixel_sq_dev,
                       geometry.frame_pixels, n};
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  auto slot = [&](int s) {
    return std::span<std::uint8_t>(buffers.frame_ring)
        .subspan(static_cast<std::size_t>(s) * pixels, pixels);
  };
  std::vector<std::uint8_t> scratch(pixels);
  for (int i = 0; i < n; ++i) {
    if (!read_into(*filler, slot(i), i > 0 ? slot(i - 1) : std::span<std::uint8_t>(), scratch)) {
      *error = "frame " + std::to_string(i) + " is missing";
      return false;
    }
  }
  std::vector<std::uint8_t> skipped(pixels);
  for (int i = 0; i < n / 2; ++i) read_into(*loader, skipped, {}, scratch);
  reference::recompute_statistics(ring);

  FileHandle log = open_file_in(run_dir, "flash_info.dat", "w", error);
  if (!log || std::fputs(kFlashInfoHeader, log.get()) == EOF) return false;
  DetectionResult result;
  // Tests the frame in `target_slot` and logs and reports it when accepted; `newest` is the
  // ring's newest frame when it is the recording's last ring, else -1.
  auto test_frame = [&](int target_slot, int target_frame, std::int64_t newest) {
    reference::flash_detector(ring, geometry, target_slot, thresholds, buffers.marked_frame,
                              result);
    if (!result.found || result.flash_count < settings.Min_flash_limit ||
        result.flash_count > settings.Max_flash_limit) {
      return true;
    }
    const std::string name = numbered_file_name(kReportPattern, target_frame);
    FileHandle report = open_file_in(run_dir, name.c_str(), "wb", error);
    if (!report) return false;
    if (!write_flash_record(log.get(), target_frame, result.flash_count, result.measurement)) {
      *error = "flash_info.dat: write failed";
      return false;
    }
    const FlashReportInput input{.target_slot = target_slot,
                                 .sample = result.measurement.sample,
                                 .line = result.measurement.line,
                                 .interlace = settings.Interlace,
                                 .images_in_buffer = n,
                                 .target_frame = target_frame,
                                 .newest_frame = newest,
                                 .geometry = geometry,
                                 .report_header = report_header,
                                 .marked_frame = buffers.marked_frame,
                                 .frame_ring = buffers.frame_ring};
    return write_flash_report(report, name.c_str(), input, buffers.report_pixels,
                              buffers.thumbnail_strip, error);
  };
  int target_slot = 0;
  int load_slot = n / 2;
  int frames = 0;
  for (int frame_number = n / 2;; ++frame_number) {
    if (frame_number % 100 == 0) reference::recompute_statistics(ring);
    reference::retire_slot(ring, load_slot);
    // The frame before lives in the slot before; a frame loaded again is its own slot's bytes.
    std::vector<std::uint8_t> previous(slot((load_slot + n - 1) % n).begin(),
                                       slot((load_slot + n - 1) % n).end());
    if (!read_into(*loader, slot(load_slot), previous, scratch)) {
      const std::string summary =
          format_run_summary(settings, geometry.image_width, geometry.image_height, frame_number);
      if (!replace_text_file(run_dir / "data_dump.txt", summary, error)) return false;
      frames = frame_number;
      break;
    }
    reference::admit_slot(ring, load_slot);
    if (!test_frame(target_slot, frame_number - n / 2, -1)) return false;
    if (++target_slot >= n) target_slot = 0;
    if (++load_slot >= n) load_slot = 0;
  }
  // The ring holds the last N frames untouched (the failed read wrote nothing), its sums short of
  // the retired slot: made whole again, they test the last N/2 frames, which the loop never
  // reached.
  reference::recompute_statistics(ring);
  for (int target_frame = frames - n / 2; target_frame < frames; ++target_frame) {
    if (!test_frame(target_frame % n, target_frame, frames - 1)) return false;
  }
  return close_file(log, "flash_info.dat", error);
}
