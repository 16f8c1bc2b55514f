#include "tune/tune_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numeric>
#include <vector>

#include "formats/completeness_csv.h"
#include "imaging/file_io.h"
#include "review/event_images.h"

namespace {
// A settings file is 14 short lines; anything far larger is not one.
constexpr std::size_t kMaxSettingsBytes = 1 << 20;
}  // namespace

namespace {

// printf into a std::string.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

std::string bin_name(std::size_t bin) {
  return format("%g-%g", kStrengthBins[bin].from, kStrengthBins[bin].to);
}

std::string setting_text(const GridSetting& s) {
  return format("Time_sd %g, Min_sd2 %g, Min_sd1 %g, Neighbour_sd %g", double(s.time_sd),
                double(s.min_sd2), double(s.min_sd1), double(s.neighbour_sd));
}

int percent(const SettingScore& s, std::size_t bin) {
  return static_cast<int>(std::lround(100.0 * s.recall(bin)));
}

// Number with thousands separated by commas.
std::string grouped(long long n) {
  const std::string digits = std::to_string(n < 0 ? -n : n);
  std::string text = n < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

// The lines of the console table: the recommended, the current and the next best within the
// limit, up to `rows`, in ranking order.
std::vector<std::size_t> table_rows(const TuneScores& t, std::size_t rows) {
  std::vector<std::size_t> shown;
  if (t.recommended >= 0) shown.push_back(static_cast<std::size_t>(t.recommended));
  for (const std::size_t i : t.ranking) {
    if (shown.size() + 1 >= rows) break;
    if (!t.scores[i].within_limit) break;
    if (std::find(shown.begin(), shown.end(), i) == shown.end() && i != t.current) {
      shown.push_back(i);
    }
  }
  if (std::find(shown.begin(), shown.end(), t.current) == shown.end()) shown.push_back(t.current);
  std::stable_sort(shown.begin(), shown.end(), [&t](std::size_t a, std::size_t b) {
    return std::find(t.ranking.begin(), t.ranking.end(), a) <
           std::find(t.ranking.begin(), t.ranking.end(), b);
  });
  return shown;
}

// With no alarm in n frames, a rate of 3 / n is still possible at 95 % (Poisson); a note when
// that bound lies above the limit, empty otherwise.
std::string sample_note(const TuneScores& t) {
  if (t.frames_tested <= 0) return "";
  const double bound = 3.0 * 10000.0 / static_cast<double>(t.frames_tested);
  if (bound <= t.limit) return "";
  return format(
      "Note: no false alarm in %s frames still allows up to %.0f per 10,000 frames "
      "(95%% bound), above the limit of %g: tune on more frames (--count) to tell "
      "settings near the limit apart",
      grouped(t.frames_tested).c_str(), bound, t.limit);
}

int fading(const InjectionPlan& plan) {
  return static_cast<int>(std::count_if(plan.flashes.begin(), plan.flashes.end(),
                                        [](const InjectedFlash& f) { return f.fade_peak > 0.0; }));
}

// Where the flashes went: how many pixels and why there.
std::string night_side_text(const NightSurvey& s) {
  if (s.from_mask) {
    return format(
        "Night side: %s pixels of the fitted disc's night side, never saturated, away from "
        "edges (of %s the detector tests)",
        grouped(s.night_pixels).c_str(), grouped(s.tested_pixels).c_str());
  }
  return format(
      "Night side: %s pixels in the earthshine (mean %d to %d grey levels, peak %d), never "
      "saturated, away from edges (of %s the detector tests)",
      grouped(s.night_pixels).c_str(), s.earthshine_low, s.earthshine_high, s.earthshine_peak,
      grouped(s.tested_pixels).c_str());
}

// A rate per 10,000 frames also per hour at the recording's frame rate, when known.
std::string rate_number(double rate) {
  return rate >= 100.0 ? grouped(std::llround(rate)) : format("%.3g", rate);
}

std::string rate_text(double per_10k, double frame_rate) {
  if (!(frame_rate > 0.0)) {
    return rate_number(per_10k) + " per 10,000 frames (frame rate unknown)";
  }
  return rate_number(per_10k) + " per 10,000 frames, " +
         rate_number(per_10k * frame_rate * 3600.0 / 10000.0) + " per hour at " +
         format("%.4g", frame_rate) + " frames per second";
}

int count_kind(const TuneScores& t, CandidateKind kind) {
  return static_cast<int>(std::count_if(t.candidates.begin(), t.candidates.end(),
                                        [kind](const Candidate& c) { return c.kind == kind; }));
}

int percent_of(int part, int whole) {
  return whole > 0 ? static_cast<int>(std::lround(100.0 * part / whole)) : 0;
}

// The lines that say the recommended setting finds fewer flashes from 8 times the noise than the
// current one, and why; empty when it does not.
std::string loss_text(const TuneOutcome& o) {
  const TuneScores& t = o.scores;
  if (t.recommended < 0 || !t.losing()) return "";
  const SettingScore& best = t.scores[static_cast<std::size_t>(t.recommended)];
  const SettingScore& now = t.scores[t.current];
  std::string why;
  if (!now.within_limit) {
    why = format(
        "the current setting's false alarms are over the limit: %d in %s frames (%d of noise "
        "on the negative, %d the catalogue explains), %s",
        now.false_alarms, grouped(t.frames_tested).c_str(), now.noise_alarms, now.upward_alarms,
        rate_text(now.alarm_rate, o.survey.frame_rate).c_str());
  } else {
    why = format("the recommended setting finds more at %s times the noise (%d against %d)",
                 bin_name(kReferenceBin).c_str(), best.found[kReferenceBin],
                 now.found[kReferenceBin]);
  }
  return format(
      "Loss: the recommended setting finds %d fewer of the %d injected flashes of %g times the "
      "noise and more than the current one (%d%% against %d%%), because %s; --write needs "
      "--accept-loss to save it",
      t.loss, t.loss_of, kStrengthBins[kReferenceBin].from,
      percent_of(found_from_reference(best), t.loss_of),
      percent_of(found_from_reference(now), t.loss_of), why.c_str());
}

std::string escape_html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A chart's frame: the plot area inside the SVG and the mapping of values to it.
struct Chart {
  double width = 760;
  double height = 380;
  double left = 64;
  double right = 24;
  double top = 20;
  double bottom = 56;
  double x_min = 0, x_max = 1, y_min = 0, y_max = 1;
  double px(double x) const {
    return left + (x - x_min) / (x_max - x_min) * (width - left - right);
  }
  double py(double y) const {
    return height - bottom - (y - y_min) / (y_max - y_min) * (height - top - bottom);
  }
};

std::string svg_open(const Chart& c, const std::string& label) {
  return format(
      "<svg viewBox=\"0 0 %g %g\" width=\"%g\" height=\"%g\" role=\"img\" "
      "aria-label=\"%s\">\n",
      c.width, c.height, c.width, c.height, label.c_str());
}

std::string grid_line_x(const Chart& c, double x, const std::string& label) {
  return format(
      "<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
      "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
      c.px(x), c.py(c.y_min), c.px(x), c.py(c.y_max), c.px(x), c.py(c.y_min) + 18, label.c_str());
}

std::string grid_line_y(const Chart& c, double y, const std::string& label) {
  return format(
      "<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
      "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
      c.px(c.x_min), c.py(y), c.px(c.x_max), c.py(y), c.px(c.x_min) - 8, c.py(y) + 5,
      label.c_str());
}

std::string axis_titles(const Chart& c, const std::string& x_title, const std::string& y_title) {
  return format(
      "<text class=\"axis\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n"
      "<text class=\"axis\" transform=\"translate(16 %.1f) rotate(-90)\" "
      "text-anchor=\"middle\">%s</text>\n",
      (c.px(c.x_min) + c.px(c.x_max)) / 2, c.height - 12, x_title.c_str(),
      (c.py(c.y_min) + c.py(c.y_max)) / 2, y_title.c_str());
}

struct Curve {
  std::size_t setting = 0;
  std::string colour;
  std::string name;
  bool dashed = false;
  double stroke = 2;
};

// The settings drawn as completeness curves: recommended, current, and the best of each Time_sd.
std::vector<Curve> chosen_curves(const TuneScores& t) {
  static const char* const kPalette[] = {"#5aa9ff", "#ffb347", "#ff6b6b",
                                         "#c792ea", "#4dd0e1", "#f06292"};
  std::vector<Curve> curves;
  if (t.recommended >= 0) {
    curves.push_back(
        {static_cast<std::size_t>(t.recommended), "#6fdc8c", "recommended", false, 3.5});
  }
  if (static_cast<int>(t.current) != t.recommended) {
    curves.push_back({t.current, "#d0d0d0", "current", true, 2.5});
  }
  std::vector<float> time_sds;
  std::size_t colour = 0;
  for (const std::size_t i : t.ranking) {
    const float time_sd = t.scores[i].setting.time_sd;
    if (std::find(time_sds.begin(), time_sds.end(), time_sd) != time_sds.end()) continue;
    time_sds.push_back(time_sd);
    const bool shown =
        std::any_of(curves.begin(), curves.end(), [i](const Curve& c) { return c.setting == i; });
    if (shown || colour >= std::size(kPalette)) continue;
    curves.push_back(
        {i, kPalette[colour++], format("best with Time_sd %g", double(time_sd)), false, 1.8});
  }
  return curves;
}

std::string completeness_chart(const TuneOutcome& o, const std::vector<Curve>& curves) {
  const TuneScores& t = o.scores;
  Chart c;
  c.x_max = 30;
  c.y_max = 100;
  std::string svg = svg_open(c, "completeness against strength");
  for (int x = 0; x <= 30; x += 5) svg += grid_line_x(c, x, std::to_string(x));
  for (int y = 0; y <= 100; y += 25) svg += grid_line_y(c, y, std::to_string(y) + "%");
  svg += format("<line class=\"mark\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n",
                c.px(kStrengthBins[kReferenceBin].from), c.py(0),
                c.px(kStrengthBins[kReferenceBin].from), c.py(100));
  for (auto it = curves.rbegin(); it != curves.rend(); ++it) {
    const SettingScore& s = t.scores[it->setting];
    std::string points;
    std::string dots;
    for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
      const double x = (kStrengthBins[b].from + kStrengthBins[b].to) / 2;
      const double y = 100.0 * s.recall(b);
      points += format("%.1f,%.1f ", c.px(x), c.py(y));
      dots += format(
          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"><title>%s: %s times "
          "the noise, %d of %d found</title></circle>",
          c.px(x), c.py(y), it->colour.c_str(), setting_text(s.setting).c_str(),
          bin_name(b).c_str(), s.found[b], s.injected[b]);
    }
    svg += format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%g\"%s points=\"%s\"/>",
                  it->colour.c_str(), it->stroke, it->dashed ? " stroke-dasharray=\"7 5\"" : "",
                  points.c_str());
    svg += dots + "\n";
  }
  svg += axis_titles(c, "strength: peak over the local noise (bins drawn at their middle)",
                     "flashes found");
  return svg + "</svg>\n";
}

