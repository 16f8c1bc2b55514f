// Fuzzes the console token stream through the whole parameter menu. The first byte picks the
// state of default.txt and about.txt; the rest is the console input. The menu must come back
// (never loop) when the input ends.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "control/menu.h"
#include "control/settings.h"
#include "fuzz_support.h"

namespace {

void lay_out_files(std::uint8_t choice) {
  clear_fuzz_folder();
  lay_out_fuzz_run_folder();
  std::filesystem::remove(fuzz_folder() / "settings.txt");
  switch (choice & 3) {
    case 1:
      std::filesystem::remove(fuzz_folder() / "default.txt");
      break;
    case 2:
      write_fuzz_text("default.txt", "Min_flash_limit= 1 Max_flash_limit= x2 Flash_sd_sep=");
      break;
    case 3:
      write_fuzz_text("settings.txt/keep", "a folder where settings.txt should be\n");
      break;
  }
  switch ((choice >> 2) & 3) {
    case 1:
      std::filesystem::remove(fuzz_folder() / "about.txt");
      break;
    case 2:
      write_fuzz_text("about.txt", "no end marker here\nnor here");
      break;
    case 3:
      write_fuzz_text("about.txt", std::string(500, 'a') + "\nXX\n");
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_folder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  lay_out_files(data[0]);
  const std::span<const std::uint8_t> console(data + 1, size - 1);
  std::FILE* in = memory_input(console);
  DetectionSettings settings;
  const bool started = parameter_menu(settings, fuzz_folder(), in, null_output(), null_output());
  std::fclose(in);
  // Without a 0 anywhere in the input the user never answered 0.
  if (started && std::find(console.begin(), console.end(), '0') == console.end()) std::abort();
  return 0;
}
