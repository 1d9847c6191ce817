// Procedure calls inside models through the real engine: user procedures
// built by the tests (C, FORTRAN, the newer calling interface) solved for
// their inputs, integrated, given integer and text parameters, failing, and
// told of runs and problems; every value against its closed form, and read
// again after an edit. Each by the interpreter and by compiled evaluation,
// which must agree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/compiler_installation.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/engine_road_fixture.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road_steps.h"

namespace procedureroad {
namespace {

namespace mw = modelwriter;
using engineroad::kProblemService;
using engineroad::ModelVariable;
using engineroad::Node;
using mw::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kLibraryService = 61;
constexpr std::uint16_t kSetNode = 5;
constexpr std::uint16_t kProcedureItem = 1;
constexpr std::uint16_t kRealArray = 0x104;
constexpr std::uint16_t kRealMatrix = 0x204;
constexpr std::uint16_t kFixed = 4, kFree = 1, kState = 32;
// The status bit of a run given up after a failed step.
constexpr std::uint32_t kAbandoned = 0x400;
constexpr std::uint32_t kPrecall = 0x2, kPostcall = 0x4, kDerivatives = 0x10,
                        kEveryEvaluation = 0x800, kProblemCalls = 0x2000;
const std::string kProcs = std::string(VANTOR_ROAD_LIBS) + "/road_procs.so";

mw::ProcArgument Real(const char* name) { return {4, name, {}}; }

// A procedure of the road library with real scalar arguments.
mw::Procedure Scalar(const char* routine, std::vector<const char*> inputs,
                     std::vector<const char*> outputs, std::uint32_t options = 0) {
  mw::Procedure p;
  p.name = routine;
  p.implementation = routine;
  p.library = kProcs;
  p.options = options;
  for (const char* name : inputs) p.inputs.push_back(Real(name));
  for (const char* name : outputs) p.outputs.push_back(Real(name));
  return p;
}

// The call `CALL outputs = procedure(inputs)` as an in-line equation at
// `index`: the procedure is the library's definition at `definition`, its
// arguments the references that follow (inputs, then outputs); `flags` is
// the equation's flag word (8 marks a call row for the analysis).
void CallEquation(Writer& w, std::uint32_t index, std::uint32_t definition,
                  const std::vector<mw::Expr>& inputs, const std::vector<mw::Expr>& outputs,
                  const std::vector<std::vector<std::uint32_t>>& references,
                  std::uint32_t flags = 0) {
  w.Item(mw::kInlineEquation);
  w.U32(flags);
  w.Expression(mw::ProcCall(inputs, outputs, definition));
  w.Placement({Node(), {index, ".call" + std::to_string(index)}});
  w.EquationHead(static_cast<std::uint32_t>(references.size()));
  for (const auto& reference : references) w.Reference(reference);
}

enum class Evaluation { kInterpreted, kCompiled };
void PrintTo(Evaluation e, std::ostream* out) {
  *out << (e == Evaluation::kCompiled ? "compiled" : "interpreted");
}

// Interpreted unless a test says otherwise.
class ProcedureRoad : public engineroad::EngineRoad {
 protected:
  void SetUp() override { Use(Evaluation::kInterpreted); }
  // Fixes the evaluation for the engines the test starts: compiled builds
  // a library from a stand-in installation at every preparation.
  void Use(Evaluation evaluation) {
    compiled_ = evaluation == Evaluation::kCompiled;
    env_.clear();
    env_.push_back(std::make_unique<testsupport::ScopedEnv>("QLN_CE_USE", compiled_ ? "1" : "0"));
    if (!compiled_) return;
    const auto prefix = testsupport::MakeCompilerInstallation(work_.path() / "install", true);
    env_.push_back(
        std::make_unique<testsupport::ScopedEnv>("QLNSERVERDIR", (prefix / "bin").c_str()));
    env_.push_back(std::make_unique<testsupport::ScopedEnv>("QLN_CE_KEEP", "0"));
  }
  // A compiled run that fell back to the interpreter would prove nothing.
  bool Load(const std::function<void(Writer&)>& model) {
    if (!EngineRoad::Load(model)) return false;
    return !compiled_ || SeenLine("Loaded flowsheet object code library") ||
           Fail("no compiled library was loaded");
  }
  // Starts the engine, defines the procedures at library indices 1, 2, ...
  // and sets the integer options given; the model is loaded by Load.
  bool Start(const std::vector<mw::Procedure>& procedures,
             const std::vector<std::pair<std::uint16_t, std::uint32_t>>& options = {}) {
    vantor_client::EngineOptions engine = Engine();
    engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
    if (!StartEngine(engine, "Procs")) return false;
    for (const auto& [number, value] : options) {
      if (!IntOption(number, value)) return false;
    }
    std::uint32_t index = 1;
    for (const mw::Procedure& p : procedures) {
      auto request = std::make_unique<vantor_client::Request>(kLibraryService);
      Writer w(*request);
      w.U16(kSetNode);
      w.U16(kProcedureItem);
      w.Placement({{index++, p.name}});
      w.Definition(p);
      if (!road_->Expect(std::move(request), "defining " + p.name, 0)) return false;
    }
    return true;
  }
  bool Value(std::uint32_t index, double* value) {
    return road_->Read(index, value, "value " + std::to_string(index));
  }
  // A steady state (command 9) that is told to have ended.
  bool SteadyState() {
    return road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
           road_->WaitStep(0.0, "the steady state");
  }
  bool SeenLine(const std::string& text) {
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find(text) != std::string::npos;
    });
    return Events().find(text) != std::string::npos;
  }
  // Commands 10 from the initialisation at t = 0, one interval each.
  bool Steps(int steps, double interval, const std::function<bool(double)>& at) {
    for (int k = 0; k < steps; ++k) {
      const std::string what = "step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) ||
          !road_->WaitStep(static_cast<float>(interval) * k, what) || !at(road_->Last().time))
        return false;
    }
    return true;
  }

  bool compiled_ = false;
  std::vector<std::unique_ptr<testsupport::ScopedEnv>> env_;
};

