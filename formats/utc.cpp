#include "formats/utc.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

// Largest time in ticks: 9999-12-31 23:59:59.9999999.
constexpr std::int64_t kLastTick = 3155378975999999999;
constexpr std::int64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr std::int64_t kDaysBefore1970 = 719162;  // 0001-01-01 to 1970-01-01

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

bool parse_utc_text(std::string_view text, std::int64_t& ticks) {
  // The same form as parse_utc's with the "Z" optional, at most seven fraction digits (the
  // ticks' resolution) and no leap second (ticks have none).
  std::string with_z(text);
  if (with_z.empty() || with_z.back() != 'Z') with_z += 'Z';
  UtcTime t;
  if (!parse_utc(with_z, t) || t.year < 1 || t.fraction_digits > 7 || t.second > 59) return false;
  ticks = utc_day_ticks(t.year, t.month, t.day) +
          (std::int64_t{t.hour} * 3600 + t.minute * 60 + t.second) * kTicksPerSecond +
          t.nanos / 100;
  return true;
}

int utc_year(std::int64_t ticks) {
  const std::chrono::year_month_day date{
      std::chrono::sys_days{std::chrono::days{ticks / kTicksPerDay - kDaysBefore1970}}};
  return int{date.year()};
}

std::int64_t utc_day_ticks(int year, int month, int day) {
  return (days_from_civil(year, month, day) + kDaysBefore1970) * kTicksPerDay;
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

std::string utc_now_text() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}
