#include "outputs/live_line.h"

#include <deque>
#include <utility>

namespace {

// Redraws come at most this often, so the terminal never slows the run.
constexpr double kRedrawSeconds = 0.25;
// The rates are measured over about the last few seconds, so that they follow the writer.
constexpr double kRateWindowSeconds = 5.0;
// A rate is shown once it has been measured over this long.
constexpr double kLeastRateSeconds = 0.5;

// 12345 as "12 345": long counts read at a glance.
std::string grouped(std::int64_t count) {
  const std::string digits = std::to_string(count);
  const std::size_t sign = count < 0 ? 1 : 0;
  std::string text = digits.substr(0, sign);
  for (std::size_t i = sign; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) text += ' ';
    text += digits[i];
  }
  return text;
}

std::string counted(std::int64_t count, const char* one, const char* many) {
  return grouped(count) + " " + (count == 1 ? one : many);
}

class Live final : public LiveLine {
 public:
  Live(TerminalLine& line, const FollowProgress& progress, SecondsClock clock)
      : line_(line), progress_(progress), clock_(std::move(clock)) {}

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView&, std::string*) override {
    tested_ = frame.newest_frame + 1;
    const double now = clock_();
    if (first_time_ < 0) {
      first_time_ = now;
      first_tested_ = tested_;
    }
    last_time_ = now;
    if (drawn_ && now - last_draw_ < kRedrawSeconds) return OutputStatus::ok;
    draw(now);
    return OutputStatus::ok;
  }

  OutputStatus event_closed(const CatalogueEvent&, const RingView&, std::string*) override {
    ++events_;
    return OutputStatus::ok;
  }

  // The last line stays, with the rate over the whole run: the frames tested from the first to
  // the last frame's test.
  OutputStatus finish(const RunEnd& end, std::string*) override {
    if (end.input_ended) tested_ = end.frames_read;
    if (first_time_ < 0) return OutputStatus::ok;
    const double span = last_time_ - first_time_;
    const double rate =
        span >= kLeastRateSeconds ? static_cast<double>(tested_ - first_tested_) / span : 0.0;
    line_.draw(live_line_text(tested_, rate, behind(), -1.0, events_));
    line_.end();
    return OutputStatus::ok;
  }

 private:
  struct Sample {
    double time;
    std::int64_t tested;
    std::int64_t written;
  };

  std::int64_t behind() const {
    const std::int64_t written = progress_.written.load(std::memory_order_relaxed);
    return written > tested_ ? written - tested_ : 0;
  }

  void draw(double now) {
    const std::int64_t written = progress_.written.load(std::memory_order_relaxed);
    samples_.push_back({now, tested_, written});
    while (samples_.size() > 2 && now - samples_[1].time >= kRateWindowSeconds) {
      samples_.pop_front();
    }
    const Sample& oldest = samples_.front();
    const double span = now - oldest.time;
    double rate = 0.0;
    double writer_rate = 0.0;
    if (span >= kLeastRateSeconds) {
      rate = static_cast<double>(tested_ - oldest.tested) / span;
      writer_rate = static_cast<double>(written - oldest.written) / span;
    }
    const std::int64_t lag = behind();
    const double lag_rate = writer_rate > 0 ? writer_rate : rate;
    const double lag_seconds = lag_rate > 0 ? static_cast<double>(lag) / lag_rate : -1.0;
    line_.draw(live_line_text(tested_, rate, lag, lag_seconds, events_));
    last_draw_ = now;
    drawn_ = true;
  }

  TerminalLine& line_;
  const FollowProgress& progress_;
  SecondsClock clock_;
  std::deque<Sample> samples_;
  std::int64_t tested_ = 0;
  std::int64_t events_ = 0;
  double first_time_ = -1.0;
  std::int64_t first_tested_ = 0;
  double last_time_ = 0.0;
  double last_draw_ = 0.0;
  bool drawn_ = false;
};

struct ClearingStream {
  std::FILE* real;
  TerminalLine* line;
};

ssize_t write_clearing(void* cookie, const char* bytes, std::size_t size) {
  auto* stream = static_cast<ClearingStream*>(cookie);
  if (!stream->line->write_through(stream->real, bytes, size)) return -1;
  return static_cast<ssize_t>(size);
}

int close_clearing(void* cookie) {
  auto* stream = static_cast<ClearingStream*>(cookie);
  const int status = std::fflush(stream->real);
  delete stream;
  return status == 0 ? 0 : -1;
}

}  // namespace

std::string live_line_text(std::int64_t tested, double frames_per_second, std::int64_t behind,
                           double behind_seconds, std::int64_t events) {
  std::string text = counted(tested, "frame", "frames") + " tested";
  char number[48];
  if (frames_per_second > 0) {
    std::snprintf(number, sizeof number, ", %.1f frames/s", frames_per_second);
    text += number;
  }
  text += ", " + counted(behind, "frame", "frames");
  if (behind > 0 && behind_seconds >= 0) {
    std::snprintf(number, sizeof number, " (%.*f s)", behind_seconds < 10 ? 2 : 0, behind_seconds);
    text += number;
  }
  text += " behind the writer, " + counted(events, "event", "events");
  return text;
}

void TerminalLine::draw(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string shown = text;
  shown.append(width_ > text.size() ? width_ - text.size() : 0, ' ');
  std::fprintf(terminal_, "\r%s", shown.c_str());
  std::fflush(terminal_);
  width_ = text.size();
}

void TerminalLine::clear() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (width_ == 0) return;
  std::fprintf(terminal_, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(terminal_);
  width_ = 0;
}

bool TerminalLine::write_through(std::FILE* stream, const char* bytes, std::size_t size) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (width_ > 0) {
    std::fprintf(terminal_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(terminal_);
    width_ = 0;
  }
  return std::fwrite(bytes, 1, size, stream) == size && std::fflush(stream) == 0;
}

void TerminalLine::end() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (width_ == 0) return;
  std::fputc('\n', terminal_);
  std::fflush(terminal_);
  width_ = 0;
}

std::FILE* stream_clearing_line(std::FILE* real, TerminalLine& line) {
  auto* cookie = new ClearingStream{real, &line};
  cookie_io_functions_t functions{};
  functions.write = write_clearing;
  functions.close = close_clearing;
  std::FILE* stream = fopencookie(cookie, "w", functions);
  if (stream == nullptr) {
    delete cookie;
    return nullptr;
  }
  // A line at a time, as a terminal shows them, so that no line waits behind the live line.
  std::setvbuf(stream, nullptr, _IOLBF, 0);
  return stream;
}

std::unique_ptr<LiveLine> make_live_line(TerminalLine& line, const FollowProgress& progress,
                                         SecondsClock clock) {
  return std::make_unique<Live>(line, progress, std::move(clock));
}
