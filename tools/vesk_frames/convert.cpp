#include "tools/vesk_frames/convert.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "tools/vesk_frames/video.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBarMarks = 40;

int fail(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s\n", message.c_str());
  return 1;
}

bool parse_count(const std::string& text, std::int64_t smallest, std::int64_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= smallest;
}

// a * b, false when it does not fit in size_t.
bool multiply(std::size_t a, std::size_t b, std::size_t& product) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
  product = a * b;
  return true;
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

bool put_frame(FrameOutput& output, std::span<const std::uint8_t> grey, std::string& error) {
  if (!output.folder_made) {
    if (!lay_out_run_folder(output.outdir, output.data_folder, error)) return false;
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

void print_final_line(const FrameOutput& output, bool with_times) {
  std::fprintf(output.out, "Wrote %lld frames of %d x %d pixels to %s",
               static_cast<long long>(output.written), output.width, output.height,
               (output.outdir / "BMP_RAW").string().c_str());
  if (with_times) {
    std::fprintf(output.out, ", their times to %s",
                 (output.outdir / "frame_times.csv").string().c_str());
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

bool seek_to(std::FILE* file, std::size_t offset) {
  if (offset > static_cast<std::size_t>(std::numeric_limits<long>::max())) return false;
  return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0;
}

int convert_ser(const ConvertOptions& o, std::FILE* file, std::span<const std::uint8_t> head,
                FrameOutput& output, std::FILE* out, std::FILE* err) {
  const std::string& path = o.recording;
  SerHeader h;
  std::string error;
  if (!parse_ser_header(head, path, kMaxFrameSide, h, error)) return fail(err, error);
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return fail(err, path + ": cannot read its size: " + ec.message());
  if (h.frame_count == 0) return fail(err, path + ": holds no frames (frame count 0)");
  if (o.first >= h.frame_count) {
    return fail(err, "--first " + std::to_string(o.first) + ": " + path + " has only " +
                         std::to_string(h.frame_count) + " frames");
  }
  const std::int64_t available = h.frame_count - o.first;
  std::int64_t wanted = o.count < 0 ? available : std::min(o.count, available);
  const bool limited = wanted > o.frame_limit;
  if (limited) wanted = o.frame_limit;

  const std::size_t whole = size > kSerHeaderBytes ? (size - kSerHeaderBytes) / h.frame_bytes : 0;
  if (static_cast<std::size_t>(o.first + wanted) > whole) {
    std::string message = path + ": truncated: its header gives " + std::to_string(h.frame_count) +
                          " frames of " + std::to_string(h.frame_bytes) +
                          " bytes, the file holds " + std::to_string(whole);
    if (whole > static_cast<std::size_t>(o.first)) {
      message += "; convert those with --count " + std::to_string(whole - o.first);
    }
    return fail(err, message);
  }
  // Timestamps follow all frame_count frames, one int64 each.
  std::size_t frames_bytes = 0;
  std::size_t trailer_end = 0;
  const bool sizes_ok =
      multiply(static_cast<std::size_t>(h.frame_count), h.frame_bytes, frames_bytes) &&
      frames_bytes <= std::numeric_limits<std::size_t>::max() - kSerHeaderBytes -
                          8 * static_cast<std::size_t>(h.frame_count);
  if (sizes_ok) trailer_end = kSerHeaderBytes + frames_bytes + 8 * std::size_t(h.frame_count);
  const bool has_times = sizes_ok && size >= trailer_end;

  std::vector<std::uint8_t> frame;
  std::vector<std::uint8_t> grey;
  try {
    frame.resize(h.frame_bytes);
    grey.resize(static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height));
  } catch (const std::bad_alloc&) {
    return fail(
        err, path + ": cannot allocate " + std::to_string(h.frame_bytes) + " bytes for one frame");
  }
  output.width = h.width;
  output.height = h.height;
  output.expected = wanted;
  const bool big_endian = ser_samples_big_endian(h, o.byte_order);
  if (!seek_to(file, kSerHeaderBytes + static_cast<std::size_t>(o.first) * h.frame_bytes)) {
    return fail(err, path + ": cannot seek to frame " + std::to_string(o.first));
  }
  for (std::int64_t i = 0; i < wanted; ++i) {
    if (read_bytes(file, frame) != frame.size()) {
      return stop(output, err, path + ": read failed at frame " + std::to_string(o.first + i));
    }
    ser_frame_to_grey(frame, h, big_endian, grey);
    if (!put_frame(output, grey, error)) return stop(output, err, error);
  }

  bool wrote_times = false;
  if (has_times) {
    std::vector<std::uint8_t> ticks(8 * static_cast<std::size_t>(wanted));
    const std::size_t at = kSerHeaderBytes + frames_bytes + 8 * static_cast<std::size_t>(o.first);
    if (!seek_to(file, at) || read_bytes(file, ticks) != ticks.size()) {
      return stop(output, err, path + ": cannot read the frame times");
    }
    std::string csv = "frame,utc\n";
    bool any = false;
    for (std::int64_t i = 0; i < wanted; ++i) {
      std::uint64_t u = 0;
      for (int b = 7; b >= 0; --b) u = u << 8 | ticks[8 * static_cast<std::size_t>(i) + b];
      const std::string when = ser_time_text(static_cast<std::int64_t>(u));
      any = any || !when.empty();
      csv += std::to_string(i) + "," + when + "\n";
    }
    // Some programs fill the trailer with zeros; a file of empty times helps nobody.
    if (any) {
      if (!replace_text_file(output.outdir / "frame_times.csv", csv, error)) {
        return stop(output, err, error);
      }
      wrote_times = true;
    }
  }
  end_progress(output, true);
  if (limited) print_limit_notice(out, o, available);
  print_final_line(output, wrote_times);
  return 0;
}

int convert_video(const ConvertOptions& o, FrameOutput& output, std::FILE* out, std::FILE* err) {
  const std::string& path = o.recording;
  for (const char* tool : {"ffmpeg", "ffprobe"}) {
    if (find_on_path(tool).empty()) {
      return fail(err, path + ": not a SER file, and " + tool +
                           " is not on PATH to decode it as video; install FFmpeg "
                           "(Debian: apt-get install ffmpeg)");
    }
  }
  VideoInfo info;
  std::string error;
  if (!probe_video(find_on_path("ffprobe"), path, info, error)) return fail(err, error);
  if (info.width > kMaxFrameSide || info.height > kMaxFrameSide) {
    return fail(err, path + ": frame size " + std::to_string(info.width) + " x " +
                         std::to_string(info.height) + " is outside 1 to " +
                         std::to_string(kMaxFrameSide));
  }
  const std::int64_t most =
      o.count < 0 ? o.frame_limit : std::min<std::int64_t>(o.count, o.frame_limit);
  // One frame past the limit tells whether the recording goes on.
  const bool watch_limit = o.count < 0 || o.count > o.frame_limit;
  output.width = info.width;
  output.height = info.height;
  output.expected =
      info.frame_count < 0 ? -1 : std::clamp<std::int64_t>(info.frame_count - o.first, 0, most);

  std::vector<std::uint8_t> grey;
  try {
    grey.resize(static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.height));
  } catch (const std::bad_alloc&) {
    return fail(err, path + ": cannot allocate one frame of " + std::to_string(info.width) + " x " +
                         std::to_string(info.height));
  }
  char log_name[] = "/tmp/vesk-frames-ffmpeg-XXXXXX";
  const int log_fd = mkstemp(log_name);
  if (log_fd < 0) return fail(err, errno_message("/tmp", "cannot create the ffmpeg log file"));
  close(log_fd);

  PipeHandle pipe = start_video_decoder(find_on_path("ffmpeg"), path,
                                        o.first + most + (watch_limit ? 1 : 0), log_name, error);
  int status = 0;
  std::int64_t index = 0;
  bool more = false;
  bool ended = false;
  while (status == 0 && pipe && !ended) {
    switch (read_video_frame(pipe.get(), grey)) {
      case FrameRead::frame:
        if (index >= o.first) {
          if (output.written < most) {
            if (!put_frame(output, grey, error)) status = stop(output, err, error);
          } else {
            more = true;
          }
        }
        ++index;
        break;
      case FrameRead::partial:
        if (finish_video_decoder(pipe, path, log_name, error)) {
          error = path + ": ffmpeg ended inside frame " + std::to_string(index);
        }
        status = stop(output, err, error);
        break;
      case FrameRead::end:
        ended = true;
        break;
    }
  }
  if (!pipe && status == 0 && !ended) status = fail(err, error);
  if (pipe && !finish_video_decoder(pipe, path, log_name, error) && status == 0) {
    status = stop(output, err, error);
  }
  std::remove(log_name);
  if (status != 0) return status;
  if (output.written == 0) {
    if (index > 0) {
      return fail(err, "--first " + std::to_string(o.first) + ": " + path + " has only " +
                           std::to_string(index) + " frames");
    }
    return fail(err, path + ": holds no video frames");
  }
  end_progress(output, true);
  if (more) print_limit_notice(out, o, -1);
  print_final_line(output, false);
  return 0;
}

}  // namespace

bool parse_arguments(std::span<const std::string> args, ConvertOptions& options, bool& help,
                     std::string& error) {
  std::vector<std::string> positional;
  help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      help = true;
      return true;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    if (arg != "--first" && arg != "--count" && arg != "--byte-order") {
      error = arg + ": unknown option; " + kVeskFramesUsage;
      return false;
    }
    if (i + 1 == args.size()) {
      error = arg + ": needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (arg == "--first" && !parse_count(value, 0, options.first)) {
      error = "--first: \"" + value + "\" is not a whole number of 0 or more";
      return false;
    }
    if (arg == "--count" && !parse_count(value, 1, options.count)) {
      error = "--count: \"" + value + "\" is not a whole number of 1 or more";
      return false;
    }
    if (arg == "--byte-order") {
      if (value == "little") {
        options.byte_order = ByteOrder::little;
      } else if (value == "big") {
        options.byte_order = ByteOrder::big;
      } else {
        error = "--byte-order: \"" + value + "\" is not little or big";
        return false;
      }
    }
  }
  if (positional.size() != 2) {
    error = kVeskFramesUsage;
    return false;
  }
  // Frame numbers stay far from overflow when adding counts to them.
  if (options.first > std::numeric_limits<std::int32_t>::max()) {
    error = "--first: " + std::to_string(options.first) + " is past any recording";
    return false;
  }
  options.count = std::min<std::int64_t>(options.count, std::numeric_limits<std::int32_t>::max());
  options.recording = positional[0];
  options.outdir = positional[1];
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
  if (!find_data_folder(options.data_folders, output.data_folder, error) ||
      !check_run_folder(output.outdir, error)) {
    return fail(err, error);
  }
  const std::string& path = options.recording;
  FileHandle file = open_file(path.c_str(), "rb", error);
  if (!file) return fail(err, error);
  std::vector<std::uint8_t> head(kSerHeaderBytes, 0);
  const std::size_t got = read_bytes(file.get(), head);
  const bool signature =
      std::memcmp(head.data(), kSerSignature, std::min(got, kSerSignatureBytes)) == 0;
  std::string extension = fs::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if ((signature && got >= kSerSignatureBytes) || extension == ".ser") {
    if (signature && got < kSerHeaderBytes) {
      return fail(err, path + ": truncated: " + std::to_string(got) + " of " +
                           std::to_string(kSerHeaderBytes) + " header bytes");
    }
    return convert_ser(options, file.get(), head, output, out, err);
  }
  file.reset();
  return convert_video(options, output, out, err);
}
