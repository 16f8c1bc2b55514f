#include "sources/frame_folder.h"

#include <fcntl.h>
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

// Reads into `parts` in order until they are full or the file ends; answers the bytes read. A read
// error ends the reading like the end of the file does (a folder in a frame's place reads as 0
// bytes, as it does through stdio). For a regular file this is one readv call.
std::size_t read_parts(int fd, iovec (&parts)[2]) {
  std::size_t total = 0;
  int first = 0;
  while (first < 2) {
    const ssize_t got = ::readv(fd, parts + first, 2 - first);
    if (got < 0 && errno == EINTR) continue;
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
  FrameFolder(std::string path, std::size_t name_start, std::size_t digits, FrameGeometry geometry)
      : path_(std::move(path)), name_start_(name_start), digits_(digits), geometry_(geometry) {}

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return -1; }

  // One open, one readv of header and payload into the header scratch and the destination, one
  // close: no allocation unless a message has to be written.
  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (next_ >= kMaxFolderFrames) return read;  // frame names have five digits
    int number = next_;
    for (int i = 4; i >= 0; --i) {
      path_[digits_ + static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
      number /= 10;
    }
    const char* name = path_.c_str() + name_start_;
    errno = 0;
    const ReadDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
      read.message = errno_message(name, "cannot open");
      return read;
    }
    iovec parts[2] = {{header_.data(), header_.size()}, {destination.data(), destination.size()}};
    const std::size_t got = read_parts(file.get(), parts);
    const std::size_t payload_got = got > header_.size() ? got - header_.size() : 0;
    if (payload_got < destination.size()) {
      read.message = std::string(name) + ": truncated, " + std::to_string(got) + " of " +
                     std::to_string(kFrameHeaderBytes + destination.size()) + " bytes";
    }
    read.status = FrameStatus::frame;
    read.bytes = payload_got;
    ++next_;
    return read;
  }

 private:
  std::string path_;
  std::size_t name_start_;
  std::size_t digits_;
  FrameGeometry geometry_;
  int next_ = 0;
  std::array<std::uint8_t, kFrameHeaderBytes> header_{};
};

}  // namespace

std::unique_ptr<FrameSource> open_frame_folder(const std::filesystem::path& run_dir,
                                               std::string* error) {
  std::array<std::uint8_t, kFrameHeaderBytes> header{};
  FrameGeometry geometry;
  if (!read_frame_geometry(run_dir, header, geometry, *error)) return nullptr;
  // The path of every frame is made once; read_next only rewrites its five digits.
  const std::string name = numbered_file_name(kRawFramePattern, 0);
  std::string path = (run_dir / name).string();
  const std::size_t name_start = path.size() - name.size();
  const std::size_t digits =
      name_start +
      static_cast<std::size_t>(std::strstr(kRawFramePattern, "%5d") - kRawFramePattern);
  return std::make_unique<FrameFolder>(std::move(path), name_start, digits, geometry);
}
