// A recording as a frame source: a SER file (by its signature or its name) or any video FFmpeg
// decodes, read straight into the run with no frame files in between. The options choose the
// frames read and how SER samples are taken; both vesk and vesk-frames parse them alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sources/frame_source.h"
#include "sources/ser.h"

struct RecordingOptions {
  std::int64_t first = 0;                         // first recording frame read, from 0
  std::int64_t count = -1;                        // frames read; -1: to the end
  ByteOrder byte_order = ByteOrder::from_header;  // 16-bit SER samples only
  int depth = 0;  // 16-bit SER samples: depth scaled from, 8 to 16; 0: from the recording
  std::optional<std::int64_t> start_utc;  // video: UTC of its frame 0, 100-ns ticks since 0001
  // Floating-point FITS samples: the values mapped to grey 0 and 255 for the whole run; none:
  // the 0.1 and 99.9 percentiles of the first frames.
  std::optional<std::pair<double, double>> range;
  double fps = 0;  // a FITS cube: frames per second after its DATE-OBS; 0: not given
};

// True for the options that parse_recording_option reads: --first, --count, --byte-order,
// --depth, --start-utc, --range, --fps.
bool is_recording_option(const std::string& option);

// Reads `value` of recording option `option` into `options`. False with `error`, one line naming
// the option and the value, e.g. "--count: \"0\" is not a whole number of 1 or more" or
// "--first: 3000000000 is past any recording".
bool parse_recording_option(const std::string& option, const std::string& value,
                            RecordingOptions& options, std::string* error);

// False with `error` "<path>: not a regular file; a recording is read from a file" when `path` is
// a FIFO, a device or a socket, which would block the open or never end; true otherwise (a missing
// file is left to the open that follows).
bool check_recording_kind(const std::string& path, std::string* error);

// Opens `path` as a SER recording when it starts with the SER signature or is named *.ser, as
// FITS when it is a folder, starts with the FITS signature or is named *.fits, *.fit or *.fts,
// else as a video through FFmpeg. Each correction of the recording (frame count from the file size,
// byte order, depth, local time, trailer not used, options ignored) adds one line naming `path`
// to `notices`, also when the open fails. Null with `error` (one line naming `path` or the
// option) when the file cannot be read as a recording or `options` ask for frames it lacks.
// Frames are numbered from options.first as frame 0.
std::unique_ptr<FrameSource> open_recording(const std::string& path,
                                            const RecordingOptions& options,
                                            std::vector<std::string>& notices, std::string* error);
