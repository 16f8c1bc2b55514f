// Shared parts of the fuzz targets: a private run folder per fuzzing process, cleared before
// every input, and small file writers. Nothing is written outside that folder, and the working
// folder of the process is never changed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>

// The fuzzing process's folder: created under /dev/shm (or /tmp) on the first call and removed
// at exit. Aborts when the folder cannot be made (the fuzz run would otherwise write elsewhere).
const std::filesystem::path& fuzz_folder();

// Removes everything inside fuzz_folder().
void clear_fuzz_folder();

// Writes `bytes` to `path` (relative to fuzz_folder()), creating its parent folders; aborts on
// failure.
void write_fuzz_file(const std::string& path, std::span<const std::uint8_t> bytes);
void write_fuzz_text(const std::string& path, const std::string& text);

// Makes fuzz_folder() a run folder as every program lays one out (BMP_RAW, BMP_FLASHES, the
// data files from the repository's data/ folder, settings.txt); aborts on failure.
void lay_out_fuzz_run_folder();

// A stream open on /dev/null for writing, for console text the target does not look at.
std::FILE* null_output();

// A stream reading `bytes` (from memory; an empty input reads as end of file at once). Close
// with std::fclose.
std::FILE* memory_input(std::span<const std::uint8_t> bytes);
