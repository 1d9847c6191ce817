// Procedure calls in the compiled equation library: one wrapper per call
// whose switch answers each equation, the equation functions that call it,
// the pre- and post-call lines, and the compiled calls of the test library
// (C and FORTRAN layouts) against the interpreted ones.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "daes/equations/row_element.h"
#include "daes/instance/instance_node.h"
#include "daes/model/parameter.h"
#include "daes/model/variable.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/problem.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tree/proc_call_expression.h"
#include "foundation/values/packed_value.h"
#include "framework/libraries/library_failure.h"
#include "platform/dynamic_library.h"
#include "tests/daes/compiled_c_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/expr/expr_builders.h"
#include "tests/support/temp_dir.h"

using namespace daestest;
using namespace compiledtest;
using namespace exprtest;
namespace mw = modelwriter;

namespace {

const std::string kLibrary = std::string(VANTOR_PROC_LIBS) + "/user_procs.so";

struct CallNode : BvuDirectoryNode {
  CallNode(BvuDirectoryNode* parent, Expression* e) : BvuDirectoryNode(parent, ".c"), call(e) {
    call->AddRef();
  }
  ~CallNode() override { Expression::Release(call); }
  std::int32_t GetKind() override { return daes::kLibraryExpressionKind; }
  void* LinkedObject() override { return call; }
  Expression* call;
};

// The tank with (y1, y2) = pair(u1, k, u2): u1, u2, y1 and y2 new variables
// of T101, k its parameter.
struct PairModel {
  PairModel(const char* entry, std::uint32_t language, std::uint32_t options)
      : library(nullptr, nullptr) {
    definition.SetLanguage(language);
    definition.SetImplementationName(entry);
    definition.SetLibrary(kLibrary.c_str());
    definition.SetInterfaceVersion(2);
    definition.SetOptions(options);
    FindProcGenerator slots;
    definition.WriteFindProc(slots);
    const Ref u1 = Var(0), k = Var(1), u2 = Var(2), y1 = Var(3), y2 = Var(4);
    const Ref in = ListOf<ProcIOListExpression>({&u1, &k, &u2}, 0);
    const Ref out = ListOf<ProcIOListExpression>({&y1, &y2}, 0);
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                        static_cast<ProcIOListExpression*>(out.get()));
    call->Bind(&definition);
    EXPECT_EQ(library.InsertChildAt(1, new CallNode(&library, call)), 0u);
    EXPECT_EQ(tree.Read(mw::Tank), 0u);
    auto message = Body([](Writer& w) {
      w.List(5);
      const char* names[] = {".u1", ".u2", ".y1", ".y2"};
      const double values[] = {1.5, -0.5, 2.0, 3.0};
      for (std::uint32_t i = 0; i < 4; ++i) {
        w.Item(mw::kRealVariable);
        w.Placement({T101(), {10 + i, names[i]}});
        w.Value(values[i]), w.End();
      }
      w.Item(mw::kEquation);
      w.U32(0x40);
      w.IdPath({1});
      w.Placement({T101(), {14, ".Pair"}});
      w.EquationHead(5);
      for (std::uint32_t id : {10u, 4u, 11u, 12u, 13u}) w.Reference({2, id});
    });
    EXPECT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
    problem.reset(DAESCreateProblem(tree.root, 0, &table));
  }
  ~PairModel() {
    problem.reset();
    library.DeleteChildren();
  }
  std::vector<DAESProcSolverEquation*> Rows() {
    std::vector<DAESProcSolverEquation*> rows;
    for (std::int32_t i = 0; problem != nullptr && i < problem->EquationCount(); ++i) {
      if (auto* r = dynamic_cast<DAESProcSolverEquation*>(problem->GetEquation(i))) {
        rows.push_back(r);
      }
    }
    return rows;
  }

  DAESProcDefWithExceptionHandler definition;
  BvuDirectoryProper library;
  Tree tree;
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem;
};

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

