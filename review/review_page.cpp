#include "review/review_page.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "formats/csv.h"
#include "formats/frame_times_csv.h"
#include "formats/moon_csv.h"
#include "formats/run_info.h"
#include "formats/utc.h"
#include "imaging/file_io.h"
#include "imaging/png_file.h"
#include "review/event_images.h"
#include "review/moon_overlay.h"

// The page template (review/page_template.html), built into the program by CMake.
extern const char kReviewPageTemplate[];

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxEvents = 100000;
constexpr const char* kDataFileName = "events.js";

// ---- writing the page -------------------------------------------------------------------------

// A JSON string literal that is also safe inside an HTML <script> element: '<', '>', '&', '`' and
// '$' are written as \u escapes, so no "</script>" (nor a template's end or substitution, should
// the text ever be put in one) can appear.
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == '`' || c == '$') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  out += '"';
}

// Bytes of text in one string literal of events.js, about. V8 grows the buffer it scans a literal
// into by at most 1 MiB at a time, so one literal of tens of megabytes takes time growing with
// its square (100,000 events, 80 MB: 4 s in a plain string, 7 s in a template); in pieces of
// this size the same text is scanned in well under a second.
constexpr std::size_t kPieceBytes = 64 * 1024;

// Appends js_string_pieces(text) (see review_page.h).
void append_js_pieces(std::string& out, std::string_view text) {
  out += '[';
  for (std::size_t from = 0; from < text.size();) {
    std::size_t end = text.size();
    if (end - from > kPieceBytes) {
      end = text.find('\n', from + kPieceBytes);
      if (end != std::string_view::npos && end - from <= 2 * kPieceBytes) {
        ++end;
      } else {
        end = from + kPieceBytes;
        while (end > from + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
      }
    }
    out += from == 0 ? "\n'" : ",\n'";
    for (std::size_t i = from; i < end; ++i) {
      const char ch = text[i];
      const unsigned char c = static_cast<unsigned char>(ch);
      if (ch == '\\' || ch == '\'') {
        out += '\\';
        out += ch;
      } else if (ch == '\n') {
        out += "\\n";
      } else if (c < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        out += escape;
      } else if (c == 0xE2 && i + 2 < end && text[i + 1] == '\x80' &&
                 (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
        // Line and paragraph separators, which older engines take as a line end in a literal.
        out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
        i += 2;
      } else {
        out += ch;
      }
    }
    out += '\'';
    from = end;
  }
  out += "\n]";
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

// The run's id: its folder and, from run.txt, the recording and the time the run started, which
// stay the same while the run writes its catalogue and page again and again; without run.txt (a
// frame folder's run), the bytes of flashes.csv and its modification time.
std::string run_id(const fs::path& run_folder, const std::string& flashes_bytes,
                   const fs::path& flashes_path) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  std::error_code ec;
  const fs::path absolute = fs::weakly_canonical(run_folder, ec);
  fnv1a(hash, (ec ? run_folder : absolute).string());
  fnv1a(hash, std::string_view("\0", 1));
  RunInfo info;
  bool missing = false;
  std::string ignored;
  if (read_run_info(run_folder, info, &missing, &ignored) && !info.started.empty()) {
    fnv1a(hash, "run.txt");
    fnv1a(hash, std::string_view("\0", 1));
    fnv1a(hash, info.recording);
    fnv1a(hash, std::string_view("\0", 1));
    fnv1a(hash, info.started);
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
  }
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

// The display levels of a strip (StripLevels) from its file.

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

// The scale the page shows a difference strip at by default: the largest difference from the
// ring's mean in the strip (grey levels either side of kDiffZero), at least kLeastDiffScale so
// that a quiet strip's noise is not blown up to full black and white. Nothing when the file is
// missing or is not a difference strip of that layout.
constexpr int kLeastDiffScale = 8;

std::optional<int> difference_scale(const fs::path& file, bool interlaced) {
  PngImage image;
  std::string ignored;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec) || !read_png_file(file, 4096, image, &ignored) ||
      image.channels != 1 || image.width != strip_width(interlaced) ||
      image.height != strip_height(interlaced)) {
    return std::nullopt;
  }
  int scale = kLeastDiffScale;
  for (const std::uint8_t v : image.pixels) scale = std::max(scale, std::abs(v - kDiffZero));
  return scale;
}

struct EventPictures {
  std::optional<PngSize> strip, crop, overview;
  bool strip_interlaced = false;
  std::optional<StripLevels> levels;
  std::optional<int> diff_scale;  // the difference strip's, when the run wrote one
};

// The memo's entry for `file`, its PNG header read again when the file is not the one read
// before (and what else was read from it forgotten); nullptr when it is not a regular file.
PictureRead* picture_read(ReviewPageMemo& memo, const fs::path& file) {
  const std::string key = file.string();
  struct stat st {};
  if (::stat(key.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    memo.pictures.erase(key);
    return nullptr;
  }
  const std::int64_t modified =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  PictureRead& read = memo.pictures[key];
  if (read.bytes != static_cast<std::uint64_t>(st.st_size) || read.modified_ns != modified ||
      read.inode != static_cast<std::uint64_t>(st.st_ino)) {
    read = PictureRead{};
    read.bytes = static_cast<std::uint64_t>(st.st_size);
    read.modified_ns = modified;
    read.inode = static_cast<std::uint64_t>(st.st_ino);
    read.size = png_size(file);
  }
  return &read;
}

// Looks at the three pictures of `e` in `review_folder`; a missing or odd one gets a notice.
EventPictures find_pictures(const fs::path& review_folder, const FlashRow& e,
                            std::vector<std::string>& notices, int& missing, ReviewPageMemo& memo) {
  EventPictures p;
  const auto look = [&](EventImage kind, std::optional<PngSize>& size) {
    const fs::path file = review_folder / event_image_name(e.event, kind);
    PictureRead* read = picture_read(memo, file);
    if (read != nullptr) size = read->size;
    if (!size) {
      std::error_code ec;
      notices.push_back(file.string() +
                        (!fs::exists(file, ec)            ? ": not found"
                         : !fs::is_regular_file(file, ec) ? ": not a regular file"
                                                          : ": not a PNG") +
                        "; left out of event " + std::to_string(e.event) + "'s card");
      ++missing;
    }
    return read;
  };
  PictureRead* strip = look(EventImage::strip, p.strip);
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
    // The strip's layout follows from its own size, so its levels are read once per file.
    if (!strip->levels_read) {
      strip->levels_read = true;
      strip->levels = strip_levels(review_folder / event_image_name(e.event, EventImage::strip),
                                   p.strip_interlaced);
    }
    p.levels = strip->levels;
    const fs::path difference = review_folder / event_image_name(e.event, EventImage::difference);
    if (PictureRead* read = picture_read(memo, difference)) {
      if (read->scale_for != p.strip_interlaced) {
        read->scale_for = p.strip_interlaced;
        read->scale = difference_scale(difference, p.strip_interlaced);
      }
      p.diff_scale = read->scale;
    }
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
  out += ",\"clusters\":";
  out += e.clusters ? std::to_string(*e.clusters) : std::string("null");
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
  // The difference strip (named as the strip, "_diff" for "_strip") and its scale, when there
  // is one.
  if (pictures.diff_scale) out += ",\"diff\":" + std::to_string(*pictures.diff_scale);
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

// ---- the Moon: grids over the whole-frame pictures and the night map ---------------------------

// The night map's drawing units: the disc's radius is 1000 of them, its centre at 0.
constexpr double kMapRadius = 1000.0;
// Marks further from the centre than this (in map units) are beyond the map's edge.
constexpr double kMapReach = 1400.0;
// At most this many different grids in a page; fits that would draw nearly the same grid share
// one.
constexpr std::size_t kMostGrids = 1000;

struct MoonOverlay {
  std::string note;                // why there is no grid or map, or empty
  std::vector<MoonFitRow> fits;    // the usable ones, by frame
  std::vector<int> fit_of;         // per event in page order: index into fits, or -1
  std::vector<int> grid_of_fit;    // per fit: index into grids, or -1
  std::vector<std::string> grids;  // SVG path data in whole-frame picture pixels
  int map_fit = -1;                // the fit the night map is drawn from
  std::string map_grid, map_lit;   // in map units
  std::vector<std::optional<std::pair<int, int>>> marks;  // per event in page order
};

// Why no fit in moon.csv gives places, from what its lines leave empty.
std::string unusable_reason(const std::vector<MoonFitRow>& rows) {
  if (rows.empty()) return "moon.csv holds no fit of the disc (the frames have no UTC time?)";
  bool mirror = false, limb = false, radius = false, rotation = false;
  for (const MoonFitRow& r : rows) {
    mirror = mirror || !r.mirror.empty();
    limb = limb || (r.cx && r.cy);
    radius = radius || (r.radius && *r.radius > 0.0);
    rotation = rotation || r.rotation;
  }
  if (!mirror) return "the run was not told whether the image is mirrored (--mirror)";
  if (!limb) return "no limb of the Moon was found in view";
  if (!radius) return "the limb in view was too short to fix the disc's radius (--scale)";
  if (!rotation) return "the lit limb was out of view and no --rotation was given";
  return "no fit of the disc in moon.csv gives places";
}

// The fit nearest `frame` (the first of two as near), as the run chose it; -1 when none.
int nearest_fit(const std::vector<MoonFitRow>& fits, std::int64_t frame) {
  if (fits.empty()) return -1;
  const auto after =
      std::lower_bound(fits.begin(), fits.end(), frame,
                       [](const MoonFitRow& f, std::int64_t v) { return f.frame < v; });
  if (after == fits.begin()) return 0;
  if (after == fits.end()) return static_cast<int>(fits.size()) - 1;
  const auto before = after - 1;
  return static_cast<int>((frame - before->frame <= after->frame - frame ? before : after) -
                          fits.begin());
}

// How far apart the grids of two views lie, at most, in pixels.
double grid_shift(const DiscView& a, const DiscView& b) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const double turn = std::fabs(a.rotation - b.rotation) + std::fabs(a.lib_lon - b.lib_lon) +
                      std::fabs(a.lib_lat - b.lib_lat) + std::fabs(a.axis_pa - b.axis_pa);
  return std::hypot(a.cx - b.cx, a.cy - b.cy) + std::fabs(a.radius - b.radius) +
         std::max(a.radius, b.radius) * turn * kRad + (a.mirror != b.mirror ? 1e9 : 0.0);
}

// A mark's place on the map: the event's place seen in the map's view; without a place (off the
// disc), its offset from its own fit's centre turned into the map's orientation.
std::optional<std::pair<int, int>> map_mark(const FlashRow& e, const MoonFitRow& own,
                                            const DiscView& map) {
  double x = 0.0, y = 0.0;
  bool placed = e.lat && e.lon && place_to_pixel(map, LunarPlace{*e.lat, *e.lon}, &x, &y);
  if (!placed) {
    const DiscView v = view_of_fit(own);
    const double dx = (e.x - v.cx) / v.radius, dy = (e.y - v.cy) / v.radius;
    // Screen angle psi (counter-clockwise from up) of the same position angle in the map's view.
    constexpr double kRad = 3.14159265358979323846 / 180.0;
    const double psi = std::atan2(-dx, -dy) +
                       (map.mirror ? map.rotation - v.rotation : v.rotation - map.rotation) * kRad;
    const double r = std::hypot(dx, dy) * kMapRadius;
    x = -r * std::sin(psi);
    y = -r * std::cos(psi);
  }
  if (!(std::hypot(x, y) <= kMapReach)) return std::nullopt;
  return std::make_pair(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)));
}

