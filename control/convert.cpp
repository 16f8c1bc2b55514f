#include "control/convert.h"

#include <algorithm>
#include <limits>
#include <new>

#include "base/message.h"
#include "base/version.h"
#include "control/settings.h"
#include "formats/data_dump_txt.h"
#include "formats/flash_info_dat.h"
#include "formats/frame_times_csv.h"
#include "formats/run_info.h"
#include "imaging/frame_files.h"
#include "sources/recording_id.h"
#include "sources/ser_reader.h"
#include "sources/ser_source.h"
#include "sources/video.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBarMarks = 40;

int fail(std::FILE* err, const std::string& message) {
  print_message(nullptr, err, message);
  return 1;
}

void print_notices(std::FILE* err, std::span<const std::string> notices) {
  for (const std::string& notice : notices) print_message(nullptr, err, notice);
}

// The frames being written into the run folder, which is made when the first frame arrives so
// that a recording that yields nothing leaves no folder behind.
struct FrameOutput {
  fs::path outdir;
  fs::path data_folder;
  int width = 0;
  int height = 0;
  std::int64_t expected = -1;  // frames to come, for the progress bar; -1 unknown
  bool progress = false;
  std::FILE* out = nullptr;
  std::int64_t written = 0;
  std::int64_t shown = -1;  // last percent (or count) drawn
  bool folder_made = false;
  RunInfo info;  // run.txt, written with the folder and again when the conversion ends
};

void draw_progress(FrameOutput& output) {
  if (!output.progress) return;
  const std::int64_t mark = output.expected > 0
                                ? output.written * 100 / std::max(output.expected, output.written)
                                : output.written / 100;
  if (mark == output.shown) return;
  output.shown = mark;
  std::fprintf(output.out, "\r%s", progress_bar(output.written, output.expected).c_str());
  std::fflush(output.out);
}

// Ends the progress line; a complete run shows 100 % even when the expected total was an estimate.
void end_progress(FrameOutput& output, bool complete) {
  if (!output.progress || output.written == 0) return;
  if (complete && output.expected != output.written) {
    std::fprintf(output.out, "\r%s", progress_bar(output.written, output.written).c_str());
  }
  std::fprintf(output.out, "\n");
  std::fflush(output.out);
}

bool put_frame(FrameOutput& output, std::span<const std::uint8_t> grey, std::string* error) {
  if (!output.folder_made) {
    if (!lay_out_run_folder(output.outdir, output.data_folder, RawFrames::folder, error) ||
        !write_run_info(output.outdir, output.info, error)) {
      return false;
    }
    output.folder_made = true;
  }
  if (!write_frame_file(output.outdir / "BMP_RAW", static_cast<int>(output.written), output.width,
                        output.height, grey, error)) {
    return false;
  }
  ++output.written;
  draw_progress(output);
  return true;
}

int stop(FrameOutput& output, std::FILE* err, const std::string& message) {
  end_progress(output, false);
  return fail(err, message);
}

bool allocate_grey(const std::string& path, int width, int height, std::vector<std::uint8_t>& grey,
                   std::string* error) {
  try {
    grey.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  } catch (const std::bad_alloc&) {
    *error = path + ": cannot allocate one frame of " + std::to_string(width) + " x " +
             std::to_string(height);
    return false;
  }
  return true;
}

void print_final_line(const FrameOutput& output, bool with_times) {
  std::fprintf(output.out, "Wrote %s of %d x %d pixels to %s", frames_text(output.written).c_str(),
               output.width, output.height,
               escaped_text((output.outdir / "BMP_RAW").string()).c_str());
  if (with_times) {
    std::fprintf(output.out, ", their times to %s",
                 escaped_text((output.outdir / kFrameTimesName).string()).c_str());
  }
  std::fprintf(output.out, "\n");
}

// The notice for a recording longer than one folder takes; `total` is -1 when unknown.
void print_limit_notice(std::FILE* out, const ConvertOptions& o, std::int64_t total) {
  if (total >= 0) {
    std::fprintf(out, "Converted %d of the %lld frames from frame %lld", o.frame_limit,
                 static_cast<long long>(total), static_cast<long long>(o.first));
  } else {
    std::fprintf(out, "Converted %d frames from frame %lld and the recording goes on",
                 o.frame_limit, static_cast<long long>(o.first));
  }
  std::fprintf(out,
               " (VESK reads at most %d from one folder); convert the rest into another folder "
               "with --first %lld\n",
               o.frame_limit, static_cast<long long>(o.first + o.frame_limit));
}

