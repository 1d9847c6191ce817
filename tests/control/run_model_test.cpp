// The run model's compiled evaluation over the problem layer's one hook:
// chosen only with a code generator installed, built in the program folder
// after the tapes are made, and a failed build leaves the run interpreted.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/problem/run_model.h"
#include "daes/blocks/solver_block.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/values/packed_value.h"
#include "tests/daes/daes_helpers.h"

namespace {

struct FakeCode : DAESCompiledCode {
  FakeCode() { daes::SetCompiledCode(this); }
  ~FakeCode() { daes::SetCompiledCode(nullptr); }
  Status Generate(DAESProblem* problem, std::int32_t, std::int32_t, std::uint64_t,
                  std::string* library) override {
    // The tapes exist before the code is written from them.
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      auto* row = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(i));
      if (row != nullptr && row->Context() == nullptr) tapes_missing = true;
    }
    *library = "tcex7";
    return generate_status;
  }
  Status Load(DAESProblem*, const char* library) override {
    loads.push_back(library != nullptr ? library : "<none>");
    return 0;
  }
  void SetBuildFolder(const char* folder) override { this->folder = folder; }
  Status generate_status = 0;
  bool tapes_missing = false;
  std::string folder;
  std::vector<std::string> loads;
};

struct Model {
  Model() {
    EXPECT_EQ(tree.Read(daestest::Tank), 0u);
    run.SetInstanceTree(tree.root, nullptr);
    problem.reset(run.CreateProblem(0));
  }
  daestest::Tree tree;
  SimDaesRunModel run;
  std::unique_ptr<DAESProblem> problem;
};

TEST(RunModelCompiled, WithoutAGeneratorTheEquationsStayInterpreted) {
  Model m;
  ASSERT_NE(m.problem, nullptr);
  EXPECT_EQ(m.run.ChooseEvaluator(m.problem.get(), SimRunModel::kCompiled),
            SimDaesRunModel::kNoCompiler);
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 0u);
  EXPECT_EQ(m.run.CompileForRun(m.problem.get(), "/run"), 0u);
  auto* row = static_cast<DAESSolverEquation*>(m.problem->GetEquation(0));
  EXPECT_NE(row->Context(), nullptr);
}

TEST(RunModelCompiled, TheGeneratorBuildsInTheProgramFolderThenLoads) {
  Model m;
  ASSERT_NE(m.problem, nullptr);
  FakeCode code;
  EXPECT_EQ(m.run.ChooseEvaluator(m.problem.get(), SimRunModel::kCompiled), 0u);
  EXPECT_EQ(m.run.CompileForRun(m.problem.get(), "/run/folder"), 0u);
  EXPECT_FALSE(code.tapes_missing);
  EXPECT_EQ(code.folder, "/run/folder");
  EXPECT_EQ(code.loads, std::vector<std::string>{"tcex7"});
  EXPECT_STREQ(m.problem->GetCompiledLibraryName(), "tcex7");
  // The problem unloads its library when it goes.
  m.problem.reset();
  EXPECT_EQ(code.loads.back(), "<none>");
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 0u);
}

TEST(RunModelCompiled, AFailedBuildLeavesTheRunInterpreted) {
  Model m;
  ASSERT_NE(m.problem, nullptr);
  FakeCode code;
  code.generate_status = 0x8000FFFFu;
  EXPECT_EQ(m.run.ChooseEvaluator(m.problem.get(), SimRunModel::kCompiled), 0u);
  EXPECT_EQ(m.run.CompileForRun(m.problem.get(), "/run"), 0u);
  // Nothing loaded by name; only the unload of the interpreted fall-back.
  EXPECT_EQ(code.loads, std::vector<std::string>{"<none>"});
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 0u);
}

}  // namespace
