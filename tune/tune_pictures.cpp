#include "tune/tune_pictures.h"

#include <algorithm>
#include <cmath>
#include <regex>
#include <thread>
#include <vector>

#include "imaging/png_file.h"
#include "review/event_images.h"
#include "sources/injecting_source.h"
#include "tune/tune_report.h"

namespace {

// The candidates of one run (negative or not), card number and candidate, by first frame.
struct Card {
  int number = 0;
  const Candidate* candidate = nullptr;
};

// Reads the frames of one run once, keeping the last kOffsetCount, and writes each card's
// strip once the frames after its event have been read (or the recording has ended).
bool draw_run(const std::filesystem::path& cards, std::unique_ptr<FrameSource> source,
              std::vector<Card> run, bool interlaced, std::string* error) {
  if (run.empty()) return true;
  std::stable_sort(run.begin(), run.end(), [](const Card& a, const Card& b) {
    return a.candidate->event.frame < b.candidate->event.frame;
  });
  const FrameGeometry g = source->geometry();
  const auto pixels = static_cast<std::size_t>(g.frame_pixels);
  std::vector<std::vector<std::uint8_t>> kept(kOffsetCount, std::vector<std::uint8_t>(pixels, 0));
  std::vector<std::uint8_t> frame(pixels, 0);
  std::int64_t read = 0;  // frames read so far
  std::size_t next = 0;   // first card not drawn
  const auto draw_ready = [&](bool ended) -> bool {
    while (next < run.size()) {
      const CatalogueEvent& e = run[next].candidate->event;
      if (!ended && e.frame + kLastOffset >= read) return true;
      std::vector<std::span<const std::uint8_t>> frames(kOffsetCount);
      for (int k = 0; k < kOffsetCount; ++k) {
        const std::int64_t f = e.frame + kFirstOffset + k;
        if (f < 0 || f >= read || f < read - kOffsetCount) continue;
        frames[static_cast<std::size_t>(k)] = kept[static_cast<std::size_t>(f % kOffsetCount)];
      }
      EventFrames ef;
      ef.event = run[next].number;
      ef.width = g.image_width;
      ef.height = g.image_height;
      ef.x = e.x;
      ef.y = e.y;
      ef.interlaced = interlaced;
      ef.frames = frames;
      ef.step_x = e.step_x;
      ef.step_y = e.step_y;
      if (!write_event_strip(cards, ef, error)) return false;
      ++next;
    }
    return true;
  };
  for (;;) {
    if (!draw_ready(false)) return false;
    if (next >= run.size()) return true;
    const FrameRead r = source->read_next(frame);
    if (r.status == FrameStatus::failed) {
      *error = r.reason;
      return false;
    }
    if (r.status == FrameStatus::end) break;
    // A short frame keeps the rest of the frame before, as the run does.
    const std::size_t valid = std::min(r.bytes, pixels);
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(valid),
              kept[static_cast<std::size_t>(read % kOffsetCount)].begin());
    if (read > 0 && valid < pixels) {
      const auto& before = kept[static_cast<std::size_t>((read - 1) % kOffsetCount)];
      std::copy(before.begin() + static_cast<std::ptrdiff_t>(valid), before.end(),
                kept[static_cast<std::size_t>(read % kOffsetCount)].begin() +
                    static_cast<std::ptrdiff_t>(valid));
    }
    ++read;
  }
  return draw_ready(true);
}

// Removes the card pictures an earlier run left in `cards` (only names this program writes).
bool clear_cards(const std::filesystem::path& cards, std::string* error) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(cards, ec);
  if (ec || status.type() == std::filesystem::file_type::not_found) return true;
  if (status.type() != std::filesystem::file_type::directory) {
    *error = cards.string() + ": not a folder; the card pictures are not written";
    return false;
  }
  static const std::regex kName("e[0-9]{4,}_(strip|crop|frame)\\.png");
  for (const auto& entry : std::filesystem::directory_iterator(cards, ec)) {
    const std::string name = entry.path().filename().string();
    if (!std::regex_match(name, kName) || !entry.is_regular_file(ec)) continue;
    std::filesystem::remove(entry.path(), ec);
    if (ec) {
      *error = entry.path().string() + ": cannot remove: " + ec.message();
      return false;
    }
  }
  if (ec) {
    *error = cards.string() + ": cannot list: " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool write_mask_image(const std::filesystem::path& folder, const NightSurvey& s,
                      std::string* error) {
  const int w = s.geometry.image_width;
  const int h = s.geometry.image_height;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
  for (std::size_t i = 0; i < s.mean.size(); ++i) {
    const double grey = std::clamp(static_cast<double>(s.mean[i]), 0.0, 255.0);
    double r = grey;
    double g = grey;
    double b = grey;
    if (!s.scanned.empty() && s.scanned[i] == 0) {
      // Left out by the user's mask: darkened, never tinted, as the detector never tests it.
      r = 0.35 * grey;
      g = 0.35 * grey;
      b = 0.35 * grey;
    } else if (s.night[i] != 0) {
      r = 0.5 * grey;
      g = 0.5 * grey + 110.0;
      b = 0.5 * grey;
    } else if (s.mean[i] > kLowestNight && s.mean[i] < kHighestNight) {
      r = 0.5 * grey + 110.0;
      g = 0.5 * grey;
      b = 0.5 * grey;
    }
    rgb[3 * i] = static_cast<std::uint8_t>(std::lround(std::min(255.0, r)));
    rgb[3 * i + 1] = static_cast<std::uint8_t>(std::lround(std::min(255.0, g)));
    rgb[3 * i + 2] = static_cast<std::uint8_t>(std::lround(std::min(255.0, b)));
  }
  return write_png_file(folder / kMaskImageName, {w, h, 3, rgb}, error);
}

bool write_candidate_pictures(const std::filesystem::path& folder, const SourceOpener& open,
                              const std::vector<std::int16_t>& centres, const TuneScores& scores,
                              bool interlaced, int threads, std::string* error) {
  const std::filesystem::path cards = folder / kCardFolder;
  if (!clear_cards(cards, error)) return false;
  const std::vector<std::size_t> shown = shown_candidates(scores);
  std::vector<Card> clean;
  std::vector<Card> negative;
  for (std::size_t n = 0; n < shown.size(); ++n) {
    const Candidate& c = scores.candidates[shown[n]];
    (c.negative ? negative : clean).push_back({static_cast<int>(n) + 1, &c});
  }
  // The frames as they are and their negative are read side by side when there is a thread to
  // spare; the cards' files are apart, and the error of the frames as they are comes first.
  const auto draw = [&](bool neg, std::string* draw_error) {
    std::vector<Card>& run = neg ? negative : clean;
    if (run.empty()) return true;
    std::unique_ptr<FrameSource> source = open(draw_error);
    if (source == nullptr) return false;
    if (neg) source = make_mirrored_source(std::move(source), centres);
    return draw_run(cards, std::move(source), std::move(run), interlaced, draw_error);
  };
  if (threads < 2 || clean.empty() || negative.empty()) {
    return draw(false, error) && draw(true, error);
  }
  std::string negative_error;
  bool negative_drawn = false;
  std::thread beside([&] { negative_drawn = draw(true, &negative_error); });
  const bool clean_drawn = draw(false, error);
  beside.join();
  if (!clean_drawn) return false;
  if (!negative_drawn) *error = negative_error;
  return negative_drawn;
}
