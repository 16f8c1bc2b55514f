#include "control/settings.h"

#include <cctype>
#include <cstdio>

#include "formats/data_dump_txt.h"
#include "imaging/file_io.h"

namespace {
using P = SettingsParameter;
using S = DetectionSettings;
constexpr ParameterType kInt = ParameterType::Int;
constexpr ParameterType kFloat = ParameterType::Float;
}  // namespace

const std::array<SettingsParameter, 14> settings_parameters = {{
    {1, "Min_flash_limit", kInt, "(1) Multiple flashes No. (lower limit): ",
     "\n Enter new: No. of pixels in a flash (lower limit) - N.B. must be >=1 e.g. 1:",
     &S::Min_flash_limit, nullptr},
    {2, "Max_flash_limit", kInt, "(2) Multiple flash No. (upper limit): ",
     "\n Enter new: No. of pixels in a flash (upper limit) - N.B. must be > the lower limit e.g. "
     "5:",
     &S::Max_flash_limit, nullptr},
    {3, "Flash_sd_sep", kFloat, "(3) Multiple flash separation standard deviation threshold: ",
     "\n Enter new: Multiple Flash standard deviation separation threshold (pixels) e.g. 10.0:",
     nullptr, &S::Flash_sd_sep},
    {4, "Neighbour_sd", kFloat, "(4) No. of s.d. above neighbour pixels threshold: ",
     "\n Enter new: No. of s.d. above neighbour pixels threshold e.g. 3.0:", nullptr,
     &S::Neighbour_sd},
    {5, "Time_sd", kFloat, "(5) No. of s.d. in time domain threshold: ",
     "\n Enter new: No. of s.d. in time domain threshold e.g. 5.0: ", nullptr, &S::Time_sd},
    {6, "Min_sd1", kFloat, "(6) Minimum s.d. 1 threshold: ",
     "\n Enter new: Minimum s.d. 1 threshold: e.g.4.0:", nullptr, &S::Min_sd1},
    {7, "Min_sd2", kFloat, "(7) Minimum s.d. 2 threshold: ",
     "\n Enter new: Minimum s.d. 2 threshold: e.g. 4.0:", nullptr, &S::Min_sd2},
    {8, "Left_sample_border", kInt, "(8) Left Border (Pixels): ",
     "\n Enter new: Left Border (Pixels)): e.g. 10:", &S::Left_sample_border, nullptr},
    {9, "Right_sample_border", kInt, "(9) Right Border (Pixels): ",
     "\n Enter new: Right Border (Pixels): e.g. 10:", &S::Right_sample_border, nullptr},
    {10, "Top_line_limit", kInt, "(10) Top Border (Pixels): ",
     "\n Enter new: Top Border (Pixels): e.g. 10:", &S::Top_line_limit, nullptr},
    {11, "Bott_line_limit", kInt, "(11) Bottom Border (Pixels): ",
     "\n Enter new: Bottom Border (Pixels): e.g. 10:", &S::Bott_line_limit, nullptr},
    {12, "Peak_killer", kFloat, "(12) Peak Killer Threshold: ",
     "\n Enter new: Peak Killer Threshold (percent) (0-100)", nullptr, &S::Peak_killer},
    {13, "Interlace", kInt, "",
     "\n Pick a No. e.g. 0, Odd then Even = 1, Even then Odd =2:", &S::Interlace, nullptr},
    {14, "Images_in_buffer", kInt, "(14) No. of Images in Buffer: ",
     "\n Enter an even No. for the No. of images in the buffer:", &S::Images_in_buffer, nullptr},
}};

namespace {

// Peeks at the token where a number read failed, for the message, and puts the stream back.
std::string token_at(std::FILE* file) {
  const long where = std::ftell(file);
  char token[41] = {};
  const int got = std::fscanf(file, "%40s", token);
  if (where >= 0) std::fseek(file, where, SEEK_SET);
  return got == 1 ? std::string(token) : std::string();
}

// The fourteenth number is the last thing read; text stuck to it ("6e1" read as 6) would be lost
// without a word.
void warn_about_trailing_text(std::FILE* file, const char* path, const char* key,
                              std::vector<std::string>& warnings) {
  const int next = std::fgetc(file);
  if (next == EOF) return;
  std::ungetc(next, file);
  if (std::isspace(next) != 0) return;
  warnings.push_back(std::string(path) + ": " + key + ": \"" + token_at(file) +
                     "\" after its number is ignored");
}

}  // namespace

bool read_settings_file(const std::filesystem::path& run_dir, const char* name,
                        DetectionSettings& settings, std::vector<std::string>& problems,
                        std::vector<std::string>* warnings, std::string* error) {
  const char* path = name;
  FileHandle file = open_text_to_read(run_dir, name, error);
  if (!file) return false;
  for (const SettingsParameter& p : settings_parameters) {
    std::fscanf(file.get(), "%*s");
    int got = 0;
    if (p.type == ParameterType::Int) {
      // Read wide so a number beyond the int range is refused instead of wrapping.
      long long value = 0;
      got = std::fscanf(file.get(), "%lld", &value);
      if (got == 1 && (value < INT32_MIN || value > INT32_MAX)) {
        problems.push_back(std::string(path) + ": " + p.key + ": " + std::to_string(value) +
                           " is beyond the int range");
        continue;
      }
      if (got == 1) settings.*p.int_member = static_cast<int>(value);
    } else {
      got = std::fscanf(file.get(), "%f", &(settings.*p.float_member));
    }
    if (got == 1) {
      // After a misread the positions are off anyway; the problems say what is wrong.
      if (warnings != nullptr && problems.empty() &&
          p.number == settings_parameters.back().number) {
        warn_about_trailing_text(file.get(), path, p.key, *warnings);
      }
      continue;
    }
    const std::string token = token_at(file.get());
    if (token.empty()) {
      problems.push_back(std::string(path) + ": " + p.key + ": the file ends before its number");
    } else {
      problems.push_back(std::string(path) + ": " + p.key + ": no number at \"" + token + "\"");
    }
  }
  return true;
}

std::string format_settings(const DetectionSettings& settings) {
  std::string text;
  char line[96];
  for (const SettingsParameter& p : settings_parameters) {
    if (p.type == ParameterType::Int) {
      std::snprintf(line, sizeof line, "%s= %d\n", p.key, settings.*p.int_member);
    } else {
      std::snprintf(line, sizeof line, "%s= %f\n", p.key,
                    static_cast<double>(settings.*p.float_member));
    }
    text += line;
  }
  return text;
}

bool write_settings_file(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                         std::string* error) {
  return replace_text_file_in(run_dir, "settings.txt", format_settings(settings), error);
}

std::string format_run_summary(const DetectionSettings& settings, int image_width, int image_height,
                               std::int64_t frames_read) {
  DataDump d;
  d.image_width = image_width;
  d.image_height = image_height;
  d.interlace = settings.Interlace;
  d.frames = frames_read;
  d.min_flash_limit = settings.Min_flash_limit;
  d.max_flash_limit = settings.Max_flash_limit;
  d.neighbour_sd = static_cast<double>(settings.Neighbour_sd);
  d.time_sd = static_cast<double>(settings.Time_sd);
  d.min_sd1 = static_cast<double>(settings.Min_sd1);
  d.min_sd2 = static_cast<double>(settings.Min_sd2);
  d.left_border = settings.Left_sample_border;
  d.right_border = settings.Right_sample_border;
  d.top_border = settings.Top_line_limit;
  d.bottom_border = settings.Bott_line_limit;
  d.peak_killer = static_cast<double>(settings.Peak_killer);
  return data_dump_text(d);
}
