// Procedure equations over model variables: one solver equation per output
// value, residuals and Jacobian rows from the procedure (analytic or by
// differences), the FORTRAN layout, and the problem's pre- and post-calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/equations/row_element.h"
#include "daes/events/condition_node.h"
#include "daes/events/implicit_event.h"
#include "daes/model/parameter.h"
#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/interfaces/current_objects.h"
#include "tests/daes/daes_helpers.h"
#include "tests/expr/expr_builders.h"
#include "tests/support/capture_sink.h"

namespace {

using namespace exprtest;
using namespace daestest;

const std::string kLibrary = std::string(VANTOR_PROC_LIBS) + "/user_procs.so";

// CALL (y1, y2) = proc(x, n, s, a[3]) over variables of the model.
struct ProcModel {
  explicit ProcModel(const char* entry, std::uint32_t language, std::uint32_t options,
                     std::uint32_t version = 2) {
    definition.SetLanguage(language);
    definition.SetImplementationName(entry);
    definition.SetLibrary(kLibrary.c_str());
    definition.SetInterfaceVersion(version);
    definition.SetOptions(options);
    x.SetValue(1.5);
    n.SetValue(4);
    s.ValuePointer()->SetString("water");
    const double av[3] = {0.5, -1.0, 2.0};
    for (int i = 0; i < 3; ++i) a[i].SetValue(av[i]);
    y1.SetValue(0.25);
    y2.SetValue(-3.0);
    auto* array = new DAESArray(SUValue::kReal);
    for (int i = 0; i < 3; ++i) array->SetMember(i + 1, new DAESScalar(&a[i]));
    const Ref vx = Var(0), vn = Var(1, SUValue::kInteger), vs = Var(2, SUValue::kString),
              va = Var(3, SUValue::kOneDimension | SUValue::kReal), vy1 = Var(4), vy2 = Var(5);
    const Ref in = ListOf<ProcIOListExpression>({&vx, &vn, &vs, &va}, 0);
    const Ref out = ListOf<ProcIOListExpression>({&vy1, &vy2}, 0);
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                        static_cast<ProcIOListExpression*>(out.get()));
    call->Bind(&definition);
    node = std::make_unique<DAESProcedureNode>(nullptr, "T1.flash", call, 0x5);
    node->SetRowElements({new DAESScalar(&x), new DAESScalar(&n), new DAESScalar(&s), array,
                          new DAESScalar(&y1), new DAESScalar(&y2)},
                         5);
  }
  DAESProcSolverEquation* Row(int k) {
    return static_cast<DAESProcSolverEquation*>(list.GetEquation(k));
  }

  DAESProcDefWithExceptionHandler definition;
  DAESRealVariable x{nullptr, "x"};
  DAESParameter n{".n", nullptr, 16};
  DAESParameter s{".s", nullptr, 17};
  DAESRealVariable a[3] = {{nullptr, "a(1)"}, {nullptr, "a(2)"}, {nullptr, "a(3)"}};
  DAESRealVariable y1{nullptr, "y1"};
  DAESRealVariable y2{nullptr, "y2"};
  std::unique_ptr<DAESProcedureNode> node;
  DAESSolverEquationList list;
};

constexpr std::uint32_t kResidualAndJacobian = daes::kEvalResidual | daes::kEvalDerivatives;

TEST(ProcedureEquation, OneRowPerOutputWithResidualAndJacobian) {
  for (const bool fortran : {false, true}) {
    for (const bool analytic : {true, false}) {
      ProcModel m(fortran ? "fproc" : "cproc", fortran ? 1 : 2,
                  analytic ? procdef::kAnalyticDerivatives : 0);
      EXPECT_EQ(m.node->GetKind(), daes::kProcedureKind);
      ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
      ASSERT_EQ(m.list.EquationCount(), 2);
      DAESProcSolverEquation* r1 = m.Row(0);
      DAESProcSolverEquation* r2 = m.Row(1);
      EXPECT_EQ(std::string(r2->GetNameText()), std::string(m.node->GetNameText()) + ".Row(2)");
      EXPECT_EQ(r1->OutputElement(), &m.y1);
      EXPECT_EQ(r2->OutputElement(), &m.y2);
      ASSERT_EQ(r1->Evaluate(kResidualAndJacobian, nullptr), 0u);
      ASSERT_EQ(r2->Evaluate(kResidualAndJacobian, nullptr), 0u);
      const double y1 = 1.5 * 4 + 0.5 - 2.0 + 6.0 + 5;
      const double y2 = 1.5 * 1.5 - 0.5 * 2.0;
      double res = 0;
      r1->ResidualValue(&res);
      EXPECT_DOUBLE_EQ(res, 0.25 - y1);  // version 2: variable minus output
      r2->ResidualValue(&res);
      EXPECT_DOUBLE_EQ(res, -3.0 - y2);
      // d(residual): 1 for the output, minus the procedure's derivative
      // for each input; the parameters take none.
      const double tol = analytic ? 1e-12 : 1e-6;
      EXPECT_DOUBLE_EQ(r1->DerivativeFor(&m.y1), 1.0);
      EXPECT_NEAR(r1->DerivativeFor(&m.x), -4.0, tol * 4);
      EXPECT_NEAR(r1->DerivativeFor(&m.a[2]), -3.0, tol * 3);
      EXPECT_EQ(r1->DerivativeFor(&m.n), 0.0);
      EXPECT_NEAR(r2->DerivativeFor(&m.x), -3.0, tol * 3);
      EXPECT_NEAR(r2->DerivativeFor(&m.a[0]), 2.0, tol * 2);
      EXPECT_NEAR(r2->DerivativeFor(&m.a[2]), 0.5, tol);
      EXPECT_NEAR(r2->DerivativeFor(&m.a[1]), 0.0, tol);
      EXPECT_DOUBLE_EQ(r2->DerivativeFor(&m.y2), 1.0);
      EXPECT_EQ(r1->ProcedureDefinition(), &m.definition);
      EXPECT_EQ(r2->ArgumentCount(), 4 + 2);
      EXPECT_EQ(r1->IsOutputVariable(&m.y2), 1);
      EXPECT_EQ(r1->IsOutputVariable(&m.x), 0);
      std::ostringstream dump;
      r1->Dump(dump);
      EXPECT_EQ(dump.str().rfind("Procedure Equation with output variable ", 0), 0u);
    }
  }
}

