#include "solve/proxies/sensitivity_calculator.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "daes/blocks/solver_block.h"
#include "daes/delays/delay_mgr.h"
#include "daes/equations/row.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/tape/tape.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "numerics/lsq/numeric_print.h"
#include "numerics/sparse_lu/slu_drivers.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/linear/lsi.h"
#include "solve/proxies/decomposer_proxy.h"
#include "solve/proxies/server_host.h"

namespace {

SensitivityManagerFace* g_manager = nullptr;

// One column of the sensitivity matrix: a parameter entry or the switching
// times, with its elements and the base element of the current interval.
struct Column {
  DAESVarTableEntry* parameter;  // null for the switching times
  std::int32_t entry;
  std::int32_t elements;
  std::int32_t base;
};

// The next leg starts at t: rows recorded past it, by a step that went on
// past an event before the event was found, are of another course, and a
// slope taken across one a hair's breadth from the next leg's first row
// bent the curve a lag later by thousands of tolerances. Recording the
// newest row left again drops those after it.
void DropRowsAfter(DelayHistory& history, double t) {
  std::int32_t row = history.Newest();
  std::int32_t left = history.RecordCount();
  if (left == 0 || !(history.TimeAt(row) > t)) return;
  while (left > 1 && history.TimeAt(row) > t) {
    row = row == 0 ? history.Rows() - 1 : row - 1;
    --left;
  }
  if (history.TimeAt(row) > t || history.Columns() < 1) return;
  history.Record(1, history.TimeAt(row), history.ValueAt(1, row));
}

constexpr std::int32_t kOptLinearSolver = 25;
constexpr std::uint32_t kOptionsWord = 524;
constexpr std::uint32_t kWithDerivatives = 16;
constexpr std::uint32_t kInitialValues = 0x400;
constexpr std::uint32_t kOutGroup = 1;
constexpr std::uint32_t kDerivativeClass = 0x4;
constexpr std::uint32_t kOutsideFlags = 0x10 | 0x80;
constexpr std::uint32_t kMergedFlag = 0x4000;
constexpr std::uint32_t kArrayParameter = 0x200000;
constexpr std::uint32_t kPairing = 0x1;

std::int32_t PrintLevel() { return SolverOptions::Instance()->GetInt(kOptPrintLevel); }

bool IsArray(DAESVarTableEntry* p) {
  return p != nullptr && (p->GetFlags() & kArrayParameter) != 0;
}
bool IsFree(DAESVarTableEntry* p) { return p != nullptr && (p->GetFlags() & kOutsideFlags) == 0; }

// A single-group decomposition of the current problem for the case.
Status BuildDecomposition(std::uint32_t m, std::uint32_t k, std::uint32_t flags,
                          QLNDecomposition** out) {
  *out = nullptr;
  DAESProblem* problem = GetCurrentProblem();
  ServerProxyHost* host = GetServerProxyHost();
  if (problem == nullptr) return kSensitivityFailed;
  auto* proxy = new QLNDecomposerProxy();
  auto* group = new QLNESOGroup(problem);
  group->AddRef();
  void* set = nullptr;
  Status s = kSensitivityFailed;
  if (group->QueryInterface(platform::IID_IUnknown, &set) == 0 && set != nullptr) {
    IQLNDecomposition* made = nullptr;
    const Status d = proxy->Decompose(host != nullptr ? host->Executive() : nullptr,
                                      static_cast<platform::IUnknown*>(set), m, k, flags, &made);
    if (status::IsSuccess(d) && made != nullptr) {
      void* ours = nullptr;
      if (made->QueryInterface(IID_IQLNDecomposition, &ours) == 0 && ours != nullptr) {
        auto* d2 = dynamic_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(ours));
        if (d2 != nullptr && d2->GetRowCount() >= 1 &&
            dynamic_cast<DAESSolverBlock*>(d2->GetRow(0)) != nullptr) {
          *out = d2;
          s = 0;
        } else {
          static_cast<IQLNDecomposition*>(ours)->Release();
        }
      }
    }
    if (made != nullptr) made->Release();
    static_cast<platform::IUnknown*>(set)->Release();
  }
  group->Release();
  proxy->Release();
  return s;
}

DAESSolverBlock* FirstGroup(QLNDecomposition* d) {
  return d != nullptr ? dynamic_cast<DAESSolverBlock*>(d->GetRow(0)) : nullptr;
}

void DestroyHandle(LSIBaseSolve** handle) {
  if (*handle == nullptr) return;
  const std::int64_t destroy = 64, zero = 0, kind = 0;
  std::int64_t info = 0;
  LSISolve(nullptr, nullptr, nullptr, nullptr, nullptr, &zero, &zero, handle, &destroy, &info,
           &kind);
  *handle = nullptr;
}

void Drop(QLNDecomposition** d, LSIBaseSolve** handle) {
  if (*d != nullptr) DestroyHandle(handle);
  *handle = nullptr;
  if (*d != nullptr) (*d)->Release();
  *d = nullptr;
}

// 0-based place of the variable in the problem, -1 when absent.
std::int32_t ProblemIndex(DAESProblem* problem, DAESVarTableEntry* v) {
  return problem != nullptr && v != nullptr ? problem->FindVariable(v) - 1 : -1;
}

// The equation a group row stands for, so that rows of two groups over the
// same equations can be matched.
const void* EquationKey(QLNRow* row) {
  auto* q = dynamic_cast<QLNEquation*>(row);
  QLNEquation* e = q != nullptr ? q->UnderlyingEquation() : nullptr;
  return e != nullptr ? static_cast<const void*>(e) : static_cast<const void*>(row);
}

Status Solve(std::vector<double>& values, const std::int64_t* rows, const std::int64_t* cols,
             double* x, std::vector<double>& rhs, std::int64_t ne, std::int64_t n,
             LSIBaseSolve** handle, bool first, std::int64_t solver_kind) {
  const std::int64_t flags = first ? 12 : 8;
  std::int64_t info = 0;
  LSISolve(values.data(), rows, cols, x, rhs.data(), &ne, &n, handle, &flags, &info, &solver_kind);
  if (info == 0 || info == -2) return 0;
  if (info == -1) SuPrint(0, "Sensitivity matrix is structurally singular!");
  SuPrint(kSensitivityFailed, "Fatal error calculating sensitivities");
  return kSensitivityFailed;
}

