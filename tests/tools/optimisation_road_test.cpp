// Optimisation through the real engine in the reduced space, as the
// modelling environment drives it: the model loaded through the instance
// manager, the optimisation started and defined (service 112, kinds 60 and
// 76), runs that the optimisation action repeats until the optimum, then
// the results (kind 90). The full space has a road of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/optimisation_road.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"
#include "workloads/nist_problems.h"

#if defined(VANTOR_NLP_LIBRARIES)

namespace {

using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::kRunEnded;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using engineroad::Reader;
using modelwriter::Add;
using modelwriter::Mul;
using modelwriter::Real;
using modelwriter::Sub;
using modelwriter::Var;
using modelwriter::Writer;
using optimisationroad::kOptimisationService;
using optimisationroad::Optimum;
using vantor_client::MakeCommand;

constexpr double kHs071Optimum = 17.0140173;

void Quadratic(Writer& w);

class OptimisationRoad : public optimisationroad::OptimisationFixture {
 protected:
  // A plain dynamic run over [0, 1] in ten communication intervals with u
  // held at u[0] on [0, 0.5] and u[1] after; variable 4 read at 0.5 and 1.
  bool RunPiecewise(const std::function<void(Writer&)>& model, const double (&u)[2],
                    double (&read)[2]) {
    if (!Start(1, model, 4) || !Set("u", u[0]) || !BeginRun()) return false;
    for (int k = 0; k <= 10; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) ||
          !road_->WaitStep(0.1 * k, what))
        return false;
      if (k == 5 && (!road_->Read(4, &read[0], "at 0.5") || !Set("u", u[1]))) return false;
    }
    return road_->Read(4, &read[1], "at 1") && Finish();
  }

  bool RunCost(double u, double* cost) {
    double read[2] = {};
    if (!RunPiecewise(Quadratic, {u, u}, read)) return false;
    *cost = read[1];
    return true;
  }

  // A plain dynamic run stepped by the communication interval: u takes
  // u[k] from step switches[k] (switches[0] = 0); y (4) read after each
  // step listed in `reads`.
  bool RunSwitches(const std::function<void(Writer&)>& model, const std::vector<int>& switches,
                   const std::vector<double>& u, const std::vector<int>& reads,
                   std::vector<double>* read) {
    read->assign(reads.size(), 0.0);
    if (!Start(1, model, 4) || !Set("u", u[0]) || !BeginRun()) return false;
    int last = 0;
    for (int r : reads) last = std::max(last, r);
    for (int k = 0; k <= last; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) ||
          !road_->WaitStep(communication_ * k, what))
        return false;
      for (std::size_t i = 0; i < reads.size(); ++i) {
        if (reads[i] == k && !road_->Read(4, &(*read)[i], what)) return false;
      }
      for (std::size_t i = 1; i < switches.size(); ++i) {
        if (switches[i] == k && !Set("u", u[i])) return false;
      }
    }
    return Finish();
  }

  // The first debug dump of an optimisation with `p` variables: the point,
  // the objective's gradient and the first constraint's.
  bool FirstDump(std::size_t p, std::vector<double>* point, std::vector<double>* objective,
                 std::vector<double>* constraint) {
    const std::vector<std::string>& lines = run_.events;
    auto value_after = [&](std::size_t at, const std::string& mark, double* out) {
      for (std::size_t k = at; k < lines.size(); ++k) {
        const std::size_t where = lines[k].find(mark);
        if (where == std::string::npos) continue;
        if (out == nullptr) return k;
        char* end = nullptr;
        const std::string rest = lines[k].substr(where + mark.size());
        *out = std::strtod(rest.c_str(), &end);
        if (end == rest.c_str()) continue;
        return k;
      }
      return lines.size();
    };
    point->assign(p, 0.0);
    objective->assign(p, 0.0);
    constraint->assign(p, 0.0);
    std::size_t at =
        value_after(0, "Calling Optimizer with optimization variable values:", nullptr);
    for (std::size_t j = 0; j < p && at < lines.size(); ++j)
      at = value_after(at + 1, std::to_string(j + 1) + "  ", &(*point)[j]);
    for (std::size_t j = 0; j < p && at < lines.size(); ++j)
      at = value_after(at + 1, "Objective wrt variable " + std::to_string(j + 1) + " = ",
                       &(*objective)[j]);
    if (at < lines.size()) at = value_after(at + 1, "Constraint 1 gradients:", nullptr);
    for (std::size_t j = 0; j < p && at < lines.size(); ++j)
      at = value_after(at + 1, std::to_string(j + 1) + "  ", &(*constraint)[j]);
    return at < lines.size() ? true : Fail("no complete debug dump");
  }

  // An optimisation of `model` over the moving elements of
  // MovingDefinition(times, u), run for its first debug dump: the point
  // and both gradient rows over the control values and the lengths.
  bool MovingFirstDump(const std::function<void(Writer&)>& model, const std::vector<double>& times,
                       const std::vector<double>& u, std::vector<double>* point,
                       std::vector<double>* objective, std::vector<double>* constraint);
};

