// A SER recording as a frame source: frames read from the file straight into the run (8-bit mono
// frames with no copy between, other layouts through one stored frame turned into grey), the
// frame count known from the start, and each frame's time from the timestamp trailer when its
// times were accepted.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sources/frame_source.h"
#include "sources/recording.h"
#include "sources/ser_reader.h"

// The times of the frames read from a SER recording: its trailer's UTC clock readings, or for a
// recording without them (no trailer, or one not used) frames 1/fps apart from --start-utc, or
// with --fps alone their seconds only.
struct SerFrameTimes {
  std::vector<std::int64_t> ticks;  // one per frame read; UTC when `utc`, else since frame 0
  bool utc = false;
  const char* source = "";  // kTimeFromTrailer or kTimeFromFps; empty: no times
};

// The refusal of --start-utc without --fps for a SER recording without frame times.
std::string ser_needs_fps_message(const std::string& path);

// Reads the times of frames `first` to `first + count - 1` of `recording` (read_ser_times) and
// settles them with options.start_utc and options.fps as SerFrameTimes says; --fps beside a used
// trailer adds a notice that it is ignored. False with `error` when the trailer cannot be read,
// when --start-utc is given for a recording whose trailer gives the times, or without --fps for
// one without.
bool read_ser_frame_times(SerRecording& recording, const RecordingOptions& options,
                          std::int64_t first, std::int64_t count, SerFrameTimes& times,
                          std::vector<std::string>& notices, std::string* error);

// The time of frame `frame` (0 for the first frame read) from `times`.
FrameTime ser_frame_time(const SerFrameTimes& times, std::int64_t frame);

// Opens the SER file `path` (open_ser_recording, read_ser_frame_times) for frames options.first
// to options.first + options.count - 1 (to the end for count -1), numbered from 0. Each
// correction of the header or the trailer adds one line naming `path` to `notices`. Null with
// `error` when the file is no readable SER recording, options.first is past its last frame, or
// its times and options.start_utc and options.fps do not go together.
std::unique_ptr<FrameSource> open_ser_source(const std::string& path,
                                             const RecordingOptions& options,
                                             std::vector<std::string>& notices, std::string* error);

// For a command line: false with ser_needs_fps_message when `path` is a SER recording without
// frame times and options.start_utc is given without options.fps (checked by reading its header
// and trailer only). True for anything else, problems with the file left to its opening.
bool check_ser_start_time(const std::string& path, const RecordingOptions& options,
                          std::string* error);