void PrintJacobian(const char* title, std::vector<double>& values, const std::int64_t* rows,
                   const std::int64_t* cols, std::int64_t ne) {
  SuPrint(0, "%s", title);
  std::vector<std::int64_t> work(static_cast<std::size_t>(std::max<std::int64_t>(ne, 1)));
  PrintSparseTriplets(rows, cols, values.data(), nullptr, work.data(), ne);
}

}  // namespace

namespace {

struct Interval {
  std::int32_t linear = 0;  // L
  double phi = 0.0;
  double t0 = 0.0;
  double t1 = 1.0;
};

Interval IntervalAt(SensitivityManagerFace* m, double t) {
  Interval in;
  m->IntervalTimes(&in.t0, &in.t1);
  in.linear = m->InterpolationKind() == 1 ? 1 : 0;
  if (in.linear == 1 && in.t1 != in.t0) in.phi = (t - in.t0) / (in.t1 - in.t0);
  return in;
}

}  // namespace

namespace {
// The manager's parameter entries as the blocks' parameter columns.
class ManagerParameters final : public BlockSensitivityParameters {
 public:
  std::int32_t ParameterCount() override {
    return g_manager != nullptr ? g_manager->EntryCount() : 0;
  }
  DAESVarTableEntry* Parameter(std::int32_t j) override {
    return g_manager != nullptr ? g_manager->Entry(j) : nullptr;
  }
};
ManagerParameters g_manager_parameters;

std::vector<Column> ColumnsOf(SensitivityManagerFace* m) {
  std::vector<Column> columns;
  for (std::int32_t j = 0; j < m->EntryCount(); ++j) {
    DAESVarTableEntry* p = m->Entry(j);
    if (IsArray(p)) {
      columns.push_back({p, j, std::max(1, m->ControlElements()), m->CurrentInterval() - 1});
    } else {
      columns.push_back({p, j, 1, 0});
    }
  }
  if (m->SwitchingElements() > 0) {
    columns.push_back({nullptr, -1, m->SwitchingElements(), m->CurrentInterval() - 2});
  }
  return columns;
}

// The right-hand side an element brings before any initial-value term.
Status Forcing(SensitivityManagerFace* m, DAESSolverBlock* system, const Column& c, std::int32_t e,
               const Interval& in, double t, std::vector<double>* rhs) {
  std::fill(rhs->begin(), rhs->end(), 0.0);
  if (c.parameter != nullptr) {
    if (e != c.base && e != c.base + in.linear) return 0;
    const Status s = system->EvaluateJacobianColumn(c.parameter, rhs->data(), 0);
    if (status::IsFailure(s)) return s;
    const double factor = in.linear == 1 ? (e == c.base ? in.phi - 1.0 : -in.phi) : -1.0;
    for (double& b : *rhs) b *= factor;
    return 0;
  }
  if (in.linear != 1 || e != c.base || c.base == -1) return 0;
  std::vector<double> column(rhs->size());
  const double span = in.t1 - in.t0;
  if (span == 0.0) return 0;
  for (std::int32_t j = 0; j < m->EntryCount(); ++j) {
    DAESVarTableEntry* p = m->Entry(j);
    if (!IsArray(p)) continue;
    double a = 0.0, b = 0.0;
    m->ControlValues(j, &a, &b);
    const Status s = system->EvaluateJacobianColumn(p, column.data(), 0);
    if (status::IsFailure(s)) return s;
    const double factor = (b - a) * (t - in.t1) / (span * span);
    for (std::size_t i = 0; i < rhs->size(); ++i) (*rhs)[i] -= factor * column[i];
  }
  return 0;
}

// A switch-time row's forcing and whether the row moves at all yet. Row e
// belongs to the end of interval e + 1. Piecewise constant controls: a row
// moves once its switch is passed, unforced (its jump starts it). Ramps:
// the current interval's two ends move its slope, so both rows are forced
// while it lasts.
bool SwitchForcing(SensitivityManagerFace* m, DAESSolverBlock* system, std::int32_t e,
                   const Interval& in, double t, std::vector<double>* rhs, Status* status) {
  std::fill(rhs->begin(), rhs->end(), 0.0);
  *status = 0;
  const std::int32_t interval = m->CurrentInterval();
  const bool starts = e + 1 == interval - 1, ends = e + 1 == interval;
  if (e + 1 > interval || (ends && in.linear != 1)) return false;
  const double span = in.t1 - in.t0;
  if (in.linear != 1 || !(starts || ends) || span == 0.0) return true;
  std::vector<double> column(rhs->size());
  for (std::int32_t j = 0; j < m->EntryCount(); ++j) {
    DAESVarTableEntry* p = m->Entry(j);
    if (!IsArray(p)) continue;
    double a = 0.0, b = 0.0;
    m->ControlValues(j, &a, &b);
    if (b == a) continue;
    *status = system->EvaluateJacobianColumn(p, column.data(), 0);
    if (status::IsFailure(*status)) return true;
    // du/dt(start) = (b - a)(t - t1)/span^2, du/dt(end) = -(b - a)(t - t0)/span^2.
    const double du =
        starts ? (b - a) * (t - in.t1) / (span * span) : -(b - a) * (t - in.t0) / (span * span);
    for (std::size_t i = 0; i < rhs->size(); ++i) (*rhs)[i] -= du * column[i];
  }
  return true;
}

void PrintRow(const Column& c, std::int32_t e, bool single, const char* dynamic_time, double t) {
  std::int32_t d = e + 1;
  BvuNameable* named = c.parameter;
  if (dynamic_time != nullptr) {
    if (c.parameter == nullptr) {
      SuPrint(0, "Sensitivities at time %g with respect to switching time %d", &t, &d);
    } else if (IsArray(c.parameter)) {
      SuPrint(0, "Sensitivities at time %g with respect to element %d of @Ns", &t, &d, &named);
    } else {
      SuPrint(0, "Sensitivities at time %g with respect to @Ns", &t, &named);
    }
    return;
  }
  if (single) {
    SuPrint(0, "Sensitivities with respect to @Ns", &named);
  } else if (c.parameter == nullptr) {
    SuPrint(0, "Sensitivities with respect to switching time %d", &d);
  } else {
    SuPrint(0, "Sensitivities with respect to discretisation %d of @Ns", &d, &named);
  }
}

void PrintValues(DAESSolverBlock* system, const double* x, const char* suffix) {
  for (std::int32_t i = 0; i < system->VariableCount(); ++i) {
    BvuNameable* v = system->GetVariable(i);
    double value = x[i];
    if (suffix == nullptr) {
      SuPrint(0, "%14.6e  @Ns", &value, &v);
    } else {
      SuPrint(0, "%14.6e  @Ns.Derivative", &value, &v);
    }
  }
}

}  // namespace

