// decisions.csv: the observer's verdict on events, as the review page exports it (event, frame,
// utc, decision). This module owns the table's columns, a writer (for tests and tools) and the
// reader vesk-review uses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kDecisionsName = "decisions.csv";

enum class Decision { undecided, accepted, rejected };

// "accepted", "rejected" or "undecided".
const char* decision_word(Decision decision);

// One line of decisions.csv.
struct DecisionRow {
  int line = 0;  // line number in the file, for notices (not written)
  int event = 0;
  std::int64_t frame = 0;
  std::string utc;  // ISO 8601 or empty
  Decision decision = Decision::undecided;
};

std::span<const std::string_view> decisions_columns();
std::string decisions_header();
std::string decisions_line(const DecisionRow& row);

// Reads `path` as read_flashes_csv does its file; event numbers are unique. False with `error`
// naming file, line and column.
bool read_decisions_csv(const std::filesystem::path& path, std::vector<DecisionRow>& rows,
                        std::string* error);
