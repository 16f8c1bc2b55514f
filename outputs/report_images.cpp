#include "outputs/report_images.h"

#include "base/message.h"
#include "imaging/file_io.h"
#include "imaging/flash_report.h"
#include "imaging/frame_files.h"

namespace {

class ReportImages final : public RunOutput {
 public:
  ReportImages(std::filesystem::path run_dir, int interlace,
               std::span<const std::uint8_t> report_header, std::span<std::uint8_t> report_pixels,
               std::span<std::uint8_t> thumbnail_strip, std::FILE* out, std::FILE* err)
      : run_dir_(std::move(run_dir)),
        interlace_(interlace),
        report_header_(report_header),
        report_pixels_(report_pixels),
        thumbnail_strip_(thumbnail_strip),
        out_(out),
        err_(err) {}

  OutputStatus report(const ReportView& report, std::string*) override {
    const std::string name = numbered_file_name(kReportPattern, report.ring.target_frame);
    std::string error;
    FileHandle file = open_file_in(run_dir_, name.c_str(), "wb", error);
    if (!file) {
      print_message(out_, err_, error);
      return OutputStatus::lost;
    }
    const FlashReportInput input{.target_slot = report.ring.target_slot,
                                 .sample = report.result.measurement.sample,
                                 .line = report.result.measurement.line,
                                 .interlace = interlace_,
                                 .images_in_buffer = report.ring.images_in_buffer,
                                 .target_frame = report.ring.target_frame,
                                 .newest_frame = report.ring.newest_frame,
                                 .geometry = report.ring.geometry,
                                 .report_header = report_header_,
                                 .marked_frame = report.marked_frame,
                                 .frame_ring = report.ring.frames};
    if (!write_flash_report(file, name.c_str(), input, report_pixels_, thumbnail_strip_, error)) {
      print_message(out_, err_, error);
      return OutputStatus::lost;
    }
    return OutputStatus::ok;
  }

 private:
  std::filesystem::path run_dir_;
  int interlace_;
  std::span<const std::uint8_t> report_header_;
  std::span<std::uint8_t> report_pixels_;
  std::span<std::uint8_t> thumbnail_strip_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace

std::unique_ptr<RunOutput> make_report_images(const std::filesystem::path& run_dir, int interlace,
                                              std::span<const std::uint8_t> report_header,
                                              std::span<std::uint8_t> report_pixels,
                                              std::span<std::uint8_t> thumbnail_strip,
                                              std::FILE* out, std::FILE* err) {
  return std::make_unique<ReportImages>(run_dir, interlace, report_header, report_pixels,
                                        thumbnail_strip, out, err);
}
