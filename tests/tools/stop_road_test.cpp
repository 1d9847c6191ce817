// A run can always be stopped: while a dynamic step grinds on, the real
// engine answers command 2, request 5 and command 14 at once, the step ends
// at its solvers' next look at the stop request, and closing the client
// ends the engine with an exit code, never a signal.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "tests/tools/engine_road_fixture.h"
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
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;
using Clock = std::chrono::steady_clock;

constexpr Status kEnding = 0x00320024u;
// The communication interval: the step to it, with no bound on its steps
// (Integration.MaxSteps), never ends by itself.
constexpr double kFar = 1e8;
constexpr Status kNoReplyRequest = 0x00320027u;
// The engine's exit code when its client has gone (0xA0000037).
constexpr int kPeerGoneExit = 0x37;

// Robertson's kinetics, y1 + y2 + y3 = 1 from (1, 0, 0): with at most two
// iterations a group solve, corrector groups fail every so often, and the
// unit steps of the default largest step leave the point 1e8 away out of
// reach.
void Robertson(Writer& w) {
  using modelwriter::Real;
  w.List(6);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".y1", 1.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".y2", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".y3", 0.0, 1);
  // y1' + 0.04 y1 - 1e4 y2 y3
  ModelEquation(w, 10, ".e1",
                Sub(Add(Var(0), Mul(Real(0.04), Var(1))), Mul(Mul(Real(1e4), Var(2)), Var(3))),
                {{2, 1, 1}, {2, 1}, {2, 2}, {2, 3}});
  // y2' - 0.04 y1 + 1e4 y2 y3 + 3e7 y2^2
  ModelEquation(w, 11, ".e2",
                Add(Add(Sub(Var(0), Mul(Real(0.04), Var(1))), Mul(Mul(Real(1e4), Var(2)), Var(3))),
                    Mul(Mul(Real(3e7), Var(2)), Var(2))),
                {{2, 2, 1}, {2, 1}, {2, 2}, {2, 3}});
  ModelEquation(w, 12, ".e3", Sub(Add(Add(Var(0), Var(1)), Var(2)), Real(1.0)),
                {{2, 1}, {2, 2}, {2, 3}});
}

class StopRoad : public EngineRoad {
 protected:
  // Prepared, initialised at t = 0, and the step towards kFar under way.
  bool StartTheStuckStep() {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Stop") ||
        !road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {kFar}), "command 32", 0) ||
        !IntOption(29, 4) || !IntOption(30, 4) || !IntOption(24, 2) ||
        !IntOption(103, 2147483647) || !Load(Robertson) || !BeginRun() ||
        !road_->Expect(MakeCommand(kProblemService, 10), "the initialisation", 0) ||
        !road_->WaitStep(0.0, "the initialisation") ||
        !road_->Expect(MakeCommand(kProblemService, 10), "the step", 0))
      return false;
    // The run thread's own line says it is inside the step.
    bool inside = false;
    client_->WaitFor([&] {
      road_->Collect();
      for (const std::string& line : run_.events) {
        if (line.find("Integrating from 0 to") != std::string::npos) inside = true;
      }
      return inside;
    });
    return inside || Fail("the step did not begin");
  }

  // Sends, waits for the answer; its status and how long it took.
  bool Timed(std::unique_ptr<vantor_client::Request> request, const std::string& what,
             Status* result, double* ms) {
    const auto sent = Clock::now();
    if (!road_->Exchange(std::move(request), what, result)) return false;
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    return true;
  }

  // No notification since the step began says it ended.
  bool StillStepping() {
    road_->Collect();
    for (const vantor_scenario::Notification& n : road_->Pending()) {
      if ((n.bits & vantor_scenario::kRunningBit) == 0) return false;
    }
    return true;
  }

  // The engine's exit code once it has gone.
  int ExitCode() {
    client_->WaitFor([&] { return client_->PeerLost(); });
    int exit_code = -1;
    client_->Close(&exit_code);
    client_.reset();
    return exit_code;
  }
};

TEST_F(StopRoad, CommandTwoDuringAStuckStepIsAnsweredAndTheEngineExitsCleanly) {
  ASSERT_TRUE(StartTheStuckStep()) << Failure() << Events();
  Status result = 0;
  double ms = 0.0;
  ASSERT_TRUE(StillStepping());
  auto request = std::make_unique<vantor_client::Request>(kProblemService);
  request->PutUInt16(5);
  ASSERT_TRUE(Timed(std::move(request), "request 5", &result, &ms)) << Failure();
  EXPECT_EQ(result, kNoReplyRequest);
  RecordProperty("request_5_ms", std::to_string(ms));
  ASSERT_TRUE(Timed(MakeCommand(kProblemService, 2), "command 2", &result, &ms)) << Failure();
  EXPECT_EQ(result, kEnding);
  RecordProperty("command_2_ms", std::to_string(ms));
  // At the default print level the grinding step posts no line per solver
  // iteration (it used to post a hundred thousand a second).
  road_->Collect();
  for (const std::string& line : run_.events) {
    ASSERT_EQ(line.rfind("Iteration ", 0), std::string::npos) << line;
  }
  EXPECT_EQ(ExitCode(), 0) << Events();
}

TEST_F(StopRoad, ClosingTheClientDuringAStuckStepEndsTheEngineWithAnExitCode) {
  ASSERT_TRUE(StartTheStuckStep()) << Failure() << Events();
  ASSERT_TRUE(StillStepping());
  int exit_code = -1;
  client_->Close(&exit_code);
  client_.reset();
  EXPECT_EQ(exit_code, kPeerGoneExit);
}

TEST_F(StopRoad, AnInterruptEndsTheStepAndTheEngineGoesOn) {
  ASSERT_TRUE(StartTheStuckStep()) << Failure() << Events();
  Status result = 0;
  double ms = 0.0;
  ASSERT_TRUE(StillStepping());
  ASSERT_TRUE(Timed(MakeCommand(kProblemService, 14), "command 14", &result, &ms)) << Failure();
  EXPECT_EQ(result, 0u);
  RecordProperty("command_14_ms", std::to_string(ms));
  // The problem is still there to be read, and the engine ends as usual.
  double y2 = -1.0;
  ASSERT_TRUE(road_->Read(2, &y2, "y2")) << Failure();
  EXPECT_GE(y2, 0.0);
  EXPECT_LT(y2, 1e-4);
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 2), "command 2", kEnding)) << Failure();
  EXPECT_EQ(ExitCode(), 0) << Events();
}

}  // namespace