class ProcedureEvaluationRoad : public ProcedureRoad,
                                public ::testing::WithParamInterface<Evaluation> {
 protected:
  // y = x^3 through the routine, y fixed at 8: the steady state must find
  // x = 2.
  bool SolveCube(const mw::Procedure& cube) {
    double x = 0.0;
    const bool solved = Start({cube}, {{97, 0}}) && Load([](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.5, kFree);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 8.0, kFixed);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    }) && BeginRun() && SteadyState() && Value(1, &x);
    EXPECT_NEAR(x, 2.0, 1e-8);
    return solved;
  }
  void SetUp() override {
    // The library's code runs on the same engine threads as the interpreter.
    if (GetParam() == Evaluation::kCompiled && testsupport::kUnderThreadSanitizer)
      GTEST_SKIP() << engineroad::kNumbersNotThreads;
    Use(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(Both, ProcedureEvaluationRoad,
                         ::testing::Values(Evaluation::kInterpreted, Evaluation::kCompiled),
                         [](const ::testing::TestParamInfo<Evaluation>& info) {
                           return info.param == Evaluation::kCompiled ? "Compiled" : "Interpreted";
                         });

// y = x^2 solved for x with y fixed at 2.25 (x = 1.5 from 1), whether the
// procedure gives its derivative or the engine takes differences; then y
// set to 6.25 and solved again (x = 2.5).
TEST_P(ProcedureEvaluationRoad, AnInputIsSolvedForThroughTheCall) {
  for (const std::uint32_t options : {kDerivatives, 0u}) {
    const std::string what = options != 0 ? "analytic" : "differenced";
    ASSERT_TRUE(Start({Scalar("rsquare", {"x"}, {"y"}, options)}, {{97, 0}})) << what << Failure();
    ASSERT_TRUE(Load([](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 2.25, kFixed);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    })) << what
        << Failure() << Events();
    double x = 0.0;
    ASSERT_TRUE(BeginRun() && SteadyState() && Value(1, &x)) << what << Failure() << Events();
    EXPECT_NEAR(x, 1.5, 1e-6) << what;
    ASSERT_TRUE(Set("y", 6.25) && SteadyState() && Value(1, &x)) << what << Failure() << Events();
    EXPECT_NEAR(x, 2.5, 1e-6) << what;
    ASSERT_TRUE(FinishRun()) << what << Failure();
  }
}

// y = x^2 solved for x (1.5 for y = 2.25, then 2.5 for 6.25), with the
// procedure's own derivative and by differences, and a pre-call as the run
// begins, told at PrintLevel 3. The routine says who first asked it for an
// output: under compiled evaluation the library alone (the residual, the
// outputs and derivatives of its own call), never the engine's
// interpreter; interpreted, the engine alone.
TEST_P(ProcedureEvaluationRoad, CompiledRowsAreEvaluatedByTheLibrary) {
  const bool compiled = GetParam() == Evaluation::kCompiled;
  for (const std::uint32_t options : {kDerivatives, 0u}) {
    const std::string what = options != 0 ? "analytic" : "differenced";
    CloseEngine();
    ASSERT_TRUE(Start({Scalar("rwho", {"x"}, {"y"}, options | kPrecall)}, {{97, 0}, {31, 3}}))
        << what << Failure();
    ASSERT_TRUE(Load([](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 2.25, kFixed);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    })) << what
        << Failure() << Events();
    double x = 0.0;
    ASSERT_TRUE(BeginRun() && SteadyState() && Value(1, &x)) << what << Failure() << Events();
    EXPECT_NEAR(x, 1.5, 1e-6) << what;
    ASSERT_TRUE(Set("y", 6.25) && SteadyState() && Value(1, &x)) << what << Failure() << Events();
    EXPECT_NEAR(x, 2.5, 1e-6) << what;
    EXPECT_TRUE(SeenLine("Precalling procedure rwho in equation Model.call10")) << what << Events();
    EXPECT_TRUE(SeenLine(compiled ? "rwho evaluated by the compiled library"
                                  : "rwho evaluated by the engine"))
        << what << Events();
    ASSERT_TRUE(FinishRun()) << what << Failure();
    EXPECT_EQ(Events().find(compiled ? "rwho evaluated by the engine"
                                     : "rwho evaluated by the compiled library"),
              std::string::npos)
        << what << Events();
  }
}