// x1..x4 fixed (indices 1-4), f (5), g (6) and h (7) free, their equations
// (10-12): f = x1 x4 (x1 + x2 + x3) + x3, g = x1 x2 x3 x4,
// h = x1^2 + x2^2 + x3^2 + x4^2 - 40. Its ten items, for a larger model.
void Hs071Items(Writer& w) {
  const double start[] = {1.0, 5.0, 5.0, 1.0};
  for (std::uint32_t i = 1; i <= 4; ++i) {
    ModelVariable(w, modelwriter::kRealVariable, i, ".x" + std::to_string(i), start[i - 1], 4);
  }
  const char* names[] = {".f", ".g", ".h"};
  const double values[] = {17.0, 25.0, 12.0};
  for (std::uint32_t i = 0; i < 3; ++i) {
    ModelVariable(w, modelwriter::kRealVariable, 5 + i, names[i], values[i], 1);
  }
  // Var(0) is the equation's own variable, Var(1..4) x1..x4.
  auto equation = [&](std::uint32_t index, std::uint32_t variable, const modelwriter::Expr& rhs,
                      const char* name) {
    w.Item(modelwriter::kInlineEquation);
    w.U32(0);
    w.Expression(Sub(Var(0), rhs));
    w.Placement({Node(), {index, name}});
    w.EquationHead(5);
    w.Reference({2, variable});
    for (std::uint32_t i = 1; i <= 4; ++i) w.Reference({2, i});
  };
  equation(10, 5, Add(Mul(Mul(Var(1), Var(4)), Add(Add(Var(1), Var(2)), Var(3))), Var(3)), ".ef");
  equation(11, 6, Mul(Mul(Mul(Var(1), Var(2)), Var(3)), Var(4)), ".eg");
  equation(12, 7,
           Sub(Add(Add(Add(Mul(Var(1), Var(1)), Mul(Var(2), Var(2))), Mul(Var(3), Var(3))),
                   Mul(Var(4), Var(4))),
               Real(40.0)),
           ".eh");
}

void Hs071(Writer& w) {
  w.List(10);
  Hs071Items(w);
}

// Decision x1..x4 in [1, 5] from (1, 5, 5, 1); objective f; h = 0 (the
// equality first), g >= 25.
void Hs071Definition(Writer& w) {
  const double start[] = {1.0, 5.0, 5.0, 1.0};
  w.U16(76);
  w.U8(0), w.F64(0.0), w.U16(0);
  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(0);
  w.F64(0.0), w.F64(0.0);
  w.U16(4);
  for (std::uint32_t i = 1; i <= 4; ++i) {
    w.IdPath({2, i});
    w.F64(1.0), w.F64(5.0), w.F64(start[i - 1]);
  }
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 5});
  w.U16(2), w.U16(1), w.U16(2);
  w.IdPath({2, 7});
  w.U16(1), w.U16(0), w.F64(0.0), w.U16(0);
  w.IdPath({2, 6});
  w.U16(1), w.U16(0), w.F64(0.0), w.U16(2), w.F64(25.0);
  w.U16(0xFFFF);
}

void CheckHs071(const Optimum& o) {
  EXPECT_NEAR(o.objective, kHs071Optimum, 1e-6 * kHs071Optimum);
  const double x[] = {1.0, 4.7429994, 3.8211503, 1.3794082};
  ASSERT_EQ(o.x.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(o.x[static_cast<std::size_t>(i)], x[i], 1e-4);
  ASSERT_EQ(o.constrained.size(), 2u);
  EXPECT_NEAR(o.constrained[0], 0.0, 1e-6);
  EXPECT_NEAR(o.constrained[1], 25.0, 1e-5);
  // x1 sits on its lower bound.
  ASSERT_EQ(o.lower.size(), 4u);
  EXPECT_GT(o.lower[0], 1e-3);
}

// Needs the integrator server to hand an all-algebraic model a sensitivity
// matrix (it refuses an empty one today).
TEST_F(OptimisationRoad, Hs071InReducedSpaceReachesItsOptimum) {
  ASSERT_TRUE(Start(1, Hs071)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(Hs071Definition, "kind 76")) << Failure();
  Optimum o;
  ASSERT_TRUE(Optimise(4, 2, &o)) << Failure() << Events();
  CheckHs071(o);
  ASSERT_TRUE(StopOptimisation()) << Failure();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// A print level and an evaluation bound out of their bounds are stored; the
// optimizer says once for each what it goes on with, and reaches the
// optimum with them.
TEST_F(OptimisationRoad, OptionsOutOfTheirBoundsAreToldOnceWithWhatIsUsed) {
  ASSERT_TRUE(Start(1, Hs071) && IntOption(128, 7) && IntOption(113, 0)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(Hs071Definition, "kind 76")) << Failure();
  Optimum o;
  ASSERT_TRUE(Optimise(4, 2, &o)) << Failure() << Events();
  CheckHs071(o);
  const std::string level = "The optimizer refuses OptimizationPrintLevel = 7 and goes on with 4";
  const std::string bound = "The optimizer refuses Feasopt.MaxEval = 0 and goes on with 100";
  client_->WaitFor([&] {
    road_->Collect();
    return std::count(run_.events.begin(), run_.events.end(), bound) > 0;
  });
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), level), 1) << Events();
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), bound), 1) << Events();
  // Not told again and counted as repeats either.
  EXPECT_EQ(engineroad::RepeatCount(run_.events, level), -1) << Events();
  EXPECT_EQ(engineroad::RepeatCount(run_.events, bound), -1) << Events();
  ASSERT_TRUE(StopOptimisation()) << Failure();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// Every solve of an optimisation is a steady state of the one run command:
// at print level 3 each says so, and the line is told once for the whole
// optimisation, its count when the run comes to rest.
TEST_F(OptimisationRoad, AnOptimisationTellsALineOfEverySolveOnceWithItsCount) {
  ASSERT_TRUE(Start(1, Hs071) && IntOption(31, 3)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(Hs071Definition, "kind 76")) << Failure();
  Optimum o;
  ASSERT_TRUE(Optimise(4, 2, &o)) << Failure() << Events();
  CheckHs071(o);
  const std::string line = "Solving steady state ...";
  client_->WaitFor([&] {
    road_->Collect();
    return engineroad::RepeatCount(run_.events, line) >= 0;
  });
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), line), 1) << Events();
  EXPECT_GE(engineroad::RepeatCount(run_.events, line), 5) << Events();
  ASSERT_TRUE(StopOptimisation()) << Failure();
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// HS071 beside 6,000 groups that are singular at every solve: past the
// different reports a command keeps, every steady state of the
// optimisation ends with the list of their indeterminate variables. The
// list is told once, header and all, and counted after; the optimisation's
// lines do not grow with its solves, and its optimum comes.
TEST_F(OptimisationRoad, AnOptimisationBesideManySingularGroupsTellsTheirListOnce) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr std::uint32_t kPairs = 6000;
  ASSERT_TRUE(Start(1, [](Writer& w) {
    w.List(10 + 4 * kPairs);
    Hs071Items(w);
    engineroad::SingularPairs(w, 100, kPairs);
  })) << Failure();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(Hs071Definition, "kind 76")) << Failure();
  Optimum o;
  ASSERT_TRUE(Optimise(4, 2, &o)) << Failure();
  CheckHs071(o);
  ASSERT_TRUE(StopOptimisation()) << Failure();
  ASSERT_TRUE(EndRun()) << Failure();
  const std::vector<std::string> lines = LinesSince(0);
  RecordProperty("lines", std::to_string(lines.size()));
  engineroad::ExpectAListToldOnce(lines, kPairs);
  EXPECT_EQ(engineroad::CountStarting(lines, "Optimum found after "), 1u);
  ASSERT_TRUE(EndEngine()) << Failure();
}

// x' = u from x(0) = 1, z' = u^2 from z(0) = 0, J = x^2 + z: u (3) fixed,
// x (1) and z (2) states, J (4) free; equations 10-12.
void Quadratic(Writer& w) {
  w.List(7);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 1.0, 32);
  ModelVariable(w, modelwriter::kStateVariable, 2, ".z", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".u", 0.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, 4, ".J", 1.0, 1);
  ModelEquation(w, 10, ".ex", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 3}});
  ModelEquation(w, 11, ".ez", Sub(Var(0), Mul(Var(1), Var(1))), {{2, 2, 1}, {2, 3}});
  ModelEquation(w, 12, ".eJ", Sub(Var(0), Add(Mul(Var(1), Var(1)), Var(2))),
                {{2, 4}, {2, 1}, {2, 2}});
}

// One element on [0, 1], u piecewise constant in [-2, 2] from 0; minimise J.
void QuadraticDefinition(Writer& w) {
  w.U16(76);
  w.U8(1), w.F64(1.0), w.U16(1);
  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(0);
  w.F64(0.5), w.F64(2.0);
  w.F64(0.5), w.F64(2.0);
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 3});
  w.F64(0.0), w.F64(0.0), w.F64(-2.0), w.F64(2.0);
  w.U16(1);
  w.IdPath({2, 4});
  w.U16(0), w.U16(0), w.U16(0);
  w.U16(0xFFFF);
}

TEST_F(OptimisationRoad, DynamicControlOfAQuadraticCost) {
  ASSERT_TRUE(Start(1, Quadratic, 4)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(QuadraticDefinition, "kind 76")) << Failure();
  values_per_control_ = 1;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 0, &o)) << Failure() << Events();
  EXPECT_NEAR(o.objective, 0.5, 1e-6);
  ASSERT_EQ(o.controls.size(), 1u);
  EXPECT_NEAR(o.controls[0], -0.5, 1e-4);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// The gradient the run collects (the optimiser's debug dump at print level
// 4 prints it for the start u = 0) against central differences of re-runs.
TEST_F(OptimisationRoad, CollectedGradientMatchesCentralDifferences) {
  ASSERT_TRUE(Start(1, Quadratic, 4)) << Failure() << Events();
  ASSERT_TRUE(IntOption(128, 4)) << Failure();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(QuadraticDefinition, "kind 76")) << Failure();
  values_per_control_ = 1;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 0, &o)) << Failure() << Events();
  double collected = 0.0;
  bool found = false;
  for (const std::string& line : run_.events) {
    const std::size_t at = line.find("Objective wrt variable 1 = ");
    if (at == std::string::npos) continue;
    collected = std::stod(line.substr(at + 27));
    found = true;
    break;
  }
  ASSERT_TRUE(found) << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();

  const double h = 1e-3;
  double plus = 0.0, minus = 0.0;
  ASSERT_TRUE(RunCost(h, &plus)) << Failure() << Events();
  ASSERT_TRUE(RunCost(-h, &minus)) << Failure() << Events();
  // J(u) = (1 + u)^2 + u^2: dJ/du = 2 at u = 0.
  EXPECT_NEAR((plus - minus) / (2 * h), collected, 1e-5);
  EXPECT_NEAR(collected, 2.0, 1e-5);
}

