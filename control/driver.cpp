#include "control/driver.h"

#include <filesystem>
#include <memory>
#include <vector>

#include "base/message.h"
#include "control/menu.h"
#include "imaging/frame_files.h"
#include "outputs/console_notices.h"
#include "outputs/flash_log.h"
#include "outputs/report_images.h"
#include "outputs/run_summary.h"
#include "run/band_pool.h"
#include "run/processing_run.h"
#include "sources/frame_folder.h"
#include "sources/read_ahead.h"

namespace {

// Loads settings.txt at start: the record has no defaults, so every field must get a number.
bool load_start_settings(const std::filesystem::path& run_dir, DetectionSettings& settings,
                         std::FILE* out, std::FILE* err) {
  std::vector<std::string> problems;
  std::string error;
  if (!read_settings_file(run_dir, "settings.txt", settings, problems, error)) {
    print_message(out, err,
                  error + " (copy default.txt to settings.txt to start from the defaults)");
    return false;
  }
  for (const std::string& problem : problems) {
    print_message(out, err, problem + "; every parameter needs a value");
  }
  return problems.empty();
}

bool check_flash_folder(const std::filesystem::path& run_dir, std::FILE* out, std::FILE* err) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(run_dir / "BMP_FLASHES", ec);
  if (!std::filesystem::exists(status)) {
    print_message(out, err, "BMP_FLASHES: folder missing; create it for the flash report images");
    return false;
  }
  if (!std::filesystem::is_directory(status)) {
    print_message(out, err,
                  "BMP_FLASHES: not a folder; the flash report images need a folder of that name");
    return false;
  }
  return true;
}

// One line per border that the detector raises; the record of the run keeps the typed values.
void warn_about_borders(const DetectionSettings& settings, std::FILE* out, std::FILE* err) {
  const ScanBorders used = detection_thresholds(settings).borders;
  const struct {
    const char* key;
    int typed;
    int used;
  } borders[] = {
      {"Left_sample_border", settings.Left_sample_border, used.left},
      {"Right_sample_border", settings.Right_sample_border, used.right},
      {"Top_line_limit", settings.Top_line_limit, used.top},
      {"Bott_line_limit", settings.Bott_line_limit, used.bottom},
  };
  for (const auto& border : borders) {
    if (border.typed == border.used) continue;
    print_message(out, err,
                  std::string(border.key) + " " + std::to_string(border.typed) +
                      " would read outside the frame; scanning with " +
                      std::to_string(border.used));
  }
}

RunParameters run_parameters(const DetectionSettings& settings, int threads) {
  return {settings.Images_in_buffer, settings.Min_flash_limit, settings.Max_flash_limit,
          detection_thresholds(settings), scan_thread_count(threads)};
}

}  // namespace

RunOutcome run_detection(const std::filesystem::path& run_dir, FrameSource& source,
                         const DetectionSettings& settings,
                         std::span<const std::uint8_t> report_header, RunBuffers& buffers,
                         std::FILE* out, std::FILE* err, int threads) {
  const FrameGeometry geometry = source.geometry();
  const std::unique_ptr<RunOutput> flash_log = make_flash_log(run_dir);
  const std::unique_ptr<RunOutput> report_images =
      make_report_images(run_dir, settings.Interlace, report_header, buffers.report_pixels,
                         buffers.thumbnail_strip, out, err);
  const std::unique_ptr<RunOutput> notices = make_console_notices(out);
  const std::unique_ptr<RunOutput> summary =
      make_run_summary(run_dir, [geometry, settings](std::int64_t frames_read) {
        return format_run_summary(settings, geometry.image_width, geometry.image_height,
                                  frames_read);
      });
  RunOutput* const outputs[] = {flash_log.get(), report_images.get(), notices.get(), summary.get()};
  return process_frames(source, run_parameters(settings, threads), buffers, outputs, out, err);
}

DetectionThresholds detection_thresholds(const DetectionSettings& settings) {
  DetectionThresholds thresholds;
  thresholds.time_sd = static_cast<double>(settings.Time_sd);
  thresholds.min_sd2 = static_cast<double>(settings.Min_sd2);
  thresholds.neighbour_sd = static_cast<double>(settings.Neighbour_sd);
  thresholds.min_sd1 = static_cast<double>(settings.Min_sd1);
  thresholds.flash_sd_sep = static_cast<double>(settings.Flash_sd_sep);
  thresholds.borders = usable_borders({settings.Left_sample_border, settings.Right_sample_border,
                                       settings.Top_line_limit, settings.Bott_line_limit});
  return thresholds;
}

int run_vesk(const std::filesystem::path& run_dir, std::FILE* in, std::FILE* out, std::FILE* err,
             int threads) {
  std::fprintf(out, "%s\n", "***************");
  std::fprintf(out, "%s\n", "*** V E S K ***");
  std::fprintf(out, "%s\n", "***************\n");

  std::string error;
  std::unique_ptr<FrameSource> source = open_frame_folder(run_dir, &error);
  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  if (source == nullptr ||
      !load_report_header(run_dir, report_header, source->geometry().image_width,
                          source->geometry().image_height, error)) {
    print_message(out, err, error);
    return 1;
  }
  const FrameGeometry geometry = source->geometry();
  std::fprintf(out, "NS=%d NL=%d\n", geometry.image_width, geometry.image_height);
  std::fflush(out);

  DetectionSettings settings;
  if (!load_start_settings(run_dir, settings, out, err)) return 1;
  // Checked before the menu so that a long run never ends with its report images lost.
  if (!check_flash_folder(run_dir, out, err)) return 1;

  if (!parameter_menu(settings, run_dir, in, out, err)) return 1;

  if (settings.Images_in_buffer < kLeastImagesInBuffer) {
    print_message(out, err,
                  "Images_in_buffer " + std::to_string(settings.Images_in_buffer) +
                      " is too small: the detector needs at least 3 frames in its ring");
    return 1;
  }
  // One thread reads as it scans; more share the scan, and a reader thread reads ahead.
  const int scan_threads = scan_thread_count(threads);
  RunBuffers buffers;
  if (!allocate_run_buffers(buffers, geometry, settings.Images_in_buffer, error,
                            scan_threads > 1 ? kReadAheadFrames : 0)) {
    print_message(out, err, error);
    return 1;
  }
  warn_about_borders(settings, out, err);
  const RunOutcome outcome =
      run_detection(run_dir, *source, settings, report_header, buffers, out, err, scan_threads);
  std::fflush(out);
  for (const std::string& message : outcome.errors) print_message(out, err, message);
  return outcome.completed && !outcome.lost_output ? 0 : 1;
}
