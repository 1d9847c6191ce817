// The compiled flowsheet library: its texts, switches and numbering, and a
// whole generation built with the installation's makefile stub, loaded
// through the loader and compared with the interpreter.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "codegen/flowsheet/compiled_flowsheet.h"
#include "daes/events/finite_state_equation.h"
#include "daes/events/implicit_event.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tree/proc_call_expression.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/values/packed_value.h"
#include "framework/libraries/library_loader.h"
#include "solve/options/solver_option_table.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/expr/expr_builders.h"

namespace fs = std::filesystem;
using namespace codegen_test;

namespace {

TEST(CompiledFlowsheet, EquationNamesAreNormalisedAndCompacted) {
  EXPECT_EQ(codegen::NormaliseEquationName("T101.\"Out flow\".q"), "T101.OUT FLOW.Q");
  EXPECT_EQ(codegen::CompactEquationName("A.QV_TRUE.B"), "ATB");
  EXPECT_EQ(codegen::CompactEquationName("A.QV_FALSE.B.C"), "AFB.C");
  EXPECT_EQ(codegen::CompactEquationName("X.QV_Y"), "X.Y");
  EXPECT_EQ(codegen::CompactEquationName("QV_X.Y"), "QV_X.Y");
  const std::string longer(200, 'N');
  EXPECT_EQ(codegen::CompactEquationName(longer).size(), 127u);
}

TEST(CompiledFlowsheet, DefineEqnsChainsBatchesInShortLines) {
  std::ostringstream none;
  codegen::DefineEqnsWriter empty(none);
  empty.Finish();
  EXPECT_EQ(none.str(), "static void DefineEqns(void) { }\n");

  std::ostringstream out;
  codegen::DefineEqnsWriter w(out);
  w.WriteBatch(1, 100);
  w.WriteBatch(101, 250);
  w.Finish();
  const std::string text = out.str();
  for (const std::string& line : Lines(text)) EXPECT_LT(line.size(), 255u) << line;
  EXPECT_EQ(
      text.rfind("static void DefineEqns1(void) { void (**p)(int) = &p_func[0];*p++=Eqn1;", 0), 0u);
  EXPECT_NE(text.find("static void DefineEqns2(void) { DefineEqns1(); void (**p)(int) = "
                      "&p_func[100];*p++=Eqn101;"),
            std::string::npos);
  EXPECT_NE(text.find("*p++=Eqn250;}\n"), std::string::npos);
  EXPECT_NE(text.find("\n/*"), std::string::npos);  // a long batch wraps
  EXPECT_TRUE(text.ends_with("static void DefineEqns(void) { DefineEqns2(); }\n"));
  // Every equation exactly once.
  for (int i = 1; i <= 250; ++i) {
    const std::string entry = "*p++=Eqn" + std::to_string(i) + ";";
    EXPECT_NE(text.find(entry), std::string::npos) << i;
  }
}

TEST(CompiledFlowsheet, ExportDefineEqnsNamesAndFlagsInShortLines) {
  std::vector<codegen::DefineEqnsWriter::Entry> entries;
  for (int i = 0; i < 40; ++i) {
    codegen::DefineEqnsWriter::Entry e;
    e.name = "Plant.\"Unit " + std::to_string(i) + "\".QV_TRUE.Balance";
    entries.push_back(e);
  }
  entries[1].torn = true;
  entries[2].conditional = true;
  entries[3].torn = entries[3].conditional = true;
  entries[4].procedure = true;
  entries[4].procedure_number = 2;
  entries[4].output_number = 1;
  entries[5].conditional = entries[5].procedure = true;
  std::ostringstream out;
  codegen::DefineEqnsWriter w(out);
  std::int32_t torn = 0;
  w.WriteExportBatch(1, entries, 45, &torn);
  w.WriteExportBatch(41, {entries[0]}, 45, &torn);
  w.Finish();
  const std::string text = out.str();
  EXPECT_EQ(torn, 2);
  for (const std::string& line : Lines(text)) EXPECT_LT(line.size(), 255u) << line;
  EXPECT_EQ(text.rfind("static void DefineEqns1(void) { g_i=0; /*SetEqnProc pFn=SetEqn0;*/ "
                       "memset(g_cEqnFlags, 0, 45); SetEqnNames(\"PLANT.UNIT 0TBALANCE\\0",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("SetEqn(Eqn1);SetEqn(Eqn2,EQN_TORN);SetEqn(Eqn3,EQN_COND);"
                      "SetEqn(Eqn4,EQN_TORN|EQN_COND);SetEqn(Eqn5,EQN_PROC,2,1);"
                      "SetEqn(Eqn6,EQN_COND|EQN_PROC,0,0);"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("static void DefineEqns2(void) { DefineEqns1(); SetEqnNames(\""),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("static void DefineEqns(void) { DefineEqns2(); }\n"));
}

TEST(CompiledFlowsheet, EnvironmentOverridesTheSwitches) {
  {
    ScopedVariable use("QLN_CE_USE", "0");
    EXPECT_FALSE(codegen::UseCompiledEvaluation(nullptr));
  }
  {
    ScopedVariable use("QLN_CE_USE", "no");
    EXPECT_TRUE(codegen::UseCompiledEvaluation(nullptr));
  }
  {
    ScopedVariable use("QLN_CE_USE", nullptr);
    EXPECT_FALSE(codegen::UseCompiledEvaluation(nullptr));
  }
  {
    // Longer than the buffer: the option decides.
    ScopedVariable keep("QLN_CE_KEEP", "1234567890");
    EXPECT_FALSE(codegen::KeepCompiledEvaluation(nullptr));
  }
  ScopedVariable keep("QLN_CE_KEEP", "yes");
  EXPECT_TRUE(codegen::KeepCompiledEvaluation(nullptr));
}

TEST(CompiledFlowsheet, LibraryNumbersSkipExistingSourcesAndNeverRepeat) {
  const fs::path folder = FreshFolder("tcexnames");
  std::ofstream(folder / "tcex0.cpp") << "";
  std::ofstream(folder / "tcex1.cpp") << "";
  // Another engine's build whose source is already gone.
  std::ofstream(folder / "Maketcex2") << "";
  std::set<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    const std::string name = codegen::NextCompiledLibraryName(folder.string());
    ASSERT_EQ(name.rfind("tcex", 0), 0u);
    EXPECT_GE(std::stoi(name.substr(4)), 3);
    // Claimed: an empty source that no other engine takes.
    EXPECT_TRUE(fs::exists(folder / (name + ".cpp")));
    EXPECT_TRUE(fs::is_empty(folder / (name + ".cpp")));
    EXPECT_TRUE(seen.insert(name).second) << name;
  }
  fs::remove_all(folder);
}

TEST(CompiledFlowsheet, NothingIsGeneratedWhenSwitchedOff) {
  daestest::Tree tree;
  ASSERT_EQ(tree.Read(daestest::Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  ScopedVariable use("QLN_CE_USE", "0");
  const fs::path folder = FreshFolder("ceoff");
  codegen::FlowsheetGeneration g;
  g.folder = folder.string();
  std::string library = "x";
  EXPECT_EQ(codegen::GenerateCompiledCode(g, problem.get(), &library, nullptr), 0u);
  EXPECT_TRUE(library.empty());
  EXPECT_TRUE(fs::is_empty(folder));
  fs::remove_all(folder);
}

std::string Command(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    pclose(pipe);
  }
  return text;
}

std::set<std::string> DynamicSymbols(const fs::path& library, const char* which) {
  std::set<std::string> names;
  std::istringstream in(Command("nm -D " + std::string(which) + " " + library.string()));
  for (std::string line; std::getline(in, line);) {
    const std::size_t space = line.rfind(' ');
    names.insert(line.substr(space + 1));
  }
  return names;
}

bool Near(double a, double b) {
  return std::fabs(a - b) <= 1e-14 * std::max(1.0, std::max(std::fabs(a), std::fabs(b)));
}

struct Generated {
  Generated() {
    folder = FreshFolder("flowsheet");
    generation.server_folder = (MakeInstallation(folder) / "bin").string();
    fs::copy_file(kInstall + "/flowsheetexportstub.cpp",
                  folder / "prefix" / "procedures" / "flowsheetexportstub.cpp");
    generation.folder = (folder / "build").string();
    fs::create_directories(generation.folder);
    generation.report = reports.Callback();
  }
  ~Generated() { codegen::LoadCompiledLibrary(nullptr, nullptr); }
  fs::path folder;
  Reports reports;
  codegen::FlowsheetGeneration generation;
};

TEST(CodegenCompile, FlowsheetLibraryEqualsTheInterpreter) {
  daestest::Tree tree;
  ASSERT_EQ(tree.Read(daestest::Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  Generated g;
  ScopedVariable use("QLN_CE_USE", "1");
  std::string library;
  {
    ScopedVariable keep("QLN_CE_KEEP", "1");
    ASSERT_EQ(codegen::GenerateCompiledCode(g.generation, problem.get(), &library, nullptr), 0u)
        << ::testing::PrintToString(g.reports.texts);
    ASSERT_EQ(library.rfind("tcex", 0), 0u);
    EXPECT_EQ(g.reports.texts.front(), "Generating flowsheet object code...\n");
    const fs::path source = fs::path(g.generation.folder) / (library + ".cpp");
    ASSERT_TRUE(fs::exists(source));
    const std::string text = ReadText(source);
    EXPECT_EQ(text.rfind("#include \"flowsheetexportstub.cpp\"\n\n", 0), 0u);
    EXPECT_NE(text.find("DLL_C_AS_C(double) residual(int i){p_func[i-1](0);return res;}\n"),
              std::string::npos);
    EXPECT_NE(text.find("  if (iRes>=0) iRes = CreateBlock((void **)&g_pInstance);\n"),
              std::string::npos);
    for (const std::string& line : Lines(text)) {
      if (line.rfind("static void DefineEqns", 0) == 0) {
        EXPECT_LT(line.size(), 255u);
      }
    }
  }
  const fs::path so = fs::path(g.generation.folder) / (library + ".so");
  ASSERT_TRUE(fs::exists(so)) << ::testing::PrintToString(g.reports.texts);

  // Exactly the export table, and nothing undefined but the host's API and
  // the system libraries.
  const std::set<std::string> exported = DynamicSymbols(so, "--defined-only");
  const std::set<std::string> table_names = {"residual",
                                             "setx",
                                             "getx_address",
                                             "setinterm_address",
                                             "procoutput",
                                             "procderivs",
                                             "eqn_reset_state",
                                             "eqn_level_state",
                                             "register_setvarunscaled",
                                             "register_getdelayedvalue",
                                             "PrecallProcs",
                                             "PostcallProcs",
                                             "DLLINITIALIZE",
                                             "DLLFINALIZE",
                                             "residual_nocond",
                                             "residual_jacobian",
                                             "getx",
                                             "CreateBlock",
                                             "InitializeBlock",
                                             "FinalizeBlock",
                                             "DestroyBlock"};
  EXPECT_EQ(exported, table_names);
  const std::set<std::string> api = {"FindQLNFunctionInNamedDLL",
                                     "GetDLLInitializationData",
                                     "GetLastDLLError",
                                     "ReleaseFunction",
                                     "GetQLNFunctionAddress",
                                     "QLN_Print",
                                     "QLN_Rqst"};
  for (const std::string& name : DynamicSymbols(so, "--undefined-only")) {
    const bool system =
        name.find("@GLIBC") != std::string::npos || name.find("@CXXABI") != std::string::npos ||
        name.find("@GLIBCXX") != std::string::npos || name.find("@GCC") != std::string::npos ||
        name.rfind("_ITM_", 0) == 0 || name.rfind("__gmon", 0) == 0 || name.rfind("_Jv_", 0) == 0;
    EXPECT_TRUE(system || api.count(name) != 0) << name;
  }

  ScopedVariable keep("QLN_CE_KEEP", "1");
  ASSERT_EQ(codegen::LoadCompiledLibrary(problem.get(), library.c_str()), 0u);
  ASSERT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  {
    // Its start-up block carries the option table as its options handler,
    // the time among its answers.
    const auto* loaded = static_cast<XosDynamicLibrary*>(codegen::LoadedCompiledLibrary());
    ASSERT_NE(loaded, nullptr);
    ASSERT_NE(loaded->Block(), nullptr);
    QLNOptionsHandler* handler = loaded->Block()->options_handler;
    ASSERT_EQ(handler, static_cast<QLNOptionsHandler*>(SolverOptionTable::Instance()));
    const double before = GetSimulationTime();
    SetSimulationTime(0.625);
    std::int32_t integer = 0;
    double time = 0.0;
    const char* text = nullptr;
    EXPECT_EQ(handler->OptionRequest(31, &integer, &time, &text), 2);
    EXPECT_EQ(time, 0.625);
    SetSimulationTime(before);
  }
  // Loading again while loaded loads nothing.
  EXPECT_EQ(codegen::LoadCompiledLibrary(problem.get(), "tcex_other"), 0u);
  // No generation while a library is loaded.
  std::string again = "x";
  EXPECT_EQ(codegen::GenerateCompiledCode(g.generation, problem.get(), &again, nullptr), 0u);
  EXPECT_TRUE(again.empty());

  std::mt19937 rng(11);
  for (int point = 0; point < 5; ++point) {
    for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
      problem->GetVariable(i)->SetValue(std::uniform_real_distribution<double>(0.1, 3.0)(rng));
    }
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
      ASSERT_NE(row->CompiledNumber(), 0u);
      double compiled = 0.0, interpreted = 0.0;
      ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
      row->ResidualValue(&compiled);
      EXPECT_DOUBLE_EQ(compiled, daes::CurrentCompiledLibrary().residual(row->CompiledNumber()));
      ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives |
                                  daes::kEvalInterpreted,
                              nullptr),
                0u);
      row->ResidualValue(&interpreted);
      EXPECT_TRUE(Near(compiled, interpreted)) << compiled << " vs " << interpreted;
      std::vector<double> tape;
      for (std::int32_t c : row->ColumnPattern()) {
        tape.push_back(row->DerivativeFor(problem->GetVariable(c - 1)));
      }
      // Through the library the derivative pass reads what the library's
      // residual left: the tape's entries, the library's residual.
      ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives, nullptr), 0u);
      double both = 0.0;
      row->ResidualValue(&both);
      EXPECT_EQ(both, compiled);
      for (std::size_t k = 0; k < tape.size(); ++k) {
        DAESVarTableEntry* v = problem->GetVariable(row->ColumnPattern()[k] - 1);
        EXPECT_EQ(row->DerivativeFor(v), tape[k]) << row->GetNameText() << " " << v->GetNameText();
      }
    }
  }
  // The library's arrays are the ones its residual writes.
  EXPECT_NE(daes::CurrentCompiledLibrary().reals, nullptr);
  EXPECT_GT(daes::CurrentCompiledLibrary().half, 0u);
  // The library's setter reaches the variable of its column.
  DAESVarTableEntry* first = problem->GetVariable(0);
  EXPECT_EQ(CompiledCodeSetVarUnscaled(problem.get(), problem->ColumnOf(first), 2.5), 0u);
  EXPECT_EQ(first->GetRealValue(), 2.5);
  EXPECT_EQ(CompiledCodeSetVarUnscaled(problem.get(), 0, 1.0), codegen::kCompiledLoadFailed);
  // Unloading with keep on leaves the files.
  EXPECT_EQ(codegen::LoadCompiledLibrary(nullptr, nullptr), 0u);
  EXPECT_FALSE(daes::CurrentCompiledLibrary().IsLoaded());
  EXPECT_TRUE(fs::exists(so));
  // With keep off, the build folder goes; the kept copies are the user's.
  ScopedVariable drop("QLN_CE_KEEP", "0");
  ASSERT_EQ(codegen::LoadCompiledLibrary(problem.get(), library.c_str()), 0u);
  const fs::path built = codegen::CompiledBuildFolder();
  EXPECT_TRUE(fs::exists(built / (library + ".so")));
  EXPECT_EQ(codegen::LoadCompiledLibrary(nullptr, nullptr), 0u);
  EXPECT_FALSE(fs::exists(built));
  EXPECT_TRUE(fs::exists(so));
  if (!HasFailure()) fs::remove_all(g.folder);
}

