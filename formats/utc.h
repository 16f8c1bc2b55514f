// UTC times as the run folder's files write them: ISO 8601 text ("2024-03-15T21:04:05.1234567Z")
// read into calendar fields that keep the fraction digits as written, and 100-ns ticks since
// 0001-01-01 (the SER clock) with their text forms. Every UTC text of the program is parsed and
// printed here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::int64_t kTicksPerSecond = 10000000;
inline constexpr std::int64_t kTicksPerMinute = 60 * kTicksPerSecond;

// A UTC time as written: calendar fields and the fraction of the second with its digits.
struct UtcTime {
  int year = 1970;  // 0 to 9999
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;           // 0 to 60 (a leap second)
  std::int32_t nanos = 0;   // fraction of the second in nanoseconds
  int fraction_digits = 0;  // 0 to 9 digits after the decimal point as written
};

// Parses "YYYY-MM-DDTHH:MM:SS[.f]Z" (1 to 9 fraction digits, a real calendar day). False when
// `text` is anything else.
bool parse_utc(std::string_view text, UtcTime& time);

// The time back as text, with the fraction digits it was written with.
std::string format_utc(const UtcTime& time);

// Seconds from `from` to `to` (negative when `to` is earlier); a leap second counts as the
// second that follows it.
double seconds_between(const UtcTime& from, const UtcTime& to);

// `ticks` since 0001-01-01 as ISO 8601 UTC text with seven decimals, e.g.
// "2024-03-15T21:04:05.1234567Z"; empty for 0, negative values and years past 9999.
std::string utc_text(std::int64_t ticks);

// Reads "YYYY-MM-DDTHH:MM:SS" with an optional fraction of up to seven digits and an optional
// "Z" as a UTC time in ticks since 0001-01-01. False when `text` has another form or a field is
// out of range (year from 1, month 1-12, day within the month, hour 0-23, minute and second
// 0-59).
bool parse_utc_text(std::string_view text, std::int64_t& ticks);

// The year of a time in ticks since 0001-01-01 (1 to 9999 for valid times).
int utc_year(std::int64_t ticks);

// Ticks since 0001-01-01 of midnight UTC at the start of the given day (a valid date from year 1).
std::int64_t utc_day_ticks(int year, int month, int day);

// A span of `ticks` as seconds with seven decimals, e.g. "0.0400000" or "-1.5000000".
std::string seconds_text(std::int64_t ticks);

// The system clock's time now, to the second: "2024-03-15T21:04:05Z".
std::string utc_now_text();
