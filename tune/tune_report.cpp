#include "tune/tune_report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <numeric>
#include <vector>

#include "formats/completeness_csv.h"
#include "imaging/file_io.h"

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

std::string report_rows(const std::vector<FoundReport>& reports, std::int64_t first,
                        std::size_t most) {
  std::string rows;
  for (std::size_t k = 0; k < reports.size() && k < most; ++k) {
    const FoundReport& r = reports[k];
    rows += format("<tr><td>%lld</td><td>%.1f</td><td>%.1f</td><td>%d</td></tr>\n",
                   static_cast<long long>(first + r.frame), r.x, r.y, r.pixels);
  }
  return rows;
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
ul.legend span { display: inline-block; width: 1.6em; height: 0.3em; vertical-align: middle;
                 margin-right: 0.4em; }
</style>
)";

}  // namespace

std::string tune_summary(const TuneOutcome& o, std::size_t rows) {
  const TuneScores& t = o.scores;
  const NightSurvey& s = o.survey;
  std::string text;
  text += format(
      "Noise: each pixel's spread over time, on the night side (%s pixels, %d frames): "
      "median %.2f grey levels, 10-90%%: %.2f to %.2f\n",
      grouped(s.night_pixels).c_str(), s.surveyed, s.noise_median, s.noise_low, s.noise_high);
  text += format(
      "Injected %zu flashes (%d per strength bin, %d fading over a second frame) in "
      "%d pass%s over %lld tested frames\n",
      o.plan.flashes.size(), static_cast<int>(o.plan.flashes.size() / kStrengthBins.size()),
      fading(o.plan), o.plan.passes, o.plan.passes == 1 ? "" : "es",
      static_cast<long long>(t.frames_tested));
  text += format("Tested %zu settings in %d runs: %.1f s on %d thread%s (noise survey %.1f s)\n",
                 t.scores.size(), 1 + t.passes, o.run_seconds, o.threads, o.threads == 1 ? "" : "s",
                 o.survey_seconds);
  if (!t.steady.empty()) {
    text += format(
        "Reported by most settings, so put down to the recording, not counted as "
        "false alarms: %zu (listed in tune/index.html)\n",
        t.steady.size());
  }
  text +=
      "\n                                      found, by peak over the noise       false "
      "alarms in\n";
  text += "Time_sd Min_sd2 Min_sd1 Neighbour_sd";
  for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
    text += format(" %5s", bin_name(b).c_str());
  }
  text += format("   %s frames  edge\n", grouped(t.frames_tested).c_str());
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
    text += format(" %*d %5d%s\n", static_cast<int>(grouped(t.frames_tested).size()) + 13,
                   sc.false_alarms, sc.edge_alarms, note.c_str());
  }
  text += "\n";
  if (t.recommended < 0) {
    text += format(
        "No setting of the grid keeps within %g false alarms per 10,000 frames; "
        "nothing to recommend\n",
        t.limit);
    return text;
  }
  const SettingScore& best = t.scores[static_cast<std::size_t>(t.recommended)];
  const SettingScore& now = t.scores[t.current];
  text += format(
      "Recommended: %s (finds %d%% of the flashes at %s times the noise, the current "
      "setting %d%%; %d false alarms in %s frames, limit %g per 10,000)\n",
      setting_text(best.setting).c_str(), percent(best, kReferenceBin),
      bin_name(kReferenceBin).c_str(), percent(now, kReferenceBin), best.false_alarms,
      grouped(t.frames_tested).c_str(), t.limit);
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
      "run. Noise, each pixel's spread over time on the night side (%s pixels, first "
      "%d frames): median %.2f grey levels, 10-90%%: %.2f to %.2f.</p>\n",
      static_cast<long long>(first), static_cast<long long>(first + s.frames - 1),
      s.geometry.image_width, s.geometry.image_height, grouped(t.frames_tested).c_str(),
      grouped(s.night_pixels).c_str(), s.surveyed, s.noise_median, s.noise_low, s.noise_high);
  page += format(
      "<p>Injected %zu synthetic flashes (Gaussian spots, full width at half maximum "
      "%g pixels; %d per strength bin; %d fading over a second frame) at random places "
      "on the night side, at most one per frame, in %d pass%s over the frames, in "
      "memory only. %zu settings tested in %d runs: %.1f s on %d thread%s.</p>\n",
      o.plan.flashes.size(), o.psf, static_cast<int>(o.plan.flashes.size() / kStrengthBins.size()),
      fading(o.plan), o.plan.passes, o.plan.passes == 1 ? "" : "es", t.scores.size(), 1 + t.passes,
      o.run_seconds, o.threads, o.threads == 1 ? "" : "s");

  const SettingScore& now = t.scores[t.current];
  page += "<div class=\"box\">";
  if (t.recommended >= 0) {
    const SettingScore& best = t.scores[static_cast<std::size_t>(t.recommended)];
    page += format(
        "<p class=\"good\"><b>Recommended: %s</b></p><p>It finds %d%% of the flashes "
        "at %s times the noise (the current setting, %s: %d%%), with %d false alarms "
        "and %d at edges in %s frames without injections (limit: %g per 10,000 "
        "frames).</p>",
        setting_text(best.setting).c_str(), percent(best, kReferenceBin),
        bin_name(kReferenceBin).c_str(), setting_text(now.setting).c_str(),
        percent(now, kReferenceBin), best.false_alarms, best.edge_alarms,
        grouped(t.frames_tested).c_str(), t.limit);
  } else {
    page += format(
        "<p class=\"warn\"><b>No setting of the grid keeps within %g false alarms per "
        "10,000 frames.</b> Look at the alarms below: real flashes or satellite "
        "glints that only some settings report count as alarms too.</p>",
        t.limit);
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
      "<h2>False alarms against threshold</h2>\n<p>Reports in the frames without injections, "
      "per 10,000 frames, against the temporal threshold each setting sets at the median "
      "noise (settings with the same threshold spread a little sideways by their "
      "neighbourhood test). Filled: false alarms, <span style=\"color:#5aa9ff\">within the "
      "limit</span> or <span style=\"color:#ff6b6b\">over it</span>, <span "
      "style=\"color:#6fdc8c\">the recommended setting</span>; hollow <span "
      "style=\"color:#ffb347\">orange</span>: alarms at edge sites (a steep gradient of the "
      "mean frame, or saturated pixels near), not counted against the limit.</p>\n";
  page += alarm_chart(o);

  if (!t.steady.empty()) {
    page += format(
        "<h2>Reported by most settings</h2>\n<p>At least %g%% of the settings report "
        "these in the frames without injections. They come from the recording itself "
        "(a real flash, a satellite glint, a hard edge) rather than from a threshold, "
        "so they are not counted as anyone's false alarms. Look at them.</p>\n"
        "<table><tr><th>frame</th><th>sample</th><th>line</th><th>pixels</th>"
        "<th>settings</th></tr>\n",
        100 * kSteadyShare);
    for (std::size_t k = 0; k < t.steady.size() && k < 200; ++k) {
      const SteadyEvent& e = t.steady[k];
      page += format("<tr><td>%lld</td><td>%.1f</td><td>%.1f</td><td>%d</td><td>%d</td></tr>\n",
                     static_cast<long long>(first + e.report.frame), e.report.x, e.report.y,
                     e.report.pixels, e.settings);
    }
    page += "</table>\n";
  }
  std::vector<std::pair<std::size_t, const char*>> listed;
  if (t.recommended >= 0)
    listed.emplace_back(static_cast<std::size_t>(t.recommended), "recommended");
  if (static_cast<int>(t.current) != t.recommended) listed.emplace_back(t.current, "current");
  for (const auto& [i, label] : listed) {
    const SettingScore& sc = t.scores[i];
    if (sc.alarms.empty()) continue;
    page += format(
        "<h2>Alarms of the %s setting</h2>\n<p>%s, in the frames without injections: "
        "%d false alarms, then %d at edge sites.</p>\n<table><tr><th>frame</th>"
        "<th>sample</th><th>line</th><th>pixels</th></tr>\n",
        label, setting_text(sc.setting).c_str(), sc.false_alarms, sc.edge_alarms);
    page += report_rows(sc.alarms, first, 100) + "</table>\n";
  }

  page +=
      "<h2>Every setting</h2>\n<p>Best first. Found: share of the injected flashes in each "
      "bin of peak over noise. Alarms: false alarms without injections / with injections "
      "(away from the injected flashes) / at edge sites without injections.</p>\n"
      "<table><tr><th>Time_sd</th><th>Min_sd2</th><th>Min_sd1</th><th>Neighbour_sd</th>";
  for (std::size_t b = 0; b < kStrengthBins.size(); ++b) {
    page += "<th>" + bin_name(b) + "</th>";
  }
  page += "<th>alarms</th><th>injected runs</th><th>edge</th><th></th></tr>\n";
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
    page += format("<td>%d</td><td>%d</td><td>%d</td><td>%s</td></tr>\n", sc.false_alarms,
                   sc.injected_alarms, sc.edge_alarms, note.c_str());
  }
  page += "</table>\n</body>\n</html>\n";
  return page;
}

