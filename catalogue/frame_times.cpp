#include "catalogue/frame_times.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Digits of text[at, at + count) as a number; false unless all are digits.
bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool leap_year(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t days_from_civil(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t whole_seconds(const UtcTime& t) {
  return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// The fields of `line` split at commas.
std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = line.find(',', at);
    fields.push_back(line.substr(at, comma == std::string_view::npos ? comma : comma - at));
    if (comma == std::string_view::npos) return fields;
    at = comma + 1;
  }
}

bool parse_frame_number(std::string_view text, std::int64_t& frame) {
  if (text.empty() || text.size() > 15) return false;
  frame = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    frame = frame * 10 + (c - '0');
  }
  return true;
}

bool parse_seconds(std::string_view text, double& seconds) {
  if (text.empty() || text.size() > 40) return false;
  const std::string copy(text);
  char* end = nullptr;
  seconds = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size() && std::isfinite(seconds) &&
         (copy[0] == '-' || copy[0] == '+' || copy[0] == '.' || (copy[0] >= '0' && copy[0] <= '9'));
}

void warn(FrameTimes& times, std::int64_t number, const std::string& what,
          std::vector<std::string>& warnings) {
  ++times.bad_lines;
  if (times.warnings_given >= kShownFrameTimeWarnings) return;
  ++times.warnings_given;
  warnings.push_back(times.name + ": line " + std::to_string(number) + ": " + what);
}

}  // namespace

bool parse_utc(std::string_view text, UtcTime& time) {
  // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
  UtcTime t;
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text.back() != 'Z') {
    return false;
  }
  if (!digits(text, 0, 4, t.year) || !digits(text, 5, 2, t.month) || !digits(text, 8, 2, t.day) ||
      !digits(text, 11, 2, t.hour) || !digits(text, 14, 2, t.minute) ||
      !digits(text, 17, 2, t.second)) {
    return false;
  }
  const std::size_t rest = text.size() - 1 - 19;  // between the seconds and the Z
  if (rest > 0) {
    if (text[19] != '.' || rest < 2 || rest > 10) return false;
    t.fraction_digits = static_cast<int>(rest - 1);
    int fraction = 0;
    if (!digits(text, 20, rest - 1, fraction)) return false;
    t.nanos = fraction;
    for (int i = t.fraction_digits; i < 9; ++i) t.nanos *= 10;
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 60) {
    return false;
  }
  time = t;
  return true;
}

std::string format_utc(const UtcTime& t) {
  char text[48];
  int used = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month,
                           t.day, t.hour, t.minute, t.second);
  if (t.fraction_digits > 0) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, "%09d", static_cast<int>(t.nanos));
    used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), ".%.*s",
                          t.fraction_digits, fraction);
  }
  std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "Z");
  return text;
}

double seconds_between(const UtcTime& from, const UtcTime& to) {
  const auto whole = static_cast<double>(whole_seconds(to) - whole_seconds(from));
  return whole + static_cast<double>(to.nanos - from.nanos) * 1e-9;
}

void add_frame_times_line(FrameTimes& times, std::string_view line, std::int64_t number,
                          std::vector<std::string>& warnings) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!times.header_seen) {
    times.header_seen = true;
    if (line == "frame,utc,seconds") {
      times.layout = FrameTimesLayout::frame_utc_seconds;
    } else if (line == "frame,utc,seconds,file,file_frame") {
      // A recording of several files: each frame's file and number in it follow; not used here.
      times.layout = FrameTimesLayout::frame_utc_seconds;
      times.origin_columns = true;
    } else if (line == "frame,utc") {
      times.layout = FrameTimesLayout::frame_utc;
    } else {
      warnings.push_back(times.name + ": line " + std::to_string(number) +
                         ": not the header frame,utc,seconds or frame,utc; its times are not used");
    }
    return;
  }
  if (times.layout == FrameTimesLayout::unknown || line.empty()) return;
  if (line.size() > kMostFrameTimeLineBytes) {
    warn(times, number, "longer than " + std::to_string(kMostFrameTimeLineBytes) + " bytes",
         warnings);
    return;
  }
  const std::vector<std::string_view> fields = split_fields(line);
  const bool with_seconds = times.layout == FrameTimesLayout::frame_utc_seconds;
  const std::size_t expected = with_seconds ? 3 : 2;
  if (fields.size() != expected && !(times.origin_columns && fields.size() >= expected + 2)) {
    warn(times, number,
         std::to_string(fields.size()) + " fields where " +
             (with_seconds ? "frame,utc,seconds has 3" : "frame,utc has 2"),
         warnings);
    return;
  }
  FrameTimeEntry entry;
  if (!parse_frame_number(fields[0], entry.frame)) {
    warn(times, number, "frame \"" + std::string(fields[0]) + "\" is not a frame number", warnings);
    return;
  }
  if (!parse_utc(fields[1], entry.utc)) {
    warn(times, number,
         "utc \"" + std::string(fields[1]) + "\" is not a time like 2024-03-15T21:04:05.1234567Z",
         warnings);
    return;
  }
  if (with_seconds && !parse_seconds(fields[2], entry.seconds)) {
    warn(times, number, "seconds \"" + std::string(fields[2]) + "\" is not a number", warnings);
    return;
  }
  entry.line = number;
  times.entries.push_back(entry);
}

void settle_frame_times(FrameTimes& times, std::vector<std::string>& warnings) {
  std::vector<FrameTimeEntry>& e = times.entries;
  std::stable_sort(e.begin(), e.end(), [](const FrameTimeEntry& a, const FrameTimeEntry& b) {
    return a.frame < b.frame;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (kept > 0 && e[kept - 1].frame == e[i].frame) {
      warn(times, e[i].line,
           "frame " + std::to_string(e[i].frame) + " listed again (first at line " +
               std::to_string(e[kept - 1].line) + "); the first is kept",
           warnings);
      continue;
    }
    e[kept++] = e[i];
  }
  e.resize(kept);
  if (times.layout == FrameTimesLayout::frame_utc && !e.empty()) {
    const UtcTime start = e.front().utc;
    for (FrameTimeEntry& entry : e) entry.seconds = seconds_between(start, entry.utc);
  }
  if (times.bad_lines > times.warnings_given) {
    warnings.push_back(times.name + ": " + std::to_string(times.bad_lines - times.warnings_given) +
                       " more bad lines not shown");
  }
}

const FrameTimeEntry* find_frame_time(const FrameTimes& times, std::int64_t frame) {
  const auto it =
      std::lower_bound(times.entries.begin(), times.entries.end(), frame,
                       [](const FrameTimeEntry& entry, std::int64_t f) { return entry.frame < f; });
  return it != times.entries.end() && it->frame == frame ? &*it : nullptr;
}
