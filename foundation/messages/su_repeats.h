// Reports that repeat within one piece of work: while a scope is open (a
// run step), a report already told in it is counted rather than told again,
// and the scope's end tells each count once. A hold (a run command) keeps
// the counts from one scope to the next and tells them at its own end;
// between scopes every report is told. Without a scope every report is
// told, and a blank line always is. Scopes nest: the outermost one counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SuRepeatScope {
 public:
  // Keys a scope remembers: further new reports are held back and counted
  // together, so that a flood of different lines stays bounded in memory
  // and in lines.
  static constexpr std::size_t kMostKeys = 10000;
  // Keys beyond those for groups that report a failure.
  static constexpr std::size_t kMostFailureKeys = 1000;
  // The newest reports held back that the scope's end tells.
  static constexpr std::size_t kLastUnkept = 10;

  SuRepeatScope();
  // One line per report that repeated: its first line and the count; then
  // one for the reports held back past the keys, and the newest of those.
  ~SuRepeatScope();
  SuRepeatScope(const SuRepeatScope&) = delete;
  SuRepeatScope& operator=(const SuRepeatScope&) = delete;
};

// Keeps the counts of the scopes opened while it lives, told when it ends
// (or when the scope open then ends); for a run command of several steps.
class SuRepeatHold {
 public:
  SuRepeatHold();
  ~SuRepeatHold();
  SuRepeatHold(const SuRepeatHold&) = delete;
  SuRepeatHold& operator=(const SuRepeatHold&) = delete;
};

// While one lives, the reports of its thread say how a piece of work ended
// (a steady state's outcome, its indeterminate variables): they take keys
// beyond the others', so that they are never held back, yet each is told
// once in a scope and its repeats counted like any other's.
class SuOutcomeLines {
 public:
  SuOutcomeLines();
  ~SuOutcomeLines();
  SuOutcomeLines(const SuOutcomeLines&) = delete;
  SuOutcomeLines& operator=(const SuOutcomeLines&) = delete;

  // Whether one lives on this thread.
  static bool Open();
};

// The piece of work whose reports are told now: a number that grows each
// time a scope or hold opens while none is open (a run command), so that
// the outcome lines of one piece of work can be told from the next's.
std::uint64_t SuWorkNumber();

// Tells now what the open scopes and holds have counted so far, as their
// end would, and counts afresh: for work whose outcome a client may read
// (and close on) before the scopes end.
void SuTellRepeatsNow();

// Whether the report `key` is to be told now: no scope is open, or it is
// the first of its key in the scope (whose end then names it by `line`).
bool SuTellReport(const std::string& key, const std::string& line);

// The same for a whole group of message lines, keyed by all of its text;
// such keys never meet those of SuTellReport. An empty or blank group is
// told. A group that reports a failure may take a key beyond the others'.
bool SuTellLines(const std::vector<std::string>& lines, bool failure = false);
