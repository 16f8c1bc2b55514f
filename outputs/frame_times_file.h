// frame_times.csv of a run on a recording: each frame's UTC and its seconds since frame 0 as the
// frame source gives them, in the text vesk-frames writes.
#pragma once

#include <filesystem>
#include <memory>

#include "run/run_output.h"
#include "sources/frame_source.h"

// The output that writes `run_dir`/frame_times.csv for frames 0 to frames_read - 1 of `source`
// when the frames run out, and only when the source knows the time of at least one of them.
// Written as frame_times.csv.part and renamed when complete, so an older file stays whole until
// then. `source` must outlive the output.
std::unique_ptr<RunOutput> make_frame_times_file(const std::filesystem::path& run_dir,
                                                 const FrameSource& source);
