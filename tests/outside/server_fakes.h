// Test doubles for the two outside servers: a problem group over a small
// model (IQLNESO), an executive that makes recording groups and
// decompositions through the factory operations, and the model builders.
// Every double counts itself in LiveFakes() so a test can see that all
// references were given back.
#pragma once

#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/com.h"
#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/ifaces/option_enumerator.h"

namespace server_test {

using platform::IID;
using platform::IUnknown;

inline VARIANT IntValue(std::int32_t v) {
  VARIANT out{};
  out.vt = kVariantInt32;
  out.lVal = v;
  return out;
}
inline VARIANT RealValue(double v) {
  VARIANT out{};
  out.vt = kVariantDouble;
  out.dblVal = v;
  return out;
}

inline std::int64_t& LiveFakes() {
  static std::int64_t count = 0;
  return count;
}

// Variable types as GetAllVariableTypes gives them.
inline constexpr std::int32_t kState = 0x1 | 0x20;
inline constexpr std::int32_t kAlgebraic = 0x2 | 0x20;
inline constexpr std::int32_t kDerivative = 0x4 | 0x20;
inline constexpr std::int32_t kFixed = 0x2 | 0x60;

// A model: variables with types and partners, equations with their
// variables, dependence kinds and residuals.
struct Model {
  std::vector<std::int32_t> types, partners;
  std::vector<double> values;
  struct Equation {
    std::vector<std::int32_t> variables;
    std::vector<std::int32_t> kinds;  // per variable, 1..4
    std::int32_t type = 0;            // 8: torn
    std::function<double(const std::vector<double>&)> residual;
  };
  std::vector<Equation> equations;
  // The integrator a corrector group asks for its step quantity and hands
  // its solved states to, as the engine's proxy does.
  IUnifiedIntegrator* integrator = nullptr;
  // Residual evaluations, all of them.
  mutable long evaluations = 0;
  double time = 0.0;  // the simulation time the executive was last given

  std::int32_t AddVariable(std::int32_t type, double value = 1.0) {
    types.push_back(type);
    partners.push_back(-1);
    values.push_back(value);
    return static_cast<std::int32_t>(types.size()) - 1;
  }
  // A state with its derivative; returns the state.
  std::int32_t AddState(double value, std::int32_t* derivative) {
    const std::int32_t x = AddVariable(kState, value);
    *derivative = AddVariable(kDerivative, 0.0);
    partners[static_cast<std::size_t>(x)] = *derivative;
    partners[static_cast<std::size_t>(*derivative)] = x;
    return x;
  }
  void AddEquation(std::vector<std::int32_t> vars, std::vector<std::int32_t> kinds,
                   std::function<double(const std::vector<double>&)> f, std::int32_t type = 0) {
    equations.push_back(Equation{std::move(vars), std::move(kinds), type, std::move(f)});
  }
  double Residual(std::int32_t e) const {
    ++evaluations;
    return equations[static_cast<std::size_t>(e)].residual(values);
  }
};

template <class... Interfaces>
class FakeObject : public Interfaces... {
 public:
  FakeObject() { ++LiveFakes(); }
  virtual ~FakeObject() { --LiveFakes(); }
  std::uint32_t refs = 0;
};

#define SERVER_TEST_REFCOUNT                         \
  std::uint32_t AddRef() override { return ++refs; } \
  std::uint32_t Release() override {                 \
    const std::uint32_t left = --refs;               \
    if (left == 0) delete this;                      \
    return left;                                     \
  }

// The values of a model in records, all at once.
class FakeVariableData final : public FakeObject<IEnumQLN13VariableData> {
 public:
  explicit FakeVariableData(Model* model) : model_(model) {}
  SERVER_TEST_REFCOUNT
  Status QueryInterface(const IID& iid, void** object) override {
    if (iid != platform::IID_IUnknown && iid != IID_IEnumQLN13VariableData) {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    *object = static_cast<IEnumQLN13VariableData*>(this);
    AddRef();
    return 0;
  }
  Status Next(std::uint32_t count, QLNVariableRecord* records, std::uint32_t* fetched) override {
    std::uint32_t n = 0;
    for (; n < count && next_ < model_->values.size(); ++n, ++next_) {
      records[n] = QLNVariableRecord{};
      records[n].variable = reinterpret_cast<QLNVariable*>(next_ + 1);
      records[n].index = static_cast<std::int32_t>(next_);
      records[n].scaled_value = model_->values[next_];
    }
    *fetched = n;
    return next_ >= model_->values.size() ? 1 : 0;
  }
  Status Skip(std::uint32_t count) override {
    next_ += count;
    return 0;
  }
  Status Reset() override {
    next_ = 0;
    return 0;
  }
  Status Clone(IUnknown**) override { return platform::E_NOTIMPL; }
  Status DeleteThis() override { return platform::E_NOTIMPL; }

 private:
  Model* model_;
  std::size_t next_ = 0;
};

// The values of chosen variables of a model, counted; what the engine's
// group refuses (a bad count, a missing array or variable) is refused here.
class FakeVariableValues final : public FakeObject<IQLNVariableValues> {
 public:
  FakeVariableValues(Model* model, std::int32_t* read) : model_(model), read_(read) {}
  SERVER_TEST_REFCOUNT
  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid != platform::IID_IUnknown && iid != IID_IQLNVariableValues) {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    *object = static_cast<IQLNVariableValues*>(this);
    AddRef();
    return 0;
  }
  Status GetVariableValues(std::int32_t count, QLNVariable* const* variables,
                           double* values) override {
    if (count < 0 || (count > 0 && (variables == nullptr || values == nullptr)))
      return platform::E_INVALIDARG;
    for (std::int32_t i = 0; i < count; ++i) {
      const auto index = reinterpret_cast<std::uintptr_t>(variables[i]) - 1;
      if (variables[i] == nullptr || index >= model_->values.size()) return platform::E_INVALIDARG;
      values[i] = model_->values[index];
      ++*read_;
    }
    return 0;
  }

