#include "sources/recording_id.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "imaging/file_io.h"

namespace {

constexpr std::size_t kIdBytes = std::size_t{1} << 20;
// SER header: signature "LUCAM-RECORDER" at 0, the 32-bit frame count at byte 38.
constexpr std::size_t kSerFrameCountAt = 38;

}  // namespace

std::string recording_id(const std::string& path, std::string* error) {
  const std::filesystem::path file_path(path);
  // A folder of frame files (FITS): its name and the id of its first file by name.
  std::error_code ec;
  if (std::filesystem::is_directory(file_path, ec)) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(file_path, ec)) {
      if (entry.is_regular_file(ec)) files.push_back(entry.path());
    }
    if (files.empty()) {
      *error = path + ": holds no frame file";
      return {};
    }
    std::sort(files.begin(), files.end());
    const std::string first = recording_id(files.front().string(), error);
    if (first.empty()) return {};
    return file_path.filename().string() + "/" + first;
  }
  std::string message;
  FileHandle file =
      open_regular_file(file_path.parent_path().empty() ? "." : file_path.parent_path(),
                        file_path.filename().c_str(), nullptr, &message);
  if (!file) {
    *error = path + message.substr(message.find(':'));
    return {};
  }
  std::vector<std::uint8_t> bytes(kIdBytes);
  bytes.resize(read_bytes(file.get(), bytes));
  if (std::ferror(file.get()) != 0) {
    *error = errno_message(path.c_str(), "cannot read");
    return {};
  }
  if (bytes.size() >= kSerFrameCountAt + 4 &&
      std::memcmp(bytes.data(), "LUCAM-RECORDER", 14) == 0) {
    std::memset(bytes.data() + kSerFrameCountAt, 0, 4);
  }
  std::uint64_t hash = 14695981039346656037ull;
  for (const std::uint8_t b : bytes) {
    hash ^= b;
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return file_path.filename().string() + " fnv1a64:" + hex;
}
