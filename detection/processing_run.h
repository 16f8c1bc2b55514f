// The processing run: flash log, ring fill, one iteration per frame (progress line, rolling
// statistics, detector, accepted frames logged and reported), run summary at end of input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "control/settings.h"
#include "detection/flash_detector.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"

// Every buffer that outlives one step; owned by the driver, sized once before the run.
struct RunBuffers {
  std::vector<std::uint8_t> header_scratch;    // 54 bytes, header of the last raw frame read
  std::vector<std::uint8_t> report_header;     // 56 bytes, from bmpheader.dat
  std::vector<std::uint8_t> frame_ring;        // Images_in_buffer * frame_pixels
  std::vector<std::uint8_t> marked_frame;      // frame_pixels
  std::vector<std::uint8_t> thumbnail_strip;   // 120 * image_width
  std::vector<std::uint8_t> report_pixels;     // 3 * frame_pixels
  std::vector<double> pixel_sum;               // frame_pixels
  std::vector<double> pixel_sq_dev;            // frame_pixels
  std::vector<std::uint8_t> candidate_chunks;  // candidate_chunk_count(frame_pixels)
};

struct RunOutcome {
  bool completed = true;     // false: the run stopped on the error in `error`
  std::string error;         // one line, for the driver to print
  bool lost_output = false;  // a report image could not be written (already said on `err`)
};

// Runs the whole processing phase in the current folder. Creates "flash_info.dat" into
// `flash_log` (the driver closes it), writes progress lines and flash notices to `out` and
// warnings to `err`. Refuses to start, leaving an existing flash_info.dat untouched, when
// Images_in_buffer is below 3 or one of frames 0 to N - 1 is missing.
RunOutcome process_frames(const FrameGeometry& geometry, const DetectionSettings& settings,
                          RunBuffers& buffers, FileHandle& flash_log, std::FILE* out,
                          std::FILE* err);

// One iteration's load: raw frame `frame_number` into `load_slot` with both sums brought up to
// date, bit for bit as retire_slot, read_raw_frame into the slot and admit_slot, and
// `candidate_chunks` marked for the frame in `target_slot`. The file is read into `scratch`
// (frame_pixels bytes, lent by the caller; the run lends marked_frame, which the detector
// rebuilds next) and one pass does the rest. A short file, whose slot keeps its old bytes past
// what the file holds, is read again straight into the retired slot, and its warning line is put
// in `warning`. False when the file cannot be opened: the slot is then retired and keeps its
// bytes, as the straightforward order leaves it.
bool load_next_frame(const FrameRing& ring, int load_slot, int target_slot, int frame_number,
                     const DetectionSettings& settings, std::span<std::uint8_t> scratch,
                     std::span<std::uint8_t> header_scratch,
                     std::span<std::uint8_t> candidate_chunks, std::string& warning);

// The first line of flash_info.dat, naming the record fields in order.
inline constexpr const char* kFlashLogHeader =
    "Frame Flashes sample line scatter bckgrnd bckgrnd_sigma signal time_back time_sigma "
    "time_signal\n";

// Appends one flash_info.dat record for `target_frame` ("%d %d %f ..." with the nine measured
// values widened to double) and flushes it, so an interrupted run keeps every record. False when
// the write or the flush fails (errno then tells why).
bool write_flash_record(std::FILE* flash_log, int target_frame, int flash_count,
                        const FlashMeasurement& measurement);
