// vesk with a thread count, for bench/whole_program.sh: runs the program in the working folder as
// `vesk` does (console on standard input and output), its scan on THREADS threads (0: the cores
// the process may run on).
//
// Usage: vesk_run_bench THREADS
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/driver.h"

int main(int argc, char** argv) {
  char* end = nullptr;
  const long threads = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
  if (argc != 2 || end == argv[1] || *end != '\0' || threads < 0 || threads > 4096) {
    std::fprintf(stderr, "usage: vesk_run_bench THREADS (0 to 4096, 0 for every core)\n");
    return 2;
  }
  return run_vesk(".", stdin, stdout, stderr, static_cast<int>(threads));
}
