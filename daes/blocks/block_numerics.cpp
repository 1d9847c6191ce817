// The Jacobian structure of a solver block and the evaluation of its
// residuals and derivatives: analytic derivatives from the equations'
// elements, one-sided finite differences where an element has none. Every
// perturbed variable and every residual changed by a difference is put
// back before an operation returns.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

#include "daes/blocks/block_kinds.h"
#include "daes/blocks/solver_block.h"
#include "daes/equations/row_element.h"
#include "daes/model/variable.h"
#include "daes/problem/solver_equation.h"
#include "daes/procedures/proc_def.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"

namespace {
BlockSensitivityParameters* g_parameters = nullptr;
}  // namespace

BlockSensitivityParameters* GetBlockSensitivityParameters() { return g_parameters; }
void SetBlockSensitivityParameters(BlockSensitivityParameters* parameters) {
  g_parameters = parameters;
}

namespace {
constexpr std::uint32_t kFiniteDifference = 4;
constexpr std::uint32_t kSensitivityColumn = 0x100000;
constexpr double kBound = 1.7976931348623157e308;
// How many rows ahead the evaluation loops ask for a row's memory.
constexpr std::uint32_t kRowsAhead = 4;
// How many entries ahead the Jacobian loop asks for their elements.
constexpr std::uint32_t kEntriesAhead = 8;

bool IsNegative(Status s) { return (s & 0x80000000u) != 0; }

DAESSolverEquation* SolverOf(QLNRow* row) {
  auto* q = dynamic_cast<QLNEquation*>(row);
  return q != nullptr ? dynamic_cast<DAESSolverEquation*>(q->UnderlyingEquation()) : nullptr;
}

// A decomposition row hands its evaluation and residual to the row it
// wraps: the loops call that one.
QLNEquation* EvaluatingEquation(QLNRow* row) {
  if (auto* decomp = dynamic_cast<DAESDecompEquation*>(row)) return decomp->UnderlyingEquation();
  return dynamic_cast<QLNEquation*>(row);
}

DAESVarTableEntry* PartnerOf(DAESVarTableEntry* v) {
  if (auto* dot = v->AsDotVariable()) return dot->GetStateVariable();
  return v->GetDerivative();
}

// The status column: 1 during a dynamic integration, plus 2 for the
// operation's column flag.
std::int32_t StatusColumn(bool column_flag) {
  return (GetSolutionPhase() == 0 ? 1 : 0) + (column_flag ? 2 : 0);
}

// What one row gives the derivative loops. Its residual before any
// difference is read at once, or, for a row whose facts were kept, at the
// first need, before anything evaluates the row.
struct RowFacts {
  explicit RowFacts(const daes::BlockRowLink& link)
      : row(link.row), eqn(link.eqn), solver(link.solver) {
    if (solver == nullptr) return;
    k = static_cast<std::uint32_t>(solver->OutputIndex());
    defined = eqn != nullptr ? eqn->OutputElement() : nullptr;
    sign = eqn != nullptr && eqn->ProcedureKind() >= 3 ? -1.0 : 1.0;
    Base();
  }
  RowFacts(const daes::BlockRowLink& link, std::uint32_t output, DAESVarTableEntry* defines,
           double procedure_sign)
      : row(link.row), eqn(link.eqn), solver(link.solver), k(output), defined(defines),
        sign(procedure_sign) {}
  double Base() {
    if (!based) solver->ResidualValue(&r0);
    based = true;
    return r0;
  }
  bool Defines(const DAESVarTableEntry* v) const {
    return defined != nullptr && v != nullptr && v->SequenceNumber() == defined->SequenceNumber();
  }
  DAESRowElement* Next(const DAESVarTableEntry* v, std::int32_t* cursor) const {
    return solver->FindNextElement(v->SequenceNumber(), cursor);
  }
  // Puts the residual back after a difference.
  void Restore() {
    if (differenced) solver->SetResidualValue(r0);
    differenced = false;
  }
  QLNRow* row;
  DAESEqnRow* eqn;
  DAESSolverEquation* solver;
  std::uint32_t k = 0;
  DAESVarTableEntry* defined = nullptr;
  double sign = 1.0;
  double r0 = 0.0;
  bool based = false;
  bool differenced = false;
};

// One perturbed variable: perturbed on first use, reused while its column
// lasts, set back to its saved value on Restore. The step options are read
// at the first difference: most derivatives are analytic.
class Perturbation {
 public:
  Perturbation() = default;
  ~Perturbation() { Restore(); }
  Perturbation(const Perturbation&) = delete;
  Perturbation& operator=(const Perturbation&) = delete;

