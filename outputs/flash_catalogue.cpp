#include "outputs/flash_catalogue.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/message.h"
#include "catalogue/frame_times.h"
#include "catalogue/measure.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "sources/frame_times.h"

namespace {

// "%.2f" of `value`, or nothing when it is not a finite number.
std::string fixed2(double value) {
  if (!std::isfinite(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string flashes_line(const CatalogueEvent& e, const FrameTimeEntry* time, int interlace) {
  std::string utc;
  std::string seconds;
  if (time != nullptr) {
    utc = format_utc(time->utc);
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", time->seconds);
    seconds = text;
  }
  const double snr = e.first.flux_err > 0.0 ? e.first.flux / e.first.flux_err
                                            : std::numeric_limits<double>::quiet_NaN();
  const std::string m_inst = e.flux > 0.0 ? fixed2(-2.5 * std::log10(e.flux)) : "";
  const std::string report = e.frame <= std::numeric_limits<int>::max()
                                 ? numbered_file_name(kReportPattern, static_cast<int>(e.frame))
                                 : "";
  return std::to_string(e.number) + "," + std::to_string(e.frame) + "," + std::to_string(e.frames) +
         "," + utc + "," + seconds + "," + fixed2(e.x) + "," + fixed2(e.y) + "," + fixed2(e.peak) +
         "," + fixed2(e.flux) + "," + fixed2(e.flux_err) + "," + fixed2(snr) + "," + m_inst + "," +
         (e.saturated ? "1" : "0") + "," + fixed2(e.motion) + "," +
         (interlace != 0 ? field_verdict_name(e.fields) : "") + "," + event_class_name(e.verdict) +
         "," + report + "\n";
}

std::string light_curve_line(const CatalogueEvent& e, int k) {
  const int offset = k - kCurveBefore;
  const FrameFlux& f = e.curve[static_cast<std::size_t>(k)];
  std::string line = std::to_string(e.number) + "," + std::to_string(e.frame + offset) + "," +
                     std::to_string(offset) + ",";
  if (f.held)
    line += fixed2(f.flux) + "," + fixed2(f.flux_err) + "," + fixed2(f.peak);
  else
    line += ",,";
  return line + "\n";
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
      std::string header = f == &flashes_ ? kFlashesHeader : kLightCurvesHeader;
      if (f == &flashes_ && settings_.source_origins)
        header.insert(header.size() - 1, kOriginColumns);
      if (!write_line(*f, header)) {
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
      std::string line = flashes_line(e, frame_time_of(e.frame, from_source), settings_.interlace);
      if (settings_.source_origins) {
        line.insert(line.size() - 1, origin_cells(settings_.source_origins(e.frame)));
      }
      bool written = write_line(flashes_, line);
      for (int k = 0; k < kCurveFrames; ++k) {
        written = write_line(curves_, light_curve_line(e, k)) && written;
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
    times_ = FrameTimes{};
    times_.name = kFrameTimesName;
    std::error_code ec;
    const std::filesystem::path path = settings_.run_dir / kFrameTimesName;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return;
    std::string error;
    FileHandle file = open_text_to_read(settings_.run_dir, kFrameTimesName, error);
    if (!file) {
      say(error + "; flashes.csv gets no times");
      return;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMostFrameTimesBytes) {
      say(std::string(kFrameTimesName) + ": larger than " +
          std::to_string(kMostFrameTimesBytes >> 20) + " MiB; flashes.csv gets no times");
      return;
    }
    std::vector<std::string> warnings;
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
      add_frame_times_line(times_, std::string_view(text, length), number, warnings);
    }
    if (std::ferror(file.get())) {
      warnings.push_back(std::string(kFrameTimesName) + ": read failed after line " +
                         std::to_string(number));
    }
    settle_frame_times(times_, warnings);
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
