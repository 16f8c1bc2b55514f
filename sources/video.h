// Video recordings (AVI, MP4, MKV ...) decoded by FFmpeg run as a subprocess. ffprobe gives the
// frame size and pixel format; ffmpeg sends every decoded frame once, in its own timing
// (-fps_mode passthrough), through a pipe, and its log through another, from which each frame's
// presentation time is read (the showinfo filter). Luma is taken as stored: YUV and grey formats
// give their Y plane without range conversion, RGB formats the luma (299 R + 587 G + 114 B) / 1000.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct VideoInfo {
  int width = 0;
  int height = 0;
  std::int64_t frame_count = -1;  // from the container, or duration x frame rate; -1 unknown
  bool frame_count_stated = false;  // frame_count is the container's own count
  std::string pixel_format;       // FFmpeg's name, e.g. "yuv420p"
};

// The full path of executable `name` in one of the folders of the PATH variable; empty when
// there is none.
std::string find_on_path(const char* name);

// `text` quoted for /bin/sh: inside single quotes, each ' written as '\''.
std::string shell_quote(const std::string& text);

// Finds `ffmpeg` and `ffprobe` on PATH for decoding `path`. False with `error` naming `path` and
// the missing program otherwise.
bool find_video_tools(const std::string& path, std::string& ffmpeg, std::string& ffprobe,
                      std::string* error);

// Runs `ffprobe` on `path` and reads the first video stream's size, frame count and pixel format.
// False with `error` (one line naming `path`, with ffprobe's own last line when it failed) when
// there is no video stream, a side is above `max_side` (1 to 2^31 - 1), or ffprobe fails.
bool probe_video(const std::string& ffprobe, const std::string& path, int max_side, VideoInfo& info,
                 std::string* error);

// True for pixel formats that hold colour planes rather than a luma plane: RGB and BGR in any
// packing or depth, planar GBR, paletted, Bayer and XYZ.
bool is_rgb_pixel_format(const std::string& name);

// A running ffmpeg and what has been read of it. Owned by one caller; the destructor stops a
// decoder that was not finished.
struct VideoDecoder {
  pid_t pid = -1;
  int frames_fd = -1;  // ffmpeg's standard output: the frames
  int log_fd = -1;     // its standard error: the log
  bool rgb = false;    // frames come as RGB24, else as 16-bit little-endian luma
  std::size_t pixels = 0;
  std::vector<std::uint8_t> piped;              // one frame as it comes from the pipe
  std::string log_line;                         // the log line being read
  // What showinfo logged of each frame not yet read: its time in ticks and its size as decoded
  // (0 x 0 when the line gave none). ffmpeg scales a frame of another size to the first's.
  struct LoggedFrame {
    std::optional<std::int64_t> time;
    int width = 0;
    int height = 0;
  };
  std::deque<LoggedFrame> logged;
  int width = 0;   // the decoded size of the frame read last, 0 x 0 when unknown
  int height = 0;
  std::int64_t time_base_num = 0;               // of the pts in the log; 0 until known
  std::int64_t time_base_den = 0;
  std::string last_error;  // the last error line of the log
  std::int64_t errors = 0;  // error lines in the log

  VideoDecoder() = default;
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;
  ~VideoDecoder();
};

// Starts `ffmpeg` decoding at most `max_frames` frames (every frame when negative) of the first
// video stream of `path`, of the size and pixel format in `info`. Rotation metadata is not
// applied, so frames keep the size that probe_video reports. False with `error` when ffmpeg cannot
// be started or a frame of `info`'s size cannot be allocated.
bool start_video_decoder(const std::string& ffmpeg, const std::string& path, const VideoInfo& info,
                         std::int64_t max_frames, VideoDecoder& decoder, std::string* error);

enum class VideoRead { frame, end, partial };
// Reads the next frame as info.width * info.height grey levels into `grey`, and its presentation
// time in 100-ns ticks into `time` (empty when ffmpeg gave none), its decoded size into
// decoder.width and decoder.height: `frame` when complete, `end` when the stream ended before its
// first byte, `partial` when it ended inside the frame.
VideoRead read_video_frame(VideoDecoder& decoder, std::span<std::uint8_t> grey,
                           std::optional<std::int64_t>& time);

// When the frame just read (frame `frame` of `path`) was decoded at another size than
// `width` x `height` (and ffmpeg scaled it), the one line that stops the reading; else empty.
std::string frame_size_change(const VideoDecoder& decoder, const std::string& path, int width,
                              int height, std::int64_t frame);

// Stops reading frames and waits for ffmpeg to end. True when it exited with status 0 (its log
// may hold errors such as non-increasing timestamps; the frames decide); otherwise `error` says
// "<path>: ffmpeg failed: <its last error line>".
bool finish_video_decoder(VideoDecoder& decoder, const std::string& path, std::string* error);
