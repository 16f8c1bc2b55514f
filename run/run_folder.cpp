#include "run/run_folder.h"

#include <algorithm>
#include <array>
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

bool make_folder(const fs::path& folder, std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder)) {
    *error = folder.string() + ": cannot create folder" + (ec ? ": " + reason(ec) : "");
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

bool find_data_folder(std::span<const fs::path> candidates, fs::path& found, std::string* error) {
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
  *error = "cannot find bmpheader.dat, about.txt and default.txt (looked in " +
           (searched.empty() ? std::string("no folder") : searched) +
           "); install vesk or run the program from its build folder";
  return false;
}

bool check_run_folder(const fs::path& outdir, std::string* error) {
  std::error_code ec;
  const fs::file_status status = fs::status(outdir, ec);
  if (!fs::exists(status)) return true;
  if (!fs::is_directory(status)) {
    *error = outdir.string() + ": not a folder";
    return false;
  }
  const fs::path raw = outdir / "BMP_RAW";
  if (!fs::is_directory(raw, ec)) return true;
  for (fs::directory_iterator it(raw, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (is_frame_name(name)) {
      *error = raw.string() + ": already holds frames (" + name +
               "); remove them or choose another folder";
      return false;
    }
  }
  if (ec) {
    *error = raw.string() + ": cannot list: " + reason(ec);
    return false;
  }
  return true;
}

namespace {

// Copies `from` to `to` unless `to` is there (then kept: it may be the user's own). A copy cut
// short by a signal (EINTR) is made again over the part it left, which only it wrote, so that a
// half file is never kept as if it were the user's.
void copy_unless_there(const fs::path& from, const fs::path& to, std::error_code& ec) {
  fs::copy_file(from, to, ec);
  if (ec == std::errc::file_exists) {
    ec.clear();
    return;
  }
  for (int tries = 0; ec == std::errc::interrupted && tries < 10; ++tries) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  }
}

}  // namespace

bool lay_out_run_folder(const fs::path& outdir, const fs::path& data_folder, RawFrames raw,
                        std::string* error) {
  if ((raw == RawFrames::folder && !make_folder(outdir / "BMP_RAW", error)) ||
      !make_folder(outdir / "BMP_FLASHES", error)) {
    return false;
  }
  // Data files already there may be the user's own (an edited about.txt or default.txt): kept.
  for (const char* name : kRunDataFiles) {
    std::error_code ec;
    copy_unless_there(data_folder / name, outdir / name, ec);
    if (ec) {
      *error = (outdir / name).string() + ": cannot copy from " + data_folder.string() + ": " +
               reason(ec);
      return false;
    }
  }
  std::error_code ec;
  if (!fs::exists(outdir / "settings.txt", ec)) {
    fs::copy_file(data_folder / "default.txt", outdir / "settings.txt", ec);
    if (ec) {
      *error = (outdir / "settings.txt").string() + ": cannot copy default.txt: " + reason(ec);
      return false;
    }
  }
  return true;
}

bool write_frame_file(const fs::path& raw_folder, int number, int width, int height,
                      std::span<const std::uint8_t> grey, std::string* error) {
  std::array<std::uint8_t, kFrameHeaderBytes> header{};
  write_raw_frame_header(header, width, height);
  const std::span<const std::uint8_t> pieces[] = {
      header, grey.first(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
  return replace_file(raw_folder / numbered_file_name("a%5d.bmp", number), pieces, error);
}

std::vector<fs::path> data_folder_candidates(const char* argv0, const char* installed_from_bin,
                                             const char* source_data_dir) {
  std::vector<fs::path> folders;
  std::error_code ec;
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (ec && argv0 != nullptr) program = fs::absolute(argv0, ec);
  if (!program.empty()) {
    folders.push_back((program.parent_path() / installed_from_bin).lexically_normal());
  }
  folders.emplace_back(source_data_dir);
  return folders;
}
