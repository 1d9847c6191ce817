// The C++ texts that expression nodes write for compiled equations: the
// writer's utilities, constants and names, unary and binary value and
// derivative texts, aggregate functions, procedure registration, set-index
// expansion and the builder calls.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "expr/codegen/code_writer.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "tests/expr/expr_builders.h"
#include "tests/support/temp_dir.h"

using namespace exprtest;

namespace {

// A writer with every stream in memory.
struct Writer {
  Writer() {
    for (int i = 0; i < codestream::kCount; ++i) out.stream[i] = &s[i];
  }
  std::string Value(Expression* e, std::uint32_t flags = 0) {
    Clear();
    last = e->WriteValueCode(w, out, flags);
    return s[codestream::kValue].str();
  }
  std::string Derivative(Expression* e, std::int32_t d) {
    Clear();
    last = e->WriteDerivativeCode(w, out, d);
    return s[codestream::kValue].str();
  }
  std::string Stream(int i) const { return s[i].str(); }
  void Clear() {
    for (auto& stream : s) stream.str("");
  }
  ExprCodeWriter w;
  std::ostringstream s[codestream::kCount];
  CodeOutputs out;
  Status last = 0;
};

std::string Constant(const SUValue& v, const char* name = nullptr) {
  ExprCodeWriter w;
  std::ostringstream out;
  WriteConstant(w, out, v, name);
  return out.str();
}

SUValue RealV(double x) {
  SUValue v;
  v.SetType(SUValue::kReal);
  v.SetReal(x);
  return v;
}

SUValue IntSetV(std::initializer_list<std::int32_t> members) {
  SUValue v;
  v.SetType(SUValue::kIntSet);
  for (std::int32_t m : members) v.AddInt(m);
  return v;
}

Ref Name(const char* name, std::uint16_t flags = 0) {
  Ref r = Text(name, SUValue::kName);
  r->SetFlags(flags);
  return r;
}

// Records every builder call as one line.
class RecordingBuilder : public ICodeBuilder {
 public:
  Status QueryInterface(const platform::IID&, void** object) override {
    *object = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status LinkArgument(platform::BSTR a, platform::BSTR b, platform::IUnknown** out) override {
    return Note("Link " + S(a) + " " + S(b), out);
  }
  Status AnnounceName(platform::BSTR a, std::int32_t kind, platform::BSTR b,
                      platform::IUnknown** out) override {
    return Note("Announce " + S(a) + " " + std::to_string(kind) + " " + S(b), out);
  }
  Status DescribeIntegerValue(platform::BSTR a, std::int32_t type, std::int32_t v,
                              platform::IUnknown** out) override {
    return Note("Integer " + S(a) + " " + std::to_string(type) + " " + std::to_string(v), out);
  }
  Status DescribeRealValue(platform::BSTR a, std::int32_t type, double v,
                           platform::IUnknown** out) override {
    return Note("Real " + S(a) + " " + std::to_string(type) + " " + RealLiteral(v), out);
  }
  Status DescribeLogicalValue(platform::BSTR a, std::int32_t type, std::int32_t v,
                              platform::IUnknown** out) override {
    return Note("Logical " + S(a) + " " + std::to_string(type) + " " + std::to_string(v), out);
  }
  Status DescribeStringValue(platform::BSTR a, std::int32_t type, platform::BSTR v,
                             platform::IUnknown** out) override {
    return Note("String " + S(a) + " " + std::to_string(type) + " " + S(v), out);
  }
  Status AddIntegerSetElement(platform::BSTR a, std::int32_t type, std::int32_t v,
                              platform::IUnknown** out) override {
    return Note("IntElement " + S(a) + " " + std::to_string(type) + " " + std::to_string(v), out);
  }
  Status AddStringSetElement(platform::BSTR a, std::int32_t type, platform::BSTR v,
                             platform::IUnknown** out) override {
    return Note("StrElement " + S(a) + " " + std::to_string(type) + " " + S(v), out);
  }

  std::vector<std::string> calls;
  Status fail_with = 0;

 private:
  static std::string S(platform::BSTR b) { return platform::Utf8FromBstr(b); }
  Status Note(std::string call, platform::IUnknown** out) {
    *out = nullptr;
    calls.push_back(std::move(call));
    return fail_with;
  }
};

TEST(CodeWriter, ConstantsAsCppLiterals) {
  EXPECT_EQ(Constant(RealV(2.5)), "2.5");
  EXPECT_EQ(Constant(RealV(100.0)), "100.");
  EXPECT_EQ(Constant(RealV(1.0)), "1.");
  EXPECT_EQ(Constant(RealV(1e-20)), "9.9999999999999995e-21");
  EXPECT_EQ(Constant(SUValue::ConstructInt(-7, SUValue::kInteger)), "-7");
  EXPECT_EQ(Constant(SUValue::ConstructInt(1, SUValue::kLogical)), "true");
  EXPECT_EQ(Constant(SUValue::ConstructInt(4, SUValue::kSpecification)), "ESpecFixed");
  EXPECT_EQ(Constant(SUValue::ConstructInt(32, SUValue::kSpecification)), "ESpecVary");
  EXPECT_EQ(Constant(SUValue::ConstructInt(3, SUValue::kSpecification)), "(QV_SpecType)3");
  SUValue text;
  text.SetType(SUValue::kString);
  text.SetString("ab");
  EXPECT_EQ(Constant(text), "(CONST_CHAR_STAR)_T(\"ab\\0\")");

  EXPECT_EQ(Constant(IntSetV({1, 2, 3, 7})), "QV_IntSetValue(_T(\"1\\\":3\\\"7\\\"\"))");
  EXPECT_EQ(Constant(IntSetV({4, 5}), "s"), "QV_IntSetValue s(_T(\"4\\\":5\\\"\"))");
  EXPECT_EQ(Constant(IntSetV({}), "s"), "QV_IntSetValue s");
  EXPECT_EQ(Constant(IntSetV({})), "(QV_IntSetValue())");
  SUValue empty;
  empty.SetType(SUValue::kEmptySet);
  EXPECT_EQ(Constant(empty), "(QV_SetValue())");
  EXPECT_EQ(Constant(empty, "e"), "QV_SetValue e");
  SUValue names;
  names.SetType(SUValue::kStringSet);
  names.AddString("water");
  names.AddString("air");
  EXPECT_EQ(Constant(names), "QV_StrSetValue(_T(\"air\\\"water\\\"\"))");
  EXPECT_EQ(Constant(SUValue()), "");
}

TEST(CodeWriter, IdentifiersIndentationAndIteratorParameters) {
  ExprCodeWriter w;
  EXPECT_EQ(CIdentifier(w, "Flow_in"), "FLOW_IN");
  EXPECT_EQ(CIdentifier(w, "Blocks(\"b1\")"), "_B_B1");
  // Outside the indexed form the result is still an identifier.
  EXPECT_EQ(CIdentifier(w, "x\"a b"), "X_A_B");
  EXPECT_EQ(CIdentifier(w, "Blocks(\"b1"), "BLOCKS__B1");
  // No character of a name may become code of its own.
  EXPECT_EQ(CIdentifier(w, "x(\"a;exit(1\")"), "_X_A_EXIT_1");
  EXPECT_EQ(CIdentifier(w, "a;b\n"), "A_B_");
  std::ostringstream literal;
  WriteStringLiteral(w, literal, "say \"hi\"\\\n");
  EXPECT_EQ(literal.str(), "(CONST_CHAR_STAR)_T(\"say \\\"hi\\\"\\\\\\n\\0\")");
  std::ostringstream wide;
  WriteWideLiteral(wide, "x", "Model.");
  EXPECT_EQ(wide.str(), "_T(\"Model.x\\0\")");

  std::ostringstream out;
  Indent(w, out, 2);  // level 0 writes nothing
  Indent(w, out, -1) << '|';
  ChangeIndent(w, 1, out) << '|';
  EXPECT_EQ(out.str(), "    |    |");

  auto params = [](std::vector<std::uint16_t> types, bool declare, bool term, bool minmax) {
    std::ostringstream s;
    WriteSetIterParams(types, s, declare, term, minmax);
    return s.str();
  };
  EXPECT_EQ(params({}, true, false, false), "()");
  EXPECT_EQ(params({5, 2}, true, true, true),
            "(QV_StringSetIter &QV_VSI1, QV_IntegerSetIter &QV_VSI2, int iTermToIgnore=-1, "
            "double dMinMax=0.0)");
  EXPECT_EQ(params({2}, false, true, true), "(QV_VSI1, iTerm++, dMinMax)");
  EXPECT_EQ(params({}, false, false, true), "(dMinMax)");
  EXPECT_EQ(params({}, true, true, false), "(int iTermToIgnore=-1)");
}

TEST(CodeWriter, AppendFileToTextAppendsAndDeletes) {
  testsupport::TempDir dir;
  const std::string folder = dir.path().string() + "/";
  std::ofstream(folder + "Sigma1") << "double Sigma1() {\n} //end\n";
  std::string text = "head\n";
  AppendFileToText(text, folder.c_str(), "Sigma1");
  EXPECT_EQ(text, "head\ndouble Sigma1() {\n} //end\n");
  EXPECT_FALSE(std::ifstream(folder + "Sigma1").good());
  AppendFileToText(text, folder.c_str(), "Sigma1");
  EXPECT_EQ(text, "head\ndouble Sigma1() {\n} //end\n");
}

TEST(CodeWriter, TerminalNamesUnderEachFlag) {
  Writer wr;
  const Ref flow = Name("flow");
  EXPECT_EQ(wr.Value(flow.get()), "(*FLOW)");
  EXPECT_EQ(wr.Stream(1), "(*FLOW)");
  EXPECT_EQ(wr.Value(flow.get(), 0x800), "FLOW");
  // Only the value stream.
  EXPECT_EQ(wr.Value(flow.get(), 0x100), "(*FLOW)");
  EXPECT_EQ(wr.Stream(1), "");
  EXPECT_EQ(wr.Value(flow.get(), 0x380), "(*FLOW)");
  EXPECT_EQ(wr.Stream(2), "(*FLOW)");
  EXPECT_EQ(wr.Value(flow.get(), 0x80), "(*FLOW)");
  EXPECT_EQ(wr.Stream(codestream::kMirror), "(*FLOW)");
  EXPECT_EQ(wr.Value(flow.get(), 0x10000), "(*FLOW)");

  const Ref derivative = Name("Derivative", 0x0800);
  EXPECT_EQ(wr.Value(derivative.get()), "DERIVATIVE()");
  EXPECT_EQ(wr.Stream(1), ".DERIVATIVE()");
  const Ref value = Name("Value", 0x0800);
  EXPECT_EQ(wr.Value(value.get()), "VALUE()");
  EXPECT_EQ(wr.Stream(1), ".VALUE()");
  const Ref spec = Name("spec", 0x0800);
  EXPECT_EQ(wr.Value(spec.get()), "SPEC()");
  EXPECT_EQ(wr.Stream(2), "SPEC()");

  SUValue iterator;
  iterator.SetType(SUValue::kName);
  iterator.SetString("i");
  iterator.name.second = 2;
  iterator.name.third = 3;
  const Ref loop = Hold(new TerminalExpression(iterator, SUValue::kName));
  EXPECT_EQ(wr.Value(loop.get()), "QV_VSI3");

  // A constant also goes to the operation stream as a term.
  const Ref two = Real(2.0);
  EXPECT_EQ(wr.Value(two.get()), "2.");
  EXPECT_EQ(wr.Stream(2), "2.AddTerm(2., eq_count-1);\n");
  EXPECT_EQ(wr.Value(two.get(), 0x4000), "2.");
  EXPECT_EQ(wr.Stream(2), "2.");
}

// Variables that write their own names.
struct Variables {
  Ref Of(const char* name) {
    held.push_back(std::make_unique<TestVariable>(name, 1.0));
    return Hold(new VariableExpression(held.back().get()));
  }
  std::vector<std::unique_ptr<TestVariable>> held;
};

TEST(CodeWriter, UnaryAndBinaryValueTexts) {
  Writer wr;
  Variables v;
  const Ref x = v.Of("x"), y = v.Of("y");
  const std::uint32_t plain = 0x8000;
  EXPECT_EQ(wr.Value(U(kSin, x).get(), plain), "sin(double(x))");
  EXPECT_EQ(wr.Stream(2), "AddOp((EOp)26,eq_count-1);\nsin(double(x))");
  EXPECT_EQ(wr.Value(U(kMinus, x).get(), plain), "(-(x))");
  EXPECT_EQ(wr.Value(U(kSqr, x).get(), plain), "sqr(x)");
  EXPECT_EQ(wr.Value(B(kPow, x, y).get(), plain), "pow(double(x),double(y))");
  EXPECT_EQ(wr.Value(B(kDiv, x, y).get(), plain), "(x/double(y))");
  EXPECT_EQ(wr.Value(B(kMax, x, y).get(), plain), "QV_max(x,y)");
  EXPECT_EQ(wr.Value(B(kAdd, x, y).get()), "(x+y)");
  EXPECT_EQ(wr.Stream(2), "(AddOp(Terminal, eq_count-1);\nx+AddOp(Terminal, eq_count-1);\ny)");
  const Ref a = Name("a"), b = Name("b");
  const Ref sa = U(kDeRef, a, SUValue::kString), sb = U(kDeRef, b, SUValue::kString);
  EXPECT_EQ(wr.Value(B(kLt, sa, sb).get(), 0x80), "(SUValue::CompareCI((*A).v(),(*B).v())<0)");
  EXPECT_EQ(wr.Stream(codestream::kMirror), wr.Stream(codestream::kValue));

  // Index chains and dotted names.
  const Ref one = Int(1), two = Int(2);
  const Ref indexed =
      Ref(MakeIndexedName(kVec, Ref(MakeIndexedName(kVec, a.get(), one.get())).get(), two.get()));
  EXPECT_EQ(wr.Value(indexed.get(), 0x4800), "A(1,2)");
  const Ref dotted = Ref(MakeIndexedName(kSubId, a.get(), b.get()));
  EXPECT_EQ(wr.Value(dotted.get(), 0x4000), "(*(*A)).(*B)");
  const Ref field = Name("T", 0x0800);
  EXPECT_EQ(wr.Value(Ref(MakeIndexedName(kSubId, a.get(), field.get())).get(), 0x4800), "A.T()");

  // Rows without code leave a marker the compiler reports.
  EXPECT_EQ(wr.Value(B(kMatmul, x, y).get(), plain), " ***NotImplOperator Matmul *** ");
  EXPECT_EQ(wr.last, 1u);
  EXPECT_EQ(wr.Value(U(kTrans, x).get(), plain), "***NOT implemented unary operator48***");
  EXPECT_EQ(wr.last, 1u);
}

TEST(CodeWriter, DerivativeChains) {
  Writer wr;
  Variables v;
  const Ref x = v.Of("x");
  EXPECT_EQ(wr.Derivative(U(kSin, x).get(), 1),
            "factor2=cos(double(x)) * factor1;\njac[nz_count++]=factor2;\n");
  EXPECT_EQ(wr.Derivative(U(kLoge, x).get(), 0),
            "factor1=1.0;\nfactor1=1.0/x;\njac[nz_count++]=factor1;\n");
  // A dereferenced name ends the chain.
  const Ref name = Name("p");
  const Ref deref = U(kDeRef, name, SUValue::kReal);
  EXPECT_EQ(wr.Derivative(deref.get(), 0), "jac[nz_count++]=1.0;\n");
  EXPECT_EQ(wr.Derivative(deref.get(), 3), "jac[nz_count++]=factor3;\n");
  EXPECT_EQ(wr.Derivative(B(kMul, deref, x).get(), 2),
            "factor3=x * factor2;\njac[nz_count++]=factor3;\n"
            "factor3=(*P) * factor2;\njac[nz_count++]=factor3;\n");
  // The delayed value enters the chain with 1 at its head.
  EXPECT_EQ(wr.Derivative(B(kDelay, x, Real(1.0)).get(), 0),
            "factor1=1.0;\nfactor1=1.0;\njac[nz_count++]=factor1;\nfactor1=0.0;\n");
  EXPECT_EQ(wr.last, 0u);

  EXPECT_EQ(wr.Derivative(B(kMod, x, x).get(), 1), " ***NotImplOperator Mod *** ");
  EXPECT_EQ(wr.last, 1u);
  const std::string sign = wr.Derivative(U(kSign, x).get(), 1);
  EXPECT_EQ(sign, "#pragma message (\"Derivative generation is not supported for the expression " +
                      Printed(U(kSign, x).get()) + "\")\n_export_failed_ ;\n");
  EXPECT_EQ(wr.last, 1u);

  // The guarded power derivative.
  const std::string pow = wr.Derivative(B(kPow, x, Real(3.0)).get(), 1);
  EXPECT_NE(pow.find("if (left!=0) factor2 = right*(temp/left)* factor1;"), std::string::npos);
  EXPECT_NE(pow.find("QLN_Print(0, (CONST_CHAR_STAR)_T(\"Calculating analytic derivative: left "
                     "of 'raise to power of' must not be zero\\0\")); }"),
            std::string::npos);
  EXPECT_EQ(pow.find("must not be negative"), std::string::npos);
}

TEST(CodeWriter, ForEachAggregateFunctions) {
  testsupport::TempDir dir;
  Writer wr;
  wr.w.function_folder = dir.path().string() + "/";
  const Ref i = Name("i");
  const Ref set = IntSet({1, 2, 3});
  const Ref term = B(kMul, U(kDeRef, i, SUValue::kInteger), Real(2.0));
  const Ref each = Hold(new BinaryExpression(kForEach, term.get(), set.get(), 0x104));
  const Ref sum = U(kSigma, ListOf({&each}));
  EXPECT_EQ(wr.Value(sum.get(), 0x100), "(Sigma1())");
  std::string text;
  AppendFileToText(text, wr.w.function_folder.c_str(), "Sigma1");
  EXPECT_EQ(text,
            "double Sigma1() {\n"
            "  double result=0.0;\n"
            "  QV_IntegerSetIter QV_VSI1(QV_IntSetValue(_T(\"1\\\":3\\\"\")));\n"
            "  while (QV_VSI1.Next()) {\n"
            "    result+=(2.*double((*I)));\n"
            "  } //close inner loop in Sigma1\n"
            "  return result;\n"
            "} //end of Sigma1\n");
  // A comprehension outside an aggregate has no function to go into.
  EXPECT_EQ(wr.Value(each.get(), 0x100), " ***NotImplDefaultOperator*** ");
  EXPECT_EQ(wr.last, 1u);

  const Ref largest = U(kMaxList, ListOf({&each}));
  wr.Value(largest.get(), 0x100);
  text.clear();
  AppendFileToText(text, wr.w.function_folder.c_str(), "Max2");
  EXPECT_NE(text.find("double Max2(int iTermToIgnore=-1, double dMinMax=0.0) {\n"
                      "  double result=-DBL_MAX;\n"
                      "  bool bDoingDiff = iTermToIgnore!=-1;\n"),
            std::string::npos);
  EXPECT_NE(text.find("    double dTemp=(2.*double((*I)));\n"
                      "    if (bDoingDiff) {\n"
                      "      if (!iTermToIgnore--) return (dTemp==dMinMax) ? 1.0 : 0.0;\n"
                      "    } else\n"
                      "      result = QV_max(result,dTemp);\n"),
            std::string::npos);
}

// An aggregate function goes only into the folder the generator chose, and
// never through a link planted under its name: the file the link names
// keeps its bytes, and neither the write nor the read-back follows it.
TEST(CodeWriter, AggregateFunctionsGoOnlyIntoTheChosenFolder) {
  const Ref i = Name("i");
  const Ref set = IntSet({1, 2});
  const Ref each = Hold(new BinaryExpression(kForEach, U(kDeRef, i, SUValue::kInteger).get(),
                                             set.get(), 0x104));
  const Ref sum = U(kSigma, ListOf({&each}));

  Writer none;  // no folder chosen: nothing written, the writer fails
  EXPECT_EQ(none.Value(sum.get(), 0x100), "(Sigma1())");
  EXPECT_EQ(none.last, 1u);
  EXPECT_FALSE(std::ifstream("Sigma1").good());
  EXPECT_FALSE(std::ifstream(".Sigma1").good());

  testsupport::TempDir dir;
  const std::string victim = dir.path().string() + "/victim";
  std::ofstream(victim) << "keep me";
  ASSERT_EQ(::symlink(victim.c_str(), (dir.path() / "Sigma1").c_str()), 0);
  Writer planted;
  planted.w.function_folder = dir.path().string();  // no separator at its end
  planted.Value(sum.get(), 0x100);
  EXPECT_EQ(planted.last, 1u);
  std::string text;
  AppendFileToText(text, planted.w.function_folder.c_str(), "Sigma1");
  EXPECT_EQ(text, "");
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");

  // The next function of the same writer lands in the folder and is read
  // back whole.
  const Ref product = U(kProd, ListOf({&each}));
  planted.Value(product.get(), 0x100);
  EXPECT_EQ(planted.last, 0u);
  AppendFileToText(text, planted.w.function_folder.c_str(), "Prod2");
  EXPECT_EQ(text.rfind("double Prod2(int iTermToIgnore=-1) {\n", 0), 0u) << text;
  EXPECT_NE(text.find("} //end of Prod2\n"), std::string::npos) << text;
  EXPECT_FALSE(std::ifstream(dir.path() / "Prod2").good());
}

TEST(CodeWriter, ListsJoinByTheirAggregate) {
  Writer wr;
  const Ref a = Name("a"), b = Name("b"), c = Name("c");
  const std::uint32_t flags = 0x4900;
  EXPECT_EQ(wr.Value(U(kMaxList, ListOf({&a})).get(), flags), "(A)");
  // Two items become the binary maximum when the node is built.
  EXPECT_EQ(wr.Value(U(kMaxList, ListOf({&a, &b})).get(), flags), "QV_max(A,B)");
  EXPECT_EQ(wr.Value(U(kMaxList, ListOf({&a, &b, &c})).get(), flags), "(QV_max(A,QV_max(B,C)))");
  EXPECT_EQ(wr.Value(U(kProd, ListOf({&a, &b, &c})).get(), flags), "(A*B*C)");
  EXPECT_EQ(wr.Value(ListOf({&a, &b}).get(), flags), "A,B");
}

struct Definition : ProcedureDefinition {
  const char* DisplayName() const override { return "flash_calc"; }
  std::uint8_t OptionByte() const override { return option; }
  std::int32_t InterfaceFlag() const override { return 1; }
  std::vector<std::uint8_t> ArgumentDescriptions(bool outputs) const override {
    return outputs ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>{0, 1};
  }
  const BvuIdPath* ArgumentPath() const override { return nullptr; }
  void WriteClassCode(ExprCodeWriter&, CodeOutputs&, const std::string&) override {}
  std::uint8_t option = 0x08;
};

TEST(CodeWriter, ProcedureCallRegistration) {
  Writer wr;
  const Ref x = Var(0), y = Var(1);
  const Ref in = ListOf<ProcIOListExpression>({&x}, 0), out = ListOf<ProcIOListExpression>({&y}, 0);
  const Ref call = Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                               static_cast<ProcIOListExpression*>(out.get())));
  auto* node = static_cast<ProcCallExpression*>(call.get());
  Definition definition;
  node->Bind(&definition);
  const Ref size = Real(3.7);
  node->SetSizeExpression(size.get());
  wr.Value(call.get());
  EXPECT_EQ(wr.Stream(1),
            "QVProc_FLASH_CALC QVProc(true,3, &COMPONENTLIST);\n"
            "QVProc_FLASH_CALC *pQVProc = &QVProc;\n"
            "pQVProc->Argument(); { // register array elements\n"
            "  pQVProc->Argument(V1);\n"
            "}\n"
            "pQVProc->Argument(V2);\n");
  EXPECT_EQ(wr.Stream(2),
            "QVProc_FLASH_CALC *pQVProc = new QVProc_FLASH_CALC(false,3, &COMPONENTLIST);\n"
            "for (int iPass=0; iPass<2; iPass++) {\n"
            "  pQVProc->Argument(); { // register array elements\n"
            "    pQVProc->Argument(V1);\n"
            "  }\n"
            "  pQVProc->Argument(V2);\n"
            "  pQVProc->LastArgument();\n"
            "}\n");
  EXPECT_EQ(wr.w.class_name, "QVProc_FLASH_CALC");
  definition.option = 0;
  wr.Value(call.get());
  EXPECT_EQ(wr.Stream(1).substr(0, 33), "QVProc_FLASH_CALC QVProc(true,3);");
  EXPECT_EQ(wr.Derivative(call.get(), 0),
            "QV_ProcedureType *pP=ProcedureEquation(); if (pP) { int rc = pP->Jacobian(jac, "
            "nz_count); if (rc<0) return rc; }\n");
}

