// Reading ahead: a frame source that reads another one on a thread of its own, a few frames
// ahead of the run, so that the run waits for a frame only when the reader is behind.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "sources/frame_source.h"

// Frames a run reads ahead when its scan has more than one thread.
inline constexpr int kReadAheadFrames = 3;

// A source that gives `inner`'s frames, messages and statuses in the same order, read on a
// thread of its own into `queue`: queue.size() / frame_pixels whole frames, owned by the caller
// (allocated once, e.g. RunBuffers::read_ahead) and kept, like `inner`, until the returned source
// is destroyed. The thread starts at the first read_next and stops after the first frame that is
// not there or cannot be read; that read's answer is then given to every later call. Destroying
// the source stops the thread after the read it is in. geometry and frame_count are inner's as
// they were on creation; check_first_frames and frame_time are passed to `inner`, never at the
// same time as one of its reads. read_next_in_place lends the queue slot that holds the frame
// until the next read, so the reader is then one frame less ahead. With a queue shorter than one
// frame, or when no thread can be started, `inner` is read on the caller's thread, once for every
// call.
std::unique_ptr<FrameSource> read_ahead(FrameSource& inner, std::span<std::uint8_t> queue);
