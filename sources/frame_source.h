// Where a run gets its frames: a numbered frame folder, a SER recording, a video decoded by
// FFmpeg, or a source that changes another source's frames in memory. A source reads forward
// only; the run keeps whatever it needs to see again in its ring.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/frame_geometry.h"

enum class FrameStatus {
  frame,   // the next frame was read (perhaps in part: see FrameRead::bytes)
  end,     // the recording has no more frames
  failed,  // the frame exists but cannot be read: the run must stop
};

struct FrameRead {
  FrameStatus status = FrameStatus::end;
  // Bytes of the frame obtained, from the start of the destination; below frame_pixels for a
  // short frame (the rest of the destination is then the caller's to fill).
  std::size_t bytes = 0;
  // A line for the user about this frame (a short frame, a header stating another size) or about
  // the end (frames left unread), or empty.
  std::string warning;
  // For `end`: what was seen where the next frame should be ("BMP_RAW/a00007.bmp: cannot open:
  // No such file or directory"). For `failed`: the one-line reason, naming the frame.
  std::string reason;
  // The frame follows a gap in the recording's time (between two of its files): the run tests the
  // frames before it as at an end and starts its ring afresh here.
  bool after_gap = false;
};

// Where a frame of a recording of several files lies: its file and its number in that file.
struct FrameOrigin {
  std::string file;  // empty when the source is one file or folder
  std::int64_t file_frame = -1;
};

// How a recording file's samples became 8-bit grey: what it stores and what was decided on its
// first frames (or forced by the options), so that the files after it in one recording are read
// the same way.
struct SampleReading {
  // The samples as stored, e.g. "16-bit frames" or "frames of BITPIX 16 with BZERO 32768 and
  // BSCALE 1"; empty when the source does not say (a video).
  std::string stored;
  int big_endian = -1;  // 16-bit SER samples: 1 big-endian, 0 little-endian; -1 none such
  int depth = 0;        // integer samples above 8 bits: the depth scaled from; 0 none such
  bool real = false;    // real-number samples, mapped from [low, high] to grey 0 to 255
  double low = 0;
  double high = 0;
};

// Time of one frame as the recording gives it.
struct FrameTime {
  bool known = false;
  double seconds = 0.0;    // since the first frame of the source
  std::int64_t ticks = 0;  // the same span exactly, in 100-ns ticks
  std::string utc;         // ISO 8601 with "Z", or empty when the recording has no clock
  // Where the time comes from: kTimeFromTrailer, kTimeFromPts, kTimeFromFps or kTimeFromHeader
  // (formats/frame_times_csv.h); empty when not known.
  const char* source = "";
};

// The time of frame `frame` of a source whose frames carry UTC clock readings `utc_ticks` (100-ns
// ticks, one per frame from frame 0), read from `source`: seconds and ticks since the first.
// Unknown outside them.
FrameTime frame_time_from_ticks(std::span<const std::int64_t> utc_ticks, std::int64_t frame,
                                const char* source);

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  virtual FrameGeometry geometry() const = 0;

  // Frames the source holds when it knows (a SER header, a probed video), else -1.
  virtual std::int64_t frame_count() const = 0;

  // Reads the next frame (frame 0 first) into `destination` (frame_pixels bytes). Frames are
  // numbered by the order they come in, from 0.
  virtual FrameRead read_next(std::span<std::uint8_t> destination) = 0;

  // read_next, but the source may leave the frame in a buffer of its own instead of copying it
  // into `scratch` (frame_pixels bytes): `bytes` is set to where the frame is (its first
  // read.bytes bytes are the frame's; empty when the status is not `frame`), valid until the next
  // call of either read. The default reads into `scratch`.
  virtual FrameRead read_next_in_place(std::span<std::uint8_t> scratch,
                                       std::span<const std::uint8_t>& bytes) {
    FrameRead read = read_next(scratch);
    bytes = read.status == FrameStatus::frame ? std::span<const std::uint8_t>(scratch)
                                              : std::span<const std::uint8_t>();
    return read;
  }

  // Checks cheaply, before the run takes its memory, that frames 0 to count - 1 are there. The
  // default knows nothing and answers true. False with `error` naming the first one missing.
  virtual bool check_first_frames(int count, std::string* error) {
    (void)count;
    (void)error;
    return true;
  }

  // The time of frame `frame` (numbered as read_next numbers them), when the source knows it.
  virtual FrameTime frame_time(std::int64_t frame) const {
    (void)frame;
    return {};
  }

  // How the samples are read; empty `stored` when the source does not say.
  virtual SampleReading sample_reading() const { return {}; }

  // The file and file frame of frame `frame` for a recording of several files; empty otherwise.
  virtual FrameOrigin frame_origin(std::int64_t frame) const {
    (void)frame;
    return {};
  }
};
