#include "imaging/file_io.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

std::string errno_message(const char* path, const char* what) {
  const int saved = errno;
  std::string text = std::string(path) + ": " + what;
  if (saved != 0) text += std::string(": ") + std::strerror(saved);
  return text;
}

FileHandle open_file(const char* path, const char* mode, std::string& error) {
  errno = 0;
  FileHandle file(std::fopen(path, mode));
  if (!file) error = errno_message(path, "cannot open");
  return file;
}

FileHandle open_text_to_read(const char* path, std::string& error) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    error = std::string(path) + ": not a regular file";
    return nullptr;
  }
  return open_file(path, "r", error);
}

bool close_file(FileHandle& file, const char* path, std::string& error) {
  if (!file) return true;
  errno = 0;
  const bool had_error = std::ferror(file.get()) != 0;
  const int rc = std::fclose(file.release());
  if (had_error || rc != 0) {
    error = errno_message(path, "write failed");
    return false;
  }
  return true;
}

std::size_t read_bytes(std::FILE* file, std::span<std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  return std::fread(bytes.data(), 1, bytes.size(), file);
}

bool write_bytes(std::FILE* file, std::span<const std::uint8_t> bytes, const char* path,
                 std::string& error) {
  if (bytes.empty()) return true;
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    error = errno_message(path, "write failed");
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

bool replace_file(const std::filesystem::path& path,
                  std::span<const std::span<const std::uint8_t>> pieces, std::string& error) {
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

bool replace_text_file(const std::filesystem::path& path, const std::string& text,
                       std::string& error) {
  const std::span<const std::uint8_t> pieces[] = {
      {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}};
  return replace_file(path, pieces, error);
}
