#include "outputs/frame_times_file.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "formats/frame_times_csv.h"
#include "imaging/file_io.h"

namespace {

constexpr const char* kFrameTimesPart = kFrameTimesPartName;

// Writes `text` to `file`; false with `error` naming the part file when the write fails.
bool put_text(std::FILE* file, const std::string& text, std::string* error) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  return write_bytes(file, bytes, kFrameTimesPart, error);
}

class FrameTimesFile final : public RunOutput {
 public:
  FrameTimesFile(std::filesystem::path run_dir, const FrameSource& source)
      : run_dir_(std::move(run_dir)), source_(source) {}

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus finish(const RunEnd& end, std::string* error) override {
    if (!end.input_ended || !any_time_known(end.frames_read)) return OutputStatus::ok;
    // One line at a time, so that a night of a million frames never sits in memory as text.
    FileHandle file = open_file_in(run_dir_, kFrameTimesPart, "wb", error);
    bool written = static_cast<bool>(file) && put_text(file.get(), frame_times_header(), error);
    for (std::int64_t frame = 0; written && frame < end.frames_read; ++frame) {
      const FrameTime time = source_.frame_time(frame);
      std::string line = time.known ? frame_times_line(frame, time.utc, time.ticks)
                                    : frame_times_line(frame, "", std::nullopt);
      const FrameOrigin origin = source_.frame_origin(frame);
      line.insert(line.size() - 1,
                  frame_end_cells(time.known ? time.source : "", origin.file, origin.file_frame));
      written = put_text(file.get(), line, error);
    }
    if (file && !close_file(file, kFrameTimesPart, error)) written = false;
    const std::string part = (run_dir_ / kFrameTimesPart).string();
    if (written) {
      errno = 0;
      if (std::rename(part.c_str(), (run_dir_ / kFrameTimesName).string().c_str()) == 0) {
        return OutputStatus::ok;
      }
      *error = errno_message(kFrameTimesName, "cannot rename the finished file");
    }
    std::remove(part.c_str());
    return OutputStatus::fatal;
  }

 private:
  bool any_time_known(std::int64_t frames) const {
    for (std::int64_t frame = 0; frame < frames; ++frame) {
      if (source_.frame_time(frame).known) return true;
    }
    return false;
  }

  std::filesystem::path run_dir_;
  const FrameSource& source_;
};

}  // namespace

std::unique_ptr<RunOutput> make_frame_times_file(const std::filesystem::path& run_dir,
                                                 const FrameSource& source) {
  return std::make_unique<FrameTimesFile>(run_dir, source);
}