TEST(CompiledProcedures, OneWrapperClosedAfterItsSecondEquation) {
  PairModel m("cpair", procdef::kLanguageC,
              procdef::kAnalyticDerivatives | procdef::kPrecall | procdef::kPostcall);
  ASSERT_NE(m.problem, nullptr);
  const auto rows = m.Rows();
  ASSERT_EQ(rows.size(), 2u);
  std::ostringstream out;
  daes::EquationCState state(out);
  WriteEquation(rows[0], state);
  // The wrapper stays open until its second equation is written.
  ASSERT_EQ(state.sections.size(), 1u);
  EXPECT_FALSE(state.sections[0]->closed);
  EXPECT_EQ(out.str().rfind("int Fn1(int iEqn, int iCall);\nstatic void Eqn1(int task)", 0), 0u)
      << out.str();
  const std::string first = out.str();
  EXPECT_NE(first.find("  case 0:if (Fn1(1,4)<0) res=NAN; else res=x["), std::string::npos)
      << first;
  EXPECT_NE(first.find("-res;break;\n  case -1:Fn1(1,-1);break;\n  case -2:Fn1(1,-2);break;\n"),
            std::string::npos)
      << first;
  EXPECT_EQ(Count(first, "case 0:"), 1u);  // the reset task shares the label
  WriteEquation(rows[1], state);
  EXPECT_TRUE(state.sections[0]->emitted);
  const std::string code = out.str();
  const std::string wrapper = state.sections[0]->text.str();
  EXPECT_EQ(Count(code, "int Fn1(int iEqn, int iCall)"), 2u);  // prototype and definition
  EXPECT_LT(code.find("static void Eqn2"), code.find("int Fn1(int iEqn, int iCall)\n{"));
  EXPECT_NE(wrapper.find("  switch (iEqn)\n  {\n  case 1: res = pdOutputs[0];break;\n"
                         "  case 2: res = pdOutputs[1];if (iCall==-2) g_pDerivs += 1*3;break;\n"
                         "  default: break;\n  }\n  return rc;\n}\n"),
            std::string::npos)
      << wrapper;
  // Three inputs of one slot each: the outputs follow the called flag and them.
  EXPECT_NE(wrapper.find("  double *pdOutputs = &g_pInstance->pProcData[4];\n"), std::string::npos);
  EXPECT_NE(wrapper.find("  static int iInSizes[]={0}; static int iInOffs[]={0,1,2,0};\n"
                         "  static int iOutSizes[]={0}; static int iOutOffs[]={0,1,0};\n"
                         "  static int iNOut=2; static int iNIn = 3; static int iWsize = 0;\n"),
            std::string::npos)
      << wrapper;
  EXPECT_NE(wrapper.find("    rc = CheckIFail(iIflag, iCall, \"cpair\");\n"), std::string::npos);
  EXPECT_NE(wrapper.find("      for (i=0;i<2;i++)\n        if (!FINITE(pdOutputs[i])) rc = "
                         "-2147482993;\n"),
            std::string::npos);
  EXPECT_NE(wrapper.find("QLN_Print(rc, \"Procedure cpair returned indefinite output value(s)\");"),
            std::string::npos);
  EXPECT_EQ(state.precall.str(), "  PRECALL(Fn1,1);\n");
  EXPECT_EQ(state.postcall.str(), "  if (1<iLast) {POSTCALL(Fn1);}\n");
  // The Jacobian: 1 for the output, the derivative row for the variables;
  // the parameter k takes no column.
  EXPECT_NE(code.find("  case 1:{double *J=g_pJ;"), std::string::npos);
  EXPECT_NE(code.find(" Fn1(2,-2); "), std::string::npos);
  EXPECT_NE(code.find("=g_pDerivs[0];"), std::string::npos);
  EXPECT_NE(code.find("=g_pDerivs[2];"), std::string::npos);
  EXPECT_EQ(code.find("g_pDerivs[1]"), std::string::npos);
  EXPECT_EQ(state.failed_functions, 0);
  // A later library opens the call's wrapper anew.
  std::ostringstream again;
  daes::EquationCState next(again);
  for (DAESProcSolverEquation* row : rows) WriteEquation(row, next);
  EXPECT_EQ(again.str().rfind("int Fn1(int iEqn, int iCall);\n", 0), 0u);
  EXPECT_EQ(next.failed_functions, 0);

  // Post-calls only: the guard on the last call.
  PairModel post("cpair", procdef::kLanguageC, procdef::kPostcall);
  std::ostringstream out2;
  daes::EquationCState state2(out2);
  for (DAESProcSolverEquation* row : post.Rows()) WriteEquation(row, state2);
  EXPECT_EQ(state2.precall.str(), "");
  EXPECT_EQ(state2.postcall.str(), "  if (iLast==INT_MAX) {POSTCALL(Fn1);}\n");
  EXPECT_NE(out2.str().find(" Fn1(2,-1); double oldOutput=res;"), std::string::npos);
  EXPECT_NE(out2.str().find(",2,Fn1,oldOutput);"), std::string::npos);
}

