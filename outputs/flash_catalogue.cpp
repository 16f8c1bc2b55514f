#include "outputs/flash_catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "base/checked_math.h"
#include "base/message.h"
#include "catalogue/clusters.h"
#include "catalogue/measure.h"
#include "catalogue/sharpness.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace {

FlashRow flashes_row(const CatalogueEvent& e, const FrameTimeEntry* time, int interlace,
                     double optics_fwhm) {
  FlashRow row;
  row.event = e.number;
  row.frame = e.frame;
  row.frames = e.frames;
  if (time != nullptr) {
    if (time->utc_known) row.utc = format_utc(time->utc);
    row.seconds = time->seconds;
  }
  row.x = e.x;
  row.y = e.y;
  row.peak = e.peak;
  row.flux = e.flux;
  row.flux_err = e.flux_err;
  if (e.first.flux_err > 0.0) row.snr = e.first.flux / e.first.flux_err;
  if (e.flux > 0.0) row.m_inst = -2.5 * std::log10(e.flux);
  row.saturated = e.saturated;
  row.motion = e.motion;
  if (interlace != 0) row.fields = field_verdict_name(e.fields);
  row.event_class = event_class_name(e.verdict);
  row.ring = e.end_ring ? "end" : "full";
  if (e.clusters > 0) row.clusters = e.clusters;
  // A frame the scatter test rejected has no report image.
  if (!e.signs.scattered && e.frame <= std::numeric_limits<int>::max()) {
    row.report = numbered_file_name(kReportPattern, static_cast<int>(e.frame));
  }
  const double width = interlace != 0 ? e.field_fwhm : e.fwhm;
  if (std::isfinite(width)) row.fwhm = width;
  if (std::isfinite(optics_fwhm)) row.optics_fwhm = optics_fwhm;
  return row;
}

LightCurveRow light_curve_row(const CatalogueEvent& e, int k) {
  const int offset = k - kCurveBefore;
  const FrameFlux& f = e.curve[static_cast<std::size_t>(k)];
  LightCurveRow row;
  row.event = e.number;
  row.frame = e.frame + offset;
  row.offset = offset;
  if (f.held) {
    row.flux = f.flux;
    row.flux_err = f.flux_err;
    row.peak = f.peak;
  }
  return row;
}

// One of the catalogue's files: open from start() until it fails or the run ends.
struct CatalogueFile {
  const char* name;
  FileHandle file;
};

class FlashCatalogue final : public RunOutput {
 public:
  explicit FlashCatalogue(FlashCatalogueSettings settings) : settings_(std::move(settings)) {}

  OutputStatus start(std::string*) override {
    read_frame_times();
    book_ = EventBook{};
    optics_known_ = settings_.psf > 0.0;
    optics_fwhm_ = optics_known_ ? settings_.psf : std::numeric_limits<double>::quiet_NaN();
    pixel_events_.clear();
    written_.clear();
    scattered_frames_ = 0;
    OutputStatus status = OutputStatus::ok;
    for (CatalogueFile* f : {&flashes_, &curves_}) {
      std::string error;
      f->file = open_file_in(settings_.run_dir, f->name, "w", &error);
      if (!f->file) {
        say(error);
        status = OutputStatus::lost;
        continue;
      }
      if (!write_line(*f, f == &flashes_ ? flashes_header() : lightcurves_header())) {
        status = OutputStatus::lost;
      }
    }
    return status;
  }

