// data_dump.txt: the frame size, the number of frames read and the parameters of the run, written
// when the frames run out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "run/run_output.h"

// The output that writes `run_dir`/data_dump.txt at the end of input, its text made by
// `summary_text` from the number of frames read (the driver formats the typed settings).
std::unique_ptr<RunOutput> make_run_summary(
    const std::filesystem::path& run_dir,
    std::function<std::string(std::int64_t frames_read)> summary_text);