// Records what the rows hand the block layer's classification.
struct Classes : DAESClassCollector {
  Status RecordClass(DAESVarTableEntry* variable, std::int32_t, std::int32_t column) override {
    recorded.push_back({variable, column});
    return 0;
  }
  std::vector<std::pair<DAESVarTableEntry*, std::int32_t>> recorded;
};

TEST(ProcedureEquation, RowsHoldTheirInputsAndTheirOwnOutput) {
  ProcModel m("cproc", 2, procdef::kAnalyticDerivatives);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  ASSERT_EQ(m.list.EquationCount(), 2);
  DAESEqnRow group;
  for (int k = 0; k < 2; ++k) ASSERT_EQ(m.Row(k)->AttachToElements(&group), 0u);
  // x, a(1..3) and the row's own output; the parameters and the other
  // output are no columns of the row.
  DAESProcSolverEquation* r2 = m.Row(1);
  EXPECT_EQ(r2->VariableCount(), 5);
  EXPECT_NE(r2->FindVariable(&m.y2), nullptr);
  EXPECT_EQ(r2->FindVariable(&m.y1), nullptr);
  EXPECT_EQ(r2->FindVariable(&m.n), nullptr);
  EXPECT_EQ(group.VariableCount(), 6);
  EXPECT_NE(m.a[1].GetFlags() & daes::kReferenced, 0u);
  // Marked once a group, not once a row; a group of their own is marked
  // again, whichever row comes first.
  for (DAESVarTableEntry* input : {&m.x, &m.a[0], &m.a[1], &m.a[2]})
    input->ClearFlags(daes::kReferenced);
  DAESEqnRow other;
  for (int k : {1, 0}) ASSERT_EQ(m.Row(k)->AttachToElements(&other), 0u);
  for (DAESVarTableEntry* input : {&m.x, &m.a[0], &m.a[1], &m.a[2]})
    EXPECT_NE(input->GetFlags() & daes::kReferenced, 0u);
  // The classes: the output at column 0, then the inputs at the row's column.
  Classes classes;
  ASSERT_EQ(r2->CollectClasses(&classes, 0), 0u);
  using Record = std::pair<DAESVarTableEntry*, std::int32_t>;
  EXPECT_EQ(classes.recorded,
            (std::vector<Record>{{&m.y2, 0}, {&m.x, 1}, {&m.a[0], 1}, {&m.a[1], 1}, {&m.a[2], 1}}));
}

// The block code finds a row's columns by variable: the members of an
// array input one by one, and the row's own output, never another output.
TEST(ProcedureEquation, RowsFindArrayMembersAndTheirOwnOutputByVariable) {
  ProcModel m("cproc", 2, 0);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  DAESProcSolverEquation* r2 = m.Row(1);
  auto find = [&](DAESVarTableEntry& v) {
    std::int32_t position = 0;
    DAESRowElement* e = r2->FindNextElement(v.SequenceNumber(), &position);
    EXPECT_EQ(r2->FindNextElement(v.SequenceNumber(), &position), nullptr) << "found twice";
    return e != nullptr ? e->ElementVariable() : nullptr;
  };
  for (DAESVarTableEntry* v : std::vector<DAESVarTableEntry*>{&m.x, &m.a[0], &m.a[2], &m.y2}) {
    EXPECT_EQ(find(*v), v) << v->GetNameText();
  }
  EXPECT_EQ(find(m.y1), nullptr);
}

