// The flash catalogue: flashes.csv (one line per event) and lightcurves.csv (the flux at each
// event's site from 5 frames before its first frame to 10 after) in the run folder. Every report
// is measured from the ring when it is made; reports are grouped into events (catalogue/events.h)
// and an event's lines are appended, each flushed, as soon as the run has moved past the frames
// that could extend it, so an interrupted run keeps every closed event. The rest close when the
// run ends. Other code can be told of each closed event through an EventSink.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/events.h"
#include "formats/flashes_csv.h"
#include "formats/frame_times_csv.h"
#include "formats/lightcurves_csv.h"
#include "outputs/report_limit.h"
#include "run/run_output.h"
#include "sources/frame_source.h"

// Hears of every event as the catalogue closes it, after the event's lines are written.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // `event` is the closed event. `ring` is the ring as it stands when the event closes: during
  // the run the ring of the frame just tested (two after the event's last report), at the end of
  // the run the ring of the last frame tested; ring.frame_held tells which of the event's frames
  // it still holds (with Images_in_buffer 60 the 29 frames before the one tested, so every frame
  // of an event up to 28 frames long). Answers as a run output does: `lost` after saying what was
  // lost on the error stream, `fatal` with `error` to stop the run.
  virtual OutputStatus event_closed(const CatalogueEvent& event, const RingView& ring,
                                    std::string* error) = 0;
};

// An event's place on the Moon, as an EventPlacer gives it.
struct EventPlace {
  bool known = false;
  double lat = 0.0, lon = 0.0;          // selenographic, degrees
  double lat_err = 0.0, lon_err = 0.0;  // 1 sigma, degrees
};

// Gives each closed event its place before its line is written, and may change its verdict to
// off_moon or sunlit. `time` is the event's first frame's UTC, or nullptr.
class EventPlacer {
 public:
  virtual ~EventPlacer() = default;
  virtual EventPlace place(CatalogueEvent& event, const UtcTime* time) = 0;
};

struct FlashCatalogueSettings {
  std::filesystem::path run_dir;  // flashes.csv, lightcurves.csv and frame_times.csv are here
  int interlace = 0;              // the run's Interlace: 0 leaves the fields column empty
  std::FILE* out = nullptr;       // flushed before each message
  std::FILE* err = nullptr;       // warnings and lost files, one line each
  std::vector<EventSink*> sinks;  // told of each closed event, in this order; not owned
  // The recording's own clock, when the run reads a recording: its UTC time of a frame is used
  // before frame_times.csv's (which a run from a recording writes only at its end).
  std::function<FrameTime(std::int64_t frame)> source_times;
  // The optics' full width at half maximum in pixels (--psf); 0: measured on the limb in the
  // mean frame of the first report's ring.
  double psf = 0.0;
  EventPlacer* placer = nullptr;  // not owned; none: the place columns stay empty
  // --max-reports: events from limit->first_frame_past on have no report image (the report
  // column stays empty) and the sinks are not told of them. Not owned; none: no limit.
  const ReportLimit* report_limit = nullptr;
  // The file each frame lies in and its number there (the file,file_frame columns), after
  // frame_times.csv's in a run without source_times (a frame folder); none: empty.
  std::function<FrameOrigin(std::int64_t frame)> source_origins = nullptr;
};

// The work space the catalogue holds at once for a ring of `images_in_buffer` frames: the events
// still open, at most one report a frame within the frames the ring holds (an event closes once
// the run has moved past the frames that could extend it). What it keeps of every event written
// grows with the events, not with the frames, and is not counted here.
std::size_t flash_catalogue_bytes_needed(int images_in_buffer);

// Each event's class comes from class_of (catalogue/classes.h) with these signs added: sharp when
// its width (fwhm; of its brighter field when interlaced) is below kSharpFraction of the optics'
// width, hot_pixel when its brightest pixel is that of kLeastHotPixelEvents or more events that
// stay (not moving) in the run. An event is written as soon as it closes, with what is known
// then; at the end of the run the rows of earlier events at a pixel found hot later, and the rows
// written before their frame's time was known (a recording followed while it is written), are
// rewritten (flashes.csv through a temporary name).
//
// The catalogue output. At start() it reads frame_times.csv once when the run folder has one
// (bad lines are warned about on `err` and left out; the times then stay empty for their
// frames) and empties flashes.csv and lightcurves.csv to their header lines. A file that cannot
// be created or written is said on `err` once, no more is written to it, and the output answers
// `lost`: the run goes on and ends with exit status 1.
std::unique_ptr<RunOutput> make_flash_catalogue(FlashCatalogueSettings settings);
