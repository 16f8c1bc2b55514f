#include "sources/ser_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <new>

#include "base/memory_limit.h"
#include "formats/utc.h"

namespace {

constexpr std::size_t kTimesPerChunk = 8192;

bool seek_to(std::FILE* file, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

// Reads stored frame `index` into `stored` (header.frame_bytes bytes).
bool read_stored_frame(SerRecording& r, std::int64_t index, std::span<std::uint8_t> stored,
                       std::string* error) {
  if (index != r.next_frame &&
      !seek_to(r.file.get(),
               kSerHeaderBytes + static_cast<std::uint64_t>(index) * r.header.frame_bytes)) {
    *error = r.path + ": cannot seek to frame " + std::to_string(index);
    r.next_frame = -1;
    return false;
  }
  if (read_bytes(r.file.get(), stored) != stored.size()) {
    *error = r.path + ": read failed at frame " + std::to_string(index);
    r.next_frame = -1;
    return false;
  }
  r.next_frame = index + 1;
  return true;
}

std::string zone_text(std::int64_t shift) {
  const std::int64_t minutes = (shift < 0 ? -shift : shift) / kTicksPerMinute;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02lld:%02lld", shift < 0 ? '-' : '+',
                static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  return text;
}

// Reads the first frames of 16-bit samples for the sample checks unless both byte order and
// depth are forced, and settles how the samples are read.
bool settle_format(SerRecording& r, const SerReadOptions& options,
                   std::vector<std::string>& notices, std::string* error) {
  SampleSurvey survey;
  const bool wanted = r.header.bytes_per_sample == 2 &&
                      (options.byte_order == ByteOrder::from_header || options.depth == 0);
  const std::int64_t frames =
      wanted ? std::min<std::int64_t>(kSurveyFrames, r.layout.frame_count) : 0;
  for (std::int64_t i = 0; i < frames; ++i) {
    if (!read_stored_frame(r, i, r.stored, error)) return false;
    survey_ser_frame(r.stored, r.header, survey);
  }
  r.format =
      choose_sample_format(r.header, survey, options.byte_order, options.depth, r.path, notices);
  return true;
}

// Reads the whole trailer in chunks: checks every time, keeps frames `first` to
// `first + count - 1` in `ticks` and the first time of all in `first_time`.
bool scan_trailer(SerRecording& r, std::int64_t first, std::int64_t count,
                  std::vector<std::int64_t>& ticks, std::int64_t& first_time, SerTimesCheck& check,
                  std::string* error) {
  std::vector<std::uint8_t> bytes(kTimesPerChunk * kSerTimeBytes);
  std::vector<std::int64_t> chunk(kTimesPerChunk);
  for (std::int64_t at = 0; at < r.layout.frame_count && check.fault.empty();) {
    const auto n =
        static_cast<std::size_t>(std::min<std::int64_t>(kTimesPerChunk, r.layout.frame_count - at));
    const std::span<std::uint8_t> part(bytes.data(), n * kSerTimeBytes);
    if (read_bytes(r.file.get(), part) != part.size()) {
      *error = r.path + ": cannot read the frame times";
      return false;
    }
    const std::span<std::int64_t> times(chunk.data(), n);
    decode_ser_times(part, times);
    check_ser_times(times, check);
    if (at == 0) first_time = times[0];
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t frame = at + static_cast<std::int64_t>(i);
      if (frame >= first && frame < first + count) ticks.push_back(times[i]);
    }
    at += static_cast<std::int64_t>(n);
  }
  return true;
}

}  // namespace

bool is_ser_recording(const std::string& path, bool& is_ser, std::string* error) {
  FileHandle file = open_file(path.c_str(), "rb", error);
  if (!file) return false;
  std::uint8_t head[kSerSignatureBytes] = {};
  const std::size_t got = read_bytes(file.get(), head);
  const bool signature =
      got == kSerSignatureBytes && std::memcmp(head, kSerSignature, kSerSignatureBytes) == 0;
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  is_ser = signature || extension == ".ser";
  return true;
}

