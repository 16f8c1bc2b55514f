// Small file helpers shared by every unit that touches the disk: an owning FILE* handle whose
// close is checked, whole-buffer reads and writes, and little-endian 32-bit fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
// Owns an open stream; the destructor closes it unchecked, so code that wrote through it calls
// close_file first and looks at the answer.
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` with fopen `mode`. An empty handle means it could not be opened; `error` then says
// "<path>: cannot open: <reason>" (reason from errno).
FileHandle open_file(const char* path, const char* mode, std::string* error);

// Opens `name` in folder `dir` with fopen `mode`; `error` names `name` only, as messages name the
// files of a run folder relative to it.
FileHandle open_file_in(const std::filesystem::path& dir, const char* name, const char* mode,
                        std::string* error);

// Opens `name` in `dir` for reading ("rb") only when it is a regular file (a link to one is
// fine). A FIFO, a device or a folder would block or never end: it is refused without waiting,
// `error` then says "<name>: not a regular file". `missing` (when given) tells whether the open
// failed because nothing is there (ENOENT), which readers of numbered files take as the end.
FileHandle open_regular_file(const std::filesystem::path& dir, const char* name, bool* missing,
                             std::string* error);

// Opens the text file `path` for reading ("r"), refusing anything that is not a regular file (a
// device such as /dev/zero or a pipe would never end): `error` then says "<path>: not a regular
// file". Otherwise as open_file.
FileHandle open_text_to_read(const std::filesystem::path& dir, const char* path,
                             std::string* error);

// Closes `file` (leaving it empty). False when the close or an earlier buffered write failed;
// `error` then says "<path>: write failed: <reason>". An empty handle closes successfully.
bool close_file(FileHandle& file, const char* path, std::string* error);

// Reads up to bytes.size() bytes; returns how many were read (fewer at end of file).
std::size_t read_bytes(std::FILE* file, std::span<std::uint8_t> bytes);

// Writes all of `bytes`; false with `error` "<path>: write failed: <reason>" otherwise.
bool write_bytes(std::FILE* file, std::span<const std::uint8_t> bytes, const char* path,
                 std::string* error);

// Signed 32-bit little-endian field at bytes[offset .. offset + 3]; the caller checks the size.
std::int32_t get_le32(std::span<const std::uint8_t> bytes, std::size_t offset);
void put_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value);

// "<path>: <what>: <strerror(errno)>" for the current errno.
std::string errno_message(const char* path, const char* what);

// Opens `part_name`, the temporary name of a file written whole, for writing ("wb") without
// waiting: a FIFO or socket there is refused. `error` names `shown_part`.
FileHandle open_part_file(const std::string& part_name, const std::string& shown_part,
                          std::string* error);

// Writes the pieces in order to "<path>.part", closes it and renames it to `path`, so a file
// written whole over an older one is either the old or the complete new one. False with `error`
// naming the file when a write, the close or the rename fails; the part file is then removed and
// an older `path` is left as it was.
bool replace_file(const std::filesystem::path& path,
                  std::span<const std::span<const std::uint8_t>> pieces, std::string* error);

// replace_file with `text` as its one piece.
bool replace_text_file(const std::filesystem::path& path, const std::string& text,
                       std::string* error);

// replace_text_file for `name` in `dir`, naming `name` (and "<name>.part") in `error`.
bool replace_text_file_in(const std::filesystem::path& dir, const char* name,
                          const std::string& text, std::string* error);
