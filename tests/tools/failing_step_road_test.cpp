// Dynamic steps that fail, through the real engine: what the engine tells
// the client about them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/failing_models.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

// x' = -1 from x(0) = 1, and y^2 = x: past t = 1 no y satisfies it.
void SquareOfAFallingState(Writer& w) {
  w.List(4);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 1.0, 1);
  ModelEquation(w, 10, ".rate", Add(Var(0), Real(1.0)), {{2, 1, 1}});
  ModelEquation(w, 11, ".square", Sub(Mul(Var(0), Var(0)), Var(1)), {{2, 2}, {2, 1}});
}

class FailingStepRoad : public EngineRoad {
 protected:
  bool Start(const std::function<void(Writer&)>& model) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    return StartEngine(engine, "Fail") &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {2.0}), "command 32",
                         0) &&
           IntOption(30, 4) && IntOption(29, 4) && Load(model) && BeginRun() &&
           road_->Expect(MakeCommand(kProblemService, 10), "the initialisation", 0) &&
           road_->WaitStep(0.0, "the initialisation");
  }
  // The step to t = 2, which fails; the event lines it posted.
  bool FailingStep(std::vector<std::string>* lines) {
    const std::size_t before = run_.events.size();
    if (!road_->Expect(MakeCommand(kProblemService, 10), "the step", 0)) return false;
    bool failed = false;
    if (!road_->WaitNotice(
            [&](const vantor_scenario::Notification& n) {
              failed = failed || (n.bits & vantor_scenario::kRunFailedBit) != 0;
              return failed || (n.bits & vantor_scenario::kRunningBit) == 0;
            },
            "the step"))
      return false;
    // Lines still on their way.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    client_->WaitFor([&] { return std::chrono::steady_clock::now() > until; });
    road_->Collect();
    lines->assign(run_.events.begin() + static_cast<std::ptrdiff_t>(before), run_.events.end());
    return failed || Fail("the step did not fail");
  }
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// Every evaluation of the root past t = 1 fails: the report used to come
// 321 times, seven lines each. Now once, and its repeats once with a count.
TEST_F(FailingStepRoad, AFailingStepTellsEachReportOnceWithItsCount) {
  ASSERT_TRUE(Start(failingmodels::RootOfAFallingState)) << Failure() << Events();
  std::vector<std::string> lines;
  ASSERT_TRUE(FailingStep(&lines)) << Failure() << Events();
  EXPECT_LE(lines.size(), 16u) << Joined(lines);
  int reports = 0, counts = 0;
  for (const std::string& line : lines) {
    if (line.rfind("Error (argument outside defined domain for this function) evaluating residual "
                   "in equation Model.root",
                   0) == 0)
      ++reports;
    if (line.find("evaluating residual in equation Model.root\" was repeated ") !=
        std::string::npos)
      ++counts;
  }
  EXPECT_EQ(reports, 1) << Joined(lines);
  EXPECT_EQ(counts, 1) << Joined(lines);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// Past t = 1 no y has y^2 = x: the corrector's failure names the group and
// the equation of its largest residual.
TEST_F(FailingStepRoad, ACorrectorThatCannotConvergeNamesItsGroupAndWorstEquation) {
  ASSERT_TRUE(Start(SquareOfAFallingState)) << Failure() << Events();
  std::vector<std::string> lines;
  ASSERT_TRUE(FailingStep(&lines)) << Failure() << Events();
  const std::string all = Joined(lines);
  const std::size_t failed =
      all.find("The corrector did not converge although the integration step was cut repeatedly\n");
  ASSERT_NE(failed, std::string::npos) << all;
  const std::size_t named =
      all.find("the corrector's largest residual is in equation Model.square");
  EXPECT_NE(named, std::string::npos) << all;
  EXPECT_EQ(all.rfind("Group ", named), all.find('\n', failed) + 1) << all;
  ASSERT_TRUE(FinishRun()) << Failure();
}

}  // namespace
