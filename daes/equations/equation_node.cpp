#include "daes/equations/equation_node.h"

#include <algorithm>
#include <iomanip>
#include <ostream>

#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "expr/eval/expr_context.h"
#include "expr/tree/expression.h"
#include "expr/tree/operator_table.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"

namespace {
constexpr std::uint32_t kBodyTextSize = 40;

// x - y over offsets 0 and 1, shared by every connection and never freed.
Expression* ConnectionExpression() {
  static Expression* shared = [] {
    Expression* x = new VarRefExpression(0);
    Expression* y = new VarRefExpression(1);
    x->AddRef();
    y->AddRef();
    Expression* e = MakeBinaryExpression(kSub, x, y, SUValue::kReal);
    x->Release();
    y->Release();
    e->AddRef();
    return e;
  }();
  return shared;
}
}  // namespace

DAESSimpleEquation::DAESSimpleEquation(Expression* expression) : expression_(expression) {
  if (expression_ != nullptr) expression_->AddRef();
}

DAESSimpleEquation::~DAESSimpleEquation() {
  ReleaseElements();
  Expression::Release(expression_);
}

void DAESSimpleEquation::ReleaseElements() {
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) (*it)->Release();
  elements_.clear();
  scalars_ = 0;
  daes::ElementLayoutChanged();
}

void DAESSimpleEquation::SetRowElements(std::vector<DAESRowElement*> elements,
                                        std::int32_t scalars) {
  ReleaseElements();
  elements_ = std::move(elements);
  scalars_ = scalars;
  daes::ElementLayoutChanged();
}

