#include "control/recording_start.h"

#include <chrono>
#include <vector>

#include "base/message.h"
#include "base/version.h"
#include "outputs/console_notices.h"
#include "outputs/progress_line.h"
#include "run/run_folder.h"
#include "sources/recording.h"
#include "sources/recording_id.h"
#include "sources/recording_set.h"

std::unique_ptr<FrameSource> open_recording_run(const std::filesystem::path& run_dir,
                                                const RunOptions& options, std::FILE* out,
                                                std::FILE* err, RunFolderLock& lock, RunInfo& info,
                                                std::string* error) {
  std::vector<std::string> notices;
  std::unique_ptr<FrameSource> source;
  if (options.follow) {
    FollowSettings follow;
    follow.idle_seconds = options.idle_seconds;
    follow.stop = options.stop;
    follow.notice = [out, err](const std::string& line) { print_message(out, err, line); };
    source = open_following_ser(options.recording, options.reading, follow,
                                options.follow_progress, error);
  } else if (options.recordings.size() > 1) {
    source = open_recording_set(options.recordings, options.reading, notices, error);
  } else {
    source = open_recording(options.recording, options.reading, notices, error);
  }
  for (const std::string& notice : notices) print_message(out, err, notice);
  if (source == nullptr) return nullptr;
  const BuildVersion version = build_version();
  info = RunInfo{};
  info.program = "vesk";
  info.version = std::string(version.version);
  info.commit = std::string(version.commit);
  info.recording = options.recording;
  info.options = options.command_options;
  info.recording_id = recording_id(options.recording, error);
  if (info.recording_id.empty()) return nullptr;
  // Several files read as one: the record names and identifies every one, in the order given.
  for (std::size_t i = 1; i < options.recordings.size(); ++i) {
    const std::string id = recording_id(options.recordings[i], error);
    if (id.empty()) return nullptr;
    info.recording += " + " + options.recordings[i];
    info.recording_id += " + " + id;
  }
  std::filesystem::path data_folder;
  if (!find_data_folder(options.data_folders, data_folder, error)) return nullptr;
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(run_dir, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    *error = run_dir.string() + ": not a folder";
    return nullptr;
  }
  std::filesystem::create_directories(run_dir, ec);
  if (ec) {
    *error = run_dir.string() + ": cannot create folder: " + ec.message();
    return nullptr;
  }
  if (!lock_run_folder(run_dir, lock, error)) return nullptr;
  // One run folder, one recording: the record of the folder's run says which.
  RunInfo previous;
  bool missing = false;
  if (!read_run_info(run_dir, previous, &missing, error)) {
    if (!missing) return nullptr;
  } else if (!options.replace && !previous.recording_id.empty() &&
             previous.recording_id != info.recording_id) {
    *error = run_dir.string() + ": holds the run of another recording (" +
             (previous.recording.empty() ? previous.recording_id : previous.recording) +
             ", run.txt); choose another --out, or --replace to start the folder afresh";
    return nullptr;
  }
  if (!check_output_names(run_dir, RunKind::recording, error) ||
      !lay_out_run_folder(run_dir, data_folder, RawFrames::none, error)) {
    return nullptr;
  }
  info.started = run_info_time_now();
  if (!write_run_info(run_dir, info, error)) return nullptr;
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
