// A SER recording read from its file: opened once (header, layout, sample checks), then frames
// as 8-bit grey by index and the frames' UTC times from the trailer. Knows nothing of where the
// frames go, so it serves any consumer of frames.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "imaging/file_io.h"
#include "sources/ser.h"

// Frames read for the sample checks at the start of a 16-bit recording.
inline constexpr int kSurveyFrames = 4;

// How the user asked the samples to be read.
struct SerReadOptions {
  ByteOrder byte_order = ByteOrder::from_header;
  int depth = 0;  // 8 to 16 to force the depth scaled from; 0 to take it from the file
};

struct SerRecording {
  std::string path;
  FileHandle file;
  SerHeader header;
  SerLayout layout;
  SampleFormat format;
  std::vector<std::uint8_t> stored;  // one stored frame, as read
  std::int64_t next_frame = -1;      // the frame the file position is at; -1 unknown
};

// Sets `is_ser` when `path` starts with the SER signature (or the start of it, for a file shorter
// than the signature) and holds at least the signature, or its name ends in ".ser" in any case.
// False with `error` "<path>: cannot open: <reason>" when it cannot be opened.
bool is_ser_recording(const std::string& path, bool& is_ser, std::string* error);

// Opens `path` as a SER recording: parses the header (frame sides up to `max_side`), plans the
// layout from the file size, reads up to kSurveyFrames frames of 16-bit samples for the sample
// checks and settles the sample format. Every correction of the header adds one line naming
// `path` to `notices`. False with `error` (one line naming `path`) when the file cannot be read,
// the header is cut short or bad, no whole frame is stored, or one frame cannot be allocated.
bool open_ser_recording(const std::string& path, const SerReadOptions& options, int max_side,
                        SerRecording& recording, std::vector<std::string>& notices,
                        std::string* error);

// Reads frame `index` (0 to layout.frame_count - 1) as header.width * header.height grey levels
// into `grey`, top row first; 8-bit mono frames go straight from the file into `grey`. False with
// `error` naming the file and frame when reading fails.
bool read_ser_frame(SerRecording& recording, std::int64_t index, std::span<std::uint8_t> grey,
                    std::string* error);

// The UTC times (100-ns ticks since 0001-01-01) of frames `first` to `first + count - 1` into
// `ticks`. The whole trailer is checked (check_ser_times) and times written in local time are
// moved to UTC (ser_local_time_shift), with a notice naming `path`. `ticks` is left empty when
// the file has no trailer, or with a notice when its times are not plausible. False with `error`
// when the trailer cannot be read.
bool read_ser_times(SerRecording& recording, std::int64_t first, std::int64_t count,
                    std::vector<std::int64_t>& ticks, std::vector<std::string>& notices,
                    std::string* error);
