#include "tune/tune.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/checked_math.h"
#include "base/memory_limit.h"
#include "base/message.h"
#include "base/version.h"
#include "control/driver.h"
#include "formats/completeness_csv.h"
#include "formats/run_info.h"
#include "formats/site_file.h"
#include "imaging/scan_mask.h"
#include "run/folder_guard.h"
#include "run/run_folder.h"
#include "sources/frame_folder.h"
#include "sources/frame_window.h"
#include "sources/recording.h"
#include "sources/recording_id.h"
#include "tune/tune_pictures.h"
#include "tune/tune_report.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// settings.txt of the run folder, every parameter read.
bool read_run_settings(const std::filesystem::path& run_dir, DetectionSettings& settings,
                       std::string* error) {
  std::vector<std::string> problems;
  if (!read_settings_file(run_dir, "settings.txt", settings, problems, nullptr, error))
    return false;
  if (!problems.empty()) {
    *error = problems.front() + "; every parameter needs a value";
    return false;
  }
  if (settings.Images_in_buffer < kLeastImagesInBuffer) {
    *error = "settings.txt: Images_in_buffer " + std::to_string(settings.Images_in_buffer) +
             " is too small: the detector needs at least 3 frames in its ring";
    return false;
  }
  return true;
}

// --write: the recommended thresholds into settings.txt, saying what changed. False (said on
// `err`) when there is no recommendation or a file cannot be written.
bool write_recommended(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                       const TuneScores& scores, bool accept_loss, std::FILE* out, std::FILE* err) {
  if (scores.recommended < 0) {
    print_message(out, err,
                  "settings.txt: not written: no setting of the grid keeps within the false "
                  "alarm limit");
    return false;
  }
  if (scores.losing() && !accept_loss) {
    print_message(out, err,
                  "settings.txt: not written: the recommended setting finds " +
                      std::to_string(scores.loss) + " fewer of " + std::to_string(scores.loss_of) +
                      " injected flashes of 8 times the noise and more than the current one; "
                      "give --accept-loss to write it");
    return false;
  }
  const GridSetting& chosen = scores.scores[static_cast<std::size_t>(scores.recommended)].setting;
  std::string changes;
  std::string error;
  if (!write_tuned_settings(run_dir, settings, chosen, changes, &error)) {
    print_message(out, err, error);
    return false;
  }
  if (changes.empty()) {
    std::fprintf(out, "settings.txt already holds the recommended setting; not written\n");
  } else {
    std::fprintf(out, "settings.txt: %s (the old file is settings.txt.bak)\n", changes.c_str());
  }
  return true;
}

// --write never makes a read-only settings.txt writable: the refusal comes before the tuning.
bool check_settings_writable(const std::filesystem::path& run_dir, std::string* error) {
  struct stat info {};
  if (::stat((run_dir / "settings.txt").c_str(), &info) != 0) return true;  // said when written
  if ((info.st_mode & S_IWUSR) != 0) return true;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  *error = std::string("settings.txt: read-only (mode ") + mode +
           "); --write leaves it as it is: make it writable first";
  return false;
}

}  // namespace

