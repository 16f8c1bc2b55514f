#include "test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>

#include "imaging/frame_files.h"
#include "reference/settings_fixture.h"
#include "run/run_folder.h"

namespace fs = std::filesystem;

namespace {

// The innermost live ScratchDir of this test process.
ScratchDir*& innermost_scratch() {
  static ScratchDir* innermost = nullptr;
  return innermost;
}

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ScratchDir::ScratchDir() : outer_(innermost_scratch()) {
  char pattern[] = "/tmp/vesk_test_XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  innermost_scratch() = this;
}

ScratchDir::~ScratchDir() {
  innermost_scratch() = outer_;
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path scratch_folder() {
  const ScratchDir* scratch = innermost_scratch();
  return scratch != nullptr ? fs::path(scratch->path()) : fs::current_path();
}

fs::path in_scratch(const std::string& relative) {
  return scratch_folder() / relative;
}

std::string without_scratch(std::string message) {
  const std::string prefix = scratch_folder().string() + "/";
  for (std::size_t at = message.find(prefix); at != std::string::npos; at = message.find(prefix)) {
    message.erase(at, prefix.size());
  }
  return message;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const fs::path p = in_scratch(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string& path, const std::string& text) {
  write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream f(in_scratch(path), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string read_text(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> raw_frame_bytes(int width, int height,
                                          const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> bytes(kFrameHeaderBytes + payload.size(), 0);
  write_raw_frame_header(
      std::span<std::uint8_t, kFrameHeaderBytes>(bytes.data(), kFrameHeaderBytes), width, height);
  std::copy(payload.begin(), payload.end(), bytes.begin() + kFrameHeaderBytes);
  return bytes;
}

void write_raw_frame(int number, int width, int height, const std::vector<std::uint8_t>& payload) {
  char name[64];
  std::snprintf(name, sizeof name, "BMP_RAW/a%05d.bmp", number);
  write_file(name, raw_frame_bytes(width, height, payload));
}

void make_run_folder(const std::string& settings) {
  std::string error;
  if (!lay_out_run_folder(scratch_folder(), VESK_DATA_DIR, RawFrames::folder, &error)) {
    throw std::runtime_error(error);
  }
  if (!settings.empty()) write_text("settings.txt", settings);
}

DetectionSettings small_run_settings(int images_in_buffer, int interlace) {
  return settings_fixture([=](DetectionSettings& s) {
    s.Max_flash_limit = 20;
    s.Flash_sd_sep = 10.0f;
    s.Time_sd = 1.5f;
    s.Min_sd2 = 4.0f;
    s.Left_sample_border = 3;
    s.Right_sample_border = 3;
    s.Top_line_limit = 3;
    s.Bott_line_limit = 3;
    s.Interlace = interlace;
    s.Images_in_buffer = images_in_buffer;
  });
}

std::string settings_text(int min_flash, int max_flash, float flash_sd_sep, float neighbour_sd,
                          float time_sd, float min_sd1, float min_sd2, int left, int right, int top,
                          int bottom, float peak_killer, int interlace, int images) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "Min_flash_limit= %d\nMax_flash_limit= %d\nFlash_sd_sep= %f\nNeighbour_sd= %f\n"
                "Time_sd= %f\nMin_sd1= %f\nMin_sd2= %f\nLeft_sample_border= %d\n"
                "Right_sample_border= %d\nTop_line_limit= %d\nBott_line_limit= %d\n"
                "Peak_killer= %f\nInterlace= %d\nImages_in_buffer= %d\n",
                min_flash, max_flash, double(flash_sd_sep), double(neighbour_sd), double(time_sd),
                double(min_sd1), double(min_sd2), left, right, top, bottom, double(peak_killer),
                interlace, images);
  return text;
}

ProgramRun run_command(const std::string& command) {
  const std::string in_folder = "cd " + shell_quoted(scratch_folder().string()) + " && { " +
                                command + "; } > .console_out 2> .console_err";
  const int status = std::system(in_folder.c_str());
  ProgramRun run;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_text(".console_out");
  run.err = read_text(".console_err");
  fs::remove(in_scratch(".console_out"));
  fs::remove(in_scratch(".console_err"));
  return run;
}

ProgramRun run_vesk_program(const std::string& console, const std::string& folder) {
  write_text(".console_in", console);
  const std::string enter = folder.empty() ? "" : "cd " + shell_quoted(folder) + " && ";
  const ProgramRun run =
      run_command(enter + "'" + VESK_BINARY + "' < " + shell_quoted(in_scratch(".console_in")));
  fs::remove(in_scratch(".console_in"));
  return run;
}

std::string without_file_columns(const std::string& csv) {
  std::string kept;
  for (std::size_t at = 0; at < csv.size();) {
    std::size_t end = csv.find('\n', at);
    if (end == std::string::npos) end = csv.size();
    std::string_view line(csv.data() + at, end - at);
    for (int cut = 0; cut < 2; ++cut) {
      const std::size_t comma = line.rfind(',');
      if (comma != std::string_view::npos) line = line.substr(0, comma);
    }
    kept += line;
    kept += '\n';
    at = end + 1;
  }
  return kept;
}

void drop_file_columns(std::map<std::string, std::vector<std::uint8_t>>& results) {
  for (const char* name : {"flashes.csv", "frame_times.csv"}) {
    const auto it = results.find(name);
    if (it == results.end()) continue;
    const std::string cut = without_file_columns(std::string(it->second.begin(), it->second.end()));
    it->second.assign(cut.begin(), cut.end());
  }
}

std::map<std::string, std::vector<std::uint8_t>> run_results(const std::string& folder) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const char* name :
       {"flash_info.dat", "data_dump.txt", "frame_times.csv", "flashes.csv", "lightcurves.csv"}) {
    if (std::filesystem::exists(in_scratch(folder + "/" + name))) {
      files[name] = read_file(folder + "/" + name);
    }
  }
  for (const auto& entry :
       std::filesystem::directory_iterator(in_scratch(folder + "/BMP_FLASHES"))) {
    files["BMP_FLASHES/" + entry.path().filename().string()] = read_file(entry.path().string());
  }
  return files;
}

std::map<std::string, std::vector<std::uint8_t>> run_results_without_file_columns(
    const std::string& folder) {
  std::map<std::string, std::vector<std::uint8_t>> files = run_results(folder);
  drop_file_columns(files);
  return files;
}

std::string without_run_end(const std::string& err) {
  static const std::regex closing(
      "run: \\d+ frames? read, \\d+ tested[^\n]*\n"
      "run: (no events|\\d+ events?( \\([^\n]*\\))?|events not counted: [^\n]*)\n"
      "run: results in [^\n]*\n$");
  std::smatch match;
  if (!std::regex_search(err, match, closing)) return err;
  if (match.position(0) > 0 && err[static_cast<std::size_t>(match.position(0)) - 1] != '\n') {
    return err;
  }
  return err.substr(0, static_cast<std::size_t>(match.position(0)));
}

namespace {

// One array of string pieces at `at` (past its '['), joined into `text`; `at` ends past its ']'.
bool read_pieces(const std::string& script, std::size_t& at, std::string& text) {
  if (at >= script.size() || script[at] != '[') return false;
  ++at;
  bool first = true;
  while (true) {
    if (script.compare(at, 2, "\n]") == 0) {
      at += 2;
      return true;
    }
    if (script.compare(at, first ? 2 : 3, first ? "\n'" : ",\n'") != 0) return false;
    at += first ? 2 : 3;
    first = false;
    while (true) {
      if (at >= script.size()) return false;
      const char c = script[at++];
      if (c == '\'') break;
      if (c == '\n' || c == '\r') return false;
      if (script.compare(at - 1, 3, "\xE2\x80\xA8") == 0 ||
          script.compare(at - 1, 3, "\xE2\x80\xA9") == 0) {
        return false;
      }
      if (c != '\\') {
        text += c;
        continue;
      }
      if (at >= script.size()) return false;
      const char e = script[at++];
      if (e == '\\' || e == '\'') {
        text += e;
      } else if (e == 'n') {
        text += '\n';
      } else if (e == 'u' && at + 4 <= script.size()) {
        const unsigned long code = std::strtoul(script.substr(at, 4).c_str(), nullptr, 16);
        at += 4;
        if (code < 0x80) {
          text += static_cast<char>(code);
        } else if (code == 0x2028 || code == 0x2029) {
          text += "\xE2\x80";
          text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
          return false;
        }
      } else {
        return false;
      }
    }
  }
}

}  // namespace

ReviewScript read_review_script(const std::string& script) {
  ReviewScript read;
  std::size_t at = script.find("\nveskReview(");
  if (at == std::string::npos) return read;
  at += std::string("\nveskReview(").size();
  if (!read_pieces(script, at, read.data) || script.compare(at, 2, ",\n") != 0) return {};
  at += 2;
  if (!read_pieces(script, at, read.cards) || script.substr(at) != ");\n") return {};
  read.read = true;
  return read;
}
