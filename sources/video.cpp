#include "sources/video.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <utility>

#include "base/memory_limit.h"

extern char** environ;

namespace {

// The last line of `text` that is not blank.
std::string last_line(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  std::string last;
  while (std::getline(lines, line)) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  }
  return last;
}

bool parse_int64(const std::string& text, std::int64_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// "25/1" or "30000/1001" as frames per second; 0 when not a positive fraction.
double frame_rate(const std::string& text) {
  const std::size_t slash = text.find('/');
  std::int64_t num = 0;
  std::int64_t den = 1;
  if (slash == std::string::npos
          ? !parse_int64(text, num)
          : !parse_int64(text.substr(0, slash), num) || !parse_int64(text.substr(slash + 1), den)) {
    return 0;
  }
  return num > 0 && den > 0 ? static_cast<double>(num) / static_cast<double>(den) : 0;
}

bool exited_cleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A log line longer than this is cut; the lines read here are short.
constexpr std::size_t kLongestLogLine = 4096;

// "<num>/<den>" after `key` in `line`, e.g. the showinfo line "config in time_base: 1/1000, ...".
bool read_fraction_after(const std::string& line, const char* key, std::int64_t& num,
                         std::int64_t& den) {
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return false;
  const char* p = line.data() + at + std::strlen(key);
  const char* end = line.data() + line.size();
  while (p < end && *p == ' ') ++p;
  auto [slash, ec] = std::from_chars(p, end, num);
  if (ec != std::errc() || slash == end || *slash != '/') return false;
  auto [rest, ec2] = std::from_chars(slash + 1, end, den);
  return ec2 == std::errc() && num > 0 && den > 0;
}

// "<width>x<height>" after `key` in `line`, e.g. showinfo's " s:720x576 "; 0 x 0 when absent.
void read_size_after(const std::string& line, const char* key, int& width, int& height) {
  width = 0;
  height = 0;
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return;
  const char* p = line.data() + at + std::strlen(key);
  const char* end = line.data() + line.size();
  int w = 0;
  int h = 0;
  auto [x, ec] = std::from_chars(p, end, w);
  if (ec != std::errc() || x == end || *x != 'x') return;
  auto [rest, ec2] = std::from_chars(x + 1, end, h);
  if (ec2 != std::errc() || (rest != end && *rest != ' ') || w < 1 || h < 1) return;
  width = w;
  height = h;
}

// `pts` (in units of num/den seconds) as 100-ns ticks, rounded; empty when it does not fit. A
// long double holds every product met in practice exactly (64-bit mantissa).
std::optional<std::int64_t> pts_ticks(std::int64_t pts, std::int64_t num, std::int64_t den) {
  const long double ticks = static_cast<long double>(pts) * static_cast<long double>(num) * 1e7L /
                            static_cast<long double>(den);
  if (!(std::fabs(ticks) < 9e18L)) return std::nullopt;
  return static_cast<std::int64_t>(std::llroundl(ticks));
}

// One line of ffmpeg's log ("-loglevel level+info": each message tagged with its level): the
// showinfo filter's time base and frame times, and the error lines.
void take_log_line(VideoDecoder& d, const std::string& line) {
  // Only the filter's own lines, which start with its tag: the same words elsewhere (a title
  // printed in the input summary) are the video's text, not frame timing.
  if (line.rfind("[Parsed_showinfo_", 0) == 0) {
    std::int64_t num = 0;
    std::int64_t den = 0;
    if (read_fraction_after(line, "config in time_base:", num, den)) {
      d.time_base_num = num;
      d.time_base_den = den;
      return;
    }
    const std::size_t n = line.find(" n:");
    const std::size_t at = line.find(" pts:", n == std::string::npos ? 0 : n);
    if (n == std::string::npos || at == std::string::npos) return;
    const char* p = line.data() + at + 5;
    const char* end = line.data() + line.size();
    while (p < end && *p == ' ') ++p;
    std::int64_t pts = 0;
    const auto [next, ec] = std::from_chars(p, end, pts);
    const bool known = ec == std::errc() && (next == end || *next == ' ') && d.time_base_num > 0;
    VideoDecoder::LoggedFrame frame;
    if (known) frame.time = pts_ticks(pts, d.time_base_num, d.time_base_den);
    read_size_after(line, " s:", frame.width, frame.height);
    d.logged.push_back(frame);
    return;
  }
  for (const char* tag : {"[error] ", "[fatal] ", "[panic] "}) {
    const std::size_t at = line.find(tag);
    if (at != std::string::npos) {
      d.last_error = line.substr(0, at) + line.substr(at + std::strlen(tag));
      ++d.errors;
      return;
    }
  }
}

// Reads what the log pipe holds (waiting when it is empty); closes it at its end.
void read_log(VideoDecoder& d) {
  char chunk[4096];
  const ssize_t got = read(d.log_fd, chunk, sizeof chunk);
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    close(d.log_fd);
    d.log_fd = -1;
    if (!d.log_line.empty()) take_log_line(d, d.log_line);
    d.log_line.clear();
    return;
  }
  for (ssize_t i = 0; i < got; ++i) {
    if (chunk[i] == '\n' || chunk[i] == '\r') {
      if (!d.log_line.empty()) take_log_line(d, d.log_line);
      d.log_line.clear();
    } else if (d.log_line.size() < kLongestLogLine) {
      d.log_line += chunk[i];
    }
  }
}

