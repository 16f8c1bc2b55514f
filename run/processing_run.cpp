#include "run/processing_run.h"

#include <algorithm>
#include <memory>
#include <new>

#include "base/check.h"
#include "base/checked_math.h"
#include "base/message.h"
#include "imaging/flash_report.h"
#include "run/band_pool.h"

namespace {

void check_buffers(const FrameGeometry& geometry, int images_in_buffer, const RunBuffers& buffers) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  const bool fits =
      images_in_buffer >= kLeastImagesInBuffer && pixels != 0 &&
      buffers.frame_ring.size() == pixels * static_cast<std::size_t>(images_in_buffer) &&
      buffers.marked_frame.size() == pixels && buffers.pixel_sum.size() == pixels &&
      buffers.pixel_sq_dev.size() == pixels &&
      buffers.candidate_chunks.size() == candidate_chunk_count(geometry.frame_pixels) &&
      buffers.report_pixels.size() == 3 * pixels &&
      buffers.thumbnail_strip.size() == report_strip_bytes(geometry.image_width) &&
      buffers.read_ahead.size() % pixels == 0;
  check_or_die(fits, "the run's buffers do not match Images_in_buffer and the frame size");
}

// The bytes a short frame lacks are taken from the frame before it (zeros for frame 0), so no
// pixel of an older frame is ever tested again and no step appears at the cut.
void complete_short_frame(std::span<std::uint8_t> frame, std::size_t got,
                          std::span<const std::uint8_t> previous) {
  if (got >= frame.size()) return;
  if (previous.empty()) {
    std::fill(frame.begin() + static_cast<std::ptrdiff_t>(got), frame.end(), std::uint8_t{0});
  } else {
    std::copy(previous.begin() + static_cast<std::ptrdiff_t>(got), previous.end(),
              frame.begin() + static_cast<std::ptrdiff_t>(got));
  }
}

// Reads frames 0 to N - 1 into slots 0 to N - 1. False with `error` at the first frame that
// cannot be had.
bool fill_ring(FrameSource& source, const FrameRing& ring,
               const std::filesystem::path& settings_file, std::FILE* out, std::FILE* err,
               std::string* error) {
  const int n = ring.images_in_buffer;
  for (int i = 0; i < n; ++i) {
    const FrameRead read = source.read_next(slot_bytes(ring, i));
    if (!read.warning.empty()) print_message(out, err, read.warning);
    if (read.status == FrameStatus::failed) {
      *error = read.reason;
      return false;
    }
    if (read.status == FrameStatus::end) {
      *error = short_ring_message(read.reason, n, i, settings_file);
      return false;
    }
    complete_short_frame(slot_bytes(ring, i), read.bytes,
                         i > 0 ? slot_bytes(ring, i - 1) : std::span<std::uint8_t>());
  }
  return true;
}

// Reads frame `frame_number`, to be loaded into `load_slot`, and points `entering` at its bytes:
// in `scratch` (lent by the caller: the run lends marked_frame, which the detector rebuilds next)
// or in the source's own buffer. Frames the ring filled with (below ring_start + N) are taken
// from their slot again, as the loop's first iterations load them a second time.
FrameRead read_entering(FrameSource& source, const FrameRing& ring, int load_slot,
                        std::int64_t frame_number, std::int64_t ring_start,
                        std::span<std::uint8_t> scratch, std::span<const std::uint8_t>& entering) {
  const std::span<std::uint8_t> slot = slot_bytes(ring, load_slot);
  if (frame_number - ring_start < ring.images_in_buffer) {
    std::copy(slot.begin(), slot.end(), scratch.begin());
    entering = scratch;
    FrameRead read;
    read.status = FrameStatus::frame;
    read.bytes = slot.size();
    return read;
  }
  return source.read_next_in_place(scratch, entering);
}

// A short frame made whole in `scratch`: the bytes it has, then those of the frame before it.
std::span<const std::uint8_t> completed_short_frame(const FrameRing& ring, int load_slot,
                                                    std::span<const std::uint8_t> entering,
                                                    std::size_t bytes,
                                                    std::span<std::uint8_t> scratch) {
  if (entering.data() != scratch.data()) std::copy_n(entering.begin(), bytes, scratch.begin());
  const int previous = previous_slot(load_slot, ring.images_in_buffer);
  complete_short_frame(scratch, bytes, slot_bytes(ring, previous));
  return scratch;
}

