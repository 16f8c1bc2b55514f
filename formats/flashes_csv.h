// flashes.csv: the flash catalogue of a run folder, one line per event. This module owns the
// table: its row, its column order, the header, the writer and the reader. A new column is a
// field of FlashRow and one entry appended to the column table in flashes_csv.cpp; the header,
// the writer and the reader follow from that table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kFlashesName = "flashes.csv";

// One line of flashes.csv. Optional fields are empty cells in the file.
struct FlashRow {
  int event = 0;                  // from 1, unique in the file
  std::int64_t frame = 0;         // first frame of the event
  int frames = 0;                 // duration in frames, at least 1
  std::string utc;                // ISO 8601 or empty
  std::optional<double> seconds;  // since the first frame of the recording, 6 decimals
  double x = 0.0;                 // column
  double y = 0.0;                 // row from the top
  double peak = 0.0;              // grey levels
  double flux = 0.0;              // grey levels
  double flux_err = 0.0;          // grey levels
  std::optional<double> snr;      // flux / flux_err; empty when flux_err is 0
  std::optional<double> m_inst;   // empty when flux <= 0
  bool saturated = false;
  double motion = 0.0;                // pixels per frame
  std::string fields;                 // "both", "odd", "even" or empty
  std::string event_class;            // a name of catalogue/classes.h: "flash", "moving", ...
  std::string report;                 // report image, relative to the run folder, or empty
  std::optional<double> fwhm;         // width of the first report, pixels
  std::optional<double> optics_fwhm;  // the optics' width it was judged against, pixels
  // The ring the event's first frame was tested in: "full" (N/2 frames after it), "end" (one of
  // the recording's last N/2 frames, tested in its last ring), or empty in an earlier version.
  std::string ring;
  // Selenographic place and its 1-sigma errors, degrees (3 decimals); empty when unknown.
  std::optional<double> lat, lon, lat_err, lon_err;
  // Compact clusters of the confirmed pixels of the event's first frame: for a scattered row
  // those of the frame the scatter test rejected (each of them a row), for other rows those of
  // the accepted report (1 for a single flash); empty when not counted.
  std::optional<int> clusters;
  // The recording file the first frame lies in (as named on the command line; a frame folder's
  // own frame file, "BMP_RAW/a00042.bmp") and the frame's number in it, from 0; empty when not
  // known (an earlier version).
  std::string file;
  std::optional<std::int64_t> file_frame;
};

// The columns in file order.
std::span<const std::string_view> flashes_columns();

// The header line, "event,frame,...\n".
std::string flashes_header();

// The line of `row`, ending in "\n": numbers with 2 decimals (seconds with 6), a value that is
// not finite left empty.
std::string flashes_line(const FlashRow& row);

// Largest file and number of events read.
inline constexpr std::size_t kMostFlashesBytes = std::size_t{64} << 20;
inline constexpr std::size_t kMostFlashRows = 1000000;

// Reads the whole file at `path` (at most 64 MiB, lines of at most 4096 bytes, "\r\n" taken as
// "\n"), checks the header and every cell, and fills `rows` in file order. The header may be
// that of an earlier version (the first 17 columns or more, in order); the columns it lacks keep
// FlashRow's defaults. Event numbers are unique. False with `error` "<path>:<line>: column
// <name>: <what is wrong>" (or "<path>: ..." for the file as a whole) at the first bad line;
// `rows` is then incomplete.
bool read_flashes_csv(const std::filesystem::path& path, std::vector<FlashRow>& rows,
                      std::string* error);
// The same for the text of a file already read, named `name` in messages.
bool parse_flashes_csv(const std::string& name, std::string_view text, std::vector<FlashRow>& rows,
                       std::string* error);
