#include "imaging/flash_report.h"

int odd_or_even(int value) { return (value & 1) != 0 ? 1 : 2; }

// Filled in with the report image.
bool write_flash_report(FileHandle& report_file, const char* path, const FlashReportInput&,
                        std::span<std::uint8_t>, std::span<std::uint8_t>, std::string& error) {
  return close_file(report_file, path, error);
}
