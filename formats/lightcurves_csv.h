// lightcurves.csv: each event's flux at its site in the frames around its first frame, one line
// per event and frame. This module owns the table: row, columns, header, writer and reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/flashes_csv.h"

inline constexpr const char* kLightCurvesName = "lightcurves.csv";

// The light curve's frames: from 5 frames before the event's first frame to 10 after it.
inline constexpr int kCurveFirstOffset = -5;
inline constexpr int kCurveLastOffset = 10;

// One line of lightcurves.csv: the event measured in frame `frame` = its first frame + offset.
// The values are empty where the frame was not measured (no longer or not yet in the ring).
struct LightCurveRow {
  int event = 0;
  std::optional<std::int64_t> frame;
  int offset = 0;  // kCurveFirstOffset to kCurveLastOffset
  std::optional<double> flux;
  std::optional<double> flux_err;
  std::optional<double> peak;
};

std::span<const std::string_view> lightcurves_columns();
std::string lightcurves_header();

// The line of `row`, ending in "\n", values with 2 decimals.
std::string lightcurves_line(const LightCurveRow& row);

// Reads `path` as read_flashes_csv does its file. Every line must name an event of `events`,
// each event and offset once. False with `error` naming file, line and column.
bool read_lightcurves_csv(const std::filesystem::path& path, const std::vector<FlashRow>& events,
                          std::vector<LightCurveRow>& rows, std::string* error);
