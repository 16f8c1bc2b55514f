#include "formats/site_file.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "imaging/file_io.h"

namespace {

constexpr std::size_t kMostSiteFileBytes = 4096;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A finite decimal number, all of `text`.
bool parse_double(std::string_view text, double& value) {
  text = trim(text);
  if (text.empty()) return false;
  if (text.front() == '+') text.remove_prefix(1);
  double v = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(v)) return false;
  value = v;
  return true;
}

// "YYYY-MM-DDTHH:MM:SS[.f]Z", checked by shape and field ranges.
bool looks_like_utc(std::string_view t) {
  if (t.size() < 20 || t.size() > 30 || t.back() != 'Z') return false;
  const char* shape = "dddd-dd-ddTdd:dd:dd";
  for (std::size_t i = 0; i < 19; ++i) {
    const char want = shape[i];
    if (want == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != want) return false;
  }
  if (t.size() > 20) {
    if (t[19] != '.' || t.size() == 21) return false;
    for (std::size_t i = 20; i + 1 < t.size(); ++i)
      if (t[i] < '0' || t[i] > '9') return false;
  }
  auto two = [&](std::size_t at) { return (t[at] - '0') * 10 + (t[at + 1] - '0'); };
  return two(5) >= 1 && two(5) <= 12 && two(8) >= 1 && two(8) <= 31 && two(11) <= 23 &&
         two(14) <= 59 && two(17) <= 60;
}

bool parse_site_value(std::string_view text, SiteSettings& site) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  double lat = 0.0, lon = 0.0, height = 0.0;
  if (!parse_double(parts[0], lat) || !parse_double(parts[1], lon)) return false;
  if (parts.size() == 3 && !parse_double(parts[2], height)) return false;
  if (lat < -90.0 || lat > 90.0 || lon < -180.0 || lon > 360.0 || height < -500.0 ||
      height > 10000.0) {
    return false;
  }
  site.site_known = true;
  site.latitude = lat;
  site.longitude = lon > 180.0 ? lon - 360.0 : lon;
  site.height = height;
  return true;
}

bool parse_rotation_value(std::string_view text, SiteSettings& site) {
  const std::size_t at = text.find('@');
  double rotation = 0.0;
  if (!parse_double(text.substr(0, at), rotation) || rotation < -360.0 || rotation > 360.0) {
    return false;
  }
  std::string utc;
  if (at != std::string_view::npos) {
    utc = std::string(trim(text.substr(at + 1)));
    if (!looks_like_utc(utc)) return false;
  }
  site.rotation_known = true;
  site.rotation = rotation;
  site.rotation_utc = utc;
  return true;
}

bool parse_scale_value(std::string_view text, SiteSettings& site) {
  double scale = 0.0;
  if (!parse_double(text, scale) || !(scale > 0.0) || scale > 3600.0) return false;
  site.scale_known = true;
  site.scale = scale;
  return true;
}

// Reads one key's value; false when the value is bad. `what` then says what was expected.
bool parse_key(std::string_view key, std::string_view value, SiteSettings& site,
               std::string* what) {
  if (key == "Latitude" || key == "Longitude" || key == "Height") {
    double v = 0.0;
    const bool lat = key == "Latitude", lon = key == "Longitude";
    *what = lat ? "a number of degrees from -90 to 90"
                : (lon ? "a number of degrees from -180 to 360"
                       : "a number of metres from -500 to 10000");
    if (!parse_double(value, v)) return false;
    if (lat && (v < -90.0 || v > 90.0)) return false;
    if (lon && (v < -180.0 || v > 360.0)) return false;
    if (!lat && !lon && (v < -500.0 || v > 10000.0)) return false;
    (lat ? site.latitude : (lon ? site.longitude : site.height)) = lon && v > 180.0 ? v - 360.0 : v;
    return true;
  }
  if (key == "Mirror") {
    *what = "yes or no";
    value = trim(value);
    if (value != "yes" && value != "no") return false;
    site.mirror = value == "yes" ? MirrorSense::yes : MirrorSense::no;
    return true;
  }
  if (key == "Rotation") {
    *what = "DEG or DEG@UTC, degrees from -360 to 360";
    return parse_rotation_value(trim(value), site);
  }
  if (key == "Mount") {
    *what = "altaz or equatorial";
    value = trim(value);
    if (value != "altaz" && value != "equatorial") return false;
    site.altaz = value == "altaz";
    return true;
  }
  *what = "arcseconds per pixel above 0 and up to 3600";
  return parse_scale_value(value, site);
}

std::string number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", v);
  return text;
}

}  // namespace

bool is_site_option(const std::string& option) {
  return option == "--site" || option == "--mirror" || option == "--rotation" ||
         option == "--mount" || option == "--scale";
}

