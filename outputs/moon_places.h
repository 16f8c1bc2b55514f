// Where on the Moon each event lies. With the observer's site known, the disc is fitted in the
// ring's mean frame (the running sums over the frames it holds) when the run starts, every 60 s of
// recording after, and sooner when the bright disc has moved by more than a pixel; each fit is a
// line of moon.csv in the run folder. The flash catalogue asks for each closed event's place: the
// fit nearest its frame, the Moon's geometry at its time, the pixel taken through the perspective
// view to selenographic latitude and longitude with 1-sigma errors. An event beyond the limb by
// more than 3 times its error becomes off_moon, one on the Sun's side of the terminator sunlit
// (not while the Moon is in the Earth's umbra). What keeps the places empty (no UTC, no mirror
// sense, no limb in view, the lit limb out of view and no rotation) and a Moon below the horizon
// are said once each on the error stream.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "formats/moon_csv.h"
#include "formats/site_file.h"
#include "outputs/flash_catalogue.h"
#include "run/run_output.h"
#include "sources/frame_source.h"

// Seconds of recording between two fits of the disc. A disc that stays put changes too slowly to
// need more (its radius by 0.01% a minute); one that moves is fitted again sooner.
inline constexpr double kSecondsBetweenFits = 60.0;
// Frames between two checks of whether the disc has moved.
inline constexpr int kFramesBetweenMoveChecks = 25;

struct MoonPlacesSettings {
  std::filesystem::path run_dir;  // moon.csv is written here; frame_times.csv read from here
  SiteSettings site;              // site_known must be true
  std::FILE* out = nullptr;       // flushed before each message
  std::FILE* err = nullptr;
  // The recording's own clock, as for the flash catalogue; none: frame_times.csv's times.
  std::function<FrameTime(std::int64_t frame)> source_times;
};

class MoonPlaces : public RunOutput, public EventPlacer {};

std::unique_ptr<MoonPlaces> make_moon_places(MoonPlacesSettings settings);
