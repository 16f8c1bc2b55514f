#include "sources/frame_source.h"

#include "formats/utc.h"

FrameTime frame_time_from_ticks(std::span<const std::int64_t> utc_ticks, std::int64_t frame,
                                const char* source) {
  FrameTime time;
  if (frame < 0 || frame >= static_cast<std::int64_t>(utc_ticks.size())) return time;
  const std::int64_t utc = utc_ticks[static_cast<std::size_t>(frame)];
  time.known = true;
  time.ticks = utc - utc_ticks.front();
  time.seconds = static_cast<double>(time.ticks) / static_cast<double>(kTicksPerSecond);
  time.utc = utc_text(utc);
  time.source = source;
  return time;
}
