// The observer's site and the image's orientation: the command-line options that give them
// (--site LAT,LON[,HEIGHT], --mirror yes|no, --rotation DEG[@UTC], --mount altaz|equatorial,
// --scale ARCSEC) and site.txt in the run folder, which keeps them for the runs that follow, one
// "Key= value" a line as the settings files are laid out: Latitude=, Longitude=, Height=,
// Mirror=, Rotation=, Mount=, Scale=.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

inline constexpr const char* kSiteFileName = "site.txt";

enum class MirrorSense { unknown, no, yes };

struct SiteSettings {
  bool site_known = false;
  double latitude = 0.0;   // degrees north, -90 to 90
  double longitude = 0.0;  // degrees east, -180 to 360
  double height = 0.0;     // metres above sea level
  MirrorSense mirror = MirrorSense::unknown;
  bool rotation_known = false;
  double rotation = 0.0;     // degrees: position angle of the image's up direction
  std::string rotation_utc;  // when the rotation was measured (alt-azimuth mount); or empty
  bool altaz = false;        // alt-azimuth mount: the image turns with the parallactic angle
  bool scale_known = false;
  double scale = 0.0;  // arcseconds per pixel
};

// True for --site, --mirror, --rotation, --mount, --scale.
bool is_site_option(const std::string& option);

// Reads the value of one of those options into `site`. False with `error`, one line naming the
// option and the value ("--site: \"40,x\" is not LAT,LON[,HEIGHT] in degrees and metres").
bool parse_site_option(const std::string& option, const std::string& value, SiteSettings& site,
                       std::string* error);

// Checks the options given together: every other option needs --site; --mount altaz needs a
// --rotation measured at a time (DEG@UTC), and a rotation with a time needs --mount altaz.
bool check_site_options(const SiteSettings& site, std::string* error);

// site.txt's text for `site` (site_known must be true).
std::string format_site_file(const SiteSettings& site);

// Parses site.txt's text. False with `error` naming the file, the line and the key that is wrong
// ("site.txt: line 2: Longitude: \"abc\" is not a number of degrees from -180 to 360"), a key
// that is not one of the seven, a key given twice, or Latitude or Longitude missing.
bool parse_site_file(std::string_view text, SiteSettings& site, std::string* error);

// Reads site.txt of `run_dir` when it is there (`present` says whether it is). False with `error`
// when it is there but cannot be read or is wrong.
bool read_site_file(const std::filesystem::path& run_dir, SiteSettings& site, bool& present,
                    std::string* error);

// Writes site.txt into `run_dir` (whole, through a temporary name).
bool write_site_file(const std::filesystem::path& run_dir, const SiteSettings& site,
                     std::string* error);
