#include "control/recording_start.h"

#include <chrono>
#include <vector>

#include "base/message.h"
#include "outputs/console_notices.h"
#include "outputs/progress_line.h"
#include "run/run_folder.h"
#include "sources/recording.h"
#include "sources/recording_set.h"

std::unique_ptr<FrameSource> open_recording_run(const std::filesystem::path& run_dir,
                                                const RunOptions& options, std::FILE* out,
                                                std::FILE* err, std::string& error) {
  std::vector<std::string> notices;
  std::unique_ptr<FrameSource> source =
      options.recordings.size() > 1
          ? open_recording_set(options.recordings, options.reading, notices, error)
          : open_recording(options.recording, options.reading, notices, error);
  for (const std::string& notice : notices) print_message(out, err, notice);
  if (source == nullptr) return nullptr;
  std::filesystem::path data_folder;
  if (!find_data_folder(options.data_folders, data_folder, error) ||
      !lay_out_run_folder(run_dir, data_folder, error, RawFrames::none)) {
    return nullptr;
  }
  return source;
}

std::unique_ptr<RunOutput> make_run_console(const RunOptions& options, const FrameSource& source,
                                            std::FILE* out) {
  if (options.progress_line && options.frame_lines) {
    return make_progress_line(out, source.frame_count(), [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    });
  }
  return make_console_notices(out, options.frame_lines);
}
