#include "outputs/report_images.h"

#include <cstdio>

#include "base/checked_math.h"
#include "base/message.h"
#include "imaging/file_io.h"
#include "imaging/flash_report.h"
#include "imaging/frame_files.h"

namespace {

class ReportImages final : public RunOutput {
 public:
  ReportImages(std::filesystem::path run_dir, int interlace,
               std::span<const std::uint8_t> report_header, std::span<std::uint8_t> report_pixels,
               std::span<std::uint8_t> thumbnail_strip, std::FILE* out, std::FILE* err,
               ReportLimit* limit)
      : run_dir_(std::move(run_dir)),
        interlace_(interlace),
        report_header_(report_header),
        report_pixels_(report_pixels),
        thumbnail_strip_(thumbnail_strip),
        out_(out),
        err_(err),
        limit_(limit) {}

  OutputStatus report(const ReportView& report, std::string*) override {
    if (limit_ != nullptr && limit_->most >= 0 && ++limit_->reports > limit_->most) {
      if (limit_->reports == limit_->most + 1) {
        limit_->first_frame_past = report.ring.target_frame;
        print_message(out_, err_,
                      "--max-reports " + std::to_string(limit_->most) + ": frame " +
                          std::to_string(report.ring.target_frame) + " is report " +
                          std::to_string(limit_->reports) +
                          "; no more report images or review pictures are drawn (flash_info.dat "
                          "and flashes.csv stay complete)");
      }
      return OutputStatus::ok;
    }
    const std::string name = numbered_file_name(kReportPattern, report.ring.target_frame);
    // Written under a temporary name and renamed when closed: a full disk never leaves a short
    // image under a report's name.
    const std::string part = name + ".part";
    std::string error;
    FileHandle file = open_part_file((run_dir_ / part).string(), part, &error);
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
    // Messages name the report as the user knows it.
    bool ok =
        write_flash_report(file, name.c_str(), input, report_pixels_, thumbnail_strip_, &error);
    if (ok && std::rename((run_dir_ / part).c_str(), (run_dir_ / name).c_str()) != 0) {
      error = errno_message(name.c_str(), "cannot rename the finished file");
      ok = false;
    }
    if (ok) return OutputStatus::ok;
    std::remove((run_dir_ / part).c_str());
    print_message(out_, err_, error);
    return OutputStatus::lost;
  }

 private:
  std::filesystem::path run_dir_;
  int interlace_;
  std::span<const std::uint8_t> report_header_;
  std::span<std::uint8_t> report_pixels_;
  std::span<std::uint8_t> thumbnail_strip_;
  std::FILE* out_;
  std::FILE* err_;
  ReportLimit* limit_;
};

}  // namespace

std::unique_ptr<RunOutput> make_report_images(const std::filesystem::path& run_dir, int interlace,
                                              std::span<const std::uint8_t> report_header,
                                              std::span<std::uint8_t> report_pixels,
                                              std::span<std::uint8_t> thumbnail_strip,
                                              std::FILE* out, std::FILE* err,
                                              ReportLimit* limit) {
  return std::make_unique<ReportImages>(run_dir, interlace, report_header, report_pixels,
                                        thumbnail_strip, out, err, limit);
}

std::size_t report_images_bytes_needed(const FrameGeometry& geometry) {
  const std::size_t pixels =
      geometry.frame_pixels > 0 ? static_cast<std::size_t>(geometry.frame_pixels) : 0;
  return saturating_add(saturating_multiply(3, pixels), report_strip_bytes(geometry.image_width));
}
