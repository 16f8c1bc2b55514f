#include "sources/video_source.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "base/message.h"
#include "formats/frame_times_csv.h"
#include "formats/utc.h"
#include "imaging/frame_files.h"
#include "sources/video.h"

namespace {

// The years a frame's UTC may lie in, as for a SER recording's clock.
constexpr int kLowestYear = 1990;
constexpr int kHighestYear = 2100;

// A frame without a presentation time in the list of times.
constexpr std::int64_t kNoTime = std::numeric_limits<std::int64_t>::min();

class VideoSource final : public FrameSource {
 public:
  VideoSource(std::string path, const VideoInfo& info, const RecordingOptions& options)
      : path_(std::move(path)), options_(options), info_(info) {
    geometry_.image_width = info.width;
    geometry_.image_height = info.height;
    geometry_.frame_pixels = info.width * info.height;
    if (info.frame_count >= 0) {
      const std::int64_t most =
          options.count < 0 ? std::numeric_limits<std::int64_t>::max() : options.count;
      frame_count_ = std::clamp<std::int64_t>(info.frame_count - options.first, 0, most);
    }
  }

  VideoDecoder& decoder() { return decoder_; }

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return frame_count_; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (finished_) return ended();
    while (seen_ < options_.first) {
      if (!decode(destination, read)) return read;
      if (read.status != FrameStatus::frame) {
        finished_ = true;
        std::string error;
        if (!finish_video_decoder(decoder_, path_, &error)) return failure(error);
        return failure("--first " + std::to_string(options_.first) + ": " + path_ + " has only " +
                       frames_text(seen_));
      }
    }
    if (options_.count >= 0 && kept() == options_.count) return finish();
    if (!decode(destination, read)) return read;
    if (read.status == FrameStatus::end) {
      // The log is read to its end by then, with every error the decoder reported.
      FrameRead end = finish();
      if (end.status == FrameStatus::end) end.warning = missing_frames();
      return end;
    }
    return read;
  }

  FrameTime frame_time(std::int64_t frame) const override {
    FrameTime time;
    if (frame < 0 || frame >= kept() || !zero_) return time;
    const std::int64_t pts = times_[static_cast<std::size_t>(frame)];
    if (pts == kNoTime || frame >= times_dropped_from_) return time;
    time.known = true;
    time.source = kTimeFromPts;
    time.ticks = pts - *zero_;
    time.seconds = static_cast<double>(time.ticks) / static_cast<double>(kTicksPerSecond);
    if (options_.start_utc && start_) time.utc = utc_text(*options_.start_utc + (pts - *start_));
    return time;
  }

  // Frames decoded are counted in the file from its first, as --first counts them.
  FrameOrigin frame_origin(std::int64_t frame) const override {
    if (frame < 0 || frame >= kept()) return {};
    return {path_, options_.first + frame};
  }

 private:
  std::int64_t kept() const { return static_cast<std::int64_t>(times_.size()); }

  // Decodes the next frame of the recording into `destination`. False with `read` failed when
  // ffmpeg stopped inside a frame or failed; otherwise `read` is a frame or the end.
  bool decode(std::span<std::uint8_t> destination, FrameRead& read) {
    std::optional<std::int64_t> time;
    switch (read_video_frame(decoder_, destination, time)) {
      case VideoRead::frame:
        if (const std::string change = frame_size_change(
                decoder_, path_, geometry_.image_width, geometry_.image_height, seen_);
            !change.empty()) {
          finished_ = true;
          std::string error;
          finish_video_decoder(decoder_, path_, &error);
          read = failure(change);
          return false;
        }
        if (seen_ == 0) start_ = time;
        ++seen_;
        read.status = FrameStatus::frame;
        read.bytes = destination.size();
        if (seen_ > options_.first) {
          if (time && !zero_) zero_ = time;
          times_.push_back(time.value_or(kNoTime));
          read.warning = check_time();
        }
        return true;
      case VideoRead::partial: {
        std::string error;
        finished_ = true;
        if (finish_video_decoder(decoder_, path_, &error)) {
          error = path_ + ": ffmpeg ended inside frame " + std::to_string(seen_);
        }
        read = failure(error);
        return false;
      }
      case VideoRead::end:
        break;
    }
    read.status = FrameStatus::end;
    return true;
  }

  // Checks the time of the frame just kept against the one before with a time: never earlier,
  // and within the years 1990 to 2100 (with a start time) or 110 years of the first. At the
  // first bad time, the times from that frame on are not used, as a SER trailer's; a line for
  // the user then, else empty.
  std::string check_time() {
    const std::int64_t frame = kept() - 1;
    const std::int64_t pts = times_.back();
    if (pts == kNoTime || frame >= times_dropped_from_ || !start_ || !zero_) return "";
    const auto seconds = [](std::int64_t ticks) {
      return seconds_text(ticks) + " s";
    };
    std::string fault;
    const std::int64_t lowest = utc_day_ticks(kLowestYear, 1, 1);
    const std::int64_t highest = utc_day_ticks(kHighestYear + 1, 1, 1);
    if (last_time_ && pts < *last_time_) {
      fault = "frame " + std::to_string(frame) + " time " + seconds(pts - *zero_) +
              " is earlier than frame " + std::to_string(last_timed_) + "'s, " +
              seconds(*last_time_ - *zero_);
    } else if (options_.start_utc) {
      const std::int64_t offset = pts - *start_;
      const std::int64_t utc = *options_.start_utc;
      if (offset >= highest - utc || offset < lowest - utc) {
        const std::string text = offset >= highest - utc ? utc_text(utc + offset) : "";
        fault = "frame " + std::to_string(frame) + " time " +
                (text.empty() ? seconds(offset) + " after --start-utc" : text) +
                " lies outside the years " + std::to_string(kLowestYear) + " to " +
                std::to_string(kHighestYear);
      }
    } else if (pts - *zero_ >= highest - lowest) {
      fault = "frame " + std::to_string(frame) + " time " + seconds(pts - *zero_) +
              " lies more than " + std::to_string(kHighestYear + 1 - kLowestYear) +
              " years after the first";
    }
    last_time_ = pts;
    last_timed_ = frame;
    if (fault.empty()) return "";
    times_dropped_from_ = frame;
    return path_ + ": the frame times are not used from frame " + std::to_string(frame) +
           " on: " + fault;
  }

