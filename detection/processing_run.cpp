#include "detection/processing_run.h"

#include <cerrno>
#include <span>

#include "detection/frame_ring.h"
#include "imaging/flash_report.h"

namespace {

constexpr const char* kFlashLogName = "flash_info.dat";
constexpr const char* kRunSummaryName = "data_dump.txt";
constexpr int kFrameLimit = 99999;       // frame numbers stay below this, so names keep five digits
constexpr int kLeastImagesInBuffer = 3;  // the temporal spread divides by N - 2

// One message line on `err`, after the console text written so far.
void warn(std::FILE* out, std::FILE* err, const std::string& message) {
  std::fflush(out);
  std::fprintf(err, "%s\n", message.c_str());
}

bool buffers_match(const FrameGeometry& geometry, int images_in_buffer, const RunBuffers& buffers) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  const auto width = static_cast<std::size_t>(geometry.image_width);
  const auto slots = static_cast<std::size_t>(images_in_buffer);
  return pixels != 0 && buffers.frame_ring.size() / pixels == slots &&
         buffers.frame_ring.size() % pixels == 0 && buffers.marked_frame.size() == pixels &&
         buffers.pixel_sum.size() == pixels && buffers.pixel_sq_dev.size() == pixels &&
         buffers.candidate_chunks.size() == candidate_chunk_count(geometry.frame_pixels) &&
         buffers.report_pixels.size() / 3 == pixels && buffers.report_pixels.size() % 3 == 0 &&
         buffers.thumbnail_strip.size() / 120 == width &&
         buffers.thumbnail_strip.size() % 120 == 0 &&
         buffers.header_scratch.size() >= static_cast<std::size_t>(kFrameHeaderBytes) &&
         buffers.report_header.size() >= static_cast<std::size_t>(kReportHeaderBytes);
}

// One line per border that the detector raises; the record of the run keeps the typed values.
void warn_about_borders(const DetectionSettings& settings, std::FILE* out, std::FILE* err) {
  const ScanBorders used = usable_borders(settings);
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
    warn(out, err,
         std::string(border.key) + " " + std::to_string(border.typed) +
             " would read outside the frame; scanning with " + std::to_string(border.used));
  }
}

// Creates flash_info.dat with its header line, flushed at once.
bool start_flash_log(FileHandle& flash_log, std::string& error) {
  flash_log = open_file(kFlashLogName, "w", error);
  if (!flash_log) return false;
  errno = 0;
  if (std::fputs(kFlashLogHeader, flash_log.get()) == EOF || std::fflush(flash_log.get()) != 0) {
    error = errno_message(kFlashLogName, "write failed");
    flash_log.reset();  // reported here; the driver's close must not report it again
    return false;
  }
  return true;
}

// data_dump.txt: the frame count and the settings of the run, as typed.
bool write_run_summary(const FrameGeometry& geometry, const DetectionSettings& settings,
                       int nframes, std::string& error) {
  FileHandle summary = open_file(kRunSummaryName, "w", error);
  if (!summary) return false;
  errno = 0;
  const int written = std::fprintf(
      summary.get(),
      "image_width=%d\nimage_height=%d\ninterlace=%d\nnframes=%d\nmin_flash_limit=%d\n"
      "max_flash_limit=%d\nneighour_sd=%f\ntime_sd=%f\nmin_sd1=%f\nmin_sid2=%f\nleft_border=%d\n"
      "right_border=%d\ntop_border=%d\nbottom_border=%d\npeak_killer=%f\ninterlace=%d\n",
      geometry.image_width, geometry.image_height, settings.Interlace, nframes,
      settings.Min_flash_limit, settings.Max_flash_limit,
      static_cast<double>(settings.Neighbour_sd), static_cast<double>(settings.Time_sd),
      static_cast<double>(settings.Min_sd1), static_cast<double>(settings.Min_sd2),
      settings.Left_sample_border, settings.Right_sample_border, settings.Top_line_limit,
      settings.Bott_line_limit, static_cast<double>(settings.Peak_killer), settings.Interlace);
  if (written < 0) {
    error = errno_message(kRunSummaryName, "write failed");
    return false;
  }
  return close_file(summary, kRunSummaryName, error);
}

}  // namespace

bool write_flash_record(std::FILE* flash_log, int target_frame, int flash_count,
                        const FlashMeasurement& measurement) {
  const int written = std::fprintf(
      flash_log, "%d %d %f %f %f %f %f %f %f %f %f\n", target_frame, flash_count,
      static_cast<double>(measurement.sample), static_cast<double>(measurement.line),
      static_cast<double>(measurement.scatter), static_cast<double>(measurement.bckgrnd),
      static_cast<double>(measurement.bckgrnd_sigma), static_cast<double>(measurement.signal),
      static_cast<double>(measurement.time_back), static_cast<double>(measurement.time_sigma),
      static_cast<double>(measurement.time_signal));
  return written >= 0 && std::fflush(flash_log) == 0;
}

