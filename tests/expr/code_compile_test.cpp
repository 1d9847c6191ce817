// The C++ value and derivative code of seeded random trees, compiled with the
// system compiler against a stub of the QV run time and loaded back: its
// values equal the tape's and its derivative chains the reverse pass's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "expr/codegen/code_writer.h"
#include "expr/tape/tape.h"
#include "foundation/messages/math_error.h"
#include "tests/expr/tape_helpers.h"
#include "tests/support/temp_dir.h"

using namespace exprtest;
using namespace tapetest;

namespace {

constexpr int kVars = 4;
constexpr int kTrees = 160;
constexpr int kFactors = 96;

// The run time the generated text relies on, as far as these rows need it.
constexpr const char* kStub = R"(#pragma once
#include <cfloat>
#include <cmath>
#define CONST_CHAR_STAR char*
#define _T(x) x
inline double sqr(double x) { return x * x; }
inline double sign(double x) { return x < 0.0 ? -1.0 : 1.0; }
inline double QV_max(double a, double b) { return a > b ? a : b; }
inline double QV_min(double a, double b) { return a < b ? a : b; }
inline void QLN_Print(int, char*) {}
inline int iround(double x) { return static_cast<int>(x >= 0 ? std::trunc(x + 0.5) : std::trunc(x - 0.5)); }
inline int itrunc(double x) { return static_cast<int>(x); }
)";

// A variable that notes the order of its Jacobian entries.
class CodeVar : public ADVar {
 public:
  CodeVar(std::string name, int index, std::vector<int>* order)
      : ADVar(std::move(name), 0.0), index_(index), order_(order) {}
  Status WriteVariableDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                                     std::int32_t factor) override {
    order_->push_back(index_);
    return ADVar::WriteVariableDerivativeCode(writer, out, factor);
  }

 private:
  int index_;
  std::vector<int>* order_;
};

// Trees over every unary and binary row that has a derivative, each kept
// inside its domain at any values of the variables.
class Generator {
 public:
  Generator(std::uint32_t seed, std::vector<Expression*> variables)
      : rng_(seed), variables_(std::move(variables)) {}

  Ref Real(int depth) {
    if (depth <= 0 || Pick(7) == 0) return Leaf();
    switch (Pick(17)) {
      case 0:
        return B(kAdd, Real(depth - 1), Real(depth - 1));
      case 1:
        return B(kSub, Real(depth - 1), Real(depth - 1));
      case 2:
        return B(kMul, Real(depth - 1), Real(depth - 1));
      case 3:
        return B(kDiv, Real(depth - 1), Positive(depth - 1));
      case 4:
        return B(kPow, Positive(depth - 1), Bounded(depth - 1));
      case 5:
        return B(kPow, Positive(depth - 1), Const(static_cast<double>(Pick(3) + 2)));
      case 6:
        return U(kMinus, Real(depth - 1));
      case 7:
        return U(Pick(2) == 0 ? kSin : kCos, Real(depth - 1));
      case 8:
        return U(Pick(2) == 0 ? kATan : kTanh, Real(depth - 1));
      case 9:
        return U(kTan, B(kMul, Bounded(depth - 1), Const(0.5)));
      case 10:
        return U(Pick(2) == 0 ? kASin : kACos, B(kMul, Bounded(depth - 1), Const(0.9)));
      case 11:
        return U(Pick(2) == 0 ? kSinh : kCosh, Bounded(depth - 1));
      case 12:
        return U(kExp, Bounded(depth - 1));
      case 13: {
        static constexpr std::uint16_t kLogs[] = {kSqrt, kLoge, kLog10};
        return U(kLogs[Pick(3)], Positive(depth - 1));
      }
      case 14:
        return U(Pick(2) == 0 ? kAbs : kSqr, Real(depth - 1));
      default: {
        static constexpr std::uint16_t kAggregates[] = {kSigma, kProd, kMaxList, kMinList};
        const std::uint16_t op = kAggregates[Pick(4)];
        std::vector<Ref> items;
        for (int i = 0; i < 3; ++i) items.push_back(Real(depth - 1));
        auto* list = new ExpressionList;
        for (const Ref& item : items) list->Append(item.get());
        return U(op, Hold(new HomListExpression(list, 0x100)));
      }
    }
  }

 private:
  std::uint32_t Pick(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_);
  }
  Ref Const(double v) { return exprtest::Real(v); }
  Ref Leaf() {
    if (Pick(5) == 0) return Const(std::uniform_real_distribution<double>(-2, 2)(rng_));
    return Hold(variables_[Pick(kVars)]);
  }
  Ref Bounded(int depth) { return U(Pick(2) == 0 ? kSin : kTanh, Real(depth)); }
  Ref Positive(int depth) { return B(kAdd, U(kSqr, Real(depth)), Const(0.5)); }

  std::mt19937 rng_;
  std::vector<Expression*> variables_;
};

