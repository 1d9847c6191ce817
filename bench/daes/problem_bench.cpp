// Residual and Jacobian evaluation through the problem root and through a
// solver block of the run, per equation and per non-zero,
// on a generated flowsheet of 10,000 equations (2,500 units of four: mass
// balance, enthalpy balance, vapour pressure, valve). The same equations
// written out in C++ run beside it: the ratio is what compiled equations
// could gain.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codegen/flowsheet/compiled_flowsheet.h"
#include "daes/blocks/compiled_hooks.h"
#include "daes/equations/equation_node.h"
#include "daes/equations/row_element.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/expression.h"
#include "expr/tree/operator_table.h"
#include "expr/tree/unary_expression.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/messages/status_and_msg.h"
#include "platform/dynamic_library.h"
#include "tests/support/generated_runtime_stub.h"

namespace {

constexpr int kUnits = 2500;

Expression* Held(Expression* e) {
  e->AddRef();
  return e;
}
Expression* V(std::uint32_t i) { return Held(new VarRefExpression(i)); }
Expression* C(double v) { return Held(new TerminalExpression(v)); }
Expression* Bin(std::uint16_t op, Expression* a, Expression* b) {
  Expression* e = MakeBinaryExpression(op, a, b);
  a->Release();
  b->Release();
  return e;
}
Expression* Un(std::uint16_t op, Expression* a) {
  Expression* e = MakeUnaryExpression(op, a);
  a->Release();
  return e;
}

// Unit k: flow F, temperature T, pressure P; unit 0 is the feed.
struct Flowsheet {
  Flowsheet() : root(new DAESInstanceNode(nullptr, nullptr)) {
    std::int32_t next = 1;
    auto variable = [&](const std::string& name, double value) {
      auto* v = new DAESRealVariable(root, name.c_str());
      v->SetFlags(daes::kAlgebraic | daes::kFree);
      v->SetValue(value);
      root->InsertChildAt(next++, v);
      return v;
    };
    for (int k = 0; k <= kUnits; ++k) {
      const std::string u = ".U" + std::to_string(k);
      F.push_back(variable(u + ".F", 10.0 + 0.001 * k));
      T.push_back(variable(u + ".T", 350.0 - 0.01 * k));
      P.push_back(variable(u + ".P", 5.0e5 - 100.0 * k));
    }
    auto equation = [&](const std::string& name, Expression* e,
                        std::vector<DAESVarTableEntry*> vars) {
      auto* node = new DAESEquationNode(root, name.c_str(), e);
      e->Release();
      std::vector<DAESRowElement*> elements;
      for (DAESVarTableEntry* v : vars) elements.push_back(new DAESScalar(v));
      node->SetRowElements(std::move(elements), static_cast<std::int32_t>(vars.size()));
      root->InsertChildAt(next++, node);
    };
    for (int k = 1; k <= kUnits; ++k) {
      const std::string u = ".E" + std::to_string(k);
      // F[k] - F[k-1] - 0.001
      equation(u + "m", Bin(kSub, Bin(kSub, V(0), V(1)), C(0.001)), {F[k], F[k - 1]});
      // F[k]*T[k] - F[k-1]*T[k-1] + 0.1*F[k]
      equation(u + "h",
               Bin(kAdd, Bin(kSub, Bin(kMul, V(0), V(1)), Bin(kMul, V(2), V(3))),
                   Bin(kMul, C(0.1), V(0))),
               {F[k], T[k], F[k - 1], T[k - 1]});
      // P[k] - exp(20 - 4000/(T[k] + 10))
      equation(u + "p",
               Bin(kSub, V(0),
                   Un(kExp, Bin(kSub, C(20.0), Bin(kDiv, C(4000.0), Bin(kAdd, V(1), C(10.0)))))),
               {P[k], T[k]});
      // F[k] - 0.5*sqrt(P[k-1] - P[k])
      equation(u + "v", Bin(kSub, V(0), Bin(kMul, C(0.5), Un(kSqrt, Bin(kSub, V(1), V(2))))),
               {F[k], P[k - 1], P[k]});
    }
    problem.reset(DAESCreateProblem(root, 0, nullptr));
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      rows.push_back(static_cast<DAESSolverEquation*>(problem->GetEquation(i)));
    }
  }
  ~Flowsheet() {
    problem.reset();
    BvuDirectoryProper::DeleteBelow(root);
    delete root;
  }
  DAESInstanceNode* root;
  std::vector<DAESVarTableEntry*> F, T, P;
  std::unique_ptr<DAESProblem> problem;
  std::vector<DAESSolverEquation*> rows;
};

