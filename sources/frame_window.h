// A stretch of another source: its frames `first` to `first + count - 1`, numbered from 0.
#pragma once

#include <cstdint>
#include <memory>

#include "sources/frame_source.h"

// Wraps `inner` (owned). The frames before `first` (0 or more) are read and dropped at the first
// read_next, so they cost a read each; a failure among them is that read's failure, and a
// recording that ends before `first` ends the window with the inner source's reason. At most
// `count` frames are given (-1: all to the end). frame_count() is the window's length when the
// inner source knows its own, else -1; frame_time(f) is the inner source's time of first + f.
std::unique_ptr<FrameSource> make_frame_window(std::unique_ptr<FrameSource> inner,
                                               std::int64_t first, std::int64_t count);