// The run's pool and the bands of the frame it shares out.
struct Bands {
  BandPool& pool;
  std::vector<PixelRange> ranges;
};

Bands bands_of(BandPool& pool, int frame_pixels) {
  Bands bands{pool, {}};
  const int count = band_count(frame_pixels, pool.threads());
  for (int band = 0; band < count; ++band) {
    bands.ranges.push_back(band_range(frame_pixels, band, count));
  }
  return bands;
}

void recompute_in_bands(Bands& bands, const FrameRing& ring) {
  auto job = [&](int band) { recompute_statistics(ring, bands.ranges[band]); };
  bands.pool.run(static_cast<int>(bands.ranges.size()), job);
}

// One iteration's update of the sums with a whole frame, band by band: the recomputation when it
// is due, replace_and_mark, then the frame under test copied into `marked_frame` for the detector
// (after the band's `entering` bytes are used, which may be marked_frame's). Each pixel sees the
// same operations in the same order as on one thread, and each band writes its own pixels and
// chunks only.
void load_in_bands(Bands& bands, const FrameRing& ring, bool recompute, int load_slot,
                   std::span<const std::uint8_t> entering, int target_slot,
                   const DetectionThresholds& thresholds, std::span<std::uint8_t> candidate_chunks,
                   std::span<std::uint8_t> marked_frame) {
  const std::span<const std::uint8_t> target = slot_bytes(ring, target_slot);
  auto job = [&](int band) {
    const PixelRange pixels = bands.ranges[band];
    if (recompute) recompute_statistics(ring, pixels);
    replace_and_mark(ring, load_slot, entering, target_slot, thresholds, candidate_chunks, pixels);
    std::copy(target.begin() + static_cast<std::ptrdiff_t>(pixels.begin),
              target.begin() + static_cast<std::ptrdiff_t>(pixels.end),
              marked_frame.begin() + static_cast<std::ptrdiff_t>(pixels.begin));
  };
  bands.pool.run(static_cast<int>(bands.ranges.size()), job);
}

// Applies `status` of one output call to the outcome; true when the run must stop.
bool note_status(OutputStatus status, const std::string& error, RunOutcome& outcome) {
  if (status == OutputStatus::lost) outcome.lost_output = true;
  if (status != OutputStatus::fatal) return false;
  outcome.errors.push_back(error);
  outcome.completed = false;
  return true;
}

// After a gap in the recording the ring starts afresh, as at the start of the run: `entering`
// (frame G, `bytes` of it) goes into `base` and frames G + 1 to G + N - 1 into the slots after
// it. Returns how many frames the ring now holds (N, fewer when the recording ends first), or -1
// with `error` when a frame cannot be read.
int refill_ring(FrameSource& source, const FrameRing& ring, int base,
                std::span<const std::uint8_t> entering, std::size_t bytes, std::FILE* out,
                std::FILE* err, std::string* error) {
  const int n = ring.images_in_buffer;
  const std::span<std::uint8_t> first = slot_bytes(ring, base);
  std::copy_n(entering.begin(), std::min(bytes, first.size()), first.begin());
  complete_short_frame(first, bytes, {});
  for (int k = 1; k < n; ++k) {
    const int slot = (base + k) % n;
    const FrameRead read = source.read_next(slot_bytes(ring, slot));
    if (!read.warning.empty()) print_message(out, err, read.warning);
    if (read.status == FrameStatus::failed) {
      *error = read.reason;
      return -1;
    }
    if (read.status == FrameStatus::end) return k;
    complete_short_frame(slot_bytes(ring, slot), read.bytes, slot_bytes(ring, (base + k - 1) % n));
  }
  return n;
}

// Hands an accepted report to every output. True when one of them must stop the run.
bool hand_out_report(std::span<RunOutput* const> outputs, const ReportView& report,
                     RunOutcome& outcome) {
  bool stop = false;
  for (RunOutput* output : outputs) {
    std::string error;
    if (note_status(output->report(report, &error), error, outcome)) stop = true;
  }
  return stop;
}

