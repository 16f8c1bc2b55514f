#include "outputs/flash_log.h"

#include <cerrno>

#include "imaging/file_io.h"

namespace {

constexpr const char* kFlashLogName = kFlashInfoName;

class FlashLog final : public RunOutput {
 public:
  explicit FlashLog(std::filesystem::path run_dir) : run_dir_(std::move(run_dir)) {}

  OutputStatus start(std::string* error) override {
    log_ = open_file_in(run_dir_, kFlashLogName, "w", error);
    if (!log_) return OutputStatus::fatal;
    errno = 0;
    if (std::fputs(kFlashInfoHeader, log_.get()) == EOF || std::fflush(log_.get()) != 0) {
      *error = errno_message(kFlashLogName, "write failed");
      log_.reset();  // reported here; closing it must not report it again
      return OutputStatus::fatal;
    }
    return OutputStatus::ok;
  }

  OutputStatus report(const ReportView& report, std::string* error) override {
    if (!log_) return OutputStatus::ok;
    errno = 0;
    if (write_flash_record(log_.get(), report.ring.target_frame, report.result.flash_count,
                           report.result.measurement)) {
      return OutputStatus::ok;
    }
    // A log that cannot take records ends the run: going on would lose every later flash.
    *error = errno_message(kFlashLogName, "write failed");
    log_.reset();  // reported here; closing it must not report it again
    return OutputStatus::fatal;
  }

  OutputStatus finish(const RunEnd&, std::string* error) override {
    return close_file(log_, kFlashLogName, error) ? OutputStatus::ok : OutputStatus::fatal;
  }

 private:
  std::filesystem::path run_dir_;
  FileHandle log_;
};

}  // namespace

bool write_flash_record(std::FILE* flash_log, std::int64_t target_frame, int flash_count,
                        const FlashMeasurement& m) {
  FlashInfoRecord record;
  record.frame = target_frame;
  record.flashes = flash_count;
  record.sample = static_cast<double>(m.sample);
  record.line = static_cast<double>(m.line);
  record.scatter = static_cast<double>(m.scatter);
  record.bckgrnd = static_cast<double>(m.bckgrnd);
  record.bckgrnd_sigma = static_cast<double>(m.bckgrnd_sigma);
  record.signal = static_cast<double>(m.signal);
  record.time_back = static_cast<double>(m.time_back);
  record.time_sigma = static_cast<double>(m.time_sigma);
  record.time_signal = static_cast<double>(m.time_signal);
  const std::string line = flash_info_line(record);
  return std::fputs(line.c_str(), flash_log) != EOF && std::fflush(flash_log) == 0;
}

std::unique_ptr<RunOutput> make_flash_log(const std::filesystem::path& run_dir) {
  return std::make_unique<FlashLog>(run_dir);
}