// y = x^2 whose procedure gives the derivative 3x. With derivative checks
// on (CheckProcDerivs 1) the engine says so at every evaluation, naming the
// variables, the row and the call, and still solves (x = 1.5 for y = 2.25,
// slowly on the wrong slope); asked to use the differences (2) it takes
// them and solves as with the right derivative.
TEST_P(ProcedureEvaluationRoad, AWrongDerivativeIsCaughtByTheCheck) {
  for (const std::uint32_t check : {1u, 2u}) {
    ASSERT_TRUE(Start({Scalar("rbadslope", {"x"}, {"y"}, kDerivatives)}, {{97, 0}, {78, check}}))
        << Failure();
    ASSERT_TRUE(Load([](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 2.25, kFixed);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    })) << Failure()
        << Events();
    double x = 0.0;
    ASSERT_TRUE(BeginRun() && SteadyState() && Value(1, &x)) << check << Failure() << Events();
    EXPECT_NEAR(x, 1.5, check == 1 ? 1e-5 : 1e-9) << check;
    // At x = 1 the procedure says 3 where the difference gives 2 (both
    // shown as the procedure's own, for the older interface).
    for (const char* line :
         {"Derivative check of Model.y", "    with respect to Model.x",
          "        in equation Model.call10.Row(1)",
          "Failed: Analytical derivative:           3, Numerical derivative:           2",
          "Residual expression is CALL (Model.y)=rbadslope(Model.x)"}) {
      EXPECT_TRUE(SeenLine(line)) << check << ": " << line << "\n" << Events();
    }
    EXPECT_EQ(Events().find("'Use numerics' option set, using numeric derivative (-2)") !=
                  std::string::npos,
              check == 2)
        << Events();
    ASSERT_TRUE(FinishRun()) << Failure();
  }
}

// x' = r with CALL (r) = rrate(x, k), r = -k x, k = 0.7, from x(0) = 1:
// x = exp(-0.7 t) at every interval to t = 2, with the procedure's own
// derivatives and with differences.
TEST_P(ProcedureEvaluationRoad, ADynamicRunIntegratesThroughTheCall) {
  for (const std::uint32_t options : {kDerivatives, 0u}) {
    const std::string what = options != 0 ? "analytic" : "differenced";
    ASSERT_TRUE(
        Start({Scalar("rrate", {"x", "k"}, {"r"}, options)}, {{30, 4}, {29, 4}}) &&
        road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {0.5}), "command 32", 0) &&
        RealOption(130, 1e-8) && RealOption(131, 1e-10))
        << what << Failure();
    ASSERT_TRUE(Load([](Writer& w) {
      w.List(5);
      ModelVariable(w, mw::kStateVariable, 1, ".x", 1.0, kState);
      ModelVariable(w, mw::kRealVariable, 2, ".k", 0.7, kFixed);
      ModelVariable(w, mw::kRealVariable, 3, ".r", 0.0, kFree);
      CallEquation(w, 10, 1, {mw::Var(0), mw::Var(1)}, {mw::Var(2)}, {{2, 1}, {2, 2}, {2, 3}});
      engineroad::ModelEquation(w, 11, ".balance", mw::Sub(mw::Var(0), mw::Var(1)),
                                {{2, 1, 1}, {2, 3}});
    })) << what
        << Failure() << Events();
    std::vector<double> x;
    ASSERT_TRUE(BeginRun() && Steps(5, 0.5,
                                    [&](double) {
                                      double v = 0.0, r = 0.0;
                                      if (!Value(1, &v) || !Value(3, &r)) return false;
                                      EXPECT_NEAR(r, -0.7 * v, 1e-9) << what;
                                      x.push_back(v);
                                      return true;
                                    }))
        << what << Failure() << Events();
    ASSERT_TRUE(FinishRun()) << what << Failure();
    ASSERT_EQ(x.size(), 5u);
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double exact = std::exp(-0.7 * 0.5 * static_cast<double>(k));
      EXPECT_NEAR(x[k], exact, 1e-6 * exact) << what << " t = " << 0.5 * static_cast<double>(k);
    }
  }
}

