// C from the tape: goldens of the residual and Jacobian texts, and a seeded
// corpus of residuals compiled with the system C compiler against a stub run
// time, loaded through the library loader and compared with the interpreter
// and the reverse pass at random points.
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
#include "platform/dynamic_library.h"
#include "tests/expr/tape_helpers.h"
#include "tests/support/temp_dir.h"

using namespace exprtest;
using namespace tapetest;

namespace {

// The run time the tape code needs, as far as these rows go.
constexpr const char* kStub = R"(#include <math.h>
#include <stdlib.h>
static inline double bv_sqr(double x) { return x * x; }
static inline double bv_fabs(double x) { return fabs(x); }
static inline int bv_isqr(int x) { return x * x; }
static inline int bv_round(double x) { return (int)(x >= 0 ? trunc(x + 0.5) : trunc(x - 0.5)); }
static inline double bv_time(void) { return 0.0; }
#include <string.h>
#include <strings.h>
static inline int bv_mod(int a, int b) { return b == 0 || b == -1 ? 0 : a % b; }
static char bv_texts[8][84];
static int bv_next;
static inline char* bv_concat(const char* a, const char* b) {
  char* t = bv_texts[bv_next++ % 8];
  strcpy(t, a);
  strcat(t, b);
  return t;
}
static inline int bv_strcmpEQ(const char* a, const char* b) { return strcasecmp(a, b) == 0; }
static inline int bv_strcmpGT(const char* a, const char* b) { return strcasecmp(a, b) > 0; }
static inline int bv_strcmpLT(const char* a, const char* b) { return strcasecmp(a, b) < 0; }
static inline int bv_strcmpGE(const char* a, const char* b) { return strcasecmp(a, b) >= 0; }
static inline int bv_strcmpLE(const char* a, const char* b) { return strcasecmp(a, b) <= 0; }
static inline int bv_strcmpNE(const char* a, const char* b) { return strcasecmp(a, b) != 0; }
)";

// A variable at a place in the solver's vector.
class SolverVar : public ADVar {
 public:
  SolverVar(std::string name, std::int32_t index) : ADVar(std::move(name), 0.0), index_(index) {}
  std::int32_t SolverIndex() const override { return index_; }

 private:
  std::int32_t index_;
};

struct Residual {
  Ref root;
  std::unique_ptr<Bound> bound;
};

// Variables x[0..count) and contexts over them.
class Model {
 public:
  explicit Model(int count) {
    for (int i = 0; i < count; ++i) {
      std::string name = std::to_string(i);
      name.insert(name.begin(), 'x');
      vars_.push_back(std::make_unique<SolverVar>(name, i));
      array_.push_back(vars_.back().get());
    }
  }
  Ref Leaf(int i) { return Hold(new VariableExpression(At(i))); }
  SolverVar* At(int i) { return vars_[static_cast<std::size_t>(i)].get(); }
  int Count() const { return static_cast<int>(vars_.size()); }
  std::unique_ptr<Bound> Bind(Expression* root) {
    TestContext visit(root, array_);
    std::uint32_t nodes = 0;
    EXPECT_EQ(root->VisitVariables(&visit, &nodes, 0), 0u);
    return std::make_unique<Bound>(root, array_);
  }

 private:
  std::vector<std::unique_ptr<SolverVar>> vars_;
  std::vector<ExpressionVariable*> array_;
};

std::string ValueCode(ExprPCContext& context, ExprCodeWriter& writer) {
  std::ostringstream out;
  EXPECT_EQ(context.WriteValueCode(writer, out), 0u);
  return out.str();
}
std::string DerivativeCode(ExprADContext& context, ExprCodeWriter& writer,
                           const std::vector<std::int32_t>& columns) {
  std::ostringstream out;
  EXPECT_EQ(context.WriteDerivativeCode(writer, out, columns), 0u);
  return out.str();
}

