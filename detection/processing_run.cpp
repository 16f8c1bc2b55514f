#include "detection/processing_run.h"

// Filled in with the detection core.
RunOutcome process_frames(const FrameGeometry&, const DetectionSettings&, RunBuffers&, FileHandle&,
                          std::FILE*, std::FILE*) {
  return {};
}
