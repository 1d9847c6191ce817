#include "foundation/messages/su_repeats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/capture_sink.h"

namespace {

using Lines = std::vector<std::string>;

TEST(SuRepeats, WithoutAScopeEveryReportIsTold) {
  testsupport::CaptureSink sink;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(SuTellLines({"Group 1: Nonlinear solver failed."}));
    EXPECT_TRUE(SuTellReport("key", "line"));
  }
  EXPECT_TRUE(sink.lines().empty());
}

TEST(SuRepeats, AScopeTellsEachGroupOnceAndItsCountAtTheEnd) {
  testsupport::CaptureSink sink;
  {
    SuRepeatScope step;
    const Lines two = {"Indeterminate variable y in equation e", "second line"};
    EXPECT_TRUE(SuTellLines(two));
    EXPECT_TRUE(SuTellLines({"Warning: linear group 4 is indeterminate"}));
    for (int i = 0; i < 5; ++i) {
      EXPECT_FALSE(SuTellLines(two));
      EXPECT_FALSE(SuTellLines({"Warning: linear group 4 is indeterminate"}));
    }
    // A group differing in any line is another report, and so is one that
    // is only its first line.
    EXPECT_TRUE(SuTellLines({"Indeterminate variable y in equation e", "other"}));
    EXPECT_TRUE(SuTellLines({"Indeterminate variable y in equation e"}));
    EXPECT_TRUE(SuTellLines({}));
    EXPECT_TRUE(SuTellLines({}));
    EXPECT_TRUE(sink.lines().empty());
  }
  EXPECT_EQ(
      sink.lines(),
      (Lines{"The report \"Indeterminate variable y in equation e\" was repeated 5 more times",
             "The report \"Warning: linear group 4 is indeterminate\" was repeated 5 more "
             "times"}));
  // The next step starts afresh.
  SuRepeatScope next;
  EXPECT_TRUE(SuTellLines({"Warning: linear group 4 is indeterminate"}));
}

TEST(SuRepeats, GroupKeysNeverMeetReportKeysAndInnerScopesDoNotTell) {
  testsupport::CaptureSink sink;
  {
    SuRepeatScope outer;
    {
      SuRepeatScope inner;
      // A caller that keys its report by its first line, and the collector
      // that then sees the whole group with that line: both are told.
      EXPECT_TRUE(SuTellReport("Evaluation error in explicit group 2",
                               "Evaluation error in explicit group 2"));
      EXPECT_TRUE(SuTellLines({"Evaluation error in explicit group 2"}));
      EXPECT_FALSE(SuTellReport("Evaluation error in explicit group 2",
                                "Evaluation error in explicit group 2"));
    }
    EXPECT_TRUE(sink.lines().empty()) << "the outer scope counts on";
    EXPECT_FALSE(SuTellLines({"Evaluation error in explicit group 2"}));
  }
  EXPECT_EQ(sink.lines(),
            (Lines{"The report \"Evaluation error in explicit group 2\" was repeated 1 more times",
                   "The report \"Evaluation error in explicit group 2\" was repeated 1 more "
                   "times"}));
}

TEST(SuRepeats, PastTheKeysAScopeKeepsReportsAreHeldBackAndCountedTogether) {
  testsupport::CaptureSink sink;
  {
    SuRepeatScope step;
    for (std::size_t i = 0; i < SuRepeatScope::kMostKeys; ++i) {
      ASSERT_TRUE(SuTellLines({"residual " + std::to_string(i)}));
    }
    // Not remembered: neither told nor counted as its own.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(SuTellLines({"one more"}));
    EXPECT_FALSE(SuTellReport("another", "another"));
    EXPECT_FALSE(SuTellLines({"residual 0"}));
    // A failure says why the work ended: it has keys of its own, and is
    // counted as its own once told.
    for (std::size_t i = 0; i < SuRepeatScope::kMostFailureKeys; ++i) {
      ASSERT_TRUE(SuTellLines({"failed " + std::to_string(i)}, true));
    }
    EXPECT_FALSE(SuTellLines({"failed 0"}, true));
    EXPECT_FALSE(SuTellLines({"one failure too many"}, true));
  }
  EXPECT_EQ(sink.lines(), (Lines{"The report \"residual 0\" was repeated 1 more times",
                                 "The report \"failed 0\" was repeated 1 more times",
                                 "5 further reports were not told: beyond 10000 different "
                                 "reports a run tells only new failures. The last of them:",
                                 "one more", "another", "one failure too many"}));
  // The next scope starts afresh.
  SuRepeatScope next;
  EXPECT_TRUE(SuTellLines({"one more"}));
}

