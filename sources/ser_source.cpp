#include "sources/ser_source.h"

#include <algorithm>
#include <cmath>

#include "base/message.h"
#include "formats/frame_times_csv.h"
#include "formats/utc.h"
#include "imaging/frame_files.h"
#include "sources/ser_reader.h"

namespace {

class SerSource final : public FrameSource {
 public:
  SerSource(SerRecording recording, std::int64_t first, std::int64_t count, SerFrameTimes times,
            std::int64_t limit)
      : recording_(std::move(recording)),
        first_(first),
        count_(count),
        times_(std::move(times)),
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

  FrameTime frame_time(std::int64_t frame) const override { return ser_frame_time(times_, frame); }

  SampleReading sample_reading() const override {
    const SerHeader& header = recording_.header;
    SampleReading reading;
    reading.stored = std::to_string(header.pixel_depth) + "-bit frames";
    if (header.bytes_per_sample == 2) {
      reading.big_endian = recording_.format.big_endian ? 1 : 0;
      reading.depth = recording_.format.depth;
    }
    return reading;
  }

  FrameOrigin frame_origin(std::int64_t frame) const override {
    if (frame < 0 || frame >= count_) return {};
    return {recording_.path, first_ + frame};
  }

 private:
  // What lies where frame count_ should be: the end of the file or of --count.
  std::string ends_after() const {
    const std::string& path = recording_.path;
    if (limited_by_count_) {
      return path + ": --count " + std::to_string(count_) + " reads frames 0 to " +
             std::to_string(count_ - 1);
    }
    return path + ": holds " + frames_text(count_) +
           (first_ > 0 ? " from frame " + std::to_string(first_) : "");
  }

  SerRecording recording_;
  std::int64_t first_;
  std::int64_t count_;
  SerFrameTimes times_;  // of frames first_ to first_ + count_ - 1
  bool limited_by_count_;
  FrameGeometry geometry_;
  std::int64_t next_ = 0;
};

}  // namespace

std::string ser_needs_fps_message(const std::string& path) {
  return "--start-utc: " + path +
         " is a SER recording without frame times, whose header holds no frame rate: give --fps "
         "too";
}

bool read_ser_frame_times(SerRecording& recording, const RecordingOptions& options,
                          std::int64_t first, std::int64_t count, SerFrameTimes& times,
                          std::vector<std::string>& notices, std::string* error) {
  times = SerFrameTimes{};
  if (!read_ser_times(recording, first, count, times.ticks, notices, error)) return false;
  const std::string& path = recording.path;
  if (!times.ticks.empty()) {
    if (options.start_utc) {
      *error =
          "--start-utc: " + path + " is a SER recording, whose frame times come from the recording";
      return false;
    }
    if (options.fps > 0) {
      notices.push_back(path + ": --fps is ignored: the frame times come from the recording");
    }
    times.utc = true;
    times.source = kTimeFromTrailer;
    return true;
  }
  if (options.start_utc && options.fps <= 0) {
    *error = ser_needs_fps_message(path);
    return false;
  }
  if (options.fps <= 0) return true;
  // Frame n of the recording lies n/fps after its frame 0, rounded to the tick.
  const double period = static_cast<double>(kTicksPerSecond) / options.fps;
  const std::int64_t zero = options.start_utc ? *options.start_utc : 0;
  try {
    times.ticks.reserve(static_cast<std::size_t>(count));
  } catch (const std::exception&) {
    *error = path + ": cannot allocate the times of " + std::to_string(count) + " frames";
    return false;
  }
  for (std::int64_t f = first; f < first + count; ++f) {
    times.ticks.push_back(zero + std::llround(static_cast<double>(f) * period));
  }
  times.utc = options.start_utc.has_value();
  times.source = kTimeFromFps;
  return true;
}

FrameTime ser_frame_time(const SerFrameTimes& times, std::int64_t frame) {
  FrameTime time = frame_time_from_ticks(times.ticks, frame, times.source);
  if (!times.utc) time.utc.clear();
  return time;
}

bool check_ser_start_time(const std::string& path, const RecordingOptions& options,
                          std::string* error) {
  if (!options.start_utc || options.fps > 0) return true;
  bool is_ser = false;
  std::string ignored;
  if (!is_ser_recording(path, is_ser, &ignored) || !is_ser) return true;
  SerRecording recording;
  std::vector<std::string> notices;
  if (!open_ser_recording(path, {options.byte_order, options.depth}, kMaxFrameSide, recording,
                          notices, &ignored)) {
    return true;
  }
  const std::int64_t first = std::min(options.first, recording.layout.frame_count);
  const std::int64_t rest = recording.layout.frame_count - first;
  const std::int64_t count = options.count < 0 ? rest : std::min(options.count, rest);
  std::vector<std::int64_t> ticks;
  if (!read_ser_times(recording, first, count, ticks, notices, &ignored) || !ticks.empty()) {
    return true;
  }
  *error = ser_needs_fps_message(path);
  return false;
}

std::unique_ptr<FrameSource> open_ser_source(const std::string& path,
                                             const RecordingOptions& options,
                                             std::vector<std::string>& notices,
                                             std::string* error) {
  SerRecording recording;
  if (!open_ser_recording(path, {options.byte_order, options.depth}, kMaxFrameSide, recording,
                          notices, error)) {
    return nullptr;
  }
  const std::int64_t available = recording.layout.frame_count;
  if (options.first >= available) {
    *error = "--first " + std::to_string(options.first) + ": " + path + " has only " +
             frames_text(available);
    return nullptr;
  }
  const std::int64_t rest = available - options.first;
  const std::int64_t count = options.count < 0 ? rest : std::min(options.count, rest);
  SerFrameTimes times;
  if (!read_ser_frame_times(recording, options, options.first, count, times, notices, error)) {
    return nullptr;
  }
  return std::make_unique<SerSource>(std::move(recording), options.first, count, std::move(times),
                                     options.count);
}
