// The processing run: fills the ring from a frame source, then for every further frame brings the
// running sums up to date, tests the frame in the middle of the ring and hands every tested frame,
// every accepted report and the end of the run to the outputs.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/frame_geometry.h"
#include "detection/flash_detector.h"
#include "detection/frame_ring.h"
#include "run/run_output.h"
#include "sources/frame_source.h"

// Every buffer that outlives one step; owned by the driver, sized once by allocate_run_buffers.
struct RunBuffers {
  std::vector<std::uint8_t> frame_ring;        // images_in_buffer * frame_pixels
  std::vector<std::uint8_t> marked_frame;      // frame_pixels
  std::vector<double> pixel_sum;               // frame_pixels
  std::vector<double> pixel_sq_dev;            // frame_pixels
  std::vector<std::uint8_t> candidate_chunks;  // candidate_chunk_count(frame_pixels)
  std::vector<std::uint8_t> report_pixels;     // 3 * frame_pixels, work space of report images
  std::vector<std::uint8_t> thumbnail_strip;   // report_strip_bytes(image_width)
  std::vector<std::uint8_t> read_ahead;        // read_ahead_frames * frame_pixels, may be empty
};

// The detector needs at least 3 frames in its ring: the temporal spread divides by N - 2.
inline constexpr int kLeastImagesInBuffer = 3;

// Bytes of the detector's buffers of a run (the ring, its sums, the marked frame, the candidate
// map and the read-ahead queue of `read_ahead_frames` frames); the report images' work space in
// RunBuffers is theirs to state (report_images_bytes_needed). The largest size_t when the sum
// does not fit.
std::size_t run_buffers_bytes(const FrameGeometry& geometry, int images_in_buffer,
                              int read_ahead_frames);

// Sizes every buffer for `geometry` and `images_in_buffer` (the ring zeroed), with a queue of
// `read_ahead_frames` frames (0 or more) for reading ahead. False with `error` when the sizes do
// not fit in memory's address range or the memory cannot be had; the buffers are then empty. The
// one place where the run's memory is obtained.
bool allocate_run_buffers(RunBuffers& buffers, const FrameGeometry& geometry, int images_in_buffer,
                          int read_ahead_frames, std::string* error);

// What the run needs besides its buffers.
struct RunParameters {
  int images_in_buffer = 0;  // N, at least kLeastImagesInBuffer
  int min_flash_limit = 0;   // fewest confirmed pixels of a report
  int max_flash_limit = 0;   // most confirmed pixels of a report
  DetectionThresholds thresholds;
  // Threads the per-pixel passes are split over (bands of the frame); 1 keeps every pass on the
  // caller's thread. Results are the same for every count.
  int threads = 1;
  // Set from outside (a signal handler): the run reads no further frame and ends as if the
  // frames had run out there, so every output finishes. Null: never set.
  const volatile std::sig_atomic_t* stop = nullptr;
  // Where Images_in_buffer was set, named when the recording is too short for the ring.
  std::filesystem::path settings_file{};
};

// The refusal of a ring longer than the recording: `reason` says what lies where frame `frames`
// should be; the line adds what the ring needs and the largest even ring (at least 3 frames) the
// `frames` frames allow, to be set in `settings_file` (named as given; "settings.txt" when
// empty).
std::string short_ring_message(const std::string& reason, int images_in_buffer, std::int64_t frames,
                               const std::filesystem::path& settings_file);

struct RunOutcome {
  bool completed = true;            // false: the run stopped, or an output failed at its end
  std::vector<std::string> errors;  // one line each, in order, for the driver to print
  bool lost_output = false;         // an output lost something (already said on `err`)
  std::int64_t frames_read = 0;
  bool stopped = false;  // ended early by RunParameters::stop
  // For the closing summary: frames taken from the source (also when the run stopped early,
  // where frames_read is the end's count), and frames tested for flashes.
  std::int64_t frames_taken = 0;
  std::int64_t frames_tested = 0;
};

// Runs the whole processing phase. `buffers` must come from allocate_run_buffers for the
// source's geometry and parameters.images_in_buffer (checked: a mismatch stops the program).
// A read-ahead queue in them is for the caller to wrap the source with (see read_ahead), so
// that the outputs ask the same source; the run's results are the same either way.
// Warnings about frames go to `err` as they come (after flushing `out`). The outputs are started
// only once the ring is full, so a run that cannot start leaves earlier results as they were;
// once started, each hears finish() at the end, also after a stop.
RunOutcome process_frames(FrameSource& source, const RunParameters& parameters, RunBuffers& buffers,
                          std::span<RunOutput* const> outputs, std::FILE* out, std::FILE* err);
