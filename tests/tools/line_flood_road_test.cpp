// Dynamic steps that fail by doing the same thing over and over, through
// the real engine, at the default print level unless a test says otherwise:
// a solution that blows up and a step that grinds on with an indeterminate
// linear group at every corrector attempt. Each repeated line is told once
// with its count, and the step ends with a line saying why (the pole, or
// Integration.MaxSteps), even to a client that read nothing while the step
// flooded it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/hang_bound.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/failing_models.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace lineflood {

using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using modelwriter::Mul;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kMaxSteps = 103;
// At most "a few dozen" lines for a failing step.
constexpr std::size_t kMostLines = 30;

// x' = x^2 from 1e6: x = 1 / (1e-6 - t) blows up at t = 1e-6.
void BlowUp(Writer& w) {
  w.List(2);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1e6, 32);
  ModelEquation(w, 10, ".rate", Sub(Var(0), Mul(Var(1), Var(1))), {{2, 1, 1}, {2, 1}});
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// How often the line was told, and the count its repeats were given (-1
// without a count line).
struct Told {
  int times = 0;
  long repeats = -1;
};

Told Count(const std::vector<std::string>& lines, const std::string& line) {
  Told told;
  const std::string counted = "The report \"" + line + "\" was repeated ";
  for (const std::string& l : lines) {
    if (l == line) ++told.times;
    if (l.rfind(counted, 0) == 0) told.repeats = std::stol(l.substr(counted.size()));
  }
  return told;
}

// The line that names the bound, or "".
std::string BoundLine(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (line.find("Integration.MaxSteps") != std::string::npos) return line;
  }
  return "";
}

// The engine's standard output on a pipe the test reads, the test's own
// put back once the engine has started.
class EngineOutput {
 public:
  ~EngineOutput() {
    if (read_ >= 0) ::close(read_);
  }
  bool Catch(const std::function<bool()>& start) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read_ = ends[0];
    ::fcntl(read_, F_SETFL, O_NONBLOCK);
    std::fflush(stdout);
    const int kept = ::dup(1);
    ::dup2(ends[1], 1);
    ::close(ends[1]);
    const bool started = start();
    std::fflush(stdout);
    ::dup2(kept, 1);
    ::close(kept);
    return started;
  }
  // Whether it has said the text so far.
  bool Says(const std::string& text) {
    char piece[4096];
    for (ssize_t n; (n = ::read(read_, piece, sizeof piece)) > 0;)
      said_.append(piece, static_cast<std::size_t>(n));
    return said_.find(text) != std::string::npos;
  }

 private:
  int read_ = -1;
  std::string said_;
};

class LineFloodRoad : public EngineRoad {
 protected:
  // Dynamic mode at the default print level, the step bound given, the
  // model initialised at t = 0.
  bool Start(const std::function<void(Writer&)>& model, double interval, std::int32_t bound) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    const auto start = [&] { return StartEngine(engine, "Flood"); };
    return (output_ != nullptr ? output_->Catch(start) : start()) &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {interval}), "command 32",
                         0) &&
           IntOption(30, 4) && IntOption(29, 4) && IntOption(kMaxSteps, bound) && Load(model) &&
           BeginRun() && road_->Expect(MakeCommand(kProblemService, 10), "the initialisation", 0) &&
           road_->WaitStep(0.0, "the initialisation");
  }

  // A step that fails: the lines it posted, all there when the notice that
  // it ended is, and the time it reached. The client reads nothing after
  // sending the step until `looked_away` holds, when one is given.
  bool FailingStep(std::vector<std::string>* lines, double* reached,
                   const std::function<bool()>& looked_away = nullptr) {
    road_->Collect();
    const std::size_t before = run_.events.size();
    std::uint32_t id = 0;
    if (client_->Send(MakeCommand(kProblemService, 10), &id) != 0)
      return Fail("the step: not sent");
    const auto patience =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::minutes(5));
    while (looked_away && !looked_away() && std::chrono::steady_clock::now() < patience)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool answered = client_->Await(id) == 0 && client_->Find(id)->status == 0;
    client_->Forget(id);
    if (!answered) return Fail("the step: not answered with 0");
    bool started = false;
    bool failed = false;
    if (!road_->WaitNotice(
            [&](const vantor_scenario::Notification& n) {
              const bool running = (n.bits & vantor_scenario::kRunningBit) != 0;
              failed = (n.bits & vantor_scenario::kRunFailedBit) != 0;
              if (running && !failed) started = true;
              return started && !running;
            },
            "the step"))
      return false;
    lines->assign(run_.events.begin() + static_cast<std::ptrdiff_t>(before), run_.events.end());
    *reached = road_->Last().time;
    return failed || Fail("the step did not fail");
  }

  // Set before Start: the engine's standard output, read by the test.
  EngineOutput* output_ = nullptr;
};

