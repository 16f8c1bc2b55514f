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
    if (next_ >= kMaxFolderFrames) return read;  // frame names have five digits
    const std::string name = numbered_file_name(kRawFramePattern, next_);
    const std::filesystem::path path = run_dir_ / name;
    errno = 0;
    std::FILE* raw = std::fopen(path.c_str(), "rb");
    if (raw == nullptr) {
      read.message = errno_message(name.c_str(), "cannot open");
      return read;
    }
    FileHandle file(raw);
    const std::size_t header_got = read_bytes(raw, header_);
    const std::size_t payload_got =
        header_got == header_.size() ? read_bytes(raw, destination) : 0;
    if (payload_got < destination.size()) {
      read.message = name + ": truncated, " + std::to_string(header_got + payload_got) + " of " +
                     std::to_string(kFrameHeaderBytes + destination.size()) + " bytes";
    }
    read.status = FrameStatus::frame;
    read.bytes = payload_got;
    ++next_;
    return read;
  }

 private:
  std::filesystem::path run_dir_;
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
  return std::make_unique<FrameFolder>(run_dir, geometry);
}