TEST(CodegenCompile, ALibraryWithoutResidualIsRefused) {
  const fs::path folder = FreshFolder("noresidual");
  std::ofstream(folder / "tcexbad.c")
      << "int setx;int getx_address;int setinterm_address;int procoutput;int procderivs;\n";
  ASSERT_EQ(std::system(("gcc -shared -fPIC -o " + (folder / "tcexbad.so").string() + " " +
                         (folder / "tcexbad.c").string())
                            .c_str()),
            0);
  codegen::SetCompiledBuildFolder(folder.string());
  ScopedVariable keep("QLN_CE_KEEP", "1");
  EXPECT_EQ(codegen::LoadCompiledLibrary(nullptr, "tcexbad"), codegen::kCompiledLoadFailed);
  EXPECT_FALSE(daes::CurrentCompiledLibrary().IsLoaded());
  EXPECT_EQ(codegen::LoadedCompiledLibrary(), nullptr);
  codegen::SetCompiledBuildFolder("");
  if (!HasFailure()) fs::remove_all(folder);
}

namespace mw = modelwriter;
using daestest::Body;
using daestest::T101;
using daestest::Writer;

// The tank with a weir W = 0 below the crest h = 1.2, W = 2 (h - 1.2) above.
struct Weir {
  Weir() : library(nullptr, nullptr) {
    SetCurrentEventSchedule(&schedule);
    auto stored = Body([&](Writer& w) { w.Expression(mw::Greater(mw::Var(0), mw::Real(1.2))); });
    library.InsertChildAt(
        1, new daestest::LibraryExpression(&library, Expression::ReadFromMessage(*stored)));
    EXPECT_EQ(tree.Read(daestest::Tank), 0u);
    EXPECT_EQ(tree.Read(daestest::WeirFlow), 0u);
    auto message = Body([](Writer& w) {
      w.List(1);
      w.IfHead({1}, {T101(), {8, ".Weir"}});
      w.EquationHead(1);
      w.Reference({2, 1});
      w.List(1);
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::Sub(mw::Var(0), mw::Mul(mw::Real(2.0), mw::Sub(mw::Var(1), mw::Real(1.2)))));
      w.Placement({T101(), {8, ".Weir"}, {1, ".Then"}, {1, ".Q"}});
      w.EquationHead(2);
      w.Reference({2, 9});
      w.Reference({2, 1});
      w.List(1);
      w.Item(mw::kInlineEquation);
      w.U32(0);
      w.Expression(mw::Sub(mw::Var(0), mw::Real(0.0)));
      w.Placement({T101(), {8, ".Weir"}, {2, ".Else"}, {1, ".Q"}});
      w.EquationHead(1);
      w.Reference({2, 9});
    });
    EXPECT_EQ(tree.root->ReadFromMessage(*message, tree.root, &library, tree.root), 0u);
  }
  ~Weir() {
    problem.reset();
    library.DeleteChildren();
    SetCurrentEventSchedule(nullptr);
  }
  DAESEventSchedule schedule;
  daestest::Tree tree;
  BvuDirectoryProper library;
  std::unique_ptr<DAESProblem> problem;
};