// Past the keys, how a piece of work ended is never held back, and work
// that solves many times in one command tells it once and counts it after,
// whatever the lines around it: only the others are held back.
TEST(SuRepeats, PastTheKeysTheOutcomeIsToldOnceThenCounted) {
  testsupport::CaptureSink sink;
  {
    SuRepeatHold command;
    for (int solve = 0; solve < 3; ++solve) {
      SuRepeatScope scope;
      for (std::size_t i = 0; i < SuRepeatScope::kMostKeys; ++i) {
        ASSERT_EQ(SuTellLines({"residual " + std::to_string(i)}), solve == 0);
      }
      EXPECT_FALSE(SuTellLines({"one more"}));
      const SuOutcomeLines outcome;
      EXPECT_TRUE(SuOutcomeLines::Open());
      for (const char* line : {"Warning: the following variables are indeterminate:",
                               "  Group 1: Model.x", "  Group 2: Model.y"}) {
        EXPECT_EQ(SuTellLines({line}), solve == 0) << line;
      }
    }
    EXPECT_FALSE(SuOutcomeLines::Open());
  }
  const Lines& lines = sink.lines();
  for (const char* line : {"Warning: the following variables are indeterminate:",
                           "  Group 1: Model.x", "  Group 2: Model.y"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "The report \"" + std::string(line) + "\" was repeated 2 more times"),
              lines.end())
        << line;
  }
}

// One number for a run command, however many steps it holds and counts it
// tells on the way; the next command, or a step outside any, has the next.
TEST(SuRepeats, TheWorkNumberGrowsOnlyWithTheOutermostScopeOrHold) {
  const std::uint64_t before = SuWorkNumber();
  {
    SuRepeatHold command;
    for (int step = 0; step < 3; ++step) {
      SuRepeatScope scope;
      EXPECT_EQ(SuWorkNumber(), before + 1);
    }
    SuTellRepeatsNow();
    EXPECT_EQ(SuWorkNumber(), before + 1);
  }
  EXPECT_EQ(SuWorkNumber(), before + 1);
  {
    SuRepeatScope alone;
    EXPECT_EQ(SuWorkNumber(), before + 2);
  }
}

// A run command of several steps: what each step repeats of the steps
// before is counted, what is said between the steps is told every time,
// and the counts come once, when the hold ends.
TEST(SuRepeats, AHoldCountsAcrossItsScopesAndTellsAtItsEnd) {
  testsupport::CaptureSink sink;
  {
    SuRepeatHold run;
    for (int step = 0; step < 3; ++step) {
      {
        SuRepeatScope scope;
        EXPECT_EQ(SuTellLines({"Solving steady state ..."}), step == 0);
      }
      EXPECT_TRUE(SuTellLines({"Iteration table line"}));
    }
    EXPECT_TRUE(sink.lines().empty());
  }
  EXPECT_EQ(sink.lines(),
            (Lines{"The report \"Solving steady state ...\" was repeated 2 more times"}));
}

// A blank line spaces an initialisation's lines from the list after it:
// told every time, never counted, and a group is named by its first line
// that is not blank.
TEST(SuRepeats, BlankLinesAreNeverRepeats) {
  testsupport::CaptureSink sink;
  {
    SuRepeatScope run;
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(SuTellLines({" "}));
      EXPECT_TRUE(SuTellLines({""}));
      EXPECT_TRUE(SuTellLines({" ", "\t"}));
      EXPECT_TRUE(SuTellReport(" ", " "));
    }
    EXPECT_TRUE(SuTellLines({" ", "Warning: the following variables are indeterminate:"}));
    EXPECT_FALSE(SuTellLines({" ", "Warning: the following variables are indeterminate:"}));
  }
  EXPECT_EQ(sink.lines(), (Lines{"The report \"Warning: the following variables are "
                                 "indeterminate:\" was repeated 1 more times"}));
}

}  // namespace
