// One line, once, when a run reports on more than 1 in 100 of at least 1,000 tested frames: the
// detection parameters let the recording's noise through, and vesk-tune finds better ones.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "run/run_output.h"

inline constexpr std::int64_t kRunawayLeastFrames = 1000;

// The notice output; `run_dir` as the user named the run folder, for the vesk-tune command.
std::unique_ptr<RunOutput> make_runaway_notice(const std::string& run_dir, std::FILE* out,
                                               std::FILE* err);
