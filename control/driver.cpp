#include "control/driver.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "base/checked_math.h"
#include "base/memory_limit.h"
#include "base/message.h"
#include "control/menu.h"
#include "control/recording_start.h"
#include "formats/flashes_csv.h"
#include "formats/run_info.h"
#include "imaging/frame_files.h"
#include "imaging/scan_mask.h"
#include "outputs/flash_catalogue.h"
#include "outputs/flash_log.h"
#include "outputs/frame_times_file.h"
#include "outputs/live_line.h"
#include "outputs/moon_places.h"
#include "outputs/report_images.h"
#include "outputs/review_pictures.h"
#include "outputs/run_summary.h"
#include "outputs/runaway_notice.h"
#include "run/band_pool.h"
#include "run/folder_guard.h"
#include "run/processing_run.h"
#include "sources/frame_folder.h"
#include "sources/read_ahead.h"
#include "sources/recording_id.h"

namespace {

// Loads settings.txt at start: the record has no defaults, so every field must get a number.
bool load_start_settings(const std::filesystem::path& run_dir, DetectionSettings& settings,
                         std::FILE* out, std::FILE* err) {
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
  std::string error;
  if (!read_settings_file(run_dir, "settings.txt", settings, problems, &warnings, &error)) {
    print_message(out, err,
                  error + " (copy default.txt to settings.txt to start from the defaults)");
    return false;
  }
  for (const std::string& problem : problems) {
    print_message(out, err, problem + "; every parameter needs a value");
  }
  for (const std::string& warning : warnings) print_message(out, err, warning);
  return problems.empty();
}

bool check_flash_folder(const std::filesystem::path& run_dir, std::FILE* out, std::FILE* err) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(run_dir / "BMP_FLASHES", ec);
  if (!std::filesystem::exists(status)) {
    print_message(out, err, "BMP_FLASHES: folder missing; create it for the flash report images");
    return false;
  }
  if (!std::filesystem::is_directory(status)) {
    print_message(out, err,
                  "BMP_FLASHES: not a folder; the flash report images need a folder of that name");
    return false;
  }
  return true;
}

// One line per border that the detector raises; the record of the run keeps the typed values.
void warn_about_borders(const DetectionSettings& settings, std::FILE* out, std::FILE* err) {
  const ScanBorders used = detection_thresholds(settings).borders;
  const struct {
    const char* key;
    int typed;
    int used;
  } borders[] = {
      {"Left_sample_border", settings.Left_sample_border, used.left},
      {"Right_sample_border", settings.Right_sample_border, used.right},
      {"Top_line_limit", settings.Top_line_limit, used.top},
      {"Bott_line_limit", settings.Bott_line_limit, used.bottom},
  };
  for (const auto& border : borders) {
    if (border.typed == border.used) continue;
    print_message(out, err,
                  std::string(border.key) + " " + std::to_string(border.typed) +
                      " would read outside the frame; scanning with " +
                      std::to_string(border.used));
  }
}

// Borders that leave no column or no row to test make a run that can never report anything.
void warn_if_nothing_scanned(const DetectionSettings& settings, const FrameGeometry& geometry,
                             std::FILE* out, std::FILE* err) {
  const ScanBorders used = detection_thresholds(settings).borders;
  const std::int64_t columns =
      std::int64_t{geometry.image_width} - std::int64_t{used.left} - std::int64_t{used.right};
  const std::int64_t rows =
      std::int64_t{geometry.image_height} - std::int64_t{used.top} - std::int64_t{used.bottom};
  if (columns > 0 && rows > 0) return;
  const std::string what = columns <= 0
                               ? "no column (Left_sample_border " + std::to_string(used.left) +
                                     " + Right_sample_border " + std::to_string(used.right) +
                                     " of " + std::to_string(geometry.image_width) + ")"
                               : "no row (Top_line_limit " + std::to_string(used.top) +
                                     " + Bott_line_limit " + std::to_string(used.bottom) + " of " +
                                     std::to_string(geometry.image_height) + ")";
  print_message(out, err, "the borders leave " + what + " to test: this run can report nothing");
}

// settings.txt of the run folder, as messages name it: plain in the working folder.
std::filesystem::path settings_file_of(const std::filesystem::path& run_dir) {
  if (run_dir.empty() || run_dir == ".") return "settings.txt";
  return run_dir / "settings.txt";
}

