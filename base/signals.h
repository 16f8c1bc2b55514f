// How the programs meet signals: a write to a closed pipe (SIGPIPE) or past the file-size limit
// (SIGXFSZ) becomes a failed write that the program names, never a silent death; SIGINT and
// SIGTERM set a flag that the run checks between frames, so it ends with its outputs whole.
#pragma once

#include <signal.h>

#include <csignal>

// Ignores SIGPIPE and SIGXFSZ: the write then fails with EPIPE or EFBIG.
inline void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

// Makes SIGINT and SIGTERM set the returned flag instead of ending the process. The flag lives
// for the program; a handler can reach nothing else.
inline const volatile std::sig_atomic_t* install_stop_signals() {
  static volatile std::sig_atomic_t stop = 0;
  struct sigaction action {};
  action.sa_handler = [](int) { stop = 1; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return &stop;
}
