#include "sources/recording_set.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/message.h"
#include "formats/utc.h"

namespace {

// A gap between files is a start later than this many frame periods after the last frame.
constexpr double kGapPeriods = 1.5;

struct SetFile {
  std::string path;
  std::unique_ptr<FrameSource> source;
  std::int64_t frames = 0;       // frames read from it
  std::int64_t start = 0;        // set frame number of its first frame read
  std::int64_t first_local = 0;  // its frame number of its first frame read
  bool timed = false;            // first_ticks and last_ticks known
  std::int64_t first_ticks = 0;  // UTC of its first and last frame, 100-ns ticks since 0001
  std::int64_t last_ticks = 0;
  bool after_gap = false;
  std::vector<std::string> notices;  // said when it was opened
};

// The options that read a file's samples as `reading` says another file's were read: byte order
// and depth forced for 16-bit samples, the grey scale of real numbers fixed, and options that
// would only be said to be ignored left out.
RecordingOptions read_as(const RecordingOptions& given, const SampleReading& reading) {
  if (reading.stored.empty()) return given;
  RecordingOptions options = given;
  options.byte_order = reading.big_endian < 0   ? ByteOrder::from_header
                       : reading.big_endian > 0 ? ByteOrder::big
                                                : ByteOrder::little;
  options.depth = reading.depth;
  options.range.reset();
  if (reading.real) options.range = std::pair{reading.low, reading.high};
  return options;
}

bool same_reading_options(const RecordingOptions& a, const RecordingOptions& b) {
  return a.byte_order == b.byte_order && a.depth == b.depth && a.range == b.range;
}

bool utc_ticks(const FrameTime& time, std::int64_t& ticks) {
  return time.known && !time.utc.empty() && parse_utc_text(time.utc, ticks);
}

std::string seconds_words(std::int64_t ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s",
                static_cast<double>(ticks) / static_cast<double>(kTicksPerSecond));
  return text;
}

class RecordingSet final : public FrameSource {
 public:
  RecordingSet(std::vector<SetFile> files, std::int64_t count, bool timed, bool limited)
      : files_(std::move(files)), count_(count), timed_(timed), limited_(limited) {}

  FrameGeometry geometry() const override { return files_.front().source->geometry(); }
  std::int64_t frame_count() const override { return count_; }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    std::span<const std::uint8_t> ignored;
    return read(destination, ignored, false);
  }

  FrameRead read_next_in_place(std::span<std::uint8_t> scratch,
                               std::span<const std::uint8_t>& bytes) override {
    return read(scratch, bytes, true);
  }

  bool check_first_frames(int count, std::string* error) override {
    if (count <= count_) return true;
    *error = ends_after();
    return false;
  }

  FrameTime frame_time(std::int64_t frame) const override {
    const SetFile* file = file_of(frame);
    if (file == nullptr || !timed_) return {};
    FrameTime time = file->source->frame_time(frame - file->start);
    std::int64_t ticks = 0;
    if (!utc_ticks(time, ticks)) return {};
    time.ticks = ticks - files_.front().first_ticks;
    time.seconds = static_cast<double>(time.ticks) / static_cast<double>(kTicksPerSecond);
    return time;
  }

  FrameOrigin frame_origin(std::int64_t frame) const override {
    const SetFile* file = file_of(frame);
    if (file == nullptr) return {};
    // A folder of FITS frames names each frame's own file.
    FrameOrigin origin = file->source->frame_origin(frame - file->start);
    if (origin.file.empty()) origin = {file->path, file->first_local + frame - file->start};
    return origin;
  }

 private:
  const SetFile* file_of(std::int64_t frame) const {
    if (frame < 0 || frame >= count_) return nullptr;
    auto after =
        std::upper_bound(files_.begin(), files_.end(), frame,
                         [](std::int64_t f, const SetFile& file) { return f < file.start; });
    return after == files_.begin() ? nullptr : &*(after - 1);
  }

  FrameRead read(std::span<std::uint8_t> scratch, std::span<const std::uint8_t>& bytes,
                 bool in_place) {
    FrameRead result;
    bytes = {};
    if (next_ >= count_) {
      result.status = FrameStatus::end;
      result.reason = ends_after();
      return result;
    }
    SetFile* file = nullptr;
    while (current_ < files_.size()) {
      file = &files_[current_];
      if (next_ < file->start + file->frames) break;
      ++current_;
    }
    if (current_ >= files_.size()) {
      result.status = FrameStatus::end;
      result.reason = ends_after();
      return result;
    }
    result = in_place ? file->source->read_next_in_place(scratch, bytes)
                      : file->source->read_next(scratch);
    if (result.status == FrameStatus::end) {
      // Fewer frames than the file said it held when it was opened.
      result.status = FrameStatus::failed;
      result.reason = file->path + ": ended after " + std::to_string(next_ - file->start) +
                      " of its " + std::to_string(file->frames) + " frames";
      return result;
    }
    if (result.status == FrameStatus::frame) {
      result.after_gap = file->after_gap && next_ == file->start;
      ++next_;
    }
    return result;
  }

  std::string ends_after() const {
    if (limited_) {
      return files_.front().path + " and the files after it: --count " + std::to_string(count_) +
             " reads frames 0 to " + std::to_string(count_ - 1);
    }
    return std::to_string(files_.size()) + " files from " + files_.front().path + ": hold " +
           frames_text(count_);
  }

  std::vector<SetFile> files_;
  std::int64_t count_;
  bool timed_;
  bool limited_;
  std::size_t current_ = 0;
  std::int64_t next_ = 0;
};

}  // namespace

