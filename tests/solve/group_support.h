// Shared pieces of the group tests: the solver option table with values the
// test sets, models read through the model writer, a dense Newton method
// standing in for the linear and nonlinear group methods, and the engine's
// factory as a server sees it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "foundation/interfaces/solver_options.h"
#include "platform/com_status.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/ifaces/executive.h"
#include "solve/methods/group_solvers.h"
#include "solve/options/solver_option_table.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/quiet_group_method.h"

extern "C" void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv,
                       double* b, const int* ldb, int* info);

namespace grouptest {

// The real option table, installed for the test and displaced after it,
// quiet and with tearing on as the group tests start; a value the table
// refuses stays refused. Writes to staged options take effect at once.
class Options final {
 public:
  Options() {
    table_.SetInteger(kOptPrintLevel, 0);
    table_.SetInteger(kOptTearing, 1);
    table_.ApplyPendingChanges();
  }
  std::int32_t GetInt(std::int32_t n) { return table_.GetInt(n); }
  double GetReal(std::int32_t n) { return table_.GetReal(n); }
  bool GetBool(std::int32_t n) { return table_.GetBool(n); }
  Status SetInt(std::int32_t n, std::int32_t v) {
    const Status set = table_.SetInteger(n, v);
    table_.ApplyPendingChanges();
    return set;
  }
  void Real(std::int32_t n, double v) { EXPECT_EQ(table_.SetReal(n, v), 0u) << n; }
  SolverOptionTable& Table() { return table_; }

 private:
  SolverOptionTable table_;
};

struct Model {
  explicit Model(const std::function<void(daestest::Writer&)>& write) {
    EXPECT_EQ(tree.Read(write), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, nullptr));
    DAESSolverBlock* raw = nullptr;
    EXPECT_EQ(problem->BuildSolverBlock(&raw, daes::kFree, 0, 0, 0, true), 0u);
    run.reset(raw);
  }
  DAESVarTableEntry* Named(const std::string& name) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      if (name == problem->GetVariable(i)->GetNameText()) return problem->GetVariable(i);
    }
    return nullptr;
  }
  std::vector<double> Values() {
    std::vector<double> out;
    for (std::int32_t i = 0; i < run->VariableCount(); ++i) {
      out.push_back(run->GetVariable(i)->GetRealValue());
    }
    return out;
  }
  void SetValues(const std::vector<double>& v) {
    for (std::int32_t i = 0; i < run->VariableCount(); ++i) {
      run->GetVariable(i)->SetValue(v[static_cast<std::size_t>(i)]);
    }
  }
  daestest::Tree tree;
  std::unique_ptr<DAESProblem> problem;
  std::unique_ptr<DAESSolverBlock> run;
};

// Newton's method on a square block with dense LAPACK solves.
inline Status DenseNewton(DAESSolverBlock& b, std::int32_t* iterations) {
  const int n = b.VariableCount();
  if (n != static_cast<int>(b.GetRowCount())) return 0x80000001u;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  if (b.BuildStructure(&rows, &cols, nullptr, 0) != 0) return 0x80000002u;
  std::vector<double> r(static_cast<std::size_t>(n));
  for (int it = 0; it < 60; ++it) {
    if (status::IsFailure(b.EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives))) {
      return 0x80000003u;
    }
    double largest = 0.0;
    for (int i = 0; i < n; ++i) {
      dynamic_cast<QLNEquation*>(b.GetRow(static_cast<std::uint32_t>(i)))->ResidualValue(&r[i]);
      largest = std::max(largest, std::fabs(r[i]));
    }
    if (iterations != nullptr) *iterations = it;
    if (largest < 1e-12) return 0;
    std::vector<double> values(b.StructureSize());
    b.EvaluateJacobianEntries(b.StructureSize(), rows, cols, values.data(), 0, 0.0);
    std::vector<double> jac(static_cast<std::size_t>(n) * n, 0.0);
    for (std::uint32_t p = 0; p < b.StructureSize(); ++p) {
      jac[static_cast<std::size_t>((rows[p] - 1) + n * (cols[p] - 1))] += values[p];
    }
    std::vector<int> pivots(static_cast<std::size_t>(n));
    int one = 1;
    int info = 0;
    dgesv_(&n, &one, jac.data(), &n, pivots.data(), r.data(), &n, &info);
    if (info != 0) return 0x80000004u;
    for (int j = 0; j < n; ++j) {
      DAESVarTableEntry* v = b.GetVariable(j);
      v->SetValue(v->GetRealValue() - r[static_cast<std::size_t>(j)]);
    }
  }
  return 0x80000005u;
}

class NewtonMethod final : public QuietGroupMethod {
 public:
  Status Solve(QLNGroup* block, std::uint8_t, std::uint32_t, std::uint32_t,
               Status* iterations) override {
    ++calls;
    auto* b = dynamic_cast<DAESSolverBlock*>(block);
    if (b == nullptr) return 0x80000006u;
    std::int32_t n = 0;
    const Status s = DenseNewton(*b, &n);
    if (iterations != nullptr) *iterations = static_cast<Status>(n);
    return s;
  }
  int calls = 0;
};

// The group methods of a test, put back empty at the end.
struct Methods {
  Methods() {
    ReplaceGroupMethod(kGroupExplicit, new ExplicitSolve());
    ReplaceGroupMethod(kGroupLinear, linear = new NewtonMethod());
    ReplaceGroupMethod(kGroupNonlinear, nonlinear = new NewtonMethod());
  }
  ~Methods() {
    for (std::int32_t k = 0; k < kGroupKindCount; ++k) ReplaceGroupMethod(k, nullptr);
  }
  NewtonMethod* linear;
  NewtonMethod* nonlinear;
};

// The engine's factory as a server reaches it.
class Factory final : public IQLNESOFactory {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (out == nullptr) return platform::E_INVALIDARG;
    if (iid != IID_IQLNESOFactory && iid != platform::IID_IUnknown) return platform::E_NOINTERFACE;
    *out = static_cast<IQLNESOFactory*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status SetSimulationTime(double) override { return platform::E_NOTIMPL; }
  Status PostSolverMessage(Status, std::int32_t, const char* const*, std::int32_t,
                           void* const*) override {
    return platform::E_NOTIMPL;
  }
  Status SetNestedMode(std::int32_t) override { return platform::E_NOTIMPL; }
  Status CreateGroupTable(std::int32_t, const double*, const double*) override {
    return platform::E_NOTIMPL;
  }
  Status SetGroupValues(std::int32_t, const double*) override { return platform::E_NOTIMPL; }
  Status AttachSolverObject(platform::IUnknown*, std::int32_t) override {
    return platform::E_NOTIMPL;
  }
  Status DetachSolverObject(std::int32_t) override { return platform::E_NOTIMPL; }
  Status CheckCompiledEquations() override { return platform::E_NOTIMPL; }
  Status CreateDecomposerObject(platform::IUnknown**) override { return platform::E_NOTIMPL; }
  Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) override {
    types.push_back(type);
    return ::CreateESOGroupObject(type, out);
  }
  Status CreateDecompositionObject(platform::IUnknown** out) override {
    return ::CreateDecompositionObject(out);
  }
  std::uint32_t refs = 1;
  std::vector<std::int32_t> types;
};

}  // namespace grouptest
