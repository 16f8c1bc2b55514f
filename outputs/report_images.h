// BMP_FLASHES/nnnnn.bmp: one report image per reported frame (the boxed frame and a strip of
// close-ups from the ring).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "run/run_output.h"

// The output that writes report images into `run_dir`/BMP_FLASHES. `report_header` (56 bytes,
// the template with this run's size), `report_pixels` and `thumbnail_strip` (sized by
// allocate_run_buffers) belong to the caller and outlive the output. An image that cannot be
// written is said on `err` (after flushing `out`) and the run goes on.
std::unique_ptr<RunOutput> make_report_images(const std::filesystem::path& run_dir, int interlace,
                                              std::span<const std::uint8_t> report_header,
                                              std::span<std::uint8_t> report_pixels,
                                              std::span<std::uint8_t> thumbnail_strip,
                                              std::FILE* out, std::FILE* err);
