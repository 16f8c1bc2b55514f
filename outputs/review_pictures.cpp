#include "outputs/review_pictures.h"

#include <time.h>

#include <array>
#include <span>
#include <string>
#include <system_error>

#include "base/message.h"
#include "review/event_images.h"
#include "review/review_page.h"

namespace {

constexpr const char* kReviewFolder = "review";

// Seconds on `clock` (a clock_gettime clock); 0 when it cannot be read.
double seconds_of(clockid_t clock) {
  timespec now{};
  if (clock_gettime(clock, &now) != 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

class Review final : public ReviewPictures {
 public:
  Review(std::filesystem::path run_dir, int interlace, std::FILE* out, std::FILE* err, bool live)
      : run_dir_(std::move(run_dir)), interlace_(interlace), out_(out), err_(err), live_(live) {}

  // The earlier run's pictures and page were cleared with the rest of its outputs (only the
  // names the review writes, never through a link); here the folder is made if missing.
  OutputStatus start(std::string*) override {
    const std::filesystem::path folder = run_dir_ / kReviewFolder;
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec)) return OutputStatus::ok;
    if (!std::filesystem::exists(folder, ec)) {
      std::filesystem::create_directory(folder, ec);
    } else {
      ec = std::make_error_code(std::errc::not_a_directory);
    }
    if (!ec) return OutputStatus::ok;
    return lost(std::string(kReviewFolder) + ": cannot create the review folder: " + ec.message());
  }

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus event_closed(const CatalogueEvent& event, const RingView& ring,
                            std::string*) override {
    std::array<std::span<const std::uint8_t>, kOffsetCount> frames{};
    for (int k = 0; k < kOffsetCount; ++k) {
      const std::int64_t frame = event.frame + kFirstOffset + k;
      if (ring.frame_held(frame)) frames[static_cast<std::size_t>(k)] = ring.frame_pixels(frame);
    }
    EventFrames input;
    input.event = event.number;
    input.width = ring.geometry.image_width;
    input.height = ring.geometry.image_height;
    input.x = event.x;
    input.y = event.y;
    input.step_x = event.step_x;  // a glint's close-ups follow it
    input.step_y = event.step_y;
    input.interlaced = interlace_ != 0;
    input.frames = frames;
    // The ring's mean as it stands when the event closes, for the difference strip.
    input.pixel_sum = ring.pixel_sum;
    input.sum_frames = ring.images_in_buffer;
    std::string error;
    changed_ = true;
    if (write_event_images(run_dir_ / kReviewFolder, input, &error)) return OutputStatus::ok;
    return lost(error);
  }

  // A live page is written at the first frame tested (so that it can be opened at once) and
  // again when events have closed since, as live_page_due says.
  OutputStatus frame_tested(const TestedFrame&, const RingView&, std::string*) override {
    if (!live_ || !changed_) return OutputStatus::ok;
    const double now = seconds_of(CLOCK_MONOTONIC);
    // The processor time is asked for only once it can matter: it is a system call.
    if (clock_.written && now - clock_.last_wall < kLivePageLeastSeconds) return OutputStatus::ok;
    if (!live_page_due(clock_, now, seconds_of(CLOCK_PROCESS_CPUTIME_ID))) {
      return OutputStatus::ok;
    }
    const double began = seconds_of(CLOCK_THREAD_CPUTIME_ID);
    clock_.written = true;
    clock_.last_wall = now;
    changed_ = false;
    ReviewPageResult result;
    std::string error;
    const bool written = write_review_page(run_dir_, true, result, &error, &memo_);
    clock_.page_cpu += seconds_of(CLOCK_THREAD_CPUTIME_ID) - began;
    if (written) return OutputStatus::ok;
    // Said once; the page is tried again at the end of the run.
    live_ = false;
    return lost(error + "; the review page is written at the end of the run");
  }

  // Built after every event has closed, also when the run stopped early.
  OutputStatus finish(const RunEnd&, std::string*) override {
    ReviewPageResult result;
    std::string error;
    if (write_review_page(run_dir_, result, &error)) return OutputStatus::ok;
    return lost(error + "; no review page");
  }

 private:
  // Says `message`, its files named relative to the run folder as every message of a run names
  // them.
  OutputStatus lost(std::string message) {
    const std::string prefix = (run_dir_ / "").string();
    for (std::size_t at = message.find(prefix); at != std::string::npos;
         at = message.find(prefix, at)) {
      message.erase(at, prefix.size());
    }
    print_message(out_, err_, message);
    return OutputStatus::lost;
  }

  std::filesystem::path run_dir_;
  int interlace_;
  std::FILE* out_;
  std::FILE* err_;
  bool live_;
  bool changed_ = true;  // events closed since the live page was written (or none written)
  LivePageClock clock_;
  ReviewPageMemo memo_;  // what the live pages read from the pictures
};

}  // namespace

bool live_page_due(const LivePageClock& clock, double wall_now, double run_cpu) {
  if (!clock.written) return true;
  const double since = wall_now - clock.last_wall;
  if (since < kLivePageLeastSeconds) return false;
  return since >= kLivePageStaleSeconds || clock.page_cpu <= kLivePageShare * run_cpu;
}

std::unique_ptr<ReviewPictures> make_review_pictures(const std::filesystem::path& run_dir,
                                                     int interlace, std::FILE* out, std::FILE* err,
                                                     bool live) {
  return std::make_unique<Review>(run_dir, interlace, out, err, live);
}

std::size_t review_pictures_bytes_needed() {
  return event_images_bytes_needed();
}