bool Near(double a, double b, double rel) {
  return std::fabs(a - b) <= rel * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

struct Library {
  void* handle = nullptr;
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
};

using ValueFunction = double (*)(const double*);
using DerivativeFunction = int (*)(const double*, double*);

TEST(CodeCompile, ValuesAndDerivativeChainsEqualTheTape) {
  InstallMathErrorHook();
  MathErrorStatus.Reset();
  testsupport::TempDir dir;
  std::vector<int> order;
  std::vector<std::unique_ptr<CodeVar>> owned;
  std::vector<Ref> leaves;
  std::vector<ExpressionVariable*> vars;
  for (int i = 0; i < kVars; ++i) {
    owned.push_back(std::make_unique<CodeVar>("x" + std::to_string(i), i, &order));
    vars.push_back(owned.back().get());
    leaves.push_back(Hold(new VariableExpression(owned.back().get())));
  }
  std::vector<Expression*> leaf_nodes;
  for (const Ref& leaf : leaves) leaf_nodes.push_back(leaf.get());
  Generator gen(20261207, leaf_nodes);

  // Every tree writes one value function and one derivative function.
  std::ostringstream source;
  source << "#include \"qv_stub.h\"\n";
  std::vector<Ref> trees;
  std::vector<std::vector<int>> entries;
  ExprCodeWriter writer;
  writer.function_folder = dir.path().string() + "/";
  for (int t = 0; t < kTrees; ++t) {
    trees.push_back(gen.Real(2 + t % 5));
    Expression* root = trees.back().get();
    std::ostringstream value, derivative;
    CodeOutputs out;
    out.stream[codestream::kValue] = &value;
    std::uint32_t flags = codeflag::kValueOnly;
    ASSERT_EQ(root->WriteValueCode(writer, out, flags), 0u) << Printed(root);
    out.stream[codestream::kValue] = &derivative;
    order.clear();
    writer.indent = 1;
    ASSERT_EQ(root->WriteDerivativeCode(writer, out, 0), 0u) << Printed(root);
    writer.indent = 0;
    entries.push_back(order);
    const std::string head = "(const double* xv";
    source << "extern \"C\" double value_" << t << head << ") {\n"
           << "  const double x0 = xv[0], x1 = xv[1], x2 = xv[2], x3 = xv[3];\n"
           << "  (void)x0; (void)x1; (void)x2; (void)x3;\n"
           << "  return " << value.str() << ";\n}\n";
    source << "extern \"C\" int deriv_" << t << head << ", double* jac) {\n"
           << "  const double x0 = xv[0], x1 = xv[1], x2 = xv[2], x3 = xv[3];\n"
           << "  (void)x0; (void)x1; (void)x2; (void)x3;\n  int nz_count = 0;\n";
    for (int k = 1; k <= kFactors; ++k)
      source << "  double factor" << k << " = 0.0; (void)factor" << k << ";\n";
    source << derivative.str() << "  return nz_count;\n}\n";
  }
  std::ofstream(dir / "qv_stub.h") << kStub;
  std::ofstream(dir / "generated.cpp") << source.str();
  const char* compiler = std::getenv("CXX");
  const std::string command = std::string(compiler != nullptr ? compiler : "c++") +
                              " -shared -fPIC -O1 -w -o " + (dir / "generated.so").string() + " " +
                              (dir / "generated.cpp").string() + " 2> " +
                              (dir / "compiler.log").string();
  ASSERT_EQ(std::system(command.c_str()), 0) << [&] {
    std::ifstream log(dir / "compiler.log");
    return std::string(std::istreambuf_iterator<char>(log), {});
  }();
  Library library;
  library.handle = dlopen((dir / "generated.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library.handle, nullptr) << dlerror();

  std::mt19937 points(7);
  int compared = 0;
  for (int t = 0; t < kTrees; ++t) {
    Expression* root = trees[static_cast<std::size_t>(t)].get();
    const auto value = reinterpret_cast<ValueFunction>(
        dlsym(library.handle, ("value_" + std::to_string(t)).c_str()));
    const auto derivative = reinterpret_cast<DerivativeFunction>(
        dlsym(library.handle, ("deriv_" + std::to_string(t)).c_str()));
    ASSERT_NE(value, nullptr);
    ASSERT_NE(derivative, nullptr);
    // The variables take their places in the context before the tape is made.
    TestContext visit(root, vars);
    std::uint32_t nodes = 0;
    ASSERT_EQ(root->VisitVariables(&visit, &nodes, 0), 0u);
    Bound bound(root, vars);
    ExprADContext& context = *bound.context;
    ASSERT_TRUE(context.HasTape()) << Printed(root);
    for (int point = 0; point < 3; ++point) {
      double x[kVars];
      for (int i = 0; i < kVars; ++i) {
        x[i] = std::uniform_real_distribution<double>(-1.5, 1.5)(points);
        owned[static_cast<std::size_t>(i)]->Set(x[i]);
        owned[static_cast<std::size_t>(i)]->SetElementValue(0, 0.0);
      }
      if (status::IsFailure(context.Evaluate())) continue;
      const double want = context.Result().payload.real;
      const double got = value(x);
      ASSERT_TRUE(Near(got, want, 1e-12)) << Printed(root) << ": " << got << " vs " << want;
      if (context.EvaluateJacobian(0) != 0) continue;
      std::vector<double> jac(entries[static_cast<std::size_t>(t)].size() + 1, 0.0);
      const int n = derivative(x, jac.data());
      ASSERT_EQ(static_cast<std::size_t>(n), entries[static_cast<std::size_t>(t)].size());
      double partial[kVars] = {};
      for (int k = 0; k < n; ++k) {
        partial[entries[static_cast<std::size_t>(t)][static_cast<std::size_t>(k)]] +=
            jac[static_cast<std::size_t>(k)];
      }
      for (int i = 0; i < kVars; ++i) {
        const double expected = owned[static_cast<std::size_t>(i)]->ElementValue(0);
        EXPECT_TRUE(Near(partial[i], expected, 1e-9))
            << Printed(root) << " d/dx" << i << ": " << partial[i] << " vs " << expected;
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, kTrees * 2);
}

}  // namespace