std::int32_t SensitivityManagerFace::MatrixRowCount() {
  std::int32_t rows = 0;
  for (std::int32_t j = 0; j < EntryCount(); ++j) {
    rows += IsArray(Entry(j)) ? std::max(1, ControlElements()) : 1;
  }
  return rows;
}

SensitivityManagerFace* GetSensitivityManagerFace() { return g_manager; }
void SetSensitivityManagerFace(SensitivityManagerFace* manager) {
  g_manager = manager;
  SetBlockSensitivityParameters(manager != nullptr ? &g_manager_parameters : nullptr);
}

DAESSolverBlock* QLNSensitivityCalculator::System() const { return FirstGroup(steady_); }
DAESSolverBlock* QLNSensitivityCalculator::DynamicSystem() const { return FirstGroup(dynamic_); }

std::int32_t QLNSensitivityCalculator::SensitivityRows() const {
  SensitivityManagerFace* m = GetSensitivityManagerFace();
  if (m == nullptr) return 0;
  return std::max(0, m->MatrixRowCount()) + std::max(0, m->SwitchingRowCount());
}

void QLNSensitivityCalculator::DropSteady() {
  Drop(&steady_, &steady_handle_);
  Drop(&auxiliary_, &auxiliary_handle_);
}

void QLNSensitivityCalculator::Release() {
  DropSteady();
  Drop(&dynamic_, &dynamic_handle_);
  Drop(&jump_, &jump_handle_);
  matrix_.clear();
  initial_values_.clear();
  known_rows_.clear();
  layout_ = DynamicLayout{};
}

Status QLNSensitivityCalculator::Compute(double time, std::int32_t run_kind, std::int32_t phase) {
  Status s = 0;
  if (run_kind == 1) {
    s = SteadyState(time, phase, 3, 0, 68);
  } else if (run_kind == 4 || run_kind == 5) {
    s = phase == 2 ? SteadyState(time, phase, 6, 1, 64) : SteadyState(time, phase, 16, 0, 96);
  } else if (run_kind == 6) {
    s = SteadyState(time, phase, 6, 1, 64);
  } else {
    return 0;
  }
  if (status::IsFailure(s)) return s;
  return HandOver();
}

Status QLNSensitivityCalculator::AuxiliaryProduct(const std::vector<double>& w,
                                                  std::vector<double>* out) {
  std::fill(out->begin(), out->end(), 0.0);
  DAESSolverBlock* aux = FirstGroup(auxiliary_);
  DAESSolverBlock* system = System();
  DAESProblem* problem = GetCurrentProblem();
  if (aux == nullptr || system == nullptr) return 0;
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  Status s = aux->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) return s;
  const std::int64_t ne = aux->StructureSize();
  std::vector<double> values(static_cast<std::size_t>(ne));
  s = aux->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  s = aux->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols, values.data(), 0,
                                   0.0);
  if (status::IsFailure(s)) return s;
  const std::int64_t n = aux->VariableCount();
  const std::int64_t m = aux->GetRowCount();
  std::vector<double> wa(static_cast<std::size_t>(n), 0.0), y(static_cast<std::size_t>(m), 0.0);
  for (std::int32_t c = 0; c < n; ++c) {
    const std::int32_t at = ProblemIndex(problem, aux->GetVariable(c));
    if (at >= 0 && static_cast<std::size_t>(at) < w.size()) wa[c] = w[static_cast<std::size_t>(at)];
  }
  SparseMatVecCoord(&ne, values.data(), rows, cols, &m, &n, wa.data(), y.data());
  std::map<const void*, std::uint32_t> main_rows;
  for (std::uint32_t i = 0; i < system->GetRowCount(); ++i) {
    main_rows[EquationKey(system->GetRow(i))] = i;
  }
  for (std::uint32_t i = 0; i < aux->GetRowCount(); ++i) {
    const auto found = main_rows.find(EquationKey(aux->GetRow(i)));
    if (found != main_rows.end() && found->second < out->size()) (*out)[found->second] += y[i];
  }
  return 0;
}