// Builds and loads the problem's library (keep on).
std::string BuildAndLoad(Generated& g, DAESProblem* problem) {
  ScopedVariable use("QLN_CE_USE", "1");
  ScopedVariable keep("QLN_CE_KEEP", "1");
  std::string library;
  EXPECT_EQ(codegen::GenerateCompiledCode(g.generation, problem, &library, nullptr), 0u)
      << ::testing::PrintToString(g.reports.texts);
  EXPECT_EQ(codegen::LoadCompiledLibrary(problem, library.c_str()), 0u)
      << ::testing::PrintToString(g.reports.texts);
  return library;
}

// Values set on the model's variables reach the library as the solver's do.
void Sync(DAESProblem* problem) {
  for (std::int32_t i = 0; i < problem->VariableCount(); ++i) {
    problem->GetVariable(i)->WriteCompiledValue(problem->GetVariable(i)->GetRealValue());
  }
}

void CompareResiduals(DAESProblem* problem) {
  Sync(problem);
  // The residuals run the calls; the procedure rows then read the outputs.
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
    daes::CurrentCompiledLibrary().residual(row->CompiledNumber());
  }
  for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
    SCOPED_TRACE(row->GetNameText());
    ASSERT_NE(row->CompiledNumber(), 0u);
    double compiled = 0.0, interpreted = 0.0;
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual, nullptr), 0u);
    row->ResidualValue(&compiled);
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalInterpreted, nullptr), 0u);
    row->ResidualValue(&interpreted);
    EXPECT_TRUE(Near(compiled, interpreted)) << compiled << " vs " << interpreted;
  }
}

