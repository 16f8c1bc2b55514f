// A video recording as a frame source: FFmpeg decodes it in a subprocess and every decoded frame
// comes once through a pipe, in its own timing, straight into the run. Each frame's time comes
// from its presentation timestamp; its UTC only from a given start time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sources/frame_source.h"
#include "sources/recording.h"

// Probes `path` with ffprobe and starts ffmpeg on it (both found on PATH). Frames
// options.first to options.first + options.count - 1 (to the end for count -1) are read,
// numbered from 0; frame_count() is the probed count when the container gives one (an estimate
// that the stream decides), else -1. frame_time gives the seconds since the first frame read
// with a time, and the UTC from options.start_utc, the UTC of the recording's frame 0. Options
// for SER samples add one line to `notices` saying they are ignored. Null with `error` when
// FFmpeg is missing, ffprobe cannot read `path`, it holds no video stream, its frames are larger
// than kMaxFrameSide, or ffmpeg cannot be started. Frames before options.first are decoded and
// dropped at the first read; a stream that ends among them fails that read.
std::unique_ptr<FrameSource> open_video_source(const std::string& path,
                                               const RecordingOptions& options,
                                               std::vector<std::string>& notices,
                                               std::string* error);