// Reads the log as long as it has something ready, without waiting.
void drain_log(VideoDecoder& d) {
  while (d.log_fd >= 0) {
    pollfd ready{d.log_fd, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return;
    read_log(d);
  }
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits for ffmpeg; its exit status, -1 when it cannot be had.
int wait_for(pid_t& pid) {
  int status = -1;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return status;
}

// The ffmpeg command line: every decoded frame once (-fps_mode passthrough), as the Y plane as
// stored for luma formats (a conversion to grey would stretch video range), widened to 16 bits
// so every depth comes the same way, or as RGB for colour formats. showinfo logs each frame's
// time before the frame reaches the pipe.
std::vector<std::string> decoder_arguments(const std::string& ffmpeg, const std::string& path,
                                           bool rgb, std::int64_t max_frames) {
  const std::string filters =
      std::string(rgb ? "format=rgb24" : "extractplanes=y,format=gray16le") +
      ",showinfo=checksum=0";
  std::vector<std::string> args = {ffmpeg,         "-nostdin",   "-hide_banner",  "-nostats",
                                   "-loglevel",    "level+info", "-noautorotate", "-i",
                                   "file:" + path, "-map",       "0:v:0"};
  if (max_frames >= 0) args.insert(args.end(), {"-frames:v", std::to_string(max_frames)});
  args.insert(args.end(), {"-fps_mode", "passthrough", "-vf", filters, "-f", "rawvideo", "-"});
  return args;
}

// Starts `args` with standard input from /dev/null, standard output into d.frames_fd and
// standard error into d.log_fd. False with `error` (the reason alone) otherwise.
bool spawn_with_pipes(const std::vector<std::string>& args, VideoDecoder& d, std::string* error) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int frames[2] = {-1, -1};
  int log[2] = {-1, -1};
  if (pipe2(frames, O_CLOEXEC) != 0 || pipe2(log, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    for (int fd : {frames[0], frames[1], log[0], log[1]}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, frames[1], 1);
  posix_spawn_file_actions_adddup2(&actions, log[1], 2);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(frames[1]);
  close(log[1]);
  if (failed != 0) {
    close(frames[0]);
    close(log[0]);
    *error = std::strerror(failed);
    return false;
  }
  d.pid = pid;
  d.frames_fd = frames[0];
  d.log_fd = log[0];
  return true;
}

}  // namespace

std::string find_on_path(const char* name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return "";
  std::istringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool find_video_tools(const std::string& path, std::string& ffmpeg, std::string& ffprobe,
                      std::string* error) {
  ffmpeg = find_on_path("ffmpeg");
  ffprobe = find_on_path("ffprobe");
  for (const auto& [tool, found] : {std::pair{"ffmpeg", &ffmpeg}, std::pair{"ffprobe", &ffprobe}}) {
    if (found->empty()) {
      *error = path + ": not a SER file, and " + tool +
               " is not on PATH to decode it as video; install FFmpeg (Debian: apt-get install "
               "ffmpeg)";
      return false;
    }
  }
  return true;
}

bool probe_video(const std::string& ffprobe, const std::string& path, int max_side, VideoInfo& info,
                 std::string* error) {
  const std::string command =
      shell_quote(ffprobe) +
      " -v error -select_streams v:0"
      " -show_entries stream=width,height,nb_frames,r_frame_rate,pix_fmt:format=duration"
      " -of default=noprint_wrappers=1 -i " +
      shell_quote("file:" + path) + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *error = path + ": cannot start ffprobe";
    return false;
  }
  // The answer is a few short lines; a runaway output is cut rather than held.
  std::string output;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    if (output.size() < 65536) output.append(chunk, got);
  }
  const int status = pclose(pipe);

  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t frames = -1;
  double rate = 0;
  double duration = 0;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    std::int64_t number = 0;
    if (key == "width" && parse_int64(value, number)) width = number;
    if (key == "height" && parse_int64(value, number)) height = number;
    if (key == "nb_frames" && parse_int64(value, number) && number > 0) {
      frames = number;
      info.frame_count_stated = true;
    }
    if (key == "r_frame_rate") rate = frame_rate(value);
    if (key == "duration") duration = std::strtod(value.c_str(), nullptr);
    if (key == "pix_fmt") info.pixel_format = value;
  }
  if (!exited_cleanly(status)) {
    std::string said = last_line(output);
    // ffprobe names the input itself; the message already starts with it.
    const std::string own_name = "file:" + path + ": ";
    if (said.compare(0, own_name.size(), own_name) == 0) said.erase(0, own_name.size());
    *error = path + ": ffprobe cannot read it" + (said.empty() ? "" : ": " + said);
    return false;
  }
  if (width < 1 || height < 1) {
    *error = path + ": no video stream";
    return false;
  }
  if (width > max_side || height > max_side) {
    *error = path + ": frame size " + std::to_string(width) + " x " + std::to_string(height) +
             " is outside 1 to " + std::to_string(max_side);
    return false;
  }
  if (frames < 0 && rate > 0 && duration > 0 && duration * rate < 1e12) {
    frames = std::llround(duration * rate);
  }
  info.width = static_cast<int>(width);
  info.height = static_cast<int>(height);
  info.frame_count = frames;
  return true;
}

