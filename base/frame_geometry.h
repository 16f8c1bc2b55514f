// The size of the frames of a run, fixed for the whole run.
#pragma once

// The largest width or height of a frame, and so of any picture made from frames: frame files,
// recordings, PNG pictures. 32768^2 * 3 * 2 bytes still fits a 64-bit size_t.
inline constexpr int kMaxFrameSide = 32768;

struct FrameGeometry {
  int image_width = 0;   // columns (the `sample` direction)
  int image_height = 0;  // stored rows (the `line` direction), row 0 the top of the picture
  int frame_pixels = 0;  // image_width * image_height, bytes of one 8-bit frame
};
