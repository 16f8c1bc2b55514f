// Several recording files of one night read as one recording: capture programs split a night
// into files at a size or time limit, and the ring runs on across them so that no seam between
// two files goes untested. Frames are numbered on across the files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sources/frame_source.h"
#include "sources/recording.h"

// Opens every file of `paths` (open_recording, each from its first frame) and orders them by the
// UTC of their first frame; when a file has no times they stay in the order given, with a
// notice. Every file must hold frames of the first one's size. The first file in that order
// settles how the samples are read (byte order and the depth 16-bit samples are scaled from, the
// grey scale of real-number FITS samples), and every later file is read the same way, so the
// notices of that reading are said once; a later file that stores its samples otherwise (another
// depth, another BITPIX) is refused. A file that starts more than 1.5
// frame periods (of the file before it) after the last frame of the file before it follows a
// gap: its first frame is read with `after_gap` set, and a notice says so. options.first and
// options.count count frames across the files. Each file's notices, and the set's, go to
// `notices`. Null with `error`, one line naming the file, when a file cannot be opened, holds
// frames of another size or depth or an unknown number of frames, or options.first is past the
// last frame.
std::unique_ptr<FrameSource> open_recording_set(const std::vector<std::string>& paths,
                                                const RecordingOptions& options,
                                                std::vector<std::string>& notices,
                                                std::string* error);
