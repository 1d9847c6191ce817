// Solving sub-groups through the group-method table, announcements,
// indeterminate reports and the compiled-evaluation switch.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "daes/blocks/variable_marks.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "tests/support/integrator_stand_in.h"
#include "tests/support/quiet_group_method.h"

namespace {

// Answers per group number: a status and an iteration count.
class ScriptedMethod : public QuietGroupMethod {
 public:
  Status Solve(QLNGroup* group, std::uint8_t, std::uint32_t, std::uint32_t,
               Status* reported) override {
    const std::uint32_t n = dynamic_cast<DAESBlock*>(group)->GetGroupNumber();
    order.push_back(n);
    *reported = iterations[n];
    return statuses[n];
  }
  std::map<std::uint32_t, Status> statuses;
  std::map<std::uint32_t, Status> iterations;
  std::vector<std::uint32_t> order;
};

class Announcer : public testsupport::IntegratorStandIn {
 public:
  bool ShouldAnnounce(const void*) override { return true; }
};

struct MethodSlot {
  MethodSlot() { ReplaceGroupMethod(kGroupNonlinear, method = new ScriptedMethod); }
  ~MethodSlot() { ReplaceGroupMethod(kGroupNonlinear, nullptr); }
  ScriptedMethod* method;
};

DAESSolverBlock* Group(std::uint32_t number, std::uint32_t rows) {
  auto* g = new DAESSolverBlock;
  g->SetGroupNumber(number);
  g->SetKind(kGroupNonlinear);
  for (std::uint32_t i = 0; i < rows; ++i) g->AddRow(new DAESEqnRow);
  return g;
}

TEST(BlockFamily, SolveSubGroupsKeepsLargestCountAndStopsAtFailure) {
  MethodSlot slot;
  DAESSolverBlock outer;
  for (std::uint32_t n = 1; n <= 4; ++n) outer.AddRow(Group(n, 1));
  for (std::uint32_t n = 1; n <= 4; ++n)
    dynamic_cast<DAESBlock*>(outer.GetRow(n - 1))->SetSolved(true);
  slot.method->iterations = {{1, 3}, {2, 9}, {3, 4}};
  slot.method->statuses = {{3, 0xA0310099u}};
  std::int32_t iterations = 0;
  EXPECT_EQ(outer.SolveSubGroups(0, 0, &iterations), 0xA0310099u);
  EXPECT_EQ(iterations, 9);
  EXPECT_EQ(slot.method->order, (std::vector<std::uint32_t>{1, 2, 3}));
  auto solved = [&](std::uint32_t i) {
    return dynamic_cast<DAESBlock*>(outer.GetRow(i))->IsSolved();
  };
  EXPECT_TRUE(solved(0));
  EXPECT_TRUE(solved(1));
  EXPECT_FALSE(solved(2));
  EXPECT_FALSE(solved(3));
  EXPECT_FALSE(outer.IsSolved());

  DAESSolverBlock empty;
  EXPECT_EQ(empty.SolveSubGroups(0, 0, &iterations), 0u);
  EXPECT_TRUE(empty.IsSolved());
}

TEST(BlockFamily, AnnouncementsNameKindAndSize) {
  Announcer announcer;
  SetCurrentIntegrator(&announcer);
  DAESSolverBlock outer;
  std::unique_ptr<DAESSolverBlock> big(Group(7, 3));
  std::unique_ptr<DAESSolverBlock> single(Group(8, 1));
  DAESTornBlock torn;
  torn.SetGroupNumber(2);
  testing::internal::CaptureStdout();
  outer.AnnounceSolve(big.get());
  outer.AnnounceSolve(single.get());
  torn.AnnounceSolve(big.get());
  torn.AnnounceSolve(single.get());
  const std::string out = testing::internal::GetCapturedStdout();
  SetCurrentIntegrator(nullptr);
  EXPECT_NE(out.find("Solving group 7, size 3, type Nonlinear"), std::string::npos);
  EXPECT_NE(out.find("Solving group 8, type Single Nonlinear"), std::string::npos);
  EXPECT_NE(out.find("Solving sub-group 7 of torn group 2, type Nonlinear, size 3"),
            std::string::npos);
  EXPECT_NE(out.find("Solving sub-group 8 of torn group 2 of type Single Nonlinear"),
            std::string::npos);
  EXPECT_STREQ(daes::KindName(9, 1), "unknown type");
  EXPECT_STREQ(daes::KindName(3, 1), "Explicit Linear");
}

TEST(BlockFamily, IndeterminateReportPrintsTheWarningOnce) {
  DAESRealVariable a(nullptr, "a"), b(nullptr, "b");
  a.SetSequenceNumber(1);
  b.SetSequenceNumber(2);
  DAESSolverBlock outer;
  DAESSolverBlock* g1 = Group(1, 1);
  DAESSolverBlock* g2 = Group(2, 1);
  outer.AddRow(g1);
  outer.AddRow(g2);
  g1->AddIndeterminate(&a);
  g2->AddIndeterminate(&b);
  std::int32_t printed = 0;
  testing::internal::CaptureStdout();
  outer.ReportIndeterminate(0, &printed);
  outer.ReportIndeterminate(5, &printed);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, 1) << out;
  EXPECT_EQ(out.find("Warning: the following variables are indeterminate:"),
            out.rfind("Warning: the following variables are indeterminate:"));
  // Variables without a tree print no name.
  EXPECT_NE(out.find("  Group 1: \n  Group 2: \n"), std::string::npos) << out;
  EXPECT_NE(out.find("  Sub-group 2 of torn group 5: "), std::string::npos);
}

