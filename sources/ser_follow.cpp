#include "sources/ser_follow.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "formats/utc.h"
#include "sources/ser_reader.h"
#include "sources/ser_source.h"

namespace {

using Clock = std::chrono::steady_clock;

// The header's 32-bit frame count lies at this byte.
constexpr off_t kFrameCountAt = 38;
// After the count is set, the trailer is waited for this long at most (a program that writes no
// trailer closes the file without one).
constexpr double kTrailerWaitSeconds = 1.0;

double seconds_since(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

// One file of the recording followed.
struct FollowedFile {
  std::string path;
  SerRecording recording;                 // the frames are read through it
  std::int64_t start = 0;                 // the run's number of its frame 0
  std::uint64_t size = 0;                 // bytes, when last looked at
  std::int32_t count = 0;                 // the header's frame count, when last looked at
  std::int64_t whole = 0;                 // whole frames it holds (at most `count` once set)
  std::int64_t read = 0;                  // frames read from it
  std::unique_ptr<FrameSource> finished;  // the closed file opened again, for its times
  bool closed = false;                    // its count is set and every frame of it was read
};

// How far an attempt to open a file being written got.
enum class Opening { opened, not_yet, failed };

class FollowingSer final : public FrameSource {
 public:
  FollowingSer(const RecordingOptions& options, FollowSettings settings, FollowProgress* progress)
      : options_(options), settings_(std::move(settings)), progress_(progress) {}

  // Polls until `path` can be opened as the first file. False with `error`.
  bool open_first(const std::string& path, std::string* error) {
    FollowedFile file;
    file.path = path;
    const Clock::time_point began = Clock::now();
    std::uint64_t last_size = 0;
    for (;;) {
      const Opening opening = try_open(file, error);
      if (opening == Opening::opened) break;
      if (opening == Opening::failed) return false;
      if (stopped()) {
        *error = path + ": stopped by a signal before its first frames were written";
        return false;
      }
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0 &&
          static_cast<std::uint64_t>(info.st_size) != last_size) {
        last_size = static_cast<std::uint64_t>(info.st_size);
        last_growth_ = Clock::now();
      }
      if (seconds_since(std::max(began, last_growth_)) >= settings_.idle_seconds) {
        *error = path + ": no whole frame written within " + idle_text() +
                 " (--idle); nothing to follow";
        return false;
      }
      pause();
    }
    geometry_.image_width = file.recording.header.width;
    geometry_.image_height = file.recording.header.height;
    geometry_.frame_pixels = file.recording.header.width * file.recording.header.height;
    format_ = file.recording.format;
    files_.push_back(std::move(file));
    last_growth_ = Clock::now();
    update_progress();
    return true;
  }

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return -1; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (!wait_for(next_ + 1, true)) {
      read.status = FrameStatus::end;
      read.reason = end_reason_;
      return read;
    }
    FollowedFile& file = file_holding(next_);
    std::string error;
    std::clearerr(file.recording.file.get());  // the end seen once is not the end for good
    if (!read_ser_frame(file.recording, next_ - file.start, destination, &error)) {
      read.status = FrameStatus::failed;
      read.reason = error;
      return read;
    }
    ++file.read;
    ++next_;
    update_progress();
    read.status = FrameStatus::frame;
    read.bytes = destination.size();
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    if (wait_for(count, false)) return true;
    *error = end_reason_;
    return false;
  }

  FrameTime frame_time(std::int64_t frame) const override {
    const FollowedFile* file = file_of(frame);
    if (file == nullptr || file->finished == nullptr) return {};
    if (files_.size() == 1) return file->finished->frame_time(frame);
    // Across files, seconds run from the first file's frame 0, as in a night read as one.
    const FrameTime first =
        files_.front().finished != nullptr ? files_.front().finished->frame_time(0) : FrameTime{};
    FrameTime time = file->finished->frame_time(frame - file->start);
    std::int64_t ticks = 0;
    std::int64_t first_ticks = 0;
    if (!time.known || !first.known || !parse_utc_text(time.utc, ticks) ||
        !parse_utc_text(first.utc, first_ticks)) {
      return {};
    }
    time.ticks = ticks - first_ticks;
    time.seconds = static_cast<double>(time.ticks) / static_cast<double>(kTicksPerSecond);
    return time;
  }