// The temporal threshold at the median noise, grey levels: what a pixel must stand above its mean.
double temporal_threshold(const GridSetting& s, double noise) {
  return double(s.time_sd) * std::max(double(s.min_sd2), noise);
}

std::string alarm_chart(const TuneOutcome& o) {
  const TuneScores& t = o.scores;
  const double noise = o.survey.noise_median;
  Chart c;
  c.x_min = 0;
  c.x_max = 5;
  double top_rate = std::max(10.0, t.limit);
  for (const SettingScore& s : t.scores) {
    c.x_max = std::max(c.x_max, temporal_threshold(s.setting, noise) + 2);
    top_rate = std::max({top_rate, s.alarm_rate,
                         s.edge_alarms * 10000.0 / std::max<std::int64_t>(1, t.frames_tested)});
  }
  c.x_max = std::ceil(c.x_max / 5) * 5;
  c.y_max = std::ceil(std::log10(1 + top_rate));
  const auto y_of = [](double rate) { return std::log10(1 + rate); };
  std::string svg = svg_open(c, "false alarms against threshold");
  for (double x = 0; x <= c.x_max; x += 5) svg += grid_line_x(c, x, format("%g", x));
  for (int p = 0; p <= static_cast<int>(c.y_max); ++p) {
    const double rate = p == 0 ? 0 : std::pow(10.0, p);
    svg += grid_line_y(c, y_of(rate), grouped(std::llround(rate)));
  }
  svg += format(
      "<line class=\"limit\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
      "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">limit %g</text>\n",
      c.px(c.x_min), c.py(y_of(t.limit)), c.px(c.x_max), c.py(y_of(t.limit)), c.px(c.x_max) - 4,
      c.py(y_of(t.limit)) - 6, t.limit);
  for (std::size_t i = 0; i < t.scores.size(); ++i) {
    const SettingScore& s = t.scores[i];
    // Settings of one temporal threshold spread a little sideways by their neighbourhood test.
    const double spread = (double(s.setting.neighbour_sd) * double(s.setting.min_sd1) - 12) * 0.04;
    const double x = c.px(temporal_threshold(s.setting, noise) + spread);
    const double edge_rate = s.edge_alarms * 10000.0 / std::max<std::int64_t>(1, t.frames_tested);
    const std::string tip =
        format("%s: %d false alarms, %d at edges, in %lld frames", setting_text(s.setting).c_str(),
               s.false_alarms, s.edge_alarms, static_cast<long long>(t.frames_tested));
    svg += format(
        "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"none\" stroke=\"#ffb347\" "
        "stroke-width=\"1.5\"><title>%s</title></circle>",
        x, c.py(y_of(edge_rate)), tip.c_str());
    const char* colour = static_cast<int>(i) == t.recommended ? "#6fdc8c"
                         : s.within_limit                     ? "#5aa9ff"
                                                              : "#ff6b6b";
    svg += format(
        "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%s\" fill=\"%s\"><title>%s</title>"
        "</circle>\n",
        x, c.py(y_of(s.alarm_rate)), static_cast<int>(i) == t.recommended ? "6" : "4", colour,
        tip.c_str());
  }
  svg += axis_titles(
      c,
      format("temporal threshold: Time_sd x max(Min_sd2, median noise %.2f), grey levels", noise),
      "alarms per 10,000 frames");
  return svg + "</svg>\n";
}

