// vesk-tune: chooses the detection thresholds on the user's own recording. It measures the
// recording's noise, injects synthetic flashes of known strength into its frames in memory, runs
// the detector over a grid of thresholds with and without them, and recommends the setting that
// finds the most flashes at 8 times the noise without more false alarms than allowed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "control/settings.h"
#include "tune/grid_run.h"
#include "tune/injection_plan.h"
#include "tune/night_survey.h"
#include "tune/tune_options.h"
#include "tune/tune_score.h"

struct TuneInput {
  SourceOpener open;           // the frames to tune on, from the first one used
  std::string name;            // the recording in messages about it as a whole ("BMP_RAW")
  std::int64_t first = 0;      // recording number of the first frame, for what is shown
  DetectionSettings settings;  // the settings in use: ring, limits, borders, current thresholds
  int flashes_per_bin = 50;
  double psf = 2.5;           // full width at half maximum of the injected flashes, pixels
  double false_alarms = 1.0;  // allowed per 10,000 frames
  int threads = 1;
  // The night side from the fitted disc and terminator (one byte per pixel, 1 on the night side)
  // when the place on the Moon is known; empty: from the frames' brightness (the earthshine).
  std::vector<std::uint8_t> site_mask;
  // The user's mask.png of the run folder as the detector takes it (see
  // DetectionThresholds::mask); empty: every pixel. Flashes are injected and counted inside it.
  std::vector<std::uint8_t> scan_mask;
  // The observer's site (site_known false when not given), for the runs that need the disc.
  SiteSettings site;
  // A terminal to show the grid runs' progress on, one line rewritten with '\r'; null: none.
  std::FILE* progress = nullptr;
};

struct TuneOutcome {
  NightSurvey survey;
  InjectionPlan plan;
  std::vector<GridSetting> grid;
  TuneScores scores;
  std::vector<std::string> warnings;  // about frames of the recording, once each
  double survey_seconds = 0.0;
  double run_seconds = 0.0;
  int threads = 1;
  double psf = 2.5;
};

// The whole measurement: survey, plan, runs, scores. The recording is only read. False with
// `error` (one line) when the frames cannot be read or hold nothing to tune on.
bool tune_recording(const TuneInput& input, TuneOutcome& outcome, std::string* error);

// vesk-tune on options.run_dir: reads settings.txt and the frames, tunes, prints the noise, the
// short table and the recommendation to `out`, writes tune/completeness.csv and tune/index.html
// into the run folder and, with options.write, settings.txt (the old one kept as
// settings.txt.bak). The site (--site and the options with it, else the run folder's site.txt) is
// handed to the tuning and recorded as tune/site.txt. Problems go to `err` as one line each. Returns the exit status: 0, or 1 on
// an error, a file that could not be written, or --write without a setting to write.
int run_tune(const TuneOptions& options, std::FILE* out, std::FILE* err);
