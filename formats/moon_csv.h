// moon.csv: one line per fit of the Moon's disc in a run with the observer's site, written by
// the run (outputs/moon_places) and read by the review page. Angles in degrees, lengths in
// pixels; a cell the fit could not give is empty. The last two columns, the frame's width and
// height, let a reader place the disc on pictures drawn at another scale; a file of an earlier
// version without them is read too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kMoonFitsName = "moon.csv";

// The columns in file order.
std::span<const std::string_view> moon_fits_columns();
// The header line, ending in "\n".
std::string moon_fits_header();

struct MoonFitRow {
  std::int64_t frame = 0;
  std::string utc;
  std::optional<double> cx, cy, radius, rotation;
  std::string mirror;  // "yes", "no" or empty
  std::optional<double> scale, cx_err, cy_err, radius_err, rotation_err;
  std::optional<double> lib_lon, lib_lat, axis_pa, bright_limb_pa, illuminated, sun_lon, sun_lat,
      distance_km, moon_alt, arc_deg, fit_rms;
  std::optional<double> width, height;  // the frame's, pixels
};

// A fit from which places follow: the disc, its orientation, the mirror sense and the geometry.
bool moon_fit_usable(const MoonFitRow& row);

// Reads `run_dir`/moon.csv. False with `error` naming the file, the line and the column.
bool read_moon_csv(const std::filesystem::path& path, std::vector<MoonFitRow>& rows,
                   std::string* error);