Status QLNSensitivityCalculator::SteadyState(double time, std::int32_t phase, std::uint32_t m,
                                             std::int32_t v, std::uint32_t k) {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  if (manager == nullptr) return kSensitivityFailed;
  const std::int32_t level = PrintLevel();
  const std::int64_t solver_kind = SolverOptions::Instance()->GetInt(kOptLinearSolver);
  if (steady_ != nullptr && (phase != built_phase_ || m != built_m_ || k != built_k_)) {
    DropSteady();
  }
  built_phase_ = phase;
  built_m_ = m;
  built_k_ = k;
  Status s = manager->PrepareStorage();
  if (status::IsFailure(s)) return s;
  if (steady_ == nullptr) {
    const bool second = v == 1 || (k & 0x20) != 0;
    const std::uint32_t flags = kOptionsWord + kWithDerivatives + (second ? kInitialValues : 0);
    if (BuildDecomposition(m, k, flags, &steady_) != 0) return kSensitivityFailed;
    matrix_.clear();
    initial_values_.clear();
  }
  DAESSolverBlock* system = System();
  DAESProblem* problem = GetCurrentProblem();
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  s = system->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) return s;
  const std::int64_t ne = system->StructureSize();
  const std::int64_t n = system->VariableCount();
  const std::uint32_t equations = system->GetRowCount();
  const std::size_t row_count = static_cast<std::size_t>(SensitivityRows());
  const std::size_t problem_count =
      problem != nullptr ? static_cast<std::size_t>(problem->VariableCount()) : 0;

  if (matrix_.size() != row_count || (initial_values_.empty() && manager->MatrixRowCount() > 0)) {
    matrix_.assign(row_count, std::vector<double>(static_cast<std::size_t>(n), 0.0));
    initial_values_.assign(problem_count, 0.0);
  }

  bool free_parameter = false;
  for (std::int32_t j = 0; j < manager->EntryCount(); ++j) {
    free_parameter = free_parameter || IsFree(manager->Entry(j));
  }
  const bool auxiliary = v == 1 || free_parameter;
  if (auxiliary && auxiliary_ == nullptr &&
      BuildDecomposition(1, 70, kOptionsWord, &auxiliary_) != 0) {
    return kSensitivityFailed;
  }

  // A re-initialisation past the start takes a delayed value from the
  // history, as the dynamic steps do: the present value does not move it,
  // and each row takes its share of the sensitivity recorded a lag back.
  const DelayMgr* delays = GetCurrentDelayMgr();
  const bool delayed =
      v == 1 && time > 0.0 && delays != nullptr && delays->DelayedVariableCount() > 0;
  std::optional<HeldDelays> held;
  if (delayed) held.emplace();
  s = system->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  std::vector<double> values(static_cast<std::size_t>(ne));
  s = system->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols, values.data(), 0,
                                      0.0);
  if (status::IsFailure(s)) return s;

  const std::vector<Column> columns = ColumnsOf(manager);
  known_rows_.assign(v == 1 ? row_count : 0, {});
  // The states outside the system, by problem index, and their Jacobian
  // columns once a row moves them.
  std::vector<std::size_t> states;
  for (std::int32_t i = 0; v == 1 && i < static_cast<std::int32_t>(problem_count); ++i) {
    DAESVarTableEntry* x = problem->GetVariable(i);
    if ((x->GetFlags() & daes::kState) != 0 && (x->GetFlags() & kDerivativeClass) == 0 &&
        system->FindVariable(x) == 0) {
      states.push_back(static_cast<std::size_t>(i));
    }
  }
  std::vector<std::vector<double>> state_columns(states.size());
  const Interval in = IntervalAt(manager, time);
  const bool single_rows = manager->EntryCount() > 0 && manager->SwitchingElements() == 0;
  std::vector<double> rhs(equations), term(equations), w(problem_count, 0.0);
  std::size_t r = 0;
  bool first = true;
  for (const Column& c : columns) {
    for (std::int32_t e = 0; e < c.elements && r < matrix_.size(); ++e, ++r) {
      std::vector<double>& x = matrix_[r];
      if (e > c.base + in.linear) {
        std::fill(x.begin(), x.end(), 0.0);
      } else {
        s = Forcing(manager, system, c, e, in, time, &rhs);
        if (status::IsFailure(s)) return s;
        bool subtract = false, known = false;
        if (v != 1) {
          if (c.parameter != nullptr && IsFree(c.parameter)) {
            std::fill(w.begin(), w.end(), 0.0);
            const std::int32_t at = ProblemIndex(problem, c.parameter);
            if (at >= 0) w[static_cast<std::size_t>(at)] = 1.0;
            subtract = true;
          }
        } else {
          const auto row_number = static_cast<std::int32_t>(r + 1);
          if (c.parameter == nullptr && e == c.base) {
            std::fill(initial_values_.begin(), initial_values_.end(), 0.0);
            if (in.linear == 0) {
              s = ServerInitialRow(w.data());
              DAESSolverBlock* aux = FirstGroup(auxiliary_);
              for (std::int32_t i = 0; aux != nullptr && i < aux->VariableCount(); ++i) {
                const std::int32_t at = ProblemIndex(problem, aux->GetVariable(i));
                if (at >= 0) w[static_cast<std::size_t>(at)] -= aux->GetVariable(i)->GetRealValue();
              }
              subtract = true;
            } else {
              s = ServerRow(w.data(), row_number);
              known = true;
            }
            initial_values_ = w;
          } else {
            s = ServerRow(w.data(), row_number);
            known = true;
          }
          if (status::IsFailure(s)) return s;
        }
        if (subtract) {
          s = AuxiliaryProduct(w, &term);
          if (status::IsFailure(s)) return s;
          for (std::uint32_t i = 0; i < equations; ++i) rhs[i] -= term[i];
        }
        if (known) {
          // The integrator's row gives the states, as at its restarts: each
          // moves the equations by its column; the rest of the row is solved.
          known_rows_[r] = w;
          for (std::size_t k = 0; k < states.size(); ++k) {
            const double ds = w[states[k]];
            if (ds == 0.0) continue;
            if (state_columns[k].empty()) {
              state_columns[k].resize(equations);
              s = system->EvaluateJacobianColumn(
                  problem->GetVariable(static_cast<std::int32_t>(states[k])),
                  state_columns[k].data(), 0);
              if (status::IsFailure(s)) return s;
            }
            for (std::uint32_t i = 0; i < equations; ++i) rhs[i] -= ds * state_columns[k][i];
          }
        }
        if (delayed) {
          s = system->EvaluateDelayedColumn(static_cast<std::int32_t>(r), term.data());
          if (status::IsFailure(s)) return s;
          for (std::uint32_t i = 0; i < equations; ++i) rhs[i] -= term[i];
        }
        if (level >= 5) {
          if (first)
            PrintJacobian("Initialization/SS sensitivity jacobian:", values, rows, cols, ne);
          BvuNameable* named = c.parameter;
          if (named != nullptr) {
            SuPrint(0, "RHS vector (derivative wrt sensitivity variable @ns):", &named);
          } else {
            SuPrint(0, "RHS vector (derivative wrt sensitivity variable):");
          }
          const std::int64_t count = equations;
          PrintRealVector(rhs.data(), count);
        }
        s = Solve(values, rows, cols, x.data(), rhs, ne, n, &steady_handle_, first, solver_kind);
        if (s != 0) return s;
        first = false;
      }
      if (level >= 5) {
        PrintRow(c, e, single_rows && c.elements == 1, nullptr, time);
        PrintValues(system, x.data(), nullptr);
      }
    }
  }
  return 0;
}

Status QLNSensitivityCalculator::HandOver() {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESSolverBlock* system = System();
  DAESProblem* problem = GetCurrentProblem();
  if (manager == nullptr || system == nullptr) return kSensitivityFailed;
  Status last = 0;
  for (std::int32_t i = 0; i < manager->VariableCount(); ++i) {
    DAESVarTableEntry* v = manager->Variable(i);
    if (v == nullptr) continue;
    DAESVarTableEntry* found = v;
    if ((v->GetFlags() & kMergedFlag) != 0 && problem != nullptr) {
      DAESVarTableEntry* leader = problem->EntryFor(v);
      if (leader != nullptr) found = leader;
    }
    const std::int32_t position = system->FindVariable(found) - 1;
    std::size_t r = 0;
    for (std::int32_t j = 0; j < manager->EntryCount(); ++j) {
      DAESVarTableEntry* p = manager->Entry(j);
      const std::int32_t elements = IsArray(p) ? std::max(1, manager->ControlElements()) : 1;
      for (std::int32_t e = 0; e < elements; ++e, ++r) {
        double value = 0.0;
        const std::int32_t at = position < 0 ? ProblemIndex(problem, found) : -1;
        if (position >= 0 && r < matrix_.size()) {
          value = matrix_[r][static_cast<std::size_t>(position)];
        } else if (position < 0 && p == v && (v->GetFlags() & kOutsideFlags) == 0) {
          value = 1.0;
        } else if (at >= 0 && r < known_rows_.size() &&
                   static_cast<std::size_t>(at) < known_rows_[r].size()) {
          // A state the re-initialisation took as known keeps its row.
          value = known_rows_[r][static_cast<std::size_t>(at)];
        }
        const Status s = manager->Store(j, v, value, e);
        if (status::IsFailure(s)) last = s;
      }
    }
  }
  return last;
}

