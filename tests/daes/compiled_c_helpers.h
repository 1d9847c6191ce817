// Compiling a problem's equation functions with the system C compiler
// against a stub run time (one compiler run per model), loading them through
// the library loader and comparing them with the interpreter.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daes/events/finite_state_equation.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tape/tape.h"
#include "platform/dynamic_library.h"
#include "tests/support/generated_runtime_stub.h"

namespace compiledtest {

// Writes one equation function as the single-equation block does.
inline void WriteEquation(DAESSolverEquation* row, daes::EquationCState& state) {
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
  EXPECT_EQ(w.WriteEnd(), 0u) << row->GetNameText();
}

struct Loaded {
  ~Loaded() {
    daes::CurrentCompiledLibrary() = daes::CompiledLibrary{};
    std::string ignored;
    if (handle != nullptr) platform::CloseLibrary(handle, &ignored);
  }
  void* handle = nullptr;
  void (*setx)(double*) = nullptr;
  void (*jacobian)(std::uint32_t, double*) = nullptr;
  const int* (*columns)(std::uint32_t) = nullptr;
  void (*reset_state)(std::uint32_t) = nullptr;
  std::int32_t (*level_state)(std::uint32_t, std::int32_t) = nullptr;
  // System functions in the library answer through this one.
  void (*set_sysfun)(double (*)(const char*)) = nullptr;
};

// Compiles C source into a shared library in `dir` and loads it.
inline ::testing::AssertionResult CompileShared(const std::string& source,
                                                const std::filesystem::path& dir, void** handle) {
  std::ofstream(dir / "eqns.c") << source;
  const char* compiler = std::getenv("CC");
  const std::string command = std::string(compiler != nullptr ? compiler : "gcc") +
                              " -shared -fPIC -O0 -w -o " + (dir / "eqns.so").string() + " " +
                              (dir / "eqns.c").string() + " -lm > " + (dir / "cc.log").string() +
                              " 2>&1";
  if (std::system(command.c_str()) != 0) {
    std::ifstream log(dir / "cc.log");
    return ::testing::AssertionFailure() << std::string(std::istreambuf_iterator<char>(log), {});
  }
  platform::LibraryOpen open = platform::OpenLibrary((dir / "eqns.so").string());
  if (open.handle == nullptr) return ::testing::AssertionFailure() << open.error;
  *handle = open.handle;
  return ::testing::AssertionSuccess();
}

// Writes, compiles and loads the problem's equations; the residual becomes
// the current compiled library's.
inline ::testing::AssertionResult Build(DAESProblem& problem, const std::filesystem::path& dir,
                                        Loaded* library, std::int32_t* entries) {
  std::ostringstream body;
  daes::EquationCState state(body);
  std::vector<std::int32_t> numbers;
  for (std::int32_t i = 0; i < problem.EquationCount(); ++i) {
    auto* row = dynamic_cast<DAESSolverEquation*>(problem.GetEquation(i));
    if (row == nullptr) return ::testing::AssertionFailure() << "row " << i;
    WriteEquation(row, state);
  }
  daes::EmitCodeSections(state, true);
  *entries = state.expr.tape.j_offset;
  const std::size_t capacity = TapeStateNow().capacity;
  std::ostringstream source;
  source << testsupport::GeneratedRuntimeStub(capacity + 2)
         << "static double (*g_sysfun)(const char*);\n"
         << "void set_sysfun(double (*f)(const char*)) { g_sysfun = f; }\n"
         << "static double bv_sysfun(const char* name) { return g_sysfun ? g_sysfun(name) : 0.0; }\n"
         << body.str();
  source << "static void (*const g_eqns[])(int) = {0";
  for (std::int32_t n = 1; n <= state.equation; ++n) source << ",Eqn" << n;
  source << "};\n"
         << "void setx(double* x) { g_pX = x; }\n"
         << "double residual(unsigned n) { res = 0.0; g_eqns[n](0); return res; }\n"
         << "void jacobian(unsigned n, double* J) { g_pJ = J; g_eqns[n](1); }\n"
         << "const int* columns(unsigned n) { g_eqns[n](2); return g_piCol; }\n"
         << "void eqn_reset_state(unsigned n) { g_eqns[n](3); }\n"
         << "double procoutput(unsigned n) { g_eqns[n](-1); return res; }\n"
         << "double* procderivs(unsigned n) { g_pDerivs = 0; g_eqns[n](-2); return g_pDerivs; }\n"
         << "int eqn_level_state(unsigned n, int level) "
            "{ g_iLevel = level; g_eqns[n](4); return ires; }\n"
         << "const double* intermediates(void) { return s; }\n"
         << "const int* int_intermediates(void) { return is; }\n";
  void* handle = nullptr;
  if (auto built = CompileShared(source.str(), dir, &handle); !built) return built;
  library->handle = handle;
  auto symbol = [&](const char* name) { return platform::LibrarySymbol(handle, name); };
  library->setx = reinterpret_cast<void (*)(double*)>(symbol("setx"));
  library->jacobian = reinterpret_cast<void (*)(std::uint32_t, double*)>(symbol("jacobian"));
  library->columns = reinterpret_cast<const int* (*)(std::uint32_t)>(symbol("columns"));
  library->reset_state = reinterpret_cast<void (*)(std::uint32_t)>(symbol("eqn_reset_state"));
  library->level_state =
      reinterpret_cast<std::int32_t (*)(std::uint32_t, std::int32_t)>(symbol("eqn_level_state"));
  daes::CurrentCompiledLibrary().eqn_reset_state = library->reset_state;
  daes::CurrentCompiledLibrary().eqn_level_state = library->level_state;
  daes::CurrentCompiledLibrary().residual =
      reinterpret_cast<double (*)(std::uint32_t)>(symbol("residual"));
  library->set_sysfun =
      reinterpret_cast<void (*)(double (*)(const char*))>(symbol("set_sysfun"));
  // The derivative pass reads what the residual leaves in the arrays.
  auto reals = reinterpret_cast<const double* (*)()>(symbol("intermediates"));
  auto ints = reinterpret_cast<const int* (*)()>(symbol("int_intermediates"));
  if (reals != nullptr && ints != nullptr) {
    daes::CurrentCompiledLibrary().reals = reals();
    daes::CurrentCompiledLibrary().ints = ints();
    daes::CurrentCompiledLibrary().half = capacity / 2;
    daes::CurrentCompiledLibrary().size = capacity + 2;
  }
  if (library->setx == nullptr || library->jacobian == nullptr || library->columns == nullptr ||
      !daes::CurrentCompiledLibrary().IsLoaded()) {
    return ::testing::AssertionFailure() << "missing export";
  }
  return ::testing::AssertionSuccess();
}

inline bool Near(double a, double b, double rel) {
  return std::fabs(a - b) <= rel * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

// Compares every row at the variables' current values: the residual through
// the compiled path of Evaluate, the Jacobian entries through the pattern.
inline void Compare(DAESProblem& problem, Loaded& library, std::int32_t entries) {
  std::vector<double> x(static_cast<std::size_t>(problem.VariableCount()) + 1, 0.0);
  for (std::int32_t i = 0; i < problem.VariableCount(); ++i) {
    DAESVarTableEntry* v = problem.GetVariable(i);
    x[static_cast<std::size_t>(problem.ColumnOf(v) - 1)] = v->GetRealValue();
  }
  library.setx(x.data());
  std::vector<double> J(static_cast<std::size_t>(entries) + 1, 0.0);
  // The states first, as after an event.
  for (std::int32_t i = 0; i < problem.EquationCount(); ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem.GetEquation(i));
    library.reset_state(row->CompiledNumber());
  }
  std::int32_t offset = 0;
  for (std::int32_t i = 0; i < problem.EquationCount(); ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem.GetEquation(i));
    SCOPED_TRACE(row->GetNameText());
    ASSERT_NE(row->CompiledNumber(), 0u);
    double compiled = 0.0, interpreted = 0.0;
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
    row->ResidualValue(&compiled);
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives | daes::kEvalInterpreted,
                            nullptr),
              0u);
    row->ResidualValue(&interpreted);
    EXPECT_TRUE(Near(compiled, interpreted, 1e-12)) << compiled << " vs " << interpreted;
    const std::vector<std::int32_t>& columns = row->ColumnPattern();
    std::vector<double> tape;
    for (std::int32_t c : columns) {
      tape.push_back(row->ActiveEquation()->DerivativeFor(problem.GetVariable(c - 1)));
    }
    // Through the library the derivative pass takes the library's values:
    // the tape's entries exactly, and the library's residual.
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
    double both = 0.0;
    row->ResidualValue(&both);
    if (dynamic_cast<DAESFiniteStateEquation*>(row) == nullptr) {
      EXPECT_EQ(both, compiled);
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
      DAESVarTableEntry* v = problem.GetVariable(columns[k] - 1);
      EXPECT_EQ(row->ActiveEquation()->DerivativeFor(v), tape[k]) << v->GetNameText();
    }
    // The residual first: the Jacobian code reads its intermediate values.
    daes::CurrentCompiledLibrary().residual(row->CompiledNumber());
    library.jacobian(row->CompiledNumber(), J.data());
    const int* pattern = library.columns(row->CompiledNumber());
    ASSERT_EQ(static_cast<std::size_t>(pattern[0]), row->ColumnPattern().size());
    for (int k = 1; k <= pattern[0]; ++k) {
      DAESVarTableEntry* v = problem.GetVariable(pattern[k] - 1);
      ASSERT_EQ(problem.ColumnOf(v), pattern[k]);
      const double want = row->ActiveEquation()->DerivativeFor(v);
      const double got = J[static_cast<std::size_t>(offset + k - 1)];
      EXPECT_TRUE(Near(got, want, 1e-12)) << v->GetNameText() << ": " << got << " vs " << want;
    }
    offset += pattern[0];
  }
  EXPECT_EQ(offset, entries);
}

}  // namespace compiledtest