  // The difference quotient of the row for v; the status of the fresh
  // residual.
  Status Quotient(DAESVarTableEntry* v, RowFacts& row, double* q) {
    if (!options_read_) {
      SolverOptions* o = SolverOptions::Instance();
      relative_ = o->GetReal(kOptRelPerturb);
      absolute_ = o->GetReal(kOptAbsPerturb);
      options_read_ = true;
    }
    if (variable_ != v) {
      Restore();
      variable_ = v;
      saved_ = v->GetRealValue();
      double perturbed = saved_;
      v->PerturbationStep(saved_, &perturbed, relative_, &h_, absolute_);
      v->SetValue(perturbed);
    }
    const double r0 = row.Base();
    double r1 = r0;
    // A procedure row's residual comes from its call, not from an expression.
    Status s = 0;
    if (row.defined != nullptr) {
      s = row.solver->Evaluate(daes::kEvalResidual, nullptr);
      row.solver->ResidualValue(&r1);
    } else {
      s = row.solver->EvaluateResidualChecked(&r1);
    }
    row.differenced = true;
    // A zero step (a variable pinned between equal bounds) has no quotient.
    *q = h_ == 0.0 ? 0.0 : daes::BoundedQuotient(r1 - r0, h_, kBound);
    return s;
  }
  void Restore() {
    if (variable_ != nullptr) variable_->SetValue(saved_);
    variable_ = nullptr;
  }

 private:
  bool options_read_ = false;
  double relative_ = 0.0;
  double absolute_ = 0.0;
  DAESVarTableEntry* variable_ = nullptr;
  double saved_ = 0.0;
  double h_ = 0.0;
};

// The derivative of the row with respect to v over the elements `next`
// hands out: the defined-variable term, analytic element values, or a
// finite difference of the whole residual, which then stands for every
// element of v. `procedure_rows` false skips the elements of procedure rows.
template <typename Next>
double SumDerivative(RowFacts& row, DAESVarTableEntry* v, std::int32_t m, Perturbation& p,
                     bool procedure_rows, Status* last, Next next) {
  double sum = 0.0;
  while (DAESRowElement* e = next()) {
    if (row.Defines(e->ElementVariable())) {
      sum += row.sign;
      continue;
    }
    if ((row.row->GetFlags() & daes::kProcedureRow) != 0 && !procedure_rows) continue;
    if (static_cast<std::uint32_t>(e->ColumnClass(static_cast<std::int32_t>(row.k), m)) ==
        kFiniteDifference) {
      double q = 0.0;
      *last = p.Quotient(v, row, &q);
      if (!IsNegative(*last)) sum = q;
      break;
    }
    sum += e->ElementValue(row.k);
  }
  return sum;
}

// The same with the row searched for v's elements.
double RowDerivative(RowFacts& row, DAESVarTableEntry* v, std::int32_t m, Perturbation& p,
                     bool procedure_rows, Status* last) {
  std::int32_t cursor = 0;
  return SumDerivative(row, v, m, p, procedure_rows, last, [&] { return row.Next(v, &cursor); });
}

// The same over elements found before.
double ListedDerivative(RowFacts& row, DAESVarTableEntry* v, std::int32_t m, Perturbation& p,
                        bool procedure_rows, Status* last, DAESRowElement* const* from,
                        DAESRowElement* const* to) {
  return SumDerivative(row, v, m, p, procedure_rows, last,
                       [&]() -> DAESRowElement* { return from != to ? *from++ : nullptr; });
}

DAESRowElement* FirstElement(RowFacts& row, DAESVarTableEntry* v) {
  std::int32_t cursor = 0;
  return row.Next(v, &cursor);
}

bool ProcedureRowsIn(std::uint32_t flags) {
  if ((flags & 0x4) != 0) return true;
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (integrator == nullptr || !integrator->HasCapability1()) return true;
  return SolverOptions::Instance()->GetInt(kOptTearing) == 0;
}
// With EquationSensCheck on: every value at least EquationSensTol, under
// one header, printed as one message.
template <typename RowOf, typename VariableOf>
void ReportSensitivities(std::uint32_t n, RowOf row_of, VariableOf variable_of,
                         const double* values) {
  SolverOptions* options = SolverOptions::Instance();
  if (!options->GetBool(kOptEquationSensCheck)) return;
  const double tolerance = options->GetReal(kOptEquationSensTol);
  std::ostringstream text;
  bool header = false;
  for (std::uint32_t p = 0; p < n; ++p) {
    if (!(std::fabs(values[p]) >= tolerance)) continue;
    if (!header) {
      text << "Equation sensitivities with absolute value greater than " << tolerance << ":\n";
      header = true;
    }
    text << "  Derivative of Equation " << row_of(p)->GetNameText() << '\n'
         << "    with respect to Variable " << variable_of(p)->GetNameText() << '\n'
         << "    is " << values[p] << '\n';
  }
  if (header) {
    const std::string out = text.str();
    SuPrint(0, "%s", out.c_str());
  }
}
}  // namespace

