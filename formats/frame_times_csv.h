// frame_times.csv: the UTC time of each frame of a run and its seconds since frame 0, written by
// vesk-frames and by vesk reading a recording; read by the flash catalogue. Header
// `frame,utc,seconds,source,file,file_frame`: each frame's recording file as named on the command
// line and its number in that file, from 0 (the older `frame,utc,seconds,file,file_frame,source`,
// `frame,utc,seconds,source`, `frame,utc,seconds` and `frame,utc` are read too). A frame's UTC may
// be empty when only its seconds are known (a video without --start-utc). This module owns the
// table: rows, header, writer and the reader, whose policy is to warn about a bad line and skip it
// (the times of its frame then stay empty), never to stop the run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/utc.h"

inline constexpr const char* kFrameTimesName = "frame_times.csv";
// The name it is written under until complete.
inline constexpr const char* kFrameTimesPartName = "frame_times.csv.part";

// ---- writing ----------------------------------------------------------------------------------

// The first columns of frame_times.csv (the whole header of its oldest three-column form).
inline constexpr const char* kFrameTimesHeader = "frame,utc,seconds\n";

// Where a frame's times come from, the `source` column: the SER timestamp trailer, the video's
// presentation times, a frame rate (--fps) counted from a start time, or a FITS header's
// DATE-OBS of each frame.
inline constexpr const char* kTimeFromTrailer = "trailer";
inline constexpr const char* kTimeFromPts = "pts";
inline constexpr const char* kTimeFromFps = "fps";
inline constexpr const char* kTimeFromHeader = "header";
// A FITS cube's time table: a binary table with a column TIME, seconds after DATE-OBS.
inline constexpr const char* kTimeFromTable = "table";

// The header line: "frame,utc,seconds,source,file,file_frame\n".
std::string frame_times_header();

// One frame's times: its UTC (ticks since 0001-01-01) when known, its time since frame 0
// (ticks) when known, and where they come from (one of the kTimeFrom names; empty when unknown).
struct FrameTimesRow {
  std::optional<std::int64_t> utc;
  std::optional<std::int64_t> since_first;
  std::string_view source;
};

// The text of frame_times.csv of frames of one file: frame_times_header(), then
// "N,UTC,SECONDS,SOURCE,FILE,FILE_FRAME" for each frame N from 0, an unknown field left empty;
// frame N is frame first_file_frame + N of `file`.
std::string frame_times_csv(std::span<const FrameTimesRow> times, std::string_view file,
                            std::int64_t first_file_frame);

// The line of frame `frame`: `utc` as given (ISO 8601 or empty) and the span `since_first` as
// seconds with seven decimals (empty when not known).
std::string frame_times_line(std::int64_t frame, std::string_view utc,
                             std::optional<std::int64_t> since_first);

// ",SOURCE,FILE,N": the cells after the seconds, the file name as text_cell writes it
// (formats/csv.h: control bytes escaped, quoted when it holds a comma or a quote); FILE and N
// are empty when `file` is.
std::string frame_end_cells(std::string_view source, std::string_view file,
                            std::int64_t file_frame);

// ---- reading ----------------------------------------------------------------------------------

enum class FrameTimesLayout {
  unknown,            // no header seen yet, or a header not understood: no line is taken
  frame_utc,          // frame,utc
  frame_utc_seconds,  // frame,utc,seconds
};

struct FrameTimeEntry {
  std::int64_t frame = 0;
  bool utc_known = true;  // false: only the seconds are known (the utc cell was empty)
  UtcTime utc;
  double seconds = 0.0;   // since the first frame of the recording
  std::int64_t line = 0;  // the line of the file it came from
  // The frame's recording file and its number there, when the table gives them; else "" and -1.
  std::string file;
  std::int64_t file_frame = -1;
};

// Lines longer than this are bad lines.
inline constexpr std::size_t kMostFrameTimeLineBytes = 200;
// Bad lines warned about one by one; the rest are counted in one closing line.
inline constexpr int kShownFrameTimeWarnings = 5;
// A file larger than this is not read (a night of 10^6 frames takes about 45 MB).
inline constexpr std::uintmax_t kMostFrameTimesBytes = 64u << 20;

// The table as it is read.
struct FrameTimes {
  std::string name;  // the file as messages name it
  FrameTimesLayout layout = FrameTimesLayout::unknown;
  bool header_seen = false;
  bool origin_columns = false;          // file,file_frame end each line
  bool source_column = false;           // source follows the seconds
  bool source_before_origin = false;    // source comes before file,file_frame (the newer order)
  std::vector<FrameTimeEntry> entries;  // sorted by frame, one per frame, once settled
  int warnings_given = 0;
  std::int64_t bad_lines = 0;
};

// Takes line `number` (counted from 1, without its line end; a trailing '\r' is ignored) of
// `times.name`. Line 1 is the header: `frame,utc,seconds` (with file,file_frame and source after
// it, or either) or `frame,utc`, otherwise the file is not used and one warning says so. A later
// line that is not `frame,utc[,seconds]` with a frame number (0 or more), a UTC time (or an empty
// one with its seconds given) and a finite number of seconds is left out with a warning
// "<name>: line <number>: <column> ...: <what is wrong>" appended to `warnings` (the first
// kShownFrameTimeWarnings only). Empty lines are skipped.
void add_frame_times_line(FrameTimes& times, std::string_view line, std::int64_t number,
                          std::vector<std::string>& warnings);

// After the last line: sorts the entries by frame, keeps the first line of a frame listed twice
// (a warning like a bad line's), and for a two-column table gives each entry the seconds since
// the first frame listed. Appends "<name>: <n> more bad lines not shown" when warnings were held
// back.
void settle_frame_times(FrameTimes& times, std::vector<std::string>& warnings);

// Reads `dir`/frame_times.csv whole into a settled `times`, its bad lines warned about in
// `warnings`. A missing file is no table and no warning. False with `error` naming the file when
// it cannot be opened or is larger than kMostFrameTimesBytes (`times` then holds nothing).
bool read_frame_times_csv(const std::filesystem::path& dir, FrameTimes& times,
                          std::vector<std::string>& warnings, std::string* error);

// The entry of frame `frame` in a settled table, or nullptr.
const FrameTimeEntry* find_frame_time(const FrameTimes& times, std::int64_t frame);