TEST(TapeCode, ProductMinusConstantWritesTwoAssignments) {
  Model model(6);
  Ref root = B(kSub, B(kMul, model.Leaf(3), model.Leaf(5)), Real(2.0));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  EXPECT_EQ(ValueCode(*bound->context, writer), "s[1]=x[3]*x[5];s[2]= -2+s[1];res=s[2];\n");
  EXPECT_FALSE(writer.tape.failed);
}

TEST(TapeCode, IntegerRootEndsWithIres) {
  Model model(2);
  Ref root = B(kGt, model.Leaf(0), model.Leaf(1));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  const std::string code = ValueCode(*bound->context, writer);
  EXPECT_NE(code.find("is[1]=x[0]>x[1];"), std::string::npos) << code;
  EXPECT_NE(code.find("ires=is[1];"), std::string::npos) << code;
}

TEST(TapeCode, ProductJacobianHasNoZeroChain) {
  Model model(2);
  Ref root = B(kMul, model.Leaf(0), model.Leaf(1));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  writer.tape.j_offset = 7;
  EXPECT_EQ(DerivativeCode(*bound->context, writer, {0, 1}),
            "{double c1=1.0;J[7]=c1*x[1];J[8]=c1*x[0];}\n");
  // A listed column the residual does not reach is zeroed in one chain.
  EXPECT_EQ(DerivativeCode(*bound->context, writer, {4, 0, 9, 1}),
            "{double c1=1.0;J[8]=c1*x[1];J[10]=c1*x[0];J[7]=J[9]=0;}\n");
}

TEST(TapeCode, LongDerivativeLinesBreakAfterTwoHundredColumns) {
  Model model(1);
  Ref root = model.Leaf(0);
  for (int k = 0; k < 40; ++k) root = B(kMul, root, model.Leaf(0));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  std::istringstream lines(DerivativeCode(*bound->context, writer, {0}));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_LT(line.size(), 260u);
    ++count;
  }
  EXPECT_GT(count, 1);
}

TEST(TapeCode, NonlinearRowsMarkTheCurrentEquation) {
  Model model(2);
  Ref root = U(kFloat, U(kRound, model.Leaf(0)));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  writer.tape.current_equation = 3;
  ValueCode(*bound->context, writer);
  ASSERT_GT(writer.tape.nonlinear.size(), 3u);
  EXPECT_TRUE(writer.tape.nonlinear[3]);
  EXPECT_FALSE(writer.tape.nonlinear[0]);
}

TEST(TapeCode, TextRowsWithoutACFormSetTheFailureFlag) {
  Ref root = U(kConv2S, Real(1.5), SUValue::kString);
  Bound bound(root.get(), {});
  ASSERT_TRUE(bound.context->HasTape());
  ExprCodeWriter writer;
  std::ostringstream out;
  bound.context->WriteValueCode(writer, out);
  EXPECT_NE(out.str().find("/*Expression not yet implemented*/"), std::string::npos);
  EXPECT_TRUE(writer.tape.failed);
}

// --- compile and compare ---

// Residual trees over every real row with a C form, kept inside their domains.
class Generator {
 public:
  Generator(std::uint32_t seed, Model* model) : rng_(seed), model_(model) {}

  Ref Real(int depth) {
    if (depth <= 0 || Pick(7) == 0) return Leaf();
    switch (Pick(16)) {
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
        return B(kPow, Real(depth - 1), exprtest::Real(static_cast<double>(Pick(3) + 2)));
      case 6:
        return U(kMinus, Real(depth - 1));
      case 7:
        return U(Pick(2) == 0 ? kSin : kCos, Real(depth - 1));
      case 8:
        return U(Pick(2) == 0 ? kATan : kTanh, Real(depth - 1));
      case 9:
        return U(kTan, B(kMul, Bounded(depth - 1), exprtest::Real(0.5)));
      case 10:
        return U(Pick(2) == 0 ? kASin : kACos, B(kMul, Bounded(depth - 1), exprtest::Real(0.9)));
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
      default:
        return B(Pick(2) == 0 ? kMax : kMin, Real(depth - 1), Real(depth - 1));
    }
  }