Status DAESSimpleEquation::RebindElements() {
  DAESVariableTable* table = daes::VariableTable();
  const auto n = std::min<std::size_t>(
      elements_.size(), static_cast<std::size_t>(std::max(0, ActiveVariableCount())));
  for (std::size_t i = 0; i < n; ++i) {
    const Status s = elements_[i]->Rebind(table);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

bool DAESSimpleEquation::IsBound() const {
  if (expression_ == nullptr) return false;
  for (const DAESRowElement* e : elements_) {
    if (e->HasUnboundMember()) return false;
  }
  return true;
}

std::string DAESSimpleEquation::LostVariableName() const {
  for (DAESRowElement* e : elements_) {
    for (std::int32_t i = 0; i < e->TotalCount(); ++i) {
      auto* scalar = dynamic_cast<DAESScalar*>(e->ElementAt(i));
      if (scalar != nullptr && scalar->HasUnboundMember() && !scalar->BindingName().empty()) {
        return scalar->BindingName();
      }
    }
  }
  return {};
}

Status DAESSimpleEquation::EvaluateResidual(double* residual) {
  *residual = 0.0;
  if (!IsBound()) return daes::kNoSolverEquation;
  std::vector<ExpressionVariable*> variables(elements_.begin(), elements_.end());
  ExprContext context(expression_, variables.data(), static_cast<std::int32_t>(variables.size()));
  const Status s = context.Evaluate();
  if (status::IsFailure(s)) return s;
  const SUValue& r = context.Result();
  *residual = r.Kind() == SUValue::kReal ? r.payload.real : static_cast<double>(r.payload.integer);
  return s;
}

Status DAESSimpleEquation::ReadReferencesBody(BvuBinaryStream& stream, BvuDirectoryNode* instance,
                                              std::uint32_t* value, std::string* text_out) {
  std::uint32_t word = 0;
  Status s = stream.GetUInt32(&word);
  char text[kBodyTextSize];
  if (status::IsSuccess(s)) s = daes::ReadBoundedText(stream, text, kBodyTextSize);
  std::uint32_t n = 0;
  if (status::IsSuccess(s)) s = stream.GetUInt32(&n);
  if (status::IsFailure(s)) return s;
  if (value != nullptr) *value = word;
  if (text_out != nullptr) *text_out = text;
  std::vector<DAESRowElement*> elements;
  std::int32_t scalars = 0;
  s = DAESCreateRowElements(stream, instance, n, &elements, &scalars);
  SetRowElements(std::move(elements), scalars);
  return ReportTooDeep(s);
}

Status DAESSimpleEquation::ReportTooDeep(Status s) {
  if (s != daes::kArrayTooDeep) return s;
  BvuNameable* self = this;
  const std::int32_t most = static_cast<std::int32_t>(daes::kMostArrayDimensions);
  SuPrint(s, "An array reference of equation @es has more than the %d dimensions an array may have",
          &self, &most);
  return s;
}

Status DAESSimpleEquation::ReadPairBody(BvuBinaryStream& stream, BvuDirectoryNode* instance) {
  std::vector<DAESRowElement*> elements;
  std::int32_t scalars = 0;
  const Status s = DAESCreateRowElements(stream, instance, 2, &elements, &scalars);
  SetRowElements(std::move(elements), scalars);
  return ReportTooDeep(s);
}

DAESEquationNode::DAESEquationNode(BvuDirectoryNode* parent, const char* name,
                                   Expression* expression)
    : DAESSimpleEquation(expression), BvuDirectoryProper(parent, name) {}

Status DAESEquationNode::ReadItemBody(BvuBinaryStream& stream, void* context) {
  auto* instance = static_cast<BvuDirectoryNode*>(context);
  return ReadReferencesBody(stream, instance != nullptr ? instance : Root());
}

DAESConnectionNode::DAESConnectionNode(BvuDirectoryNode* parent, const char* name)
    : DAESSimpleEquation(ConnectionExpression()), BvuDirectoryNode(parent, name) {}

Status DAESConnectionNode::ReadItemBody(BvuBinaryStream& stream, void* context) {
  auto* instance = static_cast<BvuDirectoryNode*>(context);
  return ReadPairBody(stream, instance != nullptr ? instance : Root());
}

DAESSolverEquationList::~DAESSolverEquationList() {
  for (DAESEqnRow* row : rows_) delete row;
}

Status DAESSolverEquationList::AddEquation(DAESEqnRow* equation, void* problem) {
  if (equation == nullptr) return daes::kNoSolverEquation;
  rows_.push_back(equation);
  auto* solver = dynamic_cast<DAESSolverEquation*>(equation);
  if (solver != nullptr && problem != nullptr) {
    return solver->AttachToElements(static_cast<DAESProblem*>(problem));
  }
  return 0;
}

DAESEqnRow* DAESSolverEquationList::GetEquation(std::int32_t i) const {
  return i >= 0 && i < EquationCount() ? rows_[static_cast<std::size_t>(i)] : nullptr;
}

void QLNEquationList::PrintEquations(std::ostream& out) {
  for (std::int32_t i = 0; i < EquationCount(); ++i) {
    out << std::setw(4) << i << ": " << GetEquation(i)->GetNameText() << '\n';
  }
}

bool DAESSimpleEquation::IsVariableEquality() const {
  if (expression_ == nullptr || expression_->NodeCount() != 3 || expression_->Op() != kSub) {
    return false;
  }
  if (elements_.size() != 2) return false;
  for (DAESRowElement* e : elements_) {
    auto* v = dynamic_cast<DAESVariable*>(e->ElementVariable());
    if (v == nullptr || !v->IsFreeVariable()) return false;
  }
  return true;
}

Status DAESSimpleEquation::EliminateAsEquivalence(void* problem, std::int32_t enabled) {
  if (enabled == 0 || problem == nullptr || !IsVariableEquality()) return daes::kNotImplemented;
  const Status s = static_cast<DAESProblem*>(problem)->EliminateEquivalence(this);
  return status::IsFailure(s) ? daes::kNotImplemented : s;
}

Status DAESSimpleEquation::CollectEquations(void* list, std::int32_t eliminate, void* problem) {
  if (eliminate != 0 && IsVariableEquality()) {
    const Status s = EliminateAsEquivalence(problem, eliminate);
    if (!status::IsFailure(s)) return s;
  }
  DAESSolverEquation* equation = MakeSolverEquation(this);
  if (equation == nullptr) return daes::kNoSolverEquation;
  if (list == nullptr) {
    delete equation;
    return daes::kNoSolverEquation;
  }
  return static_cast<QLNEquationList*>(list)->AddEquation(equation, problem);
}