// y = pack(x, n, t[2]): a real, an integer, a two-element text argument and
// an output, with no problem (values stand for the variables).
struct PackModel {
  explicit PackModel(std::uint32_t language) {
    definition.SetLanguage(language);
    definition.SetImplementationName("pack");
    definition.SetInterfaceVersion(2);
    x.SetValue(1.25);
    n.SetValue(-7);
    t[0].ValuePointer()->SetString("water");
    t[1].ValuePointer()->SetString("say \"hi\"");
    y.SetValue(0.5);
    auto* texts = new DAESArray(SUValue::kString);
    for (int i = 0; i < 2; ++i) texts->SetMember(i + 1, new DAESScalar(&t[i]));
    const Ref vx = Var(0), vn = Var(1, SUValue::kInteger),
              vt = Var(2, SUValue::kOneDimension | SUValue::kString), vy = Var(3);
    const Ref in = ListOf<ProcIOListExpression>({&vx, &vn, &vt}, 0);
    const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                        static_cast<ProcIOListExpression*>(out.get()));
    call->Bind(&definition);
    node = std::make_unique<DAESProcedureNode>(nullptr, "P.pack", call, 0);
    node->SetRowElements({new DAESScalar(&x), new DAESScalar(&n), texts, new DAESScalar(&y)}, 3);
    EXPECT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
  }
  DAESProcSolverEquation* row() {
    return static_cast<DAESProcSolverEquation*>(list.GetEquation(0));
  }
  std::string PackCode() {
    DAESProcSolverEquation* row = this->row();
    ExprCodeWriter writer;
    std::ostringstream out;
    // The text address table after 20 slots of the call's procedure data.
    row->ProcContext()->WritePackCode(writer, out, 20);
    EXPECT_FALSE(writer.tape.failed);
    return out.str();
  }

  DAESProcDefWithExceptionHandler definition;
  DAESRealVariable x{nullptr, "x"};
  DAESParameter n{".n", nullptr, 16};
  DAESParameter t[2] = {{".t1", nullptr, 17}, {".t2", nullptr, 17}};
  DAESRealVariable y{nullptr, "y"};
  std::unique_ptr<DAESProcedureNode> node;
  DAESSolverEquationList list;
};

TEST(CompiledProcedures, PackCodeOfEachArgumentKind) {
  PackModel c(procdef::kLanguageC);
  ASSERT_EQ(c.list.EquationCount(), 1);
  EXPECT_EQ(c.PackCode(),
            "  PACKREALINPUT(0, 1.25);\n"
            "  PACKINTINPUT(1, -7);\n"
            "  if (!*pbCalled) {\n"
            "    char **ppsArgs = (char **)&g_pInstance->pProcData[20];\n"
            "    *ppsArgs++ = (char *)&pdInputs[2];\n"
            "    *ppsArgs++ = (char *)&pdInputs[7];\n"
            "  }\n"
            "  char *psArgs = (char *)&g_pInstance->pProcData[20];\n"
            "  PACKSTRVECINPUT(\"water\");\n"
            "  psArgs = (char *)&g_pInstance->pProcData[21];\n"
            "  PACKSTRVECINPUT(\"say \\\"hi\\\"\");\n"
            "  if (bInputsChanged) {\n"
            "    PACKREALOUTPUT(0, 0.5);\n"
            "  }\n\n");
  EXPECT_EQ(c.row()->ProcContext()->TextTableLength(), 2);
  // FORTRAN: blank-padded fields at 40-byte steps, no address table.
  PackModel f(procdef::kLanguageFortran);
  EXPECT_EQ(f.PackCode(),
            "  PACKREALINPUT(0, 1.25);\n"
            "  PACKINTINPUT(1, -7);\n"
            "  char *psArgs = (char *)&pdInputs[2];\n"
            "  PACKFTNSTRVECINPUT(0,\"water\");\n"
            "  psArgs = (char *)&pdInputs[2];\n"
            "  PACKFTNSTRVECINPUT(40,\"say \\\"hi\\\"\");\n"
            "  if (bInputsChanged) {\n"
            "    PACKREALOUTPUT(0, 0.5);\n"
            "  }\n\n");
  EXPECT_EQ(f.row()->ProcContext()->TextTableLength(), 0);
}