namespace {

// Columns of the caller's matrices: a problem variable's place among the
// variables of its class (with flag 4 or without).
struct CallerColumns {
  std::vector<std::int32_t> column;  // per problem variable
  std::vector<bool> second;
  std::int32_t first_count = 0;
  std::int32_t second_count = 0;
};

CallerColumns CallerColumnsOf(DAESProblem* problem) {
  CallerColumns c;
  const std::int32_t n = problem != nullptr ? problem->VariableCount() : 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const bool derivative = (problem->GetVariable(i)->GetFlags() & kDerivativeClass) != 0;
    c.second.push_back(derivative);
    c.column.push_back(derivative ? c.second_count++ : c.first_count++);
  }
  return c;
}

}  // namespace

Status QLNSensitivityCalculator::ComputeInto(double* first, double* second, double time,
                                             std::int32_t run_kind, std::int32_t phase) {
  Status s = Compute(time, run_kind, phase);
  if (status::IsFailure(s)) return s;
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESProblem* problem = GetCurrentProblem();
  DAESSolverBlock* system = System();
  if (manager == nullptr || problem == nullptr || first == nullptr || second == nullptr) {
    return kSensitivityFailed;
  }
  const std::int32_t rows = SensitivityRows();
  double t0 = 0.0, t1 = 0.0;
  manager->IntervalTimes(&t0, &t1);
  const std::int32_t b =
      time > t1 ? manager->CurrentInterval() - 1 : manager->CurrentInterval() - 2;
  const std::int32_t base = manager->SwitchingElements() == 1 ? 0 : b;
  const CallerColumns columns = CallerColumnsOf(problem);
  const bool whole_kind = run_kind == 1 || run_kind == 5;
  zeroed_ = b < 0 && whole_kind;
  if (zeroed_) {
    std::fill(first, first + static_cast<std::size_t>(rows) * columns.first_count, 0.0);
  }
  // Which entry each row belongs to; the switching-time rows to none.
  std::vector<std::int32_t> row_entry(static_cast<std::size_t>(rows), -1);
  {
    std::size_t r = 0;
    for (const Column& c : ColumnsOf(manager)) {
      for (std::int32_t e = 0; e < c.elements && r < row_entry.size(); ++e)
        row_entry[r++] = c.entry;
    }
  }
  // Switch-time rows the restarts keep (SwitchJump) are not overwritten.
  const bool copy_initial = manager->MatrixRowCount() > 0 && !zeroed_ &&
                            manager->SwitchTimeRows() == 0 && std::fabs(time - t0) <= 1e-10 &&
                            !initial_values_.empty();
  const std::int32_t initial_row = base - manager->MatrixRowCount() + rows;
  for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
    DAESVarTableEntry* v = problem->GetVariable(i);
    const std::size_t at = static_cast<std::size_t>(i);
    const bool in_second = columns.second[at];
    double* matrix = in_second ? second : first;
    const std::int32_t width = in_second ? columns.second_count : columns.first_count;
    const std::int32_t col = columns.column[at];
    DAESVarTableEntry* found = v;
    if ((v->GetFlags() & kMergedFlag) != 0) {
      DAESVarTableEntry* leader = problem->EntryFor(v);
      if (leader != nullptr) found = leader;
    }
    const std::int32_t position = system != nullptr ? system->FindVariable(found) - 1 : -1;
    if (position >= 0) {
      for (std::int32_t r = 0; r < rows && static_cast<std::size_t>(r) < matrix_.size(); ++r) {
        matrix[static_cast<std::size_t>(r) * width + col] =
            matrix_[static_cast<std::size_t>(r)][static_cast<std::size_t>(position)];
      }
    } else if (whole_kind && (v->GetFlags() & kOutsideFlags) == 0) {
      for (std::int32_t r = 0; r < rows; ++r) {
        const std::int32_t entry = row_entry[static_cast<std::size_t>(r)];
        DAESVarTableEntry* p = entry >= 0 ? manager->Entry(entry) : nullptr;
        const bool own = p == v && (p->GetFlags() & 0x80) == 0;
        matrix[static_cast<std::size_t>(r) * width + col] = own ? 1.0 : 0.0;
      }
    }
    // Any other variable outside the system keeps its column as it was.
    if (!in_second && copy_initial && initial_row >= 0 && initial_row < rows &&
        at < initial_values_.size()) {
      first[static_cast<std::size_t>(initial_row) * width + col] = initial_values_[at];
    }
  }
  return run_kind == 1 ? 0 : RecordDelayed(time, first, second);
}