// Frames 0 to count - 1 of `source` there, for the largest count below `ring` (whose check
// failed): the checks are cheap, so the count is found by halving.
std::int64_t frames_there(FrameSource& source, int ring) {
  int there = 0;  // frames 0 to there - 1 are known to be there
  int missing = ring;
  while (missing - there > 1) {
    const int middle = there + (missing - there) / 2;
    std::string ignored;
    if (source.check_first_frames(middle, &ignored)) {
      there = middle;
    } else {
      missing = middle;
    }
  }
  return there;
}

RunParameters run_parameters(const std::filesystem::path& run_dir,
                             const DetectionSettings& settings, const RunOptions& options) {
  RunParameters parameters{settings.Images_in_buffer,          settings.Min_flash_limit,
                           settings.Max_flash_limit,           detection_thresholds(settings),
                           scan_thread_count(options.threads), options.stop,
                           settings_file_of(run_dir)};
  parameters.thresholds.mask = options.scan_mask;
  return parameters;
}

// The run folder's mask.png (after --mask has put the given one there): its pixels into
// `scanned` and one notice line saying how many are scanned. False when it is refused (said).
bool load_mask(const std::filesystem::path& run_dir, const FrameGeometry& geometry,
               const RunOptions& options, std::vector<std::uint8_t>& scanned, std::FILE* out,
               std::FILE* err) {
  std::string error;
  if ((!options.mask_file.empty() && !install_mask(options.mask_file, run_dir, geometry, &error)) ||
      !load_run_mask(run_dir, geometry, scanned, &error)) {
    print_message(out, err, error);
    return false;
  }
  if (!scanned.empty()) print_message(out, err, mask_notice(scanned));
  return true;
}

// The first output: when the run has filled its ring and is sure to start, the previous run's
// outputs are removed (only the names a run writes), and other files found are named.
class PreviousOutputs final : public RunOutput {
 public:
  PreviousOutputs(std::filesystem::path run_dir, RunKind kind, std::FILE* out, std::FILE* err)
      : run_dir_(std::move(run_dir)), kind_(kind), out_(out), err_(err) {}
  OutputStatus start(std::string* error) override {
    std::vector<std::string> notices;
    const bool ok = clear_previous_outputs(run_dir_, kind_, notices, error);
    for (const std::string& notice : notices) print_message(out_, err_, notice);
    return ok ? OutputStatus::ok : OutputStatus::fatal;
  }
  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

 private:
  std::filesystem::path run_dir_;
  RunKind kind_;
  std::FILE* out_;
  std::FILE* err_;
};

// A path as the closing lines name it: relative to where vesk was started.
std::string shown_path(const std::filesystem::path& path) {
  const std::filesystem::path plain = path.lexically_normal();
  return plain.empty() ? "." : plain.string();
}

}  // namespace

