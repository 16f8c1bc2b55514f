#include "formats/moon_csv.h"

#include "formats/csv.h"

namespace {

constexpr std::size_t kMostFileBytes = std::size_t{64} << 20;
constexpr std::size_t kMostRows = 1000000;
constexpr std::int64_t kMostFrame = std::int64_t{1} << 40;

constexpr std::string_view kColumns[] = {
    "frame",          "utc",          "cx",      "cy",      "radius",
    "rotation",       "mirror",       "scale",   "cx_err",  "cy_err",
    "radius_err",     "rotation_err", "lib_lon", "lib_lat", "axis_pa",
    "bright_limb_pa", "illuminated",  "sun_lon", "sun_lat", "distance_km",
    "moon_alt",       "arc_deg",      "fit_rms", "width",   "height"};
// The columns of the first version, without the frame's size.
constexpr std::size_t kFirstColumns = 23;
constexpr std::string_view kMirrorWords[] = {"yes", "no", ""};

}  // namespace

std::span<const std::string_view> moon_fits_columns() {
  return kColumns;
}

std::string moon_fits_header() {
  return csv_header(kColumns);
}

bool moon_fit_usable(const MoonFitRow& r) {
  return r.cx && r.cy && r.radius && *r.radius > 0.0 && r.rotation && !r.mirror.empty() &&
         r.lib_lon && r.lib_lat && r.axis_pa && r.distance_km && *r.distance_km > 1737.4;
}

bool read_moon_csv(const std::filesystem::path& path, std::vector<MoonFitRow>& rows,
                   std::string* error) {
  rows.clear();
  const auto row = [&](const CsvLines& lines, const std::vector<std::string_view>& cells,
                       std::string* e) {
    if (rows.size() == kMostRows) {
      *e = lines.where() + "more than " + std::to_string(kMostRows) + " fits";
      return false;
    }
    MoonFitRow r;
    if (!read_integer_cell(lines, "frame", cells[0], 0, kMostFrame, r.frame, e) ||
        !read_utc_cell(lines, "utc", cells[1], r.utc, e) ||
        !read_word_cell(lines, "mirror", cells[6], kMirrorWords, "yes, no or empty", r.mirror, e)) {
      return false;
    }
    std::optional<double>* numbers[] = {
        &r.cx,      &r.cy,      &r.radius,      &r.rotation,       nullptr,
        &r.scale,   &r.cx_err,  &r.cy_err,      &r.radius_err,     &r.rotation_err,
        &r.lib_lon, &r.lib_lat, &r.axis_pa,     &r.bright_limb_pa, &r.illuminated,
        &r.sun_lon, &r.sun_lat, &r.distance_km, &r.moon_alt,       &r.arc_deg,
        &r.fit_rms, &r.width,   &r.height};
    for (std::size_t k = 2; k < cells.size(); ++k) {
      std::optional<double>* value = numbers[k - 2];
      if (value == nullptr) continue;
      if (!read_optional_number_cell(lines, kColumns[k], cells[k], *value, e)) return false;
    }
    rows.push_back(std::move(r));
    return true;
  };
  return read_csv_rows(path, kMostFileBytes, kColumns, kFirstColumns, row,
                       /*spreadsheet_ends=*/false, error);
}