TEST(CodeWriter, ExpandSetIndicesMakesIterators) {
  const Ref x = Name("x");
  const Ref set = IntSet({1, 2});
  const Ref indexed = Ref(MakeIndexedName(kVec, x.get(), set.get()));
  EXPECT_EQ(indexed->GetResultType(), 0x106);
  SetIterators iterators;
  std::int32_t count = 1;
  iterators.Resize(1);
  EXPECT_EQ(indexed->ExpandSetIndices(4, iterators, nullptr, count), 0u);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(iterators.Count(), 2u);
  EXPECT_EQ(iterators.sets[0], nullptr);
  EXPECT_EQ(iterators.sets[1], set.get());
  EXPECT_EQ(indexed->GetResultType(), SUValue::kName);
  EXPECT_NE(Printed(indexed->Operand(2)).find("QV_VSI2"), std::string::npos);
  EXPECT_EQ(indexed->Operand(2)->Flags() & 0x0004, 0x0004);
  Writer wr;
  EXPECT_EQ(wr.Value(indexed.get(), 0x4800), "X(QV_VSI6)");

  // An iterator over strings against an integer index.
  SUValue names;
  names.SetType(SUValue::kStringSet);
  names.AddString("a");
  const Ref strings = Hold(new TerminalExpression(names, SUValue::kStringSet));
  const Ref again = Ref(MakeIndexedName(kVec, x.get(), set.get()));
  count = 0;
  EXPECT_EQ(again->ExpandSetIndices(0, iterators, strings.get(), count), 0x80300237u);
  EXPECT_EQ(iterators.sets[0]->Op(), kIntSect);

  // An array base keeps a dimension: it is removed and reported.
  const Ref array = Text("arr", 0x106);
  const Ref scalar_index = Ref(MakeIndexedName(kSubId, array.get(), x.get()));
  count = 0;
  EXPECT_EQ(scalar_index->ExpandSetIndices(0, iterators, nullptr, count), 0x80300230u);
  EXPECT_EQ(scalar_index->GetResultType(), SUValue::kName);
}