// Results of an earlier vesk run in the folder would be taken for results of the new frames.
void warn_about_old_results(const fs::path& outdir, std::FILE* err) {
  std::string found;
  std::error_code ec;
  for (const char* name : {kFlashInfoName, kDataDumpName}) {
    if (fs::exists(outdir / name, ec)) found += (found.empty() ? "" : ", ") + std::string(name);
  }
  std::int64_t images = 0;
  const fs::path flashes = outdir / "BMP_FLASHES";
  if (fs::is_directory(flashes, ec)) {
    for (fs::directory_iterator it(flashes, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() == ".bmp") ++images;
    }
  }
  if (images > 0) {
    found += (found.empty() ? "" : ", ") + std::to_string(images) + " image" +
             (images == 1 ? "" : "s") + " in BMP_FLASHES";
  }
  if (found.empty()) return;
  std::fprintf(err,
               "%s: holds results of an earlier run (%s) that do not belong to the new frames; "
               "move them away before running vesk\n",
               escaped_text(outdir.string()).c_str(), found.c_str());
}

// vesk stops at once when the folder holds fewer frames than its ring.
void warn_if_ring_unfilled(const FrameOutput& output, std::FILE* err) {
  const std::string settings_path = (output.outdir / "settings.txt").string();
  DetectionSettings settings;
  std::vector<std::string> problems;
  std::string error;
  if (!read_settings_file(output.outdir, "settings.txt", settings, problems, nullptr, &error))
    return;
  if (settings.Images_in_buffer <= output.written) return;
  std::fprintf(err,
               "%s: holds %s, fewer than the %d of Images_in_buffer in %s; vesk cannot "
               "fill its frame ring: convert more frames or lower Images_in_buffer\n",
               escaped_text((output.outdir / "BMP_RAW").string()).c_str(),
               frames_text(output.written).c_str(), settings.Images_in_buffer,
               escaped_text(settings_path).c_str());
}

// The end of a conversion that wrote its frames: frame_times.csv when any time is known, the
// notices gathered on the way, the limit notice (`total` frames, -1 unknown), the final line.
int finish_conversion(const ConvertOptions& o, FrameOutput& output,
                      std::span<const FrameTimesRow> times, std::span<const std::string> notices,
                      bool limited, std::int64_t total, std::FILE* err) {
  const bool with_times = std::any_of(times.begin(), times.end(), [](const FrameTimesRow& t) {
    return t.utc.has_value() || t.since_first.has_value();
  });
  std::string error;
  if (with_times && !replace_text_file(output.outdir / "frame_times.csv",
                                       frame_times_csv(times, o.recording, o.first), &error)) {
    print_notices(err, notices);
    return stop(output, err, error);
  }
  if (o.site.site_known && !write_site_file(output.outdir, o.site, &error)) {
    print_notices(err, notices);
    return stop(output, err, error);
  }
  output.info.ended = run_info_time_now();
  if (!write_run_info(output.outdir, output.info, &error)) {
    print_notices(err, notices);
    return stop(output, err, error);
  }
  end_progress(output, true);
  print_notices(err, notices);
  if (limited) print_limit_notice(output.out, o, total);
  warn_if_ring_unfilled(output, err);
  print_final_line(output, with_times);
  return 0;
}

// ---- SER

// The frames of a recording of `frame_count` frames that are converted.
struct FrameRange {
  std::int64_t first = 0;
  std::int64_t count = 0;
  bool limited = false;        // the folder limit cut the range
  std::int64_t available = 0;  // frames from `first` to the end
};

bool plan_range(const ConvertOptions& o, std::int64_t frame_count, FrameRange& range,
                std::string* error) {
  if (o.first >= frame_count) {
    *error = "--first " + std::to_string(o.first) + ": " + o.recording + " has only " +
             frames_text(frame_count);
    return false;
  }
  range.first = o.first;
  range.available = frame_count - o.first;
  range.count = o.count < 0 ? range.available : std::min(o.count, range.available);
  range.limited = range.count > o.frame_limit;
  if (range.limited) range.count = o.frame_limit;
  return true;
}

int copy_ser_frames(SerRecording& recording, const FrameRange& range, FrameOutput& output,
                    std::FILE* err) {
  std::vector<std::uint8_t> grey;
  std::string error;
  if (!allocate_grey(recording.path, recording.header.width, recording.header.height, grey,
                     &error)) {
    return fail(err, error);
  }
  output.width = recording.header.width;
  output.height = recording.header.height;
  output.expected = range.count;
  for (std::int64_t i = 0; i < range.count; ++i) {
    if (!read_ser_frame(recording, range.first + i, grey, &error) ||
        !put_frame(output, grey, &error)) {
      return stop(output, err, error);
    }
  }
  return 0;
}