// x' = u from x(0) = 0, y = x: x (1) a state, u (3) fixed, y (4) free;
// equations 10 and 11.
void Integrator(Writer& w) {
  w.List(5);
  ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 0.0, 32);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".u", 0.0, 4);
  ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 0.0, 1);
  ModelEquation(w, 10, ".ex", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 3}});
  ModelEquation(w, 11, ".ey", Sub(Var(0), Var(1)), {{2, 4}, {2, 1}});
}

// Two elements on [0, 0.5, 1], u in [0, 1] piecewise constant from 0;
// maximise y(1) = x(1) with y <= 0.3 at the end of the first element.
void PathConstraintDefinition(Writer& w) {
  w.U16(76);
  w.U8(1), w.F64(1.0), w.U16(2), w.F64(0.5);
  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(0);
  w.F64(0.5), w.F64(2.0);
  for (int k = 0; k < 2; ++k) w.F64(0.1), w.F64(1.0);
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 3});
  w.F64(0.0), w.F64(0.0), w.F64(0.0);
  for (int k = 0; k < 2; ++k) w.F64(0.0), w.F64(1.0);
  w.U16(1);
  w.IdPath({2, 4});
  w.U16(1), w.U16(0), w.U16(1);
  w.IdPath({2, 4});
  w.U16(1), w.U16(1), w.F64(1.0), w.U16(3), w.F64(0.3);
  w.U16(0xFFFF);
}

// The control switches at 0.5: the integrator restarts there and carries
// the state sensitivities across.
TEST_F(OptimisationRoad, PathConstraintAtAnElementBoundary) {
  ASSERT_TRUE(Start(1, Integrator, 4)) << Failure() << Events();
  ASSERT_TRUE(IntOption(112, 1)) << Failure();  // maximise
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(PathConstraintDefinition, "kind 76")) << Failure();
  values_per_control_ = 2;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 1, &o)) << Failure() << Events();
  EXPECT_NEAR(o.objective, 0.8, 1e-6) << Events();
  ASSERT_EQ(o.controls.size(), 2u);
  EXPECT_NEAR(o.controls[0], 0.6, 1e-4);
  EXPECT_NEAR(o.controls[1], 1.0, 1e-4);
  ASSERT_EQ(o.constrained.size(), 1u);
  EXPECT_NEAR(o.constrained[0], 0.3, 1e-6);
  ASSERT_EQ(o.constraint_multipliers.size(), 1u);
  EXPECT_NEAR(std::fabs(o.constraint_multipliers[0]), 1.0, 1e-4);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// As Integrator, with y = DELAY(x, lag).
std::function<void(Writer&)> DelayedIntegrator(double lag) {
  return [lag](Writer& w) {
    w.List(5);
    ModelVariable(w, modelwriter::kStateVariable, 1, ".x", 0.0, 32);
    ModelVariable(w, modelwriter::kRealVariable, 3, ".u", 0.0, 4);
    ModelVariable(w, modelwriter::kRealVariable, 4, ".y", 0.0, 1);
    ModelEquation(w, 10, ".ex", Sub(Var(0), Var(1)), {{2, 1, 1}, {2, 3}});
    ModelEquation(w, 11, ".ey", Sub(Var(0), modelwriter::Delay(Var(1), Real(lag))),
                  {{2, 4}, {2, 1}});
  };
}

// Each element of a piecewise control keeps its own history of the delayed
// variable's sensitivity: with y = DELAY(x, 0.25), y(0.5) = 0.25 u1 and
// y(1) = 0.5 u1 + 0.25 u2, and the optimum follows those gradients.
TEST_F(OptimisationRoad, GradientsOfEveryElementPassThroughADelay) {
  ASSERT_TRUE(Start(1, DelayedIntegrator(0.25), 4)) << Failure() << Events();
  ASSERT_TRUE(IntOption(112, 1)) << Failure();  // maximise
  ASSERT_TRUE(IntOption(128, 4)) << Failure();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(PathConstraintDefinition, "kind 76")) << Failure();
  values_per_control_ = 2;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 1, &o)) << Failure() << Events();
  std::vector<double> point, objective, constraint;
  ASSERT_TRUE(FirstDump(2, &point, &objective, &constraint)) << Failure() << Events();
  // Maximised: the optimiser minimises -y(1). The constraint is 0.3 - y(0.5).
  EXPECT_NEAR(objective[0], -0.5, 1e-5);
  EXPECT_NEAR(objective[1], -0.25, 1e-5);
  EXPECT_NEAR(constraint[0], -0.25, 1e-5);
  EXPECT_NEAR(constraint[1], 0.0, 1e-5);
  EXPECT_NEAR(o.objective, 0.75, 1e-6) << Events();
  ASSERT_EQ(o.controls.size(), 2u);
  EXPECT_NEAR(o.controls[0], 1.0, 1e-4);
  EXPECT_NEAR(o.controls[1], 1.0, 1e-4);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// The rows the run collects across the element boundary (the objective