// A 2 by 2 real array in the FORTRAN layout packs column-major: element
// (r, c) at slot r + 2c.
TEST(CompiledProcedures, FortranArraysPackColumnMajor) {
  DAESProcDefWithExceptionHandler definition;
  definition.SetLanguage(procdef::kLanguageFortran);
  definition.SetImplementationName("matrix");
  definition.SetInterfaceVersion(2);
  DAESRealVariable a[4] = {{nullptr, "a11"}, {nullptr, "a12"}, {nullptr, "a21"}, {nullptr, "a22"}};
  DAESRealVariable y{nullptr, "y"};
  auto* matrix = new DAESArray(SUValue::kOneDimension | SUValue::kReal);
  for (int r = 0; r < 2; ++r) {
    auto* row = new DAESArray(SUValue::kReal);
    for (int c = 0; c < 2; ++c) {
      a[2 * r + c].SetValue(10.0 * (r + 1) + (c + 1));
      row->SetMember(c + 1, new DAESScalar(&a[2 * r + c]));
    }
    matrix->SetMember(r + 1, row);
  }
  const Ref vm = Var(0, SUValue::kOneDimension * 2 | SUValue::kReal), vy = Var(1);
  const Ref in = ListOf<ProcIOListExpression>({&vm}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&vy}, 0);
  auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                      static_cast<ProcIOListExpression*>(out.get()));
  call->Bind(&definition);
  DAESProcedureNode node(nullptr, "P.matrix", call, 0);
  node.SetRowElements({matrix, new DAESScalar(&y)}, 1);
  DAESSolverEquationList list;
  ASSERT_EQ(node.ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
  ASSERT_EQ(list.EquationCount(), 1);
  auto* row = static_cast<DAESProcSolverEquation*>(list.GetEquation(0));
  ExprCodeWriter writer;
  std::ostringstream code;
  row->ProcContext()->WriteValueCode(writer, code, 1);
  EXPECT_FALSE(writer.tape.failed);
  EXPECT_EQ(code.str().substr(0, code.str().find("  if")),
            "  PACKREALINPUT(0,11);\n  PACKREALINPUT(2,12);\n"
            "  PACKREALINPUT(1,21);\n  PACKREALINPUT(3,22);\n");
}

TEST(CompiledProcedures, ResettingMarksClearsOnlyTheInputs) {
  PackModel m(procdef::kLanguageC);
  auto* row = static_cast<DAESProcSolverEquation*>(m.list.GetEquation(0));
  DAESProcContext* context = row->ProcContext();
  DAESRowElement* x = context->ArgumentElement(false, 0);
  DAESRowElement* y = context->ArgumentElement(true, 0);
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  x->SetClassMark(-1, 0, 0);
  y->SetClassMark(-1, 0, 0);
  EXPECT_EQ(context->ResetVariables(0, 0), 0u);
  EXPECT_EQ(x->Marker(0), 0);
  EXPECT_EQ(y->Marker(0), -1);
}

// While a compiled library is active for a row it evaluates the row: its
// residual first (where it calls the procedure), then the output and the
// derivative row of that call; the interpreter calls nothing. A residual
// that is no number (a failed call) is told by the interpreter's own call.
std::vector<std::string> g_asked;
double g_residual = 0.0;
double g_output = 0.0;
double g_derivs[3] = {0.0, 0.0, 0.0};
Status g_printed = 0;
double FakeResidual(std::uint32_t n) {
  g_asked.push_back("residual " + std::to_string(n));
  // The generated library says why through QLN_Print.
  if (g_printed != 0) libraries::NoteLibraryFailure(g_printed);
  return g_residual;
}
double FakeOutput(std::uint32_t n) {
  g_asked.push_back("output " + std::to_string(n));
  return g_output;
}
double* FakeDerivs(std::uint32_t n) {
  g_asked.push_back("derivs " + std::to_string(n));
  return g_derivs;
}

