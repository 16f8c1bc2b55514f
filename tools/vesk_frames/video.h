// Video recordings (AVI, MP4, MKV ...) decoded by FFmpeg run as a subprocess: ffprobe gives the
// frame size, ffmpeg writes 8-bit grey frames ("-f rawvideo -pix_fmt gray") into a pipe, top row
// first, one frame after the other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

struct VideoInfo {
  int width = 0;
  int height = 0;
  std::int64_t frame_count = -1;  // from the container, or duration x frame rate; -1 unknown
};

// The full path of executable `name` in one of the folders of the PATH variable; empty when
// there is none.
std::string find_on_path(const char* name);

// `text` quoted for /bin/sh: inside single quotes, each ' written as '\''.
std::string shell_quote(const std::string& text);

// Runs `ffprobe` on `path` and reads the first video stream's size and frame count. False with
// `error` (one line naming `path`, with ffprobe's own last line when it failed) when there is no
// video stream or ffprobe fails.
bool probe_video(const std::string& ffprobe, const std::string& path, VideoInfo& info,
                 std::string& error);

struct PipeCloser {
  void operator()(std::FILE* f) const { pclose(f); }
};
using PipeHandle = std::unique_ptr<std::FILE, PipeCloser>;

// Starts `ffmpeg` decoding at most `max_frames` frames of the first video stream of `path` as
// grey frames into the returned pipe; ffmpeg's messages go to the file `log_path`. Rotation
// metadata is not applied, so frames keep the size that probe_video reports. An empty handle
// with `error` when the process cannot be started.
PipeHandle start_video_decoder(const std::string& ffmpeg, const std::string& path,
                               std::int64_t max_frames, const std::string& log_path,
                               std::string& error);

enum class FrameRead { frame, end, partial };
// Reads one frame of frame.size() bytes from the decoder pipe: `frame` when complete, `end` when
// the stream ended before its first byte, `partial` when it ended inside the frame.
FrameRead read_video_frame(std::FILE* pipe, std::span<std::uint8_t> frame);

// Waits for the decoder to finish. True when ffmpeg exited with status 0; otherwise `error`
// says "<path>: ffmpeg failed: <its last message line from log_path>".
bool finish_video_decoder(PipeHandle& pipe, const std::string& path, const std::string& log_path,
                          std::string& error);
