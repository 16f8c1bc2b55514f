// The names a run writes in its run folder: the only names a run may remove or replace. Anything
// else there (the inputs, and files of the user's own) is never touched.
#pragma once

#include <string_view>

// Files a processing run writes at the top of the run folder. frame_times.csv is among them only
// when vesk reads a recording itself; in a frame folder it is vesk-frames' record, an input.
inline constexpr std::string_view kRunOutputFiles[] = {"flash_info.dat", "data_dump.txt",
                                                       "flashes.csv", "lightcurves.csv"};
inline constexpr std::string_view kRecordingFrameTimesFile = "frame_times.csv";
// How the run folder was made: program, version, recording, options, times.
inline constexpr std::string_view kRunInfoFile = "run.txt";

// The folders a run writes into, and the names it writes there.
inline constexpr std::string_view kReportFolder = "BMP_FLASHES";  // 00012.bmp: five digits + .bmp
inline constexpr std::string_view kReviewFolder = "review";       // e0001_strip.png ..., index.html
inline constexpr std::string_view kReviewPage = "index.html";

// Inputs of a run, never cleared: the frames, the settings, the shipped data files and the
// files an observer adds.
inline constexpr std::string_view kRunInputNames[] = {
    "BMP_RAW",  "settings.txt", "default.txt", "about.txt",     "bmpheader.dat",
    "site.txt", "mask.png",     "mask.txt",    "decisions.csv", "tune"};

// Suffix of the temporary name a file is written under before it is renamed.
inline constexpr std::string_view kPartSuffix = ".part";

// True for a report image's name in BMP_FLASHES: five or more digits then ".bmp".
constexpr bool is_report_image_name(std::string_view name) {
  if (name.size() < 9 || !name.ends_with(".bmp")) return false;
  for (std::size_t i = 0; i + 4 < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// True for a name the review output writes in review/: "e" four or more digits, "_strip.png",
// "_crop.png" or "_frame.png"; and index.html.
constexpr bool is_review_output_name(std::string_view name) {
  if (name == kReviewPage) return true;
  if (name.size() < 6 || name[0] != 'e') return false;
  std::size_t i = 1;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
  if (i < 5) return false;
  const std::string_view rest = name.substr(i);
  return rest == "_strip.png" || rest == "_crop.png" || rest == "_frame.png";
}
