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

#include "imaging/file_io.h"
#include "imaging/png_file.h"
#include "review/event_images.h"

// The page template (review/page_template.html), built into the program by CMake.
extern const char kReviewPageTemplate[];

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxLineBytes = 4096;
constexpr std::size_t kMaxEvents = 100000;
constexpr int kMaxEventNumber = 9999999;
constexpr std::int64_t kMaxFrame = std::int64_t{1} << 40;
constexpr int kMaxDuration = 1000000;
constexpr double kMaxPosition = 1e6;
constexpr std::string_view kDataMarker = "@@VESK_DATA@@";

constexpr std::string_view kFlashesHeader =
    "event,frame,frames,utc,seconds,x,y,peak,flux,flux_err,snr,m_inst,saturated,motion,fields,"
    "class,report";
// A recording of several files adds each event's file and its frame number there at the end.
constexpr std::string_view kOriginHeader = ",file,file_frame";
constexpr std::string_view kLightCurvesHeader = "event,frame,offset,flux,flux_err,peak";
constexpr std::string_view kDecisionsHeader = "event,frame,utc,decision";

// ---- reading ----------------------------------------------------------------------------------

// Reads all of the regular file `path`, at most kMaxFileBytes.
bool read_whole_file(const fs::path& path, std::string& text, std::string& error) {
  const std::string name = path.string();
  FileHandle file = open_text_to_read("", name.c_str(), error);
  if (!file) return false;
  text.clear();
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    if (got == 0) break;
    if (text.size() + got > kMaxFileBytes) {
      error = name + ": larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
      return false;
    }
    text.append(buffer, got);
  }
  if (std::ferror(file.get()) != 0) {
    error = errno_message(name.c_str(), "read failed");
    return false;
  }
  return true;
}

// A cell quoted for a message: at most 40 bytes, anything unprintable shown as '?'.
std::string cell_text(std::string_view cell) {
  std::string out = "'";
  for (std::size_t i = 0; i < cell.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(cell[i]);
    out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  }
  if (cell.size() > 40) out += "...";
  return out + "'";
}

// Walks the lines of a CSV text and splits them into cells; says where a problem is.
class CsvLines {
 public:
  CsvLines(const fs::path& path, std::string_view text) : name_(path.string()), text_(text) {}

  // The next line's cells; false at the end of the text or on a bad line (`error` set then).
  bool next(std::vector<std::string_view>& cells, std::string& error) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view line = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_number_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineBytes) {
      error = where() + "longer than " + std::to_string(kMaxLineBytes) + " bytes";
      return false;
    }
    if (line.empty()) {
      error = where() + "empty line";
      return false;
    }
    cells.clear();
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = line.find(',', start);
      if (comma == std::string_view::npos) {
        cells.push_back(line.substr(start));
        break;
      }
      cells.push_back(line.substr(start, comma - start));
      start = comma + 1;
    }
    return true;
  }
  std::string where() const { return name_ + ":" + std::to_string(line_number_) + ": "; }
  int line_number() const { return line_number_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::string_view text_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
};

// Reads the header line: it must be `header` exactly.
bool check_header(CsvLines& lines, std::string_view header, std::string& error,
                  bool* with_origin = nullptr) {
  std::vector<std::string_view> cells;
  std::string line_error;
  if (!lines.next(cells, line_error)) {
    error = line_error.empty()
                ? lines.name() + ": empty file; the first line must be " + std::string(header)
                : line_error;
    return false;
  }
  std::string joined;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) joined += ',';
    joined += cells[i];
  }
  if (with_origin != nullptr) {
    *with_origin = joined == std::string(header) + std::string(kOriginHeader);
    if (*with_origin) return true;
  }
  if (joined != header) {
    error = lines.where() + "header is " + cell_text(joined) + ", not " + std::string(header);
    return false;
  }
  return true;
}