// Reads moon.csv (when there) and works out what the page draws of the Moon for the events in
// `order`, whose whole-frame pictures are `overviews`.
MoonOverlay moon_overlay(const fs::path& run_folder, const std::vector<const FlashRow*>& order,
                         const std::vector<std::optional<PngSize>>& overviews,
                         std::vector<std::string>& notices) {
  MoonOverlay m;
  m.fit_of.assign(order.size(), -1);
  m.marks.assign(order.size(), std::nullopt);
  const fs::path path = run_folder / kMoonFitsName;
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    m.note = "this run was made without the observer's site (--site)";
    return m;
  }
  std::vector<MoonFitRow> rows;
  std::string error;
  if (!read_moon_csv(path, rows, &error)) {
    notices.push_back(error + "; the page has no grid or night map");
    m.note = "moon.csv could not be read";
    return m;
  }
  for (MoonFitRow& r : rows) {
    if (moon_fit_usable(r)) m.fits.push_back(std::move(r));
  }
  if (m.fits.empty()) {
    m.note = unusable_reason(rows);
    return m;
  }
  std::stable_sort(m.fits.begin(), m.fits.end(),
                   [](const MoonFitRow& a, const MoonFitRow& b) { return a.frame < b.frame; });
  for (std::size_t i = 0; i < order.size(); ++i) m.fit_of[i] = nearest_fit(m.fits, order[i]->frame);

  // The grids: for each fit an event uses, unless a grid already made lies within half a
  // picture pixel of it; the tolerance doubles while there would be too many.
  std::vector<bool> used(m.fits.size(), false);
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (overviews[i]) used[static_cast<std::size_t>(m.fit_of[i])] = true;
  }
  for (double tolerance = 0.5;; tolerance *= 2.0) {
    m.grids.clear();
    m.grid_of_fit.assign(m.fits.size(), -1);
    std::vector<std::pair<DiscView, int>> made;  // view, its factor
    bool too_many = false;
    for (std::size_t f = 0; f < m.fits.size() && !too_many; ++f) {
      const MoonFitRow& fit = m.fits[f];
      if (!used[f] || !fit.width || !fit.height || *fit.width < 1 || *fit.height < 1) continue;
      const int longest = static_cast<int>(std::max(*fit.width, *fit.height));
      const int factor = (longest + kOverviewMaxSide - 1) / kOverviewMaxSide;
      const DiscView view = view_of_fit(fit);
      if (!made.empty() && made.back().second == factor &&
          grid_shift(made.back().first, view) < tolerance * factor) {
        m.grid_of_fit[f] = static_cast<int>(m.grids.size()) - 1;
        continue;
      }
      if (m.grids.size() == kMostGrids) {
        too_many = true;
        break;
      }
      made.emplace_back(view, factor);
      m.grid_of_fit[f] = static_cast<int>(m.grids.size());
      m.grids.push_back(grid_path(view, block_scale(factor)));
    }
    if (!too_many) break;
  }
  // An event's grid only over a picture of the frame size its fit was made on.
  for (std::size_t i = 0; i < order.size(); ++i) {
    const MoonFitRow& fit = m.fits[static_cast<std::size_t>(m.fit_of[i])];
    if (!overviews[i] || !fit.width || !fit.height) continue;
    const int w = static_cast<int>(*fit.width), h = static_cast<int>(*fit.height);
    const int factor = (std::max(w, h) + kOverviewMaxSide - 1) / kOverviewMaxSide;
    if (overviews[i]->width != (w + factor - 1) / factor ||
        overviews[i]->height != (h + factor - 1) / factor) {
      m.grid_of_fit[static_cast<std::size_t>(m.fit_of[i])] = -1;
    }
  }

  // The night map: from the fit the middle event uses, the disc centred, kMapRadius units wide.
  m.map_fit = order.empty() ? 0 : m.fit_of[order.size() / 2];
  const MoonFitRow& ref = m.fits[static_cast<std::size_t>(m.map_fit)];
  DiscView map = view_of_fit(ref);
  map.cx = 0.0;
  map.cy = 0.0;
  map.radius = kMapRadius;
  const DrawingScale units{1.0, 0.0, 0.0, 1.0};  // the map: 1000 units are about 150 pixels
  m.map_grid = grid_path(map, units);
  if (ref.sun_lon && ref.sun_lat) m.map_lit = lit_path(map, *ref.sun_lon, *ref.sun_lat, units);
  for (std::size_t i = 0; i < order.size(); ++i) {
    m.marks[i] = map_mark(*order[i], m.fits[static_cast<std::size_t>(m.fit_of[i])], map);
  }
  return m;
}

