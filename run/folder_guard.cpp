#include "run/folder_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "formats/run_names.h"

namespace fs = std::filesystem;

namespace {

// What a processing run clears of its previous run at the top of the run folder (a subset of
// run_names(): the rest are inputs or other programs' files). frame_times.csv and run.txt are a
// recording run's own; in a frame folder they are vesk-frames' record, an input.
constexpr std::string_view kRunOutputFiles[] = {"flash_info.dat", "data_dump.txt", "flashes.csv",
                                                "lightcurves.csv"};
constexpr std::string_view kRecordingFrameTimesFile = "frame_times.csv";
constexpr std::string_view kRunInfoFile = "run.txt";
constexpr std::string_view kReportFolder = "BMP_FLASHES";
constexpr std::string_view kReviewFolder = "review";
constexpr std::string_view kPartSuffix = ".part";
// Inputs and other programs' names at the top of a run folder: never cleared, never named as
// foreign.
constexpr std::string_view kRunInputNames[] = {
    "BMP_RAW",  "settings.txt", "settings.txt.bak", "default.txt",   "about.txt", "bmpheader.dat",
    "site.txt", "mask.png",     "mask.txt",         "decisions.csv", "tune"};

std::string kind_of(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::symlink:
      return "a link";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    default:
      return "not a regular file";
  }
}

std::vector<std::string> owned_files(RunKind kind) {
  std::vector<std::string> names(std::begin(kRunOutputFiles), std::end(kRunOutputFiles));
  if (kind == RunKind::recording) {
    names.emplace_back(kRecordingFrameTimesFile);
    names.emplace_back(kRunInfoFile);
  }
  return names;
}

bool is_owned_top(const std::string& name, const std::vector<std::string>& owned) {
  for (const std::string& own : owned) {
    if (name == own || name == own + std::string(kPartSuffix)) return true;
  }
  return false;
}

bool is_known_top(const std::string& name, const std::vector<std::string>& owned) {
  if (is_owned_top(name, owned) || name == kReportFolder || name == kReviewFolder) return true;
  if (name == kRecordingFrameTimesFile || name == kRunInfoFile) return true;
  if (name.starts_with(".")) return true;  // hidden files: the user's tools, never a surprise
  return std::find(std::begin(kRunInputNames), std::end(kRunInputNames), name) !=
         std::end(kRunInputNames);
}

bool strip_part(std::string& name) {
  if (!name.ends_with(kPartSuffix)) return false;
  name.resize(name.size() - kPartSuffix.size());
  return true;
}

// Removes the regular files of `folder` whose names `owned` accepts; links are left as they are,
// and the other names go to `foreign`.
bool clear_folder(const fs::path& folder, bool (*owned)(std::string_view),
                  std::vector<std::string>& foreign, std::string* error) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    std::string base = name;
    strip_part(base);
    // A link under one of the run's names was put there on purpose: neither it nor what it
    // points to is removed (a write goes through it, a rename replaces the link itself).
    if (owned(base) && fs::is_symlink(status)) continue;
    if (!owned(base) || !fs::is_regular_file(status)) {
      foreign.push_back(name + (fs::is_directory(status) ? "/" : ""));
      continue;
    }
    fs::remove(it->path(), ec);
    if (ec) {
      *error = (folder.filename() / name).string() + ": cannot remove: " + ec.message();
      return false;
    }
  }
  if (ec) {
    *error = folder.filename().string() + ": cannot list: " + ec.message();
    return false;
  }
  return true;
}

std::string listed(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::string text;
  constexpr std::size_t kShown = 10;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  return text;
}

bool report_name(std::string_view name) {
  return is_run_name(std::string(kReportFolder) + "/" + std::string(name));
}
bool review_name(std::string_view name) {
  return is_run_name(std::string(kReviewFolder) + "/" + std::string(name));
}

}  // namespace

RunFolderLock& RunFolderLock::operator=(RunFolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

RunFolderLock::~RunFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool lock_run_folder(const fs::path& dir, RunFolderLock& lock, std::string* error) {
  errno = 0;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = dir.string() + ": cannot open the run folder: " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    *error = saved == EWOULDBLOCK
                 ? dir.string() +
                       ": another run (vesk, vesk-tune or vesk-review) is using this "
                       "folder; wait for it to end or choose another folder"
                 : dir.string() + ": cannot lock the run folder: " + std::strerror(saved);
    return false;
  }
  lock = RunFolderLock();
  lock.fd_ = fd;
  return true;
}

bool check_output_names(const fs::path& dir, RunKind kind, std::string* error) {
  std::vector<std::string> names = owned_files(kind);
  for (const std::string& name : std::vector<std::string>(names)) {
    names.push_back(name + std::string(kPartSuffix));
  }
  for (const std::string& name : names) {
    // The name itself, and what a link there leads to: either would block an open for writing.
    for (const bool follow : {false, true}) {
      std::error_code ec;
      const fs::file_status status =
          follow ? fs::status(dir / name, ec) : fs::symlink_status(dir / name, ec);
      if (!fs::is_fifo(status) && !fs::is_socket(status)) continue;
      *error = name + ": " + kind_of(status) + (follow ? " behind a link" : "") +
               ", not a file a run writes; remove it or choose another folder";
      return false;
    }
  }
  return true;
}

bool clear_previous_outputs(const fs::path& dir, RunKind kind, std::vector<std::string>& notices,
                            std::string* error) {
  const std::vector<std::string> owned = owned_files(kind);
  std::vector<std::string> foreign;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    // run.txt is the new run's record by now (written as it started, the earlier one read
    // first): kept, so that the run's id stays the same while it runs (a review page opened
    // during the run keeps its decisions under it).
    if (name == kRunInfoFile && kind == RunKind::recording) continue;
    if (is_owned_top(name, owned) && fs::is_regular_file(status)) {
      fs::remove(it->path(), ec);
      if (ec) {
        *error = name + ": cannot remove: " + ec.message();
        return false;
      }
    } else if (!is_known_top(name, owned)) {
      foreign.push_back(name + (fs::is_directory(status) ? "/" : ""));
    }
  }
  if (ec) {
    *error = dir.string() + ": cannot list: " + ec.message();
    return false;
  }
  // A frame folder is the user's working folder, full of their files: only a recording's run
  // folder, which vesk made, has its other files named.
  if (!foreign.empty() && kind == RunKind::recording) {
    notices.push_back(dir.string() +
                      ": holds files a run does not write, left as they are: " + listed(foreign));
  }
  const struct {
    std::string_view folder;
    bool (*owned)(std::string_view);
  } folders[] = {{kReportFolder, report_name}, {kReviewFolder, review_name}};
  for (const auto& f : folders) {
    const fs::path folder = dir / f.folder;
    const fs::file_status status = fs::symlink_status(folder, ec);
    if (fs::is_symlink(status)) {
      notices.push_back(std::string(f.folder) +
                        ": a link to another folder; nothing in it is removed");
      continue;
    }
    if (!fs::is_directory(status)) continue;
    std::vector<std::string> others;
    if (!clear_folder(folder, f.owned, others, error)) return false;
    if (!others.empty()) {
      notices.push_back(std::string(f.folder) +
                        ": holds files a run does not write, left as they are: " + listed(others));
    }
  }
  return true;
}
