#include "sources/frame_times.h"

#include <chrono>
#include <cstdio>

namespace {

// Largest valid time: 9999-12-31 23:59:59.9999999.
constexpr std::int64_t kLastTick = 3155378975999999999;
constexpr std::int64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr std::int64_t kDaysBefore1970 = 719162;  // 0001-01-01 to 1970-01-01

// The digits text[at .. at + count - 1] as a number; false when one is not a digit.
bool digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// One line of frame_times.csv.
std::string times_line(std::int64_t frame, const std::string& utc,
                       std::optional<std::int64_t> since_first) {
  std::string line = std::to_string(frame) + "," + utc + ",";
  if (since_first) line += seconds_text(*since_first);
  return line + "\n";
}

}  // namespace

std::string utc_text(std::int64_t ticks) {
  if (ticks <= 0 || ticks > kLastTick) return "";
  const std::int64_t day = ticks / kTicksPerDay;
  std::int64_t rest = ticks % kTicksPerDay;
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{day - kDaysBefore1970}}};
  const auto fraction = static_cast<long>(rest % kTicksPerSecond);
  rest /= kTicksPerSecond;
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%07ldZ", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()}, static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), fraction);
  return text;
}

bool parse_utc_text(const std::string& text, std::int64_t& ticks) {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (text.size() < 19 || !digits(text, 0, 4, year) || text[4] != '-' ||
      !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' ||
      !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) ||
      text[16] != ':' || !digits(text, 17, 2, second)) {
    return false;
  }
  std::size_t at = 19;
  std::int64_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    std::size_t count = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++count) {
      if (count == 7) return false;
      fraction = fraction * 10 + (text[at] - '0');
    }
    if (count == 0) return false;
    for (; count < 7; ++count) fraction *= 10;
  }
  if (at < text.size() && text[at] == 'Z') ++at;
  if (at != text.size()) return false;
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (year < 1 || !date.ok() || hour > 23 || minute > 59 || second > 59) return false;
  const std::int64_t days =
      std::chrono::sys_days{date}.time_since_epoch().count() + kDaysBefore1970;
  ticks = days * kTicksPerDay +
          (std::int64_t{hour} * 3600 + minute * 60 + second) * kTicksPerSecond + fraction;
  return true;
}

int utc_year(std::int64_t ticks) {
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{ticks / kTicksPerDay - kDaysBefore1970}}};
  return int{date.year()};
}

std::string seconds_text(std::int64_t ticks) {
  // The magnitude is taken as unsigned so that the most negative value has one too.
  const std::uint64_t size =
      ticks < 0 ? 0 - static_cast<std::uint64_t>(ticks) : static_cast<std::uint64_t>(ticks);
  char text[40];
  std::snprintf(text, sizeof text, "%s%llu.%07llu", ticks < 0 ? "-" : "",
                static_cast<unsigned long long>(size / kTicksPerSecond),
                static_cast<unsigned long long>(size % kTicksPerSecond));
  return text;
}

std::string frame_times_csv(std::span<const FrameTimesRow> times) {
  std::string csv = kFrameTimesHeader;
  for (std::size_t i = 0; i < times.size(); ++i) {
    csv += times_line(static_cast<std::int64_t>(i), times[i].utc ? utc_text(*times[i].utc) : "",
                      times[i].since_first);
  }
  return csv;
}

std::string origin_cells(const FrameOrigin& origin) {
  if (origin.file.empty()) return "";
  std::string file = origin.file;
  if (file.find_first_of(",\"\r\n") != std::string::npos) {
    std::string quoted = "\"";
    for (const char c : file) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    file = quoted + "\"";
  }
  return "," + file + "," + std::to_string(origin.file_frame);
}

std::string frame_times_line(std::int64_t frame, const FrameTime& time) {
  if (!time.known) return times_line(frame, "", std::nullopt);
  return times_line(frame, time.utc, time.ticks);
}