// y = n x + the length of s over an integer (4) and a text ("water")
// parameter: 11 at x = 1.5, 15 after x is set to 2.5.
TEST_P(ProcedureEvaluationRoad, IntegerAndTextArgumentsReachTheProcedure) {
  mw::Procedure scale = Scalar("rscale", {"x"}, {"y"});
  scale.inputs.push_back({2, "n", {}});
  scale.inputs.push_back({5, "s", {}});
  ASSERT_TRUE(Start({scale})) << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    w.List(5);
    ModelVariable(w, mw::kRealVariable, 1, ".x", 1.5, kFixed);
    w.Item(mw::kIntegerParameter);
    w.Placement({Node(), {2, ".n"}});
    w.U8(1), w.U32(4), w.End();
    w.Item(mw::kStringParameter);
    w.Placement({Node(), {3, ".s"}});
    w.U8(1), w.Text("water"), w.End();
    ModelVariable(w, mw::kRealVariable, 4, ".y", 0.0, kFree);
    CallEquation(w, 10, 1, {mw::Var(0), mw::TypedVar(1, 2), mw::TypedVar(2, 5)}, {mw::Var(3)},
                 {{2, 1}, {2, 2}, {2, 3}, {2, 4}});
  })) << Failure()
      << Events();
  double y = 0.0;
  ASSERT_TRUE(BeginRun() && SteadyState() && Value(4, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 11.0);
  ASSERT_TRUE(Set("x", 2.5) && SteadyState() && Value(4, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 15.0);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// y = x^3 through the newer interface, its derivative from the sparse
// pattern: x = 2 for y fixed at 8.
TEST_P(ProcedureEvaluationRoad, TheNewerInterfaceGivesItsDerivativesByPattern) {
  mw::Procedure cube = Scalar("rcube", {"x"}, {"y"}, kDerivatives);
  cube.version = 3;
  ASSERT_TRUE(SolveCube(cube)) << Failure() << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

// y = x^3 through the newer interface, with pre- and post-calls and the
// problem's calls: x = 2 for y fixed at 8, and the routine hears of the run
// once as it begins and once as it ends. Compiled evaluation leaves the rows
// of this interface to the engine, and their pre- and post-calls with them.
TEST_P(ProcedureEvaluationRoad, TheNewerInterfaceHearsOfItsRunOnce) {
  mw::Procedure cube = Scalar("rcubeprepost", {"x"}, {"y"}, kPrecall | kPostcall | kProblemCalls);
  cube.version = 3;
  ASSERT_TRUE(SolveCube(cube)) << Failure() << Events();
  auto end_run = std::make_unique<vantor_client::Request>(kProblemService);
  end_run->PutUInt16(134);
  ASSERT_TRUE(road_->Expect(std::move(end_run), "request 134", engineroad::kRunEnded)) << Failure();
  EXPECT_TRUE(SeenLine("rcubeprepost precall 1")) << Events();
  EXPECT_TRUE(SeenLine("rcubeprepost postcall 1")) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
  for (const char* line :
       {"rcubeprepost precall 2", "rcubeprepost postcall 2", "rcubeprepost asked for task"}) {
    EXPECT_EQ(Events().find(line), std::string::npos) << line << "\n" << Events();
  }
}

// y = A x with A = [2 1; 0.5 3], solved for x with y fixed at (3, 5):
// x = (8/11, 17/11), the array members of x being columns of the rows. By
// a C procedure over one-level arrays, and by a gfortran procedure that
// takes A whole, column-major (read by the rows as the model writes them,
// the transposed matrix would give (13/11, 14/11)).
TEST_P(ProcedureEvaluationRoad, ArrayInputsAreSolvedForMemberByMember) {
  std::vector<bool> fortran_too = {false};
#ifdef VANTOR_ROAD_FORTRAN
  fortran_too.push_back(true);
#endif
  for (const bool fortran : fortran_too) {
    const std::string what = fortran ? "FORTRAN" : "C";
    mw::Procedure p;
    p.name = fortran ? "rmatvec" : "rlin2";
    p.implementation = p.name;
    p.library = fortran ? std::string(VANTOR_ROAD_LIBS) + "/road_fortran.so" : kProcs;
    p.language = fortran ? 1 : 2;
    if (fortran) p.inputs.push_back({kRealMatrix, "a", {"2", "2"}});
    p.inputs.push_back({kRealArray, "x", {"2"}});
    p.outputs = {{kRealArray, "y", {"2"}}};
    ASSERT_TRUE(Start({p}, {{97, 0}})) << what << Failure();
    ASSERT_TRUE(Load([fortran](Writer& w) {
      const double a[4] = {2.0, 1.0, 0.5, 3.0};
      w.List(fortran ? 9 : 5);
      if (fortran) {
        for (std::uint32_t k = 0; k < 4; ++k) {
          ModelVariable(w, mw::kRealVariable, 1 + k, ".a" + std::to_string(k), a[k], kFixed);
        }
      }
      ModelVariable(w, mw::kRealVariable, 5, ".x1", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 6, ".x2", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 7, ".y1", 3.0, kFixed);
      ModelVariable(w, mw::kRealVariable, 8, ".y2", 5.0, kFixed);
      std::vector<mw::Expr> inputs;
      if (fortran) inputs.push_back(mw::TypedVar(0, kRealMatrix));
      const std::uint32_t x = fortran ? 1 : 0;
      inputs.push_back(mw::TypedVar(x, kRealArray));
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::ProcCall(inputs, {mw::TypedVar(x + 1, kRealArray)}, 1));
      w.Placement({Node(), {10, ".call"}});
      w.EquationHead(fortran ? 3 : 2);
      if (fortran) {
        w.ArrayReference(2, 2);
        w.SubArray(2), w.Member({2, 1}), w.Member({2, 2});
        w.SubArray(2), w.Member({2, 3}), w.Member({2, 4});
      }
      w.ArrayReference(1, 2), w.Member({2, 5}), w.Member({2, 6});
      w.ArrayReference(1, 2), w.Member({2, 7}), w.Member({2, 8});
    })) << what
        << Failure() << Events();
    double x1 = 0.0, x2 = 0.0;
    ASSERT_TRUE(BeginRun() && SteadyState() && Value(5, &x1) && Value(6, &x2))
        << what << Failure() << Events();
    EXPECT_NEAR(x1, 8.0 / 11.0, 1e-8) << what << Events();
    EXPECT_NEAR(x2, 17.0 / 11.0, 1e-8) << what;
    ASSERT_TRUE(FinishRun()) << what << Failure();
  }
}

// y = x by a procedure that fails with code 3 once x passes 1: the failed
// steady state names the procedure (interpreted, with its equation and
// code), and the run goes on once x is back below 1. Compiled, the library
// alone calls it: the engine does not call it again to ask why.
TEST_P(ProcedureEvaluationRoad, AFailingProcedureFailsItsRunAndTheNextRunRecovers) {
  const bool compiled = GetParam() == Evaluation::kCompiled;
  ASSERT_TRUE(Start({Scalar("rlimit", {"x"}, {"y"})})) << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    w.List(3);
    ModelVariable(w, mw::kRealVariable, 1, ".x", 0.5, kFixed);
    ModelVariable(w, mw::kRealVariable, 2, ".y", 0.0, kFree);
    CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
  })) << Failure()
      << Events();
  double y = 0.0;
  ASSERT_TRUE(BeginRun() && SteadyState() && Value(2, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 0.5);
  ASSERT_TRUE(Set("x", 2.0) && road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) &&
              SeenLine("Steady state solution failure") &&
              road_->WaitNotice(
                  [](const vantor_scenario::Notification& n) {
                    return (n.bits & kAbandoned) != 0 &&
                           (n.bits & vantor_scenario::kRunningBit) == 0;
                  },
                  "the run abandoned"))
      << Failure() << Events();
  EXPECT_NE(
      Events().find(compiled ? "Outputs call of rlimit returned user error code"
                             : "Procedure rlimit failed in equation Model.call10, fail code 3"),
      std::string::npos)
      << Events();
  EXPECT_TRUE(SeenLine(compiled ? "rlimit failed call 1 by the compiled library"
                                : "rlimit failed call 1 by the engine"))
      << Events();
  EXPECT_EQ(Events().find(compiled ? "by the engine" : "by the compiled library"),
            std::string::npos)
      << Events();
  ASSERT_TRUE(Set("x", 0.8) && SteadyState() && Value(2, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 0.8) << Events();
  ASSERT_TRUE(FinishRun()) << Failure();
}

