// Times of the frames of a run: UTC times in ISO 8601 ("2024-03-15T21:04:05.1234567Z") and the
// table of a run folder's frame_times.csv, whose header is `frame,utc,seconds` (or the older
// `frame,utc`). The lines are parsed here; the file is read by its caller. Input is hostile: every
// field is checked, bad lines are warned about and left out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

enum class FrameTimesLayout {
  unknown,            // no header seen yet, or a header not understood: no line is taken
  frame_utc,          // frame,utc
  frame_utc_seconds,  // frame,utc,seconds
};

struct FrameTimeEntry {
  std::int64_t frame = 0;
  UtcTime utc;
  double seconds = 0.0;   // since the first frame of the recording
  std::int64_t line = 0;  // the line of the file it came from
};

// Lines longer than this are bad lines.
inline constexpr std::size_t kMostFrameTimeLineBytes = 200;
// Bad lines warned about one by one; the rest are counted in one closing line.
inline constexpr int kShownFrameTimeWarnings = 5;

// The table as it is read.
struct FrameTimes {
  std::string name;  // the file as messages name it
  FrameTimesLayout layout = FrameTimesLayout::unknown;
  bool header_seen = false;
  bool origin_columns = false;  // file,file_frame follow the times (a recording of several files)
  std::vector<FrameTimeEntry> entries;  // sorted by frame, one per frame, once settled
  int warnings_given = 0;
  std::int64_t bad_lines = 0;
};

// Takes line `number` (counted from 1, without its line end; a trailing '\r' is ignored) of
// `times.name`. Line 1 is the header: `frame,utc,seconds` or `frame,utc`, otherwise the file is
// not used and one warning says so. A later line that is not `frame,utc[,seconds]` with a
// frame number (0 or more), a UTC time and a finite number of seconds is left out with a warning
// "<name>: line <number>: <what is wrong>" appended to `warnings` (the first
// kShownFrameTimeWarnings only). Empty lines are skipped.
void add_frame_times_line(FrameTimes& times, std::string_view line, std::int64_t number,
                          std::vector<std::string>& warnings);

// After the last line: sorts the entries by frame, keeps the first line of a frame listed twice
// (a warning like a bad line's), and for a two-column table gives each entry the seconds since
// the first frame listed. Appends "<name>: <n> more bad lines not shown" when warnings were held
// back.
void settle_frame_times(FrameTimes& times, std::vector<std::string>& warnings);

// The entry of frame `frame` in a settled table, or nullptr.
const FrameTimeEntry* find_frame_time(const FrameTimes& times, std::int64_t frame);
