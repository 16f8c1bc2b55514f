// The review page: review/index.html in a run folder, built from the flash catalogue
// (flashes.csv, lightcurves.csv), the event pictures already in review/ and, when present, the
// observer's decisions.csv, each read by its module in formats/. The page's data is in
// review/events.js beside it, a script that hands the page what the table needs for every event
// as JSON and each event's card data as one line of JSON parsed when the card is drawn; a script
// file (not fetched data) so that the page works from file:// with no network. The pictures are
// loaded from beside it too. With the run's frame_times.csv the light curves are also given in
// milliseconds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/decisions_csv.h"
#include "formats/flashes_csv.h"
#include "formats/lightcurves_csv.h"

// What write_review_page did.
struct ReviewPageResult {
  std::filesystem::path page;        // the page written
  int events = 0;                    // cards on the page
  std::vector<std::string> notices;  // one line each: what was left out and why
};

// A PNG's width and height, from its header.
struct PngSize {
  int width = 0;
  int height = 0;
};

// Grey levels of a strip's close-ups for the page's display stretch: the 1st percentile, the
// median and the brightest pixel of the close-ups of frames that were available (a close-up that
// is black throughout is taken as a missing frame and left out).
struct StripLevels {
  int low = 0;
  int median = 0;
  int high = 0;
};

// What a page read from one event picture. A run that writes its page again and again (a live
// run) keeps these between pages in a ReviewPageMemo, so that each picture is decoded once; an
// entry holds while its file keeps its size, modification time and inode.
struct PictureRead {
  std::uint64_t bytes = 0;
  std::int64_t modified_ns = 0;
  std::uint64_t inode = 0;
  std::optional<PngSize> size;        // from its PNG header; none when it is no PNG
  bool levels_read = false;           // a strip's display levels were looked for
  std::optional<StripLevels> levels;  // and found
  std::optional<bool> scale_for;      // a difference strip's scale, read for this layout
  std::optional<int> scale;           // (interlaced or not: the strip's, another file's)
};

struct ReviewPageMemo {
  std::map<std::string, PictureRead> pictures;  // by the picture's path
};

// Builds `run_folder`/review/events.js and index.html (creating review/), each through a
// temporary name and a rename. flashes.csv must exist; a missing lightcurves.csv leaves the light
// curves out, a missing or unreadable picture leaves that picture out, a decision whose event and
// frame are not in flashes.csv is ignored, each with a notice. The page's run id comes from the run
// folder's path and run.txt's recording and start time, or without run.txt from the bytes of
// flashes.csv and its modification time, so the decisions the browser keeps for one run are not
// offered to a later run written into the same folder. False with `error` when a CSV file is
// malformed or the page cannot be written.
bool write_review_page(const std::filesystem::path& run_folder, ReviewPageResult& result,
                       std::string* error);

// The same, for a run still going on when `live`: the page, open in a browser, loads events.js
// again every few seconds and draws the events added, keeping what the observer did. Its run id
// then comes from run.txt (the recording and the run's start), which the run keeps the same.
// `memo`, when given, keeps what was read from the pictures for the next page.
bool write_review_page(const std::filesystem::path& run_folder, bool live, ReviewPageResult& result,
                       std::string* error, ReviewPageMemo* memo = nullptr);

// `text` as events.js holds it: a JavaScript array of single-quoted string literals, each on its
// own line and of about 64 KiB at most, whose concatenation is `text` (a browser reads one
// literal of tens of megabytes in seconds, the same text in pieces in a fraction of that).
// Pieces end after a newline, or in a longer line before a character's first byte; backslash,
// quote, control characters and U+2028/U+2029 are escaped.
std::string js_string_pieces(std::string_view text);
