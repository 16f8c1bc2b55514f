// The pictures of one flash event for the review page, drawn from the frames round the event
// while the run still holds them: a strip of close-ups, a crop with a box round the site and a
// small view of the whole frame, each an 8-bit PNG in the run's review/ folder; when the ring's
// mean is known, also the close-ups as differences from that mean.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "formats/lightcurves_csv.h"

// The close-ups are of the light curve's frames: from 5 before the event's first frame to 10 after.
inline constexpr int kFirstOffset = kCurveFirstOffset;
inline constexpr int kLastOffset = kCurveLastOffset;
inline constexpr int kOffsetCount = kLastOffset - kFirstOffset + 1;
inline constexpr int kCloseupSide = 21;  // a close-up is 21 x 21 pixels round the site
// Strip layout: kOffsetCount tiles side by side, kStripGap grey pixels between them. A tile is
// one close-up, or for an interlaced run the odd field (rows with odd numbers, row 0 at the top)
// left and the even field right, kStripGap apart, each field's 11 rows drawn twice so that the
// field keeps the frame's proportions.
inline constexpr int kStripGap = 1;
inline constexpr int kFieldRows = 11;
inline constexpr int kInterlacedTileWidth = 2 * kCloseupSide + kStripGap;
inline constexpr int kInterlacedTileHeight = 2 * kFieldRows;
inline constexpr std::uint8_t kStripGapGrey = 96;
inline constexpr int kCropSide = 200;         // the crop: 200 x 200 pixels, the site in the middle
inline constexpr int kOverviewMaxSide = 240;  // the whole frame shrunk to at most this
// The difference strip: each close-up pixel minus the ring's mean at that pixel, rounded to a
// whole grey level (halves away from zero), plus kDiffZero, kept within 0 to 255; so grey
// kDiffZero is no difference, 255 is +127 grey levels or more, 0 is -128 or less. Pixels beyond
// the frame and frames that are not available are kDiffZero, and so is the gap between tiles.
inline constexpr int kDiffZero = 128;

// Width and height of a strip file.
int strip_width(bool interlaced);
int strip_height(bool interlaced);

// The largest work space write_event_images takes for one event: the pixels of the strip, the
// crop and the overview as composed (grey and colour), whatever the frame size.
std::size_t event_images_bytes_needed();

enum class EventImage { strip, crop, overview, difference };

// File name of one picture of event `event` inside review/: "e0001_strip.png",
// "e0001_crop.png", "e0001_frame.png", "e0001_diff.png" (at least four digits).
std::string event_image_name(int event, EventImage image);

// The frames round one event; every buffer belongs to the caller.
struct EventFrames {
  int event = 0;   // the event's number in flashes.csv (from 1), names the files
  int width = 0;   // frame columns
  int height = 0;  // frame rows
  double x = 0.0;  // site column (pixel centres at whole numbers)
  double y = 0.0;  // site row, row 0 at the top
  bool interlaced = false;
  // kOffsetCount frames, offset kFirstOffset first; offset 0 is the event's first frame. An empty
  // span means the frame is not available; its close-up is drawn black, and an empty offset 0
  // leaves the crop and the whole-frame view black.
  std::span<const std::span<const std::uint8_t>> frames;
  // A moving site's step per frame: the close-up of offset k is centred on (x + k step_x,
  // y + k step_y), so that a satellite glint stays in view as it travels. 0 for a site that stays.
  double step_x = 0.0;
  double step_y = 0.0;
  // The ring's sum of each pixel over its `sum_frames` frames (width * height values), whose
  // quotient is the mean the difference strip is taken from. Empty: no difference strip.
  std::span<const double> pixel_sum{};
  int sum_frames = 0;
};

// The difference strip's grey level for a pixel of value `value` where the ring's sum over
// `sum_frames` frames is `sum` (see kDiffZero).
std::uint8_t difference_grey(std::uint8_t value, double sum, int sum_frames);

// Writes the three pictures of `frames.event` into `review_folder` (created when missing):
// - strip: grey, strip_width x strip_height, close-ups for offsets kFirstOffset..kLastOffset;
// - crop: RGB, kCropSide square round the site (black beyond the frame), a yellow box just
//   outside the 21 x 21 pixels round the site;
// - overview: RGB, the offset-0 frame shrunk by a whole factor (block means) to at most
//   kOverviewMaxSide per side, the site marked by a yellow square;
// - difference (when pixel_sum is given): grey, laid out as the strip, each pixel
//   difference_grey of the strip's pixel.
// The site is rounded to the nearest pixel. False with `error` naming the value or file when the
// input is malformed (event below 1, a side outside 1 to 32768, not kOffsetCount frames, a frame
// span neither empty nor width * height bytes, a site that is not a finite number within
// 1,000,000 pixels, a pixel_sum neither empty nor width * height values, sum_frames below 1 with
// a pixel_sum) or a file cannot be written; files already written then stay.
bool write_event_images(const std::filesystem::path& review_folder, const EventFrames& frames,
                        std::string* error);

// Writes the strip alone (as write_event_images writes it, the same bytes), for a page that shows
// no crop or whole frame. False with `error` as write_event_images.
bool write_event_strip(const std::filesystem::path& review_folder, const EventFrames& frames,
                       std::string* error);
