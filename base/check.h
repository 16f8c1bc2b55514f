// Always-on internal checks. Sizes are established once (allocate_run_buffers); below that
// point a mismatch is a bug in the program, never bad input, so it stops the program loudly
// rather than letting a detector quietly answer "no flash".
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the program with "vesk: internal error: <what>" on standard error when `condition` is
// false. Kept in Release builds, unlike assert.
inline void check_or_die(bool condition, const char* what) {
  if (condition) return;
  std::fflush(stdout);
  std::fprintf(stderr, "vesk: internal error: %s\n", what);
  std::abort();
}