TEST(ProcedureEquation, DerivativeChecksAndTornOutputs) {
  testsupport::CaptureSink sink;
  ProcModel m("cproc", 2, procdef::kAnalyticDerivatives);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  DAESProcSolverEquation* r1 = m.Row(0);
  ASSERT_EQ(r1->Evaluate(kResidualAndJacobian, nullptr), 0u);
  DAESRowElement* x = r1->ProcContext()->Element(0);
  // Below DerivAbsTol the comparison is absolute, above it relative.
  EXPECT_TRUE(r1->CheckDerivativeValues(0.0005, 0.0, x, false));
  EXPECT_TRUE(r1->CheckDerivativeValues(10.0, 9.5, x, false));
  EXPECT_TRUE(sink.lines().empty());
  EXPECT_FALSE(r1->CheckDerivativeValues(10.0, 8.0, x, true));
  bool failed = false, numeric = false;
  for (const std::string& line : sink.lines()) {
    // Version 2 shows both values negated.
    failed |=
        line == "Failed: Analytical derivative:          -8, Numerical derivative:         -10";
    numeric |= line == "'Use numerics' option set, using numeric derivative (10)";
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(numeric);
  EXPECT_EQ(r1->DerivativeFor(&m.x), 10.0);

  // A torn row sets its output variable, clipped to its bounds.
  ASSERT_EQ(m.y1.SetBounds(0.0, 10.0), 0u);
  r1->UpdateTornOutput();
  EXPECT_EQ(m.y1.GetRealValue(), 10.0);
  m.Row(1)->UpdateTornOutput();
  EXPECT_DOUBLE_EQ(m.y2.GetRealValue(), 1.5 * 1.5 - 0.5 * 2.0);
}

TEST(ProcedureEquation, CallsOncePerEvaluationForAllOutputs) {
  ProcModel m("cproc", 2, 0);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  ProcCallData& data = m.Row(0)->ProcContext()->Data();
  EXPECT_EQ(m.Row(0)->ProcContext(), m.Row(1)->ProcContext());
  ASSERT_EQ(m.Row(0)->Evaluate(daes::kEvalResidual, nullptr), 0u);
  std::int32_t need = 0;
  ASSERT_EQ(data.CallProcedure(0, &need), 0u);
  EXPECT_EQ(need, 0);  // the second row reads the held outputs
  m.x.SetValue(2.0);
  ASSERT_EQ(m.Row(1)->Evaluate(daes::kEvalResidual, nullptr), 0u);
  double res = 0;
  m.Row(1)->ResidualValue(&res);
  EXPECT_DOUBLE_EQ(res, -3.0 - (4.0 - 1.0));
  // The rows of one call share its evaluation, also through a
  // decomposition wrapper; the shared result reads the held outputs.
  EXPECT_TRUE(m.Row(1)->SharesEvaluation(m.Row(0)));
  EXPECT_FALSE(m.Row(0)->SharesEvaluation(m.Row(0)));
  EXPECT_FALSE(m.Row(0)->SharesEvaluation(nullptr));
  DAESDecompEquation wrapped(m.Row(0));
  EXPECT_TRUE(m.Row(1)->SharesEvaluation(&wrapped));
  ProcModel other("cproc", 2, 0);
  ASSERT_EQ(other.node->ApplyToSubtree(&other.list, nullptr, 0, 0, nullptr), 0u);
  EXPECT_FALSE(other.Row(1)->SharesEvaluation(m.Row(0)));
  m.y2.SetValue(1.0);
  ASSERT_EQ(m.Row(1)->TakeSharedResult(), 0u);
  m.Row(1)->ResidualValue(&res);
  EXPECT_DOUBLE_EQ(res, 1.0 - (4.0 - 1.0));
}

TEST(ProcedureEquation, BlockColumnsAskAProcedureThatSuppliesDerivatives) {
  for (const bool analytic : {true, false}) {
    ProcModel m("cproc", 2, analytic ? procdef::kAnalyticDerivatives : 0);
    ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
    DAESSolverBlock block;
    for (int k = 0; k < 2; ++k) block.AddRow(new DAESDecompEquation(m.Row(k)));
    ASSERT_EQ(block.EvaluateRows(daes::kEvalResidual), 0u);
    double column[2] = {};
    ASSERT_EQ(block.EvaluateJacobianColumn(&m.x, column, 0), 0u);
    EXPECT_NEAR(column[0], -4.0, 1e-6);
    // d(row 2)/dx = -2x: exact from the procedure; a one-sided difference
    // is off by about its step.
    if (analytic) {
      EXPECT_NEAR(column[1], -3.0, 1e-12);
    } else {
      EXPECT_NEAR(column[1], -3.0, 1e-3);
      EXPECT_GT(std::fabs(column[1] + 3.0), 1e-8);
    }
    EXPECT_EQ(m.x.GetRealValue(), 1.5);
  }
}

// Procedure rows in a block: the entries of the block's own structure,
// from the elements found at the first call and the rows' kept facts,
// match a search of the rows, analytic or differenced, and every perturbed
// input is put back.
TEST(ProcedureEquation, OwnStructureEntriesMatchASearchOfTheRows) {
  for (const bool analytic : {true, false}) {
    ProcModel m("cproc", 2, analytic ? procdef::kAnalyticDerivatives : 0);
    ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
    DAESSolverBlock block;
    DAESVarTableEntry* inputs[] = {&m.x, &m.a[0], &m.a[1], &m.a[2]};
    for (DAESVarTableEntry* v : inputs) ASSERT_EQ(block.AddVariable(v), 0u);
    ASSERT_EQ(block.AddVariable(&m.y1), 0u);
    ASSERT_EQ(block.AddVariable(&m.y2), 0u);
    for (int k = 0; k < 2; ++k) {
      auto* row = new DAESDecompEquation(m.Row(k));
      std::int32_t at = 0;
      for (DAESVarTableEntry* v : inputs) row->InsertVariable(v, &at);
      row->InsertVariable(k == 0 ? &m.y1 : &m.y2, &at);
      ASSERT_EQ(block.AddRow(row), 0u);
    }
    ASSERT_EQ(block.EvaluateRows(kResidualAndJacobian), 0u);
    const std::int64_t *rows = nullptr, *cols = nullptr;
    ASSERT_EQ(block.BuildStructure(&rows, &cols, nullptr, 0), 0u);
    const std::uint32_t n = block.StructureSize();
    ASSERT_EQ(n, 10u);
    const std::vector<std::int64_t> row_copy(rows, rows + n), col_copy(cols, cols + n);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<double> own(n, -1.0), searched(n, -2.0);
      ASSERT_EQ(block.EvaluateJacobianEntries(n, rows, cols, own.data(), 0, 0.0), 0u);
      ASSERT_EQ(block.EvaluateJacobianEntries(n, row_copy.data(), col_copy.data(),
                                              searched.data(), 0, 0.0),
                0u);
      EXPECT_EQ(own, searched) << analytic;
      const std::int64_t x = block.FindVariable(&m.x), y2 = block.FindVariable(&m.y2);
      for (std::uint32_t p = 0; p < n; ++p) {
        // Row 2 gives -d(y2)/dx = -2x and 1 for its own output.
        if (rows[p] != 2) continue;
        if (cols[p] == x) {
          EXPECT_NEAR(own[p], -3.0, analytic ? 1e-12 : 1e-4);
        } else if (cols[p] == y2) {
          EXPECT_EQ(own[p], 1.0);
        }
      }
      EXPECT_EQ(m.x.GetRealValue(), 1.5);
    }
  }
}

