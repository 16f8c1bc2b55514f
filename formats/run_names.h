// The names a run writes into its run folder, and so the only names a program of VESK may
// create, clear or replace there; anything else in the folder is the user's. Each entry says
// which program writes it. A program that writes a new file adds its name here.
#pragma once

#include <span>
#include <string_view>

struct RunName {
  // Relative to the run folder, '/' between folders. '#' stands for a number: one or more digits.
  std::string_view path;
  std::string_view writer;  // the programs that write it, and when
};

// Every name, in no particular order.
std::span<const RunName> run_names();

// Whether `relative` (relative to the run folder, '/' between folders) is one of run_names(), or
// the temporary name "<name>.part" one is written under before it is renamed.
bool is_run_name(std::string_view relative);