constexpr const char* kStyle = R"(<style>
body { background: #15171c; color: #e6e6e6; font: 16px/1.5 system-ui, sans-serif; margin: 2em auto;
       max-width: 1000px; padding: 0 1em; }
h1 { font-size: 1.6em; } h2 { font-size: 1.25em; margin-top: 2em; }
p, li { color: #cfd3da; }
.box { background: #1f232b; border: 1px solid #39404d; border-radius: 6px; padding: 0.8em 1.2em; }
.good { color: #6fdc8c; } .warn { color: #ff8a80; }
svg { background: #1b1e25; border-radius: 6px; max-width: 100%; height: auto; }
svg text { fill: #c8ccd4; font: 13px system-ui, sans-serif; } svg .axis { font-size: 14px; }
svg .grid { stroke: #333a46; stroke-width: 1; }
svg .mark { stroke: #777; stroke-dasharray: 4 4; }
svg .limit { stroke: #ff8a80; stroke-dasharray: 6 4; }
table { border-collapse: collapse; font-size: 14px; font-variant-numeric: tabular-nums; }
th, td { padding: 3px 9px; border-bottom: 1px solid #2c313b; text-align: right; }
th { color: #aab; font-weight: 600; white-space: nowrap; }
tr.rec td { color: #6fdc8c; font-weight: 600; } tr.cur td { color: #fff; background: #262b35; }
tr.over td { color: #8a8f99; }
ul.legend { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 0.4em 1.4em; }
.cards { display: flex; flex-wrap: wrap; gap: 0.8em; }
.card { background: #1f232b; border: 1px solid #39404d; border-radius: 6px; padding: 0.5em;
        width: 100%; box-sizing: border-box;
        max-width: 100%; }
.card img { image-rendering: pixelated; width: 100%; max-width: 940px; display: block; }
.card p { margin: 0.3em 0; font-size: 14px; }
.card.noise, .card.upward { border-color: #ff6b6b; } .card.uncertain { border-color: #ffb347; }
.card.found { border-color: #6fdc8c; }
img.mask { max-width: 100%; image-rendering: pixelated; }
ul.legend span { display: inline-block; width: 1.6em; height: 0.3em; vertical-align: middle;
                 margin-right: 0.4em; }
</style>
)";

// What a candidate is, in words, for its card.
const char* kind_words(CandidateKind kind) {
  switch (kind) {
    case CandidateKind::found:
      return "the recording's own: most settings report it";
    case CandidateKind::uncertain:
      return "uncertain: a flash to the catalogue that only some settings report; perhaps "
             "real, never counted as a false alarm";
    case CandidateKind::noise:
      return "false alarm of noise, on the negative";
    case CandidateKind::upward:
      return "false alarm the catalogue explains";
    case CandidateKind::edge:
      return "edge: counted apart, not against the limit";
    case CandidateKind::moving:
      return "moving: counted apart, not against the limit";
    case CandidateKind::other:
      return "on the negative, with a verdict the frames as they are show themselves";
  }
  return "";
}

std::string candidate_cards(const TuneOutcome& o, std::int64_t first) {
  const TuneScores& t = o.scores;
  const std::vector<std::size_t> shown = shown_candidates(t);
  std::string page = format(
      "<h2 id=\"candidates\">Candidates</h2>\n<p>Every false alarm, every uncertain candidate and "
      "the "
      "recording's own events, as the settings of the grid report them in the frames without "
      "injections and in their negative (%zu cards; %zu candidates in all). Each card shows "
      "the close-ups from 5 frames before to 10 after, the catalogue's class and how many "
      "settings report it; a card from the negative shows the negative's frames.</p>\n"
      "<div class=\"cards\">\n",
      shown.size(), t.candidates.size());
  const auto has = [](const Candidate& c, std::size_t i) {
    return std::binary_search(c.settings.begin(), c.settings.end(), i);
  };
  for (std::size_t n = 0; n < shown.size(); ++n) {
    const Candidate& c = t.candidates[shown[n]];
    const CatalogueEvent& e = c.event;
    std::string by;
    if (t.recommended >= 0) {
      by += has(c, static_cast<std::size_t>(t.recommended)) ? "; the recommended setting reports it"
                                                            : "; not the recommended setting";
    }
    by += has(c, t.current) ? "; the current setting reports it" : "; not the current setting";
    page += format(
        "<div class=\"card %s\"><img src=\"%s/%s\" alt=\"close-ups\"><p><b>%s</b> "
        "(class %s)</p><p>frame %lld, sample %.1f, line %.1f, peak %.1f, snr %.1f; "
        "reported by %zu of %zu settings%s</p></div>\n",
        candidate_kind_name(c.kind), kCardFolder,
        event_image_name(static_cast<int>(n) + 1, EventImage::strip).c_str(),
        escape_html(kind_words(c.kind)).c_str(), escape_html(c.class_name).c_str(),
        static_cast<long long>(first + e.frame), e.x, e.y, e.peak,
        e.first.flux_err > 0.0 ? e.first.flux / e.first.flux_err : 0.0, c.settings.size(),
        t.scores.size(), by.c_str());
  }
  return page + "</div>\n";
}

}  // namespace

std::vector<std::size_t> shown_candidates(const TuneScores& t) {
  std::vector<std::size_t> shown;
  for (std::size_t k = 0; k < t.candidates.size() && shown.size() < kMostCards; ++k) {
    if (t.candidates[k].kind != CandidateKind::other) shown.push_back(k);
  }
  return shown;
}

std::string tune_summary(const TuneOutcome& o, std::size_t rows) {
  const TuneScores& t = o.scores;
  const NightSurvey& s = o.survey;
  std::string text;
  text += night_side_text(s) + "\n";
  text += format(
      "Noise: each pixel's spread over time, on the night side (%d frames): "
      "median %.2f grey levels, 10-90%%: %.2f to %.2f\n",
      s.surveyed, s.noise_median, s.noise_low, s.noise_high);
  text += format(
      "Injected %zu flashes (%d per strength bin, %d fading over a second frame) in "
      "%d pass%s over %lld tested frames\n",
      o.plan.flashes.size(), static_cast<int>(o.plan.flashes.size() / kStrengthBins.size()),
      fading(o.plan), o.plan.passes, o.plan.passes == 1 ? "" : "es",
      static_cast<long long>(t.frames_tested));
  text += format(
      "Tested %zu settings in %d runs (the frames as they are, their negative, %d with "
      "flashes): %.1f s on %d thread%s (noise survey %.1f s)\n",
      t.scores.size(), 2 + t.passes, t.passes, o.run_seconds, o.threads, o.threads == 1 ? "" : "s",
      o.survey_seconds);
  text += format(
      "Events without injections: %d reported by most settings (the recording's own), %d "
      "uncertain (a flash to the catalogue, reported by some settings only: never counted as "
      "false alarms), %d edge, %d moving, %d other verdicts; %d false alarms of noise on the "
      "negative (pictures in tune/index.html)\n",
      count_kind(t, CandidateKind::found), count_kind(t, CandidateKind::uncertain),
      count_kind(t, CandidateKind::edge), count_kind(t, CandidateKind::moving),
      count_kind(t, CandidateKind::upward), count_kind(t, CandidateKind::noise));
  text +=
      "\n                                      found, by peak over the noise       false "
      "alarms in\n";
  text += "Time_sd Min_sd2 Min_sd1 Neighbour_sd";
  for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
    text += format(" %5s", bin_name(b).c_str());
  }
  text += format("   %s frames  edge uncertain\n", grouped(t.frames_tested).c_str());
  for (const std::size_t i : table_rows(t, rows)) {
    const SettingScore& sc = t.scores[i];
    text += format("%7g %7g %7g %12g", double(sc.setting.time_sd), double(sc.setting.min_sd2),
                   double(sc.setting.min_sd1), double(sc.setting.neighbour_sd));
    for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
      text += format(" %4d%%", percent(sc, b));
    }
    std::string note;
    if (static_cast<int>(i) == t.recommended) note += "  recommended";
    if (i == t.current) note += "  current";
    if (!sc.within_limit) note += "  over the limit";
    text += format(" %*d %5d %9d%s\n", static_cast<int>(grouped(t.frames_tested).size()) + 13,
                   sc.false_alarms, sc.edge_alarms, sc.uncertain, note.c_str());
  }
  text += "\n";
  if (t.recommended < 0) {
    text += format("No setting of the grid keeps within %s false alarms; nothing to recommend\n",
                   rate_text(t.limit, s.frame_rate).c_str());
    return text;
  }
  const SettingScore& best = t.scores[static_cast<std::size_t>(t.recommended)];
  const SettingScore& now = t.scores[t.current];
  text += format(
      "Recommended: %s (finds %d%% of the flashes at %s times the noise, the current "
      "setting %d%%; %d false alarms in %s frames, %s; the limit it meets: %s)\n",
      setting_text(best.setting).c_str(), percent(best, kReferenceBin),
      bin_name(kReferenceBin).c_str(), percent(now, kReferenceBin), best.false_alarms,
      grouped(t.frames_tested).c_str(), rate_text(best.alarm_rate, s.frame_rate).c_str(),
      rate_text(t.limit, s.frame_rate).c_str());
  const std::string loss = loss_text(o);
  if (!loss.empty()) text += loss + "\n";
  const std::string note = sample_note(t);
  if (!note.empty()) text += note + "\n";
  return text;
}

std::string completeness_csv(const TuneOutcome& o) {
  const TuneScores& t = o.scores;
  std::string csv = completeness_header();
  for (const SettingScore& s : t.scores) {
    for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
      CompletenessRow row;
      row.time_sd = double(s.setting.time_sd);
      row.min_sd2 = double(s.setting.min_sd2);
      row.min_sd1 = double(s.setting.min_sd1);
      row.neighbour_sd = double(s.setting.neighbour_sd);
      row.strength_from = kStrengthBins[b].from;
      row.strength_to = kStrengthBins[b].to;
      row.injected = s.injected[b];
      row.found = s.found[b];
      row.false_alarms = s.false_alarms;
      row.edge_alarms = s.edge_alarms;
      row.frames = t.frames_tested;
      row.noise_alarms = s.noise_alarms;
      row.upward_alarms = s.upward_alarms;
      row.moving_alarms = s.moving_alarms;
      row.uncertain = s.uncertain;
      csv += completeness_line(row);
    }
  }
  return csv;
}

std::string tune_page(const TuneOutcome& o, const std::string& title, std::int64_t first) {
  const TuneScores& t = o.scores;
  const NightSurvey& s = o.survey;
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>vesk-tune: " +
      escape_html(title) + "</title>\n";
  page += kStyle;
  page += "</head>\n<body>\n<h1>vesk-tune: " + escape_html(title) + "</h1>\n";
  page += format(
      "<p>Frames %lld to %lld, %d x %d pixels; the detector tests %s of them in each "
      "run. Noise, each pixel's spread over time on the night side (first "
      "%d frames): median %.2f grey levels, 10-90%%: %.2f to %.2f.</p>\n",
      static_cast<long long>(first), static_cast<long long>(first + s.frames - 1),
      s.geometry.image_width, s.geometry.image_height, grouped(t.frames_tested).c_str(), s.surveyed,
      s.noise_median, s.noise_low, s.noise_high);
  page += "<p>" + escape_html(night_side_text(s)) +
          ". The mean frame below, the night side where flashes were injected in green, the "
          "other pixels the detector tests in red" +
          (s.masked_pixels > 0 ? format(", the %s pixels mask.png leaves out darkened",
                                        grouped(s.masked_pixels).c_str())
                               : std::string()) +
          ".</p>\n<p><img class=\"mask\" src=\"" + std::string(kMaskImageName) +
          "\" alt=\"the mask\"></p>\n";
  page += format(
      "<p>Injected %zu synthetic flashes (Gaussian spots, full width at half maximum "
      "%g pixels; %d per strength bin; %d fading over a second frame) at random places "
      "on the night side, at most one per frame, in %d pass%s over the frames, in "
      "memory only. %zu settings tested in %d runs (the frames as they are, their negative "
      "and the passes with flashes): %.1f s on %d thread%s.</p>\n",
      o.plan.flashes.size(), o.psf, static_cast<int>(o.plan.flashes.size() / kStrengthBins.size()),
      fading(o.plan), o.plan.passes, o.plan.passes == 1 ? "" : "es", t.scores.size(), 2 + t.passes,
      o.run_seconds, o.threads, o.threads == 1 ? "" : "s");

  const SettingScore& now = t.scores[t.current];
  page += "<div class=\"box\">";
  if (t.recommended >= 0) {
    const SettingScore& best = t.scores[static_cast<std::size_t>(t.recommended)];
    page += format(
        "<p class=\"good\"><b>Recommended: %s</b></p><p>It finds %d%% of the flashes "
        "at %s times the noise (the current setting, %s: %d%%), with %d false alarms "
        "in %s frames (%d of noise on the negative, %d the catalogue explains), %s. The "
        "limit it meets: %s. Besides: %d edge and %d moving events, %d uncertain "
        "candidates.</p>",
        setting_text(best.setting).c_str(), percent(best, kReferenceBin),
        bin_name(kReferenceBin).c_str(), setting_text(now.setting).c_str(),
        percent(now, kReferenceBin), best.false_alarms, grouped(t.frames_tested).c_str(),
        best.noise_alarms, best.upward_alarms, rate_text(best.alarm_rate, s.frame_rate).c_str(),
        rate_text(t.limit, s.frame_rate).c_str(), best.edge_alarms, best.moving_alarms,
        best.uncertain);
    const std::string loss = loss_text(o);
    if (!loss.empty()) page += "<p class=\"warn\">" + escape_html(loss) + ".</p>";
  } else {
    page += format(
        "<p class=\"warn\"><b>No setting of the grid keeps within %s false "
        "alarms.</b> Look at the false alarms below.</p>",
        escape_html(rate_text(t.limit, s.frame_rate)).c_str());
  }
  const std::string note = sample_note(t);
  if (!note.empty()) page += "<p>" + escape_html(note) + ".</p>";
  page += "</div>\n";

  const std::vector<Curve> curves = chosen_curves(t);
  page +=
      "<h2>Completeness against strength</h2>\n<p>The share of injected flashes each setting "
      "found (a report in the flash's first frame within 2 pixels of its centre), by peak "
      "over the local noise. The dashed line marks 8 times the noise, where the "
      "recommendation is made.</p>\n<ul class=\"legend\">";
  for (const Curve& c : curves) {
    page += format("<li><span style=\"background:%s\"></span>%s: %s</li>", c.colour.c_str(),
                   c.name.c_str(), setting_text(t.scores[c.setting].setting).c_str());
  }
  page += "</ul>\n" + completeness_chart(o, curves);

  page +=
      "<h2>False alarms against threshold</h2>\n<p>False alarms per 10,000 frames (those of "
      "noise on the negative and those the catalogue explains that the negative cannot show), "
      "against the temporal threshold each setting sets at the median "
      "noise (settings with the same threshold spread a little sideways by their "
      "neighbourhood test). Filled: false alarms, <span style=\"color:#5aa9ff\">within the "
      "limit</span> or <span style=\"color:#ff6b6b\">over it</span>, <span "
      "style=\"color:#6fdc8c\">the recommended setting</span>; hollow <span "
      "style=\"color:#ffb347\">orange</span>: events the catalogue calls edge (a steep "
      "gradient of the mean frame, or saturated pixels near), not counted against the "
      "limit.</p>\n";
  page += alarm_chart(o);

  page += candidate_cards(o, first);

  page +=
      "<h2>Every setting</h2>\n<p>Best first. Found: share of the injected flashes in each "
      "bin of peak over noise. False alarms: of noise on the negative plus those the "
      "catalogue explains that the negative cannot show; edge, moving: events with those "
      "verdicts without injections; uncertain: candidates only some settings report; "
      "injected runs: reports away from the flashes and the recording's events.</p>\n"
      "<table><tr><th>Time_sd</th><th>Min_sd2</th><th>Min_sd1</th><th>Neighbour_sd</th>";
  for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
    page += "<th>" + bin_name(b) + "</th>";
  }
  page +=
      "<th>false alarms</th><th>edge</th><th>moving</th><th>uncertain</th><th>injected "
      "runs</th><th></th></tr>\n";
  for (const std::size_t i : t.ranking) {
    const SettingScore& sc = t.scores[i];
    const bool recommended = static_cast<int>(i) == t.recommended;
    const char* row_class = recommended        ? "rec"
                            : i == t.current   ? "cur"
                            : !sc.within_limit ? "over"
                                               : "";
    page += format("<tr class=\"%s\"><td>%g</td><td>%g</td><td>%g</td><td>%g</td>", row_class,
                   double(sc.setting.time_sd), double(sc.setting.min_sd2),
                   double(sc.setting.min_sd1), double(sc.setting.neighbour_sd));
    for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
      page += format("<td>%d%%</td>", percent(sc, b));
    }
    std::string note = recommended ? "recommended" : "";
    if (i == t.current) note += note.empty() ? "current" : ", current";
    if (!sc.within_limit) note += note.empty() ? "over the limit" : ", over the limit";
    page += format("<td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%d</td><td>%s</td></tr>\n",
                   sc.false_alarms, sc.edge_alarms, sc.moving_alarms, sc.uncertain,
                   sc.injected_alarms, note.c_str());
  }
  page += "</table>\n</body>\n</html>\n";
  return page;
}

bool write_tuned_settings(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                          const GridSetting& chosen, std::string& changes, std::string* error) {
  changes.clear();
  const GridSetting old = grid_setting(settings);
  const struct {
    const char* key;
    float before;
    float after;
  } fields[] = {{"Time_sd", old.time_sd, chosen.time_sd},
                {"Min_sd2", old.min_sd2, chosen.min_sd2},
                {"Min_sd1", old.min_sd1, chosen.min_sd1},
                {"Neighbour_sd", old.neighbour_sd, chosen.neighbour_sd}};
  for (const auto& f : fields) {
    if (f.before == f.after) continue;
    if (!changes.empty()) changes += ", ";
    changes += format("%s %g -> %g", f.key, double(f.before), double(f.after));
  }
  if (changes.empty()) return true;

  // The file as it is, byte for byte, for the backup.
  FileHandle file = open_regular_file(run_dir, "settings.txt", nullptr, error);
  if (!file) return false;
  std::vector<std::uint8_t> original;
  std::uint8_t chunk[4096];
  for (;;) {
    const std::size_t got = read_bytes(file.get(), chunk);
    original.insert(original.end(), chunk, chunk + got);
    if (got < sizeof chunk) break;
    if (original.size() > kMaxSettingsBytes) {
      *error = "settings.txt: larger than " + std::to_string(kMaxSettingsBytes) +
               " bytes; not a settings file";
      return false;
    }
  }
  if (std::ferror(file.get()) != 0) {
    *error = errno_message("settings.txt", "read failed");
    return false;
  }
  const std::span<const std::uint8_t> pieces[] = {original};
  if (!replace_file(run_dir / "settings.txt.bak", pieces, error)) return false;
  return write_settings_file(run_dir, with_setting(settings, chosen), error);
}

bool write_tune_files(const std::filesystem::path& run_dir, const std::string& csv,
                      const std::string& page, std::string* error) {
  const std::filesystem::path folder = run_dir / "tune";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    *error = "tune: cannot create the folder: " + ec.message();
    return false;
  }
  return replace_text_file_in(folder, kCompletenessName, csv, error) &&
         replace_text_file_in(folder, "index.html", page, error);
}