bool tune_recording(const TuneInput& input, TuneOutcome& outcome, std::string* error) {
  outcome = TuneOutcome{};
  outcome.threads = std::max(1, input.threads);
  outcome.psf = input.psf;
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<FrameSource> source = input.open(error);
  if (source == nullptr) return false;
  const FrameGeometry geometry = source->geometry();
  const DetectionThresholds used = detection_thresholds(input.settings);
  if (!survey_night(*source, input.settings.Images_in_buffer, used.borders, outcome.survey,
                    outcome.warnings, input.site_mask.empty() ? nullptr : &input.site_mask,
                    input.scan_mask, error)) {
    // A frame that cannot be read is named by its source; the rest is about the whole recording.
    if (error->rfind(input.name, 0) != 0) *error = input.name + ": " + *error;
    return false;
  }
  source.reset();
  if (!plan_injections(outcome.survey, input.flashes_per_bin, input.settings.Images_in_buffer,
                       outcome.plan, error)) {
    *error = input.name + ": " + *error;
    return false;
  }
  outcome.survey_seconds = seconds_since(start);

  const GridSetting current = grid_setting(input.settings);
  outcome.grid = threshold_grid(current);
  GridRequest request;
  request.open = input.open;
  request.settings = input.settings;
  request.grid = outcome.grid;
  request.threads = outcome.threads;
  request.mask = input.scan_mask;
  request.mirror_centres = mirror_centres(outcome.survey);
  for (int pass = 0; pass < outcome.plan.passes; ++pass) {
    request.passes.push_back(pass_spots(outcome.plan, pass, input.psf));
  }
  // Every run of the grid holds a ring of its own and several go at once: the whole of it is
  // checked against the memory limits before any run takes its buffers.
  const std::size_t at_once = grid_runs_at_once(request);
  const int images = input.settings.Images_in_buffer;
  if (!fits_in_memory(
          saturating_multiply(at_once, grid_run_bytes(geometry, images)), memory_limit(0),
          input.name + ": the grid, " + std::to_string(at_once) + " run" +
              (at_once == 1 ? "" : "s") + " at once (each a ring of " + std::to_string(images) +
              " frames of " + std::to_string(geometry.image_width) + " x " +
              std::to_string(geometry.image_height) + ")",
          error)) {
    *error += at_once > 1 ? "; give fewer --threads or lower Images_in_buffer"
                          : "; lower Images_in_buffer";
    return false;
  }
  if (input.progress != nullptr) {
    std::FILE* shown = input.progress;
    request.progress = [shown, runs_start = std::chrono::steady_clock::now()](std::size_t done,
                                                                              std::size_t total) {
      const long long seconds = static_cast<long long>(seconds_since(runs_start));
      std::fprintf(shown, "\rvesk-tune: %zu of %zu grid runs done, %lld:%02lld:%02lld", done, total,
                   seconds / 3600, seconds / 60 % 60, seconds % 60);
      if (done == total) std::fputc('\n', shown);
      std::fflush(shown);
    };
  }
  const auto runs_start = std::chrono::steady_clock::now();
  GridRuns runs;
  if (!run_grid(request, runs, error)) return false;
  outcome.run_seconds = seconds_since(runs_start);
  const auto at = std::find(outcome.grid.begin(), outcome.grid.end(), current);
  score_grid(runs, outcome.plan, outcome.survey, outcome.grid,
             static_cast<std::size_t>(at - outcome.grid.begin()), input.false_alarms,
             outcome.scores);
  return true;
}

namespace {

// The frames of a recording as `vesk RECORDING` reads them, its run folder laid out as vesk lays
// it out (no BMP_RAW; files already there kept). False with `error` (notices said on `err`).
bool open_recording_input(const TuneOptions& options, TuneInput& input, std::FILE* out,
                          std::FILE* err, std::string* error) {
  RecordingOptions reading = options.reading;
  reading.first = options.first;
  reading.count = options.count;
  std::vector<std::string> notices;
  const bool opened = open_recording(options.recording, reading, notices, error) != nullptr;
  for (const std::string& notice : notices) print_message(out, err, notice);
  if (!opened) return false;  // before the run folder is made: none for a recording not there
  std::filesystem::path data_folder;
  if (!find_data_folder(options.data_folders, data_folder, error) ||
      !lay_out_run_folder(options.run_dir, data_folder, RawFrames::none, error)) {
    return false;
  }
  const std::string path = options.recording;
  input.open = [path, reading](std::string* open_error) -> std::unique_ptr<FrameSource> {
    std::vector<std::string> ignored;  // said once above
    return open_recording(path, reading, ignored, open_error);
  };
  input.name = std::filesystem::path(path).filename().string();
  return true;
}

// The mask and the cards' strips beside index.html.
bool write_tune_pictures(const std::filesystem::path& run_dir, const TuneInput& input,
                         const TuneOutcome& outcome, std::string* error) {
  const std::filesystem::path folder = run_dir / "tune";
  return write_mask_image(folder, outcome.survey, error) &&
         write_candidate_pictures(folder, input.open, mirror_centres(outcome.survey),
                                  outcome.scores, input.settings.Interlace != 0, outcome.threads,
                                  error);
}

}  // namespace