// y(1) and the constraint 0.3 - y(0.5)), as the optimiser's first debug
// dump prints them, against central differences of re-runs.
TEST_F(OptimisationRoad, CollectedRowsAcrossElementsMatchCentralDifferences) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  ASSERT_TRUE(Start(1, Integrator, 4)) << Failure() << Events();
  ASSERT_TRUE(IntOption(112, 1)) << Failure();  // maximise
  ASSERT_TRUE(IntOption(128, 4)) << Failure();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(PathConstraintDefinition, "kind 76")) << Failure();
  values_per_control_ = 2;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 1, &o)) << Failure() << Events();
  const std::vector<std::string>& lines = run_.events;
  auto value_after = [&](std::size_t at, const std::string& mark, double* out) {
    for (std::size_t k = at; k < lines.size(); ++k) {
      const std::size_t p = lines[k].find(mark);
      if (p == std::string::npos) continue;
      if (out == nullptr) return k;
      char* end = nullptr;
      const std::string rest = lines[k].substr(p + mark.size());
      *out = std::strtod(rest.c_str(), &end);
      if (end == rest.c_str()) continue;
      return k;
    }
    return lines.size();
  };
  double point[2] = {}, objective[2] = {}, constraint[2] = {};
  std::size_t at = value_after(0, "Calling Optimizer with optimization variable values:", nullptr);
  ASSERT_LT(at, lines.size()) << Events();
  at = value_after(at + 1, "1  ", &point[0]);
  at = value_after(at + 1, "2  ", &point[1]);
  at = value_after(at + 1, "Objective wrt variable 1 = ", &objective[0]);
  at = value_after(at + 1, "Objective wrt variable 2 = ", &objective[1]);
  at = value_after(at + 1, "Constraint 1 gradients:", nullptr);
  at = value_after(at + 1, "1  ", &constraint[0]);
  at = value_after(at + 1, "2  ", &constraint[1]);
  ASSERT_LT(at, lines.size()) << Events();
  ASSERT_TRUE(Finish()) << Failure() << Events();

  const double h = 1e-3;
  for (int j = 0; j < 2; ++j) {
    double plus[2] = {}, minus[2] = {};
    double up[2] = {point[0], point[1]}, down[2] = {point[0], point[1]};
    up[j] += h, down[j] -= h;
    ASSERT_TRUE(RunPiecewise(Integrator, up, plus)) << Failure() << Events();
    ASSERT_TRUE(RunPiecewise(Integrator, down, minus)) << Failure() << Events();
    // Maximised: the optimiser minimises -y(1). The constraint is 0.3 - y(0.5).
    EXPECT_NEAR(objective[j], -(plus[1] - minus[1]) / (2 * h), 1e-5) << j;
    EXPECT_NEAR(constraint[j], -(plus[0] - minus[0]) / (2 * h), 1e-5) << j;
  }
  EXPECT_NEAR(objective[0], -0.5, 1e-5);
  EXPECT_NEAR(objective[1], -0.5, 1e-5);
  EXPECT_NEAR(constraint[0], -0.5, 1e-5);
  EXPECT_NEAR(constraint[1], 0.0, 1e-5);
}

// x' = u - x from x(0) = 1, y = x: x (1) a state, u (3) fixed, y (4)
// free; equations 10 and 11.
void Decay(Writer& w) {
  w.List(5);
  w.Item(modelwriter::kStateVariable);
  w.Placement({Node(), {1, ".x"}});
  w.Value(1.0), w.Spec(32), w.End();
  w.Item(modelwriter::kRealVariable);
  w.Placement({Node(), {3, ".u"}});
  w.Value(0.0), w.Spec(4), w.End();
  w.Item(modelwriter::kRealVariable);
  w.Placement({Node(), {4, ".y"}});
  w.Value(1.0), w.Spec(1), w.End();
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Sub(Var(1), Var(2))));
  w.Placement({Node(), {10, ".ex"}});
  w.EquationHead(3);
  w.Reference({2, 1, 1});
  w.Reference({2, 3});
  w.Reference({2, 1});
  w.Item(modelwriter::kInlineEquation);
  w.U32(0);
  w.Expression(Sub(Var(0), Var(1)));
  w.Placement({Node(), {11, ".ey"}});
  w.EquationHead(2);
  w.Reference({2, 4});
  w.Reference({2, 1});
}

// Elements ending at times[1..N], every length free in [0.1, 1] and the
// final time in [0.5, 2]; u in [-2, 2] from `u`, piecewise constant (N
// values) or ramps (N + 1); minimise y(T) with y >= -10 halfway through
// element 2.
std::function<void(Writer&)> MovingDefinition(const std::vector<double>& times,
                                              const std::vector<double>& u) {
  return [times, u](Writer& w) {
    const std::size_t n = times.size() - 1;
    w.U16(76);
    w.U8(1), w.F64(times.back()), w.U16(static_cast<std::uint16_t>(n));
    for (std::size_t k = 1; k < n; ++k) w.F64(times[k]);
    w.U8(1), w.U8(1), w.U8(1), w.U8(0), w.U8(u.size() > n ? 1 : 0);
    w.F64(0.5), w.F64(2.0);
    for (std::size_t k = 0; k < n; ++k) w.F64(0.1), w.F64(1.0);
    w.U16(0), w.U16(0);
    w.U16(1);
    w.IdPath({2, 3});
    w.F64(0.0);
    for (double v : u) w.F64(v);
    for (std::size_t k = 0; k < u.size(); ++k) w.F64(-2.0), w.F64(2.0);
    w.U16(1);
    w.IdPath({2, 4});
    w.U16(1), w.U16(0), w.U16(1);
    w.IdPath({2, 4});
    w.U16(1), w.U16(2), w.F64(0.5), w.U16(2), w.F64(-10.0);
    w.U16(0xFFFF);
  };
}