// Seconds count from VESK's frame 0; UTC when the times give it.
std::vector<FrameTimesRow> ser_frame_times(const SerFrameTimes& ser) {
  std::vector<FrameTimesRow> times(ser.ticks.size());
  for (std::size_t i = 0; i < ser.ticks.size(); ++i) {
    if (ser.utc) times[i].utc = ser.ticks[i];
    times[i].since_first = ser.ticks[i] - ser.ticks[0];
    times[i].source = ser.source;
  }
  return times;
}

int convert_ser(const ConvertOptions& o, FrameOutput& output, std::FILE* err) {
  const std::string& path = o.recording;
  SerRecording recording;
  std::vector<std::string> notices;
  std::string error;
  const SerReadOptions read_options{o.byte_order, o.depth};
  const bool opened =
      open_ser_recording(path, read_options, kMaxFrameSide, recording, notices, &error);
  print_notices(err, notices);
  if (!opened) return fail(err, error);
  FrameRange range;
  if (!plan_range(o, recording.layout.frame_count, range, &error)) return fail(err, error);
  // The times are settled before any frame is written: --start-utc may not fit the recording.
  SerFrameTimes times;
  notices.clear();
  if (!read_ser_frame_times(recording, o, range.first, range.count, times, notices, &error)) {
    print_notices(err, notices);
    return fail(err, error);
  }
  if (const int status = copy_ser_frames(recording, range, output, err); status != 0) {
    print_notices(err, notices);
    return status;
  }
  return finish_conversion(o, output, ser_frame_times(times), notices, range.limited,
                           range.available, err);
}

// ---- Video

// What the decoding loop brought: frames kept, frames seen, whether more came past the limit,
// the kept frames' presentation times and that of the recording's frame 0.
struct VideoCopy {
  std::int64_t seen = 0;
  bool more = false;
  std::vector<std::optional<std::int64_t>> times;
  std::optional<std::int64_t> start;
};

// Reads frames until the decoder ends; frames before --first are skipped, those past `most`
// only noted. Returns 0, or the exit status after a problem was reported.
int copy_video_frames(const ConvertOptions& o, VideoDecoder& decoder, std::int64_t most,
                      FrameOutput& output, VideoCopy& copy, std::FILE* err) {
  std::vector<std::uint8_t> grey;
  std::string error;
  if (!allocate_grey(o.recording, output.width, output.height, grey, &error)) {
    return fail(err, error);
  }
  for (;;) {
    std::optional<std::int64_t> time;
    switch (read_video_frame(decoder, grey, time)) {
      case VideoRead::frame: {
        // ffmpeg scales a frame of another size to the first's: stopped, never converted.
        const std::string change =
            frame_size_change(decoder, o.recording, output.width, output.height, copy.seen);
        if (!change.empty()) {
          finish_video_decoder(decoder, o.recording, &error);
          return stop(output, err, change);
        }
        if (copy.seen == 0) copy.start = time;
        ++copy.seen;
        if (copy.seen <= o.first) break;
        if (output.written == most) {
          copy.more = true;
          break;
        }
        if (!put_frame(output, grey, &error)) return stop(output, err, error);
        copy.times.push_back(time);
        break;
      }
      case VideoRead::partial:
        if (finish_video_decoder(decoder, o.recording, &error)) {
          error = o.recording + ": ffmpeg ended inside frame " + std::to_string(copy.seen);
        }
        return stop(output, err, error);
      case VideoRead::end:
        return 0;
    }
  }
}

// Seconds from the first kept frame with a time; UTC from --start-utc, the time of the
// recording's frame 0.
std::vector<FrameTimesRow> video_frame_times(const ConvertOptions& o, const VideoCopy& copy) {
  std::vector<FrameTimesRow> times(copy.times.size());
  std::optional<std::int64_t> zero;
  for (const auto& t : copy.times) {
    if (t && !zero) zero = t;
  }
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (!copy.times[i]) continue;
    times[i].since_first = *copy.times[i] - *zero;
    times[i].source = kTimeFromPts;
    if (o.start_utc && copy.start) times[i].utc = *o.start_utc + (*copy.times[i] - *copy.start);
  }
  return times;
}

// The frames asked of ffmpeg: those before --first, at most `most` kept, and one past the limit
// that tells whether the recording goes on.
std::int64_t frames_to_decode(const ConvertOptions& o, std::int64_t most) {
  const bool watch_limit = o.count < 0 || o.count > o.frame_limit;
  return o.first + most + (watch_limit ? 1 : 0);
}