TEST(CompiledProcedures, ActiveLibraryEvaluatesTheRowsThroughItsResidual) {
  std::string ignored;
  platform::LibraryOpen procs = platform::OpenLibrary(kLibrary);
  ASSERT_NE(procs.handle, nullptr) << procs.error;
  const auto* calls = static_cast<const int*>(platform::LibrarySymbol(procs.handle, "g_calls"));
  ASSERT_NE(calls, nullptr);
  PairModel m("cpair", procdef::kLanguageC, procdef::kAnalyticDerivatives);
  const auto rows = m.Rows();
  ASSERT_EQ(rows.size(), 2u);
  const std::uint32_t flags = daes::kEvalResidual | daes::kEvalDerivatives;
  daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  library.residual = FakeResidual;
  library.procoutput = FakeOutput;
  library.procderivs = FakeDerivs;
  g_asked.clear();
  g_residual = 0.125;
  g_derivs[0] = -0.25, g_derivs[1] = -9.0, g_derivs[2] = -0.5;
  const int before = *calls;
  std::uint32_t number = 7;
  for (DAESProcSolverEquation* row : rows) {
    row->SetCompiledNumber(number++);
    ASSERT_EQ(row->Evaluate(flags, nullptr), 0u);
    double residual = 0;
    row->ResidualValue(&residual);
    EXPECT_EQ(residual, 0.125);
    std::vector<double> seen;
    for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
      const std::string name = m.problem->GetVariable(i)->GetNameText();
      if (name.find(".u1") != std::string::npos || name.find(".u2") != std::string::npos) {
        seen.push_back(row->DerivativeFor(m.problem->GetVariable(i)));
      }
    }
    EXPECT_EQ(seen, (std::vector<double>{-0.25, -0.5}));  // the parameter's entry skipped
    EXPECT_DOUBLE_EQ(row->DerivativeFor(row->OutputElement()), 1.0);
  }
  EXPECT_EQ(*calls, before);
  EXPECT_EQ(g_asked, (std::vector<std::string>{"residual 7", "output 7", "derivs 7", "residual 8",
                                               "output 8", "derivs 8"}));
  // A failed call gives the status the library printed it with, a user
  // error code as the interpreter's for code 3; the procedure is not called
  // again.
  g_residual = std::numeric_limits<double>::quiet_NaN();
  g_printed = 0xA031FFFFu;
  DAESVarTableEntry* u1 = nullptr;
  for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
    if (std::string(m.problem->GetVariable(i)->GetNameText()).find(".u1") != std::string::npos)
      u1 = m.problem->GetVariable(i);
  }
  ASSERT_NE(u1, nullptr);
  u1->SetValue(-1.0);
  EXPECT_EQ(rows[0]->Evaluate(flags, nullptr), procstatus::kError);
  g_printed = 0x8000028Fu;  // an output that is no number
  EXPECT_EQ(rows[0]->Evaluate(flags, nullptr), 0x8000028Fu);
  g_printed = 0;
  EXPECT_EQ(rows[0]->Evaluate(flags, nullptr), daes::kNonFiniteResidual);
  EXPECT_EQ(*calls, before);
  // The interpreter when asked for, whatever the library.
  g_asked.clear();
  u1->SetValue(1.5);
  ASSERT_EQ(rows[0]->Evaluate(flags | daes::kEvalInterpreted, nullptr), 0u);
  EXPECT_TRUE(g_asked.empty());
  library = daes::CompiledLibrary{};
  platform::CloseLibrary(procs.handle, &ignored);
}

