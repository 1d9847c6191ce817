// A model whose equation cannot be evaluated, through the real engine: the
// root of a sum of 20,000 terms that is negative. The engine reports the
// failure with the sum as the part at fault, whole, and stays up: the run
// fails, the engine ends normally.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr int kTerms = 20000;

// p = -1 fixed; y - SQRT(SIGMA(p, p, ..., p)) = 0.
void NegativeRoot(Writer& w) {
  using namespace modelwriter;
  w.List(3);
  ModelVariable(w, kRealVariable, 1, ".p", -1.0, 4);
  ModelVariable(w, kRealVariable, 2, ".y", 0.0, 0);
  std::vector<Expr> terms(kTerms, Var(1));
  ModelEquation(w, 10, ".e", Sub(Var(0), Sqrt(Sigma(List(std::move(terms))))), {{2, 2}, {2, 1}});
}

class FailingEquationRoad : public EngineRoad {
 protected:
  // The event lines so far, with those still on their way.
  std::string Events() {
    if (client_ != nullptr && road_ != nullptr) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      client_->WaitFor([&] { return std::chrono::steady_clock::now() > until; });
      road_->Collect();
    }
    std::string all;
    for (const std::string& line : run_.events) all += line + "\n";
    return all;
  }
};

TEST_F(FailingEquationRoad, ALongSumAtFaultIsReportedWholeAndTheEngineStaysUp) {
  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(60000);
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Root")) << Failure();
  ASSERT_TRUE(Load(NegativeRoot)) << Failure() << Events();
  ASSERT_TRUE(BeginRun()) << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0))
      << Failure();
  // The printer wraps long lines: the report is read joined up again.
  std::string joined;
  const Status waited = client_->WaitFor([&] {
    road_->Collect();
    joined.clear();
    for (const std::string& line : run_.events) joined += line;
    return joined.find("Steady state solution failure") != std::string::npos;
  });
  ASSERT_EQ(waited, 0u) << Events();
  std::string sum = "SIGMA(Model.p";
  for (int k = 1; k < kTerms; ++k) sum += ",Model.p";
  sum += ")";
  EXPECT_NE(joined.find("Sub-expression at fault: " + sum + "Active Variable Values:"),
            std::string::npos)
      << joined.substr(0, 2000);
  auto end = std::make_unique<vantor_client::Request>(kProblemService);
  end->PutUInt16(134);
  ASSERT_TRUE(road_->Expect(std::move(end), "request 134", engineroad::kRunEnded)) << Failure();
  ASSERT_TRUE(EndEngine()) << Failure();
}

// p = -1 fixed; y - SQRT(p) = 0: the engine's message names the equation
// it could not evaluate, its placeholder filled with the equation's name.
TEST_F(FailingEquationRoad, TheMessageNamesTheEquationItCouldNotEvaluate) {
  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(60000);
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Named")) << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    using namespace modelwriter;
    w.List(3);
    ModelVariable(w, kRealVariable, 1, ".p", -1.0, 4);
    ModelVariable(w, kRealVariable, 2, ".y", 0.0, 0);
    ModelEquation(w, 10, ".root", Sub(Var(0), Sqrt(Var(1))), {{2, 2}, {2, 1}});
  })) << Failure() << Events();
  ASSERT_TRUE(BeginRun()) << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 9), "the steady state (command 9)", 0))
      << Failure();
  std::string named;
  const Status waited = client_->WaitFor([&] {
    road_->Collect();
    for (const std::string& line : run_.events)
      if (line.find("evaluating residual in equation") != std::string::npos) named = line;
    return !named.empty();
  });
  ASSERT_EQ(waited, 0u) << Events();
  EXPECT_EQ(named.substr(named.find(" evaluating")), " evaluating residual in equation Model.root")
      << named;
  EXPECT_EQ(named.find('@'), std::string::npos) << named;
  auto end = std::make_unique<vantor_client::Request>(kProblemService);
  end->PutUInt16(134);
  ASSERT_TRUE(road_->Expect(std::move(end), "request 134", engineroad::kRunEnded)) << Failure();
  ASSERT_TRUE(EndEngine()) << Failure();
}

}  // namespace