// At the pole the steps shrink until they no longer move time: that ends
// the step at once, in a few lines, long before the step bound would.
TEST_F(LineFloodRoad, ABlowUpEndsAtThePoleInAFewLinesBeforeTheStepBound) {
  ASSERT_TRUE(Start(BlowUp, 1.0, 20000)) << Failure() << Events();
  std::vector<std::string> lines;
  double reached = 0.0;
  ASSERT_TRUE(FailingStep(&lines, &reached)) << Failure() << Events();
  EXPECT_LE(lines.size(), kMostLines) << Joined(lines);
  int still = 0;
  for (const std::string& line : lines) {
    if (line.rfind("The integration stands still at t = ", 0) == 0) ++still;
    EXPECT_EQ(line.find("Integration.MaxSteps"), std::string::npos) << Joined(lines);
  }
  EXPECT_EQ(still, 1) << Joined(lines);
  EXPECT_GT(reached, 0.99e-6);
  EXPECT_LT(reached, 1e-6);
  double x = 0.0;
  ASSERT_TRUE(road_->Read(1, &x, "x")) << Failure();
  EXPECT_GT(x, 1e8) << "at " << reached;
  ASSERT_TRUE(FinishRun()) << Failure();
}

TEST_F(LineFloodRoad, AStalledStepTellsItsIndeterminateGroupOnceAndEndsAtTheStepBound) {
  ASSERT_TRUE(Start(failingmodels::StalledGroup, 1e8, 5000)) << Failure() << Events();
  std::vector<std::string> lines;
  double reached = 0.0;
  ASSERT_TRUE(FailingStep(&lines, &reached)) << Failure() << Events();
  EXPECT_LE(lines.size(), kMostLines) << Joined(lines);
  std::string warning;
  std::string variable;
  for (const std::string& line : lines) {
    if (line.rfind("Warning: linear group ", 0) == 0) warning = line;
    if (line.rfind("Indeterminate variable Model.y", 0) == 0) variable = line;
  }
  ASSERT_NE(warning, "") << Joined(lines);
  ASSERT_NE(variable, "") << Joined(lines);
  for (const std::string& line : {warning, variable}) {
    const Told told = Count(lines, line);
    EXPECT_EQ(told.times, 1) << line;
    // Nearly every one of the 5,000 steps solved the group again.
    EXPECT_GE(told.repeats, 2500) << Joined(lines);
  }
  EXPECT_NE(BoundLine(lines).find("Integration.MaxSteps (5000) ends the step"), std::string::npos)
      << Joined(lines);
  // The values where the step ended: x = 1 + t, y1 + y2 = SQRT(x).
  double x = 0.0, y1 = 0.0, y2 = 0.0;
  ASSERT_TRUE(road_->Read(1, &x, "x") && road_->Read(2, &y1, "y1") && road_->Read(3, &y2, "y2"))
      << Failure();
  EXPECT_GT(reached, 100.0);
  EXPECT_NEAR(x, 1.0 + reached, 1e-6 * x);
  EXPECT_NEAR(y1 + y2, std::sqrt(x), 1e-6);
  // A larger bound takes the next step further, told once again.
  ASSERT_TRUE(IntOption(kMaxSteps, 10000)) << Failure();
  double further = 0.0;
  ASSERT_TRUE(FailingStep(&lines, &further)) << Failure() << Events();
  EXPECT_GT(further, reached) << Joined(lines);
  EXPECT_LE(lines.size(), kMostLines) << Joined(lines);
  EXPECT_NE(BoundLine(lines).find("Integration.MaxSteps (10000) ends the step"), std::string::npos)
      << Joined(lines);
  ASSERT_TRUE(road_->Read(1, &x, "x")) << Failure();
  EXPECT_NEAR(x, 1.0 + further, 1e-6 * x);
  // A bound of no step is kept as written, but the integrator refuses it,
  // says so, and goes on with the bound in force.
  for (const std::int32_t refused : {0, -5}) {
    road_->Collect();
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(IntOption(kMaxSteps, static_cast<std::uint32_t>(refused))) << Failure();
    const std::string told =
        "The integrator refuses Integration.MaxSteps = " + std::to_string(refused) +
        " and goes on with 10000";
    const auto times = [&] {
      road_->Collect();
      const std::vector<std::string> since(
          run_.events.begin() + static_cast<std::ptrdiff_t>(before), run_.events.end());
      return Count(since, told).times;
    };
    client_->WaitFor([&] { return times() > 0; });
    EXPECT_EQ(times(), 1) << Events();
  }
  ASSERT_TRUE(FailingStep(&lines, &further)) << Failure() << Events();
  EXPECT_NE(BoundLine(lines).find("Integration.MaxSteps (10000) ends the step"), std::string::npos)
      << Joined(lines);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// At print level 5 the step floods a client that reads nothing until the
// engine has said on its standard output that the step ran out of steps:
// lines it cannot hold are dropped and counted, but the lines that say why
// the step ended still come before the notice that it failed.
TEST_F(LineFloodRoad, AClientThatLooksAwayStillLearnsWhyTheStepEnded) {
  EngineOutput output;
  output_ = &output;
  ASSERT_TRUE(Start(failingmodels::StalledGroup, 1e8, 20000) && IntOption(31, 5))
      << Failure() << Events();
  std::vector<std::string> lines;
  double reached = 0.0;
  ASSERT_TRUE(FailingStep(&lines, &reached, [&] { return output.Says("took too many steps"); }))
      << Failure();
  const std::string dropped = " message lines were dropped: they came faster than the client";
  long went = 0;
  for (const std::string& line : lines)
    if (line.find(dropped) != std::string::npos) went += std::stol(line);
  // Whether lines were dropped depends on which side ran ahead; none went
  // untold: the step's 10,000 different reports (the bound of a step)
  // came, or were counted among the dropped.
  EXPECT_GE(static_cast<long>(lines.size()) + went, 10000) << went << " dropped";
  EXPECT_NE(BoundLine(lines).find("Integration.MaxSteps (20000) ends the step"), std::string::npos)
      << Joined({lines.end() - std::min<std::ptrdiff_t>(40, std::ssize(lines)), lines.end()});
  EXPECT_GE(engineroad::CountStarting(lines, "The report \"Indeterminate variable Model.y"), 1u);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// The initialisation of a model with an indeterminate group spaces its
// lines with blank ones, the list of indeterminate variables among them:
// a blank line is told each time, never counted as a repeat.
TEST_F(LineFloodRoad, ABlankLineIsNeverCountedAsARepeat) {
  // x' = 1 beside exp(x1 + x2) = e^2 and 2 x1 + 2 x2 = 4: one equation too
  // few for x1 and x2, yet consistent.
  const auto model = [](Writer& w) {
    w.List(6);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
    ModelVariable(w, modelwriter::kRealVariable, 2, ".x1", 0.0, 1);
    ModelVariable(w, modelwriter::kRealVariable, 3, ".x2", 0.0, 1);
    ModelEquation(w, 10, ".rate", Sub(Var(0), modelwriter::Real(1.0)), {{2, 1, 1}});
    ModelEquation(w, 11, ".e1",
                  Sub(modelwriter::Unary(32, modelwriter::Add(Var(0), Var(1))),
                      modelwriter::Real(std::exp(2.0))),
                  {{2, 2}, {2, 3}});
    ModelEquation(w, 12, ".e2",
                  Sub(modelwriter::Add(Mul(modelwriter::Real(2.0), Var(0)),
                                       Mul(modelwriter::Real(2.0), Var(1))),
                      modelwriter::Real(4.0)),
                  {{2, 2}, {2, 3}});
  };
  ASSERT_TRUE(Start(model, 1.0, 100)) << Failure() << Events();
  road_->Collect();
  EXPECT_GE(engineroad::CountStarting(run_.events, "Warning: the following variables are "
                                                   "indeterminate:"),
            1u)
      << Events();
  EXPECT_EQ(engineroad::CountStarting(run_.events, "The report \" "), 0u) << Events();
  EXPECT_EQ(engineroad::CountStarting(run_.events, "The report \"\""), 0u) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

}  // namespace lineflood
