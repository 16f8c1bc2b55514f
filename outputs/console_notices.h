// The run's console text: "Processing frame N" before each frame is loaded and "Video Frame= N
// may have an impact flash M" for each report.
#pragma once

#include <cstdio>
#include <memory>

#include "run/run_output.h"

std::unique_ptr<RunOutput> make_console_notices(std::FILE* out);
