#include "control/driver.h"

#include <filesystem>
#include <limits>
#include <new>

#include "control/menu.h"
#include "control/settings.h"

namespace {

void print_line(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s\n", message.c_str());
}

// a * b, false when it does not fit in size_t.
bool multiply(std::size_t a, std::size_t b, std::size_t& product) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
  product = a * b;
  return true;
}

// Loads settings.txt at start: the record has no defaults, so every field must get a number.
bool load_start_settings(DetectionSettings& settings, std::FILE* err) {
  std::vector<std::string> problems;
  std::string error;
  if (!read_settings_file("settings.txt", settings, problems, error)) {
    print_line(err, error + " (copy default.txt to settings.txt to start from the defaults)");
    return false;
  }
  for (const std::string& problem : problems) {
    print_line(err, problem + "; every parameter needs a value");
  }
  return problems.empty();
}

bool check_flash_folder(std::FILE* err) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status("BMP_FLASHES", ec);
  if (!std::filesystem::exists(status)) {
    print_line(err, "BMP_FLASHES: folder missing; create it for the flash report images");
    return false;
  }
  if (!std::filesystem::is_directory(status)) {
    print_line(err,
               "BMP_FLASHES: not a folder; the flash report images need a folder of that name");
    return false;
  }
  return true;
}

}  // namespace

bool allocate_run_buffers(RunBuffers& buffers, const FrameGeometry& geometry, int images_in_buffer,
                          std::string& error) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  const auto width = static_cast<std::size_t>(geometry.image_width);
  const std::size_t slots = images_in_buffer > 0 ? static_cast<std::size_t>(images_in_buffer) : 0;
  std::size_t ring_bytes = 0;
  std::size_t report_bytes = 0;
  std::size_t strip_bytes = 0;
  if (!multiply(slots, pixels, ring_bytes) || !multiply(3, pixels, report_bytes) ||
      !multiply(120, width, strip_bytes) || pixels > std::vector<double>().max_size() ||
      ring_bytes > std::vector<std::uint8_t>().max_size()) {
    error = "Images_in_buffer " + std::to_string(images_in_buffer) + " with " +
            std::to_string(geometry.image_width) + " x " + std::to_string(geometry.image_height) +
            " frames: the frame ring is too large to address";
    return false;
  }
  const std::string no_memory = "cannot allocate " + std::to_string(ring_bytes / (1024 * 1024)) +
                                " MiB for a frame ring of " + std::to_string(images_in_buffer) +
                                " frames; lower Images_in_buffer";
  // The ring is asked for once without throwing first: a memory checker that aborts on a failed
  // throwing allocation then reports the same message as a plain build.
  void* probe = ::operator new(ring_bytes, std::nothrow);
  if (probe == nullptr) {
    error = no_memory;
    return false;
  }
  ::operator delete(probe);
  // The one place where the run's memory is obtained; a failure here is reported, not thrown on.
  try {
    // The ring starts zeroed, so a short frame among the first N never exposes stale memory.
    buffers.frame_ring.assign(ring_bytes, 0);
    buffers.marked_frame.assign(pixels, 0);
    buffers.thumbnail_strip.assign(strip_bytes, 0);
    buffers.report_pixels.assign(report_bytes, 0);
    buffers.pixel_sum.assign(pixels, 0.0);
    buffers.pixel_sq_dev.assign(pixels, 0.0);
    buffers.candidate_chunks.assign(candidate_chunk_count(geometry.frame_pixels), 0);
  } catch (const std::bad_alloc&) {
    for (auto* bytes : {&buffers.frame_ring, &buffers.marked_frame, &buffers.thumbnail_strip,
                        &buffers.report_pixels, &buffers.candidate_chunks}) {
      std::vector<std::uint8_t>().swap(*bytes);
    }
    std::vector<double>().swap(buffers.pixel_sum);
    std::vector<double>().swap(buffers.pixel_sq_dev);
    error = no_memory;
    return false;
  }
  return true;
}

int run_vesk(std::FILE* in, std::FILE* out, std::FILE* err) {
  std::fprintf(out, "%s\n", "***************");
  std::fprintf(out, "%s\n", "*** V E S K ***");
  std::fprintf(out, "%s\n", "***************\n");

  RunBuffers buffers;
  buffers.header_scratch.assign(kFrameHeaderBytes, 0);
  buffers.report_header.assign(kReportHeaderBytes, 0);

  FrameGeometry geometry;
  std::string error;
  if (!read_frame_geometry(buffers.header_scratch, geometry, error) ||
      !load_report_header(buffers.report_header, geometry.image_width, geometry.image_height,
                          error)) {
    std::fflush(out);
    print_line(err, error);
    return 1;
  }
  std::fprintf(out, "NS=%d NL=%d\n", geometry.image_width, geometry.image_height);
  std::fflush(out);

  DetectionSettings settings;
  if (!load_start_settings(settings, err)) return 1;
  // Checked before the menu so that a long run never ends with its report images lost.
  if (!check_flash_folder(err)) return 1;

  if (!parameter_menu(settings, in, out, err)) return 1;

  if (!allocate_run_buffers(buffers, geometry, settings.Images_in_buffer, error)) {
    std::fflush(out);
    print_line(err, error);
    return 1;
  }

  FileHandle flash_log;
  const RunOutcome outcome = process_frames(geometry, settings, buffers, flash_log, out, err);
  std::fflush(out);
  bool ok = outcome.completed && !outcome.lost_output;
  if (!outcome.completed) print_line(err, outcome.error);
  if (!close_file(flash_log, "flash_info.dat", error)) {
    print_line(err, error);
    ok = false;
  }
  return ok ? 0 : 1;
}
