#include "outputs/run_summary.h"

#include <cerrno>

#include "formats/data_dump_txt.h"
#include "imaging/file_io.h"

namespace {

constexpr const char* kRunSummaryName = kDataDumpName;

class RunSummary final : public RunOutput {
 public:
  RunSummary(std::filesystem::path run_dir, std::function<std::string(std::int64_t)> summary_text)
      : run_dir_(std::move(run_dir)), summary_text_(std::move(summary_text)) {}

  OutputStatus report(const ReportView&, std::string*) override { return OutputStatus::ok; }

  OutputStatus finish(const RunEnd& end, std::string* error) override {
    if (!end.input_ended) return OutputStatus::ok;
    // Written whole under a temporary name and renamed, so it is never left half written.
    const std::string text = summary_text_(end.frames_read);
    return replace_text_file_in(run_dir_, kRunSummaryName, text, error) ? OutputStatus::ok
                                                                        : OutputStatus::fatal;
  }

 private:
  std::filesystem::path run_dir_;
  std::function<std::string(std::int64_t)> summary_text_;
};

}  // namespace

std::unique_ptr<RunOutput> make_run_summary(
    const std::filesystem::path& run_dir,
    std::function<std::string(std::int64_t frames_read)> summary_text) {
  return std::make_unique<RunSummary>(run_dir, std::move(summary_text));
}
