#include "outputs/runaway_notice.h"

#include "base/message.h"

namespace {

class RunawayNotice final : public RunOutput {
 public:
  RunawayNotice(std::string run_dir, std::FILE* out, std::FILE* err)
      : run_dir_(std::move(run_dir)), out_(out), err_(err) {}

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus frame_tested(const TestedFrame& frame, const RingView&, std::string*) override {
    ++tested_;
    if (frame.reported) ++reported_;
    if (!said_ && tested_ >= kRunawayLeastFrames && reported_ * 100 > tested_) {
      said_ = true;
      print_message(out_, err_,
                    std::to_string(reported_) + " of the first " + std::to_string(tested_) +
                        " frames tested report a flash (more than 1 in 100): the detection "
                        "parameters let this recording's noise through; vesk-tune " +
                        run_dir_ + " suggests better ones");
    }
    return OutputStatus::ok;
  }

 private:
  std::string run_dir_;
  std::FILE* out_;
  std::FILE* err_;
  std::int64_t tested_ = 0;
  std::int64_t reported_ = 0;
  bool said_ = false;
};

}  // namespace

std::unique_ptr<RunOutput> make_runaway_notice(const std::string& run_dir, std::FILE* out,
                                               std::FILE* err) {
  return std::make_unique<RunawayNotice>(run_dir, out, err);
}