bool OptimisationRoad::MovingFirstDump(const std::function<void(Writer&)>& model,
                                       const std::vector<double>& times,
                                       const std::vector<double>& u, std::vector<double>* point,
                                       std::vector<double>* objective,
                                       std::vector<double>* constraint) {
  if (!Start(1, model, 4) || !IntOption(128, 4) ||
      !Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60") ||
      !Optimisation(MovingDefinition(times, u), "kind 76"))
    return false;
  values_per_control_ = u.size();
  moving_ = true;
  Optimum o;
  Optimise(0, 1, &o);
  return FirstDump(u.size() + times.size() - 1, point, objective, constraint);
}

// x(t) of x' = u - x (decay) or x' = u from x(0) = x0, u piecewise constant
// (one value an element) or ramps (one value a boundary).
double ClosedForm(double t, const std::vector<double>& times, const std::vector<double>& u,
                  bool decay, double x0) {
  const bool ramps = u.size() == times.size();
  double x = x0;
  for (std::size_t k = 0; k + 1 < times.size() && times[k] < t; ++k) {
    const double span = std::min(t, times[k + 1]) - times[k];
    const double a = u[k];
    const double slope = ramps ? (u[k + 1] - u[k]) / (times[k + 1] - times[k]) : 0.0;
    if (decay) {
      // Particular solution a - slope + slope (t - tk).
      x = a - slope + slope * span + (x - (a - slope)) * std::exp(-span);
    } else {
      x += a * span + 0.5 * slope * span * span;
    }
  }
  return x;
}

// The optimiser's first point and gradient rows with moving elements: the
// objective y(T) and the constraint y(t1 + L2/2), against the closed form
// differentiated by every control value and every element length.
void CheckMovingGradient(const std::vector<double>& point, const std::vector<double>& objective,
                         const std::vector<double>& constraint, const std::vector<double>& times,
                         const std::vector<double>& u, bool decay) {
  const std::size_t n = times.size() - 1, v = u.size(), p = v + n;
  const double x0 = decay ? 1.0 : 0.0;
  ASSERT_EQ(point.size(), p);
  // Variables: the control values, then L1..LN.
  auto values = [&](const std::vector<double>& x, double* end, double* middle) {
    std::vector<double> t(n + 1, 0.0), c(x.begin(), x.begin() + static_cast<long>(v));
    for (std::size_t k = 0; k < n; ++k) t[k + 1] = t[k] + x[v + k];
    *end = ClosedForm(t[n], t, c, decay, x0);
    *middle = ClosedForm(t[1] + 0.5 * x[v + 1], t, c, decay, x0);
  };
  std::vector<double> x(u);
  for (std::size_t k = 0; k < n; ++k) x.push_back(times[k + 1] - times[k]);
  for (std::size_t j = 0; j < p; ++j) EXPECT_NEAR(point[j], x[j], 1e-9) << j;
  const double h = 1e-6;
  for (std::size_t j = 0; j < p; ++j) {
    std::vector<double> up(x), down(x);
    up[j] += h, down[j] -= h;
    double end_up = 0, mid_up = 0, end_down = 0, mid_down = 0;
    values(up, &end_up, &mid_up);
    values(down, &end_down, &mid_down);
    EXPECT_NEAR(objective[j], (end_up - end_down) / (2 * h), 1e-5) << "variable " << j + 1;
    EXPECT_NEAR(constraint[j], (mid_up - mid_down) / (2 * h), 1e-5) << "variable " << j + 1;
  }
}

// x' = u with u = (0.2, 0.8) on [0, 0.5, 1]: y(T) = 0.2 L1 + 0.8 L2, so the
// first length's gradient is 0.2 (the switch moves the 0.8 - 0.2 change),
// the second's 0.8; at t1 + L2/2 they are 0.2 and 0.4.
TEST_F(OptimisationRoad, InteriorElementLengthGradientOfAnIntegrator) {
  const std::vector<double> times = {0.0, 0.5, 1.0}, u = {0.2, 0.8};
  std::vector<double> point, objective, constraint;
  ASSERT_TRUE(MovingFirstDump(Integrator, times, u, &point, &objective, &constraint))
      << Failure() << Events();
  EXPECT_NEAR(objective[2], 0.2, 1e-6);
  EXPECT_NEAR(objective[3], 0.8, 1e-6);
  EXPECT_NEAR(constraint[2], 0.2, 1e-6);
  EXPECT_NEAR(constraint[3], 0.4, 1e-6);
  CheckMovingGradient(point, objective, constraint, times, u, false);
  Finish();
}

// The same through y = DELAY(x, 0.25) on [0, 0.4, 1]: y(T) = x(T - 0.25) =
// 0.2 L1 + 0.8 (L2 - 0.25) moves with u1 by 0.4, with u2 by 0.35, with L1
// by 0.2 and with L2 by 0.8. The switching time's row takes its share of
// the delayed sensitivity (-0.6) from that row's own history. (The
// constraint's rows are left out: y's slope there comes from steps that
// straddle the time x's kink reaches y.)
TEST_F(OptimisationRoad, ElementLengthGradientsPassThroughADelay) {
  const std::vector<double> times = {0.0, 0.4, 1.0}, u = {0.2, 0.8};
  std::vector<double> point, objective, constraint;
  ASSERT_TRUE(MovingFirstDump(DelayedIntegrator(0.25), times, u, &point, &objective, &constraint))
      << Failure() << Events();
  const double want[4] = {0.4, 0.35, 0.2, 0.8};
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(objective[j], want[j], 1e-6) << "variable " << j + 1;
  Finish();
}

