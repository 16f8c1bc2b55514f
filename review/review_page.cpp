#include "review/review_page.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "formats/csv.h"
#include "formats/frame_times_csv.h"
#include "formats/utc.h"
#include "imaging/file_io.h"
#include "imaging/png_file.h"
#include "review/event_images.h"

// The page template (review/page_template.html), built into the program by CMake.
extern const char kReviewPageTemplate[];

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxEvents = 100000;
constexpr std::string_view kDataMarker = "@@VESK_DATA@@";
constexpr std::string_view kCardsMarker = "@@VESK_CARDS@@";

// ---- writing the page -------------------------------------------------------------------------

// A JSON string literal that is also safe inside an HTML <script> element: '<', '>' and '&' are
// written as \u escapes, so "</script>" cannot appear.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  out += '"';
}

// A finite number in its shortest round-trip form, which is valid JSON.
void append_json_number(std::string& out, double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void append_json_optional(std::string& out, const std::optional<double>& value) {
  if (value) {
    append_json_number(out, *value);
  } else {
    out += "null";
  }
}

// Width and height from a PNG file's IHDR chunk; nullopt when the file is missing or is no PNG.
struct PngSize {
  int width = 0;
  int height = 0;
};
std::optional<PngSize> png_size(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;  // a pipe would keep us waiting
  std::string ignored;
  FileHandle file = open_file(path.string().c_str(), "rb", &ignored);
  if (!file) return std::nullopt;
  std::uint8_t head[24];
  if (read_bytes(file.get(), head) != sizeof head) return std::nullopt;
  static constexpr std::uint8_t kSignature[12] = {0x89, 'P',  'N', 'G', '\r', '\n',
                                                  0x1a, '\n', 0,   0,   0,    13};
  if (!std::equal(std::begin(kSignature), std::end(kSignature), head) ||
      std::string_view(reinterpret_cast<const char*>(head + 12), 4) != "IHDR") {
    return std::nullopt;
  }
  const auto be32 = [&](int at) {
    return std::uint32_t{head[at]} << 24 | std::uint32_t{head[at + 1]} << 16 |
           std::uint32_t{head[at + 2]} << 8 | std::uint32_t{head[at + 3]};
  };
  const std::uint32_t w = be32(16);
  const std::uint32_t h = be32(20);
  if (w == 0 || h == 0 || w > 1000000 || h > 1000000) return std::nullopt;
  return PngSize{static_cast<int>(w), static_cast<int>(h)};
}

// 64-bit FNV-1a, enough to tell runs apart; not a security measure.
void fnv1a(std::uint64_t& hash, std::string_view bytes) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
}

std::string run_id(const fs::path& run_folder, const std::string& flashes_bytes,
                   const fs::path& flashes_path) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  std::error_code ec;
  const fs::path absolute = fs::weakly_canonical(run_folder, ec);
  fnv1a(hash, (ec ? run_folder : absolute).string());
  fnv1a(hash, std::string_view("\0", 1));
  fnv1a(hash, flashes_bytes);
  struct stat st {};
  if (::stat(flashes_path.string().c_str(), &st) == 0) {
    const std::string stamp = std::to_string(st.st_mtim.tv_sec) + "." +
                              std::to_string(st.st_mtim.tv_nsec) + "/" + std::to_string(st.st_ino);
    fnv1a(hash, std::string_view("\0", 1));
    fnv1a(hash, stamp);
  }
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The event's key in the browser's store: its first frame and position, as the page forms it.
std::string event_key(const FlashRow& e) {
  std::string key = "f" + std::to_string(e.frame) + "@";
  append_json_number(key, e.x);
  key += ',';
  append_json_number(key, e.y);
  return key;
}

// Grey levels of a strip's close-ups for the page's display stretch: the 1st percentile, the
// median and the brightest pixel of the close-ups of frames that were available (a close-up that
// is black throughout is taken as a missing frame and left out).
struct StripLevels {
  int low = 0;
  int median = 0;
  int high = 0;
};