const daes::BlockRowLink& DAESSingleBlock::EquationLink() {
  if (link_.row != equation_ || equation_ == nullptr) {
    link_ = {equation_, dynamic_cast<DAESEqnRow*>(equation_), SolverOf(equation_),
             EvaluatingEquation(equation_)};
  }
  return link_;
}

QLNEquation* DAESSingleBlock::EquationFace() {
  if (face_of_ != equation_ || equation_ == nullptr) {
    face_of_ = equation_;
    face_ = dynamic_cast<QLNEquation*>(equation_);
  }
  return face_;
}

Status DAESSingleBlock::EvaluateJacobian(double* value, std::uint32_t) {
  *value = 0.0;
  QLNRow* equation = GetEquation();
  DAESVarTableEntry* x = GetVariable(0);
  const daes::BlockRowLink link = EquationLink();
  if (link.solver == nullptr || x == nullptr) return daes::kBlockUnsupported;
  Status s = link.solver->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr);
  if (status::IsFailure(s)) return s;
  RowFacts row(link);
  Perturbation p;
  Status last = 0;
  *value = RowDerivative(row, x, StatusColumn(false), p, true, &last) / x->GetScale();
  row.Restore();
  ReportSensitivities(
      1, [&](std::uint32_t) { return equation; }, [&](std::uint32_t) { return x; }, value);
  return last;
}

Status DAESSingleBlock::EvaluateCorrectorJacobian(double coefficient, double* value,
                                                  bool evaluated) {
  double own = 0.0;
  double partner = 0.0;
  const Status s = EvaluateCorrectorParts(&own, &partner, evaluated);
  *value = own + coefficient * partner;
  return s;
}

Status DAESSingleBlock::EvaluateCorrectorParts(double* own, double* partner, bool evaluated) {
  *own = 0.0;
  *partner = 0.0;
  DAESVarTableEntry* x = GetVariable(0);
  const daes::BlockRowLink& link = EquationLink();
  if (link.solver == nullptr || x == nullptr) return daes::kBlockUnsupported;
  if (!evaluated) {
    const Status s = link.solver->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr);
    if (status::IsFailure(s)) return s;
  }
  RowFacts row(link);
  Status last = 0;
  {
    Perturbation p;
    *own = RowDerivative(row, x, StatusColumn(false), p, true, &last) / x->GetScale();
  }
  DAESVarTableEntry* y = (x->GetFlags() & daes::kState) != 0 ? PartnerOf(x) : nullptr;
  if (y != nullptr && !IsNegative(last)) {
    Perturbation p;
    *partner = RowDerivative(row, y, StatusColumn(false), p, true, &last) / x->GetScale();
  }
  row.Restore();
  return last;
}

const daes::BlockRowLink& DAESSolverBlock::RowLink(std::uint32_t i) {
  if (row_links_.size() != rows_.Count()) row_links_.assign(rows_.Count(), {});
  daes::BlockRowLink& link = row_links_[i];
  QLNRow* row = rows_.At(i);
  if (link.row != row) {
    link.row = row;
    link.eqn = dynamic_cast<DAESEqnRow*>(row);
    link.solver = SolverOf(row);
    link.equation = EvaluatingEquation(row);
  }
  return link;
}

DAESVarTableEntry* DAESSolverBlock::ColumnVariable(std::int64_t c) const {
  if (c < 1) return nullptr;
  if (c <= static_cast<std::int64_t>(Table().Count()))
    return Table().At(static_cast<std::uint32_t>(c - 1));
  const auto j = static_cast<std::uint64_t>(c - 1 - Table().Count());
  return j < parameter_columns_.size() ? parameter_columns_[j] : nullptr;
}