bool check_cell_count(const CsvLines& lines, const std::vector<std::string_view>& cells,
                      std::string_view header, std::string& error, bool with_origin = false) {
  const std::size_t want = static_cast<std::size_t>(std::count(header.begin(), header.end(), ',')) +
                           1 + (with_origin ? 2 : 0);
  if (cells.size() != want) {
    error = lines.where() + std::to_string(cells.size()) + " cells, " + std::to_string(want) +
            " expected (" + std::string(header) + ")";
    return false;
  }
  return true;
}

// Parses a whole cell as an integer in [lo, hi].
bool parse_integer(const CsvLines& lines, std::string_view column, std::string_view cell,
                   std::int64_t lo, std::int64_t hi, std::int64_t& value, std::string& error) {
  const char* first = cell.data();
  const char* last = cell.data() + cell.size();
  const auto [end, ec] = std::from_chars(first, last, value);
  if (cell.empty() || ec != std::errc() || end != last) {
    error = lines.where() + "column " + std::string(column) + ": " + cell_text(cell) +
            " is not a whole number";
    return false;
  }
  if (value < lo || value > hi) {
    error = lines.where() + "column " + std::string(column) + ": " + std::string(cell) +
            " is outside " + std::to_string(lo) + " to " + std::to_string(hi);
    return false;
  }
  return true;
}

bool parse_int(const CsvLines& lines, std::string_view column, std::string_view cell, int lo,
               int hi, int& value, std::string& error) {
  std::int64_t wide = 0;
  if (!parse_integer(lines, column, cell, lo, hi, wide, error)) return false;
  value = static_cast<int>(wide);
  return true;
}

// Parses a whole cell as a finite decimal number (no sign '+', no "inf" or "nan").
bool parse_number(const CsvLines& lines, std::string_view column, std::string_view cell,
                  double& value, std::string& error) {
  const char* first = cell.data();
  const char* last = cell.data() + cell.size();
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (cell.empty() || ec != std::errc() || end != last || !std::isfinite(value)) {
    error = lines.where() + "column " + std::string(column) + ": " + cell_text(cell) +
            " is not a number";
    return false;
  }
  return true;
}

bool parse_optional_number(const CsvLines& lines, std::string_view column, std::string_view cell,
                           std::optional<double>& value, std::string& error) {
  value.reset();
  if (cell.empty()) return true;
  double v = 0.0;
  if (!parse_number(lines, column, cell, v, error)) return false;
  value = v;
  return true;
}

bool parse_position(const CsvLines& lines, std::string_view column, std::string_view cell,
                    double& value, std::string& error) {
  if (!parse_number(lines, column, cell, value, error)) return false;
  if (std::fabs(value) > kMaxPosition) {
    error = lines.where() + "column " + std::string(column) + ": " + std::string(cell) +
            " is beyond 1000000 pixels";
    return false;
  }
  return true;
}

// An ISO 8601 time as the catalogue writes it: digits and "-:.TZ+", at most 40 bytes; or empty.
bool parse_utc(const CsvLines& lines, std::string_view cell, std::string& value,
               std::string& error) {
  const bool ok = cell.size() <= 40 && std::all_of(cell.begin(), cell.end(), [](char c) {
                    return (c >= '0' && c <= '9') || c == '-' || c == ':' || c == '.' || c == 'T' ||
                           c == 'Z' || c == '+';
                  });
  if (!ok) {
    error = lines.where() + "column utc: " + cell_text(cell) + " is not an ISO 8601 time";
    return false;
  }
  value = std::string(cell);
  return true;
}

bool one_of(std::string_view cell, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), cell) != words.end();
}

// A report image path relative to the run folder: letters, digits, "_.-/", no ".." part, no
// leading '/', at most 200 bytes; or empty.
bool parse_report(const CsvLines& lines, std::string_view cell, std::string& value,
                  std::string& error) {
  bool ok = cell.size() <= 200 && (cell.empty() || cell.front() != '/') &&
            std::all_of(cell.begin(), cell.end(), [](char c) {
              return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                     c == '_' || c == '.' || c == '-' || c == '/';
            });
  if (ok) {
    for (const auto& part : fs::path(std::string(cell))) {
      if (part == "..") ok = false;
    }
  }
  if (!ok) {
    error = lines.where() + "column report: " + cell_text(cell) +
            " is not a path inside the run folder";
    return false;
  }
  value = std::string(cell);
  return true;
}

bool parse_flash_line(const CsvLines& lines, const std::vector<std::string_view>& c, ReviewEvent& e,
                      std::string& error, bool with_origin) {
  if (!check_cell_count(lines, c, kFlashesHeader, error, with_origin)) return false;
  if (!parse_int(lines, "event", c[0], 1, kMaxEventNumber, e.event, error) ||
      !parse_integer(lines, "frame", c[1], 0, kMaxFrame, e.frame, error) ||
      !parse_int(lines, "frames", c[2], 1, kMaxDuration, e.frames, error) ||
      !parse_utc(lines, c[3], e.utc, error) ||
      !parse_optional_number(lines, "seconds", c[4], e.seconds, error) ||
      !parse_position(lines, "x", c[5], e.x, error) ||
      !parse_position(lines, "y", c[6], e.y, error) ||
      !parse_number(lines, "peak", c[7], e.peak, error) ||
      !parse_number(lines, "flux", c[8], e.flux, error) ||
      !parse_number(lines, "flux_err", c[9], e.flux_err, error) ||
      !parse_number(lines, "snr", c[10], e.snr, error) ||
      !parse_optional_number(lines, "m_inst", c[11], e.m_inst, error)) {
    return false;
  }
  if (c[12] != "0" && c[12] != "1") {
    error = lines.where() + "column saturated: " + cell_text(c[12]) + " is not 0 or 1";
    return false;
  }
  e.saturated = c[12] == "1";
  if (!parse_number(lines, "motion", c[13], e.motion, error)) return false;
  if (!one_of(c[14], {"", "both", "odd", "even"})) {
    error =
        lines.where() + "column fields: " + cell_text(c[14]) + " is not both, odd, even or empty";
    return false;
  }
  e.fields = std::string(c[14]);
  if (!one_of(c[15], {"flash", "moving", "edge"})) {
    error = lines.where() + "column class: " + cell_text(c[15]) + " is not flash, moving or edge";
    return false;
  }
  e.event_class = std::string(c[15]);
  return parse_report(lines, c[16], e.report, error);
}

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

const char* decision_word(Decision d) {
  switch (d) {
    case Decision::accepted:
      return "accepted";
    case Decision::rejected:
      return "rejected";
    case Decision::undecided:
      break;
  }
  return "undecided";
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
  FileHandle file = open_file(path.string().c_str(), "rb", ignored);
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

std::string utc_now() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// The event's key in the browser's store: its first frame and position, as the page forms it.
std::string event_key(const ReviewEvent& e) {
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
  if (!read_png_file(file, 4096, image, ignored) || image.channels != 1 ||
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
EventPictures find_pictures(const fs::path& review_folder, const ReviewEvent& e,
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

void append_picture(std::string& out, const char* name, const ReviewEvent& e, EventImage kind,
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

void append_event_json(std::string& out, const ReviewEvent& e, const EventPictures& pictures,
                       const std::vector<const LightCurvePoint*>& curve, Decision decision) {
  out += "{\"event\":" + std::to_string(e.event) + ",\"frame\":" + std::to_string(e.frame) +
         ",\"frames\":" + std::to_string(e.frames) + ",\"utc\":";
  append_json_string(out, e.utc);
  out += ",\"seconds\":";
  append_json_optional(out, e.seconds);
  const std::pair<const char*, double> numbers[] = {{"x", e.x},
                                                    {"y", e.y},
                                                    {"peak", e.peak},
                                                    {"flux", e.flux},
                                                    {"flux_err", e.flux_err},
                                                    {"snr", e.snr},
                                                    {"motion", e.motion}};
  for (const auto& [name, value] : numbers) {
    out += ",\"";
    out += name;
    out += "\":";
    append_json_number(out, value);
  }
  out += ",\"m_inst\":";
  append_json_optional(out, e.m_inst);
  out += e.saturated ? ",\"saturated\":true" : ",\"saturated\":false";
  out += ",\"fields\":";
  append_json_string(out, e.fields);
  out += ",\"class\":";
  append_json_string(out, e.event_class);
  out += ",\"report\":";
  append_json_string(out, e.report);
  out += ",\"key\":";
  append_json_string(out, event_key(e));
  out += ",\"decision\":\"";
  out += decision_word(decision);
  out += "\",";
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
  out += "]}";
}

}  // namespace

namespace {

bool parse_flashes_text(const fs::path& path, std::string_view text, std::vector<ReviewEvent>& out,
                        std::string& error) {
  CsvLines lines(path, text);
  bool with_origin = false;
  if (!check_header(lines, kFlashesHeader, error, &with_origin)) return false;
  std::set<int> seen;
  std::vector<std::string_view> cells;
  out.clear();
  std::string line_error;
  while (lines.next(cells, line_error)) {
    if (out.size() == kMaxEvents) {
      error = lines.where() + "more than " + std::to_string(kMaxEvents) + " events";
      return false;
    }
    ReviewEvent e;
    if (!parse_flash_line(lines, cells, e, error, with_origin)) return false;
    if (!seen.insert(e.event).second) {
      error = lines.where() + "event " + std::to_string(e.event) + " appears twice";
      return false;
    }
    out.push_back(std::move(e));
  }
  if (!line_error.empty()) {
    error = line_error;
    return false;
  }
  return true;
}

}  // namespace

bool read_flashes_csv(const fs::path& path, std::vector<ReviewEvent>& out, std::string& error) {
  std::string text;
  return read_whole_file(path, text, error) && parse_flashes_text(path, text, out, error);
}

bool read_lightcurves_csv(const fs::path& path, const std::vector<ReviewEvent>& events,
                          std::vector<LightCurvePoint>& out, std::string& error) {
  std::string text;
  if (!read_whole_file(path, text, error)) return false;
  CsvLines lines(path, text);
  if (!check_header(lines, kLightCurvesHeader, error)) return false;
  std::set<int> known;
  for (const auto& e : events) known.insert(e.event);
  std::set<std::pair<int, int>> seen;
  std::vector<std::string_view> cells;
  out.clear();
  std::string line_error;
  while (lines.next(cells, line_error)) {
    if (!check_cell_count(lines, cells, kLightCurvesHeader, error)) return false;
    LightCurvePoint p;
    if (!parse_int(lines, "event", cells[0], 1, kMaxEventNumber, p.event, error)) return false;
    if (!cells[1].empty()) {
      std::int64_t frame = 0;
      if (!parse_integer(lines, "frame", cells[1], -kMaxFrame, kMaxFrame, frame, error)) {
        return false;
      }
      p.frame = frame;
    }
    if (!parse_int(lines, "offset", cells[2], kFirstOffset, kLastOffset, p.offset, error) ||
        !parse_optional_number(lines, "flux", cells[3], p.flux, error) ||
        !parse_optional_number(lines, "flux_err", cells[4], p.flux_err, error) ||
        !parse_optional_number(lines, "peak", cells[5], p.peak, error)) {
      return false;
    }
    if (known.count(p.event) == 0) {
      error = lines.where() + "event " + std::to_string(p.event) + " is not in flashes.csv";
      return false;
    }
    if (!seen.insert({p.event, p.offset}).second) {
      error = lines.where() + "event " + std::to_string(p.event) + " offset " +
              std::to_string(p.offset) + " appears twice";
      return false;
    }
    out.push_back(p);
  }
  if (!line_error.empty()) {
    error = line_error;
    return false;
  }
  return true;
}

bool read_decisions_csv(const fs::path& path, std::vector<DecisionLine>& out, std::string& error) {
  std::string text;
  if (!read_whole_file(path, text, error)) return false;
  CsvLines lines(path, text);
  if (!check_header(lines, kDecisionsHeader, error)) return false;
  std::set<int> seen;
  std::vector<std::string_view> cells;
  std::string utc;
  out.clear();
  std::string line_error;
  while (lines.next(cells, line_error)) {
    if (out.size() == kMaxEvents) {
      error = lines.where() + "more than " + std::to_string(kMaxEvents) + " decisions";
      return false;
    }
    if (!check_cell_count(lines, cells, kDecisionsHeader, error)) return false;
    DecisionLine d;
    d.line = lines.line_number();
    if (!parse_int(lines, "event", cells[0], 1, kMaxEventNumber, d.event, error) ||
        !parse_integer(lines, "frame", cells[1], 0, kMaxFrame, d.frame, error) ||
        !parse_utc(lines, cells[2], utc, error)) {
      return false;
    }
    if (cells[3] == "accepted") {
      d.decision = Decision::accepted;
    } else if (cells[3] == "rejected") {
      d.decision = Decision::rejected;
    } else if (cells[3] == "undecided") {
      d.decision = Decision::undecided;
    } else {
      error = lines.where() + "column decision: " + cell_text(cells[3]) +
              " is not accepted, rejected or undecided";
      return false;
    }
    if (!seen.insert(d.event).second) {
      error = lines.where() + "event " + std::to_string(d.event) + " appears twice";
      return false;
    }
    out.push_back(d);
  }
  if (!line_error.empty()) {
    error = line_error;
    return false;
  }
  return true;
}

bool write_review_page(const fs::path& run_folder, ReviewPageResult& result, std::string& error) {
  result = ReviewPageResult{};
  const fs::path flashes_path = run_folder / "flashes.csv";
  std::string flashes_bytes;
  std::vector<ReviewEvent> events;
  if (!read_whole_file(flashes_path, flashes_bytes, error) ||
      !parse_flashes_text(flashes_path, flashes_bytes, events, error)) {
    return false;
  }

  std::vector<LightCurvePoint> points;
  const fs::path curves_path = run_folder / "lightcurves.csv";
  std::error_code ec;
  if (fs::exists(curves_path, ec)) {
    if (!read_lightcurves_csv(curves_path, events, points, error)) return false;
  } else {
    result.notices.push_back(curves_path.string() + ": not found; the cards show no light curve");
  }

  std::map<int, Decision> decisions;
  const fs::path decisions_path = run_folder / "decisions.csv";
  if (fs::exists(decisions_path, ec)) {
    std::vector<DecisionLine> lines;
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
    error = review_folder.string() + ": cannot create folder" + (ec ? ": " + ec.message() : "");
    return false;
  }

  // Cards in time order: by first frame, then by event number.
  std::vector<const ReviewEvent*> order;
  for (const auto& e : events) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return a->frame != b->frame ? a->frame < b->frame : a->event < b->event;
  });
  std::map<int, std::vector<const LightCurvePoint*>> curves;
  for (const auto& p : points) curves[p.event].push_back(&p);
  for (auto& [event, curve] : curves) {
    std::sort(curve.begin(), curve.end(),
              [](const auto* a, const auto* b) { return a->offset < b->offset; });
  }

  std::vector<std::string> picture_notices;
  int missing = 0;
  std::string events_json;
  bool any_interlaced = false;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const ReviewEvent& e = *order[i];
    const EventPictures pictures = find_pictures(review_folder, e, picture_notices, missing);
    any_interlaced = any_interlaced || pictures.strip_interlaced;
    const auto decision = decisions.find(e.event);
    if (i > 0) events_json += ",\n";
    append_event_json(events_json, e, pictures, curves[e.event],
                      decision == decisions.end() ? Decision::undecided : decision->second);
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
  append_json_string(data, utc_now());
  data += any_interlaced ? ",\"interlaced\":true" : ",\"interlaced\":false";
  data += "},\n\"events\":[\n" + events_json + "]}";

  const std::string_view page_template = kReviewPageTemplate;
  const std::size_t marker = page_template.find(kDataMarker);
  if (marker == std::string_view::npos) {
    error = "review page template has no data marker";
    return false;
  }
  std::string page;
  page.reserve(page_template.size() + data.size());
  page.append(page_template.substr(0, marker));
  page.append(data);
  page.append(page_template.substr(marker + kDataMarker.size()));

  result.page = review_folder / "index.html";
  result.events = static_cast<int>(order.size());
  return replace_text_file(result.page, page, error);
}