TEST(BlockFamily, CompiledEvaluationSwitch) {
  struct Loading : DAESSolverBlock {
    const char* CompiledLibraryName() override { return "flowsheet"; }
    Status LoadCompiledLibrary(const char* name) override {
      calls.push_back(name != nullptr ? name : "(unload)");
      return 0x8031000Au;
    }
    std::vector<std::string> calls;
  } block;
  Status load = 0;
  EXPECT_FALSE(block.SetCompiledEvaluation(1, &load));
  EXPECT_TRUE(block.SetCompiledEvaluation(2, &load));
  EXPECT_EQ(load, 0x8031000Au);
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 3u);
  EXPECT_FALSE(block.SetCompiledEvaluation(0, nullptr));
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 0u);
  EXPECT_EQ(block.calls, (std::vector<std::string>{"flowsheet", "(unload)"}));
}

TEST(BlockFamily, ReleaseWorkspaceWithoutOneNeedsSubGroups) {
  DAESSolverBlock plain;
  EXPECT_EQ(plain.ReleaseWorkspace(), daes::kBlockUnsupported);
  plain.AddRow(new DAESEqnRow);
  EXPECT_EQ(plain.ReleaseWorkspace(), daes::kBlockUnsupported);
  DAESSolverBlock outer;
  outer.AddRow(Group(1, 1));
  // The sub-group has neither workspace nor sub-groups of its own.
  EXPECT_EQ(outer.ReleaseWorkspace(), daes::kBlockUnsupported);
}

TEST(BlockFamily, MarkListKeepsIndexOrderAndLargestMark) {
  std::vector<std::unique_ptr<DAESRealVariable>> vars;
  for (std::uint32_t n : {30u, 10u, 20u, 50u, 40u}) {
    vars.push_back(std::make_unique<DAESRealVariable>(nullptr, "v"));
    vars.back()->SetSequenceNumber(n);
  }
  VariableMarkList list;
  std::int32_t mark = -2;
  for (auto& v : vars) EXPECT_EQ(list.Raise(v.get(), mark++), 0u);
  EXPECT_EQ(list.Capacity(), 8u);
  list.Raise(vars[0].get(), -5);  // lower: kept
  list.Raise(vars[1].get(), 7);   // higher: raised
  std::vector<std::uint32_t> order;
  std::vector<std::int32_t> marks;
  for (std::uint32_t i = 0; i < list.Count(); ++i) {
    order.push_back(list.Variable(i)->SequenceNumber());
    marks.push_back(list.Mark(i));
  }
  EXPECT_EQ(order, (std::vector<std::uint32_t>{10, 20, 30, 40, 50}));
  EXPECT_EQ(marks, (std::vector<std::int32_t>{7, 0, -2, 2, 1}));
}

}  // namespace