int run_tune(const TuneOptions& options, std::FILE* out, std::FILE* err) {
  const std::filesystem::path& run_dir = options.run_dir;
  std::string error;
  TuneInput input;
  const std::int64_t first = options.first;
  const std::int64_t count = options.count;
  if (!options.recording.empty()) {
    if (!open_recording_input(options, input, out, err, &error)) {
      print_message(out, err, error);
      return 1;
    }
  }
  // Taken once the folder exists: no vesk or vesk-review writes into it while the grid runs.
  RunFolderLock lock;
  std::error_code exists_ec;
  if (std::filesystem::is_directory(run_dir, exists_ec) &&
      !lock_run_folder(run_dir, lock, &error)) {
    print_message(out, err, error);
    return 1;
  }
  if (!read_run_settings(run_dir, input.settings, &error) ||
      (options.write && !check_settings_writable(run_dir, &error))) {
    print_message(out, err, error);
    return 1;
  }
  // The site: given on the command line, else the run folder's site.txt when it is there.
  input.site = options.site;
  if (!input.site.site_known) {
    bool present = false;
    if (!read_site_file(run_dir, input.site, present, &error)) {
      print_message(out, err, error);  // named in the run folder, as settings.txt is
      return 1;
    }
  }
  RunInfo info;
  const BuildVersion version = build_version();
  info.program = "vesk-tune";
  info.version = std::string(version.version);
  info.commit = std::string(version.commit);
  info.recording = options.recording.empty() ? "BMP_RAW" : options.recording;
  if (!options.recording.empty()) info.recording_id = recording_id(options.recording, &error);
  info.started = run_info_time_now();
  if (options.recording.empty()) {
    // Probed once here so that a folder without frames is said before anything else.
    if (open_frame_folder(run_dir, &error) == nullptr) {
      print_message(out, err, error);
      return 1;
    }
    input.open = [run_dir, first, count](std::string* open_error) -> std::unique_ptr<FrameSource> {
      std::unique_ptr<FrameSource> folder = open_frame_folder(run_dir, open_error);
      if (folder == nullptr) return nullptr;
      return make_frame_window(std::move(folder), first, count);
    };
    input.name = "BMP_RAW";
  }
  // The user's mask.png, checked against the frames before the tuning starts.
  {
    std::unique_ptr<FrameSource> probe = input.open(&error);
    if (probe == nullptr || !load_run_mask(run_dir, probe->geometry(), input.scan_mask, &error)) {
      print_message(out, err, error);
      return 1;
    }
    if (!input.scan_mask.empty()) print_message(out, err, mask_notice(input.scan_mask));
  }
  input.first = first;
  input.flashes_per_bin = options.flashes;
  input.psf = options.psf;
  input.false_alarms = options.false_alarms;
  input.threads = options.threads > 0
                      ? options.threads
                      : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
  // A long tuning shows how far it is, on a terminal only.
  if (isatty(fileno(err)) != 0) input.progress = err;

  std::fprintf(out, "vesk-tune: %s, frames %lld to at most %lld\n",
               escaped_text(run_dir.string()).c_str(), static_cast<long long>(first),
               static_cast<long long>(first + count - 1));
  std::fflush(out);
  TuneOutcome outcome;
  const bool tuned = tune_recording(input, outcome, &error);
  for (const std::string& warning : outcome.warnings) print_message(out, err, warning);
  if (!tuned) {
    print_message(out, err, error);
    return 1;
  }
  std::fputs(tune_summary(outcome, 10).c_str(), out);

  std::error_code ec;
  const std::filesystem::path shown = std::filesystem::weakly_canonical(run_dir, ec);
  const std::string title = ec ? run_dir.string() : shown.string();
  bool lost = false;
  if (!write_tune_files(run_dir, completeness_csv(outcome), tune_page(outcome, title, first),
                        &error)) {
    print_message(out, err, error);
    lost = true;
  } else {
    std::fprintf(out, "Wrote %s and %s\n",
                 escaped_text((run_dir / "tune" / kCompletenessName).string()).c_str(),
                 escaped_text((run_dir / "tune/index.html").string()).c_str());
    info.ended = run_info_time_now();
    if (!write_run_info(run_dir / "tune", info, &error)) {
      print_message(out, err, "tune/" + error);
      lost = true;
    }
    // The site the tuning used, beside its results; an earlier tuning's is not left behind.
    const std::filesystem::path site_file = run_dir / "tune" / kSiteFileName;
    if (input.site.site_known) {
      if (!write_site_file(run_dir / "tune", input.site, &error)) {
        print_message(out, err, "tune/" + error);
        lost = true;
      }
    } else if (std::filesystem::is_regular_file(std::filesystem::symlink_status(site_file, ec))) {
      std::filesystem::remove(site_file, ec);
    }
  }
  if (!lost && !write_tune_pictures(run_dir, input, outcome, &error)) {
    print_message(out, err, error);
    lost = true;
  }
  if (options.write &&
      !write_recommended(run_dir, input.settings, outcome.scores, options.accept_loss, out, err)) {
    lost = true;
  }
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    std::fprintf(err, "standard output: write failed\n");
    lost = true;
  }
  return lost ? 1 : 0;
}
