// Reports that repeat within one piece of work: while a scope is open (a run
// step), a report already told in it is counted rather than told again, and
// the scope's end tells each count once. Without a scope every report is
// told. Scopes nest: the outermost one counts and tells.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SuRepeatScope {
 public:
  // Keys a scope remembers: further new reports are told, not counted, so
  // that a flood of different lines cannot take the memory.
  static constexpr std::size_t kMostKeys = 10000;

  SuRepeatScope();
  // One line per report that repeated: its first line and the count.
  ~SuRepeatScope();
  SuRepeatScope(const SuRepeatScope&) = delete;
  SuRepeatScope& operator=(const SuRepeatScope&) = delete;
};

// Whether the report `key` is to be told now: no scope is open, or it is
// the first of its key in the scope (whose end then names it by `line`).
bool SuTellReport(const std::string& key, const std::string& line);

// The same for a whole group of message lines, keyed by all of its text;
// such keys never meet those of SuTellReport. An empty group is told.
bool SuTellLines(const std::vector<std::string>& lines);