void append_moon_json(std::string& out, const MoonOverlay& m) {
  out += ",\"moon\":{\"note\":";
  if (m.note.empty()) {
    out += "null";
  } else {
    append_json_string(out, m.note);
  }
  if (m.map_fit >= 0) {
    const MoonFitRow& ref = m.fits[static_cast<std::size_t>(m.map_fit)];
    out += ",\"map\":{\"frame\":" + std::to_string(ref.frame) + ",\"utc\":";
    append_json_string(out, ref.utc);
    out += ",\"radius\":";
    append_json_number(out, kMapRadius);
    out += ",\"reach\":";
    append_json_number(out, kMapReach);
    out += ",\"illuminated\":";
    append_json_optional(out, ref.illuminated);
    out += ",\"grid\":";
    append_json_string(out, m.map_grid);
    out += ",\"lit\":";
    append_json_string(out, m.map_lit);
    out += "},\"grids\":[";
    for (std::size_t g = 0; g < m.grids.size(); ++g) {
      if (g > 0) out += ",\n";
      append_json_string(out, m.grids[g]);
    }
    out += ']';
  }
  out += '}';
}

}  // namespace

std::string js_string_pieces(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 16);
  append_js_pieces(out, text);
  return out;
}

bool write_review_page(const fs::path& run_folder, ReviewPageResult& result, std::string* error) {
  return write_review_page(run_folder, false, result, error);
}

