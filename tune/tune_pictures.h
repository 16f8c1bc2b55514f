// The pictures of vesk-tune's page: the mask of the night side over the mean frame, and the
// close-up strip of each candidate on its card, drawn from the frames round it.
#pragma once

#include <filesystem>
#include <string>

#include "tune/grid_run.h"
#include "tune/night_survey.h"
#include "tune/tune_score.h"

// Writes `folder`/mask.png: the mean frame in grey, the night side tinted green, the other
// pixels the detector tests (mean strictly between 5 and 250 inside or outside the borders)
// tinted red, the pixels the user's mask.png leaves out darkened and untinted. False with
// `error` naming the file when it cannot be written.
bool write_mask_image(const std::filesystem::path& folder, const NightSurvey& survey,
                      std::string* error);

// Writes the strip of each shown candidate (shown_candidates) into `folder`/cards as the review
// page names them (card n from 1), first removing the pictures of that naming left there by an
// earlier run. The frames are read anew through `open`, a negative candidate's through its
// negative, mirrored about `centres` (mirror_centres). False with `error` when the recording cannot
// be read or a file cannot be written. With `threads` 2 or more the frames and their negative
// are read side by side.
bool write_candidate_pictures(const std::filesystem::path& folder, const SourceOpener& open,
                              const std::vector<std::int16_t>& centres, const TuneScores& scores,
                              bool interlaced, int threads, std::string* error);
