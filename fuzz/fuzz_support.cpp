#include "fuzz_support.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "run/run_folder.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "fuzz harness: %s\n", what.c_str());
  std::abort();
}

std::filesystem::path make_fuzz_folder() {
  // Memory-backed /dev/shm when there is one: every input creates and removes dozens of files.
  std::error_code ec;
  const std::string parent = fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
  std::string pattern = parent + "/vesk_fuzz_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) die("cannot create a working folder under " + parent);
  return pattern;
}

void remove_fuzz_folder() {
  std::error_code ec;
  fs::remove_all(fuzz_folder(), ec);
}

}  // namespace

const std::filesystem::path& fuzz_folder() {
  static const std::filesystem::path folder = [] {
    std::filesystem::path made = make_fuzz_folder();
    return made;
  }();
  static const bool cleanup = std::atexit(remove_fuzz_folder) == 0;
  (void)cleanup;
  return folder;
}

void clear_fuzz_folder() {
  for (const fs::directory_entry& entry : fs::directory_iterator(fuzz_folder())) {
    fs::remove_all(entry.path());
  }
}

void write_fuzz_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  const fs::path p = fuzz_folder() / path;
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::FILE* f = std::fopen(p.c_str(), "wb");
  if (f == nullptr) die("cannot create " + path);
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) die("cannot write " + path);
}

void write_fuzz_text(const std::string& path, const std::string& text) {
  write_fuzz_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void lay_out_fuzz_run_folder() {
  std::string error;
  if (!lay_out_run_folder(fuzz_folder(), VESK_DATA_DIR, RawFrames::folder, &error)) die(error);
}

std::FILE* null_output() {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) die("cannot open /dev/null");
  return sink;
}

std::FILE* memory_input(std::span<const std::uint8_t> bytes) {
  // fmemopen refuses a zero size; /dev/null reads as an empty input.
  std::FILE* in = bytes.empty()
                      ? std::fopen("/dev/null", "r")
                      : fmemopen(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), "r");
  if (in == nullptr) die("cannot open the console input");
  return in;
}