Status DAESSolverBlock::BuildStructure(const std::int64_t** rows, const std::int64_t** cols,
                                       const std::int64_t** third, std::uint32_t flags) {
  if (!structure_built_) {
    std::vector<std::vector<std::int64_t>> lists(Table().Count());
    std::vector<std::vector<std::int64_t>> places(Table().Count());
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < rows_.Count(); ++i) {
      QLNRow* row = rows_.At(i);
      for (std::int32_t j = 0; j < row->VariableCount(); ++j) {
        DAESVarTableEntry* v = row->GetVariable(j);
        std::int32_t at = v != nullptr ? FindBySequence(v->SequenceNumber()) : -1;
        if (at >= 0 && GetVariable(at) != v) at = -1;
        if (at < 0) {
          BvuNameable* named_v = v;
          BvuNameable* named_row = row;
          std::int32_t number = static_cast<std::int32_t>(GetGroupNumber());
          if (number != 0) {
            SuPrint(daes::kVariableNotActive,
                    "Variable @ns\nin equation @ns is not active in group %d", &named_v, &named_row,
                    &number);
          } else {
            SuPrint(daes::kVariableNotActive, "Variable @ns\nin equation @ns is not active",
                    &named_v, &named_row);
          }
          return daes::kVariableNotActive;
        }
        lists[static_cast<std::size_t>(at)].push_back(i + 1);
        places[static_cast<std::size_t>(at)].push_back(j);
        ++total;
      }
    }
    // Parameter columns: one per parameter for the counted rows whose
    // equation holds it; no place in the row's list.
    parameter_columns_.clear();
    BlockSensitivityParameters* parameters =
        (flags & 0x2) != 0 ? GetBlockSensitivityParameters() : nullptr;
    const std::int32_t p = parameters != nullptr ? parameters->ParameterCount() : 0;
    for (std::int32_t j = 0; j < p; ++j) {
      DAESVarTableEntry* parameter = parameters->Parameter(j);
      parameter_columns_.push_back(parameter);
      lists.emplace_back();
      places.emplace_back();
      if (parameter == nullptr) continue;
      for (std::uint32_t i = 0; i < rows_.Count(); ++i) {
        // The row's own test: its equation has an element of the parameter
        // (the row's variable list holds only the block's variables).
        const daes::BlockRowLink& link = RowLink(i);
        if ((link.row->GetFlags() & daes::kCountedRow) == 0 || link.solver == nullptr) continue;
        std::int32_t cursor = 0;
        if (link.solver->FindNextElement(parameter->SequenceNumber(), &cursor) == nullptr) continue;
        lists.back().push_back(i + 1);
        places.back().push_back(-1);
        ++total;
      }
    }
    struct_rows_.clear();
    struct_cols_.clear();
    struct_third_.clear();
    struct_rows_.reserve(total);
    struct_cols_.reserve(total);
    struct_third_.reserve(total);
    for (std::size_t c = 0; c < lists.size(); ++c) {
      for (std::size_t r = 0; r < lists[c].size(); ++r) {
        struct_rows_.push_back(lists[c][r]);
        struct_cols_.push_back(static_cast<std::int64_t>(c) + 1);
        // The variable's place in its row's own list.
        struct_third_.push_back(places[c][r]);
      }
    }
    structure_built_ = true;
  }
  if (rows != nullptr) *rows = struct_rows_.data();
  if (cols != nullptr) *cols = struct_cols_.data();
  if (third != nullptr) *third = struct_third_.data();
  return 0;
}

Status DAESSolverBlock::EvaluateJacobianEntries(std::uint32_t n, const std::int64_t* rows,
                                                const std::int64_t* cols, double* values,
                                                std::uint32_t flags, double c) {
  return JacobianEntries(n, rows, cols, values, nullptr, flags, c);
}

Status DAESSolverBlock::EvaluateJacobianParts(std::uint32_t n, const std::int64_t* rows,
                                              const std::int64_t* cols, double* values,
                                              double* partner, std::uint32_t flags) {
  return JacobianEntries(n, rows, cols, values, partner, flags | 0x1, 0.0);
}

