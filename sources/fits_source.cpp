#include "sources/fits_source.h"

#include <erfa.h>
#include <fitsio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <optional>

#include "base/message.h"
#include "formats/frame_times_csv.h"
#include "formats/utc.h"
#include "imaging/file_io.h"
#include "imaging/frame_files.h"
#include "sources/ser.h"
#include "sources/ser_reader.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFitsSignature = "SIMPLE  =";
constexpr std::size_t kFitsSignatureBytes = 9;
// Percentiles of the first frames' floating-point samples mapped to grey 0 and 255.
constexpr double kLowPercentile = 0.1;
constexpr double kHighPercentile = 99.9;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool has_fits_extension(const fs::path& path) {
  const std::string extension = lower(path.extension().string());
  return extension == ".fits" || extension == ".fit" || extension == ".fts";
}

std::string status_text(int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  return text;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

struct FitsCloser {
  void operator()(fitsfile* file) const {
    int status = 0;
    fits_close_file(file, &status);
  }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

// What one file's header says of its image.
struct FitsImage {
  int bitpix = 0;
  int width = 0;
  int height = 0;
  std::int64_t frames = 0;
  double bscale = 1;
  double bzero = 0;
  // The times of the exposure as written, each empty when the header has none: its start
  // (DATE-BEG; DATE-OBS, with TIME-OBS appended when DATE-OBS holds the date only), its middle
  // (DATE-AVG) and its end (DATE-END).
  std::string date_beg;
  std::string date_obs;
  std::string date_avg;
  std::string date_end;
  std::string timesys;       // empty when the header has none
  bool has_exptime = false;  // EXPTIME is there and a number
  double exptime = -1;       // seconds
};

// Integer samples under BSCALE 1 and a whole BZERO keep their integer values; anything else is
// read as real numbers.
bool is_integer(const FitsImage& image) {
  return image.bitpix > 0 && image.bscale == 1 && image.bzero == std::floor(image.bzero);
}

std::string format_text(const FitsImage& image) {
  return "BITPIX " + std::to_string(image.bitpix) + " with BZERO " + number_text(image.bzero) +
         " and BSCALE " + number_text(image.bscale);
}

std::string read_text_key(fitsfile* file, const char* key) {
  char value[FLEN_VALUE] = {};
  int status = 0;
  if (fits_read_key(file, TSTRING, key, value, nullptr, &status) != 0) return "";
  std::string text = value;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

double read_number_key(fitsfile* file, const char* key, double fallback) {
  double value = fallback;
  int status = 0;
  if (fits_read_key(file, TDOUBLE, key, &value, nullptr, &status) != 0) return fallback;
  return value;
}

// Opens `path` (never through cfitsio's extended file names) and reads its image header: the
// primary array, or the first extension when the primary holds none. Checks the size on disk
// against the data the header states before anything is allocated.
bool open_fits_image(const std::string& path, FitsHandle& handle, FitsImage& image,
                     std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = errno_message(path.c_str(), "cannot open");
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  fitsfile* raw = nullptr;
  int status = 0;
  fits_open_diskfile(&raw, path.c_str(), READONLY, &status);
  handle.reset(raw);
  if (status != 0) {
    *error = path + ": not a readable FITS file: " + status_text(status);
    return false;
  }
  int naxis = 0;
  LONGLONG axes[3] = {0, 0, 0};
  fits_get_img_paramll(raw, 3, &image.bitpix, &naxis, axes, &status);
  if (status == 0 && naxis == 0) {
    int type = 0;
    if (fits_movrel_hdu(raw, 1, &type, &status) == 0 && type == IMAGE_HDU) {
      fits_get_img_paramll(raw, 3, &image.bitpix, &naxis, axes, &status);
    } else {
      status = 0;
    }
  }
  if (status != 0) {
    *error = path + ": not a readable FITS image: " + status_text(status);
    return false;
  }
  if (naxis != 2 && naxis != 3) {
    *error = path + ": NAXIS " + std::to_string(naxis) +
             ": a FITS recording holds frames (NAXIS 2) or a cube of them (NAXIS 3)";
    return false;
  }
  const int bitpix = image.bitpix;
  if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != -32 && bitpix != -64) {
    *error = path + ": BITPIX " + std::to_string(bitpix) + " is not one of 8, 16, 32, -32, -64";
    return false;
  }
  if (axes[0] < 1 || axes[0] > kMaxFrameSide || axes[1] < 1 || axes[1] > kMaxFrameSide) {
    *error = path + ": frame size " + std::to_string(axes[0]) + " x " + std::to_string(axes[1]) +
             " is outside 1 to " + std::to_string(kMaxFrameSide);
    return false;
  }
  image.width = static_cast<int>(axes[0]);
  image.height = static_cast<int>(axes[1]);
  image.frames = naxis == 3 ? axes[2] : 1;
  if (image.frames < 1) {
    *error = path + ": holds no frames (NAXIS3 " + std::to_string(image.frames) + ")";
    return false;
  }
  LONGLONG header_start = 0;
  LONGLONG data_start = 0;
  LONGLONG data_end = 0;
  fits_get_hduaddrll(raw, &header_start, &data_start, &data_end, &status);
  if (status != 0) {
    *error = path + ": not a readable FITS image: " + status_text(status);
    return false;
  }
  // The frames' bytes as the header states them: at most 32768^2 * 8 bytes each, so a count
  // beyond what 63 bits hold is caught before the product is taken.
  const auto frame_bytes = static_cast<std::uint64_t>(image.width) *
                           static_cast<std::uint64_t>(image.height) *
                           static_cast<std::uint64_t>(std::abs(bitpix) / 8);
  const auto frames = static_cast<std::uint64_t>(image.frames);
  const auto available =
      static_cast<std::uint64_t>(info.st_size) > static_cast<std::uint64_t>(data_start)
          ? static_cast<std::uint64_t>(info.st_size) - static_cast<std::uint64_t>(data_start)
          : 0;
  if (frames > available / frame_bytes) {
    *error = path + ": truncated: its header gives " + std::to_string(image.frames) +
             (image.frames == 1 ? " frame" : " frames") + " of " + std::to_string(image.width) +
             " x " + std::to_string(image.height) + " at BITPIX " + std::to_string(bitpix) + " (" +
             std::to_string(frame_bytes) + " bytes each), the file holds " +
             std::to_string(available) + " bytes of data";
    return false;
  }
  image.bscale = read_number_key(raw, "BSCALE", 1);
  image.bzero = read_number_key(raw, "BZERO", 0);
  if (image.bscale == 0 || !std::isfinite(image.bscale) || !std::isfinite(image.bzero)) {
    *error = path + ": BSCALE " + number_text(image.bscale) + " and BZERO " +
             number_text(image.bzero) + " give no sample values";
    return false;
  }
  image.date_beg = read_text_key(raw, "DATE-BEG");
  image.date_obs = read_text_key(raw, "DATE-OBS");
  if (!image.date_obs.empty() && image.date_obs.find('T') == std::string::npos) {
    const std::string time = read_text_key(raw, "TIME-OBS");
    if (!time.empty()) image.date_obs += "T" + time;
  }
  image.date_avg = read_text_key(raw, "DATE-AVG");
  image.date_end = read_text_key(raw, "DATE-END");
  image.timesys = read_text_key(raw, "TIMESYS");
  image.exptime = read_number_key(raw, "EXPTIME", std::numeric_limits<double>::quiet_NaN());
  image.has_exptime = !std::isnan(image.exptime);
  return true;
}

bool same_format(const FitsImage& a, const FitsImage& b) {
  return a.bitpix == b.bitpix && a.bscale == b.bscale && a.bzero == b.bzero;
}

// How the samples become grey: integers shifted right by depth - 8 (depth 8: as they are),
// real numbers mapped linearly from [low, high] to [0, 255]; both clipped to 0 to 255.
struct GreyScale {
  bool integer = true;
  int depth = 8;
  double low = 0;
  double high = 255;
};

int bit_length(std::uint64_t value) {
  int bits = 0;
  for (; value != 0; value >>= 1) ++bits;
  return bits;
}

std::uint8_t integer_grey(long long value, int shift) {
  if (value <= 0) return 0;
  const auto shifted = static_cast<unsigned long long>(value) >> shift;
  return static_cast<std::uint8_t>(std::min<unsigned long long>(shifted, 255));
}

std::uint8_t real_grey(double value, double low, double factor) {
  const double level = std::floor((value - low) * factor + 0.5);
  if (!(level > 0)) return 0;  // NaN too
  return level >= 255 ? 255 : static_cast<std::uint8_t>(level);
}

// Where the frames come from: one cube, or one file per frame.
struct FitsFrames {
  std::string path;                // the recording as named by the user
  std::vector<std::string> files;  // one per frame for a folder; the cube alone otherwise
  bool cube = false;
  FitsImage image;  // the first file's header
  std::int64_t count = 0;
  bool timed_by_table = false;  // a cube's frame times from its TIME table
};

class FitsSource final : public FrameSource {
 public:
  FitsSource(FitsFrames frames, FitsHandle cube, GreyScale scale, std::int64_t first,
             std::int64_t count, std::vector<std::int64_t> ticks, std::int64_t limit)
      : frames_(std::move(frames)),
        cube_(std::move(cube)),
        scale_(scale),
        first_(first),
        count_(count),
        ticks_(std::move(ticks)),
        limited_by_count_(limit >= 0 && limit == count) {
    geometry_.image_width = frames_.image.width;
    geometry_.image_height = frames_.image.height;
    geometry_.frame_pixels = frames_.image.width * frames_.image.height;
  }

  // Takes the buffer of one frame's samples; false with `error` when it cannot be had.
  bool allocate(std::string* error) {
    const auto pixels = static_cast<std::size_t>(geometry_.frame_pixels);
    try {
      if (scale_.integer) {
        integers_.resize(pixels);
      } else {
        reals_.resize(pixels);
      }
    } catch (const std::bad_alloc&) {
      *error = frames_.path + ": cannot allocate the samples of one frame of " +
               std::to_string(geometry_.image_width) + " x " +
               std::to_string(geometry_.image_height);
      return false;
    }
    return true;
  }

  FrameGeometry geometry() const override { return geometry_; }
  std::int64_t frame_count() const override { return count_; }

  SampleReading sample_reading() const override {
    SampleReading reading;
    reading.stored = "frames of " + format_text(frames_.image);
    if (scale_.integer) {
      if (frames_.image.bitpix > 8) reading.depth = scale_.depth;
    } else {
      reading.real = true;
      reading.low = scale_.low;
      reading.high = scale_.high;
    }
    return reading;
  }

  // A cube's frame is one of its planes; a folder's frame is a file of its own.
  FrameOrigin frame_origin(std::int64_t frame) const override {
    if (frame < 0 || frame >= count_) return {};
    if (frames_.cube) return {frames_.path, first_ + frame};
    const auto at = static_cast<std::size_t>(first_ + frame);
    if (at >= frames_.files.size()) return {};
    return {frames_.files[at], 0};
  }

  FrameRead read_next(std::span<std::uint8_t> destination) override {
    FrameRead read;
    if (next_ >= count_) {
      read.status = FrameStatus::end;
      read.reason = ends_after();
      return read;
    }
    std::string error;
    if (!read_frame(first_ + next_, destination, &error)) {
      read.status = FrameStatus::failed;
      read.reason = error;
      return read;
    }
    ++next_;
    read.status = FrameStatus::frame;
    read.bytes = destination.size();
    return read;
  }

  bool check_first_frames(int count, std::string* error) override {
    if (count <= count_) return true;
    *error = ends_after();
    return false;
  }

  FrameTime frame_time(std::int64_t frame) const override {
    // A cube's frames after the first are timed by --fps; a folder's each by its own DATE-OBS.
    const char* source = frames_.timed_by_table              ? kTimeFromTable
                         : frames_.cube && frames_.count > 1 ? kTimeFromFps
                                                             : kTimeFromHeader;
    return frame_time_from_ticks(ticks_, frame, source);
  }

  // Reads the samples of recording frame `index` (as stored, bottom row first) into the buffer.
  bool read_samples(std::int64_t index, std::string* error) {
    FitsHandle single;
    fitsfile* file = cube_.get();
    std::string name = frames_.path;
    if (!frames_.cube) {
      name = frames_.files[static_cast<std::size_t>(index)];
      FitsImage image;
      if (!open_fits_image(name, single, image, error)) return false;
      if (image.width != frames_.image.width || image.height != frames_.image.height ||
          image.frames != 1 || !same_format(image, frames_.image)) {
        *error = name + ": changed while being read";
        return false;
      }
      file = single.get();
    }
    LONGLONG first_pixel[3] = {1, 1, frames_.cube ? index + 1 : 1};
    const auto pixels = static_cast<LONGLONG>(geometry_.frame_pixels);
    int status = 0;
    int any_null = 0;
    if (scale_.integer) {
      LONGLONG blank = 0;  // BLANK pixels read as 0
      fits_read_pixll(file, TLONGLONG, first_pixel, pixels, &blank, integers_.data(), &any_null,
                      &status);
    } else {
      fits_read_pixll(file, TDOUBLE, first_pixel, pixels, nullptr, reals_.data(), &any_null,
                      &status);
    }
    if (status != 0) {
      *error = name + ": cannot read frame " + std::to_string(frames_.cube ? index : 0) + ": " +
               status_text(status);
      return false;
    }
    return true;
  }

  // Fixed once, from the first frames, before the run reads any frame.
  void set_scale(const GreyScale& scale) { scale_ = scale; }

  std::span<const long long> integers() const { return integers_; }
  std::span<const double> reals() const { return reals_; }

 private:
  bool read_frame(std::int64_t index, std::span<std::uint8_t> grey, std::string* error) {
    if (!read_samples(index, error)) return false;
    const auto width = static_cast<std::size_t>(geometry_.image_width);
    const int height = geometry_.image_height;
    const int shift = std::max(scale_.depth - 8, 0);
    const double factor = 255.0 / (scale_.high - scale_.low);
    for (int row = 0; row < height; ++row) {
      // Stored row `row` counts from the bottom of the image.
      const std::size_t from = static_cast<std::size_t>(row) * width;
      const std::size_t to = static_cast<std::size_t>(height - 1 - row) * width;
      for (std::size_t x = 0; x < width; ++x) {
        grey[to + x] = scale_.integer ? integer_grey(integers_[from + x], shift)
                                      : real_grey(reals_[from + x], scale_.low, factor);
      }
    }
    return true;
  }

  std::string ends_after() const {
    if (limited_by_count_) {
      return frames_.path + ": --count " + std::to_string(count_) + " reads frames 0 to " +
             std::to_string(count_ - 1);
    }
    return frames_.path + ": holds " + frames_text(count_) +
           (first_ > 0 ? " from frame " + std::to_string(first_) : "");
  }

  FitsFrames frames_;
  FitsHandle cube_;
  GreyScale scale_;
  std::int64_t first_;
  std::int64_t count_;
  std::vector<std::int64_t> ticks_;
  bool limited_by_count_;
  FrameGeometry geometry_;
  std::vector<long long> integers_;
  std::vector<double> reals_;
  std::int64_t next_ = 0;
};

// Settles how the samples become grey from the first frames, as a SER's 16-bit samples are:
// samples whose top 4 bits are never set are scaled by the width they use.
bool settle_scale(FitsSource& source, const FitsFrames& frames, const RecordingOptions& options,
                  GreyScale& scale, std::vector<std::string>& notices, std::string* error) {
  const std::string& path = frames.path;
  const FitsImage& image = frames.image;
  const int survey = static_cast<int>(std::min<std::int64_t>(kSurveyFrames, frames.count));
  const std::string first =
      survey == 1 ? "the first frame" : "the first " + std::to_string(survey) + " frames";
  if (!scale.integer || image.bitpix == 8) {
    if (options.depth != 0) {
      notices.push_back(path + ": holds " +
                        (scale.integer ? std::string("8-bit samples") : "real-number samples") +
                        "; --depth applies to 16- and 32-bit integer samples and is ignored");
    }
  }
  if (scale.integer) {
    if (options.range) {
      notices.push_back(path +
                        ": holds integer samples; --range applies to real-number samples "
                        "and is ignored");
    }
    if (image.bitpix == 8) return true;
    if (options.depth != 0) {
      scale.depth = options.depth;
      return true;
    }
    long long largest = 0;
    for (int f = 0; f < survey; ++f) {
      if (!source.read_samples(f, error)) return false;
      for (const long long value : source.integers()) largest = std::max(largest, value);
    }
    const int bits = bit_length(static_cast<std::uint64_t>(largest));
    scale.depth = image.bitpix;
    if (largest > 0 && bits <= image.bitpix - 4) {
      scale.depth = std::max(8, bits + (bits & 1));
      notices.push_back(path + ": the " + std::to_string(image.bitpix) + "-bit samples use only " +
                        std::to_string(bits) + " bits (largest " + std::to_string(largest) +
                        " in " + first + "); scaling them as " + std::to_string(scale.depth) +
                        "-bit");
    }
    return true;
  }
  if (options.range) {
    scale.low = options.range->first;
    scale.high = options.range->second;
    return true;
  }
  std::vector<double> values;
  for (int f = 0; f < survey; ++f) {
    if (!source.read_samples(f, error)) return false;
    for (const double value : source.reals()) {
      if (std::isfinite(value)) values.push_back(value);
    }
  }
  if (values.empty()) {
    *error = path + ": " + first + " hold no finite sample; --range LO,HI sets the grey scale";
    return false;
  }
  auto percentile = [&values](double p) {
    const auto at = static_cast<std::size_t>(
        std::floor(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
  };
  scale.low = percentile(kLowPercentile);
  scale.high = percentile(kHighPercentile);
  if (!(scale.high > scale.low)) scale.high = scale.low + 1;
  notices.push_back(path + ": real-number samples: " + number_text(scale.low) + " to " +
                    number_text(scale.high) + " (the 0.1 and 99.9 percentiles of " + first +
                    ") become grey 0 to 255 for the whole run; --range LO,HI sets them");
  return true;
}

// The files of a folder of FITS frames, by name.
bool list_folder(const std::string& path, std::vector<std::string>& files, std::string* error) {
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (has_fits_extension(it->path())) files.push_back(it->path().string());
  }
  if (ec) {
    *error = path + ": cannot list: " + ec.message();
    return false;
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    *error = path + ": a folder with no FITS file (*.fits, *.fit, *.fts)";
    return false;
  }
  return true;
}

// A cube's time table: the first binary table extension of `path` with a column TIME, its rows
// the frames' seconds after DATE-OBS. Sets `found` when there is one; `fault` says why it cannot
// be used (rows not one per frame, a null or unreadable time).
void read_time_table(const std::string& path, std::int64_t frames, bool& found,
                     std::vector<double>& seconds, std::string& fault) {
  found = false;
  fitsfile* raw = nullptr;
  int status = 0;
  fits_open_diskfile(&raw, path.c_str(), READONLY, &status);
  if (status != 0) return;
  FitsHandle file(raw);
  int hdus = 0;
  fits_get_num_hdus(raw, &hdus, &status);
  for (int hdu = 2; status == 0 && hdu <= hdus; ++hdu) {
    int type = 0;
    if (fits_movabs_hdu(raw, hdu, &type, &status) != 0) return;
    if (type != BINARY_TBL) continue;
    int column = 0;
    char name[] = "TIME";
    if (fits_get_colnum(raw, CASEINSEN, name, &column, &status) != 0) {
      status = 0;
      continue;
    }
    found = true;
    LONGLONG rows = 0;
    fits_get_num_rowsll(raw, &rows, &status);
    if (status != 0) {
      fault = "its TIME table cannot be read: " + status_text(status);
      return;
    }
    if (rows != frames) {
      fault = "its TIME table has " + std::to_string(rows) + " rows for " + std::to_string(frames) +
              " frames";
      return;
    }
    seconds.assign(static_cast<std::size_t>(rows), 0.0);
    double null_value = std::numeric_limits<double>::quiet_NaN();
    int any_null = 0;
    fits_read_col(raw, TDOUBLE, column, 1, 1, rows, &null_value, seconds.data(), &any_null,
                  &status);
    if (status != 0) {
      fault = "its TIME table cannot be read: " + status_text(status);
      return;
    }
    for (std::size_t i = 0; i < seconds.size(); ++i) {
      if (!std::isfinite(seconds[i]) || std::fabs(seconds[i]) > 1e9) {
        fault = "its TIME table's row " + std::to_string(i + 1) + " is no time";
        return;
      }
    }
    return;
  }
}

// Where in a frame's exposure a header's time lies.
enum class ExposurePart { start, middle, end };

// The header keyword a frame's time is read from: the first there of DATE-BEG and DATE-OBS (the
// start of the exposure), DATE-AVG (its middle) and DATE-END (its end).
struct ExposureKey {
  const char* name = nullptr;  // null when the header has none of them
  const std::string* text = nullptr;
  ExposurePart part = ExposurePart::start;
};

ExposureKey exposure_key(const FitsImage& image) {
  if (!image.date_beg.empty()) return {"DATE-BEG", &image.date_beg, ExposurePart::start};
  if (!image.date_obs.empty()) return {"DATE-OBS", &image.date_obs, ExposurePart::start};
  if (!image.date_avg.empty()) return {"DATE-AVG", &image.date_avg, ExposurePart::middle};
  if (!image.date_end.empty()) return {"DATE-END", &image.date_end, ExposurePart::end};
  return {};
}

// The time scales a header's times are read in.
enum class TimeScale { utc, tt, tai, gps };

constexpr std::int64_t kTicksPerDay = 86400 * kTicksPerSecond;
// GPS time runs a constant 19 s behind TAI.
constexpr std::int64_t kGpsBehindTai = 19 * kTicksPerSecond;

// The scale of TIMESYS `timesys` (empty: UTC). False for a scale the times cannot be read in.
bool time_scale(const std::string& timesys, TimeScale& scale) {
  const std::string name = lower(timesys);
  if (name.empty() || name == "utc" || name == "ut") {
    scale = TimeScale::utc;
  } else if (name == "tt") {
    scale = TimeScale::tt;
  } else if (name == "tai") {
    scale = TimeScale::tai;
  } else if (name == "gps") {
    scale = TimeScale::gps;
  } else {
    return false;
  }
  return true;
}

// `ticks`, a calendar time in `scale` (100-ns ticks since 0001-01-01), as UTC ticks: TT and TAI
// through ERFA's leap-second table, GPS as TAI - 19 s. False when ERFA cannot take the date.
// Whole ticks in give whole ticks out: the scales differ by whole ticks (32.184 s, whole leap
// seconds since 1972), and the two-part Julian dates keep the time to about 10 ps.
bool scale_to_utc(std::int64_t ticks, TimeScale scale, std::int64_t& utc) {
  if (scale == TimeScale::utc) {
    utc = ticks;
    return true;
  }
  if (scale == TimeScale::gps) {
    ticks += kGpsBehindTai;
    scale = TimeScale::tai;
  }
  UtcTime fields;
  if (ticks <= 0 || !parse_utc(utc_text(ticks), fields)) return false;
  const double second = fields.second + fields.nanos * 1e-9;
  double jd1 = 0;
  double jd2 = 0;
  if (eraDtf2d(scale == TimeScale::tt ? "TT" : "TAI", fields.year, fields.month, fields.day,
               fields.hour, fields.minute, second, &jd1, &jd2) != 0) {
    return false;
  }
  if (scale == TimeScale::tt) {
    double tai1 = 0;
    double tai2 = 0;
    if (eraTttai(jd1, jd2, &tai1, &tai2) != 0) return false;
    jd1 = tai1;
    jd2 = tai2;
  }
  double utc1 = 0;
  double utc2 = 0;
  if (eraTaiutc(jd1, jd2, &utc1, &utc2) < 0) return false;
  int year = 0;
  int month = 0;
  int day = 0;
  int hmsf[4] = {};
  if (eraD2dtf("UTC", 7, utc1, utc2, &year, &month, &day, hmsf) < 0) return false;
  // A leap second (second 60) counts as the first second of the next day, as the ticks have none.
  utc = utc_day_ticks(year, month, day) +
        ((static_cast<std::int64_t>(hmsf[0]) * 60 + hmsf[1]) * 60 + hmsf[2]) * kTicksPerSecond +
        hmsf[3];
  return utc > 0 && utc < utc_day_ticks(9999, 12, 31) + kTicksPerDay;
}

// The UTC of the start of the exposure of the frame whose header is `image` (in the file
// `file`): read from exposure_key in the scale of TIMESYS, moved back by EXPTIME from the middle
// or the end. Returns false with `error` for a TIMESYS of another scale. Otherwise sets `start`
// when the header gives it, or leaves it empty with `why`, a notice naming `file` (empty when the
// header has no time at all).
bool exposure_start(const FitsImage& image, const std::string& file,
                    std::optional<std::int64_t>& start, std::string& why, std::string* error) {
  start.reset();
  why.clear();
  const ExposureKey key = exposure_key(image);
  if (key.name == nullptr) return true;
  TimeScale scale = TimeScale::utc;
  if (!time_scale(image.timesys, scale)) {
    *error = file + ": TIMESYS " + image.timesys +
             ": the frame times can be read in UTC, TT, TAI or GPS only";
    return false;
  }
  std::int64_t ticks = 0;
  if (!parse_utc_text(*key.text, ticks)) {
    why = file + ": " + key.name + " \"" + *key.text +
          "\" is not a time such as 2024-03-15T21:04:05.25; reading no frame times";
    return true;
  }
  if (key.part != ExposurePart::start) {
    const char* part = key.part == ExposurePart::middle ? "middle" : "end";
    if (!image.has_exptime) {
      why = file + ": " + key.name + " gives the " + part +
            " of the exposure and there is no EXPTIME to find its start by; reading no frame "
            "times";
      return true;
    }
    if (!std::isfinite(image.exptime) || image.exptime < 0 || image.exptime > 86400) {
      why = file + ": EXPTIME " + number_text(image.exptime) +
            " is no exposure in seconds; reading no frame times";
      return true;
    }
    const double before = key.part == ExposurePart::middle ? image.exptime / 2 : image.exptime;
    ticks -= std::llround(before * static_cast<double>(kTicksPerSecond));
  }
  std::int64_t utc = 0;
  if (!scale_to_utc(ticks, scale, utc)) {
    why = file + ": " + key.name + " " + *key.text + " in " + image.timesys +
          " cannot be taken to UTC; reading no frame times";
    return true;
  }
  start = utc;
  return true;
}

// The UTC of the start of the exposure of frames first to first + count - 1: a folder's each
// from its own header, a cube's from its header's plus its TIME table or `fps`. Left empty, with
// a notice, when the times cannot be used. False with `error` for a TIMESYS of another scale.
bool frame_ticks(FitsFrames& frames, const std::vector<FitsImage>& heads,
                 const RecordingOptions& options, std::int64_t first, std::int64_t count,
                 std::vector<std::int64_t>& ticks, std::vector<std::string>& notices,
                 std::string* error) {
  const std::string& path = frames.path;
  ticks.clear();
  const FitsImage& head = frames.image;
  const ExposureKey key = exposure_key(head);
  if (key.name == nullptr) {
    if (frames.cube && options.fps > 0) {
      notices.push_back(path +
                        ": no DATE-OBS, DATE-BEG, DATE-AVG or DATE-END; --fps is ignored and "
                        "frames have no times");
    }
    return true;
  }
  std::optional<std::int64_t> start;
  std::string why;
  if (frames.cube) {
    if (key.part != ExposurePart::start && frames.count > 1) {
      // For a cube these give the middle or the end of the whole cube's time, not a frame's.
      TimeScale scale = TimeScale::utc;
      if (!time_scale(head.timesys, scale)) return exposure_start(head, path, start, why, error);
      notices.push_back(path + ": a cube of " + std::to_string(frames.count) + " frames timed by " +
                        key.name + ", which gives the " +
                        (key.part == ExposurePart::middle ? "middle" : "end") +
                        " of the whole cube; DATE-BEG or DATE-OBS gives its start; reading no "
                        "frame times");
      return true;
    }
    if (!exposure_start(head, path, start, why, error)) return false;
    if (!start) {
      notices.push_back(why);
      return true;
    }
    bool table = false;
    std::vector<double> seconds;
    std::string fault;
    read_time_table(path, frames.count, table, seconds, fault);
    if (table) {
      if (!fault.empty()) {
        notices.push_back(path + ": " + fault + "; reading no frame times");
        return true;
      }
      if (options.fps > 0) {
        notices.push_back(path + ": the frame times come from its TIME table; --fps is ignored");
      }
      for (std::int64_t f = first; f < first + count; ++f) {
        ticks.push_back(*start + std::llround(seconds[static_cast<std::size_t>(f)] *
                                              static_cast<double>(kTicksPerSecond)));
      }
      frames.timed_by_table = true;
    } else if (frames.count > 1 && options.fps <= 0) {
      notices.push_back(path + ": a cube of " + std::to_string(frames.count) + " frames with one " +
                        key.name + "; --fps F gives the frames' times; reading no frame times");
      return true;
    } else {
      const double period =
          options.fps > 0 ? static_cast<double>(kTicksPerSecond) / options.fps : 0;
      for (std::int64_t f = first; f < first + count; ++f) {
        ticks.push_back(*start + std::llround(static_cast<double>(f) * period));
      }
    }
  } else {
    for (std::size_t i = 0; i < heads.size(); ++i) {
      if (!exposure_start(heads[i], frames.files[i], start, why, error)) return false;
      if (!start) {
        if (why.empty()) {
          why = frames.files[i] + ": no DATE-OBS, DATE-BEG, DATE-AVG or DATE-END; reading no " +
                "frame times";
        }
        notices.push_back(why);
        ticks.clear();
        return true;
      }
      ticks.push_back(*start);
    }
  }
  if (head.timesys.empty()) {
    notices.push_back(path + ": no TIMESYS; " + key.name + " taken as UTC");
  }
  SerTimesCheck check;
  check_ser_times(ticks, check);
  if (!check.fault.empty()) {
    notices.push_back(path + ": the frame times are not used: " + check.fault);
    ticks.clear();
    return true;
  }
  if (!frames.cube) {
    ticks = std::vector<std::int64_t>(ticks.begin() + first, ticks.begin() + first + count);
  }
  return true;
}

}  // namespace

bool is_fits_recording(const std::string& path, bool& is_fits, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    is_fits = true;
    return true;
  }
  FileHandle file = open_file(path.c_str(), "rb", error);
  if (!file) return false;
  char head[kFitsSignatureBytes] = {};
  const std::size_t got =
      read_bytes(file.get(), {reinterpret_cast<std::uint8_t*>(head), kFitsSignatureBytes});
  is_fits = (got == kFitsSignatureBytes && std::memcmp(head, kFitsSignature, got) == 0) ||
            has_fits_extension(path);
  return true;
}

std::unique_ptr<FrameSource> open_fits_source(const std::string& path,
                                              const RecordingOptions& options,
                                              std::vector<std::string>& notices,
                                              std::string* error) {
  if (options.start_utc) {
    *error = "--start-utc: " + path + " is a FITS recording, whose frame times come from DATE-OBS";
    return nullptr;
  }
  FitsFrames frames;
  frames.path = path;
  std::error_code ec;
  frames.cube = !fs::is_directory(path, ec);
  FitsHandle cube;
  std::vector<FitsImage> heads;
  if (frames.cube) {
    if (!open_fits_image(path, cube, frames.image, error)) return nullptr;
    frames.files = {path};
    frames.count = frames.image.frames;
  } else {
    if (!list_folder(path, frames.files, error)) return nullptr;
    // Every file is looked at first: one of another size or cut short stops the run before it
    // starts, and each frame's time is known from the start.
    for (const std::string& file : frames.files) {
      FitsHandle handle;
      FitsImage image;
      if (!open_fits_image(file, handle, image, error)) return nullptr;
      if (heads.empty()) frames.image = image;
      const FitsImage& head = frames.image;
      if (image.frames != 1) {
        *error = file + ": a cube of " + std::to_string(image.frames) +
                 " frames; a folder of FITS frames holds one frame per file";
        return nullptr;
      }
      if (image.width != head.width || image.height != head.height) {
        *error = file + ": frame size " + std::to_string(image.width) + " x " +
                 std::to_string(image.height) + ", not the " + std::to_string(head.width) + " x " +
                 std::to_string(head.height) + " of " + frames.files.front();
        return nullptr;
      }
      if (!same_format(image, head)) {
        *error = file + ": " + format_text(image) + ", not the " + format_text(head) + " of " +
                 frames.files.front();
        return nullptr;
      }
      heads.push_back(std::move(image));
    }
    frames.count = static_cast<std::int64_t>(frames.files.size());
  }
  if (options.byte_order != ByteOrder::from_header) {
    notices.push_back(path +
                      ": a FITS recording; --byte-order applies to SER recordings and is "
                      "ignored");
  }
  if (options.first >= frames.count) {
    *error = "--first " + std::to_string(options.first) + ": " + path + " has only " +
             frames_text(frames.count);
    return nullptr;
  }
  const std::int64_t rest = frames.count - options.first;
  const std::int64_t count = options.count < 0 ? rest : std::min(options.count, rest);
  std::vector<std::int64_t> ticks;
  if (!frame_ticks(frames, heads, options, options.first, count, ticks, notices, error)) {
    return nullptr;
  }
  GreyScale scale;
  scale.integer = is_integer(frames.image);
  auto source = std::make_unique<FitsSource>(frames, std::move(cube), scale, options.first, count,
                                             std::move(ticks), options.count);
  if (!source->allocate(error)) return nullptr;
  if (!settle_scale(*source, frames, options, scale, notices, error)) return nullptr;
  source->set_scale(scale);
  return source;
}