bool write_tuned_settings(const std::filesystem::path& run_dir, const DetectionSettings& settings,
                          const GridSetting& chosen, std::string& changes, std::string& error) {
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
  FileHandle file = open_regular_file(run_dir, "settings.txt", error);
  if (!file) return false;
  std::vector<std::uint8_t> original;
  std::uint8_t chunk[4096];
  for (;;) {
    const std::size_t got = read_bytes(file.get(), chunk);
    original.insert(original.end(), chunk, chunk + got);
    if (got < sizeof chunk) break;
    if (original.size() > kMaxSettingsBytes) {
      error = "settings.txt: larger than " + std::to_string(kMaxSettingsBytes) +
              " bytes; not a settings file";
      return false;
    }
  }
  if (std::ferror(file.get()) != 0) {
    error = errno_message("settings.txt", "read failed");
    return false;
  }
  const std::span<const std::uint8_t> pieces[] = {original};
  if (!replace_file(run_dir / "settings.txt.bak", pieces, error)) return false;
  return write_settings_file(run_dir, with_setting(settings, chosen), error);
}

bool write_tune_files(const std::filesystem::path& run_dir, const std::string& csv,
                      const std::string& page, std::string& error) {
  const std::filesystem::path folder = run_dir / "tune";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "tune: cannot create the folder: " + ec.message();
    return false;
  }
  return replace_text_file_in(folder, kCompletenessName, csv, error) &&
         replace_text_file_in(folder, "index.html", page, error);
}