// The detector's answer for the frame `view` tests (already in `result`, its boxes in
// `marked_frame`) handed to the outputs: the report when it is accepted, then the tested frame.
// True when an output must stop the run.
bool hand_out_frame(std::span<RunOutput* const> outputs, const RunParameters& parameters,
                    std::int64_t newest_frame, const DetectionResult& result,
                    std::span<const std::uint8_t> marked_frame, const RingView& view,
                    RunOutcome& outcome) {
  const bool accepted = result.found && result.flash_count >= parameters.min_flash_limit &&
                        result.flash_count <= parameters.max_flash_limit;
  ++outcome.frames_tested;
  bool stop = false;
  if (accepted) {
    stop = hand_out_report(outputs, {newest_frame, result, marked_frame, view}, outcome);
  }
  TestedFrame tested{newest_frame, view.target_frame, accepted};
  if (!result.found && result.listed > 0) {
    tested.rejected = std::span<const PixelPosition>(result.pixels.data(),
                                                     static_cast<std::size_t>(result.listed));
  }
  std::string error;
  for (RunOutput* output : outputs) {
    if (note_status(output->frame_tested(tested, view, &error), error, outcome)) {
      stop = true;
    }
  }
  return stop;
}

// When the frames run out at frame `frames` (the recording's end, or a gap in it), the loop has
// tested every frame up to frames - 1 - N/2; the last N/2 are tested in the last full ring
// (frames - N to frames - 1, its sums made exact again), each against the other N - 1 frames as
// any other frame is. `ring_start` is the ring's last (re)start. True when an output must stop
// the run.
bool test_last_frames(const FrameRing& ring, const FrameGeometry& geometry,
                      const RunParameters& parameters, std::int64_t frames, std::int64_t ring_start,
                      Bands& bands, RunBuffers& buffers, DetectionResult& result,
                      std::span<RunOutput* const> outputs, RunOutcome& outcome) {
  const int n = ring.images_in_buffer;
  recompute_in_bands(bands, ring);
  for (std::int64_t target = frames - n / 2; target < frames; ++target) {
    const int target_slot = static_cast<int>(target % n);
    mark_candidate_chunks(ring, target_slot, parameters.thresholds, buffers.candidate_chunks);
    flash_detector(ring, geometry, target_slot, parameters.thresholds, buffers.marked_frame,
                   buffers.candidate_chunks, result);
    RingView view = view_at(ring, geometry, target_slot, target);
    view.newest_frame = frames - 1;
    view.first_frame = ring_start;
    if (hand_out_frame(outputs, parameters, frames - 1, result, buffers.marked_frame, view,
                       outcome)) {
      return true;
    }
  }
  return false;
}

// Tells every output, the last first, that the run has ended; their errors are added to the
// outcome's.
void finish_outputs(std::span<RunOutput* const> outputs, const RunEnd& end, RunOutcome& outcome) {
  for (auto it = outputs.rbegin(); it != outputs.rend(); ++it) {
    std::string error;
    note_status((*it)->finish(end, &error), error, outcome);
  }
}

}  // namespace

std::size_t run_buffers_bytes(const FrameGeometry& geometry, int images_in_buffer,
                              int read_ahead_frames) {
  const std::size_t pixels =
      geometry.frame_pixels > 0 ? static_cast<std::size_t>(geometry.frame_pixels) : 0;
  const std::size_t slots = images_in_buffer > 0 ? static_cast<std::size_t>(images_in_buffer) : 0;
  const std::size_t ahead = read_ahead_frames > 0 ? static_cast<std::size_t>(read_ahead_frames) : 0;
  std::size_t bytes = saturating_multiply(slots, pixels);                          // frame_ring
  bytes = saturating_add(bytes, pixels);                                           // marked_frame
  bytes = saturating_add(bytes, saturating_multiply(2 * sizeof(double), pixels));  // the sums
  bytes = saturating_add(bytes, candidate_chunk_count(geometry.frame_pixels));
  return saturating_add(bytes, saturating_multiply(ahead, pixels));  // read_ahead
}

