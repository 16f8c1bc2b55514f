#include "outputs/flash_catalogue.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/message.h"
#include "catalogue/measure.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace {

FlashRow flashes_row(const CatalogueEvent& e, const FrameTimeEntry* time, int interlace) {
  FlashRow row;
  row.event = e.number;
  row.frame = e.frame;
  row.frames = e.frames;
  if (time != nullptr) {
    row.utc = format_utc(time->utc);
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
  if (e.frame <= std::numeric_limits<int>::max()) {
    row.report = numbered_file_name(kReportPattern, static_cast<int>(e.frame));
  }
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
    OutputStatus status = OutputStatus::ok;
    for (CatalogueFile* f : {&flashes_, &curves_}) {
      std::string error;
      f->file = open_file_in(settings_.run_dir, f->name, "w", error);
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
    add_report(book_, measure_report(report.ring, static_cast<double>(m.sample),
                                     static_cast<double>(m.line)));
    return OutputStatus::ok;
  }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView& ring,
                            std::string* error) override {
    last_ring_ = ring;
    ring_seen_ = true;
    closed_.clear();
    close_events(book_, frame.target_frame, closed_);
    return hand_out(closed_, error);
  }

  OutputStatus finish(const RunEnd&, std::string* error) override {
    closed_.clear();
    close_all_events(book_, closed_);
    OutputStatus status = hand_out(closed_, error);
    for (CatalogueFile* f : {&flashes_, &curves_}) {
      std::string close_error;
      if (!close_file(f->file, f->name, close_error)) {
        say(close_error);
        if (status == OutputStatus::ok) status = OutputStatus::lost;
      }
    }
    return status;
  }

 private:
  void say(const std::string& message) { print_message(settings_.out, settings_.err, message); }

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
  OutputStatus hand_out(const std::vector<CatalogueEvent>& events, std::string* error) {
    OutputStatus status = OutputStatus::ok;
    for (const CatalogueEvent& e : events) {
      FrameTimeEntry from_source;
      bool written = write_line(flashes_, flashes_line(flashes_row(
                                              e, frame_time_of(e.frame, from_source),
                                              settings_.interlace)));
      for (int k = 0; k < kCurveFrames; ++k) {
        written = write_line(curves_, lightcurves_line(light_curve_row(e, k))) && written;
      }
      // A file given up earlier loses this event too, without a second message.
      if (!written) status = OutputStatus::lost;
      for (EventSink* sink : settings_.sinks) {
        if (!ring_seen_) break;
        const OutputStatus told = sink->event_closed(e, last_ring_, error);
        if (told == OutputStatus::fatal) return told;
        if (told == OutputStatus::lost) status = OutputStatus::lost;
      }
    }
    return status;
  }

  // The time of `frame`: the recording's own when it has one (kept in `from_source`), else
  // frame_times.csv's, else none.
  const FrameTimeEntry* frame_time_of(std::int64_t frame, FrameTimeEntry& from_source) const {
    if (settings_.source_times) {
      const FrameTime time = settings_.source_times(frame);
      if (time.known && !time.utc.empty() && parse_utc(time.utc, from_source.utc)) {
        from_source.frame = frame;
        from_source.seconds = time.seconds;
        return &from_source;
      }
    }
    return find_frame_time(times_, frame);
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
  RingView last_ring_;
  bool ring_seen_ = false;
};

}  // namespace

std::unique_ptr<RunOutput> make_flash_catalogue(FlashCatalogueSettings settings) {
  return std::make_unique<FlashCatalogue>(std::move(settings));
}