// The engine's peak resident memory in MB, 0 when it cannot be read.
double PeakMegabytes(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0.0;
}

// y = x^2 with its output y fixed, under tearing: the call leaves nothing to
// solve for, and the structural analysis (request 75) says so, naming the
// output, the procedure and the call. A negative print level is silence:
// the analysis fails alike and prints nothing.
TEST_F(ProcedureRoad, AFixedOutputIsToldUnlessThePrintLevelIsNegative) {
  const std::string told = "Your simulation is singular because the output variable Model.y";
  for (const std::int32_t level : {2, -1}) {
    ASSERT_TRUE(Start({Scalar("rsquare", {"x"}, {"y"})},
                      {{97, 1}, {31, static_cast<std::uint32_t>(level)}}))
        << level << Failure();
    ASSERT_TRUE(Load([](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.0, kFree);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 2.25, kFixed);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}}, 8);
    })) << level
        << Failure() << Events();
    road_->Collect();
    const std::size_t before = run_.events.size();
    auto analyse = std::make_unique<vantor_client::Request>(kProblemService);
    for (std::uint16_t word : {75, 0, 0, 0, 0}) analyse->PutUInt16(word);
    Status analysed = 0;
    ASSERT_TRUE(road_->Exchange(std::move(analyse), "request 75", &analysed)) << Failure();
    EXPECT_EQ(analysed, 0xA031FFFFu) << level << " " << vantor_scenario::Hex(analysed);
    if (level >= 0) {
      EXPECT_TRUE(SeenLine(told)) << Events();
    } else {
      // What came until the engine answered the next request.
      double x = 0.0;
      ASSERT_TRUE(Value(1, &x)) << Failure();
      road_->Collect();
      const std::vector<std::string> since(
          run_.events.begin() + static_cast<std::ptrdiff_t>(before), run_.events.end());
      EXPECT_TRUE(since.empty()) << level << "\n" << Events();
      // Other values outside their descriptors' bounds are kept as well.
      EXPECT_TRUE(IntOption(32, static_cast<std::uint32_t>(-3)) && IntOption(24, 0) &&
                  IntOption(129, 6))
          << Failure();
    }
    ASSERT_TRUE(EndEngine()) << level << Failure();
  }
}

// CALL (y(1..2048)) = rfan(x), y(i) = i x: one input, 2048 outputs in one
// array, prepared and solved. The engine keeps an entry per output for the
// input and one in each output's own row, so the wide call takes no more
// memory than 2048 calls of one output each (y(i) = x^2), where an entry
// per output in every output's row took 70 MB more. The values follow x
// before and after an edit. Interpreted only: the memory it bounds is the
// interpreter's.
TEST_F(ProcedureRoad, AWideCallPreparesInMemoryLinearInItsOutputs) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr std::uint32_t kOutputs = 2048;
  mw::Procedure fan = Scalar("rfan", {"x"}, {}, kDerivatives);
  fan.outputs = {{kRealArray, "y", {"n"}}};
  double peak[2] = {0.0, 0.0};
  for (const bool wide : {false, true}) {
    const std::string what = wide ? "one wide call" : "calls of one output";
    // Each y goes to its value in one step, however far (Nonlinear.MaxVarStep).
    ASSERT_TRUE(Start({fan, Scalar("rsquare", {"x"}, {"y"}, kDerivatives)}) && RealOption(13, 1e9))
        << what << Failure();
    ASSERT_TRUE(Load([wide](Writer& w) {
      w.List(1 + kOutputs + (wide ? 1 : kOutputs));
      ModelVariable(w, mw::kRealVariable, 1, ".x", 0.5, kFixed);
      for (std::uint32_t k = 0; k < kOutputs; ++k) {
        ModelVariable(w, mw::kRealVariable, 100 + k, ".y" + std::to_string(k + 1), 0.0, kFree);
      }
      if (!wide) {
        for (std::uint32_t k = 0; k < kOutputs; ++k) {
          CallEquation(w, 100 + kOutputs + k, 2, {mw::Var(0)}, {mw::Var(1)},
                       {{2, 1}, {2, 100 + k}});
        }
        return;
      }
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::ProcCall({mw::Var(0)}, {mw::TypedVar(1, kRealArray)}, 1));
      w.Placement({Node(), {10, ".fan"}});
      w.EquationHead(2);
      w.Reference({2, 1});
      w.ArrayReference(1, kOutputs);
      for (std::uint32_t k = 0; k < kOutputs; ++k) w.Member({2, 100 + k});
    })) << what
        << Failure() << Events();
    const auto expected = [wide](double x, std::uint32_t k) { return wide ? (k + 1) * x : x * x; };
    double first = 0.0, last = 0.0;
    ASSERT_TRUE(BeginRun() && SteadyState() && Value(100, &first) &&
                Value(100 + kOutputs - 1, &last))
        << what << Failure() << Events();
    EXPECT_DOUBLE_EQ(first, expected(0.5, 0)) << what;
    EXPECT_DOUBLE_EQ(last, expected(0.5, kOutputs - 1)) << what;
    peak[wide ? 1 : 0] = PeakMegabytes(client_->EnginePid());
    ASSERT_TRUE(Set("x", 2.0) && SteadyState() && Value(100 + 99, &first))
        << what << Failure() << Events();
    EXPECT_DOUBLE_EQ(first, expected(2.0, 99)) << what;
    ASSERT_TRUE(FinishRun()) << what << Failure();
  }
  std::printf("engine peak with %u outputs: %.0f MB by single calls, %.0f MB by one call\n",
              kOutputs, peak[0], peak[1]);
  EXPECT_GT(peak[0], 0.0);
  EXPECT_LT(peak[1], peak[0] + 20.0);
}

