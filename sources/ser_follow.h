// A SER recording followed while the capture program writes it. Capture programs write the
// header with a frame count of 0, append the frames, and only when they close the file write the
// trailer of frame times and the count. While the count is 0 the frames are read as the file's
// size shows them whole (the size is polled; a read never waits on the file); once the count is
// set the recording ends there and its times are read from the trailer, so that every frame's
// time is then what a run over the finished file gives it. The next file of the same name with
// its number one higher (night_0001.ser, night_0002.ser) is followed on as the same recording.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sources/frame_source.h"
#include "sources/recording.h"

struct FollowSettings {
  // The run ends after this long with no new byte in the file followed (nor a next file).
  double idle_seconds = 30.0;
  // How often the file's size and header are looked at while no whole frame is waiting.
  double poll_seconds = 0.01;
  // A frame that had to be waited for is scanned once this long has passed since it came or
  // gather_frames frames are waiting, whichever is first (see wait_for in ser_follow.cpp).
  double gather_seconds = 1.0;
  std::int64_t gather_frames = 64;
  // Set by a signal handler: the source gives no further frame and ends. Null: never set.
  const volatile std::sig_atomic_t* stop = nullptr;
  // Lines for the user as the recording goes (a file closed, the next file taken, an end by
  // idleness): each is one line naming the file. Empty: not said.
  std::function<void(const std::string&)> notice;
};

// What the live line shows of the recording: frames written so far (whole frames in the files
// followed) and frames read. Updated by the source, read from any thread.
struct FollowProgress {
  std::atomic<std::int64_t> written{0};
  std::atomic<std::int64_t> read{0};
};

// The file after `path` in a capture program's numbering: the last run of digits in its file
// name (before the extension) plus one, as wide as it was or wider when it carries over
// ("night_0009.ser" gives "night_0010.ser", "Moon-99.ser" "Moon-100.ser"). Empty when the name
// holds no digits.
std::string next_numbered_file(const std::string& path);

// Opens `path`, a SER file being written, to be followed. Waits (polling, ending early on a stop)
// until it holds its header and the first frames the sample checks read. `progress`, when not
// null, is kept up to date and must outlive the source. Null with `error`, one line naming the
// file, when it is no regular file, no SER recording, options ask for frames by number or a
// clock (--first, --count, --start-utc), or nothing came before the idle time or a stop.
std::unique_ptr<FrameSource> open_following_ser(const std::string& path,
                                                const RecordingOptions& options,
                                                const FollowSettings& settings,
                                                FollowProgress* progress, std::string* error);