int convert_video(const ConvertOptions& o, FrameOutput& output, std::FILE* err) {
  const std::string& path = o.recording;
  std::string ffmpeg;
  std::string ffprobe;
  VideoInfo info;
  std::string error;
  if (!find_video_tools(path, ffmpeg, ffprobe, &error) ||
      !probe_video(ffprobe, path, kMaxFrameSide, info, &error)) {
    return fail(err, error);
  }
  if (o.byte_order != ByteOrder::from_header || o.depth != 0) {
    std::fprintf(err,
                 "%s: a video; --byte-order and --depth apply to SER recordings and are "
                 "ignored\n",
                 escaped_text(path).c_str());
  }
  const std::int64_t most =
      o.count < 0 ? o.frame_limit : std::min<std::int64_t>(o.count, o.frame_limit);
  output.width = info.width;
  output.height = info.height;
  output.expected =
      info.frame_count < 0 ? -1 : std::clamp<std::int64_t>(info.frame_count - o.first, 0, most);
  VideoDecoder decoder;
  VideoCopy copy;
  if (!start_video_decoder(ffmpeg, path, info, frames_to_decode(o, most), decoder, &error)) {
    return fail(err, error);
  }
  if (const int status = copy_video_frames(o, decoder, most, output, copy, err); status != 0) {
    return status;
  }
  if (!finish_video_decoder(decoder, path, &error)) return stop(output, err, error);
  if (output.written == 0) {
    return fail(err, copy.seen > 0 ? "--first " + std::to_string(o.first) + ": " + path +
                                         " has only " + frames_text(copy.seen)
                                   : path + ": holds no video frames");
  }
  return finish_conversion(o, output, video_frame_times(o, copy), {}, copy.more, -1, err);
}

// The option value after `arg`; false with `error` when it is missing. A value that looks like
// an option is another option: this one's value was left out.
bool take_value(std::span<const std::string> args, std::size_t& i, std::string& value,
                std::string* error) {
  if (i + 1 == args.size() || args[i + 1].starts_with("--")) {
    *error = args[i] + ": needs a value";
    return false;
  }
  value = args[++i];
  return true;
}

}  // namespace

bool parse_arguments(std::span<const std::string> args, ConvertOptions& options, bool& help,
                     std::string* error) {
  std::vector<std::string> positional;
  std::vector<std::string> given;  // options seen, each allowed once
  bool options_done = false;       // after "--" every argument is a name
  help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && (arg == "-h" || arg == "--help")) {
      help = true;
      return true;
    }
    if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    if (std::find(given.begin(), given.end(), arg) != given.end()) {
      *error = arg + ": given twice; give each option once";
      return false;
    }
    given.push_back(arg);
    if (is_site_option(arg)) {
      std::string value;
      if (!take_value(args, i, value, error) ||
          !parse_site_option(arg, value, options.site, error)) {
        return false;
      }
      continue;
    }
    if (!is_recording_option(arg)) {
      *error = arg + ": unknown option; " + kVeskFramesUsage;
      return false;
    }
    std::string value;
    if (!take_value(args, i, value, error) || !parse_recording_option(arg, value, options, error)) {
      return false;
    }
  }
  if (positional.size() != 2) {
    *error = kVeskFramesUsage;
    return false;
  }
  if (!check_site_options(options.site, error)) return false;
  options.count = std::min<std::int64_t>(options.count, std::numeric_limits<std::int32_t>::max());
  options.recording = positional[0];
  options.outdir = positional[1];
  options.command_options.clear();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) options.command_options += ' ';
    options.command_options += args[i];
  }
  return true;
}

std::string progress_bar(std::int64_t done, std::int64_t total) {
  if (total < 1) return std::to_string(done) + " frames";
  total = std::max(total, done);
  const auto marks = static_cast<std::size_t>(done * kBarMarks / total);
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "] %3lld%% %lld/%lld frames",
                static_cast<long long>(done * 100 / total), static_cast<long long>(done),
                static_cast<long long>(total));
  std::string bar(1, '[');
  bar.append(marks, '#');
  bar.append(kBarMarks - marks, '-');
  bar += numbers;
  return bar;
}

int convert_recording(const ConvertOptions& options, std::FILE* out, std::FILE* err) {
  FrameOutput output;
  output.outdir = options.outdir;
  output.progress = options.progress;
  output.out = out;
  std::string error;
  bool is_ser = false;
  if (!find_data_folder(options.data_folders, output.data_folder, &error) ||
      !check_run_folder(output.outdir, &error) ||
      !check_recording_kind(options.recording, &error) ||
      !is_ser_recording(options.recording, is_ser, &error)) {
    return fail(err, error);
  }
  const BuildVersion version = build_version();
  output.info.program = "vesk-frames";
  output.info.version = std::string(version.version);
  output.info.commit = std::string(version.commit);
  output.info.recording = options.recording;
  output.info.recording_id = recording_id(options.recording, &error);
  if (output.info.recording_id.empty()) return fail(err, error);
  output.info.options = options.command_options;
  output.info.started = run_info_time_now();
  warn_about_old_results(output.outdir, err);
  return is_ser ? convert_ser(options, output, err) : convert_video(options, output, err);
}