  FrameOrigin frame_origin(std::int64_t frame) const override {
    const FollowedFile* file = file_of(frame);
    if (file == nullptr) return {};
    return {file->path, frame - file->start};
  }

 private:
  bool stopped() const { return settings_.stop != nullptr && *settings_.stop != 0; }

  void pause() const {
    std::this_thread::sleep_for(std::chrono::duration<double>(settings_.poll_seconds));
  }

  std::string idle_text() const {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", settings_.idle_seconds);
    return text;
  }

  void say(const std::string& line) {
    if (settings_.notice && said_.insert(line).second) settings_.notice(line);
  }

  void update_progress() {
    if (progress_ == nullptr) return;
    std::int64_t written = 0;
    for (const FollowedFile& f : files_) written = f.start + f.whole;
    progress_->written.store(written, std::memory_order_relaxed);
    progress_->read.store(next_, std::memory_order_relaxed);
  }

  const FollowedFile* file_of(std::int64_t frame) const {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
      if (frame >= it->start && frame < it->start + std::max(it->whole, it->read)) return &*it;
    }
    return nullptr;
  }

  FollowedFile& file_holding(std::int64_t frame) {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
      if (frame >= it->start) return *it;
    }
    return files_.front();
  }

  // Reads the size and the header's frame count of `file` again; true when it grew.
  bool look_at(FollowedFile& file) {
    const int fd = fileno(file.recording.file.get());
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    std::uint8_t bytes[4] = {};
    if (pread(fd, bytes, sizeof bytes, kFrameCountAt) == static_cast<ssize_t>(sizeof bytes)) {
      file.count =
          static_cast<std::int32_t>(std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                    std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24);
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const bool grew = size != file.size;
    file.size = size;
    const std::uint64_t frame = file.recording.header.frame_bytes;
    std::int64_t whole =
        size > kSerHeaderBytes ? static_cast<std::int64_t>((size - kSerHeaderBytes) / frame) : 0;
    if (file.count > 0) whole = std::min<std::int64_t>(whole, file.count);
    file.whole = std::max(file.whole, whole);
    if (grew) last_growth_ = Clock::now();
    return grew;
  }

  // Once its count is set and its frames read: the closed file opened again for its times, when
  // the trailer is there (or has not come within kTrailerWaitSeconds). False while waiting.
  bool finish_file(FollowedFile& file) {
    const std::uint64_t frames = static_cast<std::uint64_t>(file.count);
    const std::uint64_t full =
        kSerHeaderBytes + frames * (file.recording.header.frame_bytes + kSerTimeBytes);
    if (file.size < full &&
        seconds_since(last_growth_) < std::min(kTrailerWaitSeconds, settings_.idle_seconds)) {
      return false;
    }
    if (file.whole > file.count) {
      say(file.path + ": its header now gives " + std::to_string(file.count) + " frames, " +
          std::to_string(file.whole) + " were read while it grew; the frames after " +
          std::to_string(file.count) + " get no times");
    }
    std::vector<std::string> notices;
    std::string error;
    RecordingOptions whole = options_;
    file.finished = open_ser_source(file.path, whole, notices, &error);
    for (const std::string& notice : notices) say(notice);
    if (file.finished == nullptr) say(error + "; its frames get no times");
    file.closed = true;
    const std::string next = next_numbered_file(file.path);
    if (!next.empty()) {
      say(file.path + ": closed after " + std::to_string(file.whole) + " frames; " + next +
          " is followed next when it comes within " + idle_text());
    }
    last_growth_ = Clock::now();
    return true;
  }

  // Opens `file` (its path set) when it holds its header and the frames it must be opened with.
  Opening try_open(FollowedFile& file, std::string* error) {
    struct stat info {};
    if (::stat(file.path.c_str(), &info) != 0) return Opening::not_yet;
    if (!S_ISREG(info.st_mode)) {
      *error = file.path + ": not a regular file; a recording is read from a file";
      return Opening::failed;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size < kSerHeaderBytes) return Opening::not_yet;
    bool is_ser = false;
    if (!is_ser_recording(file.path, is_ser, error)) return Opening::failed;
    std::vector<std::uint8_t> head(kSerHeaderBytes);
    {
      FileHandle handle = open_file(file.path.c_str(), "rb", error);
      if (!handle) return Opening::failed;
      if (read_bytes(handle.get(), head) != head.size()) return Opening::not_yet;
    }
    SerHeader header;
    if (!is_ser || !parse_ser_header(head, file.path, kMaxFrameSide, header, error)) {
      if (is_ser) return Opening::failed;
      *error = "--follow: " + file.path + " is not a SER recording; only SER files are followed";
      return Opening::failed;
    }
    // The sample checks read the first frames of 16-bit samples: they wait for them, so that
    // the samples are read as in the finished file.
    const std::int64_t needed = header.bytes_per_sample == 2 ? kSurveyFrames : 1;
    const std::int64_t whole =
        static_cast<std::int64_t>((size - kSerHeaderBytes) / header.frame_bytes);
    if (header.frame_count <= 0 && whole < needed) return Opening::not_yet;
    std::vector<std::string> notices;
    if (!open_ser_recording(file.path, {options_.byte_order, options_.depth}, kMaxFrameSide,
                            file.recording, notices, error)) {
      return Opening::failed;
    }
    // A count of 0 is what a file being written holds: the count read from its size is no news.
    for (const std::string& notice : notices) {
      if (header.frame_count > 0 || notice.find(": frame count: ") == std::string::npos) {
        say(notice);
      }
    }
    look_at(file);
    return Opening::opened;
  }

  // The next file of the numbering, opened to follow on from the last one when it is there.
  // False when it is not there yet; an end (with a notice) when it cannot be followed.
  bool take_next_file() {
    const FollowedFile& last = files_.back();
    FollowedFile file;
    file.path = next_numbered_file(last.path);
    if (file.path.empty()) {  // no numbering to follow: the recording ends with its file
      end(last.path + ": holds " + std::to_string(last.start + last.whole) + " frames");
      return false;
    }
    std::string error;
    const Opening opening = try_open(file, &error);
    if (opening == Opening::not_yet) return false;
    if (opening == Opening::failed) {
      end(error + "; the recording ends with " + last.path);
      return false;
    }
    const SerHeader& h = file.recording.header;
    if (h.width != geometry_.image_width || h.height != geometry_.image_height ||
        h.frame_bytes != last.recording.header.frame_bytes ||
        h.colour != last.recording.header.colour) {
      end(file.path + ": frames of " + std::to_string(h.width) + " x " + std::to_string(h.height) +
          " not laid out as those of " + last.path + "; the recording ends with " + last.path);
      return false;
    }
    // Depth and byte order are those settled on the first file.
    file.recording.format = format_;
    file.start = last.start + last.whole;
    say(file.path + ": follows on from " + last.path + " at frame " + std::to_string(file.start));
    files_.push_back(std::move(file));
    last_growth_ = Clock::now();
    update_progress();
    return true;
  }

  void end(const std::string& reason) {
    ended_ = true;
    end_reason_ = reason;
  }

  // Waits (polling) until frames 0 to `frames` - 1 are there. False when the recording ends
  // first: closed with no file after it, idle, or stopped. With `gather`, a frame that had to be
  // waited for is given up to settings_.gather_seconds for the frames after it to come, so that
  // the run scans them one after another: the first frame scanned after a pause finds the
  // ring's sums gone from the processor's caches (about 1.4 ms more at 720x576). Scanned one at
  // a time, 50 frames/s of 720x576 cost a third more processor time than a run over the finished
  // file; gathered for 0.25 s, 8 %; for a second, 2 %. A second keeps a flash's row within
  // 2 s of its frame, half a ring at 50 frames/s included.
  bool wait_for(std::int64_t frames, bool gather) {
    if (files_.back().start + files_.back().whole >= frames) return true;
    if (!wait_until_there(frames)) return false;
    if (!gather) return true;
    const Clock::time_point came = Clock::now();
    const std::int64_t enough = frames - 1 + settings_.gather_frames;
    for (;;) {
      FollowedFile& file = files_.back();
      if (file.start + file.whole >= enough || (file.count > 0 && file.whole >= file.count) ||
          seconds_since(came) >= settings_.gather_seconds || stopped()) {
        break;
      }
      // In quarters of the time allowed, not at the poll's pace: each look wakes the process,
      // and a run that keeps up with its writer spends most of its time here.
      std::this_thread::sleep_for(std::chrono::duration<double>(
          std::max(settings_.poll_seconds, settings_.gather_seconds / 4)));
      look_at(file);
    }
    update_progress();
    return true;
  }

  bool wait_until_there(std::int64_t frames) {
    for (;;) {
      FollowedFile& file = files_.back();
      if (file.start + file.whole >= frames) return true;
      if (ended_) return false;
      if (stopped()) {
        end("stopped by a signal");
        return false;
      }
      look_at(file);
      update_progress();
      if (file.start + file.whole >= frames) return true;
      if (file.count > 0 && file.whole >= file.count) {
        if (!file.closed && !finish_file(file)) {
          pause();
          continue;
        }
        if (take_next_file()) continue;
        if (ended_) return false;
      }
      if (seconds_since(last_growth_) >= settings_.idle_seconds) {
        const std::int64_t total = file.start + file.whole;
        if (!file.closed) {
          say(file.path + ": no new frame for " + idle_text() +
              " (--idle) and its header's frame count is still 0, as the capture program leaves "
              "it until it closes the file; the run ends after " +
              std::to_string(total) + " frames, without their times");
        }
        end(file.path + ": holds " + std::to_string(total) + " frames");
        return false;
      }
      pause();
    }
  }

  RecordingOptions options_;
  FollowSettings settings_;
  FollowProgress* progress_;
  std::vector<FollowedFile> files_;
  FrameGeometry geometry_;
  SampleFormat format_;
  std::int64_t next_ = 0;
  Clock::time_point last_growth_ = Clock::now();
  bool ended_ = false;
  std::string end_reason_;
  std::set<std::string> said_;
};

}  // namespace