TEST(CodeWriter, SystemFunctionsReadTheirValueThroughTheSupportFunction) {
  RecordingBuilder builder;
  Writer wr;
  wr.w.builder = &builder;
  wr.w.notify_builder = true;
  wr.w.argument_name = "IArg0";
  const Ref time(NewSysFunExpression(FindOrRegisterSystemFunction("Time")));
  EXPECT_EQ(wr.Value(time.get()), "QV_Time()");
  EXPECT_EQ(wr.Stream(codestream::kNonZero), "QV_Time()");
  EXPECT_EQ(wr.Stream(codestream::kOperation), "QV_Time()");  // no operator line of its own
  EXPECT_EQ(wr.Stream(codestream::kMirror), "");
  EXPECT_EQ(builder.calls, (std::vector<std::string>{"Announce Time 20 IArg0"}));
  for (std::uint32_t value_only : {0x100u, 0x10000u}) {
    EXPECT_EQ(wr.Value(time.get(), value_only), "QV_Time()");
    EXPECT_EQ(wr.Stream(codestream::kNonZero), "");
    EXPECT_EQ(wr.Stream(codestream::kOperation), "");
  }
  EXPECT_EQ(wr.Value(time.get(), 0x10180), "QV_Time()");
  EXPECT_EQ(wr.Stream(codestream::kMirror), "QV_Time()");
  // In a sum the call stands where the operand's value goes.
  EXPECT_EQ(wr.Value(B(kAdd, time, Var(0)).get(), 0x10), "(QV_Time()+V1)");
  // A name that is no identifier writes no code of its own.
  const Ref odd(NewSysFunExpression(FindOrRegisterSystemFunction("a);b(")));
  EXPECT_EQ(wr.Value(odd.get()), "QV_a__b_()");
}