std::optional<StripLevels> strip_levels(const fs::path& file, bool interlaced) {
  PngImage image;
  std::string ignored;
  if (!read_png_file(file, 4096, image, &ignored) || image.channels != 1 ||
      image.width != strip_width(interlaced) || image.height != strip_height(interlaced)) {
    return std::nullopt;
  }
  const int tile_width = interlaced ? kInterlacedTileWidth : kCloseupSide;
  std::uint64_t histogram[256] = {};
  std::uint64_t count = 0;
  for (int t = 0; t < kOffsetCount; ++t) {
    const int left = t * (tile_width + kStripGap);
    const auto in_tile = [&](int c) { return !interlaced || c != kCloseupSide; };  // not the gap
    bool lit = false;
    for (int r = 0; r < image.height && !lit; ++r) {
      for (int c = 0; c < tile_width; ++c) {
        if (in_tile(c) && image.pixels[static_cast<std::size_t>(r) * image.width + left + c] != 0) {
          lit = true;
          break;
        }
      }
    }
    if (!lit) continue;
    for (int r = 0; r < image.height; ++r) {
      for (int c = 0; c < tile_width; ++c) {
        if (!in_tile(c)) continue;
        ++histogram[image.pixels[static_cast<std::size_t>(r) * image.width + left + c]];
        ++count;
      }
    }
  }
  if (count == 0) return std::nullopt;
  const auto percentile = [&](std::uint64_t rank) {
    std::uint64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += histogram[v];
      if (seen > rank) return v;
    }
    return 255;
  };
  StripLevels levels{percentile(count / 100), percentile(count / 2), 0};
  for (int v = 255; v >= 0; --v) {
    if (histogram[v] != 0) {
      levels.high = v;
      break;
    }
  }
  return levels;
}

struct EventPictures {
  std::optional<PngSize> strip, crop, overview;
  bool strip_interlaced = false;
  std::optional<StripLevels> levels;
};

// Looks at the three pictures of `e` in `review_folder`; a missing or odd one gets a notice.
EventPictures find_pictures(const fs::path& review_folder, const FlashRow& e,
                            std::vector<std::string>& notices, int& missing) {
  EventPictures p;
  const auto look = [&](EventImage kind, std::optional<PngSize>& size) {
    const fs::path file = review_folder / event_image_name(e.event, kind);
    size = png_size(file);
    if (!size) {
      std::error_code ec;
      notices.push_back(file.string() +
                        (!fs::exists(file, ec)            ? ": not found"
                         : !fs::is_regular_file(file, ec) ? ": not a regular file"
                                                          : ": not a PNG") +
                        "; left out of event " + std::to_string(e.event) + "'s card");
      ++missing;
    }
  };
  look(EventImage::strip, p.strip);
  look(EventImage::crop, p.crop);
  look(EventImage::overview, p.overview);
  if (p.strip) {
    if (p.strip->width == strip_width(true) && p.strip->height == strip_height(true)) {
      p.strip_interlaced = true;
    } else if (p.strip->width != strip_width(false) || p.strip->height != strip_height(false)) {
      notices.push_back((review_folder / event_image_name(e.event, EventImage::strip)).string() +
                        ": " + std::to_string(p.strip->width) + " x " +
                        std::to_string(p.strip->height) +
                        " pixels is not a close-up strip; left out of event " +
                        std::to_string(e.event) + "'s card");
      p.strip.reset();
    }
  }
  if (p.strip) {
    p.levels = strip_levels(review_folder / event_image_name(e.event, EventImage::strip),
                            p.strip_interlaced);
  }
  return p;
}

void append_picture(std::string& out, const char* name, const FlashRow& e, EventImage kind,
                    const std::optional<PngSize>& size) {
  out += '"';
  out += name;
  out += "\":";
  if (!size) {
    out += "null";
    return;
  }
  out += "{\"src\":";
  append_json_string(out, event_image_name(e.event, kind));
  out += ",\"width\":" + std::to_string(size->width) +
         ",\"height\":" + std::to_string(size->height) + "}";
}

// The light curve's frames in milliseconds from the event's first frame, when the run's frame
// times know that frame: ,"ms":[...] in the order of the curve, null for a frame without a time.
void append_curve_times(std::string& out, const FlashRow& e,
                        const std::vector<const LightCurveRow*>& curve, const FrameTimes& times) {
  const FrameTimeEntry* first = find_frame_time(times, e.frame);
  if (first == nullptr || curve.empty()) return;
  out += ",\"ms\":[";
  for (std::size_t i = 0; i < curve.size(); ++i) {
    if (i > 0) out += ',';
    const FrameTimeEntry* t = curve[i]->frame ? find_frame_time(times, *curve[i]->frame) : nullptr;
    if (t == nullptr) {
      out += "null";
    } else {
      append_json_number(out, std::round((t->seconds - first->seconds) * 1e4) / 10);
    }
  }
  out += ']';
}