std::unique_ptr<FrameSource> open_recording_set(const std::vector<std::string>& paths,
                                                const RecordingOptions& options,
                                                std::vector<std::string>& notices,
                                                std::string* error) {
  RecordingOptions each = options;
  each.first = 0;
  each.count = -1;
  std::vector<SetFile> files;
  // Each file's notices are kept apart until the night's order is known: the files after the
  // first are opened again to be read as it is, and only that opening's notices are said.
  std::vector<std::vector<std::string>> said(paths.size());
  auto say_all = [&] {
    for (const std::vector<std::string>& lines : said) {
      notices.insert(notices.end(), lines.begin(), lines.end());
    }
  };
  for (const std::string& path : paths) {
    SetFile file;
    file.path = path;
    file.source = open_recording(path, each, said[files.size()], error);
    if (file.source == nullptr) {
      say_all();
      return nullptr;
    }
    file.frames = file.source->frame_count();
    if (file.frames < 0) {
      say_all();
      *error = path +
               ": its frame count is unknown; files are read as one recording only when "
               "each one's count is known";
      return nullptr;
    }
    const FrameGeometry size = file.source->geometry();
    if (!files.empty()) {
      const FrameGeometry first = files.front().source->geometry();
      if (size.image_width != first.image_width || size.image_height != first.image_height) {
        say_all();
        *error = path + ": frames of " + std::to_string(size.image_width) + " x " +
                 std::to_string(size.image_height) + ", not the " +
                 std::to_string(first.image_width) + " x " + std::to_string(first.image_height) +
                 " of " + files.front().path +
                 "; files are read as one recording only when "
                 "their frames are of one size";
        return nullptr;
      }
    }
    file.timed = file.frames > 0 && utc_ticks(file.source->frame_time(0), file.first_ticks) &&
                 utc_ticks(file.source->frame_time(file.frames - 1), file.last_ticks);
    file.notices = std::move(said[files.size()]);
    files.push_back(std::move(file));
  }
  const auto untimed =
      std::find_if(files.begin(), files.end(), [](const SetFile& file) { return !file.timed; });
  const bool timed = untimed == files.end();
  std::string untimed_notice;
  if (timed) {
    std::stable_sort(files.begin(), files.end(), [](const SetFile& a, const SetFile& b) {
      return a.first_ticks < b.first_ticks;
    });
  } else {
    untimed_notice =
        untimed->path + ": no frame times; the files are read in the order given as one recording";
  }
  // The night's first file settles how the samples are read (byte order, the depth scaled from,
  // the grey scale of real numbers); every later file is read the same way, and one that stores
  // its samples otherwise is refused.
  const SampleReading first_reading = files.front().source->sample_reading();
  const RecordingOptions later = read_as(each, first_reading);
  const std::vector<std::string>& first_notices = files.front().notices;
  notices.insert(notices.end(), first_notices.begin(), first_notices.end());
  for (std::size_t i = 1; i < files.size(); ++i) {
    SetFile& file = files[i];
    const SampleReading reading = file.source->sample_reading();
    // A video gives no depth: it decodes to grey whatever it was.
    if (!reading.stored.empty() && !first_reading.stored.empty() &&
        reading.stored != first_reading.stored) {
      *error = file.path + ": " + reading.stored + "; the night's first file, " +
               files.front().path + ", has " + first_reading.stored;
      return nullptr;
    }
    if (!same_reading_options(later, each)) {
      file.notices.clear();
      file.source = open_recording(file.path, later, file.notices, error);
      if (file.source == nullptr) {
        notices.insert(notices.end(), file.notices.begin(), file.notices.end());
        return nullptr;
      }
    }
    notices.insert(notices.end(), file.notices.begin(), file.notices.end());
  }
  if (!untimed_notice.empty()) notices.push_back(untimed_notice);
  // Frame numbers run on from file to file.
  std::int64_t start = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    SetFile& file = files[i];
    file.start = start;
    start += file.frames;
    if (i == 0 || !timed) continue;
    const SetFile& before = files[i - 1];
    if (before.frames < 2) continue;  // no frame period to judge by
    const double period = static_cast<double>(before.last_ticks - before.first_ticks) /
                          static_cast<double>(before.frames - 1);
    const std::int64_t gap = file.first_ticks - before.last_ticks;
    if (static_cast<double>(gap) > kGapPeriods * period) {
      file.after_gap = true;
      notices.push_back(file.path + ": starts " + seconds_words(gap) + " after the last frame of " +
                        before.path + " (frames " + seconds_words(std::llround(period)) +
                        " apart): a gap; the ring starts afresh at its first frame");
    }
  }
  const std::int64_t total = start;
  if (options.first >= total) {
    *error = "--first " + std::to_string(options.first) + ": the " + std::to_string(files.size()) +
             " files hold only " + frames_text(total);
    return nullptr;
  }
  // --first: the files before it are dropped, the one holding it is read from there.
  std::vector<SetFile> kept;
  for (SetFile& file : files) {
    if (file.start + file.frames <= options.first) continue;
    if (file.start < options.first) {
      RecordingOptions from = later;
      from.first = options.first - file.start;
      std::vector<std::string> again;  // said when the file was first opened
      file.source = open_recording(file.path, from, again, error);
      if (file.source == nullptr) return nullptr;
      file.first_local = from.first;
      file.frames -= from.first;
      file.start = options.first;
      file.after_gap = false;
    }
    file.start -= options.first;
    kept.push_back(std::move(file));
  }
  const std::int64_t rest = total - options.first;
  const std::int64_t count = options.count < 0 ? rest : std::min(options.count, rest);
  if (timed) {
    std::int64_t ticks = 0;
    if (utc_ticks(kept.front().source->frame_time(0), ticks)) kept.front().first_ticks = ticks;
  }
  return std::make_unique<RecordingSet>(std::move(kept), count, timed,
                                        options.count >= 0 && options.count == count);
}
