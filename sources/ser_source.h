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

// Opens the SER file `path` (open_ser_recording, read_ser_times) for frames options.first to
// options.first + options.count - 1 (to the end for count -1), numbered from 0. Each correction
// of the header or the trailer adds one line naming `path` to `notices`. Null with `error` when
// the file is no readable SER recording, options.first is past its last frame, or
// options.start_utc is given (a SER file carries its own times).
std::unique_ptr<FrameSource> open_ser_source(const std::string& path,
                                             const RecordingOptions& options,
                                             std::vector<std::string>& notices, std::string* error);
