// A model with an equation for every operator row the evaluator runs,
// through the real engine, interpreted and under compiled evaluation: the
// compiled library builds and loads, every equation it can hold runs
// compiled, the one it cannot (a delay) is named and left to the
// interpreter, and both runs give every row's closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/codegen/compiled_road_fixture.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"

namespace every_row_compiled {

namespace mw = modelwriter;

using engineroad::kProblemService;
using engineroad::ModelVariable;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr double kP = 1.5, kQ = -0.4, kR = 0.3;
constexpr std::int32_t kN = 7, kM = 3, kK = -2;

// The inputs: real variables fixed, parameters of the other types.
enum Item : std::uint32_t {
  kItemP = 1,
  kItemQ,
  kItemR,
  kItemZero,
  kItemN,
  kItemM,
  kItemK,
  kItemTrue,
  kItemFalse,
  kItemAlpha,
  kItemBeta,
  kItemRealText,
  kItemIntText,
  kItemU,
  kFirstResult = 100,
  kFirstEquation = 300,
};

// Leaves and nodes of a stated type (2 integer, 3 logical, 4 real,
// 5 string).
mw::Expr Typed(mw::Expr e, std::uint16_t type) {
  auto node = std::make_shared<mw::Node>(*e);
  node->type = type;
  return node;
}
mw::Expr V(std::uint32_t k, std::uint16_t type = 4) { return Typed(mw::Var(k), type); }
mw::Expr U(std::uint8_t code, std::uint16_t type, mw::Expr a) {
  return Typed(mw::Unary(code, std::move(a)), type);
}
mw::Expr B(std::uint8_t code, std::uint16_t type, mw::Expr a, mw::Expr b) {
  return Typed(mw::Binary(code, std::move(a), std::move(b)), type);
}
mw::Expr ArrayOf(std::uint32_t k) { return Typed(mw::Var(k), 0x104); }

// One result y = f: its row's name, f over references 1.. (reference 0 is
// y; with `array` reference 1 is the array of `array` items), the items
// of the further references, and the closed form.
struct Result {
  std::string name;
  mw::Expr f;
  std::vector<std::uint32_t> items;
  double value;
  std::vector<std::uint32_t> array = {};
};

std::vector<Result> Results() {
  const mw::Expr p = V(1), q = V(2), r = V(3);
  const mw::Expr n = V(1, 2), m = V(2, 2);
  const mw::Expr t = V(1, 3), f = V(2, 3);
  const mw::Expr a = V(1, 5), b = V(2, 5);
  const std::vector<std::uint32_t> pq{kItemP, kItemQ}, pqr{kItemP, kItemQ, kItemR},
      nm{kItemN, kItemM}, tf{kItemTrue, kItemFalse}, ab{kItemAlpha, kItemBeta};
  auto list = [&] { return mw::List({V(1), V(2), V(3)}); };
  std::vector<Result> rows = {
      {"Not", U(5, 3, V(1, 3)), {kItemFalse}, 1},
      {"And", B(6, 3, t, f), tf, 0},
      {"Or", B(7, 3, t, f), tf, 1},
      {"Xor", B(8, 3, t, f), tf, 1},
      {"Eq", B(9, 3, p, q), pq, 0},
      {"Gt", B(10, 3, p, q), pq, 1},
      {"Lt", B(11, 3, p, q), pq, 0},
      {"Ge", B(12, 3, p, q), pq, 1},
      {"Le", B(13, 3, p, q), pq, 0},
      {"Ne", B(14, 3, p, q), pq, 1},
      {"Minus", U(16, 4, V(1)), {kItemQ}, -kQ},
      {"Float", U(17, 4, n), {kItemN}, kN},
      {"Round", U(60, 2, p), {kItemP}, 2},
      {"Truncate", U(61, 2, p), {kItemP}, 1},
      {"Add", B(18, 4, p, q), pq, kP + kQ},
      {"Sub", B(19, 4, p, q), pq, kP - kQ},
      {"Mul", B(20, 4, p, q), pq, kP * kQ},
      {"Div", B(21, 4, p, q), pq, kP / kQ},
      {"Mod", B(22, 2, n, m), nm, kN % kM},
      {"Pow", B(23, 4, p, V(2)), {kItemP, kItemR}, std::pow(kP, kR)},
      {"Sin", U(25, 4, V(1)), {kItemQ}, std::sin(kQ)},
      {"Cos", U(26, 4, V(1)), {kItemQ}, std::cos(kQ)},
      {"Tan", U(27, 4, V(1)), {kItemQ}, std::tan(kQ)},
      {"ASin", U(28, 4, V(1)), {kItemQ}, std::asin(kQ)},
      {"ACos", U(29, 4, V(1)), {kItemQ}, std::acos(kQ)},
      {"ATan", U(30, 4, V(1)), {kItemQ}, std::atan(kQ)},
      {"Sinh", U(63, 4, V(1)), {kItemQ}, std::sinh(kQ)},
      {"Cosh", U(64, 4, V(1)), {kItemQ}, std::cosh(kQ)},
      {"Tanh", U(65, 4, V(1)), {kItemQ}, std::tanh(kQ)},
      {"Sqrt", U(31, 4, p), {kItemP}, std::sqrt(kP)},
      {"Exp", U(32, 4, V(1)), {kItemQ}, std::exp(kQ)},
      {"Loge", U(33, 4, p), {kItemP}, std::log(kP)},
      {"Log10", U(34, 4, p), {kItemP}, std::log10(kP)},
      {"Abs", U(35, 4, V(1)), {kItemQ}, std::fabs(kQ)},
      {"Sqr", U(36, 4, V(1)), {kItemQ}, kQ * kQ},
      {"SigmaList", U(42, 4, list()), pqr, kP + kQ + kR},
      {"ProductList", U(43, 4, list()), pqr, kP * kQ * kR},
      {"MaxList", U(45, 4, list()), pqr, kP},
      {"MinList", U(44, 4, list()), pqr, kQ},
      {"SigmaArray", U(42, 4, ArrayOf(1)), {}, kP + kQ + kR, pqr},
      {"ProductArray", U(43, 4, ArrayOf(1)), {}, kP * kQ * kR, pqr},
      {"MaxArray", U(45, 4, ArrayOf(1)), {}, kP, pqr},
      {"MinArray", U(44, 4, ArrayOf(1)), {}, kQ, pqr},
      {"Delay", B(51, 4, p, V(2)), {kItemP, kItemR}, kP},
      {"Max", B(99, 4, p, q), pq, kP},
      {"Min", B(100, 4, p, q), pq, kQ},
      {"URnd", B(104, 4, p, V(2)), {kItemP, kItemZero}, kP},
      {"NRnd", B(105, 4, p, V(2)), {kItemP, kItemZero}, kP},
      {"Concat", B(9, 3, B(53, 5, a, b), mw::Str("ALPHABETA")), ab, 1},
      {"SEq", B(9, 3, a, b), ab, 0},
      {"SGt", B(10, 3, a, b), ab, 0},
      {"SLt", B(11, 3, a, b), ab, 1},
      {"SGe", B(12, 3, a, b), ab, 0},
      {"SLe", B(13, 3, a, b), ab, 1},
      {"SNe", B(14, 3, a, b), ab, 1},
      {"IEq", B(9, 3, n, m), nm, 0},
      {"IGt", B(10, 3, n, m), nm, 1},
      {"ILt", B(11, 3, n, m), nm, 0},
      {"IGe", B(12, 3, n, m), nm, 1},
      {"ILe", B(13, 3, n, m), nm, 0},
      {"INe", B(14, 3, n, m), nm, 1},
      {"IMinus", U(16, 2, n), {kItemN}, -kN},
      {"IAdd", B(18, 2, n, m), nm, kN + kM},
      {"ISub", B(19, 2, n, m), nm, kN - kM},
      {"IMul", B(20, 2, n, m), nm, kN * kM},
      {"IAbs", U(35, 2, V(1, 2)), {kItemK}, -kK},
      {"ISqr", U(36, 2, V(1, 2)), {kItemK}, kK * kK},
      {"Conv2R", U(108, 4, a), {kItemRealText}, 2.5},
      {"Conv2I", U(110, 2, a), {kItemIntText}, 42},
      {"Conv2S", B(9, 3, U(109, 5, p), mw::Str("1.5")), {kItemP}, 1},
  };
  return rows;
}

void Parameter(Writer& w, mw::Tag tag, std::uint32_t index, const std::string& name,
               const std::function<void(Writer&)>& value) {
  w.Item(tag);
  w.Placement({engineroad::Node(), {index, name}});
  value(w);
  w.End();
}

// The inputs, the results y_k (spec calculated, from 0) and their
// equations, and u with PRODUCT(ARRAY[u, p]) = 3 (u = 2, the unknown
// inside the array).
void EveryRow(Writer& w) {
  const std::vector<Result> rows = Results();
  w.List(static_cast<std::uint32_t>(14 + 2 * rows.size() + 1));
  ModelVariable(w, mw::kRealVariable, kItemP, ".p", kP, 4);
  ModelVariable(w, mw::kRealVariable, kItemQ, ".q", kQ, 4);
  ModelVariable(w, mw::kRealVariable, kItemR, ".r", kR, 4);
  ModelVariable(w, mw::kRealVariable, kItemZero, ".zero", 0.0, 4);
  for (auto [index, name, value] :
       {std::tuple{kItemN, ".n", kN}, std::tuple{kItemM, ".m", kM}, std::tuple{kItemK, ".k", kK}}) {
    Parameter(w, mw::kIntegerParameter, index, name, [&](Writer& v) { v.IntValue(value); });
  }
  Parameter(w, mw::kLogicalParameter, kItemTrue, ".t", [](Writer& v) { v.IntValue(1); });
  Parameter(w, mw::kLogicalParameter, kItemFalse, ".f", [](Writer& v) { v.IntValue(0); });
  for (auto [index, name, text] :
       {std::tuple{kItemAlpha, ".alpha", "Alpha"}, std::tuple{kItemBeta, ".beta", "beta"},
        std::tuple{kItemRealText, ".realtext", "2.5"},
        std::tuple{kItemIntText, ".inttext", "42"}}) {
    Parameter(w, mw::kStringParameter, index, name, [&](Writer& v) { v.TextValue(text); });
  }
  ModelVariable(w, mw::kRealVariable, kItemU, ".u", 1.0, 1);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    ModelVariable(w, mw::kRealVariable, kFirstResult + static_cast<std::uint32_t>(k),
                  ".y" + rows[k].name, 0.0, 1);
  }
  auto equation = [&](std::uint32_t index, const std::string& name, const mw::Expr& e,
                      const std::vector<std::uint32_t>& scalars_first,
                      const std::vector<std::uint32_t>& array,
                      const std::vector<std::uint32_t>& scalars_after) {
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(e);
    w.Placement({engineroad::Node(), {index, name}});
    w.EquationHead(static_cast<std::uint32_t>(scalars_first.size() + (array.empty() ? 0 : 1) +
                                              scalars_after.size()));
    for (std::uint32_t s : scalars_first) w.Reference({2, s});
    if (!array.empty()) {
      w.ArrayReference(1, static_cast<std::uint32_t>(array.size()));
      for (std::uint32_t m : array) w.Member({2, m});
    }
    for (std::uint32_t s : scalars_after) w.Reference({2, s});
  };
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const auto y = kFirstResult + static_cast<std::uint32_t>(k);
    equation(kFirstEquation + static_cast<std::uint32_t>(k), ".e" + rows[k].name,
             mw::Sub(V(0), rows[k].f), {y}, rows[k].array, rows[k].items);
  }
  equation(kFirstEquation + 99, ".eU", mw::Sub(U(43, 4, ArrayOf(0)), mw::Real(3.0)), {},
           {kItemU, kItemP}, {});
}