std::vector<std::string> run_end_lines(const std::filesystem::path& run_dir,
                                       const RunOutcome& outcome) {
  std::vector<std::string> lines;
  std::string frames = "run: " + frames_text(outcome.frames_taken) + " read, " +
                       std::to_string(outcome.frames_tested) + " tested";
  const std::int64_t untested = outcome.frames_taken - outcome.frames_tested;
  if (untested > 0) {
    frames += "; " + std::to_string(untested) + " not tested: " +
              (outcome.stopped      ? "the run was stopped by a signal"
               : !outcome.completed ? "the run stopped on an error"
                                    : "too few frames after a gap in the recording to fill a ring");
  }
  lines.push_back(frames);
  std::vector<FlashRow> rows;
  std::string error;
  if (!read_flashes_csv(run_dir / kFlashesName, rows, &error)) {
    // What is wrong with it has been said when it was written.
    lines.push_back(std::string("run: events not counted: ") + kFlashesName + " cannot be read");
  } else if (rows.empty()) {
    lines.push_back("run: no events");
  } else {
    std::string counts;
    for (const EventClass kind :
         {EventClass::flash, EventClass::moving, EventClass::off_moon, EventClass::sunlit,
          EventClass::edge, EventClass::hot_pixel, EventClass::sharp, EventClass::scattered}) {
      const char* name = event_class_name(kind);
      const auto count = std::count_if(rows.begin(), rows.end(), [name](const FlashRow& row) {
        return row.event_class == name;
      });
      if (count > 0)
        counts += (counts.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
    }
    lines.push_back("run: " + std::to_string(rows.size()) +
                    (rows.size() == 1 ? " event" : " events") +
                    (counts.empty() ? "" : " (" + counts + ")"));
  }
  const std::filesystem::path page = run_dir / "review" / "index.html";
  std::error_code ec;
  lines.push_back("run: results in " + shown_path(run_dir) +
                  (std::filesystem::is_regular_file(page, ec) ? ", review page " + shown_path(page)
                                                              : ", no review page"));
  return lines;
}

std::size_t run_memory_bytes(const FrameGeometry& geometry, int images_in_buffer,
                             int read_ahead_frames) {
  std::size_t bytes = run_buffers_bytes(geometry, images_in_buffer, read_ahead_frames);
  bytes = saturating_add(bytes, report_images_bytes_needed(geometry));
  bytes = saturating_add(bytes, review_pictures_bytes_needed());
  return saturating_add(bytes, flash_catalogue_bytes_needed(images_in_buffer));
}

RunOutcome run_detection(const std::filesystem::path& run_dir, FrameSource& recording,
                         const DetectionSettings& settings,
                         std::span<const std::uint8_t> report_header, RunBuffers& buffers,
                         std::FILE* out, std::FILE* err, const RunOptions& options) {
  // With a queue the frames are read on a thread of their own, a few ahead of the run; every
  // output that asks the source anything asks the reading-ahead one.
  std::unique_ptr<FrameSource> ahead;
  if (!buffers.read_ahead.empty()) ahead = read_ahead(recording, buffers.read_ahead);
  FrameSource& source = ahead != nullptr ? *ahead : recording;
  const FrameGeometry geometry = source.geometry();
  const std::unique_ptr<RunOutput> flash_log = make_flash_log(run_dir);
  ReportLimit report_limit;
  report_limit.most = options.max_reports;
  const std::unique_ptr<RunOutput> report_images =
      make_report_images(run_dir, settings.Interlace, report_header, buffers.report_pixels,
                         buffers.thumbnail_strip, out, err, &report_limit);
  const std::unique_ptr<RunOutput> runaway = make_runaway_notice(run_dir.string(), out, err);
  const std::unique_ptr<RunOutput> notices = make_run_console(options, source, out);
  const std::unique_ptr<RunOutput> summary =
      make_run_summary(run_dir, [geometry, settings](std::int64_t frames_read) {
        return format_run_summary(settings, geometry.image_width, geometry.image_height,
                                  frames_read);
      });
  const std::unique_ptr<ReviewPictures> review =
      make_review_pictures(run_dir, settings.Interlace, out, err, options.follow);
  std::unique_ptr<LiveLine> live;
  if (options.terminal_line != nullptr && options.follow_progress != nullptr) {
    live = make_live_line(*options.terminal_line, *options.follow_progress, [] {
      return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
    });
  }
  FlashCatalogueSettings catalogue_settings{run_dir, settings.Interlace, out, err, {review.get()},
                                            {},      options.psf};
  if (live) catalogue_settings.sinks.push_back(live.get());
  catalogue_settings.report_limit = &report_limit;
  catalogue_settings.source_origins = [&source](std::int64_t frame) {
    return source.frame_origin(frame);
  };
  if (!options.recording.empty()) {
    catalogue_settings.source_times = [&source](std::int64_t frame) {
      return source.frame_time(frame);
    };
  }
  // Places on the Moon when the site is known: the disc is fitted before the catalogue closes
  // the events of a frame, and the catalogue asks it for each event's place.
  std::unique_ptr<MoonPlaces> moon;
  if (options.site.site_known) {
    MoonPlacesSettings moon_settings{run_dir, options.site, out, err, {}};
    moon_settings.source_times = catalogue_settings.source_times;
    moon = make_moon_places(std::move(moon_settings));
    catalogue_settings.placer = moon.get();
  }
  const std::unique_ptr<RunOutput> catalogue = make_flash_catalogue(catalogue_settings);
  // The review page comes before the catalogue: outputs finish last first, so every event has
  // closed (and drawn its pictures) when the page is built.
  PreviousOutputs previous(
      run_dir, options.recording.empty() ? RunKind::frame_folder : RunKind::recording, out, err);
  std::vector<RunOutput*> outputs = {&previous,     flash_log.get(), report_images.get(),
                                     notices.get(), summary.get(),   review.get()};
  outputs.push_back(runaway.get());
  if (moon) outputs.push_back(moon.get());
  // The live line ends after the catalogue has closed its last events (outputs finish last first).
  if (live) outputs.push_back(live.get());
  outputs.push_back(catalogue.get());
  // A recording's frame times; a frame folder has them from vesk-frames already.
  const std::unique_ptr<RunOutput> frame_times =
      options.recording.empty() ? nullptr : make_frame_times_file(run_dir, source);
  if (frame_times) outputs.push_back(frame_times.get());
  return process_frames(source, run_parameters(run_dir, settings, options), buffers, outputs, out,
                        err);
}

DetectionThresholds detection_thresholds(const DetectionSettings& settings) {
  DetectionThresholds thresholds;
  thresholds.time_sd = static_cast<double>(settings.Time_sd);
  thresholds.min_sd2 = static_cast<double>(settings.Min_sd2);
  thresholds.neighbour_sd = static_cast<double>(settings.Neighbour_sd);
  thresholds.min_sd1 = static_cast<double>(settings.Min_sd1);
  thresholds.flash_sd_sep = static_cast<double>(settings.Flash_sd_sep);
  thresholds.borders = usable_borders({settings.Left_sample_border, settings.Right_sample_border,
                                       settings.Top_line_limit, settings.Bott_line_limit});
  return thresholds;
}

int run_vesk(const std::filesystem::path& run_dir, std::FILE* in, std::FILE* out, std::FILE* err,
             int threads) {
  RunOptions options;
  options.threads = threads;
  return run_vesk(run_dir, options, in, out, err);
}

namespace {

// The run's standard output and error while the live line shows: every line written clears it
// first. Closed (flushed) when the run ends.
struct ClearingStreams {
  std::FILE* out = nullptr;
  std::FILE* err = nullptr;
  ~ClearingStreams() {
    if (out != nullptr) std::fclose(out);
    if (err != nullptr) std::fclose(err);
  }
};

}  // namespace

int run_vesk(const std::filesystem::path& run_dir, const RunOptions& given, std::FILE* in,
             std::FILE* out, std::FILE* err) {
  RunOptions options = given;
  FollowProgress follow_progress;
  if (options.follow) options.follow_progress = &follow_progress;
  std::optional<TerminalLine> terminal;
  ClearingStreams clearing;
  if (options.follow && options.live_line) {
    terminal.emplace(err);
    clearing.out = stream_clearing_line(out, *terminal);
    clearing.err = stream_clearing_line(err, *terminal);
    if (clearing.out != nullptr && clearing.err != nullptr) {
      out = clearing.out;
      err = clearing.err;
      options.terminal_line = &*terminal;
    }
  }
  std::fprintf(out, "%s\n", "***************");
  std::fprintf(out, "%s\n", "*** V E S K ***");
  std::fprintf(out, "%s\n", "***************\n");

  std::string error;
  // The folder is the run's alone while it runs: a second vesk, vesk-tune or vesk-review waits
  // for nothing and is told.
  RunFolderLock lock;
  RunInfo info;
  if (options.recording.empty()) {
    std::error_code ec;
    if (std::filesystem::is_directory(run_dir, ec) &&
        (!lock_run_folder(run_dir, lock, &error) ||
         !check_output_names(run_dir, RunKind::frame_folder, &error))) {
      print_message(out, err, error);
      return 1;
    }
  }
  std::unique_ptr<FrameSource> source =
      options.recording.empty()
          ? open_frame_folder(run_dir, &error)
          : open_recording_run(run_dir, options, out, err, lock, info, &error);
  // Started where there are no frames: the message says too how vesk is meant to be started.
  if (source == nullptr && options.recording.empty()) {
    std::error_code ec;
    const std::filesystem::path frame_0 = run_dir / numbered_file_name(kRawFramePattern, 0);
    if (!std::filesystem::exists(std::filesystem::symlink_status(frame_0, ec))) {
      error += std::string("; ") + kNoFramesHint;
    }
  }
  std::vector<std::uint8_t> report_header(kReportHeaderBytes, 0);
  if (source == nullptr ||
      !load_report_header(run_dir, report_header, source->geometry().image_width,
                          source->geometry().image_height, &error)) {
    print_message(out, err, error);
    return 1;
  }
  const FrameGeometry geometry = source->geometry();
  std::fprintf(out, "NS=%d NL=%d\n", geometry.image_width, geometry.image_height);
  std::fflush(out);

  DetectionSettings settings;
  if (!load_start_settings(run_dir, settings, out, err)) return 1;
  // The site: a recording's run keeps the one given in site.txt; the frame folder's run reads
  // site.txt when it is there.
  if (!options.recording.empty() && options.site.site_known) {
    if (!write_site_file(run_dir, options.site, &error)) {
      print_message(out, err, error);
      return 1;
    }
  } else if (options.recording.empty() && !options.site.site_known) {
    bool present = false;
    if (!read_site_file(run_dir, options.site, present, &error)) {
      print_message(out, err, error);
      return 1;
    }
  }
  // Checked before the menu so that a long run never ends with its report images lost.
  if (!check_flash_folder(run_dir, out, err)) return 1;
  // The user's mask is checked before the menu too, and held for the whole run.
  std::vector<std::uint8_t> scan_mask;
  if (!load_mask(run_dir, geometry, options, scan_mask, out, err)) return 1;
  options.scan_mask = scan_mask;

  if (options.menu && !parameter_menu(settings, run_dir, in, out, err)) return 1;

  if (settings.Images_in_buffer < kLeastImagesInBuffer) {
    print_message(out, err,
                  "Images_in_buffer " + std::to_string(settings.Images_in_buffer) +
                      " is too small: the detector needs at least 3 frames in its ring");
    return 1;
  }
  // The frames the ring needs are checked before its memory is taken: a ring of many frames can
  // take minutes to allocate, or more memory than the machine has.
  if (!source->check_first_frames(settings.Images_in_buffer, &error)) {
    print_message(out, err,
                  short_ring_message(error, settings.Images_in_buffer,
                                     frames_there(*source, settings.Images_in_buffer),
                                     settings_file_of(run_dir)));
    return 1;
  }
  // One thread reads as it scans; more share the scan, and a reader thread reads ahead.
  const int scan_threads = scan_thread_count(options.threads);
  // The run's whole memory against the limits in force, before any of it is asked for.
  const MemoryLimit limit = memory_limit(options.max_memory);
  const std::uint64_t pixels = static_cast<std::uint64_t>(geometry.frame_pixels);
  // A recording followed is read as it comes: reading ahead would only wait on the writer.
  const int ahead_frames = scan_threads > 1 && !options.follow ? kReadAheadFrames : 0;
  const std::uint64_t ahead = static_cast<std::uint64_t>(ahead_frames);
  // Ring, read-ahead queue, marked frame, report work space (3 bytes a pixel), the two sums
  // (8 bytes a pixel each) and the candidate chunks and strip (well under a byte a pixel).
  const std::uint64_t need =
      (static_cast<std::uint64_t>(settings.Images_in_buffer) + ahead + 1 + 3 + 16 + 1) * pixels;
  if (!fits_in_memory(need, limit,
                      "the run (a ring of " + std::to_string(settings.Images_in_buffer) +
                          " frames of " + std::to_string(geometry.image_width) + " x " +
                          std::to_string(geometry.image_height) + ")",
                      &error)) {
    // A ring already at its least size cannot be made smaller: the frames are what is too large.
    print_message(out, err,
                  error + (settings.Images_in_buffer > kLeastImagesInBuffer
                               ? "; lower Images_in_buffer or give a larger --max-memory"
                               : "; frames of " + std::to_string(geometry.image_width) + " x " +
                                     std::to_string(geometry.image_height) +
                                     " are too large even in the smallest ring"));
    return 1;
  }
  RunBuffers buffers;
  if (!allocate_run_buffers(buffers, geometry, settings.Images_in_buffer, ahead_frames, &error)) {
    print_message(out, err, error);
    return 1;
  }
  warn_about_borders(settings, out, err);
  warn_if_nothing_scanned(settings, geometry, out, err);
  const RunOutcome outcome =
      run_detection(run_dir, *source, settings, report_header, buffers, out, err, options);
  std::fflush(out);
  for (const std::string& message : outcome.errors) print_message(out, err, message);
  // A recording followed ends on a signal as the observer's way to end it: said, not a fault.
  const bool stopped =
      outcome.stopped || (options.follow && options.stop != nullptr && *options.stop != 0);
  if (stopped) {
    print_message(out, err,
                  "stopped by a signal after " + std::to_string(outcome.frames_read) +
                      " frames; flash_info.dat, data_dump.txt and the review page cover them");
  }
  // A followed recording ends by a signal as its normal end.
  bool failed = !outcome.completed || outcome.lost_output || (outcome.stopped && !options.follow);
  if (!options.recording.empty()) {
    info.ended = run_info_time_now();
    // The recording's id hashes its first bytes, which a followed file may have gained since.
    if (options.follow) {
      const std::string id = recording_id(options.recording, &error);
      if (!id.empty()) info.recording_id = id;
    }
    if (!write_run_info(run_dir, info, &error)) {
      print_message(out, err, error);
      failed = true;
    }
  }
  // A closed pipe or a full disk on standard output loses the console text, not the run's files.
  const bool console_lost = std::fflush(out) != 0 || std::ferror(out) != 0;
  if (console_lost) {
    print_message(nullptr, err, "standard output: write failed; the run folder's files are whole");
  }
  // A run that never filled its ring has said why; one that ran closes with what it did.
  if (outcome.frames_taken > 0) {
    for (const std::string& line : run_end_lines(run_dir, outcome)) {
      print_message(console_lost ? nullptr : out, err, line);
    }
  }
  return failed || console_lost ? 1 : 0;
}