bool allocate_run_buffers(RunBuffers& buffers, const FrameGeometry& geometry, int images_in_buffer,
                          int read_ahead_frames, std::string* error) {
  const auto pixels = static_cast<std::size_t>(geometry.frame_pixels);
  const std::size_t slots = images_in_buffer > 0 ? static_cast<std::size_t>(images_in_buffer) : 0;
  const std::size_t ahead = read_ahead_frames > 0 ? static_cast<std::size_t>(read_ahead_frames) : 0;
  std::size_t ring_bytes = 0;
  std::size_t report_bytes = 0;
  std::size_t ahead_bytes = 0;
  if (!checked_multiply(slots, pixels, ring_bytes) || !checked_multiply(3, pixels, report_bytes) ||
      !checked_multiply(ahead, pixels, ahead_bytes) || pixels > std::vector<double>().max_size() ||
      ring_bytes > std::vector<std::uint8_t>().max_size()) {
    *error = "Images_in_buffer " + std::to_string(images_in_buffer) + " with " +
             std::to_string(geometry.image_width) + " x " + std::to_string(geometry.image_height) +
             " frames: the frame ring is too large to address";
    return false;
  }
  // A ring already at its least size cannot be made smaller: the frames are what is too large.
  const std::string no_memory =
      "cannot allocate " + std::to_string(ring_bytes / (1024 * 1024)) +
      " MiB for a frame ring of " + std::to_string(images_in_buffer) + " frames" +
      (images_in_buffer > kLeastImagesInBuffer
           ? "; lower Images_in_buffer"
           : "; frames of " + std::to_string(geometry.image_width) + " x " +
                 std::to_string(geometry.image_height) +
                 " are too large for this machine's memory even in the smallest ring");
  // The ring is asked for once without throwing first: a memory checker that aborts on a failed
  // throwing allocation then reports the same message as a plain build.
  void* probe = ::operator new(ring_bytes, std::nothrow);
  if (probe == nullptr) {
    *error = no_memory;
    return false;
  }
  ::operator delete(probe);
  try {
    // The ring starts zeroed, so a short frame among the first N never exposes stale memory.
    buffers.frame_ring.assign(ring_bytes, 0);
    buffers.marked_frame.assign(pixels, 0);
    buffers.thumbnail_strip.assign(report_strip_bytes(geometry.image_width), 0);
    buffers.report_pixels.assign(report_bytes, 0);
    buffers.pixel_sum.assign(pixels, 0.0);
    buffers.pixel_sq_dev.assign(pixels, 0.0);
    buffers.candidate_chunks.assign(candidate_chunk_count(geometry.frame_pixels), 0);
    buffers.read_ahead.assign(ahead_bytes, 0);
  } catch (const std::bad_alloc&) {
    buffers = RunBuffers{};
    *error = no_memory;
    return false;
  }
  return true;
}

std::string short_ring_message(const std::string& reason, int images_in_buffer, std::int64_t frames,
                               const std::filesystem::path& settings_file) {
  std::string text = reason + "; the ring of Images_in_buffer " + std::to_string(images_in_buffer) +
                     " needs frames 0 to " + std::to_string(images_in_buffer - 1) +
                     " before the run can start";
  const std::string where = settings_file.empty() ? "settings.txt" : settings_file.string();
  const std::string there =
      std::to_string(frames) + (frames == 1 ? " frame there" : " frames there");
  std::int64_t largest = frames - frames % 2;
  if (largest < kLeastImagesInBuffer && frames >= kLeastImagesInBuffer) largest = frames;
  if (largest < kLeastImagesInBuffer) {
    return text + "; with only " + there + ", no ring can be filled (" +
           std::to_string(kLeastImagesInBuffer) + " frames at least)";
  }
  return text + "; with the " + there + ", set Images_in_buffer to " + std::to_string(largest) +
         " or less in " + where;
}