class CodegenCompileEveryRow : public codegen_test::CompiledRoad {
 protected:
  // The steady state; every result and u read.
  bool Solve(const std::string& name, std::vector<double>* values, double* u) {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    run_ = {};
    if (!StartEngine(engine, name)) return false;
    if (!Load(EveryRow)) {
      // The lines that say why arrive after the answer.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
      client_->WaitFor([&] { return std::chrono::steady_clock::now() > until; });
      road_->Collect();
      return false;
    }
    if (!BeginRun() || !road_->Expect(MakeCommand(kProblemService, 9), "command 9", 0) ||
        !road_->WaitStep(0.0, "the steady state"))
      return false;
    if (Events().find("solution failure") != std::string::npos) return Fail("no steady state");
    const std::size_t n = Results().size();
    values->assign(n, std::nan(""));
    for (std::size_t k = 0; k < n; ++k) {
      if (!road_->Read(kFirstResult + static_cast<std::uint32_t>(k), &(*values)[k], "y"))
        return false;
    }
    return road_->Read(kItemU, u, "u") && FinishRun();
  }

  std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : run_.events) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
  }
};

TEST_F(CodegenCompileEveryRow, CompiledAndInterpretedRunsGiveEveryRowsValue) {
  const std::vector<Result> rows = Results();
  std::vector<double> compiled, interpreted;
  double u_compiled = 0.0, u_interpreted = 0.0;
  {
    testsupport::ScopedEnv use("QLN_CE_USE", "1");
    ASSERT_TRUE(Solve("Compiled", &compiled, &u_compiled)) << Failure() << "\n" << Events();
    EXPECT_FALSE(Lines("Loaded flowsheet object code library (tcex").empty()) << Events();
    EXPECT_TRUE(Lines("Failed to load/generate").empty()) << Events();
    // Every equation runs compiled but the delay's, which is named.
    EXPECT_EQ(Lines("could not be compiled"),
              std::vector<std::string>{
                  "Equation Model.eDelay could not be compiled; the interpreter evaluates it."})
        << Events();
  }
  {
    testsupport::ScopedEnv use("QLN_CE_USE", "0");
    ASSERT_TRUE(Solve("Interpreted", &interpreted, &u_interpreted)) << Failure() << "\n"
                                                                    << Events();
    EXPECT_TRUE(Lines("Generating flowsheet object code").empty());
  }
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const double tolerance = 1e-13 * std::max(1.0, std::fabs(rows[k].value));
    EXPECT_NEAR(compiled[k], rows[k].value, tolerance) << rows[k].name << " compiled";
    EXPECT_NEAR(interpreted[k], rows[k].value, tolerance) << rows[k].name << " interpreted";
  }
  EXPECT_NEAR(u_compiled, 2.0, 1e-10);
  EXPECT_NEAR(u_interpreted, 2.0, 1e-10);
}

}  // namespace every_row_compiled
