// The order in which a client learns of a failed run, through the real
// engine: the lines that say why come before the run-state notice that the
// run has failed, every time, for a steady state and for a dynamic step.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/failing_models.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace failurenotice {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Div;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr int kRepeats = 50;

// p = 0 fixed; y - 1/p = 0: the steady state cannot evaluate its residual.
void DivisionByZero(Writer& w) {
  w.List(3);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".p", 0.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 1.0, 1);
  ModelEquation(w, 10, ".e", Sub(Var(0), Div(Real(1.0), Var(1))), {{2, 2}, {2, 1}});
}

// What arrived, in the order it arrived.
struct Arrival {
  std::uint64_t at = 0;
  bool notice = false;
  std::uint32_t bits = 0;
  std::string line;
};

class FailureNoticeRoad : public EngineRoad {
 protected:
  // Takes what the client holds, in arrival order after what was seen.
  void Gather() {
    for (const vantor_client::Event& event : client_->TakeEvents()) {
      for (const std::string& line : event.lines) seen_.push_back({event.arrival, false, 0, line});
    }
    for (const vantor_client::Message& m : client_->TakeNotifications()) {
      if (m.type != vantor_scenario::kNotificationService || m.body.size() < 16) continue;
      Arrival a{m.arrival, true, 0, ""};
      std::memcpy(&a.bits, m.body.data() + 12, 4);
      seen_.push_back(a);
    }
    std::stable_sort(seen_.begin(), seen_.end(),
                     [](const Arrival& a, const Arrival& b) { return a.at < b.at; });
  }

  // Sends the step command and waits for the first notice that the run
  // ended or failed (running, then not running, or with the failure bit:
  // 0x43D after a failed steady state); false when it did not come, or a
  // line naming `why` had not come before it.
  bool FailsAfterSaying(std::uint32_t command, const std::string& why, std::string* order) {
    Gather();
    const std::size_t from = seen_.size();
    // Sent past the road, which would take the lines and notices for itself.
    std::uint32_t id = 0;
    if (status::IsFailure(client_->Send(MakeCommand(kProblemService, command), &id)) ||
        client_->Await(id) != 0 || client_->Find(id)->status != 0) {
      client_->Forget(id);
      return Fail("the step command was not taken");
    }
    client_->Forget(id);
    std::size_t failed = 0;
    const Status waited = client_->WaitFor([&] {
      Gather();
      bool started = false;
      for (std::size_t i = from; i < seen_.size(); ++i) {
        if (!seen_[i].notice) continue;
        const bool running = (seen_[i].bits & vantor_scenario::kRunningBit) != 0;
        const bool failed_bit = (seen_[i].bits & vantor_scenario::kRunFailedBit) != 0;
        if (running && !failed_bit) started = true;
        if (started && (!running || failed_bit)) {
          failed = i;
          return true;
        }
      }
      return false;
    });
    if (waited != 0) return Fail("no notice that the run ended");
    ended_bits_ = seen_[failed].bits;
    order->clear();
    bool explained = false;
    for (std::size_t i = from; i <= failed; ++i) {
      *order += seen_[i].notice ? "(notice)\n" : seen_[i].line + "\n";
      explained = explained || seen_[i].line.find(why) != std::string::npos;
    }
    return explained;
  }

  std::vector<Arrival> seen_;
  std::uint32_t ended_bits_ = 0;
};

TEST_F(FailureNoticeRoad, AFailedSteadyStateIsExplainedBeforeItsNoticeEveryTime) {
  vantor_client::EngineOptions engine = Engine();
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Notice")) << Failure();
  ASSERT_TRUE(Load(DivisionByZero)) << Failure() << Events();
  ASSERT_TRUE(BeginRun()) << Failure() << Events();
  for (int i = 0; i < kRepeats; ++i) {
    std::string order;
    ASSERT_TRUE(FailsAfterSaying(9, "Error (division by zero)", &order))
        << "solve " << i << ": " << Failure() << "\n"
        << order;
    EXPECT_EQ(ended_bits_, 0x43Du);
    EXPECT_NE(order.find("Steady state solution failure\n(notice)"), std::string::npos) << order;
  }
  // The model is still there, as it was.
  double p = -1.0;
  ASSERT_TRUE(road_->Read(1, &p, "p")) << Failure();
  EXPECT_EQ(p, 0.0);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// A failing dynamic step: its repeated report's count comes before the
// notice as well.
TEST_F(FailureNoticeRoad, AFailedDynamicStepIsExplainedWithItsCountsBeforeItsNotice) {
  vantor_client::EngineOptions engine = Engine();
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  ASSERT_TRUE(StartEngine(engine, "Dynamic")) << Failure();
  ASSERT_TRUE(
      road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {2.0}), "command 32", 0) &&
      IntOption(30, 4) && IntOption(29, 4) && Load(failingmodels::RootOfAFallingState) &&
      BeginRun() && road_->Expect(MakeCommand(kProblemService, 10), "the initialisation", 0) &&
      road_->WaitStep(0.0, "the initialisation"))
      << Failure() << Events();
  std::string order;
  ASSERT_TRUE(
      FailsAfterSaying(10, "evaluating residual in equation Model.root\" was repeated ", &order))
      << Failure() << "\n"
      << order;
  ASSERT_TRUE(FinishRun()) << Failure();
}

}  // namespace failurenotice
