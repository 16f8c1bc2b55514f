// The run folder belongs to the user: a run takes its lock, removes or replaces only the names it
// writes (formats/run_names.h), never deletes through a link, and names the other files it finds
// in the folders it writes into without touching them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// An exclusive flock on the run folder itself, held until destroyed; the kernel releases it when
// the process dies, so a killed run never leaves the folder locked.
class RunFolderLock {
 public:
  RunFolderLock() = default;
  RunFolderLock(const RunFolderLock&) = delete;
  RunFolderLock& operator=(const RunFolderLock&) = delete;
  RunFolderLock(RunFolderLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  RunFolderLock& operator=(RunFolderLock&& other) noexcept;
  ~RunFolderLock();
  bool held() const { return fd_ >= 0; }

 private:
  friend bool lock_run_folder(const std::filesystem::path&, RunFolderLock&, std::string*);
  int fd_ = -1;
};

// Takes the lock of the existing folder `dir` without waiting. False with `error` naming `dir`
// when another vesk, vesk-tune or vesk-review holds it, or the folder cannot be opened.
bool lock_run_folder(const std::filesystem::path& dir, RunFolderLock& lock, std::string* error);

// Which outputs a run owns: in a recording run frame_times.csv and run.txt are its own too.
enum class RunKind { frame_folder, recording };

// Refuses, without opening anything, an output name of the run (or its temporary name) that is a
// FIFO or a socket, or a link to one: opening it to write would wait for a reader for ever.
// False with `error` "<name>: a FIFO, not a file a run writes; ...".
bool check_output_names(const std::filesystem::path& dir, RunKind kind, std::string* error);

// Removes the previous run's outputs from `dir`: its files, its report images in BMP_FLASHES, its
// pictures and page in review/, and their temporary names. Inputs and unknown names are kept; the
// unknown ones are named in one notice per folder (at the top only in a recording's run folder:
// a frame folder is the user's working folder). A folder that is a link is not cleared. False
// with `error` when a name cannot be removed.
bool clear_previous_outputs(const std::filesystem::path& dir, RunKind kind,
                            std::vector<std::string>& notices, std::string* error);
