// The start of a run on a recording: the recording opened as the run's frame source with its
// notices said, the run folder laid out beside it, and the console text the run shows.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "control/run_options.h"
#include "formats/run_info.h"
#include "run/folder_guard.h"
#include "run/run_output.h"
#include "sources/frame_source.h"

// Opens options.recording (open_recording with options.reading), printing each notice about the
// recording as one line on `err` (after flushing `out`), then lays out `run_dir` for it:
// BMP_FLASHES, the data files from the first complete folder of options.data_folders and
// settings.txt, each kept when already there, and no BMP_RAW. Null with `error` (not printed)
// when the recording cannot be opened, before anything is created, or the folder cannot be
// laid out. Before anything is written the folder is locked (`lock`, held by the caller for the
// run) and its run.txt read: a folder that belongs to another recording is refused unless
// options.replace. `info` is the new run.txt, written with its Started time.
std::unique_ptr<FrameSource> open_recording_run(const std::filesystem::path& run_dir,
                                                const RunOptions& options, std::FILE* out,
                                                std::FILE* err, RunFolderLock& lock, RunInfo& info,
                                                std::string* error);

// The run's console output on `out`: the progress line (options.progress_line, with the source's
// frame count as the total), else the notices with or without their per-frame lines.
std::unique_ptr<RunOutput> make_run_console(const RunOptions& options, const FrameSource& source,
                                            std::FILE* out);