TEST(ProcedureEquation, VersionThreeSignsAndRefusals) {
  // y = 2 x through the new interface: output minus variable.
  DAESProcDefWithExceptionHandler d;
  d.SetLanguage(2);
  d.SetImplementationName("nproc");
  d.SetLibrary(kLibrary.c_str());
  d.SetInterfaceVersion(3);
  DAESRealVariable x{nullptr, "x"}, y{nullptr, "y"};
  x.SetValue(1.25);
  y.SetValue(1.0);
  const Ref vx = Var(0), vy = Var(1);
  const Ref in = ListOf<ProcIOListExpression>({&vx}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
  auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                      static_cast<ProcIOListExpression*>(out.get()));
  DAESProcedureNode unbound(nullptr, "u", call, 0);
  unbound.SetRowElements({new DAESScalar(&x), new DAESScalar(&y)}, 2);
  DAESSolverEquationList list;
  // No definition behind the call: refused.
  EXPECT_EQ(unbound.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
  EXPECT_EQ(list.EquationCount(), 0);
  call->Bind(&d);
  ASSERT_EQ(unbound.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
  auto* row = static_cast<DAESProcSolverEquation*>(list.GetEquation(0));
  ASSERT_EQ(row->Evaluate(kResidualAndJacobian, nullptr), 0u);
  double res = 0;
  row->ResidualValue(&res);
  EXPECT_DOUBLE_EQ(res, 2.5 - 1.0);
  EXPECT_DOUBLE_EQ(row->DerivativeFor(&y), -1.0);
  EXPECT_NEAR(row->DerivativeFor(&x), 2.0, 1e-6);
  // With analytic derivatives they come through the sparse pattern.
  d.SetOptions(procdef::kAnalyticDerivatives);
  DAESSolverEquationList analytic;
  ASSERT_EQ(unbound.ApplyToSubtree(&analytic, nullptr, 0, 0, nullptr), 0u);
  auto* exact = static_cast<DAESProcSolverEquation*>(analytic.GetEquation(0));
  ASSERT_EQ(exact->Evaluate(kResidualAndJacobian, nullptr), 0u);
  EXPECT_EQ(exact->ProcContext()->Data().PatternCount(), 1);
  EXPECT_EQ(exact->DerivativeFor(&x), 2.0);
  EXPECT_EQ(exact->DerivativeFor(&y), -1.0);
  d.SetOptions(0);

  // A call without outputs makes no equation.
  const Ref none = ListOf<ProcIOListExpression>({}, 0);
  auto* empty = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                       static_cast<ProcIOListExpression*>(none.get()));
  empty->Bind(&d);
  DAESProcedureNode no_outputs(nullptr, "v", empty, 0);
  no_outputs.SetRowElements({new DAESScalar(&x)}, 1);
  EXPECT_EQ(no_outputs.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
}

TEST(ProcedureEquation, FaultInsideTheProcedureFailsTheRowOnly) {
  ProcModel m("csegv", 2, 0);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  EXPECT_TRUE(status::IsFailure(m.Row(0)->Evaluate(daes::kEvalResidual, nullptr)));
  ProcModel good("cproc", 2, 0);
  ASSERT_EQ(good.node->ApplyToSubtree(&good.list, nullptr, 0, 0, nullptr), 0u);
  EXPECT_EQ(good.Row(0)->Evaluate(daes::kEvalResidual, nullptr), 0u);
}

TEST(ProcedureEquation, ContextAnswersTheProblemsCallPass) {
  ProcModel m("cproc", 2, procdef::kPrecall | procdef::kPostcall);
  ASSERT_EQ(m.node->ApplyToSubtree(&m.list, nullptr, 0, 0, nullptr), 0u);
  DAESProcContext* context = m.Row(0)->ProcContext();
  DAESProcedureEquation* pass = context;
  EXPECT_EQ(pass->OutputCount(), 2);
  EXPECT_EQ(m.node->RowCount(), 2);  // the model equation knows its rows
  EXPECT_STREQ(pass->ProcedureName(), "cproc");
  double shared[2] = {0, 0};
  pass->SetOutputBuffer(shared);
  EXPECT_EQ(pass->CallProcedure(1), 0u);
  EXPECT_EQ(context->Data().LastTask(), -1);  // evaluations call again
  EXPECT_DOUBLE_EQ(shared[1], 1.5 * 1.5 - 0.5 * 2.0);
  EXPECT_EQ(pass->CallProcedure(2), 0u);
  EXPECT_EQ(context->Data().LastTask(), 2);
  pass->SetOutputBuffer(nullptr);
}

// A library node holding a stored expression, as the library manager keeps them.
struct LibraryCall : BvuDirectoryNode {
  LibraryCall(BvuDirectoryNode* parent, Expression* e) : BvuDirectoryNode(parent, ".c"), call(e) {
    call->AddRef();
  }
  ~LibraryCall() override { Expression::Release(call); }
  std::int32_t GetKind() override { return daes::kLibraryExpressionKind; }
  void* LinkedObject() override { return call; }
  Expression* call;
};

// y = cecho(x) bound to the definition, for a library node to hold.
ProcCallExpression* EchoCall(DAESProcDefWithExceptionHandler* d) {
  d->SetLanguage(2);
  d->SetImplementationName("cecho");
  d->SetLibrary(kLibrary.c_str());
  const Ref vx = Var(0), vy = Var(1);
  const Ref in = ListOf<ProcIOListExpression>({&vx}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
  auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                      static_cast<ProcIOListExpression*>(out.get()));
  call->Bind(d);
  return call;
}

// CALL (y(1..width)) = cproc(x(1..width)) under `unit`, every input the
// one variable x and the outputs the given variables: width^2 derivative
// entries.
std::unique_ptr<DAESProcedureNode> WideCall(
    DAESProcDef* definition, BvuDirectoryNode* unit, const char* name, DAESRealVariable* x,
    const std::vector<std::unique_ptr<DAESRealVariable>>& ys) {
  const Ref vx = Var(0, SUValue::kOneDimension | SUValue::kReal);
  const Ref vy = Var(1, SUValue::kOneDimension | SUValue::kReal);
  const Ref in = ListOf<ProcIOListExpression>({&vx}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
  auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                      static_cast<ProcIOListExpression*>(out.get()));
  call->Bind(definition);
  auto* inputs = new DAESArray(SUValue::kReal);
  auto* outputs = new DAESArray(SUValue::kReal);
  for (std::size_t k = 0; k < ys.size(); ++k) {
    inputs->SetMember(static_cast<std::int32_t>(k + 1), new DAESScalar(x));
    outputs->SetMember(static_cast<std::int32_t>(k + 1), new DAESScalar(ys[k].get()));
  }
  auto node = std::make_unique<DAESProcedureNode>(unit, name, call, 0x5);
  node->SetRowElements({inputs, outputs}, 2);
  return node;
}

// The C procedure and the variables of calls `width` outputs wide.
struct WideCalls {
  explicit WideCalls(std::int64_t width) {
    definition.SetLanguage(2);
    definition.SetImplementationName("cproc");
    definition.SetLibrary(kLibrary.c_str());
    definition.SetInterfaceVersion(2);
    for (std::int64_t k = 0; k < width; ++k) {
      ys.push_back(std::make_unique<DAESRealVariable>(nullptr, "y"));
    }
  }
  std::unique_ptr<DAESProcedureNode> Call(BvuDirectoryNode* unit, const char* name) {
    return WideCall(&definition, unit, name, &x, ys);
  }
  DAESProcDefWithExceptionHandler definition;
  DAESRealVariable x{nullptr, "x"};
  std::vector<std::unique_ptr<DAESRealVariable>> ys;
};

// Each call keeps up to five million entries (an entry per input and
// output pair and one per output); four such calls are what a model may
// keep in all, and the fifth is refused with its equation named.
TEST(ProcedureEquation, TheModelsProcedureCallsTogetherKeepBoundedDerivativeEntries) {
  constexpr std::int64_t kWidth = 2289;
  static_assert(kWidth * (kWidth + 1) <= kMaxProcDerivativeEntries);
  WideCalls wide(kWidth);
  BvuDirectoryProper root(nullptr, nullptr);
  BvuDirectoryProper unit(&root, "T1");
  DAESSolverEquationList list;
  std::vector<std::unique_ptr<DAESProcedureNode>> calls;
  const std::int64_t allowed = kMaxModelProcDerivativeEntries / kMaxProcDerivativeEntries;
  for (std::int64_t k = 1; k <= allowed; ++k) {
    calls.push_back(wide.Call(&unit, ".call"));
    ASSERT_EQ(calls.back()->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u) << k;
  }
  EXPECT_EQ(list.EquationCount(), allowed * kWidth);
  EXPECT_EQ(list.ProcedureEntries(), allowed * kWidth * (kWidth + 1));
  calls.push_back(wide.Call(&unit, ".last"));
  testsupport::CaptureSink sink;
  EXPECT_EQ(calls.back()->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
  EXPECT_EQ(list.EquationCount(), allowed * kWidth);
  // The refused call keeps nothing: its variables are sized for one entry
  // and hold none.
  for (DAESRowElement* element : calls.back()->RowElements()) {
    for (std::int32_t k = 0; k < element->TotalCount(); ++k) {
      DAESRowElement* member = element->ElementAt(k);
      EXPECT_EQ(member->EntryCount(), 1u) << k;
      EXPECT_EQ(member->HeldEntries(), 0u) << k;
    }
  }
  std::string all;
  for (const std::string& line : sink.lines()) all += line + "\n";
  EXPECT_NE(all.find("Procedure cproc in equation T1.last would bring the derivative entries of "
                     "the model's procedure calls to 26209050: more than the 20971520 a model may "
                     "have"),
            std::string::npos)
      << all;
}

// CALL (y(1..n)) = cfan(x): a call far wider in outputs than in inputs.
// Prepared and evaluated row by row, it holds an entry per output for its
// input and one per output in that output's own row: linear in n, within
// what the bound counts; the values and derivatives are y(i) = i x.
TEST(ProcedureEquation, AWideCallHoldsEntriesLinearInItsOutputs) {
  for (const bool analytic : {false, true}) {
    for (const std::int32_t n : {64, 2048}) {
      DAESProcDefWithExceptionHandler definition;
      definition.SetLanguage(2);
      definition.SetImplementationName("cfan");
      definition.SetLibrary(kLibrary.c_str());
      definition.SetInterfaceVersion(2);
      definition.SetOptions(analytic ? procdef::kAnalyticDerivatives : 0);
      DAESRealVariable x{nullptr, "x"};
      x.SetValue(0.5);
      std::vector<std::unique_ptr<DAESRealVariable>> ys;
      auto* outputs = new DAESArray(SUValue::kReal);
      for (std::int32_t k = 0; k < n; ++k) {
        ys.push_back(std::make_unique<DAESRealVariable>(nullptr, "y"));
        outputs->SetMember(k + 1, new DAESScalar(ys.back().get()));
      }
      const Ref vx = Var(0);
      const Ref vy = Var(1, SUValue::kOneDimension | SUValue::kReal);
      const Ref in = ListOf<ProcIOListExpression>({&vx}, 0);
      const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
      auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                          static_cast<ProcIOListExpression*>(out.get()));
      call->Bind(&definition);
      DAESProcedureNode node(nullptr, "T1.fan", call, 0x5);
      node.SetRowElements({new DAESScalar(&x), outputs}, 2);
      DAESSolverEquationList list;
      ASSERT_EQ(node.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
      ASSERT_EQ(list.EquationCount(), n);
      DAESEqnRow group;
      const std::string what = std::to_string(n) + (analytic ? " analytic" : " differenced");
      for (std::int32_t k = 0; k < n; ++k) {
        auto* row = static_cast<DAESProcSolverEquation*>(list.GetEquation(k));
        ASSERT_EQ(row->AttachToElements(&group), 0u);
        ASSERT_EQ(row->Evaluate(kResidualAndJacobian, nullptr), 0u) << what << " row " << k;
        std::int32_t kind = 0;
        row->ClassifyNonlinearity(&kind, 0);
        if (k % 997 != 0 && k != n - 1) continue;
        double residual = 1.0;
        row->ResidualValue(&residual);
        EXPECT_DOUBLE_EQ(residual, -(k + 1) * 0.5) << what << " row " << k;
        EXPECT_NEAR(row->DerivativeFor(&x), -(k + 1.0), analytic ? 0.0 : 1e-6 * (k + 1))
            << what << " row " << k;
        EXPECT_EQ(row->DerivativeFor(ys[static_cast<std::size_t>(k)].get()), 1.0);
        if (k > 0) {
          EXPECT_EQ(row->DerivativeFor(ys[0].get()), 0.0) << "not a column of the row";
        }
      }
      DAESProcContext* context =
          static_cast<DAESProcSolverEquation*>(list.GetEquation(0))->ProcContext();
      const ProcCallData& data = context->Data();
      EXPECT_EQ(data.EntryBound(), (analytic ? 3 : 2) * std::int64_t{n}) << what;
      EXPECT_GE(context->HeldEntries(), 2 * std::int64_t{n}) << what;
      EXPECT_LE(context->HeldEntries(), data.EntryBound()) << what;
      EXPECT_EQ(list.ProcedureEntries(), data.EntryBound());
    }
  }
}

// Calls inside IF branches are the model's too: three calls at the top and
// one in the THEN branch fill the model's allowance, and the ELSE branch's
// call is refused with its equation named.
TEST(ProcedureEquation, CallsInsideIfBranchesCountTowardsTheModelsBound) {
  constexpr std::int64_t kWidth = 2289;
  DAESEventSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  struct Unset {
    ~Unset() { SetCurrentEventSchedule(nullptr); }
  } unset;
  WideCalls wide(kWidth);
  BvuDirectoryProper root(nullptr, nullptr);
  BvuDirectoryProper unit(&root, "T1");
  const Ref condition = Real(1.0);
  DAESConditionNode branching(&unit, ".If", condition.get());
  BvuDirectoryProper then_branch(&branching, ".Then");
  BvuDirectoryProper else_branch(&branching, ".Else");
  ASSERT_EQ(branching.InsertChildAt(1, &then_branch), 0u);
  ASSERT_EQ(branching.InsertChildAt(2, &else_branch), 0u);
  DAESSolverEquationList list;
  std::vector<std::unique_ptr<DAESProcedureNode>> calls;
  for (int k = 1; k <= 3; ++k) {
    calls.push_back(wide.Call(&unit, ".call"));
    ASSERT_EQ(calls.back()->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u) << k;
  }
  calls.push_back(wide.Call(&then_branch, ".call"));
  ASSERT_EQ(then_branch.InsertChildAt(1, calls.back().get()), 0u);
  calls.push_back(wide.Call(&else_branch, ".call"));
  ASSERT_EQ(else_branch.InsertChildAt(1, calls.back().get()), 0u);
  testsupport::CaptureSink sink;
  EXPECT_EQ(branching.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
  EXPECT_EQ(list.EquationCount(), 3 * kWidth);
  std::string all;
  for (const std::string& line : sink.lines()) all += line + "\n";
  EXPECT_NE(all.find("Procedure cproc in equation T1.If.Else.call would bring the derivative "
                     "entries of the model's procedure calls to 26209050"),
            std::string::npos)
      << all;
}

TEST(ProcedureEquation, InstanceItemOfACallMakesAProcedureNode) {
  DAESProcDefWithExceptionHandler d;
  ProcCallExpression* call = EchoCall(&d);
  BvuDirectoryProper library(nullptr, nullptr);
  ASSERT_EQ(library.InsertChildAt(1, new LibraryCall(&library, call)), 0u);
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  auto message = Body([](Writer& w) {
    w.List(1);
    w.Item(mw::kEquation);
    w.U32(0x40);
    w.IdPath({1});
    w.Placement({T101(), {8, ".Call"}});
    w.EquationHead(2);
    w.Reference({2, 2});
    w.Reference({2, 3});
  });
  ASSERT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
  auto* node = dynamic_cast<DAESProcedureNode*>(tree.At({2, 8}));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetKind(), daes::kProcedureKind);
  EXPECT_EQ(node->CallFlags(), 0x40u);
  EXPECT_EQ(node->Call(), call);
  {
    DAESSolverEquationList list;
    ASSERT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
    ASSERT_EQ(list.EquationCount(), 1);
    auto* row = static_cast<DAESProcSolverEquation*>(list.GetEquation(0));
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
    double res = 1;
    row->ResidualValue(&res);
    const double x = Entry(tree.At({2, 2}))->ValuePointer()->payload.real;
    const double y = Entry(tree.At({2, 3}))->ValuePointer()->payload.real;
    EXPECT_DOUBLE_EQ(res, y - x);
  }
  // The problem made over the tree runs the call's pre- and post-calls.
  d.SetOptions(procdef::kPrecall | procdef::kPostcall);
  {
    std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, nullptr));
    ASSERT_NE(problem, nullptr);
    std::int32_t calls = 0;
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      calls += dynamic_cast<DAESProcSolverEquation*>(problem->GetEquation(i)) != nullptr;
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(problem->RunProcedureCalls(1), 0u);
    EXPECT_TRUE(problem->PrecallsRun());
    double* outputs = nullptr;
    std::uint32_t bytes = 0;
    problem->GetProcedureOutputs(&outputs, &bytes);
    ASSERT_EQ(bytes, sizeof(double));
    EXPECT_DOUBLE_EQ(outputs[0], Entry(tree.At({2, 2}))->ValuePointer()->payload.real);
    EXPECT_EQ(problem->RunProcedureCalls(2), 0u);
    EXPECT_FALSE(problem->PrecallsRun());
  }
  library.DeleteChildren();
}

// An in-line (tag 22) call makes a procedure node too, with its flag word.
TEST(ProcedureEquation, InlineCallItemMakesAProcedureNode) {
  DAESProcDefWithExceptionHandler d;
  ProcCallExpression* call = EchoCall(&d);
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  DseMessage sent(62, DseMessage::kRequest);
  Writer w(sent);
  w.List(1);
  w.Item(mw::kInlineEquation);
  w.U32(0x40);
  ASSERT_EQ(call->WriteCompactToMessage(sent), 0u);
  w.Placement({T101(), {8, ".Call"}});
  w.EquationHead(2);
  w.Reference({2, 2});
  w.Reference({2, 3});
  ASSERT_EQ(w.status(), 0u);
  auto message = testsupport::Received(sent);
  call->Release();
  ASSERT_EQ(tree.root->ReadFromMessage(*message, tree.root, nullptr, tree.root), 0u);
  auto* node = dynamic_cast<DAESProcedureNode*>(tree.At({2, 8}));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->CallFlags(), 0x40u);
  ASSERT_NE(node->Call(), nullptr);
  EXPECT_EQ(node->Call()->ClassId(), exprclass::kProcCall);
}

