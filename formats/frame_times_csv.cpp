#include "formats/frame_times_csv.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "formats/csv.h"
#include "imaging/file_io.h"

namespace {

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

std::string frame_times_line(std::int64_t frame, std::string_view utc,
                             std::optional<std::int64_t> since_first) {
  std::string line = std::to_string(frame) + "," + std::string(utc) + ",";
  if (since_first) line += seconds_text(*since_first);
  return line + "\n";
}

std::string frame_times_header() {
  return "frame,utc,seconds,source,file,file_frame\n";
}

std::string frame_end_cells(std::string_view source, std::string_view file,
                            std::int64_t file_frame) {
  std::string cells(1, ',');
  cells += source;
  cells += ',';
  if (file.empty()) return cells + ",";
  return cells + text_cell(file) + "," + std::to_string(file_frame);
}

std::string frame_times_csv(std::span<const FrameTimesRow> times, std::string_view file,
                            std::int64_t first_file_frame) {
  std::string csv = frame_times_header();
  for (std::size_t i = 0; i < times.size(); ++i) {
    const auto frame = static_cast<std::int64_t>(i);
    std::string line =
        frame_times_line(frame, times[i].utc ? utc_text(*times[i].utc) : "", times[i].since_first);
    line.insert(line.size() - 1, frame_end_cells(times[i].source, file, first_file_frame + frame));
    csv += line;
  }
  return csv;
}

void add_frame_times_line(FrameTimes& times, std::string_view line, std::int64_t number,
                          std::vector<std::string>& warnings) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!times.header_seen) {
    times.header_seen = true;
    if (line == "frame,utc,seconds" || line == "frame,utc,seconds,source") {
      times.layout = FrameTimesLayout::frame_utc_seconds;
      times.source_column = line != "frame,utc,seconds";
    } else if (line == "frame,utc,seconds,source,file,file_frame" ||
               line == "frame,utc,seconds,file,file_frame,source" ||
               line == "frame,utc,seconds,file,file_frame") {
      // Each frame's file and number in it are there too; the times are what is read here, from
      // the first three cells.
      times.layout = FrameTimesLayout::frame_utc_seconds;
      times.origin_columns = true;
      times.source_column = line != "frame,utc,seconds,file,file_frame";
      times.source_before_origin = line == "frame,utc,seconds,source,file,file_frame";
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
  const std::size_t expected = (with_seconds ? 3 : 2) + (times.source_column ? 1 : 0);
  if (fields.size() != expected && !(times.origin_columns && fields.size() >= expected + 2)) {
    const char* layout = !with_seconds         ? "frame,utc has 2"
                         : times.source_column ? "frame,utc,seconds,source has 4"
                                               : "frame,utc,seconds has 3";
    warn(times, number, std::to_string(fields.size()) + " fields where " + layout, warnings);
    return;
  }
  FrameTimeEntry entry;
  if (!parse_frame_number(fields[0], entry.frame)) {
    warn(times, number, "frame \"" + std::string(fields[0]) + "\" is not a frame number", warnings);
    return;
  }
  // A frame whose seconds alone are known (a video without a start time) has no UTC.
  entry.utc_known = !(fields[1].empty() && with_seconds && !fields[2].empty());
  if (entry.utc_known && !parse_utc(fields[1], entry.utc)) {
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
  if (times.origin_columns) {
    // The file name may hold commas (quoted): it is every field between the source and the
    // file frame (between the seconds and the file frame, the source last, in the older order).
    const bool source_last = times.source_column && !times.source_before_origin;
    const std::size_t from = times.source_before_origin ? 4 : 3;
    const std::size_t frame_at = fields.size() - (source_last ? 2 : 1);
    std::string cell;
    for (std::size_t i = from; i < frame_at; ++i) {
      if (i > from) cell += ',';
      cell += fields[i];
    }
    std::int64_t file_frame = 0;
    if (!cell.empty() && unquote_text_cell(cell, entry.file) &&
        parse_frame_number(fields[frame_at], file_frame)) {
      entry.file_frame = file_frame;
    } else {
      entry.file.clear();
    }
  }
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

bool read_frame_times_csv(const std::filesystem::path& dir, FrameTimes& times,
                          std::vector<std::string>& warnings, std::string* error) {
  times = FrameTimes{};
  times.name = kFrameTimesName;
  std::error_code ec;
  const std::filesystem::path path = dir / kFrameTimesName;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return true;
  FileHandle file = open_text_to_read(dir, kFrameTimesName, error);
  if (!file) return false;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMostFrameTimesBytes) {
    *error = std::string(kFrameTimesName) + ": larger than " +
             std::to_string(kMostFrameTimesBytes >> 20) + " MiB";
    return false;
  }
  char text[kMostFrameTimeLineBytes + 3];
  std::int64_t number = 0;
  while (std::fgets(text, sizeof text, file.get()) != nullptr) {
    ++number;
    std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') {
      --length;
    } else if (length == sizeof text - 1) {
      // Longer than any good line: the rest is passed over, and the parser sees it too long.
      int c = 0;
      while ((c = std::fgetc(file.get())) != EOF && c != '\n') {
      }
    }
    add_frame_times_line(times, std::string_view(text, length), number, warnings);
  }
  if (std::ferror(file.get())) {
    warnings.push_back(std::string(kFrameTimesName) + ": read failed after line " +
                       std::to_string(number));
  }
  settle_frame_times(times, warnings);
  return true;
}

const FrameTimeEntry* find_frame_time(const FrameTimes& times, std::int64_t frame) {
  const auto it =
      std::lower_bound(times.entries.begin(), times.entries.end(), frame,
                       [](const FrameTimeEntry& entry, std::int64_t f) { return entry.frame < f; });
  return it != times.entries.end() && it->frame == frame ? &*it : nullptr;
}