 private:
  Model* model_;
  std::int32_t* read_;
};

// Answers IESO/IQLNESO over a model; GetVariable hands out index + 1 as the
// opaque variable.
class FakeProblemGroup final : public FakeObject<IQLNESO> {
 public:
  explicit FakeProblemGroup(Model* model) : model_(model) {}
  SERVER_TEST_REFCOUNT
  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == IID_IQLNESO || iid == IID_IESO) {
      *object = static_cast<IQLNESO*>(this);
      AddRef();
      return 0;
    }
    if (iid == IID_IQLNVariableValues) {
      auto* values = new FakeVariableValues(model_, &values_read);
      return values->QueryInterface(iid, object);
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status GetEquationCounts(std::int32_t* equations, std::int32_t* flagged) override {
    *equations = static_cast<std::int32_t>(model_->equations.size()) + extra_equations;
    *flagged = 0;
    for (const auto& e : model_->equations) *flagged += e.type == 8 ? 1 : 0;
    return 0;
  }
  Status GetNonZeroCount(std::int32_t* count) override {
    *count = 0;
    for (const auto& e : model_->equations) *count += static_cast<std::int32_t>(e.variables.size());
    return 0;
  }
  Status GetVariableCounts(std::int32_t* variables, std::int32_t* states) override {
    *variables = static_cast<std::int32_t>(model_->types.size());
    *states = 0;
    for (const auto t : model_->types) *states += (t & 0x1) != 0 ? 1 : 0;
    return 0;
  }
  Status GetMarkedVariableCount(std::int32_t* count) override {
    *count = 0;
    return 0;
  }
  Status GetAllVariableTypes(std::int32_t* types, std::int32_t* partners) override {
    for (std::size_t i = 0; i < model_->types.size(); ++i) {
      types[i] = model_->types[i];
      partners[i] = model_->partners[i];
    }
    return 0;
  }
  Status GetEquationTypes(std::int32_t* types) override {
    for (std::size_t i = 0; i < model_->equations.size(); ++i) types[i] = model_->equations[i].type;
    return 0;
  }
  Status GetEquationStructure(std::int32_t equation, std::int32_t* count,
                              std::int32_t* variables) override {
    if (equation < 0 || equation >= static_cast<std::int32_t>(model_->equations.size()))
      return platform::E_INVALIDARG;
    const auto& vars = model_->equations[static_cast<std::size_t>(equation)].variables;
    *count = structure_count_override >= 0 ? structure_count_override
                                           : static_cast<std::int32_t>(vars.size());
    for (std::size_t i = 0; i < vars.size(); ++i) variables[i] = vars[i] + structure_offset;
    return 0;
  }
  Status GetVariable(std::int32_t index, QLNVariable** variable) override {
    if (index < 0 || index >= static_cast<std::int32_t>(model_->types.size()))
      return platform::E_INVALIDARG;
    *variable = reinterpret_cast<QLNVariable*>(static_cast<std::uintptr_t>(index + 1));
    return 0;
  }
  Status GetEquation(std::int32_t, DAESEqnRow**) override { return platform::E_NOTIMPL; }
  Status GetGroupType(std::uint8_t* type) override {
    *type = 0;
    return 0;
  }
  Status GetEquationDependence(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                               std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status SetFlags(std::uint32_t bits) override {
    flags |= bits;
    return 0;
  }
  Status ClearFlags(std::uint32_t bits) override {
    flags &= ~bits;
    return 0;
  }
  Status GetFlags(std::uint32_t* out) override {
    *out = flags;
    return 0;
  }
  Status GetGroupNumber(std::int32_t* number) override {
    *number = 0;
    return 0;
  }
  Status EnumVariables(std::uint32_t, std::uint32_t, const IID&, IUnknown**) override {
    return platform::E_NOTIMPL;
  }
  Status SetVariableValues(std::int32_t count, QLNVariable* const* variables,
                           const double* values) override {
    for (std::int32_t i = 0; i < count; ++i) {
      const auto index = reinterpret_cast<std::uintptr_t>(variables[i]) - 1;
      model_->values.at(index) = values[i];
      ++values_set;
    }
    return 0;
  }
  Status GetVariable2(std::int32_t index, QLNVariable** variable) override {
    return GetVariable(index, variable);
  }
  Status GetEquation2(std::int32_t, DAESEqnRow**) override { return platform::E_NOTIMPL; }
  // Kind of each listed variable; with partners a state also counts through
  // its derivative. Entries without dependence are removed.
  Status GetEquationDependenceCompact(std::int32_t equation, std::int32_t with_partners,
                                      std::int32_t, std::int32_t* count, std::int32_t* variables,
                                      std::int32_t* kinds) override {
    const auto& eq = model_->equations.at(static_cast<std::size_t>(equation));
    ++dependence_calls;
    std::int32_t kept = 0;
    for (std::int32_t i = 0; i < *count; ++i) {
      std::int32_t kind = KindOf(eq, variables[i]);
      const std::int32_t partner = model_->partners[static_cast<std::size_t>(variables[i])];
      if (kind == 0 && with_partners != 0 && partner >= 0) kind = KindOf(eq, partner);
      if (kind == 0) continue;
      variables[kept] = variables[i];
      kinds[kept] = kind;
      ++kept;
    }
    *count = kept;
    return 0;
  }
  Status EnumData(const IID& iid, IUnknown** out) override {
    *out = nullptr;
    if (iid != IID_IEnumQLN13VariableData) return platform::E_NOINTERFACE;
    auto* e = new FakeVariableData(model_);
    return e->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(out));
  }
  Status GetVariableTypes(std::int32_t, std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status GetEquationStructure2(std::int32_t equation, std::int32_t* count,
                               std::int32_t* variables) override {
    return GetEquationStructure(equation, count, variables);
  }
  Status GroupNumber() override { return 0; }
  Status Reserved27() override { return 0; }
  Status Reserved28() override { return 0; }
  Status AnnounceSolve() override { return 0; }

  Model* model() { return model_; }
  std::uint32_t flags = 0;
  std::int32_t dependence_calls = 0;
  std::int32_t values_set = 0;
  std::int32_t values_read = 0;
  // Fault injection for the range checks.
  std::int32_t structure_count_override = -1;
  std::int32_t structure_offset = 0;
  std::int32_t extra_equations = 0;

 private:
  static std::int32_t KindOf(const Model::Equation& eq, std::int32_t v) {
    for (std::size_t j = 0; j < eq.variables.size(); ++j) {
      if (eq.variables[j] == v) return eq.kinds[j];
    }
    return 0;
  }
  Model* model_;
};

inline constexpr IID kIID_RecordingGroup =
    platform::MakeGuid("{6A0E3C11-0000-4000-8000-000000000001}");

// A group the fake executive makes: records what the decomposer tells it
// and solves itself by Newton with a difference Jacobian.
class RecordingGroup final : public FakeObject<IQLNESO, IESOEdit, IQLNESOSolve> {
 public:
  RecordingGroup(std::int32_t type, Model* model) : type(type), model_(model) {}
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs;
    if (left == 0) delete this;
    return left;
  }
  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == IID_IQLNESO || iid == IID_IESO) {
      *object = static_cast<IQLNESO*>(this);
    } else if (iid == IID_IESOEdit) {
      *object = static_cast<IESOEdit*>(this);
    } else if (iid == IID_IQLNESOSolve || iid == IID_IESOSolve) {
      *object = static_cast<IQLNESOSolve*>(this);
    } else if (iid == kIID_RecordingGroup) {
      *object = this;
    } else {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    AddRef();
    return 0;
  }
  // IQLNESO: only the flags matter here.
  Status GetEquationCounts(std::int32_t*, std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetNonZeroCount(std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetVariableCounts(std::int32_t*, std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetMarkedVariableCount(std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetAllVariableTypes(std::int32_t*, std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetEquationTypes(std::int32_t*) override { return platform::E_NOTIMPL; }
  Status GetEquationStructure(std::int32_t, std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status GetVariable(std::int32_t, QLNVariable**) override { return platform::E_NOTIMPL; }
  Status GetEquation(std::int32_t, DAESEqnRow**) override { return platform::E_NOTIMPL; }
  Status GetGroupType(std::uint8_t* out) override {
    *out = static_cast<std::uint8_t>(type);
    return 0;
  }
  Status GetEquationDependence(std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                               std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status SetFlags(std::uint32_t bits) override {
    flags |= bits;
    return 0;
  }
  Status ClearFlags(std::uint32_t bits) override {
    flags &= ~bits;
    return 0;
  }
  Status GetFlags(std::uint32_t* out) override {
    *out = flags;
    return 0;
  }
  Status GetGroupNumber(std::int32_t* out) override {
    *out = number;
    return 0;
  }
  Status EnumVariables(std::uint32_t, std::uint32_t, const IID&, IUnknown**) override {
    return platform::E_NOTIMPL;
  }
  Status SetVariableValues(std::int32_t, QLNVariable* const*, const double*) override {
    return platform::E_NOTIMPL;
  }
  Status GetVariable2(std::int32_t, QLNVariable**) override { return platform::E_NOTIMPL; }
  Status GetEquation2(std::int32_t, DAESEqnRow**) override { return platform::E_NOTIMPL; }
  Status GetEquationDependenceCompact(std::int32_t, std::int32_t, std::int32_t, std::int32_t*,
                                      std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status EnumData(const IID&, IUnknown**) override { return platform::E_NOTIMPL; }
  Status GetVariableTypes(std::int32_t, std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status GetEquationStructure2(std::int32_t, std::int32_t*, std::int32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status GroupNumber() override { return static_cast<Status>(number); }
  Status Reserved27() override { return 0; }
  Status Reserved28() override { return 0; }
  Status AnnounceSolve() override { return 0; }

  // IESOEdit
  Status SetGroupStructure(IUnknown* parent, std::int32_t ne, const std::int32_t* eqs,
                           std::int32_t nv, const std::int32_t* vars) override {
    if (parent == nullptr || ne < 1 || nv < 1) return platform::E_INVALIDARG;
    if ((type == 1 || type == 4) && (ne != 1 || nv != 1)) return platform::E_INVALIDARG;
    equations.assign(eqs, eqs + ne);
    unknowns.assign(vars, vars + nv);
    return 0;
  }
  Status SetEquationVariables(IUnknown* parent, std::int32_t equation, std::int32_t count,
                              const std::int32_t* vars) override {
    if (parent == nullptr) return platform::E_INVALIDARG;
    if (count == 0) return 1;
    row_calls[equation] += 1;
    row_flags_at_call.push_back(flags);
    auto& row = rows[equation];
    for (std::int32_t i = 0; i < count; ++i) {
      std::int32_t v = vars[i];
      // Under pairing a derivative stands for its state.
      if ((flags & 0x1) != 0 && (model_->types[static_cast<std::size_t>(v)] & 0x4) != 0 &&
          model_->partners[static_cast<std::size_t>(v)] >= 0)
        v = model_->partners[static_cast<std::size_t>(v)];
      row.push_back(v);
    }
    return 0;
  }
  Status NotImplemented5() override { return platform::E_NOTIMPL; }
  Status SetGroupNumber(std::int32_t n) override {
    number = n;
    return 0;
  }

  // IQLNESOSolve
  Status Solve(std::int32_t, std::int32_t* iterations) override {
    return SolveWithMode(0, 0, iterations);
  }
  Status ReleaseSystem(double) override { return 0; }
  Status ResetSystem() override { return 0; }
  Status GetLastStatus(Status* s) override {
    *s = last_status;
    return 0;
  }
  Status ClearSolveFlag() override {
    flags &= ~0x2u;
    return 0;
  }
  Status SetSolveFlag() override {
    flags |= 0x2u;
    return 0;
  }
  Status SolveWithMode(std::int32_t, std::int32_t, std::int32_t* iterations) override {
    ++solves;
    if (fail_when_paired != 0 && (flags & 0x1) != 0) fail_with = fail_when_paired;
    if (fail_with != 0) {
      last_status = fail_with;
      return (fail_with & 0xA0000000u) == 0xA0000000u ? 0xC0FE0002u : 0x80FE0002u;
    }
    const auto n = unknowns.size();
    std::vector<double>& x = model_->values;
    // Under pairing a state moves its derivative by c = 1/v per unit.
    const bool paired = (flags & 0x1) != 0;
    double c = 0.0;
    if (paired) {
      double v = 0.0;
      if (model_->integrator == nullptr || model_->integrator->GetValue(&v) != 0 || v <= 0) {
        last_status = 0xC020FFFFu;
        return 0xC0FE0002u;
      }
      c = 1.0 / v;
      // That solve fails, and every solve at its time: the step attempt
      // fails however often it is tried there.
      if (++corrector_solves == fail_once_at) failing_at = model_->time;
      if (fail_once_at != 0 && model_->time == failing_at) {
        last_status = 0x8020022Bu;
        return 0x80FE0002u;
      }
    }
    auto partner = [&](std::size_t j) -> std::int32_t {
      if (!paired) return -1;
      const auto u = static_cast<std::size_t>(unknowns[j]);
      return (model_->types[u] & 0x1) != 0 ? model_->partners[u] : -1;
    };
    auto move = [&](std::size_t j, double by) {
      x[static_cast<std::size_t>(unknowns[j])] += by;
      if (partner(j) >= 0) x[static_cast<std::size_t>(partner(j))] += c * by;
    };
    if (iterating) {
      const Status st = Step(c, move, partner);
      if (st != 0) return st;
      if (iterations != nullptr) *iterations = 1;
      return HandStates(paired, partner);
    }
    std::int32_t it = 0;
    for (; it < 50; ++it) {
      std::vector<double> f(n), jac(n * n);
      double norm = 0;
      for (std::size_t i = 0; i < n; ++i) {
        f[i] = model_->Residual(equations[i]);
        norm = std::max(norm, std::fabs(f[i]));
      }
      if (norm < 1e-14) break;
      for (std::size_t j = 0; j < n; ++j) {
        const auto v = static_cast<std::size_t>(unknowns[j]);
        const double h = 1e-7 * std::max(1.0, std::fabs(x[v]));
        const auto p = static_cast<std::size_t>(std::max(partner(j), 0));
        const double save = x[v], save_partner = x[p];
        move(j, h);
        for (std::size_t i = 0; i < n; ++i)
          jac[i + j * n] = (model_->Residual(equations[i]) - f[i]) / h;
        x[v] = save;
        x[p] = save_partner;
      }
      // Gaussian elimination with partial pivoting.
      std::vector<double> dx(f);
      for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i) {
          if (std::fabs(jac[i + k * n]) > std::fabs(jac[p + k * n])) p = i;
        }
        if (jac[p + k * n] == 0.0) return 0x80FE0002u;
        for (std::size_t j = 0; j < n; ++j) std::swap(jac[k + j * n], jac[p + j * n]);
        std::swap(dx[k], dx[p]);
        for (std::size_t i = k + 1; i < n; ++i) {
          const double m = jac[i + k * n] / jac[k + k * n];
          for (std::size_t j = k; j < n; ++j) jac[i + j * n] -= m * jac[k + j * n];
          dx[i] -= m * dx[k];
        }
      }
      double step = 0;
      for (std::size_t k = n; k-- > 0;) {
        for (std::size_t j = k + 1; j < n; ++j) dx[k] -= jac[k + j * n] * dx[j];
        dx[k] /= jac[k + k * n];
        move(k, -dx[k]);
        step =
            std::max(step, std::fabs(dx[k]) /
                               std::max(1.0, std::fabs(x[static_cast<std::size_t>(unknowns[k])])));
      }
      // A corrector's residual carries c times the states: rounding there
      // is c times larger.
      if (step < (paired ? 1e-13 : 1e-15)) break;
    }
    if (iterations != nullptr) *iterations = it;
    if (it == 50) {
      last_status = 0x8020022Bu;
      return 0x80FE0002u;
    }
    return HandStates(paired, partner);
  }

  // The integrator sets the derivatives of the solved states itself.
  template <class Partner>
  Status HandStates(bool paired, const Partner& partner) {
    if (paired) {
      std::vector<std::int32_t> states;
      std::vector<double> solved;
      for (std::size_t j = 0; j < unknowns.size(); ++j) {
        if (partner(j) < 0) continue;
        states.push_back(unknowns[j]);
        solved.push_back(model_->values[static_cast<std::size_t>(unknowns[j])]);
      }
      if (!states.empty() &&
          model_->integrator->ExchangeStates(static_cast<std::int32_t>(states.size()),
                                             states.data(), solved.data()) != 0) {
        last_status = 0xC020FFFFu;
        return 0xC0FE0002u;
      }
    }
    last_status = 0;
    return 0;
  }

  // One corrector step as the engine's groups take it: the residuals once,
  // a difference Jacobian factorised only at a set-up or without factors,
  // the step on factors made at another c scaled by 2 / (1 + c / c_f).
  template <class Move, class Partner>
  Status Step(double c, const Move& move, const Partner& partner) {
    const std::size_t n = unknowns.size();
    std::vector<double>& x = model_->values;
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = model_->Residual(equations[i]);
    if (setup || lu.empty()) {
      ++setups;
      lu.assign(n * n, 0.0);
      pivots.assign(n, 0);
      for (std::size_t j = 0; j < n; ++j) {
        const auto v = static_cast<std::size_t>(unknowns[j]);
        const double h = 1e-7 * std::max(1.0, std::fabs(x[v]));
        const auto p = static_cast<std::size_t>(std::max(partner(j), 0));
        const double save = x[v], save_partner = x[p];
        move(j, h);
        for (std::size_t i = 0; i < n; ++i)
          lu[i + j * n] = (model_->Residual(equations[i]) - f[i]) / h;
        x[v] = save;
        x[p] = save_partner;
      }
      for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        for (std::size_t i = k + 1; i < n; ++i) {
          if (std::fabs(lu[i + k * n]) > std::fabs(lu[p + k * n])) p = i;
        }
        pivots[k] = p;
        if (lu[p + k * n] == 0.0) {
          lu.clear();
          last_status = 0x8020022Bu;
          return 0x80FE0002u;
        }
        for (std::size_t j = 0; j < n; ++j) std::swap(lu[k + j * n], lu[p + j * n]);
        for (std::size_t i = k + 1; i < n; ++i) {
          lu[i + k * n] /= lu[k + k * n];
          for (std::size_t j = k + 1; j < n; ++j) lu[i + j * n] -= lu[i + k * n] * lu[k + j * n];
        }
      }
      factors_c = c;
    }
    std::vector<double> dx(f);
    for (std::size_t k = 0; k < n; ++k) {
      std::swap(dx[k], dx[pivots[k]]);
      for (std::size_t i = k + 1; i < n; ++i) dx[i] -= lu[i + k * n] * dx[k];
    }
    for (std::size_t k = n; k-- > 0;) {
      for (std::size_t j = k + 1; j < n; ++j) dx[k] -= lu[k + j * n] * dx[j];
      dx[k] /= lu[k + k * n];
    }
    const double scale =
        c > 0 && factors_c > 0 && c != factors_c ? 2.0 / (1.0 + c / factors_c) : 1.0;
    for (std::size_t k = 0; k < n; ++k) move(k, -scale * dx[k]);
    return 0;
  }

  std::int32_t type;
  std::uint32_t flags = 0;
  std::int32_t number = 0;
  std::vector<std::int32_t> equations, unknowns;
  std::map<std::int32_t, std::vector<std::int32_t>> rows;
  std::map<std::int32_t, int> row_calls;
  std::vector<std::uint32_t> row_flags_at_call;
  int solves = 0;
  int corrector_solves = 0;
  Status fail_with = 0;
  Status fail_when_paired = 0;  // fails under pairing only
  int fail_once_at = 0;         // that corrector solve's step attempt fails (from 1)
  double failing_at = -1.0;
  Status last_status = 0;
  // A corrector iteration's step (with a set-up), and the factors it keeps.
  bool iterating = false, setup = false;
  std::vector<double> lu;
  std::vector<std::size_t> pivots;
  double factors_c = 0.0;
  int setups = 0;

 private:
  Model* model_;
};

// A decomposition that keeps its groups in order and solves them in order.
class RecordingDecomposition final : public FakeObject<IQLNDecomposition, IQLNCorrectorIteration> {
 public:
  SERVER_TEST_REFCOUNT
  ~RecordingDecomposition() override {
    for (auto* g : groups) g->Release();
  }
  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_INVALIDARG;
    if (iid == platform::IID_IUnknown || iid == IID_IQLNDecomposition ||
        iid == IID_IDecomposition) {
      *object = static_cast<IQLNDecomposition*>(this);
      AddRef();
      return 0;
    }
    if (iid == IID_IQLNCorrectorIteration) {
      *object = static_cast<IQLNCorrectorIteration*>(this);
      AddRef();
      return 0;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status GetGroupCount(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(groups.size());
    return 0;
  }
  Status AddGroup(IUnknown* group) override {
    if (group == nullptr) return platform::E_INVALIDARG;
    // Keeps the reference the query gives.
    void* p = nullptr;
    if (group->QueryInterface(kIID_RecordingGroup, &p) != 0) return platform::E_NOINTERFACE;
    auto* g = static_cast<RecordingGroup*>(p);
    g->number = static_cast<std::int32_t>(groups.size()) + 1;
    groups.push_back(g);
    return 0;
  }
  Status GetGroup(std::int32_t index, const IID& iid, void** out) override {
    if (index < 1 || index > static_cast<std::int32_t>(groups.size()))
      return platform::E_INVALIDARG;
    return groups[static_cast<std::size_t>(index - 1)]->QueryInterface(iid, out);
  }
  Status GetStatistics(DecompositionStatistics*, std::uint32_t*) override {
    return platform::E_NOTIMPL;
  }
  Status IsSolved(std::uint32_t* solved) override {
    *solved = solved_;
    return 0;
  }
  Status SetSolved(std::uint32_t solved) override {
    solved_ = solved;
    return 0;
  }
  Status Reserve(std::int32_t count) override {
    reserved = count;
    return 0;
  }
  Status SolveGroups(std::int32_t, std::int32_t mode, std::int32_t count_flag,
                     std::int32_t* iterations) override {
    std::int32_t total = 0;
    solved_ = 0;
    for (auto* g : groups) {
      g->ClearSolveFlag();
      std::int32_t it = 0;
      const Status s = g->SolveWithMode(mode, count_flag, &it);
      if (s != 0) return s;
      g->SetSolveFlag();
      total = std::max(total, it);
    }
    *iterations = total;
    solved_ = 1;
    return 0;
  }
  Status ForEachGroup20(std::int32_t, std::int32_t*) override { return 0; }
  Status IterateCorrector(std::int32_t setup) override {
    ++iterations;
    for (auto* g : groups) {
      g->iterating = true;
      g->setup = setup != 0;
    }
    std::int32_t most = 0;
    const Status s = SolveGroups(0, 0, 0, &most);
    for (auto* g : groups) g->iterating = g->setup = false;
    return s;
  }

  std::vector<RecordingGroup*> groups;
  int iterations = 0;
  std::int32_t reserved = -1;

 private:
  std::uint32_t solved_ = 0;
};

// The implicit-event schedule and the delay manager of the executive: an
// event has fired when the condition's sign differs from the one last
// committed (as the engine's schedule acts on the event).
struct FakeSchedule {
  Model* model = nullptr;
  std::function<double(const std::vector<double>&)> condition;
  bool committed_positive = true;
  int event_queries = 0, delay_records = 0;
  // Times at which delayed values jump (answered only when there are any),
  // and the simulation times the values before a jump were kept at.
  std::vector<double> jumps;
  std::vector<double> kept_before;
};

class FakeScheduleView final
    : public FakeObject<IQLNImplicitEventMgr, IQLNDelayManager, IQLNDelayJumps> {
 public:
  FakeScheduleView(FakeSchedule* schedule, IUnknown* owner) : schedule_(schedule), owner_(owner) {
    owner_->AddRef();
  }
  ~FakeScheduleView() override { owner_->Release(); }
  SERVER_TEST_REFCOUNT
  Status QueryInterface(const IID& iid, void** object) override {
    if (iid == IID_IQLNImplicitEventMgr) {
      *object = static_cast<IQLNImplicitEventMgr*>(this);
    } else if (iid == IID_IQLNDelayManager) {
      *object = static_cast<IQLNDelayManager*>(this);
    } else if (iid == IID_IQLNDelayJumps) {
      *object = static_cast<IQLNDelayJumps*>(this);
    } else {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    AddRef();
    return 0;
  }
  Status QueryA(std::int32_t, std::int32_t* answer) override {
    ++schedule_->event_queries;
    *answer = (schedule_->condition(schedule_->model->values) > 0) != schedule_->committed_positive
                  ? 1
                  : 0;
    return 0;
  }
  Status QueryB(std::int32_t flag, std::int32_t* answer) override { return QueryA(flag, answer); }
  Status RegisterEvent(void*) override { return 0; }
  Status UnregisterEvent(void*) override { return 0; }
  Status RecordTime() override {
    ++schedule_->delay_records;
    return 0;
  }
  Status NextJump(double after, double until, double* at) override {
    for (const double t : schedule_->jumps) {
      if (t > after && t <= until) {
        *at = t;
        return 0;
      }
    }
    return 1;
  }
  Status KeepBeforeJump() override {
    schedule_->kept_before.push_back(schedule_->model->time);
    return 0;
  }
  Status GoesOnAt(double, std::int32_t* on) override {
    *on = 0;
    return 0;
  }

 private:
  FakeSchedule* schedule_;
  IUnknown* owner_;
};

// The executive: the factory operations over recording objects, the
// decomposer made from the registered server, and a record of what the
// servers told it.
class FakeExecutive final : public FakeObject<IQLNESOFactory> {
 public:
  explicit FakeExecutive(Model* model) : model_(model) { schedule.model = model; }
  SERVER_TEST_REFCOUNT
  FakeSchedule schedule;
  // Handed out when set; the test owns it.
  IQLNSensitivityManager* sensitivity = nullptr;
  ~FakeExecutive() override {
    for (auto& slot : slots) {
      if (slot != nullptr) slot->Release();
    }
  }
  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid == platform::IID_IUnknown || iid == IID_IQLNESOFactory) {
      *object = static_cast<IQLNESOFactory*>(this);
      AddRef();
      return 0;
    }
    if ((iid == IID_IQLNImplicitEventMgr && schedule.condition) || iid == IID_IQLNDelayManager ||
        (iid == IID_IQLNDelayJumps && !schedule.jumps.empty())) {
      auto* view = new FakeScheduleView(&schedule, static_cast<IQLNESOFactory*>(this));
      return view->QueryInterface(iid, object);
    }
    if (iid == IID_IQLNSensitivityManager && sensitivity != nullptr) {
      return sensitivity->QueryInterface(iid, object);
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status SetSimulationTime(double time) override {
    times.push_back(time);
    model_->time = time;
    return time < 0 ? platform::E_INVALIDARG : 0;
  }
  Status PostSolverMessage(Status status, std::int32_t text_count, const char* const* texts,
                           std::int32_t, void* const*) override {
    for (std::int32_t i = 0; i < text_count; ++i) messages.emplace_back(texts[i]);
    message_statuses.push_back(status);
    return 0;
  }
  Status SetNestedMode(std::int32_t) override { return 0; }
  Status CreateGroupTable(std::int32_t, const double*, const double*) override { return 0; }
  Status SetGroupValues(std::int32_t, const double*) override { return 0; }
  Status AttachSolverObject(IUnknown* object, std::int32_t index) override {
    if (index < 0 || index > 7 || object == nullptr) return platform::E_INVALIDARG;
    object->AddRef();
    if (slots[index] != nullptr) slots[index]->Release();
    slots[index] = object;
    ++attaches;
    return 0;
  }
  Status DetachSolverObject(std::int32_t index) override {
    if (index < 0 || index > 7) return platform::E_INVALIDARG;
    if (slots[index] != nullptr) slots[index]->Release();
    slots[index] = nullptr;
    return 0;
  }
  Status CheckCompiledEquations() override { return 0; }
  Status CreateDecomposerObject(IUnknown** out) override {
    *out = nullptr;
    platform::CLSID clsid{};
    Status s = platform::CLSIDFromProgID(u"Brunvald.Decomposer", &clsid);
    if (s != 0) return s;
    void* creation = nullptr;
    s = platform::CoCreateInstance(clsid, nullptr, 23, IID_IDecomposerCreation, &creation);
    if (s != 0) return s;
    auto* c = static_cast<IDecomposerCreation*>(creation);
    void* decomposer = nullptr;
    s = c->QueryInterface(IID_IQLNDecomposer, &decomposer);
    c->Release();
    *out = static_cast<IQLNDecomposer*>(decomposer);
    ++decomposers_made;
    return s;
  }
  Status CreateESOGroupObject(std::int32_t type, IUnknown** out) override {
    *out = nullptr;
    if (type < 1 || type > 7 || type == 2 || type == 5) return platform::E_FAIL;
    auto* g = new RecordingGroup(type, model_);
    g->fail_when_paired = fail_correctors;
    g->fail_once_at = fail_corrector_once_at;
    return g->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(out));
  }
  Status CreateDecompositionObject(IUnknown** out) override {
    auto* d = new RecordingDecomposition();
    last_decomposition = d;
    return d->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(out));
  }

  IUnknown* slots[8] = {};
  std::vector<double> times;
  std::vector<std::string> messages;
  std::vector<Status> message_statuses;
  int attaches = 0;
  int decomposers_made = 0;
  Status fail_correctors = 0;  // given to the groups it makes
  int fail_corrector_once_at = 0;
  RecordingDecomposition* last_decomposition = nullptr;

 private:
  Model* model_;
};

// Objects still alive inside a loaded server library.
inline std::int64_t ServerLiveObjects(const char* library) {
  const std::string path = std::string(VANTOR_KVS_DIR) + "/" + library;
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) return 0;
  using Count = std::int64_t (*)();
  auto count = reinterpret_cast<Count>(dlsym(lib, "VantorServerLiveObjects"));
  const std::int64_t n = count != nullptr ? count() : -1;
  dlclose(lib);
  return n;
}

}  // namespace server_test