Status QLNSensitivityCalculator::RecordDelayed(double time, const double* first,
                                               const double* second) {
  DelayMgr* delays = GetCurrentDelayMgr();
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESProblem* problem = GetCurrentProblem();
  if (delays == nullptr || manager == nullptr || problem == nullptr ||
      delays->DelayedVariableCount() == 0) {
    return 0;
  }
  const CallerColumns columns = CallerColumnsOf(problem);
  const std::vector<Column> parameters = ColumnsOf(manager);
  const std::int32_t rows = SensitivityRows();
  Status last = 0;
  for (std::int32_t d = 0; d < delays->DelayedVariableCount(); ++d) {
    DAESVariable* v = delays->VariableAt(d);
    if (v == nullptr) continue;
    DAESVarTableEntry* entry = v;
    if ((v->GetFlags() & kMergedFlag) != 0 && problem->EntryFor(v) != nullptr) {
      entry = problem->EntryFor(v);
    }
    const std::int32_t at = ProblemIndex(problem, entry);
    std::int32_t r = 0;
    for (const Column& c : parameters) {
      // Each row has its own history, an array's elements included.
      for (std::int32_t e = 0; e < c.elements && r < rows; ++e, ++r) {
        if (c.parameter == nullptr) continue;
        // A single parameter delayed itself; an array's own rows say when.
        double value = c.parameter == entry && c.elements == 1 ? 1.0 : 0.0;
        if (value == 0.0 && at >= 0) {
          const auto u = static_cast<std::size_t>(at);
          const double* row = columns.second[u]
                                  ? second + static_cast<std::size_t>(r) * columns.second_count
                                  : first + static_cast<std::size_t>(r) * columns.first_count;
          // The rows hold scaled values; the delayed value is unscaled.
          value = row[columns.column[u]] / entry->GetScale();
        }
        const Status s = manager->RecordDelayed(r, v, time, value);
        if (status::IsFailure(s)) last = s;
      }
    }
    // The switching times' rows follow the parameters'.
    const std::int32_t switches = std::max(0, manager->SwitchTimeRows());
    for (std::int32_t k = 0; k < switches && at >= 0; ++k) {
      const std::int32_t row_at = manager->MatrixRowCount() + k;
      if (row_at < 0 || row_at >= rows) break;
      const auto u = static_cast<std::size_t>(at);
      const double* row = columns.second[u]
                              ? second + static_cast<std::size_t>(row_at) * columns.second_count
                              : first + static_cast<std::size_t>(row_at) * columns.first_count;
      const Status s =
          manager->RecordDelayed(row_at, v, time, row[columns.column[u]] / entry->GetScale());
      if (status::IsFailure(s)) last = s;
    }
  }
  return last;
}

void QLNSensitivityCalculator::LayOut(DAESSolverBlock* system, DAESProblem* problem,
                                      bool explicit_kind) {
  DynamicLayout& l = layout_;
  const CallerColumns columns = CallerColumnsOf(problem);
  const std::int32_t n = system->VariableCount();
  l.value_col.assign(static_cast<std::size_t>(n), -1);
  l.derivative_col.assign(static_cast<std::size_t>(n), -1);
  l.in_second.assign(static_cast<std::size_t>(n), 0);
  l.known_states.clear();
  l.known_columns.clear();
  for (std::int32_t c = 0; c < n; ++c) {
    DAESVarTableEntry* x = system->GetVariable(c);
    const std::int32_t at = ProblemIndex(problem, x);
    if (at >= 0) l.value_col[c] = columns.column[static_cast<std::size_t>(at)];
    // An explicit kind solves for derivatives: their rows are the second's.
    l.in_second[static_cast<std::size_t>(c)] =
        at >= 0 && columns.second[static_cast<std::size_t>(at)] ? 1 : 0;
    if (!explicit_kind && (x->GetFlags() & daes::kState) != 0) {
      const std::int32_t dat = ProblemIndex(problem, x->GetDerivative());
      if (dat >= 0 && columns.second[static_cast<std::size_t>(dat)]) {
        l.derivative_col[c] = columns.column[static_cast<std::size_t>(dat)];
      }
    }
  }
  // With explicit kinds the states are known: their sensitivities (the
  // server's) move the right-hand side.
  if (explicit_kind) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      DAESVarTableEntry* x = problem->GetVariable(i);
      if ((x->GetFlags() & daes::kState) != 0 && system->FindVariable(x) == 0) {
        l.known_states.push_back(x);
        l.known_columns.push_back(columns.column[static_cast<std::size_t>(i)]);
      }
    }
  }
  l.first_count = columns.first_count;
  l.second_count = columns.second_count;
  l.system = system;
  l.problem = problem;
  l.variables = problem->VariableCount();
  l.explicit_kind = explicit_kind;
}