// The library manager's definitions by path: one definition at [ABS, 7].
struct Definitions : DAESProcDefLibrary {
  explicit Definitions(DAESProcDef* d) : definition(d) { daes::SetProcDefLibrary(this); }
  ~Definitions() { daes::SetProcDefLibrary(nullptr); }
  DAESProcDef* FindProcDef(const BvuIdPath& path) override {
    ++lookups;
    return path.count() == 3 && path.ids()[1] == 7 ? definition : nullptr;
  }
  DAESProcDef* definition;
  int lookups = 0;
};

TEST(ProcedureEquation, CallsFindTheirDefinitionInTheLibraryTree) {
  DAESProcDefWithExceptionHandler d;
  ProcCallExpression* call = EchoCall(&d);
  // As a message delivers it: unbound, with the definition's path.
  call->Bind(nullptr);
  BvuIdPath path;
  path.Append(kIdPathRoot);
  path.Append(7);
  path.Append(kIdPathEnd);
  call->SetCallPath(path);
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  auto* node = new DAESProcedureNode(tree.At({2}), ".Call", call, 0);
  ASSERT_EQ(tree.At({2})->InsertChildAt(8, node), 0u);
  auto references = Body([](Writer& w) {
    w.EquationHead(2);
    w.Reference({2, 2});
    w.Reference({2, 3});
  });
  ASSERT_EQ(node->ReadItemBody(*references, tree.root), 0u);
  {
    // No library manager: the call stays unbound and its equation is refused.
    testsupport::CaptureSink sink;
    DAESSolverEquationList list;
    EXPECT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
    EXPECT_EQ(list.EquationCount(), 0);
    ASSERT_FALSE(sink.lines().empty());
    EXPECT_NE(sink.lines()[0].find("No procedure definition at library path"), std::string::npos)
        << sink.lines()[0];
  }
  Definitions library(&d);
  {
    DAESSolverEquationList list;
    ASSERT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
    EXPECT_EQ(call->Definition(), &d);
    ASSERT_EQ(list.EquationCount(), 1);
    ASSERT_EQ(list.GetEquation(0)->Evaluate(daes::kEvalResidual, nullptr), 0u);
  }
  // Gone from the library: the next build refuses the equation.
  library.definition = nullptr;
  testsupport::CaptureSink sink;
  DAESSolverEquationList list;
  EXPECT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), procstatus::kArguments);
  EXPECT_EQ(call->Definition(), nullptr);
  EXPECT_EQ(library.lookups, 2);
}

