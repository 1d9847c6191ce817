// The heated tank train through its compiled library: every row takes its
// residual and derivatives from the library's Jacobian code, and the block
// a corrector sees gets the same residuals and Jacobian as through the
// tapes, at the steady state, away from it and where an operand leaves its
// domain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "codegen/flowsheet/compiled_flowsheet.h"
#include "daes/problem/solver_equation.h"
#include "foundation/messages/status_and_msg.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tank_train_problem.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Evaluation {
  Status status = 0;
  std::vector<double> residuals;
  std::vector<double> jacobian;
};

class CodegenCompileJacobian : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kUnits = 12;
  static constexpr double kCoefficient = 50.0;

  void SetUp() override {
    ASSERT_TRUE(train_.Ready());
    const fs::path prefix = testsupport::MakeCompiledInstallation(work_.path(), VANTOR_SOURCE_DIR);
    ASSERT_FALSE(prefix.empty());
    fs::create_directories(prefix / "build");
    codegen::FlowsheetGeneration generation;
    generation.server_folder = (prefix / "bin").string();
    generation.folder = (prefix / "build").string();
    generation.report = [](BvuStatusAndMsg* message) { delete message; };
    std::string name;
    ASSERT_EQ(codegen::GenerateCompiledCode(generation, train_.Problem(), &name, nullptr), 0u);
    ASSERT_FALSE(name.empty());
    ASSERT_EQ(codegen::LoadCompiledLibrary(train_.Problem(), name.c_str()), 0u);
    ASSERT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  }
  void TearDown() override { codegen::LoadCompiledLibrary(nullptr, nullptr); }

  // A residual pass, a derivative pass and the block's entries with the
  // derivative columns folded in, as a corrector's set-up asks for them.
  Evaluation Evaluate(std::uint32_t extra) {
    DAESSolverBlock* block = train_.Block();
    Evaluation e;
    e.residuals.assign(block->GetRowCount(), 0.0);
    e.jacobian.assign(train_.Entries(), 0.0);
    double largest = 0.0;
    e.status = block->EvaluateResiduals(daes::kEvalResidual | extra, e.residuals.data(), &largest);
    e.status |= block->EvaluateRows(daes::kEvalDerivatives | daes::kEvalElementSteps | extra);
    e.status |= block->EvaluateJacobianEntries(train_.Entries(), train_.Rows(), train_.Cols(),
                                               e.jacobian.data(), 1, kCoefficient);
    return e;
  }

  static void ExpectSame(const Evaluation& compiled, const Evaluation& tape) {
    EXPECT_EQ(compiled.status, tape.status);
    ASSERT_EQ(compiled.residuals.size(), tape.residuals.size());
    ASSERT_EQ(compiled.jacobian.size(), tape.jacobian.size());
    for (std::size_t k = 0; k < tape.residuals.size(); ++k) {
      EXPECT_NEAR(compiled.residuals[k], tape.residuals[k],
                  1e-12 * std::max(1.0, std::fabs(tape.residuals[k])))
          << "row " << k;
    }
    for (std::size_t k = 0; k < tape.jacobian.size(); ++k) {
      EXPECT_NEAR(compiled.jacobian[k], tape.jacobian[k],
                  1e-12 * std::max(1.0, std::fabs(tape.jacobian[k])))
          << "entry " << k;
    }
  }

  // Every variable moved off its value by a few per cent, each its own way.
  void MoveVariables() {
    DAESProblem* problem = train_.Problem();
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      v->SetValue(v->GetRealValue() * (1.0 + 0.03 * std::sin(1.0 + i)));
    }
  }

  DAESVarTableEntry* Named(const std::string& name) {
    DAESProblem* problem = train_.Problem();
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = problem->GetVariable(i);
      const char* text = v->GetNameText();
      if (text != nullptr && name == text) return v;
    }
    return nullptr;
  }

  testsupport::ScopedEnv use_{"QLN_CE_USE", "1"};
  testsupport::ScopedEnv keep_{"QLN_CE_KEEP", "0"};
  testsupport::TempDir work_;
  testsupport::TankTrainProblem train_{kUnits};
};

TEST_F(CodegenCompileJacobian, EveryTrainRowHasDerivativeCode) {
  DAESProblem* problem = train_.Problem();
  ASSERT_EQ(problem->EquationCount(), static_cast<std::int32_t>(4 * kUnits));
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* row = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(i));
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->HasCompiledJacobian(daes::CurrentCompiledLibrary().generation)) << i;
  }
  // Another writer's library is not this one.
  auto* row = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(0));
  EXPECT_FALSE(row->HasCompiledJacobian(daes::CurrentCompiledLibrary().generation + 1));
}

TEST_F(CodegenCompileJacobian, ResidualsAndJacobianEqualTheTapes) {
  const Evaluation tape = Evaluate(daes::kEvalInterpreted);
  const Evaluation compiled = Evaluate(0);
  ASSERT_EQ(tape.status, 0u);
  ExpectSame(compiled, tape);
  // Away from the steady state the residuals are not zero and the library
  // reads the values the variables were given.
  MoveVariables();
  const Evaluation moved_tape = Evaluate(daes::kEvalInterpreted);
  const Evaluation moved = Evaluate(0);
  ASSERT_EQ(moved_tape.status, 0u);
  EXPECT_GT(*std::max_element(moved_tape.residuals.begin(), moved_tape.residuals.end(),
                              [](double a, double b) { return std::fabs(a) < std::fabs(b); }),
            1e-3);
  ExpectSame(moved, moved_tape);
  // The compiled pass again after the tape's: nothing either left behind.
  ExpectSame(Evaluate(0), moved_tape);
}

TEST_F(CodegenCompileJacobian, AnEmptyTankAgreesWithTheTape) {
  // sqrt(max(M, 0) / A) at M = 0, the edge of the square root's domain:
  // the library's rows hand that equation to the tape.
  DAESVarTableEntry* mass = Named("Train.M3");
  ASSERT_NE(mass, nullptr);
  ASSERT_EQ(mass->SetValue(0.0), 0u);
  const Evaluation tape = Evaluate(daes::kEvalInterpreted);
  const Evaluation compiled = Evaluate(0);
  EXPECT_EQ(compiled.status, tape.status);
  for (std::size_t k = 0; k < tape.residuals.size(); ++k) {
    EXPECT_NEAR(compiled.residuals[k], tape.residuals[k],
                1e-12 * std::max(1.0, std::fabs(tape.residuals[k])));
  }
  // Filled again, the tank's rows take the library's derivatives again.
  ASSERT_EQ(mass->SetValue(20.0), 0u);
  ExpectSame(Evaluate(0), Evaluate(daes::kEvalInterpreted));
}

}  // namespace