std::string next_numbered_file(const std::string& path) {
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string();
  std::size_t end = stem.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(stem[end - 1])) == 0) --end;
  if (end == 0) return {};
  std::size_t begin = end;
  while (begin > 0 && std::isdigit(static_cast<unsigned char>(stem[begin - 1])) != 0) --begin;
  std::string digits = stem.substr(begin, end - begin);
  std::size_t i = digits.size();
  while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
  if (i == 0) {
    digits.insert(digits.begin(), '1');
  } else {
    ++digits[i - 1];
  }
  const std::string name =
      stem.substr(0, begin) + digits + stem.substr(end) + p.extension().string();
  return p.has_parent_path() ? (p.parent_path() / name).string() : name;
}

std::unique_ptr<FrameSource> open_following_ser(const std::string& path,
                                                const RecordingOptions& options,
                                                const FollowSettings& settings,
                                                FollowProgress* progress, std::string* error) {
  if (options.first != 0 || options.count >= 0 || options.start_utc) {
    const char* option = options.first != 0   ? "--first"
                         : options.count >= 0 ? "--count"
                                              : "--start-utc";
    *error = std::string(option) +
             ": not with --follow; a recording being written is followed from its first frame "
             "with its own times";
    return nullptr;
  }
  auto source = std::make_unique<FollowingSer>(options, settings, progress);
  if (!source->open_first(path, error)) return nullptr;
  return source;
}