struct Properties : DAESPropertyServices {
  std::int32_t GetPropertyId(const char* name) override {
    asked = name;
    return id;
  }
  bool PackageLoaded() override { return loaded; }
  std::int32_t id = 0;
  bool loaded = false;
  std::string asked;
};

TEST(ProcedureEquation, ComponentListsAreKeptAndLookedUp) {
  DAESProcDefWithExceptionHandler d;
  d.SetOptions(procdef::kPropertiesId);
  ProcCallExpression* call = EchoCall(&d);
  BvuDirectoryProper library(nullptr, nullptr);
  ASSERT_EQ(library.InsertChildAt(1, new LibraryCall(&library, call)), 0u);
  Tree tree;
  ASSERT_EQ(tree.Read(Tank), 0u);
  // Index 8 names the list Liquids; index 9 names none.
  for (std::uint32_t index : {8u, 9u}) {
    auto message = Body([&](Writer& w) {
      w.List(1);
      w.Item(mw::kEquation);
      w.U32(0);
      w.IdPath({1});
      w.Placement({T101(), {index, index == 8 ? ".Named" : ".Unnamed"}});
      w.U32(7);
      w.Text(index == 8 ? "Liquids" : "");
      w.U32(2);
      w.Reference({2, 2});
      w.Reference({2, 3});
    });
    ASSERT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
  }
  auto* named = dynamic_cast<DAESProcedureNode*>(tree.At({2, 8}));
  auto* unnamed = dynamic_cast<DAESProcedureNode*>(tree.At({2, 9}));
  ASSERT_NE(named, nullptr);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_STREQ(named->ComponentListName(), "Liquids");
  EXPECT_EQ(named->BodyValue(), 7u);
  EXPECT_EQ(unnamed->ComponentListName(), nullptr);

  testsupport::CaptureSink sink;
  auto collect = [](DAESProcedureNode* node) {
    DAESSolverEquationList list;
    return node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr);
  };
  EXPECT_EQ(collect(unnamed), daes::kNoComponentList);
  // Without a property manager nothing is known and nothing is loaded: a
  // warning only.
  EXPECT_EQ(collect(named), 0u);
  ASSERT_EQ(sink.groups().size(), 1u);
  EXPECT_EQ(sink.groups()[0].status, 0u);
  EXPECT_EQ(sink.lines().at(0),
            "Could not find a ComponentList called Liquids for procedure cecho in equation "
            "T101.Named");
  Properties properties;
  daes::SetPropertyServices(&properties);
  properties.loaded = true;
  sink.Clear();
  EXPECT_EQ(collect(named), daes::kNoComponentList);
  EXPECT_EQ(properties.asked, "Liquids");
  ASSERT_EQ(sink.groups().size(), 1u);
  EXPECT_EQ(sink.groups()[0].status, daes::kNoComponentList);
  properties.id = 5;
  sink.Clear();
  EXPECT_EQ(collect(named), 0u);
  EXPECT_EQ(named->PropertyId(), 5);
  EXPECT_TRUE(sink.lines().empty());
  daes::SetPropertyServices(nullptr);
  library.DeleteChildren();
}