TEST(CompiledEquationsBuild, ProcedureCallsEqualTheInterpreter) {
  struct Case {
    const char* entry;
    std::uint32_t language;
    std::uint32_t options;
  };
  const Case cases[] = {{"cpair", procdef::kLanguageC, procdef::kAnalyticDerivatives},
                        {"fpair", procdef::kLanguageFortran, procdef::kAnalyticDerivatives},
                        {"cpair", procdef::kLanguageC, 0}};
  std::string ignored;
  platform::LibraryOpen procs = platform::OpenLibrary(kLibrary);
  ASSERT_NE(procs.handle, nullptr) << procs.error;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " " + std::to_string(c.options));
    testsupport::TempDir dir;
    PairModel m(c.entry, c.language, c.options);
    ASSERT_NE(m.problem, nullptr);
    Loaded library;
    std::int32_t entries = 0;
    ASSERT_TRUE(Build(*m.problem, dir.path(), &library, &entries));
    auto set_function = reinterpret_cast<void (*)(int, void*)>(
        platform::LibrarySymbol(library.handle, "set_function"));
    ASSERT_NE(set_function, nullptr);
    const std::string symbol =
        c.language == procdef::kLanguageFortran ? "SU55IF_" + std::string(c.entry) : c.entry;
    set_function(0, platform::LibrarySymbol(procs.handle, symbol.c_str()));
    std::vector<double> x(static_cast<std::size_t>(m.problem->VariableCount()) + 1, 0.0);
    auto take_values = [&] {
      for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
        DAESVarTableEntry* v = m.problem->GetVariable(i);
        x[static_cast<std::size_t>(m.problem->ColumnOf(v) - 1)] = v->GetRealValue();
      }
      library.setx(x.data());
    };
    std::mt19937 rng(11);
    for (int point = 0; point < 4; ++point) {
      for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
        m.problem->GetVariable(i)->SetValue(std::uniform_real_distribution<double>(0.1, 3.0)(rng));
      }
      if (c.options != 0) {
        Compare(*m.problem, library, entries);
      } else {
        // Difference quotients on both sides: the residuals alike, the
        // entries near.
        take_values();
        for (DAESProcSolverEquation* row : m.Rows()) {
          ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
          double interpreted = 0;
          row->ResidualValue(&interpreted);
          EXPECT_TRUE(Near(daes::CurrentCompiledLibrary().residual(row->CompiledNumber()),
                           interpreted, 1e-12));
          std::vector<double> J(static_cast<std::size_t>(entries), 0.0);
          library.jacobian(row->CompiledNumber(), J.data());
          const int* pattern = library.columns(row->CompiledNumber());
          // The entries of the rows written before this one come first.
          std::int32_t offset = 0;
          for (std::int32_t i = 0; m.problem->GetEquation(i) != row; ++i) {
            offset += static_cast<std::int32_t>(
                static_cast<DAESSolverEquation*>(m.problem->GetEquation(i))
                    ->ColumnPattern()
                    .size());
          }
          for (int k = 1; k <= pattern[0]; ++k) {
            DAESVarTableEntry* v = m.problem->GetVariable(pattern[k] - 1);
            EXPECT_NEAR(J[static_cast<std::size_t>(offset + k - 1)], row->DerivativeFor(v), 1e-5)
                << v->GetNameText();
          }
        }
      }
    }
    // With the library active and its own call made: the same residuals
    // and derivative rows as the interpreter.
    if (c.options != 0) {
      daes::CompiledLibrary& active = daes::CurrentCompiledLibrary();
      active.procoutput = reinterpret_cast<double (*)(std::uint32_t)>(
          platform::LibrarySymbol(library.handle, "procoutput"));
      active.procderivs = reinterpret_cast<double* (*)(std::uint32_t)>(
          platform::LibrarySymbol(library.handle, "procderivs"));
      ASSERT_NE(active.procoutput, nullptr);
      ASSERT_NE(active.procderivs, nullptr);
      take_values();
      for (DAESProcSolverEquation* row : m.Rows()) active.residual(row->CompiledNumber());
      for (DAESProcSolverEquation* row : m.Rows()) {
        const std::uint32_t flags = daes::kEvalResidual | daes::kEvalDerivatives;
        ASSERT_EQ(row->Evaluate(flags | daes::kEvalInterpreted, nullptr), 0u);
        double interpreted = 0, compiled = 0;
        row->ResidualValue(&interpreted);
        std::vector<double> want, got;
        for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
          want.push_back(row->DerivativeFor(m.problem->GetVariable(i)));
        }
        ASSERT_EQ(row->Evaluate(flags, nullptr), 0u);
        row->ResidualValue(&compiled);
        EXPECT_TRUE(Near(compiled, interpreted, 1e-12)) << compiled << " vs " << interpreted;
        for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
          EXPECT_TRUE(Near(row->DerivativeFor(m.problem->GetVariable(i)),
                           want[static_cast<std::size_t>(i)], 1e-12));
        }
      }
      active.procoutput = nullptr;
      active.procderivs = nullptr;
    }
    // A failing call: the fail code reaches the compiled check.
    const auto* last_fail =
        static_cast<const int*>(platform::LibrarySymbol(library.handle, "g_last_fail"));
    ASSERT_NE(last_fail, nullptr);
    DAESProcSolverEquation* first = m.Rows()[0];
    DAESVarTableEntry* u1 = m.problem->GetVariable(0);
    for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
      if (std::string(m.problem->GetVariable(i)->GetNameText()).find(".u1") != std::string::npos) {
        u1 = m.problem->GetVariable(i);
      }
    }
    u1->SetValue(-1.0);
    take_values();
    daes::CurrentCompiledLibrary().residual(first->CompiledNumber());
    EXPECT_EQ(*last_fail, 3);
  }
  platform::CloseLibrary(procs.handle, &ignored);
}