bool write_review_page(const fs::path& run_folder, bool live, ReviewPageResult& result,
                       std::string* error, ReviewPageMemo* memo) {
  result = ReviewPageResult{};
  ReviewPageMemo own_memo;
  ReviewPageMemo& pictures_read = memo != nullptr ? *memo : own_memo;
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
  std::vector<EventPictures> pictures;
  pictures.reserve(order.size());
  std::vector<std::optional<PngSize>> overviews;
  overviews.reserve(order.size());
  for (const FlashRow* e : order) {
    pictures.push_back(find_pictures(review_folder, *e, picture_notices, missing, pictures_read));
    overviews.push_back(pictures.back().overview);
  }
  const MoonOverlay moon = moon_overlay(run_folder, order, overviews, result.notices);
  for (std::size_t i = 0; i < order.size(); ++i) {
    const FlashRow& e = *order[i];
    any_interlaced = any_interlaced || pictures[i].strip_interlaced;
    const auto decision = decisions.find(e.event);
    if (i > 0) {
      events_json += ",\n";
      cards_json += '\n';
    }
    append_event_json(events_json, e,
                      decision == decisions.end() ? Decision::undecided : decision->second);
    if (moon.marks[i]) {
      // The mark on the night map, before the closing brace.
      events_json.pop_back();
      events_json += ",\"m\":[" + std::to_string(moon.marks[i]->first) + "," +
                     std::to_string(moon.marks[i]->second) + "]}";
    }
    append_card_json(cards_json, e, pictures[i], curves[e.event], times);
    const int fit = moon.fit_of[i];
    const int grid = fit < 0 ? -1 : moon.grid_of_fit[static_cast<std::size_t>(fit)];
    if (grid >= 0 && pictures[i].overview) {
      cards_json.pop_back();
      cards_json += ",\"grid\":" + std::to_string(grid) + "}";
    }
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
  data += live ? ",\"live\":true" : ",\"live\":false";
  data += "}";
  append_moon_json(data, moon);
  data += ",\n\"events\":[\n" + events_json + "]}";

  // The data file first, so that the page finds it complete when it is opened.
  std::string script =
      "// The events of the review page beside it (index.html), which loads this file: the\n"
      "// table's JSON and the cards' lines, each in pieces that the page joins.\n"
      "veskReview(";
  script.reserve(script.size() + data.size() + cards_json.size() + cards_json.size() / 16 + 64);
  append_js_pieces(script, data);
  script += ",\n";
  append_js_pieces(script, cards_json);
  script += ");\n";
  if (!replace_text_file(review_folder / kDataFileName, script, error)) return false;

  result.page = review_folder / "index.html";
  result.events = static_cast<int>(order.size());
  return replace_text_file(result.page, kReviewPageTemplate, error);
}
