// The per-frame flash detector: temporal test from the running sums, neighbourhood confirmation,
// boxes in marked_frame, and the cluster test on the confirmed pixels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/frame_geometry.h"
#include "detection/frame_ring.h"

// The nine measured values, in the column order of flash_info.dat. Never cleared between calls:
// a field keeps the value of the last pixel that reached its writing step.
struct FlashMeasurement {
  float sample = 0.0f;
  float line = 0.0f;
  float scatter = 0.0f;
  float bckgrnd = 0.0f;
  float bckgrnd_sigma = 0.0f;
  float signal = 0.0f;
  float time_back = 0.0f;
  float time_sigma = 0.0f;
  float time_signal = 0.0f;
};

// The detector reads column x - 1 and x + 1 and rows y - 2 and y + 2 of every scanned pixel, so
// the side borders are at least 1 and the top and bottom borders at least 2.
inline constexpr int kLeastSideBorder = 1;
inline constexpr int kLeastLineBorder = 2;

// Borders in pixels: scanned columns are left <= x < width - right, rows top <= y < height -
// bottom.
struct ScanBorders {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};

// Each border raised to the least the detector's reads need.
ScanBorders usable_borders(ScanBorders typed);

// What the detector tests against, built once before the run from the typed settings.
struct DetectionThresholds {
  double time_sd = 0.0;       // time spreads a pixel and its right neighbour must stand above
  double min_sd2 = 0.0;       // floor of the time spread, grey levels
  double neighbour_sd = 0.0;  // block spreads a pixel must stand above its block's mean
  double min_sd1 = 0.0;       // floor of the block spread, grey levels
  double flash_sd_sep = 0.0;  // largest scatter of the confirmed pixels
  ScanBorders borders;        // already raised by usable_borders
  // The user's mask, one byte per pixel of the frame: 0 where a pixel is never a candidate (it
  // may still be read as a neighbour), any other value where it is scanned. Empty: every pixel
  // inside the borders is scanned. The caller owns the bytes for as long as the detector runs.
  std::span<const std::uint8_t> mask;
};

// Pixels listed per frame at most; from the 101st confirmed pixel on, each replaces the last.
inline constexpr int kMaxListedPixels = 100;

struct PixelPosition {
  double x = 0.0;
  double y = 0.0;
};

// What one detector call finds. `measurement` is carried from call to call (see above).
struct DetectionResult {
  bool found = false;   // a pixel was confirmed and their scatter is at most flash_sd_sep
  int flash_count = 0;  // confirmed pixels listed, 0 to 100 (0 when the scatter test failed)
  int listed = 0;       // confirmed pixels listed before the scatter test, 0 to 100
  FlashMeasurement measurement;
  std::array<PixelPosition, kMaxListedPixels> pixels{};  // the first flash_count are the list
};

// What `marked_frame` holds when flash_detector is called.
enum class MarkedStart {
  anything,      // the detector copies the frame under test into it first
  target_frame,  // already the frame under test (copied by the caller, e.g. band by band)
};

// Tests the frame in `target_slot`: rebuilds `marked_frame` (frame_pixels bytes) as that frame
// with a 21x21 box outline round every confirmed pixel and fills `result` (its measurement is
// updated in place, not cleared). `candidate_chunks` (from mark_candidate_chunks or
// replace_and_mark for this ring, target slot and thresholds) tells which runs of pixels may hold
// a candidate; an empty span means scan every pixel. The results are the same either way.
// The caller sizes every buffer to the geometry, thresholds.mask too when it is not empty
// (checked: a mismatch stops the program).
void flash_detector(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                    const DetectionThresholds& thresholds, std::span<std::uint8_t> marked_frame,
                    std::span<const std::uint8_t> candidate_chunks, DetectionResult& result,
                    MarkedStart start = MarkedStart::anything);

// A candidate map holds one byte per chunk of kCandidateChunkPixels consecutive pixels of a frame
// (the last chunk may be shorter): 1 when some pixel of the chunk may pass the temporal test, 0
// when none can. It is a cheap bound, so most pixels never reach the test's divisions.
inline constexpr int kCandidateChunkPixels = 64;

// Bytes of a candidate map for frames of `frame_pixels` pixels.
std::size_t candidate_chunk_count(int frame_pixels);

// Fills `candidate_chunks` (candidate_chunk_count bytes; a map of another size is left alone)
// for the frame in `target_slot` under the current sums and `thresholds`.
void mark_candidate_chunks(const FrameRing& ring, int target_slot,
                           const DetectionThresholds& thresholds,
                           std::span<std::uint8_t> candidate_chunks);

// The run's pass over the sums: replace_slot(ring, load_slot, entering) and, in the same pass,
// mark_candidate_chunks for the frame in `target_slot` with the updated sums.
void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionThresholds& thresholds,
                      std::span<std::uint8_t> candidate_chunks);

// replace_and_mark of the pixels in `pixels` only, marking the chunks they cover: `pixels.begin`
// is a multiple of kCandidateChunkPixels and `pixels.end` one too or frame_pixels (checked: a
// misfit stops the program), so ranges side by side never share a chunk and may be done on
// different threads. `entering` is still the whole frame. Each pixel and each chunk comes out as
// in the whole-frame call.
void replace_and_mark(const FrameRing& ring, int load_slot, std::span<const std::uint8_t> entering,
                      int target_slot, const DetectionThresholds& thresholds,
                      std::span<std::uint8_t> candidate_chunks, PixelRange pixels);

// ---- many thresholds at once --------------------------------------------------------------------

// Work space of flash_detector_grid, sized by it on first use and kept between frames.
struct GridScratch {
  std::vector<double> pair_time_sd;      // the distinct (time_sd, min_sd2) pairs of the grid
  std::vector<double> pair_min_sd2;
  std::vector<std::size_t> pair_of;      // per thresholds, its pair
  std::vector<std::size_t> member_start;  // pair g's thresholds: members[start[g], start[g+1])
  std::vector<std::size_t> members;
  std::vector<std::uint64_t> own;        // per pair word, a pixel's temporal passes
  std::vector<std::uint64_t> known;      // the same for its right-hand neighbour
  std::vector<std::uint8_t> chunks;      // candidate map of the loosest bound
};

// flash_detector on the frame in `target_slot` under each of `grid`, in one scan: results[k]
// gets found, flash_count, listed, the pixel list and the measurement's sample, line and scatter
// that flash_detector with grid[k] gives, bit for bit; the measurement's other values are left as
// they were, and no boxes are drawn. The temporal test depends only on time_sd and min_sd2 and the
// neighbourhood's mean and spread on no threshold, so each pixel's values are computed once; the
// chunks and pixels the loosest of the grid's bounds rules out are skipped. Every thresholds of
// `grid` share the same borders and mask, and `results` holds one result per thresholds (both
// checked: a misfit stops the program), as do the ring and its sums the geometry.
void flash_detector_grid(const FrameRing& ring, const FrameGeometry& geometry, int target_slot,
                         std::span<const DetectionThresholds> grid, GridScratch& scratch,
                         std::span<DetectionResult> results);