TEST(CodegenCompile, ConditionalRowsFollowTheirStateInTheLibrary) {
  Weir m;
  static_cast<DAESVariable*>(daestest::Entry(m.tree.At({2, 1})))->SetValue(1.0);
  m.problem.reset(DAESCreateProblem(m.tree.root, 0, nullptr));
  ASSERT_NE(m.problem, nullptr);
  for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
    if (auto* row = dynamic_cast<DAESSolverEquation*>(m.problem->GetEquation(i))) {
      row->MakeContext();
    }
  }
  DAESFiniteStateEquation* weir = nullptr;
  for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
    if (auto* row = dynamic_cast<DAESFiniteStateEquation*>(m.problem->GetEquation(i))) weir = row;
  }
  ASSERT_NE(weir, nullptr);
  Generated g;
  BuildAndLoad(g, m.problem.get());
  ASSERT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  const daes::CompiledLibrary& lib = daes::CurrentCompiledLibrary();
  ASSERT_NE(lib.eqn_level_state, nullptr);
  ASSERT_NE(lib.eqn_reset_state, nullptr);
  CompareResiduals(m.problem.get());
  EXPECT_EQ(lib.eqn_level_state(weir->CompiledNumber(), 0), 0);
  static_cast<DAESVariable*>(daestest::Entry(m.tree.At({2, 1})))->SetValue(1.5);
  ASSERT_EQ(m.schedule.EvaluateAll(), 0u);
  Sync(m.problem.get());
  // The discrete update takes the state from the library's state code.
  ASSERT_EQ(weir->Evaluate(daes::kEvalDiscrete | daes::kEvalResidual, nullptr), 0u);
  EXPECT_EQ(weir->CurrentState(), 1);
  EXPECT_EQ(lib.eqn_level_state(weir->CompiledNumber(), 0), 1);
  CompareResiduals(m.problem.get());
  codegen::LoadCompiledLibrary(nullptr, nullptr);
  if (!HasFailure()) fs::remove_all(g.folder);
}

