// What a run produces goes to outputs: the flash log, the report images, the console notices,
// the run summary, and whatever else is added beside them. Each output hears of every frame the
// run tests, of every report with a read-only view of the ring, and of the end of the run. The
// run calls the outputs in the order they were given.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "base/frame_geometry.h"
#include "detection/flash_detector.h"

// The ring as it stands when a frame is tested: slot `target_slot` holds frame `target_frame`,
// and slot (target_slot + d) mod N holds frame target_frame + d for every d with
// frame_held(target_frame + d) true.
struct RingView {
  std::span<const std::uint8_t> frames;  // images_in_buffer * frame_pixels bytes
  std::span<const double> pixel_sum;     // sum of each pixel over the N frames
  std::span<const double> pixel_sq_dev;  // running sum of squared deviations (drifts slowly)
  FrameGeometry geometry;
  int images_in_buffer = 0;  // N
  int target_slot = 0;
  std::int64_t target_frame = 0;
  // The first frame of the ring's fill: 0, or the first frame after a gap in the recording,
  // where the ring starts afresh; no frame before it is held.
  std::int64_t first_frame = 0;

  // Frames before the tested one that the ring holds: N - 1 - N/2.
  int frames_before() const { return images_in_buffer - 1 - images_in_buffer / 2; }
  // Frames after it: N/2.
  int frames_after() const { return images_in_buffer / 2; }
  // True when frame `frame` is in the ring (never a frame before 0).
  bool frame_held(std::int64_t frame) const {
    const std::int64_t d = frame - target_frame;
    return frame >= 0 && frame >= first_frame && d >= -frames_before() && d <= frames_after();
  }
  // The pixels of frame `frame`; the caller checks frame_held first.
  std::span<const std::uint8_t> frame_pixels(std::int64_t frame) const {
    const std::int64_t n = images_in_buffer;
    const std::int64_t slot = ((target_slot + (frame - target_frame)) % n + n) % n;
    return frames.subspan(static_cast<std::size_t>(slot) *
                              static_cast<std::size_t>(geometry.frame_pixels),
                          static_cast<std::size_t>(geometry.frame_pixels));
  }
};

// One frame tested, reported or not.
struct TestedFrame {
  std::int64_t newest_frame = 0;  // the frame just loaded
  std::int64_t target_frame = 0;  // the frame tested: newest_frame - N/2
  bool reported = false;
};

// One reported frame: the detector's result and the frame with its boxes.
struct ReportView {
  std::int64_t newest_frame = 0;
  const DetectionResult& result;
  std::span<const std::uint8_t> marked_frame;  // the tested frame with a box round each pixel
  RingView ring;
};

// How the run ended.
struct RunEnd {
  bool input_ended = false;     // the frames ran out (not stopped on an error)
  std::int64_t frames_read = 0; // frames in the recording, when input_ended
};

enum class OutputStatus {
  ok,
  lost,   // this output lost something (already said on the error stream); the run goes on
  fatal,  // this output cannot go on; the run stops after this frame with `error`
};

class RunOutput {
 public:
  virtual ~RunOutput() = default;
  // Before the first frame is loaded in the loop (after the ring is filled).
  virtual OutputStatus start(std::string* error) {
    (void)error;
    return OutputStatus::ok;
  }
  // Before frame `newest_frame` is loaded in the loop.
  virtual void frame_started(std::int64_t newest_frame) { (void)newest_frame; }
  // For every reported frame, before frame_tested of that frame.
  virtual OutputStatus report(const ReportView& report, std::string* error) = 0;
  // After every tested frame, reported or not; `ring` as for a report.
  virtual OutputStatus frame_tested(const TestedFrame& frame, const RingView& ring,
                                    std::string* error) {
    (void)frame;
    (void)ring;
    (void)error;
    return OutputStatus::ok;
  }
  // Once, at the end of the run, also after a stop on an error.
  virtual OutputStatus finish(const RunEnd& end, std::string* error) {
    (void)end;
    (void)error;
    return OutputStatus::ok;
  }
};