Status DAESSolverBlock::JacobianEntries(std::uint32_t n, const std::int64_t* rows,
                                        const std::int64_t* cols, double* values, double* partner,
                                        std::uint32_t flags, double c) {
  const std::int32_t m = StatusColumn((flags & 0x2) != 0);
  const bool procedure_rows = ProcedureRowsIn(flags);
  Status last = 0;
  Perturbation px;
  Perturbation py;
  std::int64_t current = 0;
  DAESVarTableEntry* x = nullptr;
  DAESVarTableEntry* y = nullptr;
  double scale = 1.0;
  // The block's own structure: each entry's elements were found once.
  const EntryElements* plan = nullptr;
  if (structure_built_ && rows == struct_rows_.data() && cols == struct_cols_.data() &&
      n <= StructureSize()) {
    plan = &PlannedElements();
  }
  for (std::uint32_t p = 0; p < n && !IsNegative(last); ++p) {
    if (partner != nullptr) partner[p] = 0.0;
    if (plan != nullptr && p + kEntriesAhead < n) {
      // The elements lie scattered and are read in column order: ask for
      // those of an entry further on while this one is summed.
      const std::uint32_t* ahead = plan->begin.data() + 2 * (p + kEntriesAhead);
      for (std::uint32_t k = ahead[0]; k < ahead[2]; ++k) __builtin_prefetch(plan->items[k]);
    }
    if (cols[p] != current) {
      px.Restore();
      py.Restore();
      current = cols[p];
      x = ColumnVariable(current);
      y = nullptr;
      if (x == nullptr) {
        values[p] = 0.0;
        current = 0;
        continue;
      }
      scale = x->GetScale();
      if ((flags & 0x1) != 0 && (x->GetFlags() & daes::kState) != 0) y = PartnerOf(x);
    }
    const auto r = static_cast<std::uint64_t>(rows[p] - 1);
    const daes::BlockRowLink* link =
        x != nullptr && r < GetRowCount() ? &RowLink(static_cast<std::uint32_t>(r)) : nullptr;
    if (link == nullptr || link->solver == nullptr) {
      values[p] = 0.0;
      continue;
    }
    RowFacts row = plan != nullptr ? RowFacts(*link, plan->row_output[r], plan->row_defines[r],
                                              plan->row_sign[r])
                                   : RowFacts(*link);
    DAESRowElement* const* own = nullptr;
    if (plan != nullptr) own = plan->items.data() + plan->begin[2 * p];
    double sum = plan != nullptr ? ListedDerivative(row, x, m, px, procedure_rows, &last, own,
                                                    plan->items.data() + plan->begin[2 * p + 1])
                                 : RowDerivative(row, x, m, px, procedure_rows, &last);
    if ((x->GetFlags() & kSensitivityColumn) != 0 &&
        (row.row->GetFlags() & daes::kCountedRow) != 0) {
      DAESRowElement* e =
          plan != nullptr ? (own != plan->items.data() + plan->begin[2 * p + 1] ? *own : nullptr)
                          : FirstElement(row, x);
      row.Base();  // before the sweep may run the row again
      sum = row.solver->EvaluateDerivativeValue(e, m);
    }
    if (y != nullptr && !IsNegative(last)) {
      const double t = plan != nullptr && plan->partner[p] == y
                           ? ListedDerivative(row, y, m, py, true, &last,
                                              plan->items.data() + plan->begin[2 * p + 1],
                                              plan->items.data() + plan->begin[2 * p + 2])
                           : RowDerivative(row, y, m, py, true, &last);
      if (partner != nullptr) {
        partner[p] = t / scale;
      } else {
        sum += c * t;
      }
    }
    values[p] = sum / scale;
    row.Restore();
  }
  return last;
}

Status DAESSolverBlock::EvaluateJacobianValues(std::uint32_t mode, double* values,
                                               std::uint32_t flags) {
  Status s = BuildStructure(nullptr, nullptr, nullptr, flags);
  if (status::IsFailure(s)) return s;
  s = EvaluateRows(mode);
  if (status::IsFailure(s)) return s;
  s = EvaluateJacobianEntries(StructureSize(), struct_rows_.data(), struct_cols_.data(), values,
                              flags, 0.0);
  ReportSensitivities(
      StructureSize(),
      [&](std::uint32_t p) { return GetRow(static_cast<std::uint32_t>(struct_rows_[p] - 1)); },
      [&](std::uint32_t p) { return ColumnVariable(struct_cols_[p]); }, values);
  return s;
}

Status DAESSolverBlock::EvaluateJacobian(double* values, std::uint32_t flags) {
  return EvaluateJacobianValues(12, values, flags);
}

Status DAESSolverBlock::EvaluateJacobianRow(std::uint32_t r, std::uint32_t* count, double* values,
                                            const double* coefficient) {
  *count = 0;
  Status s = BuildStructure(nullptr, nullptr, nullptr, 0);
  if (status::IsFailure(s)) return s;
  if (r == 0 || r > GetRowCount() || RowLink(r - 1).solver == nullptr) return 0;
  const std::int32_t m = StatusColumn(false);
  Status last = 0;
  Perturbation px;
  Perturbation py;
  for (std::uint32_t p = 0; p < StructureSize(); ++p) {
    if (struct_rows_[p] != static_cast<std::int64_t>(r)) continue;
    // Each entry is its own column: a row meets a column once.
    px.Restore();
    py.Restore();
    DAESVarTableEntry* x = ColumnVariable(struct_cols_[p]);
    if (x == nullptr) continue;
    DAESVarTableEntry* y = nullptr;
    if (coefficient != nullptr && (x->GetFlags() & daes::kState) != 0) y = PartnerOf(x);
    RowFacts row(RowLink(r - 1));
    double sum = RowDerivative(row, x, m, px, true, &last);
    if (y != nullptr) sum += *coefficient * RowDerivative(row, y, m, py, true, &last);
    values[(*count)++] = sum / x->GetScale();
    row.Restore();
  }
  return last;
}