bool is_rgb_pixel_format(const std::string& name) {
  for (const char* start : {"rgb", "bgr", "argb", "abgr", "0rgb", "0bgr", "gbr", "pal8", "x2rgb",
                            "x2bgr", "bayer_", "xyz"}) {
    if (name.compare(0, std::strlen(start), start) == 0) return true;
  }
  return false;
}

VideoDecoder::~VideoDecoder() {
  close_fd(frames_fd);
  close_fd(log_fd);
  if (pid > 0) {
    kill(pid, SIGTERM);
    wait_for(pid);
  }
}

bool start_video_decoder(const std::string& ffmpeg, const std::string& path, const VideoInfo& info,
                         std::int64_t max_frames, VideoDecoder& d, std::string* error) {
  d.rgb = is_rgb_pixel_format(info.pixel_format);
  d.pixels = static_cast<std::size_t>(info.width) * static_cast<std::size_t>(info.height);
  if (!fits_in_memory(d.pixels * (d.rgb ? 3 : 2), memory_limit(0), path + ": one frame", error)) {
    return false;
  }
  try {
    d.piped.resize(d.pixels * (d.rgb ? 3 : 2));
  } catch (const std::bad_alloc&) {
    *error = path + ": cannot allocate one frame of " + std::to_string(info.width) + " x " +
             std::to_string(info.height);
    return false;
  }
  if (!spawn_with_pipes(decoder_arguments(ffmpeg, path, d.rgb, max_frames), d, error)) {
    *error = path + ": cannot start ffmpeg: " + *error;
    return false;
  }
  return true;
}

VideoRead read_video_frame(VideoDecoder& d, std::span<std::uint8_t> grey,
                           std::optional<std::int64_t>& time) {
  std::size_t filled = 0;
  // Both pipes are read as they fill, so ffmpeg never waits on a full log while frames are read.
  while (filled < d.piped.size() && d.frames_fd >= 0) {
    pollfd ready[2] = {{d.frames_fd, POLLIN, 0}, {d.log_fd, POLLIN, 0}};
    if (poll(ready, d.log_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (d.log_fd >= 0 && ready[1].revents != 0) read_log(d);
    if (ready[0].revents == 0) continue;
    const ssize_t got = read(d.frames_fd, d.piped.data() + filled, d.piped.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled < d.piped.size()) return filled == 0 ? VideoRead::end : VideoRead::partial;
  // The frame's time was logged before the frame was written, so it is in the log pipe by now.
  if (d.logged.empty()) drain_log(d);
  time.reset();
  d.width = 0;
  d.height = 0;
  if (!d.logged.empty()) {
    time = d.logged.front().time;
    d.width = d.logged.front().width;
    d.height = d.logged.front().height;
    d.logged.pop_front();
  }
  if (d.rgb) {
    for (std::size_t i = 0; i < d.pixels; ++i) {
      const std::uint32_t red = d.piped[3 * i];
      const std::uint32_t green = d.piped[3 * i + 1];
      const std::uint32_t blue = d.piped[3 * i + 2];
      grey[i] = static_cast<std::uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
    }
  } else {
    // 16-bit little-endian luma: the high byte is the 8-bit level (an 8-bit plane comes as v * 257
    // or v << 8, a 10-bit one as v << 6).
    for (std::size_t i = 0; i < d.pixels; ++i) grey[i] = d.piped[2 * i + 1];
  }
  return VideoRead::frame;
}

std::string frame_size_change(const VideoDecoder& d, const std::string& path, int width,
                              int height, std::int64_t frame) {
  if (d.width == 0 || (d.width == width && d.height == height)) return "";
  return path + ": frame " + std::to_string(frame) + " is " + std::to_string(d.width) + " x " +
         std::to_string(d.height) + ", the frames before it " + std::to_string(width) + " x " +
         std::to_string(height) +
         "; a video whose frame size changes is not read (cut it where the size changes)";
}

bool finish_video_decoder(VideoDecoder& d, const std::string& path, std::string* error) {
  // Frames not read make ffmpeg stop; its log is read to the end so that it can exit.
  close_fd(d.frames_fd);
  while (d.log_fd >= 0) {
    pollfd ready{d.log_fd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno != EINTR) break;
    read_log(d);
  }
  close_fd(d.log_fd);
  const int status = wait_for(d.pid);
  if (exited_cleanly(status)) return true;
  *error = path + ": ffmpeg failed" + (d.last_error.empty() ? "" : ": " + d.last_error);
  return false;
}
