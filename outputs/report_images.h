// BMP_FLASHES/nnnnn.bmp: one report image per reported frame (the boxed frame and a strip of
// close-ups from the ring).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "outputs/report_limit.h"
#include "run/run_output.h"

// The work space of report images for frames of `geometry`: report_pixels (3 * frame_pixels)
// and thumbnail_strip (report_strip_bytes), which allocate_run_buffers obtains for it. The
// largest size_t when it does not fit.
std::size_t report_images_bytes_needed(const FrameGeometry& geometry);

// The output that writes report images into `run_dir`/BMP_FLASHES. `report_header` (56 bytes,
// the template with this run's size), `report_pixels` and `thumbnail_strip` (sized by
// allocate_run_buffers) belong to the caller and outlive the output. An image that cannot be
// written is said on `err` (after flushing `out`) and the run goes on. With `limit` (owned by the
// caller), reports past limit->most are counted there and get no image, with one line the first
// time.
std::unique_ptr<RunOutput> make_report_images(const std::filesystem::path& run_dir, int interlace,
                                              std::span<const std::uint8_t> report_header,
                                              std::span<std::uint8_t> report_pixels,
                                              std::span<std::uint8_t> thumbnail_strip,
                                              std::FILE* out, std::FILE* err,
                                              ReportLimit* limit = nullptr);
