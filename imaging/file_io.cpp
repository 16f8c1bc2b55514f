#include "imaging/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

std::string errno_message(const char* path, const char* what) {
  const int saved = errno;
  std::string text = std::string(path) + ": " + what;
  if (saved != 0) text += std::string(": ") + std::strerror(saved);
  return text;
}

FileHandle open_file(const char* path, const char* mode, std::string* error) {
  errno = 0;
  FileHandle file(std::fopen(path, mode));
  if (!file) *error = errno_message(path, "cannot open");
  return file;
}

FileHandle open_file_in(const std::filesystem::path& dir, const char* name, const char* mode,
                        std::string* error) {
  errno = 0;
  FileHandle file(std::fopen((dir / name).c_str(), mode));
  if (!file) *error = errno_message(name, "cannot open");
  return file;
}

FileHandle open_regular_file(const std::filesystem::path& dir, const char* name, bool* missing,
                             std::string* error) {
  if (missing != nullptr) *missing = false;
  // Opened without blocking, so a FIFO with no writer answers at once; the mode is put back
  // for the reads.
  errno = 0;
  const int fd = ::open((dir / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (missing != nullptr) *missing = errno == ENOENT;
    *error = errno_message(name, "cannot open");
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *error = std::string(name) + ": not a regular file";
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  errno = 0;
  FileHandle file(::fdopen(fd, "rb"));
  if (!file) {
    *error = errno_message(name, "cannot open");
    ::close(fd);
  }
  return file;
}

FileHandle open_text_to_read(const std::filesystem::path& dir, const char* path,
                             std::string* error) {
  return open_regular_file(dir, path, nullptr, error);
}

bool close_file(FileHandle& file, const char* path, std::string* error) {
  if (!file) return true;
  errno = 0;
  const bool had_error = std::ferror(file.get()) != 0;
  const int rc = std::fclose(file.release());
  if (had_error || rc != 0) {
    *error = errno_message(path, "write failed");
    return false;
  }
  return true;
}

std::size_t read_bytes(std::FILE* file, std::span<std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  return std::fread(bytes.data(), 1, bytes.size(), file);
}

bool write_bytes(std::FILE* file, std::span<const std::uint8_t> bytes, const char* path,
                 std::string* error) {
  if (bytes.empty()) return true;
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    *error = errno_message(path, "write failed");
    return false;
  }
  return true;
}

std::int32_t get_le32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  const std::uint32_t u = std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
                          std::uint32_t{bytes[offset + 2]} << 16 |
                          std::uint32_t{bytes[offset + 3]} << 24;
  return static_cast<std::int32_t>(u);
}

void put_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

// Opens the temporary file `part_name` for writing without waiting: a FIFO or a socket left under
// that name is refused, not waited on.
FileHandle open_part_file(const std::string& part_name, const std::string& shown_part,
                          std::string* error) {
  errno = 0;
  const int fd =
      ::open(part_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno_message(shown_part.c_str(), "cannot open");
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
    ::close(fd);
    *error = shown_part + ": not a regular file";
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  errno = 0;
  FileHandle file(::fdopen(fd, "wb"));
  if (!file) {
    *error = errno_message(shown_part.c_str(), "cannot open");
    ::close(fd);
  }
  return file;
}

namespace {

// Writes the pieces to "<path>.part" and renames it to `path`; messages name `shown` (the path
// as the user knows it) and "<shown>.part".
bool replace_file_named(const std::filesystem::path& path, const std::string& shown,
                        std::span<const std::span<const std::uint8_t>> pieces, std::string* error) {
  const std::string final_name = path.string();
  const std::string part_name = final_name + ".part";
  const std::string shown_part = shown + ".part";
  FileHandle file = open_part_file(part_name, shown_part, error);
  if (!file) return false;
  bool ok = true;
  for (const auto piece : pieces) {
    if (ok) ok = write_bytes(file.get(), piece, shown_part.c_str(), error);
  }
  if (!close_file(file, shown_part.c_str(), error)) ok = false;
  if (ok) {
    errno = 0;
    if (std::rename(part_name.c_str(), final_name.c_str()) != 0) {
      *error = errno_message(shown.c_str(), "cannot rename the finished file");
      ok = false;
    }
  }
  if (!ok) std::remove(part_name.c_str());
  return ok;
}

}  // namespace

bool replace_file(const std::filesystem::path& path,
                  std::span<const std::span<const std::uint8_t>> pieces, std::string* error) {
  return replace_file_named(path, path.string(), pieces, error);
}

bool replace_text_file_in(const std::filesystem::path& dir, const char* name,
                          const std::string& text, std::string* error) {
  const std::span<const std::uint8_t> pieces[] = {
      {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
  return replace_file_named(dir / name, name, pieces, error);
}

bool replace_text_file(const std::filesystem::path& path, const std::string& text,
                       std::string* error) {
  const std::span<const std::uint8_t> pieces[] = {
      {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
  return replace_file(path, pieces, error);
}