// The procedure item's body from outside: every proper prefix is refused
// without leaving a node, and seeded damage never crashes the reader.
TEST(ProcedureEquation, DamagedProcedureItemsAreRefused) {
  DAESProcDefWithExceptionHandler d;
  d.SetOptions(procdef::kPropertiesId);
  auto* call = new ProcCallExpression();
  call->Bind(&d);
  BvuDirectoryProper library(nullptr, nullptr);
  ASSERT_EQ(library.InsertChildAt(1, new LibraryCall(&library, call)), 0u);
  const testsupport::Bytes bytes = BytesOf([](Writer& w) {
    w.List(1);
    w.Item(mw::kEquation);
    w.U32(0);
    w.IdPath({1});
    w.Placement({T101(), {8, ".Call"}});
    w.U32(7);
    w.Text("Liquids");
    w.U32(2);
    w.Reference({2, 2});
    w.Reference({2, 3});
  });
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    Tree tree;
    ASSERT_EQ(tree.Read(Tank), 0u);
    const auto message =
        testsupport::ReceivedBody(testsupport::Bytes(bytes.begin(), bytes.begin() + cut));
    EXPECT_TRUE(
        status::IsFailure(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root)));
    EXPECT_EQ(tree.At({2, 8}), nullptr);
  }
  std::mt19937 random(4122);
  for (int round = 0; round < 1000; ++round) {
    testsupport::Bytes damaged = bytes;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    Tree tree;
    ASSERT_EQ(tree.Read(Tank), 0u);
    const auto message = testsupport::ReceivedBody(damaged);
    tree.root->ReadFromMessage(*message, tree.root, &library, tree.root);
    if (auto* node = dynamic_cast<DAESProcedureNode*>(tree.At({2, 8}))) {
      const char* list = node->ComponentListName();
      EXPECT_TRUE(list == nullptr || std::strlen(list) < 40);
    }
  }
  library.DeleteChildren();
}

}  // namespace
