// Preparations as the modelling environment asks for them: an edit that
// asks for a full preparation (command 29 with its flag) has the next
// command 6 discard the problem and build it anew; a plain edit keeps the
// built problem for a light preparation.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/road.h"

namespace {

using engineroad::DecayModel;
using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr char kBuilt[] = "Simulation has 3 variables, 1 equations and 3 non-zeros";

class PreparationRoad : public EngineRoad {
 protected:
  bool Start() {
    return StartEngine(Engine(), "Prepared") &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {0.1}), "command 32", 0) &&
           IntOption(30, 4) && RealOption(130, 1e-9) && RealOption(131, 1e-9) &&
           IntOption(29, 4) && Load([](Writer& w) { DecayModel(w, ".k", 1.0); });
  }
  // How often the problem was built so far, once `at_least` builds were told.
  int Builds(int at_least) {
    auto count = [&] {
      road_->Collect();
      int n = 0;
      for (const std::string& line : run_.events) n += line == kBuilt;
      return n;
    };
    client_->WaitFor([&] { return count() >= at_least; });
    return count();
  }
  bool Prepare() {
    return road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6", 0) &&
           road_->WaitNotice(
               [](const vantor_scenario::Notification& n) {
                 return (n.bits & engineroad::kPreparedBits) == engineroad::kPreparedBits;
               },
               "prepared again");
  }
  double X() {
    double x = std::nan("");
    road_->Read(2, &x, "x");
    return x;
  }
};

TEST_F(PreparationRoad, AFullPreparationBuildsTheProblemAnewALightOneKeepsIt) {
  ASSERT_TRUE(Start()) << Failure();
  ASSERT_EQ(Builds(1), 1) << Events();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1)) << Failure();

  // A plain edit: the preparation keeps the problem that was built.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 29, {0}), "command 29", 0));
  ASSERT_TRUE(Prepare()) << Failure();
  // The first step initialises where the run stands.
  ASSERT_TRUE(BeginRun() && Step(0.1) && Step(0.2)) << Failure();
  EXPECT_NEAR(X(), std::exp(-0.2), 1e-6);
  EXPECT_EQ(Builds(1), 1) << Events();

  // Asked for in full: the problem is discarded and built again, and the
  // run goes on from where it was.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 29, {1}), "command 29 in full", 0));
  ASSERT_TRUE(Prepare()) << Failure();
  EXPECT_EQ(Builds(2), 2) << Events();
  ASSERT_TRUE(BeginRun() && Step(0.2) && Step(0.3)) << Failure() << Events();
  EXPECT_NEAR(X(), std::exp(-0.3), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace
