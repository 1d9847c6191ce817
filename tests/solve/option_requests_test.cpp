#include <gtest/gtest.h>

#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "framework/libraries/library_exports.h"
#include "solve/options/solver_option_table.h"
#include "tests/solve/options_fakes.h"

namespace {

TEST(OptionRequests, AnswersFollowTheTableTheRunAndTheOwner) {
  SolverOptionTable table;
  FolderOwner owner;
  std::int32_t i = -7;
  double x = -7.0;
  const char* s = "old";
  EXPECT_EQ(table.OptionRequest(41, &i, &x, &s), -1) << "no owner, no time unit";
  EXPECT_EQ(i, 0);
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(s, nullptr);
  table.SetOwner(&owner);
  table.SetInteger(31, 4);
  EXPECT_EQ(owner.print_level, 4) << "the print level goes to the owner";
  const struct {
    std::int32_t request;
    std::int32_t run_mode;
    std::int32_t phase;
    std::int32_t kind;
    std::int32_t integer;
    double real;
    const char* text;
  } cases[] = {
      {8, 1, 0, 2, 0, 0.005, nullptr},  // variable steps: InitStepSize
      {18, 4, 0, 4, 4, 0.0, "Dynamic"},
      {35, 1, 0, 4, 1, 0.0, "SS"},
      {35, 4, 0, 4, 4, 0.0, "Dyn"},
      {35, 4, 1, 4, 2, 0.0, "Init"},
      {35, 4, 2, 4, 3, 0.0, "ReInit"},
      {35, 4, 7, 4, 0, 0.0, "Unknown"},
      {37, 1, 0, 4, 7, 0.0, "Implicit Euler"},
      {41, 1, 0, 5, 0, 60.0, "Minutes"},
      {43, 1, 0, 3, 0, 0.0, "C:\\work\\"},
      {44, 1, 0, -1, 0, 0.0, nullptr},  // no run folder
      {32, 1, 0, -1, 0, 0.0, nullptr},  // no problem object is ever attached
      {45, 1, 0, -1, 0, 0.0, nullptr},
      {0, 1, 0, -1, 0, 0.0, nullptr},
  };
  for (const auto& c : cases) {
    table.SetInteger(29, c.run_mode);
    table.ApplyPendingChanges();
    SetSolutionPhase(c.phase);
    EXPECT_EQ(table.OptionRequest(c.request, &i, &x, &s), c.kind) << c.request;
    EXPECT_EQ(i, c.integer) << c.request;
    EXPECT_EQ(x, c.real) << c.request;
    EXPECT_STREQ(s, c.text) << c.request;
  }
  SetSolutionPhase(0);
}

// Libraries reach the table through QLN_Rqst while it is the engine's
// handler, and never after it is gone.
TEST(OptionRequests, ATableGoneIsNoLongerAsked) {
  int option = 31, integer = 0;
  double time = 0.0;
  char* text = nullptr;
  const double before = GetSimulationTime();
  QLNOptionsHandler* kept = SetEngineOptionsHandler(nullptr);
  {
    SolverOptionTable table;
    SetEngineOptionsHandler(&table);
    SetSimulationTime(3.5);
    EXPECT_EQ(QLN_Rqst(&option, &integer, &time, &text), 2);
    EXPECT_EQ(time, 3.5);
  }
  EXPECT_EQ(EngineOptionsHandler(), nullptr);
  EXPECT_EQ(QLN_Rqst(&option, &integer, &time, &text), -1);
  EXPECT_EQ(time, 0.0);
  SetSimulationTime(before);
  SetEngineOptionsHandler(kept);
}

}  // namespace