Flowsheet& Sheet() {
  static Flowsheet sheet;
  return sheet;
}

void PerEquation(benchmark::State& state, std::size_t equations) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * equations));
  // Equations per nanosecond, inverted.
  state.counters["ns_per_equation"] = benchmark::Counter(
      static_cast<double>(equations) / 1e9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ProblemResidual(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    for (DAESSolverEquation* row : s.rows) {
      Status st = row->Evaluate(daes::kEvalResidual, nullptr);
      benchmark::DoNotOptimize(st);
    }
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemResidual)->Unit(benchmark::kMicrosecond);

void BM_ProblemResidualAndJacobian(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    for (DAESSolverEquation* row : s.rows) {
      Status st = row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr);
      benchmark::DoNotOptimize(st);
    }
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The same evaluation through a solver block of the run: residuals per
// equation, Jacobian entries (derivative pass plus block entries) per
// non-zero.
struct RunBlock {
  RunBlock() {
    DAESSolverBlock* raw = nullptr;
    Sheet().problem->BuildSolverBlock(&raw, daes::kFree, 0, 0, 0, true);
    block.reset(raw);
    block->BuildStructure(&rows, &cols, nullptr, 0);
    residuals.resize(block->GetRowCount());
    values.resize(block->StructureSize());
  }
  std::unique_ptr<DAESSolverBlock> block;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  std::vector<double> residuals;
  std::vector<double> values;
};

void PerNonZero(benchmark::State& state, std::size_t entries) {
  state.counters["ns_per_nonzero"] = benchmark::Counter(
      static_cast<double>(entries) / 1e9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_BlockResidual(benchmark::State& state) {
  RunBlock b;
  double largest = 0.0;
  for (auto _ : state) {
    Status st = b.block->EvaluateResiduals(daes::kEvalResidual, b.residuals.data(), &largest);
    benchmark::DoNotOptimize(st);
  }
  PerEquation(state, b.residuals.size());
}
BENCHMARK(BM_BlockResidual)->Unit(benchmark::kMicrosecond);

void BM_BlockResidualAndJacobian(benchmark::State& state) {
  RunBlock b;
  for (auto _ : state) {
    Status st = b.block->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
    st |= b.block->EvaluateJacobianEntries(b.block->StructureSize(), b.rows, b.cols,
                                           b.values.data(), 0, 0.0);
    benchmark::DoNotOptimize(st);
  }
  PerEquation(state, b.residuals.size());
  PerNonZero(state, b.values.size());
}
BENCHMARK(BM_BlockResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The same equations as C written by the solver equations, compiled with
// gcc -O2 against a stub run time and loaded: residual per equation, and
// residual plus Jacobian entries per equation, beside the tape above.
struct Compiled {
  Compiled() {
    Flowsheet& s = Sheet();
    std::ostringstream body;
    daes::EquationCState state(body);
    for (DAESSolverEquation* row : s.rows) {
      SolverEquationCodeWriter w(row, state);
      w.Prepare();
      w.WriteHead(0);
      w.WriteCaseLabel(3);
      w.WriteResetState();
      w.WriteCaseLabel(0);
      w.WriteResidual();
      w.WriteText("break;\n");
      w.WriteCaseLabel(1);
      w.WriteJacobian();
      w.WriteText("break;\n");
      w.WriteCaseLabel(2);
      w.WriteColumnPattern();
      w.WriteText("break;\n");
      w.WriteEnd();
    }
    const std::size_t capacity = TapeStateNow().capacity + 2;
    std::ostringstream source;
    source << testsupport::GeneratedRuntimeStub(capacity) << body.str() << "static void (*const g_eqns[])(int) = {0";
    for (std::int32_t n = 1; n <= state.equation; ++n) source << ",Eqn" << n;
    source << "};\nvoid setx(double* x) { g_pX = x; }\n"
           << "double residual(unsigned n) { g_eqns[n](0); return res; }\n"
           << "void jacobian(unsigned n, double* J) { g_pJ = J; g_eqns[n](1); }\n";
    char folder[] = "/tmp/vantor-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    dir = folder;
    std::ofstream(dir + "/eqns.c") << source.str();
    const std::string command = "gcc -O2 -shared -fPIC -w -o " + dir + "/eqns.so " + dir +
                                "/eqns.c -lm > " + dir + "/cc.log 2>&1";
    if (std::system(command.c_str()) != 0) return;
    handle = platform::OpenLibrary(dir + "/eqns.so").handle;
    if (handle == nullptr) return;
    residual = reinterpret_cast<double (*)(unsigned)>(platform::LibrarySymbol(handle, "residual"));
    jacobian =
        reinterpret_cast<void (*)(unsigned, double*)>(platform::LibrarySymbol(handle, "jacobian"));
    auto setx = reinterpret_cast<void (*)(double*)>(platform::LibrarySymbol(handle, "setx"));
    x.resize(static_cast<std::size_t>(s.problem->VariableCount()));
    for (std::int32_t i = 0; i < s.problem->VariableCount(); ++i) {
      DAESVarTableEntry* v = s.problem->GetVariable(i);
      x[static_cast<std::size_t>(s.problem->ColumnOf(v) - 1)] = v->GetRealValue();
    }
    J.resize(static_cast<std::size_t>(state.expr.tape.j_offset) + 1);
    if (setx != nullptr) setx(x.data());
    for (DAESSolverEquation* row : s.rows) numbers.push_back(row->CompiledNumber());
  }
  ~Compiled() {
    std::string ignored;
    if (handle != nullptr) platform::CloseLibrary(handle, &ignored);
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  bool Ready() const { return residual != nullptr && jacobian != nullptr; }
  std::string dir;
  void* handle = nullptr;
  double (*residual)(unsigned) = nullptr;
  void (*jacobian)(unsigned, double*) = nullptr;
  std::vector<double> x, J;
  std::vector<std::uint32_t> numbers;
};

Compiled& Library() {
  static Compiled library;
  return library;
}

void BM_CompiledResidual(benchmark::State& state) {
  Compiled& c = Library();
  if (!c.Ready()) {
    state.SkipWithError("gcc or the generated library failed");
    return;
  }
  for (auto _ : state) {
    double sum = 0.0;
    for (std::uint32_t n : c.numbers) sum += c.residual(n);
    benchmark::DoNotOptimize(sum);
  }
  PerEquation(state, c.numbers.size());
}
BENCHMARK(BM_CompiledResidual)->Unit(benchmark::kMicrosecond);

void BM_CompiledResidualAndJacobian(benchmark::State& state) {
  Compiled& c = Library();
  if (!c.Ready()) {
    state.SkipWithError("gcc or the generated library failed");
    return;
  }
  for (auto _ : state) {
    double sum = 0.0;
    for (std::uint32_t n : c.numbers) {
      sum += c.residual(n);
      c.jacobian(n, c.J.data());
    }
    benchmark::DoNotOptimize(sum);
    benchmark::ClobberMemory();
  }
  PerEquation(state, c.numbers.size());
}
BENCHMARK(BM_CompiledResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The generated flowsheet library itself: the problem's equations written,
// built with the installation's makefile stub and loaded as the engine
// loads it, evaluated through the rows' compiled path. Each benchmark also
// times the tape doing the same work in the same run and reports
// tape_over_library, the ratio of the two times.
struct GeneratedLibrary {
  GeneratedLibrary() {
    char made[] = "/tmp/vantor-bench-tcex-XXXXXX";
    if (mkdtemp(made) == nullptr) return;
    dir = made;
    const std::filesystem::path prefix = std::filesystem::path(dir) / "prefix";
    const std::string install = std::string(VANTOR_SOURCE_DIR) + "/codegen/install/";
    std::error_code ec;
    std::filesystem::create_directories(prefix / "bin", ec);
    std::filesystem::create_directories(prefix / "procedures", ec);
    std::filesystem::create_directories(prefix / "build", ec);
    std::filesystem::copy_file(install + "vantor-rc", prefix / "bin" / "vantor-rc", ec);
    for (const char* file :
         {"makestub.int", "bvdll.h", "bvutcfor.h", "basetsd.h", "flowsheetexportstub.cpp"}) {
      std::filesystem::copy_file(install + file, prefix / "procedures" / file, ec);
    }
    for (const auto& archive : {prefix / "bin" / "gpp.a", prefix / "procedures" / "libbvdll.a",
                                prefix / "procedures" / "bvdll_support.a"}) {
      std::ofstream(archive) << "!<arch>\n";
    }
    setenv("QLN_CE_USE", "1", 1);
    setenv("QLN_CE_KEEP", "1", 1);
    codegen::FlowsheetGeneration generation;
    generation.server_folder = (prefix / "bin").string();
    generation.folder = (prefix / "build").string();
    generation.report = [](BvuStatusAndMsg* message) { delete message; };
    if (codegen::GenerateCompiledCode(generation, Sheet().problem.get(), &name, nullptr) != 0) {
      name.clear();
    }
  }
  ~GeneratedLibrary() {
    codegen::LoadCompiledLibrary(nullptr, nullptr);
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
  // Loads the library for one benchmark; false when it was not built.
  bool Load() {
    return !name.empty() &&
           codegen::LoadCompiledLibrary(Sheet().problem.get(), name.c_str()) == 0 &&
           daes::CurrentCompiledLibrary().IsLoaded();
  }
  static void Unload() { codegen::LoadCompiledLibrary(nullptr, nullptr); }
  std::string dir;
  std::string name;
};

GeneratedLibrary& Generated() {
  static GeneratedLibrary library;
  return library;
}

// One pass over the rows with the flags; its time in seconds.
double Pass(std::uint32_t flags) {
  const auto start = std::chrono::steady_clock::now();
  for (DAESSolverEquation* row : Sheet().rows) {
    Status st = row->Evaluate(flags, nullptr);
    benchmark::DoNotOptimize(st);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration times a pass through the library and then the same pass
// through the tape, so that both see the same machine; tape_over_library
// is the ratio of the two sums.
void LibraryBenchmark(benchmark::State& state, std::uint32_t flags, bool shared = true) {
  GeneratedLibrary& g = Generated();
  if (!g.Load()) {
    GeneratedLibrary::Unload();
    state.SkipWithError("the flowsheet library was not built or not loaded");
    return;
  }
  // Unshared, the derivative pass runs the tape after the library's residual.
  if (!shared) daes::CurrentCompiledLibrary().reals = nullptr;
  double library_seconds = 0.0;
  double tape_seconds = 0.0;
  for (auto _ : state) {
    library_seconds += Pass(flags);
    state.PauseTiming();
    tape_seconds += Pass(flags | daes::kEvalInterpreted);
    state.ResumeTiming();
  }
  const std::size_t rows = Sheet().rows.size();
  PerEquation(state, rows);
  state.counters["tape_ns_per_equation"] =
      1e9 * tape_seconds /
      static_cast<double>(std::max<std::int64_t>(state.iterations(), 1) *
                          static_cast<std::int64_t>(rows));
  state.counters["tape_over_library"] =
      library_seconds > 0.0 ? tape_seconds / library_seconds : 0.0;
  GeneratedLibrary::Unload();
}

void BM_LibraryResidual(benchmark::State& state) { LibraryBenchmark(state, daes::kEvalResidual); }
BENCHMARK(BM_LibraryResidual)->Unit(benchmark::kMicrosecond);

void BM_LibraryResidualAndJacobian(benchmark::State& state) {
  LibraryBenchmark(state, daes::kEvalResidual | daes::kEvalDerivatives);
}
BENCHMARK(BM_LibraryResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// The same with the library's values kept from the derivative pass.
void BM_LibraryResidualAndJacobianUnshared(benchmark::State& state) {
  LibraryBenchmark(state, daes::kEvalResidual | daes::kEvalDerivatives, false);
}
BENCHMARK(BM_LibraryResidualAndJacobianUnshared)->Unit(benchmark::kMicrosecond);

// The same equations as C++ over arrays of values, residual and Jacobian
// entries into flat arrays.
struct Native {
  Native() : F(kUnits + 1), T(kUnits + 1), P(kUnits + 1), r(4 * kUnits), J(11 * kUnits) {
    for (int k = 0; k <= kUnits; ++k) {
      F[k] = 10.0 + 0.001 * k;
      T[k] = 350.0 - 0.01 * k;
      P[k] = 5.0e5 - 100.0 * k;
    }
  }
  void Residuals() {
    for (int k = 1; k <= kUnits; ++k) {
      double* out = &r[4 * (k - 1)];
      out[0] = F[k] - F[k - 1] - 0.001;
      out[1] = F[k] * T[k] - F[k - 1] * T[k - 1] + 0.1 * F[k];
      out[2] = P[k] - std::exp(20.0 - 4000.0 / (T[k] + 10.0));
      out[3] = F[k] - 0.5 * std::sqrt(P[k - 1] - P[k]);
    }
  }
  void Jacobian() {
    for (int k = 1; k <= kUnits; ++k) {
      double* j = &J[11 * (k - 1)];
      j[0] = 1.0;
      j[1] = -1.0;
      j[2] = T[k] + 0.1;
      j[3] = F[k];
      j[4] = -T[k - 1];
      j[5] = -F[k - 1];
      const double e = std::exp(20.0 - 4000.0 / (T[k] + 10.0));
      j[6] = 1.0;
      j[7] = -e * 4000.0 / ((T[k] + 10.0) * (T[k] + 10.0));
      const double s = std::sqrt(P[k - 1] - P[k]);
      j[8] = 1.0;
      j[9] = -0.25 / s;
      j[10] = 0.25 / s;
    }
  }
  std::vector<double> F, T, P, r, J;
};

void BM_NativeResidual(benchmark::State& state) {
  Native n;
  for (auto _ : state) {
    n.Residuals();
    benchmark::DoNotOptimize(n.r.data());
    benchmark::ClobberMemory();
  }
  PerEquation(state, 4 * kUnits);
}
BENCHMARK(BM_NativeResidual)->Unit(benchmark::kMicrosecond);

void BM_NativeResidualAndJacobian(benchmark::State& state) {
  Native n;
  for (auto _ : state) {
    n.Residuals();
    n.Jacobian();
    benchmark::DoNotOptimize(n.J.data());
    benchmark::ClobberMemory();
  }
  PerEquation(state, 4 * kUnits);
  PerNonZero(state, 11 * kUnits);
}
BENCHMARK(BM_NativeResidualAndJacobian)->Unit(benchmark::kMicrosecond);

// Building the problem from the tree: collection, registration, tapes.
void BM_ProblemCreate(benchmark::State& state) {
  Flowsheet& s = Sheet();
  for (auto _ : state) {
    std::unique_ptr<DAESProblem> p(DAESCreateProblem(s.root, 0, nullptr));
    benchmark::DoNotOptimize(p.get());
  }
  PerEquation(state, s.rows.size());
}
BENCHMARK(BM_ProblemCreate)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