// A call of 1,024 inputs by 1,024 outputs that gives its own derivatives
// keeps its dense block besides an entry per pair in its inputs: still
// within what a call may hold. y(i) = i x(1).
TEST_F(ProcedureRoad, ASquareCallOfAThousandInputsAndOutputsPrepares) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  constexpr std::uint32_t kWidth = 1024;
  mw::Procedure fan = Scalar("rfan", {}, {}, kDerivatives);
  fan.inputs = {{kRealArray, "x", {"n"}}};
  fan.outputs = {{kRealArray, "y", {"n"}}};
  ASSERT_TRUE(Start({fan}) && RealOption(13, 1e9)) << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    w.List(2 * kWidth + 1);
    for (std::uint32_t k = 0; k < kWidth; ++k) {
      ModelVariable(w, mw::kRealVariable, 1 + k, ".x" + std::to_string(k + 1), 0.5, kFixed);
      ModelVariable(w, mw::kRealVariable, 2000 + k, ".y" + std::to_string(k + 1), 0.0, kFree);
    }
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(
        mw::ProcCall({mw::TypedVar(0, kRealArray)}, {mw::TypedVar(1, kRealArray)}, 1));
    w.Placement({Node(), {4000, ".square"}});
    w.EquationHead(2);
    for (const std::uint32_t first : {1u, 2000u}) {
      w.ArrayReference(1, kWidth);
      for (std::uint32_t k = 0; k < kWidth; ++k) w.Member({2, first + k});
    }
  })) << Failure()
      << Events();
  EXPECT_EQ(Events().find("derivative entries"), std::string::npos) << Events();
  double first = 0.0, last = 0.0;
  ASSERT_TRUE(BeginRun() && SteadyState() && Value(2000, &first) &&
              Value(2000 + kWidth - 1, &last))
      << Failure() << Events();
  EXPECT_DOUBLE_EQ(first, 0.5);
  EXPECT_DOUBLE_EQ(last, 0.5 * kWidth);
  ASSERT_TRUE(FinishRun()) << Failure();
}

class TallyRoad : public ProcedureRoad {
 protected:
  // x' = y - x + 1 with y = rtally(x, cycle), which is x: every evaluation
  // says a line, back again `cycle` calls later. Dynamic, stepping at most
  // `longest`, the run initialised and its steps `far` long.
  bool StartTally(double cycle, double longest, double far) {
    // Called at every evaluation, whether or not its inputs moved.
    mw::Procedure tally = Scalar("rtally", {"x", "n"}, {"y"}, kEveryEvaluation);
    return Start({tally}, {{30, 4}, {29, 4}, {103, 2147483647}}) &&
           road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {far}), "command 32",
                         0) &&
           RealOption(141, longest) && Load([cycle](Writer& w) {
             w.List(4);
             ModelVariable(w, mw::kStateVariable, 1, ".x", 1.0, kState);
             ModelVariable(w, mw::kRealVariable, 2, ".n", cycle, kFixed);
             ModelVariable(w, mw::kRealVariable, 3, ".y", 0.0, kFree);
             CallEquation(w, 10, 1, {mw::Var(0), mw::Var(1)}, {mw::Var(2)},
                          {{2, 1}, {2, 2}, {2, 3}});
             // x' = y - x + 1: the call is part of every residual.
             engineroad::ModelEquation(
                 w, 11, ".rise", mw::Sub(mw::Var(0), mw::Add(mw::Sub(mw::Var(1), mw::Var(2)),
                                                             mw::Real(1.0))),
                 {{2, 1, 1}, {2, 3}, {2, 1}});
           }) &&
           BeginRun() && Steps(1, far, [](double) { return true; });
  }
  // Sends the step towards `far` and waits until the procedure says it has
  // passed `calls` calls of it.
  bool StepUnderWay(int calls) {
    if (client_->Send(MakeCommand(kProblemService, 10), &step_) != 0)
      return Fail("the step: not sent");
    const std::string passed = "rtally passed " + std::to_string(calls) + " calls";
    const bool seen = SeenLine(passed);
    return seen || Fail("no \"" + passed + "\"");
  }
  std::uint32_t step_ = 0;
};