TEST(CodeWriter, BuilderHearsNamesValuesAndLinks) {
  RecordingBuilder builder;
  Writer wr;
  wr.w.builder = &builder;
  wr.w.notify_builder = true;
  const Ref x = Name("x");
  const Ref tree = B(kAdd, U(kDeRef, x, SUValue::kReal), Real(2.0));
  EXPECT_EQ(tree->DescribeToBuilder(wr.w), 0u);
  EXPECT_EQ(builder.calls, (std::vector<std::string>{
                               "Announce  17 19",
                               "Real  4 2.",
                               "Link L ",
                               "Announce R 17 42",
                               "Announce  20 x",
                               "Link RR R",
                               "Link R ",
                           }));
  builder.calls.clear();
  const Ref list = ListOf({&x});
  wr.w.argument_name = "IArg";
  list->DescribeToBuilder(wr.w);
  EXPECT_EQ(builder.calls,
            (std::vector<std::string>{"Announce IArgArg0 20 x", "Link IArgArg0 IArg"}));
  EXPECT_EQ(wr.w.argument_name, "IArg");
  builder.calls.clear();
  wr.w.DescribeValue("s", IntSetV({}));
  wr.w.DescribeValue("t", IntSetV({3, 4}));
  EXPECT_EQ(builder.calls, (std::vector<std::string>{"IntElement s 10 -999999", "IntElement t 10 3",
                                                     "IntElement t 10 4"}));
  // Off, nothing is sent; a failing call is raised.
  builder.calls.clear();
  wr.w.notify_builder = false;
  tree->DescribeToBuilder(wr.w);
  EXPECT_TRUE(builder.calls.empty());
  wr.w.notify_builder = true;
  builder.fail_with = 0x80004005u;
  try {
    tree->DescribeToBuilder(wr.w);
    ADD_FAILURE() << "no error raised";
  } catch (const CodeBuilderError& error) {
    EXPECT_EQ(error.status(), 0x80004005u);
  }
}

}  // namespace