struct CallNode : BvuDirectoryNode {
  CallNode(BvuDirectoryNode* parent, Expression* e) : BvuDirectoryNode(parent, ".c"), call(e) {
    call->AddRef();
  }
  ~CallNode() override { Expression::Release(call); }
  std::int32_t GetKind() override { return daes::kLibraryExpressionKind; }
  void* LinkedObject() override { return call; }
  Expression* call;
};

// The tank with (y1, y2) = pair(u1, k, u2), the procedure in a library of
// its own (old interface, no derivatives): y1 = u1 k + u2, y2 = u1 - u2.
struct PairModel {
  explicit PairModel(const std::string& path) : library(nullptr, nullptr) {
    definition.SetLanguage(procdef::kLanguageC);
    definition.SetImplementationName("tpair");
    definition.SetLibrary(path.c_str());
    definition.SetInterfaceVersion(2);
    definition.SetOptions(procdef::kPrecall);
    using exprtest::Ref;
    const Ref u1 = exprtest::Var(0), k = exprtest::Var(1), u2 = exprtest::Var(2),
              y1 = exprtest::Var(3), y2 = exprtest::Var(4);
    const Ref in = exprtest::ListOf<ProcIOListExpression>({&u1, &k, &u2}, 0);
    const Ref out = exprtest::ListOf<ProcIOListExpression>({&y1, &y2}, 0);
    auto* call = new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                        static_cast<ProcIOListExpression*>(out.get()));
    call->Bind(&definition);
    EXPECT_EQ(library.InsertChildAt(1, new CallNode(&library, call)), 0u);
    EXPECT_EQ(tree.Read(daestest::Tank), 0u);
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
  DAESProcDefWithExceptionHandler definition;
  BvuDirectoryProper library;
  daestest::Tree tree;
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem;
};

