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
#include "detection/frame_ring.h"

// One frame tested, reported or not.
struct TestedFrame {
  std::int64_t newest_frame = 0;  // the frame just loaded (the recording's last in its end ring)
  std::int64_t target_frame = 0;  // the frame tested: newest_frame - N/2 during the run
  bool reported = false;
  // The confirmed pixels of a frame whose scatter test failed (the detector's list, at most
  // kMaxListedPixels); empty for every other frame.
  std::span<const PixelPosition> rejected{};
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
  bool input_ended = false;      // the frames ran out (not stopped on an error)
  std::int64_t frames_read = 0;  // frames in the recording, when input_ended
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
