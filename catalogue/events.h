// Groups the measured reports of a run into events and gives each a verdict. Reports come in
// frame order, at most one per frame. First tracks: reports in consecutive frames (one unreported
// frame may lie between) whose centroids step more than 1 and up to 20 pixels per frame in a
// steady direction are one moving event, however fast. Then sites: reports in consecutive frames
// (one gap allowed) within 3 pixels of the event's first centroid are one event. An event is
// closed once the run has tested the frames that could extend it. Pure computation: no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "catalogue/classes.h"
#include "catalogue/measure.h"

inline constexpr double kSiteRadius = 3.0;      // pixels round an event's first centroid
inline constexpr double kLeastTrackStep = 1.0;  // pixels per frame a track step must exceed
inline constexpr double kMostTrackStep = 20.0;  // pixels per frame a track step may reach
// A following report may be this many frames after the last: the next frame, or one unreported
// frame between.
inline constexpr int kMostFrameStep = 2;
// Steady direction: each step within 30 degrees of the one before, at half to twice its speed.
inline constexpr double kLeastStepCosine = 0.8660254037844386;
inline constexpr double kMostSpeedRatio = 2.0;
// Mean-frame gradient, grey levels per pixel, from which a site counts as on an edge. Flash sites
// on the night side lie below 3, sunlit limb and terminator false alarms above 7.
inline constexpr double kSteepMeanGradient = 5.0;
// A field holds the excess when its flux is above this many times its error.
inline constexpr double kFieldSignificance = 3.0;

enum class FieldVerdict { both, odd, even };

// "both", "odd", "even".
const char* field_verdict_name(FieldVerdict fields);

// Which field lines hold the excess of `split`: one field when only that one is significant,
// both otherwise.
FieldVerdict field_verdict(const FieldSplit& split);

// One closed event. Positions in pixels (column, stored row), fluxes and peaks in grey levels.
struct CatalogueEvent {
  int number = 0;          // from 1, in the order the events started
  std::int64_t frame = 0;  // first frame
  std::int64_t last_report = 0;
  int frames = 1;   // duration: a moving event's frames from first to last report; a site's
                    // consecutive frames from its first whose flux is above 3 times its error
  int reports = 1;  // reported frames in the event
  double x = 0.0;   // first centroid
  double y = 0.0;
  double peak = 0.0;       // largest peak over the event's frames
  double flux = 0.0;       // summed over the event's frames
  double flux_err = 0.0;   // error of that sum
  FrameFlux first;         // the aperture in the first frame (snr = first.flux / first.flux_err)
  bool saturated = false;  // an aperture pixel is 255 in one of the event's frames
  double motion = 0.0;  // pixels per frame from first to last report along the reports; 0 for one
  double step_x = 0.0;  // a moving event's mean step per frame from its first report to its last
  double step_y = 0.0;  // (columns, rows); 0 for an event that stays
  FieldVerdict fields = FieldVerdict::both;  // of the first frame
  // Width of the first report (full width at half maximum, pixels; NaN when it has none): over
  // all rows, and over the rows of its brighter field.
  double fwhm = 0.0;
  double field_fwhm = 0.0;
  int pixel_x = 0;  // the first report's brightest pixel (counted for hot pixels)
  int pixel_y = 0;
  ClassSigns signs;  // moving and edge set here; the catalogue adds the others
  EventClass verdict = EventClass::flash;  // class_of(signs)
  bool end_ring = false;  // the first frame was tested in the recording's last ring
  int clusters = 0;       // compact clusters of the first frame's confirmed pixels (0: not counted)
  // The first report's light curve: frames frame - kCurveBefore .. frame + kCurveAfter at the
  // first centroid.
  std::array<FrameFlux, kCurveFrames> curve{};
};

// A report's place and its aperture, as an event keeps it.
struct TrackPoint {
  std::int64_t frame = 0;
  double x = 0.0;
  double y = 0.0;
  FrameFlux flux;
};

// An event still open; kept inside EventBook.
struct OpenEvent {
  int number = 0;
  bool moving = false;
  ReportMeasure first;
  // The first kKeptPoints reports; a site event that grows beyond them can no longer turn out to
  // be a track, so no more are needed.
  std::vector<TrackPoint> points;
  int reports = 0;
  TrackPoint last;
  double step_x = 0.0;  // last step of a moving event, pixels per frame
  double step_y = 0.0;
  double path = 0.0;      // summed distances between successive reports
  double flux_sum = 0.0;  // over the reports (the flux of a moving event)
  double variance_sum = 0.0;
  double peak_max = 0.0;
  bool saturated = false;
};
inline constexpr std::size_t kKeptPoints = 16;

// The open events of a run and the number the next one takes.
struct EventBook {
  std::vector<OpenEvent> open;
  int next_number = 1;
};

// Adds the report of frame report.frame (later than every report added before): it continues a
// moving event, turns an open site event into a moving one, joins a site, or starts an event.
void add_report(EventBook& book, const ReportMeasure& report);

// Closes the events that no report after frame `tested_frame` can extend (their last report is
// kMostFrameStep or more frames before it) and appends them to `closed` in the order they
// started.
void close_events(EventBook& book, std::int64_t tested_frame, std::vector<CatalogueEvent>& closed);

// Closes every open event (the run has ended), appending them to `closed` in the order they
// started.
void close_all_events(EventBook& book, std::vector<CatalogueEvent>& closed);

// A cluster of a frame the scatter test rejected, measured as a report (`cluster`, with its
// frame's cluster count), as a closed one-frame event of its own with the next number of `book`,
// its scattered sign set (and edge as for any site). It joins no other event.
CatalogueEvent scattered_event(EventBook& book, const ReportMeasure& cluster);
