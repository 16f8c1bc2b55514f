// The numbered frame folder: BMP_RAW/a00000.bmp, a00001.bmp, ... in a run folder, each a 54-byte
// header (width at bytes 18-21, height at 22-25, read from frame 0 only) and width x height grey
// levels, row 0 first. The recording ends at the first frame number without a file, and at
// frame kMaxFolderFrames at the latest.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "imaging/frame_files.h"
#include "sources/frame_source.h"

// Opens the frame folder of `run_dir`: reads frame 0's header for the geometry. Null with
// `error` ("BMP_RAW/a00000.bmp: cannot open: No such file or directory", "...: frame size 0 x 5
// is outside 1 to 32768") when frame 0 cannot give one. Messages name files relative to
// `run_dir`.
std::unique_ptr<FrameSource> open_frame_folder(const std::filesystem::path& run_dir,
                                               std::string* error);
