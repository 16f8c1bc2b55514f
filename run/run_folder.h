// The run folder that VESK works in: frame files in BMP_RAW, the empty BMP_FLASHES, the shipped
// data files and settings.txt. Every file is written under a temporary name and renamed when
// complete, so an interrupted conversion never leaves a short file under a frame's name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

// The shipped files every run folder needs, copied from the data folder.
inline constexpr const char* kRunDataFiles[] = {"bmpheader.dat", "about.txt", "default.txt"};

// The first of `candidates` that holds every file of kRunDataFiles. False with `error` naming
// the folders searched when none does.
bool find_data_folder(std::span<const std::filesystem::path> candidates,
                      std::filesystem::path& found, std::string* error);

// Checks, before anything is written, that `outdir` can become a run folder: it is a folder or
// does not exist yet, and its BMP_RAW holds no frame files (a00000.bmp ...) that would mix with
// the new ones. False with `error` otherwise.
bool check_run_folder(const std::filesystem::path& outdir, std::string* error);

// Whether a run folder gets the BMP_RAW folder of frame files: not when vesk reads a recording
// itself.
enum class RawFrames { folder, none };

// The one way a run folder is laid out (vesk-frames, vesk with a recording, the demo, the benches,
// tests and fuzz targets). Creates `outdir`, `outdir`/BMP_RAW (unless `raw` is none) and
// `outdir`/BMP_FLASHES, copies each of kRunDataFiles from `data_folder` unless the folder has it
// already, and default.txt to settings.txt unless settings.txt is there. False with `error`
// naming the file or folder that failed.
bool lay_out_run_folder(const std::filesystem::path& outdir,
                        const std::filesystem::path& data_folder, RawFrames raw,
                        std::string* error);

// Where a program looks for the shipped data files, in order: `installed_from_bin` (the data
// folder relative to the folder of the running program, found through /proc/self/exe or else
// `argv0`), then `source_data_dir` (the source tree's data/, for a program run from its build
// folder).
std::vector<std::filesystem::path> data_folder_candidates(const char* argv0,
                                                          const char* installed_from_bin,
                                                          const char* source_data_dir);

// Writes frame file `number` ("a%05d.bmp") into `raw_folder`: header and width * height grey
// levels, top image row first. Written as "<name>.part" and renamed when closed; on failure the
// part file is removed and `error` says what failed.
bool write_frame_file(const std::filesystem::path& raw_folder, int number, int width, int height,
                      std::span<const std::uint8_t> grey, std::string* error);
