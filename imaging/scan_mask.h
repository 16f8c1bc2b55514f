// The user's mask of the pixels to scan: mask.png in the run folder, a grey picture of the frame's
// size (an 8-bit PNG, or a BMP laid out as the frame files are or as picture editors save one).
// Pixels of 128 or more are scanned; the others are never a candidate. The file is the user's: a
// run only reads it, and only `vesk RECORDING --mask FILE` replaces it, whole, through a temporary
// name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/frame_geometry.h"

inline constexpr const char* kMaskName = "mask.png";

// Grey levels from this one up are scanned.
inline constexpr std::uint8_t kMaskScannedFrom = 128;

// Reads the mask picture `name` in `dir` (`dir` / `name`; messages name `name` as given) for
// frames of `geometry`: its grey levels into `grey`, one byte per pixel, row 0 first. Refused,
// without waiting or allocating, with `error` one line naming the file and what is wrong: not a
// regular file (a FIFO, a device, a folder), not a PNG or BMP, a colour, 16-bit or transparent
// PNG, a colour, compressed or 1-, 4- or 16-bit BMP, another size ("320x240, the frames are
// 720x576"), truncated or damaged. A BMP laid out as the frame files is read as a frame is; any
// other BMP as the picture shows, top row first, as a PNG.
bool read_mask_picture(const std::filesystem::path& dir, const std::string& name,
                       const FrameGeometry& geometry, std::vector<std::uint8_t>& grey,
                       std::string* error);

// One byte per pixel of `grey`: 1 where it is kMaskScannedFrom or more, else 0.
std::vector<std::uint8_t> scanned_pixels(std::span<const std::uint8_t> grey);

// mask.png of `run_dir` as the detector takes it (see scanned_pixels); `scanned` empty when the
// folder has no mask.png (nothing under that name, not even a broken link). False with `error`
// as read_mask_picture says.
bool load_run_mask(const std::filesystem::path& run_dir, const FrameGeometry& geometry,
                   std::vector<std::uint8_t>& scanned, std::string* error);

// `given` (a path as typed, named so in messages) checked as read_mask_picture checks it, then
// written as `run_dir`/mask.png, an 8-bit grey PNG of the same grey levels, through
// mask.png.part and a rename: the old mask stays whole until the new one is complete. False with
// `error` when the file is refused or cannot be written; an older mask.png is then kept.
bool install_mask(const std::string& given, const std::filesystem::path& run_dir,
                  const FrameGeometry& geometry, std::string* error);

// "mask.png: N of M pixels scanned" for the run's notice.
std::string mask_notice(std::span<const std::uint8_t> scanned);