namespace {

TEST(CodeWriter, IteratorLevelsOfExpandedIndices) {
  const Ref x = Name("x");
  const Ref set = IntSet({1, 2});
  const Ref indexed = Ref(MakeIndexedName(kVec, x.get(), set.get()));
  SetIterators iterators;
  std::int32_t count = 1;
  ASSERT_EQ(indexed->ExpandSetIndices(4, iterators, nullptr, count), 0u);
  std::vector<std::string> names;
  // Outside a loop only a positive offset passes.
  EXPECT_EQ(indexed->AssignIteratorLevels(0, names, 1, false), 0x8030FFFFu);
  EXPECT_EQ(indexed->AssignIteratorLevels(2, names, 1, false), 0u);
  EXPECT_TRUE(names.empty());
  // Inside one the iterator joins the list once and takes its new level.
  EXPECT_EQ(indexed->AssignIteratorLevels(2, names, 1, true), 0u);
  EXPECT_EQ(indexed->AssignIteratorLevels(2, names, 1, true), 0u);
  EXPECT_EQ(names, std::vector<std::string>{"QV_VSI2"});
  Writer wr;
  EXPECT_EQ(wr.Value(indexed.get(), 0x4800), "X(QV_VSI4)");
}

TEST(CodeWriter, ProductOverForEachDifferentiatesTermByTerm) {
  testsupport::TempDir dir;
  Writer wr;
  wr.w.function_folder = dir.path().string() + "/";
  const Ref i = Name("i");
  const Ref set = IntSet({1, 2});
  const Ref term = U(kDeRef, i, SUValue::kReal);
  const Ref each = Hold(new BinaryExpression(kForEach, term.get(), set.get(), 0x104));
  const Ref product = U(kProd, ListOf({&each}));
  EXPECT_EQ(wr.Derivative(product.get(), 0),
            "factor1=1.0;\n"
            "{ // Prod diff\n"
            "  int iTerm=0;\n"
            "  QV_IntegerSetIter QV_VSI1(QV_IntSetValue(_T(\"1\\\":2\\\"\")));\n"
            "  while (QV_VSI1.Next()) {\n"
            "    factor1=Prod1(iTerm++);\n"
            "    jac[nz_count++]=factor1;\n"
            "  } // end of iterator vars loop in diff\n"
            "} // end of Prod diff\n");
  std::string text;
  AppendFileToText(text, wr.w.function_folder.c_str(), "Prod1");
  EXPECT_NE(text.find("double Prod1(int iTermToIgnore=-1) {\n  double result=1.0;\n"),
            std::string::npos);
  EXPECT_NE(text.find("    if (iTermToIgnore--) result*=(*I);\n"), std::string::npos);
}

TEST(CodeWriter, CopiedTerminalsKeepValueAndTypeAndNewOnesAreEmpty) {
  Writer wr;
  const Ref text = Text("ab");
  const Ref copy = Hold(static_cast<Expression*>(text->Copy()));
  ASSERT_NE(copy.get(), text.get());
  EXPECT_EQ(copy->GetResultType(), SUValue::kString);
  EXPECT_STREQ(static_cast<TerminalExpression*>(copy.get())->Value().GetString(), "ab");
  EXPECT_EQ(wr.Value(copy.get()), wr.Value(text.get()));
  const Ref fresh = Hold(static_cast<Expression*>(text->NewEmpty()));
  EXPECT_EQ(fresh->ClassId(), exprclass::kTerminal);
  EXPECT_EQ(static_cast<TerminalExpression*>(fresh.get())->Value().GetString(), nullptr);
}

TEST(CodeWriter, PlainNodesAndVariableReferences) {
  Writer wr;
  const Ref time = Hold(new Expression(kTime, SUValue::kReal));
  EXPECT_EQ(wr.Value(time.get()), Printed(time.get()));
  EXPECT_EQ(wr.Stream(2), "AddOp((EOp)55,eq_count-1);\n" + Printed(time.get()));
  EXPECT_EQ(wr.Value(time.get(), 0x10100), Printed(time.get()));
  EXPECT_EQ(wr.Stream(1), "");

  const Ref v = Var(4);
  EXPECT_EQ(wr.Value(v.get()), "V5.v()");
  EXPECT_EQ(wr.Value(v.get(), 0x10), "V5");
  EXPECT_EQ(wr.Derivative(v.get(), 1), "");
  EXPECT_EQ(wr.last, 1u);
  EXPECT_EQ(wr.Stream(codestream::kMirror),
            "Derivatives not yet implemented in VarRefExpression V5\n");

  TestVariable flow("flow", 1.0);
  const Ref bound = Hold(new VariableExpression(&flow));
  EXPECT_EQ(wr.Value(bound.get()), "flow");
  EXPECT_EQ(wr.Stream(2), "AddOp(Terminal, eq_count-1);\nflow");
  EXPECT_EQ(wr.Value(bound.get(), 0x8000), "flow");
  EXPECT_EQ(wr.Stream(2), "flow");
  EXPECT_EQ(wr.Derivative(bound.get(), 0), "jac[nz_count++]=1.0;\n");
  EXPECT_EQ(wr.Derivative(bound.get(), 4), "jac[nz_count++]=factor4;\n");
}

}  // namespace

