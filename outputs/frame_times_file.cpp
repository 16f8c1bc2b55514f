#include "outputs/frame_times_file.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "imaging/file_io.h"
#include "sources/frame_times.h"

namespace {

constexpr const char* kFrameTimesName = "frame_times.csv";
constexpr const char* kFrameTimesPart = "frame_times.csv.part";

// Writes `text` to `file`; false with `error` naming the part file when the write fails.
bool put_text(std::FILE* file, const std::string& text, std::string& error) {
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
    FileHandle file = open_file_in(run_dir_, kFrameTimesPart, "wb", *error);
    // A recording of several files adds each frame's file and number in it at the end.
    const bool origins = !source_.frame_origin(0).file.empty();
    std::string header = kFrameTimesHeader;
    if (origins) header.insert(header.size() - 1, kOriginColumns);
    bool written = static_cast<bool>(file) && put_text(file.get(), header, *error);
    for (std::int64_t frame = 0; written && frame < end.frames_read; ++frame) {
      std::string line = frame_times_line(frame, source_.frame_time(frame));
      if (origins) line.insert(line.size() - 1, origin_cells(source_.frame_origin(frame)));
      written = put_text(file.get(), line, *error);
    }
    if (file && !close_file(file, kFrameTimesPart, *error)) written = false;
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
