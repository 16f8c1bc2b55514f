#include "outputs/progress_line.h"

#include <algorithm>
#include <cmath>

#include "outputs/console_notices.h"

namespace {

// Redraws come at most this often, so the terminal never slows the run.
constexpr double kRedrawSeconds = 0.25;
// The rate is shown once it has been measured over this long.
constexpr double kLeastRateSeconds = 0.5;

std::string clock_text(double seconds) {
  const auto whole = static_cast<long long>(std::llround(seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

class ProgressLine final : public RunOutput {
 public:
  ProgressLine(std::FILE* out, std::int64_t total, SecondsClock clock)
      : out_(out), total_(total), clock_(std::move(clock)) {}

  OutputStatus start(std::string*) override {
    start_time_ = clock_();
    return OutputStatus::ok;
  }

  OutputStatus report(const ReportView& report, std::string*) override {
    ++reports_;
    // The notice takes the progress line's place; the next frame draws the line again below it.
    std::string line = report_notice(report.newest_frame, report.ring.target_frame);
    const std::size_t width = line.size();
    line.append(drawn_width_ > width ? drawn_width_ - width : 0, ' ');
    std::fprintf(out_, "\r%s\n", line.c_str());
    std::fflush(out_);
    drawn_width_ = 0;
    redraw_now_ = true;
    return OutputStatus::ok;
  }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView&, std::string*) override {
    done_ = frame.newest_frame + 1;
    if (first_done_ < 0) first_done_ = done_;
    const double now = clock_();
    if (!redraw_now_ && now - last_draw_ < kRedrawSeconds) return OutputStatus::ok;
    draw(now, true);
    return OutputStatus::ok;
  }

  OutputStatus finish(const RunEnd& end, std::string*) override {
    if (end.input_ended) done_ = end.frames_read;
    if (done_ > 0) {
      draw(clock_(), false);
      std::fprintf(out_, "\n");
      std::fflush(out_);
    }
    return OutputStatus::ok;
  }

 private:
  void draw(double now, bool with_time_left) {
    const double elapsed = now - start_time_;
    double rate = 0;
    if (elapsed >= kLeastRateSeconds && first_done_ >= 0) {
      rate = static_cast<double>(done_ - first_done_) / elapsed;
    }
    double left = -1;
    if (with_time_left && rate > 0 && total_ >= done_) {
      left = static_cast<double>(total_ - done_) / rate;
    }
    std::string line = progress_text(done_, total_, rate, reports_, left);
    const std::size_t width = line.size();
    // Blanks clear what a longer line before left on the terminal.
    line.append(drawn_width_ > width ? drawn_width_ - width : 0, ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
    drawn_width_ = width;
    last_draw_ = now;
    redraw_now_ = false;
  }

  std::FILE* out_;
  std::int64_t total_;
  SecondsClock clock_;
  double start_time_ = 0;
  double last_draw_ = 0;
  bool redraw_now_ = true;
  std::int64_t done_ = 0;
  std::int64_t first_done_ = -1;  // frames done at the first frame tested
  std::int64_t reports_ = 0;
  std::size_t drawn_width_ = 0;  // characters of the line on the terminal now
};

}  // namespace

std::string progress_text(std::int64_t done, std::int64_t total, double frames_per_second,
                          std::int64_t reports, double seconds_left) {
  std::string text = std::to_string(done);
  if (total >= 1) {
    const std::int64_t whole = std::max(total, done);
    text +=
        " of " + std::to_string(whole) + " frames (" + std::to_string(done * 100 / whole) + "%)";
  } else {
    text += " frames";
  }
  if (frames_per_second > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, ", %.0f frames/s", frames_per_second);
    text += rate;
  }
  text += ", " + std::to_string(reports) + (reports == 1 ? " report" : " reports");
  if (seconds_left >= 0) text += ", " + clock_text(seconds_left) + " left";
  return text;
}

std::unique_ptr<RunOutput> make_progress_line(std::FILE* out, std::int64_t total_frames,
                                              SecondsClock clock) {
  return std::make_unique<ProgressLine>(out, total_frames, std::move(clock));
}