  // At the natural end of the stream: a line naming the frames that the container counts and the
  // decoder did not deliver, and the decoder's errors; empty when there are neither.
  std::string missing_frames() const {
    std::string line;
    if (info_.frame_count_stated && seen_ < info_.frame_count) {
      line = path_ + ": the container states " + std::to_string(info_.frame_count) +
             " frames, ffmpeg delivered " + std::to_string(seen_) + ": frames " +
             std::to_string(seen_) + " to " + std::to_string(info_.frame_count - 1) +
             " of the recording are missing";
    }
    if (decoder_.errors > 0) {
      if (line.empty()) {
        line = path_ + ": the decoder reported " + std::to_string(decoder_.errors) +
               (decoder_.errors == 1 ? " error" : " errors") + " in " + std::to_string(seen_) +
               " frames; frames may be missing or damaged";
      } else {
        line += "; the decoder reported " + std::to_string(decoder_.errors) +
                (decoder_.errors == 1 ? " error" : " errors");
      }
      // ffmpeg tags a line with its part and an address, "[mov,mp4 @ 0x55d7...] ": left out.
      std::string last = decoder_.last_error;
      if (last.starts_with('[') && last.find("] ") != std::string::npos) {
        last.erase(0, last.find("] ") + 2);
      }
      line += " (the last: " + last + ")";
    }
    return line;
  }

  // Ends the stream: ffmpeg's exit decides whether the frames read were all there is.
  FrameRead finish() {
    finished_ = true;
    std::string error;
    if (!finish_video_decoder(decoder_, path_, &error)) return failure(error);
    return ended();
  }

  // A failed read, and every read after it.
  FrameRead failure(const std::string& reason) {
    failed_ = true;
    failed_reason_ = reason;
    return ended();
  }

  FrameRead ended() const {
    FrameRead read;
    read.status = failed_ ? FrameStatus::failed : FrameStatus::end;
    if (failed_) {
      read.reason = failed_reason_;
    } else if (options_.count >= 0 && kept() == options_.count) {
      read.reason = path_ + ": --count " + std::to_string(options_.count) + " reads frames 0 to " +
                    std::to_string(options_.count - 1);
    } else if (seen_ == 0) {
      read.reason = path_ + ": holds no video frames";
    } else {
      // With --first the frames read are those from it on: both counts are said.
      read.reason =
          path_ + ": ends after " + frames_text(seen_) +
          (options_.first > 0 ? ", " + std::to_string(seen_ - options_.first) +
                                    " of them from frame " + std::to_string(options_.first) + " on"
                              : "");
    }
    return read;
  }

  std::string path_;
  RecordingOptions options_;
  FrameGeometry geometry_;
  VideoInfo info_;
  std::int64_t frame_count_ = -1;
  VideoDecoder decoder_;
  std::int64_t seen_ = 0;              // frames of the recording decoded
  std::vector<std::int64_t> times_;    // of the frames kept, kNoTime when unknown
  std::optional<std::int64_t> start_;  // time of the recording's frame 0
  std::optional<std::int64_t> zero_;   // time of the first kept frame with one
  std::optional<std::int64_t> last_time_;  // the last kept frame's time, and its number
  std::int64_t last_timed_ = 0;
  // Times from this kept frame on are not used: one of them failed check_time.
  std::int64_t times_dropped_from_ = std::numeric_limits<std::int64_t>::max();
  bool finished_ = false;
  bool failed_ = false;
  std::string failed_reason_;
};

}  // namespace

std::unique_ptr<FrameSource> open_video_source(const std::string& path,
                                               const RecordingOptions& options,
                                               std::vector<std::string>& notices,
                                               std::string* error) {
  std::string ffmpeg;
  std::string ffprobe;
  VideoInfo info;
  if (!find_video_tools(path, ffmpeg, ffprobe, error) ||
      !probe_video(ffprobe, path, kMaxFrameSide, info, error)) {
    return nullptr;
  }
  if (options.byte_order != ByteOrder::from_header || options.depth != 0) {
    notices.push_back(
        path + ": a video; --byte-order and --depth apply to SER recordings and are ignored");
  }
  auto source = std::make_unique<VideoSource>(path, info, options);
  // ffmpeg decodes the frames skipped by --first too; a count past any recording means all.
  const bool all =
      options.count < 0 || options.count > std::numeric_limits<std::int64_t>::max() - options.first;
  const std::int64_t frames = all ? -1 : options.first + options.count;
  if (!start_video_decoder(ffmpeg, path, info, frames, source->decoder(), error)) return nullptr;
  return source;
}
