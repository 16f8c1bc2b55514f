// The truth file of a demo recording and the rules for holding VESK's flash log against it.
//
// The truth file is CSV with the column names "frame,x,y,peak,width,kind" on its first line and
// one row per event per frame: x = column, y = stored row, peak = grey levels above the scene at
// the centre, width = full width at half maximum in pixels (1 for a single-pixel hit), kind one of
// flash, flash_fade, cosmic_ray, hot_pixel, glint.
//
// A flash is found when a report names its first frame within kFoundPixels of its centre; any
// other report is put down to an event of its frame within kNearPixels.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace demo {

inline constexpr double kFoundPixels = 2.0;
inline constexpr double kNearPixels = 5.0;

// Largest frame number in either file (VESK numbers frames up to 99999) and most rows read.
inline constexpr int kMaxTruthFrame = 99999;
inline constexpr std::size_t kMaxTruthRows = 1000000;

enum class EventKind {
  Flash,      // an impact flash: a Gaussian spot on the night side
  FlashFade,  // the second, fainter frame of a flash that fades over two frames
  CosmicRay,  // one pixel hit in one frame
  HotPixel,   // one pixel of the sensor flickering on for one frame
  Glint,      // a satellite glint: a point moving across the night side
};

struct TruthRow {
  int frame = 0;
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double width = 0.0;
  EventKind kind = EventKind::Flash;
};

// The first four columns of one flash_info.dat record.
struct FlashReport {
  int frame = 0;
  int pixels = 0;     // confirmed flash pixels
  double sample = 0;  // their mean column
  double line = 0;    // their mean stored row
};

// The name of `kind` in the truth file, e.g. "flash_fade".
const char* event_kind_name(EventKind kind);

// True for cosmic rays and hot pixels, which VESK must not report.
bool is_single_pixel_hit(EventKind kind);

// True when `report` names the frame of `row` and lies within `pixels` of its centre.
bool report_matches(const FlashReport& report, const TruthRow& row, double pixels);

// Reads the truth file `path` into `rows` (appended in file order). False with `error`, one line
// naming the file and the line, when it cannot be read, lacks the column names, holds a line that
// is not a row of six valid fields, or has more than kMaxTruthRows rows.
bool read_truth(const char* path, std::vector<TruthRow>& rows, std::string* error);

// Writes `rows` as the truth file `path` (through "<path>.part" and a rename). Positions and
// widths with two decimals, peaks with one. False with `error` when a write, close or rename fails.
bool write_truth(const char* path, std::span<const TruthRow> rows, std::string* error);

// Reads the records of VESK's flash log `path` (flash_info.dat) into `reports`. False with
// `error`, one line naming the file and the line, when it cannot be read, its first line is not
// the column names, a record's first four fields are not frame, pixels, sample and line, or it
// has more than kMaxTruthRows records.
bool read_flash_log(const char* path, std::vector<FlashReport>& reports, std::string* error);

}  // namespace demo
