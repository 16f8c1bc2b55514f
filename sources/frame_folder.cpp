#include "sources/frame_folder.h"

#include <cerrno>
#include <cstdio>

#include "imaging/file_io.h"

namespace {

class FrameFolder final : public FrameSource {
 public:
  FrameFolder(std::filesystem::path run_dir, FrameGeometry geometry)
      : run_dir_(std::move(run_dir)), geometry_(geometry) {}

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return -1; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (next_ >= kMaxFolderFrames) return at_the_limit();
    const std::string name = numbered_file_name(kRawFramePattern, next_);
    bool missing = false;
    std::string error;
    FileHandle file = open_regular_file(run_dir_, name.c_str(), error, &missing);
    if (!file) {
      // Only a frame that is not there ends the recording; any other failure stops the run.
      read.status = missing ? FrameStatus::end : FrameStatus::failed;
      read.reason = error;
      return read;
    }
    errno = 0;
    const std::size_t header_got = read_bytes(file.get(), header_);
    const std::size_t payload_got =
        header_got == header_.size() ? read_bytes(file.get(), destination) : 0;
    if (std::ferror(file.get()) != 0) {
      read.status = FrameStatus::failed;
      read.reason = errno_message(name.c_str(), "read failed");
      return read;
    }
    if (payload_got < destination.size()) {
      read.warning = name + ": truncated, " + std::to_string(header_got + payload_got) + " of " +
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
  void check_stated_size(const std::string& name, FrameRead& read) {
    const std::int32_t width = get_le32(header_, 18);
    const std::int32_t height = get_le32(header_, 22);
    if (width == geometry_.image_width && height == geometry_.image_height) return;
    size_warned_ = true;
    read.warning = name + ": header states " + std::to_string(width) + " x " +
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
  if (!read_frame_geometry(run_dir, header, geometry, *error)) return nullptr;
  return std::make_unique<FrameFolder>(run_dir, geometry);
}