// (y1, y2) = bytes(x, n[3], t[2]) with no problem: the values stand for
// the variables in both the interpreted and the compiled call.
struct ArrayModel {
  ArrayModel(std::uint32_t language, const char* second_text) {
    definition.SetLanguage(language);
    definition.SetImplementationName(language == procdef::kLanguageFortran ? "fbytes" : "cbytes");
    definition.SetLibrary(kLibrary.c_str());
    definition.SetInterfaceVersion(2);
    FindProcGenerator slots;
    definition.WriteFindProc(slots);
    x.SetValue(0.75);
    const double values[3] = {-3, 2000000000, 41};
    auto* ints = new DAESArray(SUValue::kInteger);
    for (int i = 0; i < 3; ++i) {
      n[i].SetValue(values[i]);
      ints->SetMember(i + 1, new DAESScalar(&n[i]));
    }
    t[0].ValuePointer()->SetString("water");
    t[1].ValuePointer()->SetString(second_text);
    auto* texts = new DAESArray(SUValue::kString);
    for (int i = 0; i < 2; ++i) texts->SetMember(i + 1, new DAESScalar(&t[i]));
    const Ref vx = Var(0), vn = Var(1, SUValue::kOneDimension | SUValue::kInteger),
              vt = Var(2, SUValue::kOneDimension | SUValue::kString), vy1 = Var(3), vy2 = Var(4);
    const Ref in = ListOf<ProcIOListExpression>({&vx, &vn, &vt}, 0);
    const Ref out = ListOf<ProcIOListExpression>({&vy1, &vy2}, 0);
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                        static_cast<ProcIOListExpression*>(out.get()));
    call->Bind(&definition);
    node = std::make_unique<DAESProcedureNode>(nullptr, "P.bytes", call, 0);
    node->SetRowElements(
        {new DAESScalar(&x), ints, texts, new DAESScalar(&y1), new DAESScalar(&y2)}, 3);
    EXPECT_EQ(node->ApplyToSubtree(&list, nullptr, 0, 0, nullptr), 0u);
  }
  DAESProcSolverEquation* Row(int k) {
    return static_cast<DAESProcSolverEquation*>(list.GetEquation(k));
  }

  DAESProcDefWithExceptionHandler definition;
  DAESRealVariable x{nullptr, "x"};
  DAESParameter n[3] = {{".n1", nullptr, 16}, {".n2", nullptr, 16}, {".n3", nullptr, 16}};
  DAESParameter t[2] = {{".t1", nullptr, 17}, {".t2", nullptr, 17}};
  DAESRealVariable y1{nullptr, "y1"};
  DAESRealVariable y2{nullptr, "y2"};
  std::unique_ptr<DAESProcedureNode> node;
  DAESSolverEquationList list;
};