TEST(CodegenCompile, ProcedureCallsThroughTheLibraryEqualTheInterpreter) {
  Generated g;
  const fs::path procs = g.folder / "tpair.so";
  std::ofstream(g.folder / "tpair.c")
      << "void tpair(double *in, int *insz, double *out, int *outsz, int *inoffs, int *outoffs,\n"
         "  int *iflag, int *propsid, double *work, int *wsize, double *deriv, int *nout,\n"
         "  int *nin, int *icall) {\n"
         "  (void)insz,(void)outsz,(void)propsid,(void)work,\n"
         "  (void)wsize,(void)deriv,(void)nout,(void)nin;\n"
         "  *iflag = 1;\n"
         "  (void)icall;\n"
         "  out[outoffs[0]] = in[inoffs[0]] * in[inoffs[1]] + in[inoffs[2]];\n"
         "  out[outoffs[1]] = in[inoffs[0]] - in[inoffs[2]];\n}\n";
  ASSERT_EQ(
      std::system(("gcc -shared -fPIC -o " + procs.string() + " " + (g.folder / "tpair.c").string())
                      .c_str()),
      0);
  CloseToOthers(procs);
  PairModel m(procs.string());
  ASSERT_NE(m.problem, nullptr);
  for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
    if (auto* row = dynamic_cast<DAESSolverEquation*>(m.problem->GetEquation(i))) {
      row->MakeContext();
    }
  }
  BuildAndLoad(g, m.problem.get());
  ASSERT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  const daes::CompiledLibrary& lib = daes::CurrentCompiledLibrary();
  std::mt19937 rng(3);
  for (int point = 0; point < 4; ++point) {
    for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
      m.problem->GetVariable(i)->SetValue(std::uniform_real_distribution<double>(0.1, 3.0)(rng));
    }
    CompareResiduals(m.problem.get());
    // The call's outputs as the library computed them.
    std::vector<double> outputs;
    for (std::int32_t i = 0; i < m.problem->EquationCount(); ++i) {
      auto* row = dynamic_cast<DAESProcSolverEquation*>(m.problem->GetEquation(i));
      if (row != nullptr) outputs.push_back(lib.procoutput(row->CompiledNumber()));
    }
    ASSERT_EQ(outputs.size(), 2u);
    double u1 = 0, u2 = 0;
    for (std::int32_t i = 0; i < m.problem->VariableCount(); ++i) {
      const std::string name = m.problem->GetVariable(i)->GetNameText();
      const double v = m.problem->GetVariable(i)->GetRealValue();
      if (name.ends_with(".u1")) u1 = v;
      if (name.ends_with(".u2")) u2 = v;
    }
    EXPECT_TRUE(Near(outputs[1], u1 - u2)) << outputs[1] << " vs " << u1 - u2;
  }
  codegen::LoadCompiledLibrary(nullptr, nullptr);
  if (!HasFailure()) fs::remove_all(g.folder);
}

}  // namespace