// Some 70,000 evaluations in one step, saying 12,000 different lines in
// turn: past the 10,000 different reports a run keeps, the rest are held
// back and counted in one line. No line is told twice, and the lines stay
// bounded however many calls the step makes.
TEST_F(TallyRoad, AStepOfMoreDifferentReportsThanARunKeepsTellsNoneTwice) {
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << engineroad::kNumbersNotThreads;
  ASSERT_TRUE(StartTally(12000.0, 5e-6, 1.0)) << Failure() << Events();
  road_->Collect();
  const std::size_t before = run_.events.size();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 10), "the step", 0) &&
              road_->WaitStep(1.0, "the step"))
      << Failure();
  road_->Collect();
  const std::vector<std::string> lines(run_.events.begin() + static_cast<std::ptrdiff_t>(before),
                                       run_.events.end());
  std::map<std::string, int> told;
  long held = 0;
  const std::string further = " further reports were not told: beyond 10000 different ";
  for (const std::string& line : lines) {
    if (line.rfind("rtally call ", 0) == 0) ++told[line];
    if (line.find(further) != std::string::npos) held = std::stol(line);
  }
  const auto most = std::max_element(told.begin(), told.end(), [](const auto& a, const auto& b) {
    return a.second < b.second;
  });
  ASSERT_NE(most, told.end());
  EXPECT_EQ(most->second, 1) << most->first;
  EXPECT_GT(told.size(), 9000u);
  // The calls past the keys, whatever they said.
  EXPECT_GT(held, 30000) << engineroad::CountStarting(lines, "rtally passed ");
  EXPECT_LE(lines.size(), 2u * 10000u + 200u);
  ASSERT_TRUE(FinishRun()) << Failure();
}

// A step that never ends by itself, stopped by command 14 once its lines
// have come round ten times: each repeated line's count comes after the
// freeing that the interrupt makes, before the line that says it.
TEST_F(TallyRoad, AnInterruptedStepTellsItsCounts) {
  ASSERT_TRUE(StartTally(100.0, 1e-6, 1e8)) << Failure() << Events();
  ASSERT_TRUE(StepUnderWay(1000)) << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 14), "command 14", 0)) << Failure();
  ASSERT_TRUE(SeenLine("Simulation run has been interrupted.")) << Events();
  road_->Collect();
  EXPECT_GE(engineroad::RepeatCount(run_.events, "rtally call 1"), 9) << Events();
  const auto at = [&](const std::string& start) {
    return std::find_if(run_.events.begin(), run_.events.end(),
                        [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  };
  EXPECT_LT(at("The report \"rtally call 1\""), at("Simulation run has been interrupted."));
  ASSERT_TRUE(FinishRun()) << Failure();
}

// The same step ended by command 2: the counts reach the client before the
// engine exits.
TEST_F(TallyRoad, AStepEndedWithTheEngineTellsItsCounts) {
  ASSERT_TRUE(StartTally(100.0, 1e-6, 1e8)) << Failure() << Events();
  ASSERT_TRUE(StepUnderWay(1000)) << Failure() << Events();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 2), "command 2", engineroad::kEnding))
      << Failure();
  client_->WaitFor([&] {
    road_->Collect();
    return client_->PeerLost();
  });
  road_->Collect();
  EXPECT_GE(engineroad::RepeatCount(run_.events, "rtally call 1"), 9) << Events();
  int exit_code = -1;
  client_->Close(&exit_code);
  client_.reset();
  EXPECT_EQ(exit_code, 0);
}

