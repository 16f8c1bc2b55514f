#include "sources/ser_source.h"

#include <algorithm>

#include "formats/utc.h"
#include "imaging/frame_files.h"
#include "sources/ser_reader.h"

namespace {

class SerSource final : public FrameSource {
 public:
  SerSource(SerRecording recording, std::int64_t first, std::int64_t count,
            std::vector<std::int64_t> ticks, std::int64_t limit)
      : recording_(std::move(recording)),
        first_(first),
        count_(count),
        ticks_(std::move(ticks)),
        limited_by_count_(limit >= 0 && limit == count) {
    geometry_.image_width = recording_.header.width;
    geometry_.image_height = recording_.header.height;
    geometry_.frame_pixels = recording_.header.width * recording_.header.height;
  }

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return count_; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (next_ >= count_) {
      read.status = FrameStatus::end;
      read.reason = ends_after();
      return read;
    }
    std::string error;
    if (!read_ser_frame(recording_, first_ + next_, destination, &error)) {
      read.status = FrameStatus::failed;
      read.reason = error;
      return read;
    }
    ++next_;
    read.status = FrameStatus::frame;
    read.bytes = destination.size();
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    if (count <= count_) return true;
    *error = ends_after();
    return false;
  }

  FrameTime frame_time(std::int64_t frame) const override {
    return frame_time_from_ticks(ticks_, frame);
  }

 private:
  // What lies where frame count_ should be: the end of the file or of --count.
  std::string ends_after() const {
    const std::string& path = recording_.path;
    if (limited_by_count_) {
      return path + ": --count " + std::to_string(count_) + " reads frames 0 to " +
             std::to_string(count_ - 1);
    }
    return path + ": holds " + std::to_string(count_) + " frames" +
           (first_ > 0 ? " from frame " + std::to_string(first_) : "");
  }

  SerRecording recording_;
  std::int64_t first_;
  std::int64_t count_;
  std::vector<std::int64_t> ticks_;  // UTC of frames first_ to first_ + count_ - 1, or none
  bool limited_by_count_;
  FrameGeometry geometry_;
  std::int64_t next_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> open_ser_source(const std::string& path,
                                             const RecordingOptions& options,
                                             std::vector<std::string>& notices,
                                             std::string* error) {
  if (options.start_utc) {
    *error =
        "--start-utc: " + path + " is a SER recording, whose frame times come from the recording";
    return nullptr;
  }
  SerRecording recording;
  if (!open_ser_recording(path, {options.byte_order, options.depth}, kMaxFrameSide, recording,
                          notices, error)) {
    return nullptr;
  }
  const std::int64_t available = recording.layout.frame_count;
  if (options.first >= available) {
    *error = "--first " + std::to_string(options.first) + ": " + path + " has only " +
             std::to_string(available) + " frames";
    return nullptr;
  }
  const std::int64_t rest = available - options.first;
  const std::int64_t count = options.count < 0 ? rest : std::min(options.count, rest);
  std::vector<std::int64_t> ticks;
  if (!read_ser_times(recording, options.first, count, ticks, notices, error)) return nullptr;
  return std::make_unique<SerSource>(std::move(recording), options.first, count, std::move(ticks),
                                     options.count);
}