  OutputStatus report(const ReportView& report, std::string*) override {
    const FlashMeasurement& m = report.result.measurement;
    if (!optics_known_) {
      optics_fwhm_ = settings_.psf > 0.0 ? settings_.psf : edge_fwhm(report.ring);
      optics_known_ = true;
    }
    ReportMeasure measure =
        measure_report(report.ring, static_cast<double>(m.sample), static_cast<double>(m.line));
    measure.clusters = static_cast<int>(
        compact_clusters(std::span<const PixelPosition>(
                             report.result.pixels.data(),
                             static_cast<std::size_t>(report.result.flash_count)))
            .size());
    add_report(book_, measure);
    return OutputStatus::ok;
  }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView& ring,
                            std::string* error) override {
    last_ring_ = ring;
    ring_seen_ = true;
    closed_.clear();
    close_events(book_, frame.target_frame, closed_);
    if (!frame.rejected.empty()) add_scattered(frame, ring);
    return hand_out(closed_, error);
  }

  OutputStatus finish(const RunEnd&, std::string* error) override {
    closed_.clear();
    close_all_events(book_, closed_);
    if (scattered_frames_ > kNamedScatteredFrames) {
      const std::int64_t more = scattered_frames_ - kNamedScatteredFrames;
      say(std::to_string(more) + (more == 1 ? " more frame" : " more frames") +
          " whose candidate pixels the scatter test rejected, not named one by one; their "
          "clusters are scattered rows in flashes.csv");
    }
    OutputStatus status = hand_out(closed_, error);
    if (status == OutputStatus::fatal) return status;
    const bool flashes_whole = static_cast<bool>(flashes_.file);
    for (CatalogueFile* f : {&flashes_, &curves_}) {
      std::string close_error;
      if (!close_file(f->file, f->name, &close_error)) {
        say(close_error);
        if (status == OutputStatus::ok) status = OutputStatus::lost;
      } else if (f == &flashes_ && flashes_whole && !reclass_hot_pixels()) {
        if (status == OutputStatus::ok) status = OutputStatus::lost;
      }
    }
    return status;
  }

 private:
  void say(const std::string& message) { print_message(settings_.out, settings_.err, message); }

  // A frame the scatter test rejected: each compact cluster of its confirmed pixels measured as
  // a report and added to the events to write as a scattered row; the frame said for the first
  // kNamedScatteredFrames such frames, the rest counted for the end of the run.
  void add_scattered(const TestedFrame& frame, const RingView& ring) {
    const std::vector<PixelCluster> clusters = compact_clusters(frame.rejected);
    const int count = static_cast<int>(clusters.size());
    for (const PixelCluster& c : clusters) {
      ReportMeasure measure = measure_report(ring, c.x, c.y);
      measure.clusters = count;
      closed_.push_back(scattered_event(book_, measure));
    }
    if (++scattered_frames_ <= kNamedScatteredFrames) {
      say("frame " + std::to_string(frame.target_frame) +
          ": the scatter test rejected its candidate pixels, " + std::to_string(count) +
          (count == 1 ? " cluster" : " clusters") +
          " (Flash_sd_sep); each is a scattered row in flashes.csv");
    }
  }

  // Appends `line` and flushes it. False (said once, the file then given up) when that fails.
  bool write_line(CatalogueFile& f, const std::string& line) {
    if (!f.file) return false;
    errno = 0;
    if (std::fputs(line.c_str(), f.file.get()) != EOF && std::fflush(f.file.get()) == 0) {
      return true;
    }
    say(errno_message(f.name, "write failed"));
    f.file.reset();  // said here; closing it must not say it again
    return false;
  }

  // Writes the lines of `events` and tells the sinks.
  OutputStatus hand_out(std::vector<CatalogueEvent>& events, std::string* error) {
    OutputStatus status = OutputStatus::ok;
    for (const CatalogueEvent& closed : events) {
      CatalogueEvent e = with_signs(closed);
      if (e.signs.moving && ring_seen_) follow_track(e);
      FrameTimeEntry from_source;
      const FrameTimeEntry* time = frame_time_of(e.frame, from_source);
      // The place first: it may add the off_moon or sunlit sign to the class.
      const EventPlace place =
          settings_.placer != nullptr
              ? settings_.placer->place(e,
                                        time != nullptr && time->utc_known ? &time->utc : nullptr)
              : EventPlace{};
      FlashRow row = flashes_row(e, time, settings_.interlace, optics_fwhm_);
      const FrameOrigin origin = frame_origin_of(e.frame);
      if (!origin.file.empty()) {
        row.file = origin.file;
        row.file_frame = origin.file_frame;
      }
      const bool pictures = has_pictures(settings_.report_limit, e.frame);
      if (!pictures) row.report.clear();
      if (place.known) {
        row.lat = place.lat;
        row.lon = place.lon;
        row.lat_err = place.lat_err;
        row.lon_err = place.lon_err;
      }
      bool written = write_line(flashes_, flashes_line(row));
      for (int k = 0; k < kCurveFrames; ++k) {
        written = write_line(curves_, lightcurves_line(light_curve_row(e, k))) && written;
      }
      // A file given up earlier loses this event too, without a second message.
      if (!written) status = OutputStatus::lost;
      for (EventSink* sink : settings_.sinks) {
        if (!ring_seen_ || !pictures) break;
        const OutputStatus told = sink->event_closed(e, last_ring_, error);
        if (told == OutputStatus::fatal) return told;
        if (told == OutputStatus::lost) status = OutputStatus::lost;
      }
    }
    return status;
  }

  // A moving event's light curve along its track: offset k measured at the first centroid moved
  // k steps, in the ring as it stands when the event closes, for the frames it holds (with
  // Images_in_buffer 60 every offset of a track up to 18 frames long). Offset 0 keeps the first
  // report's measure (on the track by definition); other frames the ring no longer holds are
  // left empty rather than measured off the track.
  void follow_track(CatalogueEvent& e) const {
    for (int k = 0; k < kCurveFrames; ++k) {
      const int offset = k - kCurveBefore;
      if (offset == 0) continue;
      const std::int64_t frame = e.frame + offset;
      FrameFlux& f = e.curve[static_cast<std::size_t>(k)];
      f = last_ring_.frame_held(frame)
              ? measure_aperture(last_ring_, frame, e.x + e.step_x * offset,
                                 e.y + e.step_y * offset)
              : FrameFlux{};
    }
  }

  // `closed` with the signs the catalogue adds to those of its reports: sharp against the optics'
  // width, hot_pixel when its pixel has reported in kLeastHotPixelEvents events by now; and its
  // class from them. Kept for the end of the run.
  CatalogueEvent with_signs(const CatalogueEvent& closed) {
    CatalogueEvent e = closed;
    const double width = settings_.interlace != 0 ? e.field_fwhm : e.fwhm;
    e.signs.sharp = std::isfinite(optics_fwhm_) && width < kSharpFraction * optics_fwhm_;
    if (!e.signs.moving) {
      const int at_pixel = ++pixel_events_[{e.pixel_x, e.pixel_y}];
      e.signs.hot_pixel = at_pixel >= kLeastHotPixelEvents;
    }
    e.verdict = class_of(e.signs);
    FrameTimeEntry from_source;
    written_.push_back({e.number, e.frame, e.pixel_x, e.pixel_y, e.signs,
                        frame_time_of(e.frame, from_source) != nullptr});
    return e;
  }

  // At the end of the run: the rows of events at a pixel found hot after they were written get
  // their class again, and rows written before their frame's time was known (a recording
  // followed while it is written gets its times when it is closed) get it now; flashes.csv is
  // rewritten whole through a temporary name when any changes. False (said on `err`) when that
  // fails; flashes.csv then stays as it was.
  bool reclass_hot_pixels() {
    std::map<int, EventClass> changed;
    for (const WrittenEvent& w : written_) {
      if (w.signs.moving || w.signs.hot_pixel ||
          pixel_events_[{w.pixel_x, w.pixel_y}] < kLeastHotPixelEvents) {
        continue;
      }
      ClassSigns signs = w.signs;
      signs.hot_pixel = true;
      if (class_of(signs) != class_of(w.signs)) changed[w.number] = class_of(signs);
    }
    bool timed_later = false;
    for (const WrittenEvent& w : written_) {
      FrameTimeEntry from_source;
      if (!w.timed && frame_time_of(w.frame, from_source) != nullptr) timed_later = true;
    }
    if (changed.empty() && !timed_later) return true;
    // Read back through the format's own reader: every value it wrote comes back as written.
    std::vector<FlashRow> rows;
    std::string error;
    if (!read_flashes_csv(settings_.run_dir / kFlashesName, rows, &error)) {
      say(error + "; its hot pixels are not marked");
      return false;
    }
    std::string text = flashes_header();
    for (FlashRow& row : rows) {
      const auto it = changed.find(row.event);
      if (it != changed.end()) row.event_class = event_class_name(it->second);
      FrameTimeEntry from_source;
      const FrameTimeEntry* time = nullptr;
      if (row.utc.empty() && (time = frame_time_of(row.frame, from_source)) != nullptr) {
        row.utc = format_utc(time->utc);
        row.seconds = time->seconds;
      }
      text += flashes_line(row);
    }
    if (!replace_text_file_in(settings_.run_dir, kFlashesName, text, &error)) {
      say(error);
      return false;
    }
    return true;
  }

  // The time of `frame`: the recording's own when it has one (kept in `from_source`; its seconds
  // alone when it has no UTC, as a video without --start-utc), else frame_times.csv's, else none.
  const FrameTimeEntry* frame_time_of(std::int64_t frame, FrameTimeEntry& from_source) const {
    if (settings_.source_times) {
      const FrameTime time = settings_.source_times(frame);
      if (time.known) {
        from_source.utc_known = !time.utc.empty() && parse_utc(time.utc, from_source.utc);
        from_source.frame = frame;
        from_source.seconds = time.seconds;
        return &from_source;
      }
    }
    return find_frame_time(times_, frame);
  }

  // The file of `frame` and its number there: the recording's when the run reads one, else
  // frame_times.csv's (the recording vesk-frames made the folder from), else the source's own
  // (a frame folder's frame file).
  FrameOrigin frame_origin_of(std::int64_t frame) const {
    if (!settings_.source_times) {
      const FrameTimeEntry* entry = find_frame_time(times_, frame);
      if (entry != nullptr && !entry->file.empty()) return {entry->file, entry->file_frame};
    }
    return settings_.source_origins ? settings_.source_origins(frame) : FrameOrigin{};
  }

  // Reads frame_times.csv once; its problems are warnings, the times then missing.
  void read_frame_times() {
    std::vector<std::string> warnings;
    std::string error;
    if (!read_frame_times_csv(settings_.run_dir, times_, warnings, &error)) {
      say(error + "; flashes.csv gets no times");
    }
    for (const std::string& w : warnings) say(w);
  }

  FlashCatalogueSettings settings_;
  FrameTimes times_;
  EventBook book_;
  CatalogueFile flashes_{kFlashesName, {}};
  CatalogueFile curves_{kLightCurvesName, {}};
  std::vector<CatalogueEvent> closed_;
  // The optics' width (NaN when not known) and whether it has been settled.
  double optics_fwhm_ = std::numeric_limits<double>::quiet_NaN();
  bool optics_known_ = false;
  // Events that stay, by their brightest pixel; and what each written event showed.
  struct WrittenEvent {
    int number;
    std::int64_t frame;
    int pixel_x;
    int pixel_y;
    ClassSigns signs;
    bool timed;  // its frame's time was known when its line was written
  };
  std::map<std::pair<int, int>, int> pixel_events_;
  std::vector<WrittenEvent> written_;
  RingView last_ring_;
  bool ring_seen_ = false;
  // Frames the scatter test rejected so far; the first few are named as they come.
  static constexpr std::int64_t kNamedScatteredFrames = 5;
  std::int64_t scattered_frames_ = 0;
};

}  // namespace

std::unique_ptr<RunOutput> make_flash_catalogue(FlashCatalogueSettings settings) {
  return std::make_unique<FlashCatalogue>(std::move(settings));
}

std::size_t flash_catalogue_bytes_needed(int images_in_buffer) {
  const std::size_t frames = images_in_buffer > 0 ? static_cast<std::size_t>(images_in_buffer) : 0;
  return saturating_multiply(frames, sizeof(CatalogueEvent));
}