// The event as the table and the keys need it, for every event when the page loads.
void append_event_json(std::string& out, const FlashRow& e, Decision decision) {
  out += "{\"event\":" + std::to_string(e.event) + ",\"frame\":" + std::to_string(e.frame) +
         ",\"utc\":";
  append_json_string(out, e.utc);
  const std::pair<const char*, double> numbers[] = {{"x", e.x}, {"y", e.y}, {"peak", e.peak}};
  for (const auto& [name, value] : numbers) {
    out += ",\"";
    out += name;
    out += "\":";
    append_json_number(out, value);
  }
  out += ",\"snr\":";
  append_json_optional(out, e.snr);
  out += ",\"class\":";
  append_json_string(out, e.event_class);
  out += ",\"key\":";
  append_json_string(out, event_key(e));
  out += ",\"decision\":\"";
  out += decision_word(decision);
  out += "\"}";
}

// The rest of the event, for its card: one line of JSON that the page parses only when it draws
// the card, so that a page of many events loads without parsing them all.
void append_card_json(std::string& out, const FlashRow& e, const EventPictures& pictures,
                      const std::vector<const LightCurveRow*>& curve, const FrameTimes& times) {
  out += "{\"frames\":" + std::to_string(e.frames) + ",\"seconds\":";
  append_json_optional(out, e.seconds);
  const std::pair<const char*, double> numbers[] = {
      {"flux", e.flux}, {"flux_err", e.flux_err}, {"motion", e.motion}};
  for (const auto& [name, value] : numbers) {
    out += ",\"";
    out += name;
    out += "\":";
    append_json_number(out, value);
  }
  out += ",\"m_inst\":";
  append_json_optional(out, e.m_inst);
  const std::pair<const char*, const std::optional<double>*> place[] = {
      {"lat", &e.lat}, {"lon", &e.lon}, {"lat_err", &e.lat_err}, {"lon_err", &e.lon_err}};
  for (const auto& [name, value] : place) {
    out += ",\"";
    out += name;
    out += "\":";
    append_json_optional(out, *value);
  }
  out += e.saturated ? ",\"saturated\":true" : ",\"saturated\":false";
  out += ",\"fields\":";
  append_json_string(out, e.fields);
  out += ",\"report\":";
  append_json_string(out, e.report);
  out += ",";
  append_picture(out, "strip", e, EventImage::strip, pictures.strip);
  out += ",";
  append_picture(out, "crop", e, EventImage::crop, pictures.crop);
  out += ",";
  append_picture(out, "overview", e, EventImage::overview, pictures.overview);
  out += pictures.strip_interlaced ? ",\"interlaced\":true" : ",\"interlaced\":false";
  out += ",\"levels\":";
  if (pictures.levels) {
    out += "[" + std::to_string(pictures.levels->low) + "," +
           std::to_string(pictures.levels->median) + "," + std::to_string(pictures.levels->high) +
           "]";
  } else {
    out += "null";
  }
  // The light curve as [offset, flux, flux_err, peak] rows, null where not measured.
  out += ",\"curve\":[";
  for (std::size_t i = 0; i < curve.size(); ++i) {
    if (i > 0) out += ',';
    out += '[';
    out += std::to_string(curve[i]->offset);
    out += ',';
    append_json_optional(out, curve[i]->flux);
    out += ',';
    append_json_optional(out, curve[i]->flux_err);
    out += ',';
    append_json_optional(out, curve[i]->peak);
    out += ']';
  }
  out += ']';
  append_curve_times(out, e, curve, times);
  out += '}';
}

}  // namespace