namespace {

TEST(CodeWriter, DereferencesWriteTheirStructureLines) {
  Writer wr;
  const Ref p = Name("p");
  const Ref deref = U(kDeRef, p, SUValue::kReal);
  EXPECT_EQ(wr.Value(deref.get()), "(*P)");
  EXPECT_EQ(wr.Stream(1), "AddNonZero((*P));\n");
  EXPECT_EQ(wr.Stream(2), "AddTerm((*P), irow, icol, eq_count-1);\n");
  // Under 0x0281 the operand is written plainly, with the value accessor.
  EXPECT_EQ(wr.Value(deref.get(), 0x0001), "(*P).v()");
  EXPECT_EQ(wr.Stream(1), "(*P).v()");
  EXPECT_EQ(wr.Value(deref.get(), 0x0400), "(*P).v()");
  EXPECT_EQ(wr.Stream(1), "AddNonZero((*P));\n");
}

TEST(CodeWriter, SetAndCallRows) {
  Writer wr;
  const Ref a = U(kDeRef, Name("a"), SUValue::kIntSet);
  const Ref b = U(kDeRef, Name("b"), SUValue::kIntSet);
  const std::uint32_t flags = 0x0100;
  EXPECT_EQ(wr.Value(B(kUnion, a, b, SUValue::kIntSet).get(), flags), "QV_IntSetValue((*A)+=(*B))");
  EXPECT_EQ(wr.Value(B(kIn, Int(2), b).get(), flags), "QV_In(2,(*B))");
  const Ref s = U(kDeRef, Name("s"), SUValue::kString);
  EXPECT_EQ(wr.Value(B(kConcat, s, s).get(), flags), "QV_Concat((*S),(*S))");
}

}  // namespace

namespace {

TEST(CodeWriter, AggregatesFrameTheirStructureLines) {
  Writer wr;
  const Ref a = Name("a"), b = Name("b"), c = Name("c");
  EXPECT_EQ(wr.Value(U(kSigma, ListOf({&a, &b, &c})).get(), 0x4800), "(A+B+C)");
  EXPECT_EQ(wr.Stream(1), "{ // Sigma\nA+B+C} // Sigma\n");
  EXPECT_EQ(wr.Stream(2), "{ // Sigma\nA+B+C} // Sigma\nAddOp(Noop, eq_count-1);\n");
  // Mirrored, the comment lines are left out.
  EXPECT_EQ(wr.Value(U(kSigma, ListOf({&a, &b, &c})).get(), 0x4880), "(A+B+C)");
  EXPECT_EQ(wr.Stream(codestream::kMirror), "(A+B+C)");
}

}  // namespace
