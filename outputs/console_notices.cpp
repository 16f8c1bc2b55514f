#include "outputs/console_notices.h"

namespace {

class ConsoleNotices final : public RunOutput {
 public:
  explicit ConsoleNotices(std::FILE* out) : out_(out) {}

  void frame_started(std::int64_t newest_frame) override {
    std::fprintf(out_, "Processing frame %lld\n", static_cast<long long>(newest_frame));
  }

  OutputStatus report(const ReportView& report, std::string*) override {
    std::fprintf(out_, "Video Frame= %lld may have an impact flash %lld\n",
                 static_cast<long long>(report.newest_frame),
                 static_cast<long long>(report.ring.target_frame));
    return OutputStatus::ok;
  }

 private:
  std::FILE* out_;
};

}  // namespace

std::unique_ptr<RunOutput> make_console_notices(std::FILE* out) {
  return std::make_unique<ConsoleNotices>(out);
}