bool parse_site_option(const std::string& option, const std::string& value, SiteSettings& site,
                       std::string* error) {
  const std::string quoted = "\"" + value + "\"";
  if (option == "--site") {
    if (parse_site_value(value, site)) return true;
    *error = "--site: " + quoted +
             " is not LAT,LON[,HEIGHT] (degrees north -90 to 90, degrees east, metres)";
    return false;
  }
  if (option == "--mirror") {
    if (value == "yes" || value == "no") {
      site.mirror = value == "yes" ? MirrorSense::yes : MirrorSense::no;
      return true;
    }
    *error = "--mirror: " + quoted + " is not yes or no";
    return false;
  }
  if (option == "--rotation") {
    if (parse_rotation_value(value, site)) return true;
    *error = "--rotation: " + quoted +
             " is not DEG or DEG@UTC (degrees from -360 to 360, UTC as 2024-03-15T21:04:05Z)";
    return false;
  }
  if (option == "--mount") {
    if (value == "altaz" || value == "equatorial") {
      site.altaz = value == "altaz";
      return true;
    }
    *error = "--mount: " + quoted + " is not altaz or equatorial";
    return false;
  }
  if (parse_scale_value(value, site)) return true;
  *error = "--scale: " + quoted + " is not a number of arcseconds per pixel above 0 and up to 3600";
  return false;
}

bool check_site_options(const SiteSettings& site, std::string* error) {
  if (!site.site_known && (site.mirror != MirrorSense::unknown || site.rotation_known ||
                           site.altaz || site.scale_known)) {
    *error = "--site: needed with --mirror, --rotation, --mount and --scale";
    return false;
  }
  if (site.altaz && site.rotation_utc.empty()) {
    *error = "--mount: altaz needs --rotation DEG@UTC (the rotation and when it was measured)";
    return false;
  }
  if (!site.altaz && !site.rotation_utc.empty()) {
    *error = "--rotation: a rotation measured at a time turns only on --mount altaz";
    return false;
  }
  return true;
}

std::string format_site_file(const SiteSettings& site) {
  std::string text = "Latitude= " + number(site.latitude) +
                     "\nLongitude= " + number(site.longitude) + "\nHeight= " + number(site.height) +
                     "\n";
  if (site.mirror != MirrorSense::unknown)
    text += std::string("Mirror= ") + (site.mirror == MirrorSense::yes ? "yes" : "no") + "\n";
  if (site.rotation_known) {
    text += "Rotation= " + number(site.rotation) +
            (site.rotation_utc.empty() ? "" : "@" + site.rotation_utc) + "\n";
  }
  text += std::string("Mount= ") + (site.altaz ? "altaz" : "equatorial") + "\n";
  if (site.scale_known) text += "Scale= " + number(site.scale) + "\n";
  return text;
}

bool parse_site_file(std::string_view text, SiteSettings& site, std::string* error) {
  SiteSettings read;
  const char* keys[] = {"Latitude", "Longitude", "Height", "Mirror", "Rotation", "Mount", "Scale"};
  bool seen[7] = {};
  std::size_t start = 0;
  int line_number = 0;
  const std::string file = kSiteFileName;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(start, end - start));
    start = end + 1;
    ++line_number;
    if (line.empty()) continue;
    const std::string where = file + ": line " + std::to_string(line_number) + ": ";
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      *error = where + "\"" + std::string(line) + "\" is not Key= value";
      return false;
    }
    const std::string_view key = trim(line.substr(0, equals));
    int k = 0;
    while (k < 7 && key != keys[k]) ++k;
    if (k == 7) {
      *error = where + std::string(key) +
               ": not a key of site.txt (Latitude, Longitude, Height, Mirror, Rotation, Mount, "
               "Scale)";
      return false;
    }
    if (seen[k]) {
      *error = where + std::string(key) + ": given twice";
      return false;
    }
    seen[k] = true;
    std::string what;
    const std::string_view value = trim(line.substr(equals + 1));
    if (!parse_key(key, value, read, &what)) {
      *error = where + std::string(key) + ": \"" + std::string(value) + "\" is not " + what;
      return false;
    }
  }
  for (int k = 0; k < 2; ++k) {
    if (!seen[k]) {
      *error = file + ": " + keys[k] + ": missing";
      return false;
    }
  }
  read.site_known = true;
  std::string check;
  if (read.altaz && read.rotation_utc.empty()) {
    *error = file + ": Mount: altaz needs Rotation= DEG@UTC";
    return false;
  }
  if (!read.altaz && !read.rotation_utc.empty()) {
    *error = file + ": Rotation: a rotation measured at a time needs Mount= altaz";
    return false;
  }
  site = read;
  return true;
}

bool read_site_file(const std::filesystem::path& run_dir, SiteSettings& site, bool& present,
                    std::string* error) {
  std::error_code ec;
  present = std::filesystem::exists(std::filesystem::symlink_status(run_dir / kSiteFileName, ec));
  if (!present) return true;
  FileHandle file = open_text_to_read(run_dir, kSiteFileName, error);
  if (!file) return false;
  std::string text;
  char buffer[1024];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    if (got == 0) break;
    text.append(buffer, got);
    if (text.size() > kMostSiteFileBytes) {
      *error = std::string(kSiteFileName) + ": larger than " + std::to_string(kMostSiteFileBytes) +
               " bytes; not a site file";
      return false;
    }
  }
  if (std::ferror(file.get()) != 0) {
    *error = std::string(kSiteFileName) + ": read failed";
    return false;
  }
  return parse_site_file(text, site, error);
}

bool write_site_file(const std::filesystem::path& run_dir, const SiteSettings& site,
                     std::string* error) {
  return replace_text_file_in(run_dir, kSiteFileName, format_site_file(site), error);
}
