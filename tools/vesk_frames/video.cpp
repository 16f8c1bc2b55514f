#include "tools/vesk_frames/video.h"

#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

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

bool probe_video(const std::string& ffprobe, const std::string& path, VideoInfo& info,
                 std::string& error) {
  const std::string command =
      shell_quote(ffprobe) +
      " -v error -select_streams v:0"
      " -show_entries stream=width,height,nb_frames,r_frame_rate:format=duration"
      " -of default=noprint_wrappers=1 -i " +
      shell_quote("file:" + path) + " 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    error = path + ": cannot start ffprobe";
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
    if (key == "nb_frames" && parse_int64(value, number) && number > 0) frames = number;
    if (key == "r_frame_rate") rate = frame_rate(value);
    if (key == "duration") duration = std::strtod(value.c_str(), nullptr);
  }
  if (!exited_cleanly(status)) {
    std::string said = last_line(output);
    // ffprobe names the input itself; the message already starts with it.
    const std::string own_name = "file:" + path + ": ";
    if (said.compare(0, own_name.size(), own_name) == 0) said.erase(0, own_name.size());
    error = path + ": ffprobe cannot read it" + (said.empty() ? "" : ": " + said);
    return false;
  }
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) {
    error = path + ": no video stream";
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

PipeHandle start_video_decoder(const std::string& ffmpeg, const std::string& path,
                               std::int64_t max_frames, const std::string& log_path,
                               std::string& error) {
  const std::string command = shell_quote(ffmpeg) + " -nostdin -v error -noautorotate -i " +
                              shell_quote("file:" + path) + " -map 0:v:0 -frames:v " +
                              std::to_string(max_frames) + " -f rawvideo -pix_fmt gray - 2> " +
                              shell_quote(log_path);
  PipeHandle pipe(popen(command.c_str(), "r"));
  if (!pipe) error = path + ": cannot start ffmpeg";
  return pipe;
}

FrameRead read_video_frame(std::FILE* pipe, std::span<std::uint8_t> frame) {
  std::size_t filled = 0;
  while (filled < frame.size()) {
    const std::size_t got = std::fread(frame.data() + filled, 1, frame.size() - filled, pipe);
    if (got == 0) break;
    filled += got;
  }
  if (filled == frame.size()) return FrameRead::frame;
  return filled == 0 ? FrameRead::end : FrameRead::partial;
}

bool finish_video_decoder(PipeHandle& pipe, const std::string& path, const std::string& log_path,
                          std::string& error) {
  const int status = pclose(pipe.release());
  if (exited_cleanly(status)) return true;
  std::ifstream log(log_path);
  std::ostringstream text;
  text << log.rdbuf();
  const std::string said = last_line(text.str());
  error = path + ": ffmpeg failed" + (said.empty() ? "" : ": " + said);
  return false;
}