// The procedure hashes every input byte it is given: the compiled call
// must hand it the interpreted call's bytes (64-bit integers, texts in
// place, a long C text cut at 39 characters).
TEST(CompiledEquationsBuild, ArrayArgumentsReachTheProcedureAsInterpreted) {
  struct Case {
    std::uint32_t language;
    const char* second;
  };
  const std::string long_text(45, 'q');
  const Case cases[] = {{procdef::kLanguageC, "say \"hi\""},
                        {procdef::kLanguageC, long_text.c_str()},
                        {procdef::kLanguageC, ""},
                        {procdef::kLanguageFortran, "say \"hi\""},
                        {procdef::kLanguageFortran, ""}};
  std::string ignored;
  platform::LibraryOpen procs = platform::OpenLibrary(kLibrary);
  ASSERT_NE(procs.handle, nullptr) << procs.error;
  const auto* calls = static_cast<const int*>(platform::LibrarySymbol(procs.handle, "g_calls"));
  ASSERT_NE(calls, nullptr);
  for (const Case& c : cases) {
    const bool fortran = c.language == procdef::kLanguageFortran;
    SCOPED_TRACE(std::string(fortran ? "FORTRAN " : "C ") + c.second);
    ArrayModel m(c.language, c.second);
    ASSERT_EQ(m.list.EquationCount(), 2);
    double want[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
      ASSERT_EQ(m.Row(k)->Evaluate(daes::kEvalResidual, nullptr), 0u);
      m.Row(k)->ResidualValue(&want[k]);
      want[k] = -want[k];  // the outputs' variables hold 0
    }
    ASSERT_EQ(want[0], 0.75 - 3 + 10.0 * 2000000000 + 100 * 41);

    std::ostringstream sites, body;
    daes::EquationCState state(sites);
    DAESProcContext* context = m.Row(0)->ProcContext();
    ASSERT_EQ(context->WriteCallWrapper(state, -1, 0, 0, false, 0), 0u);
    ASSERT_EQ(context->WriteCallWrapper(state, 1, -1, 0, false, 0), 0u);
    ASSERT_EQ(context->WriteCallWrapper(state, 2, -1, 1, false, 0), 0u);
    ASSERT_EQ(state.sections.size(), 1u);
    EXPECT_TRUE(state.sections[0]->closed);
    const std::string wrapper = state.sections[0]->text.str();
    EXPECT_NE(wrapper.find("  int *piArgs = (int *)&pdInputs[1];\n  PACKINTVECINPUT(0,-3);\n"
                           "  piArgs = (int *)&pdInputs[1];\n  PACKINTVECINPUT(1,2000000000);\n"),
              std::string::npos)
        << wrapper;
    // The text table lies past the call's own data: flag, 14 inputs, 2 outputs.
    EXPECT_EQ(wrapper.find("(char **)&g_pInstance->pProcData[17];") != std::string::npos,
              !fortran)
        << wrapper;
    EXPECT_EQ(state.proc_data, fortran ? 17 : 19);
    state.out = &body;
    daes::EmitCodeSections(state, true);
    testsupport::TempDir dir;
    void* handle = nullptr;
    ASSERT_TRUE(CompileShared(testsupport::GeneratedRuntimeStub(2) + body.str() +
                                  "double output(int k) { res = 0; Fn1(k, 0); return res; }\n"
                                  "double* inputs(void) { return &g_pInstance->pProcData[1]; }\n",
                              dir.path(), &handle));
    auto set_function = reinterpret_cast<void (*)(int, void*)>(
        platform::LibrarySymbol(handle, "set_function"));
    auto output = reinterpret_cast<double (*)(int)>(platform::LibrarySymbol(handle, "output"));
    auto inputs = reinterpret_cast<double* (*)()>(platform::LibrarySymbol(handle, "inputs"));
    ASSERT_NE(set_function, nullptr);
    ASSERT_NE(output, nullptr);
    ASSERT_NE(inputs, nullptr);
    const std::string entry = fortran ? "SU55IF_fbytes" : "cbytes";
    set_function(m.definition.GetProcIndex(),
                 platform::LibrarySymbol(procs.handle, entry.c_str()));
    const int before = *calls;
    EXPECT_EQ(output(1), want[0]);
    EXPECT_EQ(output(2), want[1]);
    EXPECT_EQ(*calls, before + 1);  // unchanged inputs: one call for both outputs
    if (!fortran) {
      EXPECT_EQ(std::memcmp(inputs(), m.Row(0)->ProcContext()->Data().Inputs().values.data(),
                            14 * sizeof(double)),
                0);
    }
    // A slot overwritten behind the packing's back is packed again and
    // the procedure called again, to the same outputs.
    for (const int slot : {2, 9}) {
      std::memset(inputs() + slot, 0x55, sizeof(double));
      EXPECT_EQ(output(2), want[1]) << slot;
    }
    EXPECT_EQ(*calls, before + 3);
    platform::CloseLibrary(handle, &ignored);
  }
  platform::CloseLibrary(procs.handle, &ignored);
}

}  // namespace