RunOutcome process_frames(FrameSource& source, const RunParameters& parameters, RunBuffers& buffers,
                          std::span<RunOutput* const> outputs, std::FILE* out, std::FILE* err) {
  RunOutcome outcome;
  const FrameGeometry geometry = source.geometry();
  const int n = parameters.images_in_buffer;
  check_buffers(geometry, n, buffers);
  const FrameRing ring{buffers.frame_ring, buffers.pixel_sum, buffers.pixel_sq_dev,
                       geometry.frame_pixels, n};

  FrameSource& frames = source;  // read ahead or not, as the caller chose

  std::string error;
  if (!fill_ring(frames, ring, parameters.settings_file, out, err, &error)) {
    note_status(OutputStatus::fatal, error, outcome);
    return outcome;
  }
  outcome.frames_taken = n;
  for (RunOutput* output : outputs) {
    if (note_status(output->start(&error), error, outcome)) return outcome;
  }
  // The scan's threads live for the run; the exact detector stays on this one.
  BandPool pool(parameters.threads);
  Bands bands = bands_of(pool, geometry.frame_pixels);
  recompute_in_bands(bands, ring);

  int target_slot = 0;
  // The loop starts at frame N/2: frames N/2 to N - 1, already in the ring, are loaded again.
  int load_slot = frames_after_target(n);
  std::int64_t frame_number = frames_after_target(n);
  std::int64_t ring_start =
      0;  // the first frame of the ring's fill (after a gap, the ring's restart)
  DetectionResult result;
  RunEnd end;
  for (;; ++frame_number) {
    if (parameters.stop != nullptr && *parameters.stop != 0) {
      end = {true, frame_number};
      outcome.stopped = true;
      break;
    }
    for (RunOutput* output : outputs) output->frame_started(frame_number);
    const bool recompute = frame_number % kRecomputePeriod == 0;
    // marked_frame may take the new frame's bytes until the detector rebuilds it below.
    std::span<const std::uint8_t> entering;
    const FrameRead read = read_entering(frames, ring, load_slot, frame_number, ring_start,
                                         buffers.marked_frame, entering);
    if (!read.warning.empty()) print_message(out, err, read.warning);
    if (read.status == FrameStatus::frame) {
      outcome.frames_taken = std::max(outcome.frames_taken, frame_number + 1);
    }
    if (read.status == FrameStatus::frame && read.after_gap) {
      // The frames before the gap end their part of the recording: its last N/2 are tested in
      // its last full ring before the ring starts afresh.
      // The new frame may sit in marked_frame, which the detector draws in: it is kept aside
      // while those frames are tested (one frame, once per gap).
      std::vector<std::uint8_t> after_gap;
      if (frame_number - ring_start >= n) {
        after_gap.assign(entering.begin(), entering.end());
        entering = after_gap;
        if (test_last_frames(ring, geometry, parameters, frame_number, ring_start, bands, buffers,
                             result, outputs, outcome)) {
          break;
        }
      }
      const int held = refill_ring(frames, ring, load_slot, entering, read.bytes, out, err, &error);
      if (held < 0) {
        note_status(OutputStatus::fatal, error, outcome);
        break;
      }
      outcome.frames_taken = std::max<std::int64_t>(outcome.frames_taken, frame_number + held);
      if (held < n) {  // the recording ends before the ring is full again
        ring_start = frame_number;
        end = {true, frame_number + held};
        break;
      }
      recompute_in_bands(bands, ring);
      ring_start = frame_number;
      target_slot = load_slot;
      load_slot = (load_slot + n / 2) % n;
      frame_number += n / 2 - 1;  // the loop's step brings it to ring_start + N/2
      continue;
    }
    if (read.status == FrameStatus::frame && read.bytes < buffers.marked_frame.size()) {
      entering = completed_short_frame(ring, load_slot, entering, read.bytes, buffers.marked_frame);
    }
    MarkedStart marked = MarkedStart::anything;
    if (read.status == FrameStatus::frame) {
      load_in_bands(bands, ring, recompute, load_slot, entering, target_slot, parameters.thresholds,
                    buffers.candidate_chunks, buffers.marked_frame);
      marked = MarkedStart::target_frame;
    } else if (recompute) {
      recompute_in_bands(bands, ring);
    }
    if (read.status == FrameStatus::end) {
      // The number of the first frame that is not there is the length of the recording.
      end = {true, frame_number};
      break;
    }
    if (read.status == FrameStatus::failed) {
      note_status(OutputStatus::fatal, read.reason, outcome);
      break;
    }

    flash_detector(ring, geometry, target_slot, parameters.thresholds, buffers.marked_frame,
                   buffers.candidate_chunks, result, marked);
    const std::int64_t target_frame = frame_number - frames_after_target(n);
    RingView view = view_at(ring, geometry, target_slot, target_frame);
    view.first_frame = ring_start;
    if (hand_out_frame(outputs, parameters, frame_number, result, buffers.marked_frame, view,
                       outcome)) {
      break;
    }

    target_slot = next_slot(target_slot, n);
    load_slot = next_slot(load_slot, n);
  }
  // The last frames are tested in the last full ring, when the frames since the ring's last
  // (re)start fill one.
  if (end.input_ended && end.frames_read - ring_start >= n) {
    test_last_frames(ring, geometry, parameters, end.frames_read, ring_start, bands, buffers,
                     result, outputs, outcome);
  }
  outcome.frames_read = end.frames_read;
  if (end.input_ended) outcome.frames_taken = end.frames_read;
  finish_outputs(outputs, end, outcome);
  return outcome;
}
