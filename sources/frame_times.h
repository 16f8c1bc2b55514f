// Frame times as 100-ns ticks (the SER scale: ticks since 0001-01-01 00:00 UTC for a time of day,
// plain ticks for a span), their text forms, and the frame_times.csv that vesk-frames and vesk
// write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sources/frame_source.h"

inline constexpr std::int64_t kTicksPerSecond = 10000000;
inline constexpr std::int64_t kTicksPerMinute = 60 * kTicksPerSecond;

// `ticks` since 0001-01-01 as ISO 8601 UTC text with seven decimals, e.g.
// "2024-03-15T21:04:05.1234567Z"; empty for 0, negative values and years past 9999.
std::string utc_text(std::int64_t ticks);

// Reads "YYYY-MM-DDTHH:MM:SS" with an optional fraction of up to seven digits and an optional
// "Z" as a UTC time in ticks since 0001-01-01. False when `text` has another form or a field is
// out of range (month 1-12, day within the month, hour 0-23, minute and second 0-59).
bool parse_utc_text(const std::string& text, std::int64_t& ticks);

// The year of a time in ticks since 0001-01-01 (1 to 9999 for valid times).
int utc_year(std::int64_t ticks);

// A span of `ticks` as seconds with seven decimals, e.g. "0.0400000" or "-1.5000000".
std::string seconds_text(std::int64_t ticks);

// One converted frame's times: its UTC (ticks since 0001-01-01) when known, and its time since
// VESK's frame 0 (ticks) when known.
struct FrameTimesRow {
  std::optional<std::int64_t> utc;
  std::optional<std::int64_t> since_first;
};

// The first line of frame_times.csv.
inline constexpr const char* kFrameTimesHeader = "frame,utc,seconds\n";

// The text of frame_times.csv: kFrameTimesHeader, then "N,UTC,SECONDS" for each frame from 0, an
// unknown field left empty.
std::string frame_times_csv(std::span<const FrameTimesRow> times);

// The line of frame_times.csv for frame `frame` with `time` as a frame source gives it: the same
// text as frame_times_csv for the same times (both fields empty when the time is unknown).
std::string frame_times_line(std::int64_t frame, const FrameTime& time);

// The columns a recording of several files adds at the end of frame_times.csv and flashes.csv.
inline constexpr const char* kOriginColumns = ",file,file_frame";

// ",FILE,N" for `origin` (the file name quoted as CSV when it holds a comma, a quote or a line
// end), or "" when the frame has no origin (a recording of one file).
std::string origin_cells(const FrameOrigin& origin);
