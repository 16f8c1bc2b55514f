#include "sources/frame_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "imaging/file_io.h"

namespace {

// An open file descriptor, closed when the owner goes. The folder only reads, so the close has
// nothing to report.
class ReadDescriptor {
 public:
  explicit ReadDescriptor(int fd) : fd_(fd) {}
  ~ReadDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadDescriptor(const ReadDescriptor&) = delete;
  ReadDescriptor& operator=(const ReadDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads into `parts` in order until they are full or the file ends; answers the bytes read and
// sets `failed` (errno telling why) when a read fails. For a regular file this is one readv call.
std::size_t read_parts(int fd, iovec (&parts)[2], bool& failed) {
  std::size_t total = 0;
  int first = 0;
  failed = false;
  while (first < 2) {
    const ssize_t got = ::readv(fd, parts + first, 2 - first);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    auto left = static_cast<std::size_t>(got);
    total += left;
    while (first < 2 && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return total;
}

class FrameFolder final : public FrameSource {
 public:
  // `path` is run_dir / "BMP_RAW/a00000.bmp"; `name_start` where the name relative to run_dir
  // begins in it and `digits` where its five-digit number begins.
  FrameFolder(std::filesystem::path run_dir, std::string path, std::size_t name_start,
              std::size_t digits, FrameGeometry geometry)
      : run_dir_(std::move(run_dir)),
        path_(std::move(path)),
        name_start_(name_start),
        digits_(digits),
        geometry_(geometry) {}

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return -1; }

  // Each frame is a file of its own, named relative to the run folder.
  FrameOrigin frame_origin(std::int64_t frame) const override {
    if (frame < 0 || frame >= kMaxFolderFrames) return {};
    return {numbered_file_name(kRawFramePattern, frame), 0};
  }

  // One open, one readv of header and payload into the header scratch and the destination, one
  // close: no allocation unless a message has to be written.
  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (next_ >= kMaxFolderFrames) return at_the_limit();
    int number = next_;
    for (int i = 4; i >= 0; --i) {
      path_[digits_ + static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
      number /= 10;
    }
    const char* name = path_.c_str() + name_start_;
    // Opened without blocking, so that a FIFO answers at once; only a regular file is read.
    errno = 0;
    const ReadDescriptor file(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
      // Only a frame that is not there ends the recording; any other failure stops the run.
      read.status = errno == ENOENT ? FrameStatus::end : FrameStatus::failed;
      read.reason = errno_message(name, "cannot open");
      return read;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      read.status = FrameStatus::failed;
      read.reason = std::string(name) + ": not a regular file";
      return read;
    }
    iovec parts[2] = {{header_.data(), header_.size()}, {destination.data(), destination.size()}};
    bool failed = false;
    const std::size_t got = read_parts(file.get(), parts, failed);
    if (failed) {
      read.status = FrameStatus::failed;
      read.reason = errno_message(name, "read failed");
      return read;
    }
    const std::size_t payload_got = got > header_.size() ? got - header_.size() : 0;
    if (payload_got < destination.size()) {
      read.warning = std::string(name) + ": truncated, " + std::to_string(got) + " of " +
                     std::to_string(kFrameHeaderBytes + destination.size()) + " bytes";
    } else if (!size_warned_) {
      check_stated_size(name, read);
    }
    read.status = FrameStatus::frame;
    read.bytes = payload_got;
    ++next_;
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    for (int i = 0; i < count && i < kMaxFolderFrames; ++i) {
      const std::string name = numbered_file_name(kRawFramePattern, i);
      std::error_code ec;
      const std::filesystem::file_status status = std::filesystem::status(run_dir_ / name, ec);
      // Only absence is judged here; a frame that is there but unreadable is named when read.
      if (status.type() == std::filesystem::file_type::not_found) {
        errno = ENOENT;
        *error = errno_message(name.c_str(), "cannot open");
        return false;
      }
    }
    return true;
  }

 private:
  // Frame 0's size holds for every frame; a later header stating another one is said once.
  void check_stated_size(const char* name, FrameRead& read) {
    const std::int32_t width = get_le32(header_, 18);
    const std::int32_t height = get_le32(header_, 22);
    if (width == geometry_.image_width && height == geometry_.image_height) return;
    size_warned_ = true;
    read.warning = std::string(name) + ": header states " + std::to_string(width) + " x " +
                   std::to_string(height) + ", read as " + std::to_string(geometry_.image_width) +
                   " x " + std::to_string(geometry_.image_height) +
                   " like frame 0 (later frames are not checked)";
  }

  // A folder holds frames 0 to 99,998; frames beyond are there but will not be read.
  FrameRead at_the_limit() const {
    FrameRead read;
    const std::string name = numbered_file_name(kRawFramePattern, kMaxFolderFrames);
    std::error_code ec;
    if (std::filesystem::exists(run_dir_ / name, ec)) {
      read.warning = name +
                     ": frames from 99999 on were not read, a frame folder holds frames 0 to "
                     "99998; run vesk on the recording itself (vesk RECORDING), or convert the "
                     "rest into another folder (vesk-frames RECORDING DIR --first 99999)";
    }
    return read;
  }

  std::filesystem::path run_dir_;
  std::string path_;
  std::size_t name_start_;
  std::size_t digits_;
  FrameGeometry geometry_;
  int next_ = 0;
  bool size_warned_ = false;
  std::array<std::uint8_t, kFrameHeaderBytes> header_{};
};

}  // namespace

std::unique_ptr<FrameSource> open_frame_folder(const std::filesystem::path& run_dir,
                                               std::string* error) {
  std::array<std::uint8_t, kFrameHeaderBytes> header{};
  FrameGeometry geometry;
  if (!read_frame_geometry(run_dir, header, geometry, error)) return nullptr;
  // The path of every frame is made once; read_next only rewrites its five digits.
  const std::string name = numbered_file_name(kRawFramePattern, 0);
  std::string path = (run_dir / name).string();
  const std::size_t name_start = path.size() - name.size();
  const std::size_t digits =
      name_start +
      static_cast<std::size_t>(std::strstr(kRawFramePattern, "%5d") - kRawFramePattern);
  return std::make_unique<FrameFolder>(run_dir, std::move(path), name_start, digits, geometry);
}
