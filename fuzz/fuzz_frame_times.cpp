// Fuzzes frame_times.csv: any bytes as the file, read by the flash catalogue when its run starts
// (the file reader, its line limit and its warnings) and parsed line by line. Every warning must
// be one line naming the file; the table must come out sorted, one entry per frame, and every
// time must read back from its own text.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/frame_times_csv.h"
#include "fuzz_support.h"
#include "outputs/flash_catalogue.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clear_fuzz_folder();
  write_fuzz_file(kFrameTimesName, std::span(data, size));

  // The catalogue reads the file once at start and writes its two header lines.
  {
    const std::unique_ptr<RunOutput> catalogue =
        make_flash_catalogue({fuzz_folder(), 1, null_output(), null_output(), {}, {}, 0.0});
    std::string error;
    if (catalogue->start(&error) != OutputStatus::ok) std::abort();
    if (catalogue->finish({true, 0}, &error) != OutputStatus::ok) std::abort();
  }

  FrameTimes times;
  times.name = kFrameTimesName;
  std::vector<std::string> warnings;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::int64_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    add_frame_times_line(times, text.substr(at, stop - at), ++number, warnings);
    at = stop + 1;
  }
  settle_frame_times(times, warnings);
  for (const std::string& w : warnings) {
    if (w.rfind("frame_times.csv: ", 0) != 0 || w.find('\n') != std::string::npos) std::abort();
  }
  if (warnings.size() > static_cast<std::size_t>(kShownFrameTimeWarnings) + 2) std::abort();
  for (std::size_t i = 0; i < times.entries.size(); ++i) {
    const FrameTimeEntry& e = times.entries[i];
    if (i > 0 && times.entries[i - 1].frame >= e.frame) std::abort();
    UtcTime back;
    if (!parse_utc(format_utc(e.utc), back) || format_utc(back) != format_utc(e.utc)) {
      std::abort();
    }
    if (find_frame_time(times, e.frame) != &e) std::abort();
  }
  return 0;
}