// x' = u - x with two and with three elements: after each switch the
// row of its time starts from the jump u(t-) - u(t+) and decays with the
// state, so every length's gradient sums the later switches' rows. With
// ramps (no jump) the rows of an element's two ends are driven by its
// slope, the final time's too; x' = u with ramps as well.
TEST_F(OptimisationRoad, InteriorElementLengthGradientsOfADecay) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  struct Case {
    std::vector<double> times, u;
    bool decay;
  };
  for (const Case& c : {Case{{0.0, 0.5, 1.0}, {1.5, -0.5}, true},
                        Case{{0.0, 0.25, 0.625, 1.0}, {1.5, -0.5, 1.0}, true},
                        Case{{0.0, 0.5, 1.0}, {1.5, -0.5, 1.0}, true},
                        Case{{0.0, 0.25, 0.625, 1.0}, {1.5, -0.5, 1.0, 0.2}, true},
                        Case{{0.0, 0.4, 1.0}, {0.2, 0.8, -0.4}, false}}) {
    SCOPED_TRACE(testing::Message() << c.times.size() - 1 << " elements, " << c.u.size()
                                    << " values, decay " << c.decay);
    run_.events.clear();
    std::vector<double> point, objective, constraint;
    ASSERT_TRUE(MovingFirstDump(c.decay ? Decay : Integrator, c.times, c.u, &point, &objective,
                                &constraint))
        << Failure() << Events();
    Finish();
    CheckMovingGradient(point, objective, constraint, c.times, c.u, c.decay);
  }
}

// The same rows for three elements against central differences of
// re-runs: runs stepped by 0.005 with u switched at the moved times,
// Richardson-extrapolated from steps of 0.01 and 0.02.
TEST_F(OptimisationRoad, InteriorElementLengthRowsMatchCentralDifferencesOfReRuns) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  const std::vector<double> times = {0.0, 0.25, 0.6, 1.0}, u = {1.5, -0.5, 1.0};
  std::vector<double> point, objective, constraint;
  ASSERT_TRUE(MovingFirstDump(Decay, times, u, &point, &objective, &constraint))
      << Failure() << Events();
  Finish();

  communication_ = 0.005;
  // Lengths in steps of 0.005; the constraint sits halfway through element 2.
  auto run = [&](const std::vector<int>& lengths, double* end, double* middle) {
    const std::vector<int> switches = {0, lengths[0], lengths[0] + lengths[1]};
    const int last = switches[2] + lengths[2];
    const int mid = lengths[0] + lengths[1] / 2;
    std::vector<double> read;
    if (!RunSwitches(Decay, switches, u, {mid, last}, &read)) return false;
    *middle = read[0];
    *end = read[1];
    return true;
  };
  const std::vector<int> base = {50, 70, 80};
  for (std::size_t k = 0; k < 3; ++k) {
    double d[2][2] = {};  // [step 0.01, 0.02][objective, constraint]
    for (int s = 0; s < 2; ++s) {
      const int steps = 2 << s;  // 2 and 4 intervals
      std::vector<int> up(base), down(base);
      up[k] += steps, down[k] -= steps;
      double end_up = 0, mid_up = 0, end_down = 0, mid_down = 0;
      ASSERT_TRUE(run(up, &end_up, &mid_up)) << Failure() << Events();
      ASSERT_TRUE(run(down, &end_down, &mid_down)) << Failure() << Events();
      const double h = steps * communication_;
      d[s][0] = (end_up - end_down) / (2 * h);
      d[s][1] = (mid_up - mid_down) / (2 * h);
    }
    EXPECT_NEAR(objective[3 + k], (4 * d[0][0] - d[1][0]) / 3, 1e-5) << "length " << k + 1;
    EXPECT_NEAR(constraint[3 + k], (4 * d[0][1] - d[1][1]) / 3, 1e-5) << "length " << k + 1;
  }
}

// One element whose length is the final time, free in [0.5, 2]; u in
// [-1, 1] from 0.5; minimise the final time with y(T) >= 1.
void MinimumTimeDefinition(Writer& w) {
  w.U16(76);
  w.U8(1), w.F64(1.5), w.U16(1);
  w.U8(1), w.U8(1), w.U8(0), w.U8(1), w.U8(0);
  w.F64(0.5), w.F64(2.0);
  w.F64(0.5), w.F64(2.0);
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 3});
  w.F64(0.0), w.F64(0.5), w.F64(-1.0), w.F64(1.0);
  w.U16(0);
  w.U16(1), w.U16(0), w.U16(1);
  w.IdPath({2, 4});
  w.U16(1), w.U16(1), w.F64(1.0), w.U16(2), w.F64(1.0);
  w.U16(0xFFFF);
}

