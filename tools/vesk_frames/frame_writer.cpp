#include "tools/vesk_frames/frame_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "imaging/file_io.h"
#include "imaging/frame_files.h"

namespace fs = std::filesystem;

namespace {

std::string reason(const std::error_code& ec) {
  return ec.message();
}

// Writes the pieces in order to `path`.part, closes it and renames it to `path`.
bool write_whole_file(const fs::path& path, std::span<const std::span<const std::uint8_t>> pieces,
                      std::string& error) {
  const std::string final_name = path.string();
  const std::string part_name = final_name + ".part";
  FileHandle file = open_file(part_name.c_str(), "wb", error);
  if (!file) return false;
  bool ok = true;
  for (const auto piece : pieces) {
    if (ok) ok = write_bytes(file.get(), piece, part_name.c_str(), error);
  }
  if (!close_file(file, part_name.c_str(), error)) ok = false;
  if (ok) {
    errno = 0;
    if (std::rename(part_name.c_str(), final_name.c_str()) != 0) {
      error = errno_message(final_name.c_str(), "cannot rename the finished file");
      ok = false;
    }
  }
  if (!ok) std::remove(part_name.c_str());
  return ok;
}

bool make_folder(const fs::path& folder, std::string& error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    error = folder.string() + ": cannot create folder" + (ec ? ": " + reason(ec) : "");
    return false;
  }
  return true;
}

// True for names of the form a00000.bmp, the names VESK reads.
bool is_frame_name(const std::string& name) {
  if (name.size() != 10 || name[0] != 'a' || name.compare(6, 4, ".bmp") != 0) return false;
  for (int i = 1; i < 6; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

}  // namespace

void make_frame_header(std::span<std::uint8_t> header, int width, int height) {
  const std::int32_t pixels = width * height;  // at most 2^30 for sides up to 32768
  std::fill(header.begin(), header.begin() + kRawFrameHeaderBytes, std::uint8_t{0});
  header[0] = 'B';
  header[1] = 'M';
  put_le32(header, 2, kRawFrameHeaderBytes + pixels);  // bfSize
  put_le32(header, 10, kRawFrameHeaderBytes);          // bfOffBits: no colour table
  put_le32(header, 14, 40);                            // biSize
  put_le32(header, 18, width);
  put_le32(header, 22, height);  // positive: a viewer shows stored row 0 at the bottom
  header[26] = 1;                // biPlanes
  header[28] = 8;                // biBitCount
  put_le32(header, 34, pixels);  // biSizeImage; compression, resolution, colours stay 0
}

bool find_data_folder(std::span<const fs::path> candidates, fs::path& found, std::string& error) {
  std::string searched;
  for (const fs::path& folder : candidates) {
    bool complete = true;
    for (const char* name : kRunDataFiles) {
      std::error_code ec;
      if (!fs::is_regular_file(folder / name, ec)) complete = false;
    }
    if (complete) {
      found = folder;
      return true;
    }
    searched += (searched.empty() ? "" : ", ") + folder.string();
  }
  error = "cannot find bmpheader.dat, about.txt and default.txt (looked in " +
          (searched.empty() ? std::string("no folder") : searched) +
          "); install vesk or run vesk-frames from its build folder";
  return false;
}

bool check_run_folder(const fs::path& outdir, std::string& error) {
  std::error_code ec;
  const fs::file_status status = fs::status(outdir, ec);
  if (!fs::exists(status)) return true;
  if (!fs::is_directory(status)) {
    error = outdir.string() + ": not a folder";
    return false;
  }
  const fs::path raw = outdir / "BMP_RAW";
  if (!fs::is_directory(raw, ec)) return true;
  for (fs::directory_iterator it(raw, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (is_frame_name(name)) {
      error = raw.string() + ": already holds frames (" + name +
              "); remove them or choose another folder";
      return false;
    }
  }
  if (ec) {
    error = raw.string() + ": cannot list: " + reason(ec);
    return false;
  }
  return true;
}

bool make_run_folder_at(const fs::path& outdir, const fs::path& data_folder, std::string& error) {
  if (!make_folder(outdir / "BMP_RAW", error) || !make_folder(outdir / "BMP_FLASHES", error)) {
    return false;
  }
  // Data files already there may be the user's own (an edited about.txt or default.txt): kept.
  for (const char* name : kRunDataFiles) {
    std::error_code ec;
    fs::copy_file(data_folder / name, outdir / name, fs::copy_options::skip_existing, ec);
    if (ec) {
      error = (outdir / name).string() + ": cannot copy from " + data_folder.string() + ": " +
              reason(ec);
      return false;
    }
  }
  std::error_code ec;
  if (!fs::exists(outdir / "settings.txt", ec)) {
    fs::copy_file(data_folder / "default.txt", outdir / "settings.txt", ec);
    if (ec) {
      error = (outdir / "settings.txt").string() + ": cannot copy default.txt: " + reason(ec);
      return false;
    }
  }
  return true;
}

bool write_frame_file(const fs::path& raw_folder, int number, int width, int height,
                      std::span<const std::uint8_t> grey, std::string& error) {
  std::uint8_t header[kRawFrameHeaderBytes];
  make_frame_header(header, width, height);
  const std::span<const std::uint8_t> pieces[] = {
      header, grey.first(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
  return write_whole_file(raw_folder / numbered_file_name("a%5d.bmp", number), pieces, error);
}

bool write_text_file(const fs::path& path, const std::string& text, std::string& error) {
  const std::span<const std::uint8_t> pieces[] = {
      {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
  return write_whole_file(path, pieces, error);
}