bool load_next_frame(const FrameRing& ring, int load_slot, int target_slot, int frame_number,
                     const DetectionSettings& settings, std::span<std::uint8_t> scratch,
                     std::span<std::uint8_t> header_scratch,
                     std::span<std::uint8_t> candidate_chunks, std::string& warning) {
  std::string short_file;
  if (!read_raw_frame(frame_number, scratch, header_scratch, short_file)) {
    retire_slot(ring, load_slot);
    return false;
  }
  if (short_file.empty()) {
    replace_and_mark(ring, load_slot, scratch, target_slot, settings, candidate_chunks);
    return true;
  }
  warning = short_file;
  retire_slot(ring, load_slot);
  const std::span<std::uint8_t> slot = ring.frame_ring.subspan(
      static_cast<std::size_t>(load_slot) * static_cast<std::size_t>(ring.frame_pixels),
      static_cast<std::size_t>(ring.frame_pixels));
  if (!read_raw_frame(frame_number, slot, header_scratch, short_file)) return false;
  admit_slot(ring, load_slot);
  mark_candidate_chunks(ring, target_slot, settings, candidate_chunks);
  return true;
}

RunOutcome process_frames(const FrameGeometry& geometry, const DetectionSettings& settings,
                          RunBuffers& buffers, FileHandle& flash_log, std::FILE* out,
                          std::FILE* err) {
  RunOutcome outcome;
  const int n = settings.Images_in_buffer;
  if (n < kLeastImagesInBuffer) {
    outcome.completed = false;
    outcome.error = "Images_in_buffer " + std::to_string(n) +
                    " is too small: the detector needs at least 3 frames in its ring";
    return outcome;
  }
  if (!buffers_match(geometry, n, buffers)) {
    outcome.completed = false;
    outcome.error = "the run's buffers do not fit Images_in_buffer " + std::to_string(n) +
                    " and frames of " + std::to_string(geometry.image_width) + " x " +
                    std::to_string(geometry.image_height);
    return outcome;
  }

  const FrameRing ring{buffers.frame_ring, buffers.pixel_sum, buffers.pixel_sq_dev,
                       geometry.frame_pixels, n};

  // The ring is filled before flash_info.dat is created, so a run that cannot start leaves the
  // log of an earlier run as it was.
  std::vector<std::string> warnings;
  const bool filled = fill_ring(ring, buffers.header_scratch, outcome.error, warnings);
  for (const std::string& warning : warnings) warn(out, err, warning);
  if (!filled) {
    outcome.completed = false;
    return outcome;
  }
  warn_about_borders(settings, out, err);
  if (!start_flash_log(flash_log, outcome.error)) {
    outcome.completed = false;
    return outcome;
  }
  recompute_statistics(ring);

  int target_slot = 0;
  int frame_number = n / 2;
  int load_slot = n / 2;
  int frame_limit = kFrameLimit;
  FlashMeasurement measurement;

  while (frame_number < frame_limit) {
    std::fprintf(out, "Processing frame %d\n", frame_number);
    int flash_count = 0;
    if (frame_number % 100 == 0) recompute_statistics(ring);
    // marked_frame takes the new frame's bytes until the detector rebuilds it below.
    std::string warning;
    if (!load_next_frame(ring, load_slot, target_slot, frame_number, settings, buffers.marked_frame,
                         buffers.header_scratch, buffers.candidate_chunks, warning)) {
      // End of input: the first missing frame number is the length of the sequence.
      frame_limit = frame_number;
      if (!write_run_summary(geometry, settings, frame_limit, outcome.error)) {
        outcome.completed = false;
      }
      break;
    }
    if (!warning.empty()) warn(out, err, warning);

    const int found = flash_detector(ring, geometry, target_slot, settings, buffers.marked_frame,
                                     flash_count, measurement, buffers.candidate_chunks);
    if (found != 0 && flash_count >= settings.Min_flash_limit &&
        flash_count <= settings.Max_flash_limit) {
      const int target_frame = frame_number - n / 2;
      const std::string report_name = numbered_file_name(kReportPattern, target_frame);
      std::string report_error;
      FileHandle report = open_file(report_name.c_str(), "wb", report_error);
      if (!report) {
        warn(out, err, report_error);
        outcome.lost_output = true;
      }

      errno = 0;
      const bool logged =
          write_flash_record(flash_log.get(), target_frame, flash_count, measurement);
      if (!logged) outcome.error = errno_message(kFlashLogName, "write failed");

      if (report) {
        const FlashReportInput input{.target_slot = target_slot,
                                     .sample = measurement.sample,
                                     .line = measurement.line,
                                     .interlace = settings.Interlace,
                                     .images_in_buffer = n,
                                     .geometry = geometry,
                                     .report_header = buffers.report_header,
                                     .marked_frame = buffers.marked_frame,
                                     .frame_ring = buffers.frame_ring};
        if (!write_flash_report(report, report_name.c_str(), input, buffers.report_pixels,
                                buffers.thumbnail_strip, report_error)) {
          warn(out, err, report_error);
          outcome.lost_output = true;
        }
      }
      std::fprintf(out, "Video Frame= %d may have an impact flash %d\n", frame_number,
                   target_frame);
      // A log that cannot take records ends the run: going on would lose every later flash.
      if (!logged) {
        outcome.completed = false;
        flash_log.reset();  // reported above; the driver's close must not report it again
        return outcome;
      }
    }

    ++target_slot;
    ++frame_number;
    ++load_slot;
    if (target_slot >= n) target_slot = 0;
    if (load_slot >= n) load_slot = 0;
  }
  return outcome;
}