Status QLNSensitivityCalculator::DynamicAt(double time, double* first, double* second) {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESProblem* problem = GetCurrentProblem();
  if (manager == nullptr || problem == nullptr || first == nullptr || second == nullptr) {
    return kSensitivityFailed;
  }
  const std::int32_t level = PrintLevel();
  if (level >= 4) SuPrint(0, "Computing sensitivities at time %g", &time);
  // A delayed value is the history's: the rows take its sensitivity one lag
  // back as forcing, never the present one through the matrix.
  const HeldDelays held;
  const DelayMgr* delays = GetCurrentDelayMgr();
  const bool delayed = delays != nullptr && delays->DelayedVariableCount() > 0;
  const bool explicit_kind = ExplicitIntegrator();
  if (dynamic_ == nullptr) {
    const Status built =
        explicit_kind
            ? BuildDecomposition(7, 64, kOptionsWord + kWithDerivatives, &dynamic_)
            : BuildDecomposition(3, 64, kOptionsWord + kWithDerivatives + kOutGroup, &dynamic_);
    if (built != 0) return kSensitivityFailed;
  }
  DAESSolverBlock* system = DynamicSystem();
  const std::int64_t solver_kind = SolverOptions::Instance()->GetInt(kOptLinearSolver);
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  Status s = system->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) return s;
  const std::int64_t ne = system->StructureSize();
  const std::int64_t n = system->VariableCount();
  const std::int64_t m = system->GetRowCount();
  const double v = StepQuantity();
  if (!explicit_kind && !(v > 0.0)) {
    SuPrint(kSensitivityFailed, "Fatal error calculating sensitivities");
    return kSensitivityFailed;
  }
  const double cj = explicit_kind ? 0.0 : 1.0 / v;

  // The group's Jacobian with the derivative columns folded into their
  // states: A0 without them, D the derivative part alone.
  s = system->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  std::vector<double>& a0 = dynamic_a0_;
  std::vector<double>& d = dynamic_d_;
  a0.assign(static_cast<std::size_t>(ne), 0.0);
  d.assign(static_cast<std::size_t>(ne), 0.0);
  s = explicit_kind ? system->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols,
                                                      a0.data(), kPairing, 0.0)
                    : system->EvaluateJacobianParts(static_cast<std::uint32_t>(ne), rows, cols,
                                                    a0.data(), d.data(), kPairing);
  if (status::IsFailure(s)) return s;
  std::vector<double>& matrix = dynamic_matrix_;
  matrix.resize(a0.size());
  for (std::size_t e = 0; e < matrix.size(); ++e) matrix[e] = a0[e] + cj * d[e];

  // Where each system variable and its derivative live in the caller's
  // rows: fixed while the system and the problem's table are.
  if (layout_.system != system || layout_.problem != problem ||
      layout_.variables != problem->VariableCount() || layout_.explicit_kind != explicit_kind) {
    LayOut(system, problem, explicit_kind);
  }
  const std::vector<std::int32_t>& value_col = layout_.value_col;
  const std::vector<std::int32_t>& derivative_col = layout_.derivative_col;
  const std::vector<char>& in_second = layout_.in_second;
  const std::vector<DAESVarTableEntry*>& known_states = layout_.known_states;

  const std::vector<Column> parameter_columns = ColumnsOf(manager);
  const Interval in = IntervalAt(manager, time);
  const std::int32_t total = SensitivityRows();
  std::vector<double> rhs(static_cast<std::size_t>(m)), w(static_cast<std::size_t>(n)),
      dw(static_cast<std::size_t>(m)), x(static_cast<std::size_t>(n)),
      column(static_cast<std::size_t>(m));
  // The derivative rows as printed at the highest print levels.
  std::vector<double> derivatives(level >= 5 ? static_cast<std::size_t>(n) : 0);
  bool first_row = true;
  auto clear = [&](double* row1, double* row2) {
    for (std::int32_t k = 0; k < n; ++k) {
      if (value_col[k] >= 0) (in_second[k] ? row2 : row1)[value_col[k]] = 0.0;
      if (derivative_col[k] >= 0) row2[derivative_col[k]] = 0.0;
    }
  };
  // One corrected row from its forcing in `rhs`.
  auto correct = [&](double* row1, double* row2, const Column* c, std::int32_t e) -> Status {
    // Less the derivative columns times (s'pred - spred / v).
    for (std::int32_t k = 0; k < n; ++k) {
      w[k] = derivative_col[k] >= 0 && value_col[k] >= 0
                 ? row2[derivative_col[k]] - cj * row1[value_col[k]]
                 : 0.0;
    }
    if (!explicit_kind) {
      SparseMatVecCoord(&ne, d.data(), rows, cols, &m, &n, w.data(), dw.data());
      for (std::int64_t i = 0; i < m; ++i) rhs[i] -= dw[i];
    }
    for (std::size_t k = 0; k < known_states.size(); ++k) {
      DAESVarTableEntry* state = known_states[k];
      const double ds = row1[layout_.known_columns[k]];
      if (ds == 0.0) continue;
      s = system->EvaluateJacobianColumn(state, column.data(), 0);
      if (status::IsFailure(s)) return s;
      for (std::int64_t i = 0; i < m; ++i) rhs[i] -= ds * column[i];
    }
    if (level >= 5) {
      if (first_row) PrintJacobian("Sensitivity jacobian:", matrix, rows, cols, ne);
      SuPrint(0, "RHS vector (derivative wrt sensitivity variable):");
      PrintRealVector(rhs.data(), m);
    }
    std::fill(x.begin(), x.end(), 0.0);
    s = Solve(matrix, rows, cols, x.data(), rhs, ne, n, &dynamic_handle_, first_row, solver_kind);
    if (s != 0) return s;
    first_row = false;
    if (level >= 5) std::fill(derivatives.begin(), derivatives.end(), 0.0);
    for (std::int32_t k = 0; k < n; ++k) {
      if (value_col[k] < 0) continue;
      if (derivative_col[k] >= 0) {
        // s' = s'pred + (s - spred) / v
        double& sd = row2[derivative_col[k]];
        sd += cj * (x[k] - row1[value_col[k]]);
        if (level >= 5) derivatives[k] = sd;
      }
      (in_second[k] ? row2 : row1)[value_col[k]] = x[k];
    }
    if (level >= 5) {
      if (c != nullptr) {
        PrintRow(*c, e, false, "", time);
      } else {
        std::int32_t number = e + 1;
        SuPrint(0, "Sensitivities at time %g with respect to switching time %d", &time, &number);
      }
      PrintValues(system, x.data(), nullptr);
      PrintValues(system, derivatives.data(), "");
    }
    return 0;
  };
  std::int32_t r = 0;
  for (const Column& c : parameter_columns) {
    for (std::int32_t e = 0; e < c.elements && r < total; ++e, ++r) {
      double* row1 = first + static_cast<std::size_t>(r) * layout_.first_count;
      double* row2 = second + static_cast<std::size_t>(r) * layout_.second_count;
      if (e > c.base + in.linear) {
        clear(row1, row2);
        continue;
      }
      s = Forcing(manager, system, c, e, in, time, &rhs);
      if (status::IsFailure(s)) return s;
      if (delayed && c.parameter != nullptr) {
        s = system->EvaluateDelayedColumn(r, column.data());
        if (status::IsFailure(s)) return s;
        for (std::int64_t i = 0; i < m; ++i) rhs[i] -= column[i];
      }
      s = correct(row1, row2, &c, e);
      if (s != 0) return s;
    }
  }
  const std::int32_t switches = std::max(0, manager->SwitchTimeRows());
  for (std::int32_t e = 0; e < switches; ++e) {
    const std::int32_t at = manager->MatrixRowCount() + e;
    if (at < 0 || at >= total) break;
    double* row1 = first + static_cast<std::size_t>(at) * layout_.first_count;
    double* row2 = second + static_cast<std::size_t>(at) * layout_.second_count;
    if (!SwitchForcing(manager, system, e, in, time, &rhs, &s)) {
      clear(row1, row2);
      continue;
    }
    if (status::IsFailure(s)) return s;
    if (delayed) {
      s = system->EvaluateDelayedColumn(at, column.data());
      if (status::IsFailure(s)) return s;
      for (std::int64_t i = 0; i < m; ++i) rhs[i] -= column[i];
    }
    s = correct(row1, row2, nullptr, e);
    if (s != 0) return s;
  }
  return delayed ? RecordDelayed(time, first, second) : 0;
}