 private:
  std::uint32_t Pick(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_);
  }
  Ref Leaf() {
    if (Pick(5) == 0) return exprtest::Real(std::uniform_real_distribution<double>(-2, 2)(rng_));
    return model_->Leaf(static_cast<int>(Pick(static_cast<std::uint32_t>(model_->Count()))));
  }
  Ref Bounded(int depth) { return U(Pick(2) == 0 ? kSin : kTanh, Real(depth)); }
  Ref Positive(int depth) { return B(kAdd, U(kSqr, Real(depth)), exprtest::Real(0.5)); }

  std::mt19937 rng_;
  Model* model_;
};

bool Near(double a, double b, double rel) {
  return std::fabs(a - b) <= rel * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Compiles one C source into a shared library; the compiler's output on failure.
bool CompileC(const std::filesystem::path& dir, const std::string& source, std::string* log) {
  std::ofstream(dir / "bv_stub.h") << kStub;
  std::ofstream(dir / "generated.c") << source;
  const char* compiler = std::getenv("CC");
  const std::string command = std::string(compiler != nullptr ? compiler : "gcc") +
                              " -shared -fPIC -O1 -w -o " + (dir / "generated.so").string() + " " +
                              (dir / "generated.c").string() + " -lm > " +
                              (dir / "compiler.log").string() + " 2>&1";
  const bool ok = std::system(command.c_str()) == 0;
  *log = ReadAll(dir / "compiler.log");
  return ok;
}

struct Loaded {
  explicit Loaded(const std::filesystem::path& path) {
    platform::LibraryOpen open = platform::OpenLibrary(path.string());
    handle = open.handle;
    error = open.error;
  }
  ~Loaded() {
    std::string ignored;
    if (handle != nullptr) platform::CloseLibrary(handle, &ignored);
  }
  void* handle = nullptr;
  std::string error;
};

using ResidualFunction = void (*)(const double* x, double* res, double* J);

TEST(TapeCCompile, ResidualsAndJacobiansEqualTheInterpreter) {
  InstallMathErrorHook();
  MathErrorStatus.Reset();
  constexpr int kVars = 5;
  constexpr int kTrees = 200;
  testsupport::TempDir dir;
  Model model(kVars);
  Generator gen(20261207, &model);
  std::vector<std::int32_t> columns;
  for (int i = 0; i < kVars; ++i) columns.push_back(i);

  std::ostringstream source;
  source << "#include \"bv_stub.h\"\n";
  std::vector<Residual> residuals;
  ExprCodeWriter writer;
  for (int t = 0; t < kTrees; ++t) {
    Residual r;
    r.root = gen.Real(2 + t % 5);
    r.bound = model.Bind(r.root.get());
    ASSERT_TRUE(r.bound->context->HasTape()) << Printed(r.root.get());
    const std::size_t capacity = TapeStateNow().capacity + 2;
    source << "void residual_" << t << "(const double* x, double* out, double* J) {\n"
           << "double s[" << capacity << "];int is[" << capacity
           << "];double res=0.0,temp;int ires=0;(void)is;(void)ires;(void)temp;\n"
           << ValueCode(*r.bound->context, writer)
           << DerivativeCode(*r.bound->context, writer, columns) << "*out=res;\n}\n";
    residuals.push_back(std::move(r));
  }
  EXPECT_FALSE(writer.tape.failed);
  std::string log;
  ASSERT_TRUE(CompileC(dir.path(), source.str(), &log)) << log;
  Loaded library(dir / "generated.so");
  ASSERT_NE(library.handle, nullptr) << library.error;

  std::mt19937 points(11);
  int compared = 0;
  for (int t = 0; t < kTrees; ++t) {
    Residual& r = residuals[static_cast<std::size_t>(t)];
    const auto function = reinterpret_cast<ResidualFunction>(
        platform::LibrarySymbol(library.handle, ("residual_" + std::to_string(t)).c_str()));
    ASSERT_NE(function, nullptr);
    ExprADContext& context = *r.bound->context;
    for (int point = 0; point < 3; ++point) {
      double x[kVars];
      for (int i = 0; i < kVars; ++i) {
        x[i] = std::uniform_real_distribution<double>(-1.5, 1.5)(points);
        model.At(i)->Set(x[i]);
        model.At(i)->SetElementValue(0, 0.0);
      }
      MathErrorStatus.Reset();
      if (status::IsFailure(context.Evaluate())) continue;
      const double want = context.Result().payload.real;
      double got = 0.0;
      double jac[kVars] = {};
      function(x, &got, jac);
      ASSERT_TRUE(Near(got, want, 1e-12)) << Printed(r.root.get()) << ": " << got << " vs " << want;
      if (context.EvaluateJacobian(0) != 0) continue;
      for (int i = 0; i < kVars; ++i) {
        const double expected = model.At(i)->ElementValue(0);
        EXPECT_TRUE(Near(jac[i], expected, 1e-12))
            << Printed(r.root.get()) << " d/dx" << i << ": " << jac[i] << " vs " << expected;
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, kTrees * 2);
}

TEST(TapeCCompile, ConstantZeroDivisorFailsTheBuild) {
  testsupport::TempDir dir;
  Model model(1);
  Ref root = B(kDiv, model.Leaf(0), Real(0.0));
  auto bound = model.Bind(root.get());
  ExprCodeWriter writer;
  const std::string value = ValueCode(*bound->context, writer);
  EXPECT_NE(value.find("\nERROR: generating a divide by zero\n"), std::string::npos);
  std::ostringstream source;
  source << "#include \"bv_stub.h\"\nvoid f(const double* x){double s[8];double res;\n"
         << value << "(void)res;}\n";
  std::string log;
  EXPECT_FALSE(CompileC(dir.path(), source.str(), &log));
  EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
}

// A real array whose elements sit in the solver's vector from `first` on.
class SolverArray : public ExpressionVariable {
 public:
  SolverArray(std::int32_t first, std::int32_t count) {
    value_.SetType(SUValue::kOneDimension | SUValue::kReal);
    value_.Resize(count);
    for (std::int32_t e = 0; e < count; ++e) {
      std::string name = std::to_string(e);
      name.insert(name.begin(), 'a');
      elements_.push_back(std::make_unique<SolverVar>(name, first + e));
      value_.Elements()[e].SetType(SUValue::kReal);
    }
  }
  const char* NameText() const override { return "a"; }
  SUValue* ValuePointer() override { return &value_; }
  std::uint16_t ValueType() const override { return value_.type; }
  std::int32_t ElementCount() const override { return static_cast<std::int32_t>(elements_.size()); }
  ExpressionVariable* ElementOfList(std::int32_t e) override { return At(e); }
  SolverVar* At(std::int32_t e) { return elements_[static_cast<std::size_t>(e)].get(); }
  void Set(std::int32_t e, double v) {
    value_.Elements()[e].SetReal(v);
    At(e)->Set(v);
  }

 private:
  SUValue value_;
  std::vector<std::unique_ptr<SolverVar>> elements_;
};

// Integer, text and array-fold rows: Mod, the text comparisons over a
// concatenation, and the four aggregates over an array, compiled and
// compared with the interpreter and the reverse pass.
TEST(TapeCCompile, IntegerTextAndFoldRowsEqualTheInterpreter) {
  InstallMathErrorHook();
  testsupport::TempDir dir;
  Model model(3);
  SolverArray array(3, 3);
  TextVar text("t", "ab");
  std::vector<ExpressionVariable*> vars{model.At(0), model.At(1), model.At(2), &array, &text};
  constexpr std::uint16_t kRealArray = SUValue::kOneDimension | SUValue::kReal;
  const Ref x0 = Var(0), x1 = Var(1), a = Var(3, kRealArray), t = Var(4, SUValue::kString);
  const Ref trees[] = {
      B(kMul, x0, B(kMod, U(kTruncate, B(kMul, x1, Real(10.0))), Int(3))),
      B(kAdd, x1, B(kSEq, B(kConcat, t, Text("C")), Text("ABc"))),
      B(kSub, x0, B(kSLt, t, Text("Banana"))),
      B(kMul, x0, B(kSGe, t, B(kConcat, t, t))),
      U(kSigma, a),
      B(kMul, x0, U(kProd, a)),
      B(kSub, U(kMaxList, a), x1),
      B(kMul, U(kMinList, a), U(kSqr, x0)),
  };
  const std::vector<std::int32_t> columns{0, 1, 2, 3, 4, 5};
  std::ostringstream source;
  source << "#include \"bv_stub.h\"\n";
  std::vector<std::unique_ptr<Bound>> bound;
  ExprCodeWriter writer;
  for (std::size_t t = 0; t < std::size(trees); ++t) {
    bound.push_back(std::make_unique<Bound>(trees[t].get(), vars));
    ASSERT_TRUE(bound.back()->context->HasTape()) << Printed(trees[t].get());
    const std::size_t capacity = TapeStateNow().capacity + 2;
    source << "void residual_" << t << "(const double* x, double* out, double* J) {\n"
           << "double s[" << capacity << "];int is[" << capacity << "];char *ss[" << capacity
           << "];double res=0.0,temp;int ires=0;\n"
           << ValueCode(*bound.back()->context, writer)
           << DerivativeCode(*bound.back()->context, writer, columns)
           << "*out=res;(void)is;(void)ss;(void)temp;(void)ires;\n}\n";
  }
  EXPECT_FALSE(writer.tape.failed);
  // The rows reach the C, not folded away by the compiler.
  for (const char* form : {"bv_mod(", "bv_concat(", "bv_strcmpEQ(", "bv_strcmpLT(", "bv_strcmpGE(",
                           "=x[3]+x[4]+x[5];", "{int h=0;"}) {
    EXPECT_NE(source.str().find(form), std::string::npos) << form;
  }
  std::string log;
  ASSERT_TRUE(CompileC(dir.path(), source.str(), &log)) << log << source.str();
  Loaded library(dir / "generated.so");
  ASSERT_NE(library.handle, nullptr) << library.error;
  std::mt19937 points(3);
  for (std::size_t t = 0; t < std::size(trees); ++t) {
    const auto function = reinterpret_cast<ResidualFunction>(
        platform::LibrarySymbol(library.handle, ("residual_" + std::to_string(t)).c_str()));
    ASSERT_NE(function, nullptr);
    ExprADContext& context = *bound[t]->context;
    for (int point = 0; point < 4; ++point) {
      double x[6];
      for (int i = 0; i < 6; ++i) {
        // Ties between array elements on some points: the extreme's first.
        x[i] =
            point == 3 && i >= 3 ? 0.75 : std::uniform_real_distribution<double>(-1.5, 1.5)(points);
        if (i < 3) {
          model.At(i)->Set(x[i]);
          model.At(i)->SetElementValue(0, 0.0);
        } else {
          array.Set(i - 3, x[i]);
          array.At(i - 3)->SetElementValue(0, 0.0);
        }
      }
      MathErrorStatus.Reset();
      ASSERT_EQ(context.Evaluate(), 0u) << Printed(trees[t].get());
      const double want = context.Result().payload.real;
      double got = 0.0;
      double jac[6] = {};
      function(x, &got, jac);
      EXPECT_TRUE(Near(got, want, 1e-12))
          << Printed(trees[t].get()) << ": " << got << " vs " << want;
      ASSERT_EQ(context.EvaluateJacobian(0), 0u);
      for (int i = 0; i < 6; ++i) {
        const double expected =
            i < 3 ? model.At(i)->ElementValue(0) : array.At(i - 3)->ElementValue(0);
        EXPECT_TRUE(Near(jac[i], expected, 1e-12))
            << Printed(trees[t].get()) << " d/dx" << i << ": " << jac[i] << " vs " << expected;
      }
    }
  }
}

}  // namespace
