// flash_info.dat: a header line, then one record per reported frame, each flushed as written so
// an interrupted run keeps every record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "detection/flash_detector.h"
#include "formats/flash_info_dat.h"
#include "run/run_output.h"

// Appends one record for `target_frame` (formats/flash_info_dat.h) and flushes it. False when the
// write or the flush fails (errno then tells why).
bool write_flash_record(std::FILE* flash_log, std::int64_t target_frame, int flash_count,
                        const FlashMeasurement& measurement);

// The output that writes `run_dir`/flash_info.dat: created (emptied) when the run starts, closed
// and checked when it ends. A record that cannot be written stops the run.
std::unique_ptr<RunOutput> make_flash_log(const std::filesystem::path& run_dir);