Status QLNSensitivityCalculator::SwitchJump(double* first, double* second, const double* change,
                                            double time) {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  DAESProblem* problem = GetCurrentProblem();
  if (manager == nullptr || problem == nullptr || first == nullptr || second == nullptr ||
      change == nullptr) {
    return kSensitivityFailed;
  }
  if (DelayMgr* history = GetCurrentDelayMgr(); history != nullptr && time > 0.0)
    DropRowsAfter(history->SubHistory(), time);
  const CallerColumns columns = CallerColumnsOf(problem);
  auto row_of = [&](std::int32_t r, double** row1, double** row2) {
    *row1 = first + static_cast<std::size_t>(r) * columns.first_count;
    *row2 = second + static_cast<std::size_t>(r) * columns.second_count;
  };
  std::vector<DAESVarTableEntry*> states;
  std::vector<std::size_t> state_at;
  std::vector<std::int32_t> derivatives;
  for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
    DAESVarTableEntry* x = problem->GetVariable(i);
    if ((x->GetFlags() & daes::kState) == 0 || columns.second[static_cast<std::size_t>(i)])
      continue;
    const std::int32_t d = ProblemIndex(problem, x->GetDerivative());
    if (d < 0) continue;
    states.push_back(x);
    state_at.push_back(static_cast<std::size_t>(i));
    derivatives.push_back(d);
  }
  auto state_part = [&](double* row1, std::size_t k) -> double& {
    return row1[columns.column[state_at[k]]];
  };

  // The switch that starts the current interval, at its time: its row's
  // states take x'(t-) - x'(t+). A row that has started already (a second
  // restart at the same switch, or a ramp's, which moves from the start of
  // the interval before) keeps its states.
  const Interval in = IntervalAt(manager, time);
  const std::int32_t e = manager->CurrentInterval() - 2;
  const std::int32_t switches = std::max(0, manager->SwitchTimeRows());
  if (e >= 0 && e < switches && std::fabs(time - in.t0) <= 1e-9 * std::max(1.0, std::fabs(in.t0))) {
    double *row1 = nullptr, *row2 = nullptr;
    row_of(manager->MatrixRowCount() + e, &row1, &row2);
    bool started = false;
    for (std::size_t k = 0; k < states.size(); ++k) started = started || state_part(row1, k) != 0.0;
    for (std::size_t k = 0; k < states.size() && !started; ++k) {
      state_part(row1, k) = change[derivatives[k]];
    }
  }

  // Every row's derivatives and algebraic unknowns from the linearised
  // equations after the restart, the states' part known: the controls'
  // forcing has changed, and the next leg starts from these slopes.
  // Without that system the rows keep their slopes: the next leg's first
  // steps are only the shorter for it.
  if (jump_ == nullptr && BuildDecomposition(7, 64, kOptionsWord + kWithDerivatives, &jump_) != 0) {
    return 0;
  }
  // Past the start a delayed value is the history's, as in the dynamic steps.
  const DelayMgr* delays = GetCurrentDelayMgr();
  const bool delayed = time > 0.0 && delays != nullptr && delays->DelayedVariableCount() > 0;
  std::optional<HeldDelays> held;
  if (delayed) held.emplace();
  DAESSolverBlock* system = FirstGroup(jump_);
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  Status s = system->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) return s;
  const std::int64_t ne = system->StructureSize();
  const std::int64_t n = system->VariableCount();
  const std::int64_t m = system->GetRowCount();
  s = system->EvaluateRows(daes::kEvalResidual | daes::kEvalDerivatives);
  if (status::IsFailure(s)) return s;
  std::vector<double> values(static_cast<std::size_t>(ne));
  s = system->EvaluateJacobianEntries(static_cast<std::uint32_t>(ne), rows, cols, values.data(), 0,
                                      0.0);
  if (status::IsFailure(s)) return s;
  // A state's column is made when a row first moves it: at a plain start
  // no state has a sensitivity yet.
  std::vector<std::vector<double>> state_columns(states.size());
  std::vector<char> outside(states.size(), 0);
  for (std::size_t k = 0; k < states.size(); ++k) {
    outside[k] = system->FindVariable(states[k]) == 0 ? 1 : 0;
  }
  const std::int64_t solver_kind = SolverOptions::Instance()->GetInt(kOptLinearSolver);
  std::vector<double> rhs(static_cast<std::size_t>(m)), x(static_cast<std::size_t>(n));
  bool first_row = true;
  std::vector<double> lagged(delayed ? static_cast<std::size_t>(m) : 0);
  auto settle = [&](std::int32_t r) -> Status {
    double *row1 = nullptr, *row2 = nullptr;
    row_of(r, &row1, &row2);
    if (delayed) {
      const Status got = system->EvaluateDelayedColumn(r, lagged.data());
      if (status::IsFailure(got)) return got;
      for (std::int64_t i = 0; i < m; ++i)
        rhs[static_cast<std::size_t>(i)] -= lagged[static_cast<std::size_t>(i)];
    }
    for (std::size_t k = 0; k < states.size(); ++k) {
      const double ds = state_part(row1, k);
      if (ds == 0.0 || outside[k] == 0) continue;
      if (state_columns[k].empty()) {
        state_columns[k].resize(static_cast<std::size_t>(m));
        const Status made = system->EvaluateJacobianColumn(states[k], state_columns[k].data(), 0);
        if (status::IsFailure(made)) return made;
      }
      for (std::int64_t i = 0; i < m; ++i)
        rhs[static_cast<std::size_t>(i)] -= ds * state_columns[k][static_cast<std::size_t>(i)];
    }
    std::fill(x.begin(), x.end(), 0.0);
    const Status solved =
        Solve(values, rows, cols, x.data(), rhs, ne, n, &jump_handle_, first_row, solver_kind);
    if (solved != 0) return solved;
    first_row = false;
    for (std::int32_t c = 0; c < n; ++c) {
      const std::int32_t i = ProblemIndex(problem, system->GetVariable(c));
      if (i < 0) continue;
      const auto u = static_cast<std::size_t>(i);
      (columns.second[u] ? row2 : row1)[columns.column[u]] = x[static_cast<std::size_t>(c)];
    }
    return 0;
  };
  const std::int32_t total = SensitivityRows();
  std::int32_t r = 0;
  for (const Column& c : ColumnsOf(manager)) {
    for (std::int32_t k = 0; k < c.elements && r < total; ++k, ++r) {
      if (k > c.base + in.linear) continue;
      s = Forcing(manager, system, c, k, in, time, &rhs);
      if (status::IsFailure(s)) return s;
      if ((s = settle(r)) != 0) return s;
    }
  }
  for (std::int32_t k = 0; k < switches; ++k) {
    const std::int32_t at = manager->MatrixRowCount() + k;
    if (at >= total) break;
    if (!SwitchForcing(manager, system, k, in, time, &rhs, &s)) continue;
    if (status::IsFailure(s)) return s;
    if ((s = settle(at)) != 0) return s;
  }
  if (PrintLevel() >= 5 && e >= 0) {
    std::int32_t number = e + 1;
    SuPrint(0, "Sensitivities at time %g with respect to switching time %d", &time, &number);
  }
  return 0;
}