Status DAESSolverBlock::EvaluateJacobianColumn(DAESVarTableEntry* x, double* out,
                                               std::uint32_t flags) {
  const std::int32_t m = StatusColumn((flags & 0x8) != 0);
  const double scale = x->GetScale();
  Status last = 0;
  Perturbation px;
  std::fill(out, out + GetRowCount(), 0.0);
  // Only the rows that hold the variable have anything to give.
  for (const std::uint32_t i : RowsHolding(x)) {
    RowFacts row(RowLink(i));
    if ((row.row->GetFlags() & daes::kCountedRow) != 0 &&
        (x->GetFlags() & kSensitivityColumn) != 0) {
      // A row without the parameter has nothing to give: no evaluation.
      if (DAESRowElement* e = FirstElement(row, x)) {
        last = row.solver->Evaluate(daes::kEvalResidual, nullptr);
        out[i] = row.solver->EvaluateDerivativeValue(e, m);
      }
    } else {
      double sum = 0.0;
      std::int32_t cursor = 0;
      // A procedure that supplies its own derivatives is asked for them;
      // the inputs of any other have none.
      DAESProcDef* definition =
          row.defined != nullptr ? row.solver->ProcedureDefinition() : nullptr;
      const bool supplied =
          definition != nullptr && (definition->Options() & procdef::kAnalyticDerivatives) != 0;
      while (DAESRowElement* e = row.Next(x, &cursor)) {
        DAESVarTableEntry* v = e->ElementVariable();
        if (row.eqn != nullptr && row.eqn->IsOutputVariable(v) != 0) {
          if (row.Defines(v)) sum += row.sign;
          continue;
        }
        const auto st =
            static_cast<std::uint32_t>(e->ColumnClass(static_cast<std::int32_t>(row.k), m));
        if (st == kFiniteDifference || (st == 0 && row.defined != nullptr && !supplied)) {
          double q = 0.0;
          last = px.Quotient(x, row, &q);
          sum = q;
          break;
        }
        if (st == 0 && supplied) {
          last = row.solver->Evaluate(daes::kEvalDerivatives | daes::kEvalElementSteps, nullptr);
        }
        sum += e->ElementValue(row.k);
      }
      out[i] = sum;
    }
    out[i] /= scale;
    row.Restore();
  }
  return last;
}

Status DAESSolverBlock::EvaluateDelayedColumn(std::int32_t key, double* out) {
  Status last = 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    out[i] = 0.0;
    DAESSolverEquation* solver = RowLink(i).solver;
    if (solver == nullptr) continue;
    const Status s = solver->DelayedSensitivity(key, &out[i]);
    if (status::IsFailure(s)) last = s;
  }
  return last;
}

const DAESSolverBlock::EntryElements& DAESSolverBlock::PlannedElements() {
  EntryElements& plan = entry_elements_;
  const std::uint32_t n = StructureSize();
  if (plan.begin.size() == 2 * static_cast<std::size_t>(n) + 1 && plan.rows == GetRowCount()) {
    return plan;
  }
  plan.begin.assign(1, 0);
  plan.items.clear();
  plan.partner.assign(n, nullptr);
  plan.rows = GetRowCount();
  plan.row_output.assign(plan.rows, 0);
  plan.row_defines.assign(plan.rows, nullptr);
  plan.row_sign.assign(plan.rows, 1.0);
  for (std::uint32_t i = 0; i < plan.rows; ++i) {
    const daes::BlockRowLink& link = RowLink(i);
    if (link.solver == nullptr) continue;
    const RowFacts facts(link);
    plan.row_output[i] = facts.k;
    plan.row_defines[i] = facts.defined;
    plan.row_sign[i] = facts.sign;
  }
  auto collect = [&](DAESSolverEquation* solver, const DAESVarTableEntry* v) {
    std::int32_t cursor = 0;
    if (solver != nullptr && v != nullptr) {
      while (DAESRowElement* e = solver->FindNextElement(v->SequenceNumber(), &cursor))
        plan.items.push_back(e);
    }
    plan.begin.push_back(static_cast<std::uint32_t>(plan.items.size()));
  };
  for (std::uint32_t p = 0; p < n; ++p) {
    const auto r = static_cast<std::uint64_t>(struct_rows_[p] - 1);
    DAESSolverEquation* solver =
        r < GetRowCount() ? RowLink(static_cast<std::uint32_t>(r)).solver : nullptr;
    DAESVarTableEntry* x = ColumnVariable(struct_cols_[p]);
    DAESVarTableEntry* y =
        x != nullptr && (x->GetFlags() & daes::kState) != 0 ? PartnerOf(x) : nullptr;
    plan.partner[p] = y;
    collect(solver, x);
    collect(solver, y);
  }
  return plan;
}

