// The program's phases in order: start-up checks, parameter menu, buffer allocation, processing
// run, teardown. Works in the current folder under the fixed file names.
#pragma once

#include <cstdio>
#include <string>

#include "detection/processing_run.h"
#include "imaging/frame_files.h"

// Runs VESK once: answers from `in`, the program's own console text to `out`, one-line error and
// warning messages to `err`. Returns the exit status: 0, or 1 when it stopped on an error or
// finished having lost output.
int run_vesk(std::FILE* in, std::FILE* out, std::FILE* err);

// Sizes and allocates the run's buffers (all but header_scratch and report_header) for
// `images_in_buffer` frames, sizes computed in size_t with overflow checks. False with `error`
// when a size overflows or memory cannot be had; the buffers are then left empty.
bool allocate_run_buffers(RunBuffers& buffers, const FrameGeometry& geometry, int images_in_buffer,
                          std::string& error);