// A procedure with all four calls: the problem's opening when it is built,
// a pre-call as each run begins (request 31) and a post-call as it ends
// (request 134), the closing when the problem goes (the node filled again).
// y = x + 100 precalls + postcalls shows the counts inside the model.
TEST_P(ProcedureEvaluationRoad, ProceduresHearOfEachRunAndOfTheirProblem) {
  const std::uint32_t all = kPrecall | kPostcall | kProblemCalls;
  ASSERT_TRUE(Start({Scalar("rprepost", {"x"}, {"y"}, all)})) << Failure();
  auto model = [](double x) {
    return [x](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", x, kFixed);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 100.0, kFree);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    };
  };
  ASSERT_TRUE(Load(model(1.0))) << Failure() << Events();
  EXPECT_TRUE(SeenLine("rprepost opens problem 1")) << Events();
  auto end_run = [&] {
    auto request = std::make_unique<vantor_client::Request>(kProblemService);
    request->PutUInt16(134);
    return road_->Expect(std::move(request), "request 134", engineroad::kRunEnded);
  };
  double y = 0.0;
  ASSERT_TRUE(BeginRun() && SteadyState() && Value(2, &y)) << Failure() << Events();
  EXPECT_TRUE(SeenLine("rprepost precall 1")) << Events();
  EXPECT_DOUBLE_EQ(y, 101.0);
  ASSERT_TRUE(end_run()) << Failure();
  EXPECT_TRUE(SeenLine("rprepost postcall 1")) << Events();
  // A second run, with x edited inside it; a second request 31 in a run
  // that has begun calls nothing.
  ASSERT_TRUE(BeginRun() && BeginRun() && SteadyState() && Value(2, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 1.0 + 200.0 + 1.0);
  ASSERT_TRUE(Set("x", 3.0) && SteadyState() && Value(2, &y)) << Failure() << Events();
  EXPECT_DOUBLE_EQ(y, 3.0 + 200.0 + 1.0);
  ASSERT_TRUE(end_run()) << Failure();
  EXPECT_TRUE(SeenLine("rprepost postcall 2")) << Events();
  EXPECT_EQ(Events().find("rprepost precall 3"), std::string::npos) << Events();
  // A third run given up by an edit of the tree: its post-call comes as the
  // problem closes, and the new problem opens at its preparation.
  ASSERT_TRUE(BeginRun() && SeenLine("rprepost precall 3")) << Failure() << Events();
  auto fill = vantor_scenario::InstanceEdit(3, 10);
  Writer w(*fill);
  w.IdPath({2});
  model(4.0)(w);
  ASSERT_TRUE(road_->Expect(std::move(fill), "filling the node again", 0)) << Failure();
  EXPECT_TRUE(SeenLine("rprepost closes problem 1")) << Events();
  const std::string seen = Events();
  EXPECT_LT(seen.find("rprepost postcall 3"), seen.find("rprepost closes problem 1")) << seen;
  ASSERT_TRUE(vantor_scenario::Prepare(*road_, "command 6") && BeginRun() && SteadyState() &&
              Value(2, &y))
      << Failure() << Events();
  EXPECT_TRUE(SeenLine("rprepost opens problem 2")) << Events();
  EXPECT_TRUE(SeenLine("rprepost precall 4")) << Events();
  EXPECT_DOUBLE_EQ(y, 4.0 + 400.0 + 3.0);
  ASSERT_TRUE(FinishRun()) << Failure();
}


// What the engine writes on standard error just before it ends abnormally
// (a sanitizer's report, std::terminate, a failed heap check) is its only
// account of the end: a procedure that writes a report of 100 lines there
// and then calls abort() (input 1) or _exit(3) (input 2). The whole report
// reaches the pipe the engine was started with.
TEST_F(ProcedureRoad, AReportJustBeforeAnAbnormalEndReachesAPipeWhole) {
  std::string report;
  for (int line = 1; line <= 100; ++line) {
    char text[64];
    std::snprintf(text, sizeof text, "rlastwords report line %03d of 100\n", line);
    report += text;
  }
  for (const double input : {1.0, 2.0}) {
    const std::string what = input == 1.0 ? "abort" : "_exit";
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const bool started = engineroad::WithStreamsOn(
        ends[1], [&] { return Start({Scalar("rlastwords", {"x"}, {"y"})}); });
    ::close(ends[1]);
    ASSERT_TRUE(started) << what << Failure();
    // Read as the engine writes, until it has gone and the pipe is closed:
    // false at its end, or when nothing came within wait_ms.
    std::string got;
    const auto read_on = [&](int wait_ms) {
      pollfd ready{ends[0], POLLIN, 0};
      if (::poll(&ready, 1, wait_ms) <= 0) return false;
      char piece[4096];
      const ssize_t n = ::read(ends[0], piece, sizeof piece);
      if (n > 0) got.append(piece, static_cast<std::size_t>(n));
      return n > 0;
    };
    if (Load([input](Writer& w) {
          w.List(3);
          ModelVariable(w, mw::kRealVariable, 1, ".x", input, kFixed);
          ModelVariable(w, mw::kRealVariable, 2, ".y", 0.0, kFree);
          CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
        }))
      (void)(BeginRun() && SteadyState());
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(30));
    while (!client_->PeerLost() && std::chrono::steady_clock::now() < until) {
      client_->Poll();
      read_on(10);
    }
    EXPECT_TRUE(client_->PeerLost()) << what << ": the engine did not end";
    int exit_code = -1;
    client_->Close(&exit_code);
    client_.reset();
    if (input == 2.0) {
      EXPECT_EQ(exit_code, 3) << what;
    }
    while (read_on(30000)) {
    }
    ::close(ends[0]);
    EXPECT_TRUE(got.find(report) != std::string::npos) << what << ": the engine wrote\n" << got;
  }
}

// A procedure that writes 100,000 lines on a standard error nobody reads
// waits in its write for good: its own doing. The engine still ends, after
// command 2 and when its client closes, whatever it would write there
// itself on its way out.
TEST_F(ProcedureRoad, AStandardErrorNobodyReadsDoesNotKeepTheEngineFromEnding) {
  for (const bool command_2 : {true, false}) {
    const std::string what = command_2 ? "command 2" : "a close";
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const int capacity = ::fcntl(ends[0], F_GETPIPE_SZ);
    const bool started = engineroad::WithStreamsOn(
        ends[1], [&] { return Start({Scalar("rchatter", {"x"}, {"y"})}); });
    ::close(ends[1]);
    const auto unread = [&] {
      int held = 0;
      return ::ioctl(ends[0], FIONREAD, &held) == 0 ? held : -1;
    };
    ASSERT_TRUE(started) << what << Failure();
    const auto model = [](Writer& w) {
      w.List(3);
      ModelVariable(w, mw::kRealVariable, 1, ".x", 1.0, kFixed);
      ModelVariable(w, mw::kRealVariable, 2, ".y", 0.0, kFree);
      CallEquation(w, 10, 1, {mw::Var(0)}, {mw::Var(1)}, {{2, 1}, {2, 2}});
    };
    ASSERT_TRUE(Load(model) && BeginRun() &&
                road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0))
        << what << Failure();
    // The call is in its write once the pipe is full.
    client_->WaitFor([&] { return unread() > capacity / 2; });
    ASSERT_GT(unread(), capacity / 2) << what << ": the procedure did not fill the pipe";
    if (command_2) {
      ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 2), "command 2", engineroad::kEnding))
          << Failure();
      client_->WaitFor([&] { return client_->PeerLost(); });
      EXPECT_TRUE(client_->PeerLost()) << what << ": the engine did not end";
    }
    // Not killed: the engine ends by itself.
    int exit_code = -1;
    EXPECT_EQ(client_->Close(&exit_code), 0u) << what << ": the engine did not end";
    client_.reset();
    ::close(ends[0]);
  }
}

}  // namespace
}  // namespace procedureroad