const std::vector<std::uint32_t>& DAESSolverBlock::RowsHolding(const DAESVarTableEntry* x) {
  if (held_rows_count_ != GetRowCount()) {
    held_rows_.clear();
    held_rows_count_ = GetRowCount();
  }
  const std::uint32_t sequence = x->SequenceNumber();
  auto [at, made] = held_rows_.try_emplace(sequence);
  if (made) {
    for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
      DAESSolverEquation* solver = RowLink(i).solver;
      std::int32_t cursor = 0;
      if (solver != nullptr && solver->FindNextElement(sequence, &cursor) != nullptr)
        at->second.push_back(i);
    }
  }
  return at->second;
}

Status DAESSolverBlock::EvaluateDerivativeTriplets(std::int64_t* rows, std::int64_t* cols,
                                                   std::int64_t* kinds, double* values,
                                                   std::int64_t* count, std::uint32_t flags) {
  *count = 0;
  const std::int32_t m = StatusColumn((flags & 0x2) != 0);
  const bool state_form = (flags & 0x1) != 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    QLNRow* source = GetRow(i);
    if (RowLink(i).solver == nullptr) continue;
    RowFacts row(RowLink(i));
    const std::int64_t first = *count;
    for (std::int32_t j = 0; j < source->VariableCount(); ++j) {
      DAESVarTableEntry* v = source->GetVariable(j);
      if (v == nullptr) continue;
      const std::uint32_t f = v->GetFlags();
      if ((f & (state_form ? daes::kState : daes::kDerivativeFlag)) == 0) continue;
      // The table is searched by sequence number: a linear search per
      // variable would be quadratic on the whole problem.
      const std::int32_t at = FindBySequence(v->SequenceNumber());
      if (at < 0 || GetVariable(at) != v) continue;
      const std::int32_t c = at + 1;
      if (state_form) v = PartnerOf(v);
      if (v == nullptr) continue;
      if (!row.Defines(v) && row.eqn != nullptr && row.eqn->IsOutputVariable(v) != 0) continue;
      const double q = 1.0 / v->GetScale();
      double sum = 0.0;
      std::int64_t kind = 0;
      bool found = false;
      std::int32_t cursor = 0;
      while (DAESRowElement* e = row.Next(v, &cursor)) {
        found = true;
        if (row.Defines(e->ElementVariable())) {
          sum += row.sign * q;
          kind = std::max<std::int64_t>(kind, 1);
        } else {
          sum += e->ElementValue(row.k) * q;
          kind = std::max<std::int64_t>(kind, e->ColumnClass(static_cast<std::int32_t>(row.k), m));
        }
      }
      if (!found) continue;
      std::int64_t p = *count - 1;
      while (p >= first && cols[p] != c) --p;
      if (p < first) {
        p = (*count)++;
        values[p] = 0.0;
        if (kinds != nullptr) kinds[p] = 0;
      }
      values[p] += sum;
      rows[p] = i + 1;
      cols[p] = c;
      if (kinds != nullptr) kinds[p] = std::max(kinds[p], kind);
    }
  }
  return 0;
}

void DAESSolverBlock::PrefetchRows(std::uint32_t i, bool elements) {
  const std::uint32_t n = rows_.Count();
  if (i + 2 * kRowsAhead < n) __builtin_prefetch(RowLink(i + 2 * kRowsAhead).equation);
  if (i + kRowsAhead < n) {
    if (const QLNEquation* row = RowLink(i + kRowsAhead).equation) row->Prefetch(0);
  }
  if (elements && i + kRowsAhead / 2 < n) {
    if (const QLNEquation* row = RowLink(i + kRowsAhead / 2).equation) row->Prefetch(1);
  }
}