bool write_review_page(const fs::path& run_folder, ReviewPageResult& result, std::string* error) {
  result = ReviewPageResult{};
  const fs::path flashes_path = run_folder / kFlashesName;
  std::string flashes_bytes;
  std::vector<FlashRow> events;
  if (!read_csv_file(flashes_path, kMostFlashesBytes, flashes_bytes, error) ||
      !parse_flashes_csv(flashes_path.string(), flashes_bytes, events, error)) {
    return false;
  }
  if (events.size() > kMaxEvents) {
    *error = flashes_path.string() + ": more than " + std::to_string(kMaxEvents) + " events";
    return false;
  }

  std::vector<LightCurveRow> points;
  const fs::path curves_path = run_folder / kLightCurvesName;
  std::error_code ec;
  if (fs::exists(curves_path, ec)) {
    if (!read_lightcurves_csv(curves_path, events, points, error)) return false;
  } else {
    result.notices.push_back(curves_path.string() + ": not found; the cards show no light curve");
  }

  std::map<int, Decision> decisions;
  const fs::path decisions_path = run_folder / kDecisionsName;
  if (fs::exists(decisions_path, ec)) {
    std::vector<DecisionRow> lines;
    if (!read_decisions_csv(decisions_path, lines, error)) return false;
    std::map<int, std::int64_t> frame_of;
    for (const auto& e : events) frame_of[e.event] = e.frame;
    for (const auto& d : lines) {
      const auto it = frame_of.find(d.event);
      if (it == frame_of.end() || it->second != d.frame) {
        result.notices.push_back(decisions_path.string() + ":" + std::to_string(d.line) +
                                 ": event " + std::to_string(d.event) + " at frame " +
                                 std::to_string(d.frame) +
                                 " is not in flashes.csv; its decision is ignored");
        continue;
      }
      decisions[d.event] = d.decision;
    }
  }

  const fs::path review_folder = run_folder / "review";
  fs::create_directories(review_folder, ec);
  if (ec || !fs::is_directory(review_folder, ec)) {
    *error = review_folder.string() + ": cannot create folder" + (ec ? ": " + ec.message() : "");
    return false;
  }

  // Cards in time order: by first frame, then by event number.
  std::vector<const FlashRow*> order;
  for (const auto& e : events) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return a->frame != b->frame ? a->frame < b->frame : a->event < b->event;
  });
  std::map<int, std::vector<const LightCurveRow*>> curves;
  for (const auto& p : points) curves[p.event].push_back(&p);
  for (auto& [event, curve] : curves) {
    std::sort(curve.begin(), curve.end(),
              [](const auto* a, const auto* b) { return a->offset < b->offset; });
  }

  // The run's frame times, when it has them, put the light curves' frames in milliseconds.
  FrameTimes times;
  std::string times_error;
  std::vector<std::string> times_notices;
  if (!read_frame_times_csv(run_folder, times, times_notices, &times_error)) {
    times_notices.push_back(times_error + "; the light curves are drawn against frame offsets");
  }
  for (std::string& notice : times_notices) {
    // Named like the page's other files, from the run folder.
    if (notice.starts_with(kFrameTimesName)) notice = (run_folder / notice).string();
    result.notices.push_back(notice);
  }
  std::vector<std::string> picture_notices;
  int missing = 0;
  std::string events_json, cards_json;
  bool any_interlaced = false;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const FlashRow& e = *order[i];
    const EventPictures pictures = find_pictures(review_folder, e, picture_notices, missing);
    any_interlaced = any_interlaced || pictures.strip_interlaced;
    const auto decision = decisions.find(e.event);
    if (i > 0) {
      events_json += ",\n";
      cards_json += '\n';
    }
    append_event_json(events_json, e,
                      decision == decisions.end() ? Decision::undecided : decision->second);
    append_card_json(cards_json, e, pictures, curves[e.event], times);
  }
  if (!order.empty() && missing == 3 * static_cast<int>(order.size())) {
    result.notices.push_back(review_folder.string() +
                             ": no event pictures; the cards show the catalogue values only");
  } else {
    result.notices.insert(result.notices.end(), picture_notices.begin(), picture_notices.end());
  }

  std::string data = "{\"run\":{\"id\":";
  append_json_string(data, run_id(run_folder, flashes_bytes, flashes_path));
  data += ",\"folder\":";
  fs::path absolute = fs::absolute(run_folder, ec);
  if (ec) absolute = run_folder;
  absolute = absolute.lexically_normal();
  std::string folder_name = absolute.filename().string();
  if (folder_name.empty()) folder_name = absolute.parent_path().filename().string();
  append_json_string(data, folder_name);
  data += ",\"path\":";
  append_json_string(data, absolute.string());
  data += ",\"built\":";
  append_json_string(data, utc_now_text());
  data += any_interlaced ? ",\"interlaced\":true" : ",\"interlaced\":false";
  data += "},\n\"events\":[\n" + events_json + "]}";

  const std::string_view page_template = kReviewPageTemplate;
  const std::size_t marker = page_template.find(kDataMarker);
  const std::size_t cards_marker = page_template.find(kCardsMarker);
  if (marker == std::string_view::npos || cards_marker == std::string_view::npos ||
      cards_marker < marker) {
    *error = "review page template has no data markers";
    return false;
  }
  std::string page;
  page.reserve(page_template.size() + data.size() + cards_json.size());
  page.append(page_template.substr(0, marker));
  page.append(data);
  const std::size_t after = marker + kDataMarker.size();
  page.append(page_template.substr(after, cards_marker - after));
  page.append(cards_json);
  page.append(page_template.substr(cards_marker + kCardsMarker.size()));

  result.page = review_folder / "index.html";
  result.events = static_cast<int>(order.size());
  return replace_text_file(result.page, page, error);
}