bool open_ser_recording(const std::string& path, const SerReadOptions& options, int max_side,
                        SerRecording& r, std::vector<std::string>& notices, std::string* error) {
  r.path = path;
  r.file = open_file(path.c_str(), "rb", error);
  if (!r.file) return false;
  std::vector<std::uint8_t> head(kSerHeaderBytes, 0);
  const std::size_t got = read_bytes(r.file.get(), head);
  if (got < kSerHeaderBytes &&
      std::memcmp(head.data(), kSerSignature, std::min(got, kSerSignatureBytes)) == 0) {
    *error = path + ": truncated: " + std::to_string(got) + " of " +
             std::to_string(kSerHeaderBytes) + " header bytes";
    return false;
  }
  if (!parse_ser_header(head, path, max_side, r.header, error)) return false;
  struct stat info;
  if (fstat(fileno(r.file.get()), &info) != 0 || info.st_size < 0) {
    *error = errno_message(path.c_str(), "cannot read its size");
    return false;
  }
  r.layout = plan_ser_layout(r.header, static_cast<std::uint64_t>(info.st_size), path, notices);
  if (r.layout.frame_count == 0) {
    *error =
        r.header.frame_count > 0
            ? path + ": truncated: its header gives " + std::to_string(r.header.frame_count) +
                  " frames of " + std::to_string(r.header.frame_bytes) +
                  " bytes, the file holds none"
            : path + ": holds no frames (frame count " + std::to_string(r.header.frame_count) + ")";
    return false;
  }
  // Past this point the file holds at least one frame, so the frame fits in its size; a frame
  // larger than the memory there is to have is refused before it is asked for.
  if (!fits_in_memory(r.header.frame_bytes, memory_limit(0), path + ": one frame", error)) {
    return false;
  }
  try {
    r.stored.resize(r.header.frame_bytes);
  } catch (const std::bad_alloc&) {
    *error =
        path + ": cannot allocate " + std::to_string(r.header.frame_bytes) + " bytes for one frame";
    return false;
  }
  r.next_frame = 0;
  return settle_format(r, options, notices, error);
}

bool read_ser_frame(SerRecording& r, std::int64_t index, std::span<std::uint8_t> grey,
                    std::string* error) {
  // 8-bit mono frames are stored as the grey levels themselves: read straight into `grey`.
  if (r.header.colour == SerColour::mono && r.header.bytes_per_sample == 1) {
    return read_stored_frame(r, index, grey.first(r.header.frame_bytes), error);
  }
  if (!read_stored_frame(r, index, r.stored, error)) return false;
  ser_frame_to_grey(r.stored, r.header, r.format, grey);
  return true;
}

bool read_ser_times(SerRecording& r, std::int64_t first, std::int64_t count,
                    std::vector<std::int64_t>& ticks, std::vector<std::string>& notices,
                    std::string* error) {
  ticks.clear();
  if (!r.layout.has_trailer) return true;
  r.next_frame = -1;
  if (!seek_to(r.file.get(), r.layout.trailer_offset)) {
    *error = r.path + ": cannot seek to the frame times";
    return false;
  }
  try {
    ticks.reserve(static_cast<std::size_t>(count));
  } catch (const std::exception&) {
    *error = r.path + ": cannot allocate the times of " + std::to_string(count) + " frames";
    return false;
  }
  std::int64_t first_time = 0;
  SerTimesCheck check;
  if (!scan_trailer(r, first, count, ticks, first_time, check, error)) return false;
  if (!check.fault.empty()) {
    ticks.clear();
    notices.push_back(r.path + ": the frame times are not used: " + check.fault);
    return true;
  }
  const std::int64_t shift = ser_local_time_shift(r.header, first_time);
  if (shift != 0) {
    for (std::int64_t& t : ticks) t += shift;
    notices.push_back(r.path +
                      ": the frame times are local time (frame 0 lies within 5 minutes of the "
                      "header's DateTime, not its DateTime_UTC); moved them by " +
                      zone_text(shift) + " to UTC");
  }
  return true;
}