Status DAESSolverBlock::EvaluateRows(std::uint32_t mode) {
  const bool derivatives = (mode & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    PrefetchRows(i, derivatives);
    QLNEquation* row = RowLink(i).equation;
    if (row == nullptr) continue;
    const Status s = row->Evaluate(mode | daes::kEvalExtra, nullptr);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

Status DAESSolverBlock::EvaluateRowsQuiet(std::uint32_t mode) {
  // Outside a dynamic integration the rows' own failure messages stay on.
  return EvaluateRows(mode);
}

namespace {

// The evaluation mode with the procedure-derivative checks asked for.
std::uint32_t ResidualMode(std::uint32_t mode) {
  const std::int32_t check = SolverOptions::Instance()->GetInt(kOptCheckProcDerivs);
  if (check == 1) mode |= 16;
  if (check == 2) mode |= 16 | 32;
  return mode;
}

}  // namespace

Status DAESSolverBlock::EvaluateEquations(QLNEquation* const* equations, std::uint32_t n,
                                          std::uint32_t mode, double* residuals) {
  mode = ResidualMode(mode);
  for (std::uint32_t i = 0; i < n; ++i) {
    const Status s = equations[i]->Evaluate(mode, nullptr);
    if (status::IsFailure(s)) return s;
    if ((mode & daes::kEvalResidual) == 0) continue;
    double r = 0.0;
    equations[i]->ResidualValue(&r);
    residuals[i] = r;
  }
  return 0;
}

Status DAESSolverBlock::EvaluateResiduals(std::uint32_t mode, double* residuals, double* largest) {
  mode = ResidualMode(mode);
  const bool collect = (mode & daes::kEvalResidual) != 0;
  if (collect && largest != nullptr) *largest = 0.0;
  const bool derivatives = (mode & (daes::kEvalDerivatives | daes::kEvalElementSteps)) != 0;
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    PrefetchRows(i, derivatives);
    QLNEquation* row = RowLink(i).equation;
    if (row == nullptr) continue;
    const Status s = row->Evaluate(mode, nullptr);
    if (status::IsFailure(s)) return s;
    if (!collect) continue;
    double r = 0.0;
    row->ResidualValue(&r);
    if (residuals != nullptr) residuals[i] = r;
    if (largest != nullptr && std::fabs(r) > *largest) *largest = std::fabs(r);
  }
  return 0;
}

Status DAESSolverBlock::CheckSingularity(std::uint32_t, std::uint32_t) {
  std::vector<double> scratch;
  std::vector<double>* values = &values_;
  if (values_.empty()) {
    const Status s = BuildStructure(nullptr, nullptr, nullptr, 0);
    if (status::IsFailure(s)) return s;
    scratch.assign(StructureSize(), 0.0);
    values = &scratch;
  }
  if (values->size() < StructureSize()) values->resize(StructureSize(), 0.0);
  const Status s = EvaluateJacobianValues(12, values->data(), 0);
  if (status::IsFailure(s)) return s;
  SolverOptions* options = SolverOptions::Instance();
  const double t = options->GetReal(kOptEqnTol);
  const double r = options->GetReal(kOptRelativeSingularityTol);
  const double a = options->GetReal(kOptAbsoluteSingularityTol);
  std::uint32_t p = 0;
  for (std::uint32_t j = 1; j <= Table().Count(); ++j) {
    double c = 0.0;
    for (; p < StructureSize() && struct_cols_[p] == static_cast<std::int64_t>(j); ++p) {
      c = std::max(c, std::fabs((*values)[p]));
    }
    DAESVarTableEntry* v = GetVariable(static_cast<std::int32_t>(j - 1));
    BvuNameable* named = v;
    double x = v->GetRealValue();
    if (t / kBound >= c) {
      SuPrint(0,
              "Warning: Variable @ns is singular. Any value will satisfy the equations and "
              "specification.",
              &named);
      continue;
    }
    double e = t / c;
    if (e > std::fabs(x) * r + a) {
      SuPrint(0, "Warning: @ns is near singular; current value: %g. Estimated error: %g", &named,
              &x, &e);
    }
  }
  return 0;
}

void DAESSolverBlock::GetValues(double* out) {
  for (std::uint32_t i = 0; i < Table().Count(); ++i) out[i] = Table().At(i)->GetRealValue();
}

Status DAESSolverBlock::PutValues(const double* in) {
  Status last = 0;
  for (std::uint32_t i = 0; i < Table().Count(); ++i) {
    const Status s = Table().At(i)->SetValue(in[i]);
    if (status::IsFailure(s)) last = s;
  }
  return last;
}
