// The run's console text: "Processing frame N" before each frame is loaded and "Video Frame= N
// may have an impact flash M" for each report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "run/run_output.h"

// The notice of a report: "Video Frame= N may have an impact flash M", without a line end.
std::string report_notice(std::int64_t newest_frame, std::int64_t target_frame);

// Writes the notices to `out`; without `frame_lines` only the report lines.
std::unique_ptr<RunOutput> make_console_notices(std::FILE* out, bool frame_lines = true);
