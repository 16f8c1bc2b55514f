#include "outputs/console_notices.h"

namespace {

class ConsoleNotices final : public RunOutput {
 public:
  ConsoleNotices(std::FILE* out, bool frame_lines) : out_(out), frame_lines_(frame_lines) {}

  void frame_started(std::int64_t newest_frame) override {
    if (!frame_lines_) return;
    std::fprintf(out_, "Processing frame %lld\n", static_cast<long long>(newest_frame));
  }

  OutputStatus report(const ReportView& report, std::string*) override {
    std::fprintf(out_, "%s\n",
                 report_notice(report.newest_frame, report.ring.target_frame).c_str());
    return OutputStatus::ok;
  }

 private:
  std::FILE* out_;
  bool frame_lines_;
};

}  // namespace

std::string report_notice(std::int64_t newest_frame, std::int64_t target_frame) {
  return "Video Frame= " + std::to_string(newest_frame) + " may have an impact flash " +
         std::to_string(target_frame);
}

std::unique_ptr<RunOutput> make_console_notices(std::FILE* out, bool frame_lines) {
  return std::make_unique<ConsoleNotices>(out, frame_lines);
}
