// The size of the frames of a run, fixed for the whole run.
#pragma once

struct FrameGeometry {
  int image_width = 0;   // columns (the `sample` direction)
  int image_height = 0;  // stored rows (the `line` direction), row 0 the top of the picture
  int frame_pixels = 0;  // image_width * image_height, bytes of one 8-bit frame
};
