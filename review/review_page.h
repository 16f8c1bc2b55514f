// The review page: review/index.html in a run folder, built from the flash catalogue
// (flashes.csv, lightcurves.csv), the event pictures already in review/ and, when present, the
// observer's decisions.csv. The page holds its data as JSON in an inline script and needs no
// network; the pictures are loaded from beside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// One line of flashes.csv. Optional fields are empty cells in the file.
struct ReviewEvent {
  int event = 0;           // from 1, unique in the file
  std::int64_t frame = 0;  // first frame of the event
  int frames = 0;          // duration in frames, at least 1
  std::string utc;         // ISO 8601 or empty
  std::optional<double> seconds;
  double x = 0.0;         // column
  double y = 0.0;         // row from the top
  double peak = 0.0;      // grey levels
  double flux = 0.0;      // grey levels
  double flux_err = 0.0;  // grey levels
  double snr = 0.0;
  std::optional<double> m_inst;  // empty when flux <= 0
  bool saturated = false;
  double motion = 0.0;      // pixels per frame
  std::string fields;       // "both", "odd", "even" or empty
  std::string event_class;  // "flash", "moving", "edge", "off_moon" or "sunlit"
  std::string report;       // report image, relative to the run folder, or empty
  // Selenographic place and its 1-sigma errors, degrees; empty when the run had no site.
  std::optional<double> lat, lon, lat_err, lon_err;
};

// One line of lightcurves.csv: the event measured in frame `frame` = its first frame + offset.
struct LightCurvePoint {
  int event = 0;
  std::optional<std::int64_t> frame;
  int offset = 0;  // -5 to 10
  std::optional<double> flux;
  std::optional<double> flux_err;
  std::optional<double> peak;
};

enum class Decision { undecided, accepted, rejected };

// One line of decisions.csv (as the page exports it): event, frame, utc, decision.
struct DecisionLine {
  int line = 0;  // line number in the file, for notices
  int event = 0;
  std::int64_t frame = 0;
  Decision decision = Decision::undecided;
};

// Readers. Each reads the whole file at `path` (at most 64 MiB, lines of at most 4096 bytes,
// "\r\n" taken as "\n"), checks the header line and every cell, and fills `out` in file order.
// False with `error` "<path>:<line>: <what is wrong>" (or "<path>: ..." for the file as a whole)
// at the first bad line; `out` is then incomplete. flashes.csv holds at most 100,000 events with
// unique numbers; lightcurves.csv may name only events of `events`, each offset once.
bool read_flashes_csv(const std::filesystem::path& path, std::vector<ReviewEvent>& out,
                      std::string& error);
bool read_lightcurves_csv(const std::filesystem::path& path, const std::vector<ReviewEvent>& events,
                          std::vector<LightCurvePoint>& out, std::string& error);
bool read_decisions_csv(const std::filesystem::path& path, std::vector<DecisionLine>& out,
                        std::string& error);

// What write_review_page did.
struct ReviewPageResult {
  std::filesystem::path page;        // the page written
  int events = 0;                    // cards on the page
  std::vector<std::string> notices;  // one line each: what was left out and why
};

// Builds `run_folder`/review/index.html (creating review/) through a temporary name and a
// rename. flashes.csv must exist; a missing lightcurves.csv leaves the light curves out, a missing
// or unreadable picture leaves that picture out, a decision whose event and frame are not in
// flashes.csv is ignored, each with a notice. The page's run id comes from the run folder's path,
// the bytes of flashes.csv and its modification time, so the decisions the browser keeps for one
// run are not offered to a later run written into the same folder. False with `error` when a CSV
// file is malformed or the page cannot be written.
bool write_review_page(const std::filesystem::path& run_folder, ReviewPageResult& result,
                       std::string& error);
