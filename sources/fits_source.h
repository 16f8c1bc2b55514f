// FITS recordings as a frame source, read with cfitsio: one file holding a cube of frames (NAXIS3
// frames of NAXIS1 x NAXIS2), or a folder of files of one frame each, taken in the order of their
// names. Integer samples (BITPIX 8, 16, 32 with BZERO, BSCALE 1) become 8-bit grey as a SER's do:
// shifted right by the depth they are scaled from, settled on the first frames. Floating-point
// samples, and integers under a BSCALE other than 1, go through one linear scaling fixed for the
// whole run. FITS stores the bottom row first; frames are turned so their first row is the top.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sources/frame_source.h"
#include "sources/recording.h"

// Sets `is_fits` when `path` is a folder, starts with the FITS signature ("SIMPLE  =") or is named
// *.fits, *.fit or *.fts in any case. False with `error` "<path>: cannot open: <reason>" when it
// cannot be looked at.
bool is_fits_recording(const std::string& path, bool& is_fits, std::string* error);

// Opens `path`, a FITS cube or a folder of FITS frames, for frames options.first to
// options.first + options.count - 1 (to the end for count -1), numbered from 0. Every file is
// checked before any frame buffer is taken: its image size, BITPIX and scaling against the first
// file's, and its size on disk against what its header states. Frame times are the UTC of the
// start of each frame's exposure, from the first there of DATE-BEG, DATE-OBS (with TIME-OBS when
// it holds the date only), DATE-AVG and DATE-END (these two moved back by EXPTIME / 2 and
// EXPTIME) in the scale of TIMESYS (UTC when absent; TT, TAI and GPS taken to UTC with ERFA's
// leap seconds): one per file of a folder; for a cube, frame 0's, the others from its TIME table
// or options.fps apart. Each reading the user should know of (UTC assumed, depth
// settled, float scaling chosen, options ignored, times not used) adds one line naming `path` to
// `notices`. Null with `error`, one line naming the file, when a file is no readable FITS image,
// holds another size, is cut short, gives its times in another scale, or `options` ask for
// frames it lacks.
std::unique_ptr<FrameSource> open_fits_source(const std::string& path,
                                              const RecordingOptions& options,
                                              std::vector<std::string>& notices,
                                              std::string* error);