// The element length's gradient is the final-time row: y'(T).
TEST_F(OptimisationRoad, MinimumTime) {
  ASSERT_TRUE(Start(1, Integrator, 4)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(MinimumTimeDefinition, "kind 76")) << Failure();
  values_per_control_ = 1;
  moving_ = true;
  Optimum o;
  ASSERT_TRUE(Optimise(0, 1, &o)) << Failure() << Events();
  EXPECT_NEAR(o.objective, 1.0, 1e-6) << Events();
  EXPECT_NEAR(o.final_time, 1.0, 1e-6);
  ASSERT_EQ(o.lengths.size(), 1u);
  EXPECT_NEAR(o.lengths[0], 1.0, 1e-6);
  ASSERT_EQ(o.controls.size(), 1u);
  EXPECT_NEAR(o.controls[0], 1.0, 1e-6);
  ASSERT_TRUE(Finish()) << Failure() << Events();
}

// Misra1a's sum of squares as a steady state: b1 (1) and b2 (2) fixed, S
// (3) free, S = sum (y_i - b1 (1 - exp(-b2 x_i)))^2 (equation 10).
void Misra1aSquares(Writer& w, const testsupport::Certified& cert, const std::vector<double>& b) {
  w.List(4);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".b1", b[0], 4);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".b2", b[1], 4);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".S", 1.0, 1);
  std::vector<modelwriter::Expr> squares;
  for (std::size_t i = 0; i < cert.x.size(); ++i) {
    const modelwriter::Expr decay =
        modelwriter::Unary(32, Sub(Real(0.0), Mul(Var(2), Real(cert.x[i]))));
    const modelwriter::Expr r = Sub(Real(cert.y[i]), Mul(Var(1), Sub(Real(1.0), decay)));
    squares.push_back(Mul(r, r));
  }
  modelwriter::Expr sum = squares[0];
  for (std::size_t i = 1; i < squares.size(); ++i) sum = Add(sum, squares[i]);
  ModelEquation(w, 10, ".eS", Sub(Var(0), sum), {{2, 3}, {2, 1}, {2, 2}});
}

// Decision b1 in [1, 1e4] and b2 in [1e-6, 1] from the model's values;
// objective S; no constraints.
void Misra1aDefinition(Writer& w, const std::vector<double>& b) {
  w.U16(76);
  w.U8(0), w.F64(0.0), w.U16(0);
  w.U8(0), w.U8(0), w.U8(0), w.U8(0), w.U8(0);
  w.F64(0.0), w.F64(0.0);
  w.U16(2);
  w.IdPath({2, 1});
  w.F64(1.0), w.F64(1e4), w.F64(b[0]);
  w.IdPath({2, 2});
  w.F64(1e-6), w.F64(1.0), w.F64(b[1]);
  w.U16(0), w.U16(0);
  w.U16(1);
  w.IdPath({2, 3});
  w.U16(0), w.U16(0), w.U16(0);
  w.U16(0xFFFF);
}

// The open NLP solver on differences of the runs (Optimizer 3), from
// NIST's first certified start of Misra1a: it reaches the certified
// minimum or says it failed, and never calls the start an optimum.
TEST_F(OptimisationRoad, DifferencedMisra1aReachesTheMinimumOrFails) {
  const testsupport::Certified misra = testsupport::NistDataset("Misra1a");
  const testsupport::Certified* cert = &misra;
  const std::vector<double>& start = cert->starts[0];
  ASSERT_TRUE(Start(3, [&](Writer& w) { Misra1aSquares(w, *cert, start); }))
      << Failure() << Events();
  ASSERT_TRUE(IntOption(113, 500)) << Failure();  // evaluations: differences cost runs
  // Optimizer 3 runs the open NLP solver chosen for optimisation.
  auto choose = std::make_unique<vantor_client::Request>(kProblemService);
  choose->PutUInt16(118);
  choose->PutString("kvs_sqpa.dll");
  ASSERT_TRUE(road_->Expect(std::move(choose), "the open NLP solver (request 118)", 0))
      << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation([&](Writer& w) { Misra1aDefinition(w, start); }, "kind 76"))
      << Failure();
  Optimum o;
  const bool found = Optimise(2, 0, &o);
  if (found) {
    SCOPED_TRACE(Events());
    EXPECT_NEAR(o.objective, cert->rss, 1e-6 * cert->rss);
    ASSERT_EQ(o.x.size(), 2u);
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(o.x[j], cert->values[j], 1e-6 * std::fabs(cert->values[j])) << "b" << j + 1;
    }
  } else {
    // A failure said as one, not a run left without an answer.
    EXPECT_EQ(Failure(), "the optimisation failed") << Events();
    EXPECT_EQ(Events().find("Optimum found"), std::string::npos) << Events();
  }
  Finish();
}

// Optimizer 3 with no open NLP solver chosen fails at its first
// evaluation, and says why.
TEST_F(OptimisationRoad, DifferencedWithoutAnOpenSolverSaysWhyItFails) {
  ASSERT_TRUE(Start(3, Hs071)) << Failure() << Events();
  ASSERT_TRUE(Optimisation([](Writer& w) { w.U16(60), w.U8(1); }, "kind 60")) << Failure();
  ASSERT_TRUE(Optimisation(Hs071Definition, "kind 76")) << Failure();
  Optimum o;
  EXPECT_FALSE(Optimise(4, 2, &o));
  EXPECT_NE(Events().find("No open NLP solver is loaded for optimisation"), std::string::npos)
      << Events();
  EXPECT_NE(Events().find("Optimization failed to converge."), std::string::npos) << Events();
  Finish();
}

}  // namespace

#endif
