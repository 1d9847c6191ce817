// The makefile writers in both dialects, GNU make's reading of what they
// write, and a procedure library generated, built through its makefile and
// the build driver, loaded and called.
// GCC 12 warns falsely on literal + std::string at -O3 (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include "codegen/build/makefile_writer.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "codegen/build/build_driver.h"
#include "codegen/name_tree.h"
#include "codegen_helpers.h"
#include "framework/libraries/library_loader.h"

using namespace codegen_test;
namespace fs = std::filesystem;

namespace {

void EditFile(const fs::path& path, const std::vector<std::pair<std::string, std::string>>& edits) {
  std::string text = ReadText(path);
  for (const auto& [from, to] : edits) Edit(&text, from, to);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Definitions of the mixed library: two FORTRAN procedures sharing one
// source, a C one, an old C one with its own user source.
struct MixedLibrary {
  SUProcDef f, g, c, old_c;
  CNameTree* tree = nullptr;
  MixedLibrary() {
    Define(&f, "fproc", procdef::kLanguageFortran, 0, {{procdef::kReal, 0, "x"}},
           {{procdef::kReal, 0, "y"}});
    Define(&g, "gproc", procdef::kLanguageFortran, 0, {{procdef::kReal, 0, "x"}},
           {{procdef::kReal, 0, "y"}});
    Define(&c, "cproc", procdef::kLanguageC, 0, {{procdef::kReal, 0, "x"}},
           {{procdef::kReal, 0, "y"}});
    Define(&old_c, "oldc", procdef::kLanguageC, 0, {{procdef::kReal, 0, "x"}},
           {{procdef::kReal, 0, "y"}}, 1);
    f.SetSourceFile("shared.f", false);
    g.SetSourceFile("SHARED.F", false);
    c.SetSourceFile("cproc.c", false);
    old_c.SetSourceFile("olduser.c", false);
    tree = new CNameTree("userlib", 0, nullptr);
    tree->Insert("userlib", reinterpret_cast<std::intptr_t>(&f), "fproc");
    tree->Insert("userlib", reinterpret_cast<std::intptr_t>(&g), "gproc");
    tree->Insert("userlib", reinterpret_cast<std::intptr_t>(&c), "cproc");
    tree->Insert("userlib", reinterpret_cast<std::intptr_t>(&old_c), "oldc");
  }
  ~MixedLibrary() { delete tree; }
};

TEST(MakefileWriter, ProcedureLibraryInBothDialects) {
  const fs::path folder = FreshFolder("mkmixed");
  const fs::path prefix = MakeInstallation(folder);
  ScopedVariable server("QLNSERVERDIR", (prefix / "bin").c_str());
  for (auto dialect : {codegen::MakeDialect::kGnu, codegen::MakeDialect::kNmake}) {
    codegen::SetMakeDialect(dialect);
    MixedLibrary lib;
    Reports reports;
    bool fortran = false;
    ASSERT_EQ(
        WriteProcedureLibraryMakefilePart(reports.Callback(), &lib.tree, nullptr, false, false,
                                          &fortran, folder.c_str(), nullptr, nullptr, nullptr),
        0u);
    EXPECT_EQ(lib.tree, nullptr);
    EXPECT_TRUE(fortran);
    EXPECT_EQ(reports.texts.back(), "Makefile generation complete.");
    const std::string text = ReadText(folder / "MakeUserCode");
    const bool gnu = dialect == codegen::MakeDialect::kGnu;
    // One object for the shared source, a wrapper object per FORTRAN and
    // old procedure.
    EXPECT_NE(text.find("Library1_Objects = fprocI$(OBJ)  \\\n"
                        "                   shared$(OBJ) \\\n"
                        "                   gprocI$(OBJ)  \\\n"
                        "                   cproc$(OBJ) \\\n"
                        "                   oldcI$(OBJ)  \\\n"
                        "                   olduser$(OBJ)\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Count(text, "shared$(OBJ): "), 1);
    EXPECT_EQ(Count(text, "\t$(FORTRAN) $(FDEBUG) $(F_OPTC) "), 3);
    if (gnu) {
      EXPECT_NE(text.find("BVUTCFORPATH        = " + (prefix / "procedures").string() + "\n"),
                std::string::npos);
      EXPECT_NE(text.find("QVSYSBIN            = " + (prefix / "bin").string() + "\n"),
                std::string::npos);
      EXPECT_NE(text.find(".DEFAULT_GOAL := build\n"), std::string::npos);
      EXPECT_NE(text.find("\nifndef USING_VC16\n"), std::string::npos);
      EXPECT_NE(text.find("\nVERSION =\n"), std::string::npos);
      EXPECT_NE(text.find("userlib$(DLL): $(Library1_Objects) userlib.res $(USERTARGETS)\n"),
                std::string::npos);
      EXPECT_NE(text.find("\t$(RSC) $(RSC_OPT) -fo \"userlib.res\" \"userlib.rc\"\n"),
                std::string::npos);
      EXPECT_NE(text.find("\t\"$(BVUTCFORPATH)/$(LIBBVDLL)$(OLB)\"  \"$(QVSYSBIN)/gpp$(OLB)\""),
                std::string::npos);
      EXPECT_EQ(text.find("!if"), std::string::npos);
    } else {
      EXPECT_NE(text.find("BVUTCFORPATH        = " + prefix.string() + "\\procedures\n"),
                std::string::npos);
      EXPECT_NE(text.find("\n!ifndef USING_VC16\n"), std::string::npos);
      EXPECT_NE(text.find("\nVERSION = /VERSION:38.0\n"), std::string::npos);
      EXPECT_NE(
          text.find("\"userlib$(DLL)\": $(Library1_Objects) \"userlib.res\" $(USERTARGETS)\n"),
          std::string::npos);
      EXPECT_NE(text.find("    $(RSC) $(RSC_OPT) -fo \"userlib.res\" \"userlib.rc\"\n"),
                std::string::npos);
    }
  }
  codegen::SetMakeDialect(codegen::MakeDialect::kGnu);
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(MakefileWriter, SingleLibraryMissingStubAndIncludeFile) {
  const fs::path folder = FreshFolder("mksingle");
  ScopedVariable server("QLNSERVERDIR", (folder / "nowhere" / "Bin").c_str());
  codegen::ResetErrorCount();
  CNameTree* tree = nullptr;
  Reports reports;
  ASSERT_EQ(
      WriteProcedureLibraryMakefilePart(reports.Callback(), &tree, nullptr, true, false, nullptr,
                                        folder.c_str(), "%tanq_defs.inc", "EXTRA = 1\n", "tcex1"),
      0u);
  const std::string text = ReadText(folder / "Maketcex1");
  const std::string procedures = (folder / "nowhere" / "procedures").string();
  EXPECT_NE(text.find("### insert " + procedures + "/makestub.int here ###\n"), std::string::npos);
  EXPECT_NE(text.find("### ERROR: Failed to insert \"" + procedures + "/tanq_defs.inc\" here ###"),
            std::string::npos);
  EXPECT_NE(text.find("#\nEXTRA = 1\n#\n"), std::string::npos);
  EXPECT_NE(text.find("\nDEBUG_BUILD = 1\n"), std::string::npos);
  EXPECT_NE(text.find("clean:\n\t-$(WIPE) tcex1$(WIPEALL)\n"), std::string::npos);
  EXPECT_NE(text.find("tcex1$(OBJ): tcex1$(CPPSUFFIX) $(BVUTCFORPATH)/bvdll.h\n"),
            std::string::npos);
  EXPECT_EQ(codegen::ErrorCount(), 2);
  codegen::ResetErrorCount();

  // A makefile that cannot be opened ends the writer.
  tree = new CNameTree("lib", 0, "p");
  EXPECT_EQ(
      WriteProcedureLibraryMakefilePart(reports.Callback(), &tree, nullptr, false, false, nullptr,
                                        (folder / "missing").c_str(), nullptr, nullptr, nullptr),
      codegen::kFailureReport);
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(reports.texts.back().rfind("Cannot open ", 0), 0u);
  codegen::ResetErrorCount();
  // No makefile requested: the tree is emptied and nothing written.
  tree = new CNameTree("lib", 0, "p");
  EXPECT_EQ(
      WriteProcedureLibraryMakefilePart(nullptr, &tree, nullptr, false, true, nullptr,
                                        (folder / "missing").c_str(), nullptr, nullptr, nullptr),
      0u);
  EXPECT_EQ(tree, nullptr);
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(MakefileWriter, ProceduresFolderFromTheServerFolder) {
  ScopedVariable server("QLNSERVERDIR", nullptr);
  EXPECT_EQ(codegen::DeriveMakeFolders("/opt/v/BIN/").procedures, "/opt/v/procedures");
  EXPECT_EQ(codegen::DeriveMakeFolders("/opt/v/BIN/").tool, "/opt/v/BIN");
  EXPECT_EQ(codegen::DeriveMakeFolders("/opt/v/tools").procedures, "/opt/v/tools/../procedures");
  EXPECT_EQ(codegen::MakeTargetName("a b c.so"), "a\\ b\\ c.so");
}

using NewEntry = void (*)(int*, double*, int*, double*, int*, int*, int*, int*, double*, int*, int*,
                          int*, int*, int*, double*, int*);

double CallNew(XosDynamicLibrary* library, const char* name, double x, int first) {
  auto entry = reinterpret_cast<NewEntry>(library->LookUpSymbol(name, nullptr));
  EXPECT_NE(entry, nullptr) << name;
  if (entry == nullptr) return -1;
  double inputs[1] = {x}, outputs[1] = {-1}, work = 0, derivs[1] = {0};
  int icall = 0, sizes[1] = {0}, offs_in[1] = {first}, offs_out[1] = {first}, props = 0, wsize = 0,
      nonzeros = 0, rows[1] = {0}, cols[1] = {0}, unused = 0, ifail = 0;
  entry(&icall, inputs, sizes, outputs, sizes, offs_in, offs_out, &props, &work, &wsize, &nonzeros,
        rows, cols, &unused, derivs, &ifail);
  EXPECT_EQ(ifail, 1) << name;
  return outputs[0];
}

// Generated sources of every kind, a makefile from the name tree, the build
// through the driver's script, the library through the engine's loader.
TEST(CodegenCompile, GeneratedLibraryBuildsFromItsMakefileAndAnswers) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  const fs::path folder = FreshFolder("mkbuild");
  const fs::path prefix = MakeInstallation(folder);
  ScopedVariable server("QLNSERVERDIR", (prefix / "bin").c_str());
  const fs::path work = folder / "work";
  fs::create_directories(work);
  MixedLibrary lib;
  Reports reports;
  // FORTRAN v3: both templates go into the one shared source.
  std::string shared;
  for (auto [def, base, factor] : {std::tuple{&lib.f, "fproc", "3"}, {&lib.g, "gproc", "5"}}) {
    SUCodeGenerate gen{def, base, 0};
    const std::string upper = base == std::string("fproc") ? "FPROC" : "GPROC";
    const fs::path path = work / (std::string(base) + ".f");
    ASSERT_EQ(WriteFortranTemplate(gen, reports.Callback(), 0, path.c_str(), upper.c_str()), 0u);
    ASSERT_EQ(WriteFortranWrapper(gen, reports.Callback(), 0, work.c_str(), base, upper.c_str()),
              0u);
    EditFile(path, {{"        y = 0 ! TODO", std::string("        y = ") + factor + "*x"},
                    {"        IFAIL = IFATAL", "        IFAIL = IOK"}});
    shared += ReadText(path);
    fs::remove(path);
  }
  std::ofstream(work / "shared.f") << shared;
  // C v3.
  SUCodeGenerate c_gen{&lib.c, "cproc", 0};
  ASSERT_EQ(WriteCTemplate(c_gen, reports.Callback(), 0, work.c_str(), "cproc", "CPROC",
                           (work / "cproc.c").c_str()),
            0u);
  EditFile(work / "cproc.c",
           {{"      *py = 0.0;", "      *py = 7*x;"},
            {"*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */", "*pIfail = IFAIL_OK;"}});
  // C v1: the wrapper around the user's routine.
  SUCodeGenerate o_gen{&lib.old_c, "oldc", 0};
  ASSERT_EQ(
      WriteCTemplateOld(o_gen, reports.Callback(), 0, work.c_str(), true, "oldc", "OLDC", nullptr),
      0u);
  std::ofstream(work / "olduser.c")
      << "#include \"oldcI.h\"\n"
         "void OLDC_C(double *x, double *y, int *iflag, int *props) {\n"
         "  *y = 11 * *x; *iflag = 1; (void)props;\n"
         "}\n";

  bool fortran = false;
  ASSERT_EQ(WriteProcedureLibraryMakefilePart(reports.Callback(), &lib.tree, nullptr, false, false,
                                              &fortran, work.c_str(), nullptr, nullptr, nullptr),
            0u);
  Reports build;
  const Status built = RunNmakeBuild(build.Callback(), nullptr, work.c_str(), nullptr, true, false,
                                     nullptr, false, fortran);
  std::string log;
  for (const auto& line : build.texts) log += line;
  ASSERT_EQ(built, 0u) << log;
  EXPECT_EQ(build.texts.back(), "make -f MakeUserCode command succeeded\n");

  CloseToOthers(work / "userlib.so");
  XosDynamicLibrary* library = XosDynamicLibrary::Load((work / "userlib.so").c_str(), nullptr);
  ASSERT_NE(library, nullptr) << XosDynamicLibrary::LastErrorText();
  EXPECT_DOUBLE_EQ(CallNew(library, "CPROC", 2.0, 0), 14.0);
  EXPECT_DOUBLE_EQ(CallNew(library, "QLN13_FPROC", 2.0, 1), 6.0);
  EXPECT_DOUBLE_EQ(CallNew(library, "QLN13_GPROC", 2.0, 1), 10.0);
  using OldEntry = void (*)(double*, int*, double*, int*, int*, int*, int*, int*, double*, int*,
                            double*, int*, int*, int*);
  auto old_entry = reinterpret_cast<OldEntry>(library->LookUpSymbol("SU55IF_OLDC", nullptr));
  ASSERT_NE(old_entry, nullptr);
  double in = 2.0, out = 0, work_area = 0, deriv = 0;
  int sizes = 0, offs = 0, ifail = 0, props = 0, wsize = 0, nout = 1, nin = 1, icall = 0;
  old_entry(&in, &sizes, &out, &sizes, &offs, &offs, &ifail, &props, &work_area, &wsize, &deriv,
            &nout, &nin, &icall);
  EXPECT_EQ(out, 22.0);
  library->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

// GNU make reads every makefile the writers produce.
TEST(CodegenCompile, MakeReadsTheWrittenMakefiles) {
  const fs::path folder = FreshFolder("mkparse");
  const fs::path prefix = MakeInstallation(folder);
  ScopedVariable server("QLNSERVERDIR", (prefix / "bin").c_str());
  MixedLibrary lib;
  ASSERT_EQ(WriteProcedureLibraryMakefilePart(nullptr, &lib.tree, nullptr, true, false, nullptr,
                                              folder.c_str(), nullptr, nullptr, nullptr),
            0u);
  CNameTree* none = nullptr;
  ASSERT_EQ(WriteProcedureLibraryMakefilePart(nullptr, &none, nullptr, false, false, nullptr,
                                              folder.c_str(), nullptr, nullptr, "tcex2"),
            0u);
  for (const char* source :
       {"tcex2.cpp", "fprocI.f", "gprocI.f", "shared.f", "cproc.c", "oldcI.c", "olduser.c"}) {
    std::ofstream(folder / source) << "\n";
  }
  for (const char* makefile : {"MakeUserCode", "Maketcex2"}) {
    const std::string command =
        "cd " + folder.string() + " && make -n -B -f " + makefile + " >" + makefile + ".log 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0)
        << ReadText(folder / (std::string(makefile) + ".log"));
  }
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace

namespace {

// A unit, resource or header name with a line break and a tab would add a
// recipe line; "$(shell ...)" would run while make reads. Neither writer
// opens its makefile for such a name.
TEST(MakefileWriter, NamesMakeWouldReadAsCodeLeaveNoMakefile) {
  const fs::path folder = FreshFolder("mkrefuse");
  codegen::ResetErrorCount();
  Reports reports;
  const std::vector<std::string> plain{"unit"};
  for (const auto& [units, resources, headers] :
       {std::tuple{std::vector<std::string>{"u\n\ttouch ran"}, plain, plain},
        // A blank would make the clean target remove the word before it.
        {std::vector<std::string>{"ran ab"}, plain, plain},
        {plain, std::vector<std::string>{"$(shell touch ran)"}, plain},
        {plain, plain, std::vector<std::string>{"h\"; touch ran; \""}}}) {
    EXPECT_EQ(WriteExportLibraryMakefilePart(reports.Callback(), nullptr, nullptr, false, false,
                                             false, true, resources, false, units, headers,
                                             folder.c_str(), nullptr, nullptr, "exp"),
              codegen::kFailed);
  }
  EXPECT_EQ(WriteExportLibraryMakefilePart(reports.Callback(), nullptr, nullptr, false, false,
                                           false, true, plain, false, plain, plain, folder.c_str(),
                                           nullptr, nullptr, "exp`touch ran`"),
            codegen::kFailed);
  EXPECT_EQ(codegen::ErrorCount(), 5);
  SUProcDef d;
  Define(&d, "p", procdef::kLanguageC, 0, {}, {});
  d.SetSourceFile("p.c\n\ttouch ran", false);
  auto* tree = new CNameTree("lib", reinterpret_cast<std::intptr_t>(&d), "p");
  EXPECT_EQ(WriteProcedureLibraryMakefilePart(reports.Callback(), &tree, nullptr, false, false,
                                              nullptr, folder.c_str(), nullptr, nullptr, nullptr),
            codegen::kFailed);
  EXPECT_EQ(tree, nullptr);
  tree = new CNameTree("lib$(shell touch ran)", 0, "p");
  EXPECT_EQ(WriteProcedureLibraryMakefilePart(reports.Callback(), &tree, nullptr, false, false,
                                              nullptr, folder.c_str(), nullptr, nullptr, nullptr),
            codegen::kFailed);
  EXPECT_TRUE(fs::is_empty(folder));
  codegen::ResetErrorCount();
  // A blank in an export's name is one name: the clean recipes remove the
  // name's own files, not a file named by its first word.
  ASSERT_EQ(WriteExportLibraryMakefilePart(reports.Callback(), nullptr, nullptr, false, false,
                                           false, true, plain, false, plain, plain, folder.c_str(),
                                           nullptr, nullptr, "tank export"),
            0u);
  const std::string exported = ReadText(folder / "Maketank export");
  EXPECT_NE(exported.find("\t-$(WIPE) tank\\ export$(OLB)\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\t-$(WIPE) tank\\ export.res\n"), std::string::npos);
  tree = nullptr;
  ASSERT_EQ(
      WriteProcedureLibraryMakefilePart(reports.Callback(), &tree, nullptr, false, false, nullptr,
                                        folder.c_str(), nullptr, nullptr, "tank export"),
      0u);
  EXPECT_NE(
      ReadText(folder / "Maketank export").find("clean:\n\t-$(WIPE) tank\\ export$(WIPEALL)\n"),
      std::string::npos);
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(MakefileWriter, ExportOfSixtyOneUnitsInGroups) {
  const fs::path folder = FreshFolder("mkexport");
  const fs::path prefix = MakeInstallation(folder);
  ScopedVariable server("QLNSERVERDIR", (prefix / "bin").c_str());
  std::vector<std::string> units;
  for (int i = 1; i <= 61; ++i) {
    units.push_back("unit" + std::to_string(i));
    std::ofstream(folder / (units.back() + ".cpp")) << "\n";
  }
  std::ofstream(folder / "exp.rc") << "\n";
  Reports reports;
  ASSERT_EQ(WriteExportLibraryMakefilePart(reports.Callback(), nullptr, nullptr, false, true, false,
                                           true, {"icon1"}, false, units, {"extra"}, folder.c_str(),
                                           nullptr, nullptr, "exp"),
            0u);
  const std::string text = ReadText(folder / "Makeexp");
  // Last unit first; 30, 30 and 1 items.
  EXPECT_NE(text.find("Library_Objects1 = unit61$(OBJ) \\\n                   unit60$(OBJ)"),
            std::string::npos);
  EXPECT_NE(text.find("\nLibrary_Objects3 = unit1$(OBJ)\n"), std::string::npos);
  EXPECT_EQ(text.find("Library_Objects4"), std::string::npos);
  EXPECT_NE(text.find("Library_Objects = $(Library_Objects1) \\\n                  "
                      "$(Library_Objects2) \\\n                  $(Library_Objects3)\n"),
            std::string::npos);
  // Headers run on into the extra ones: 62 items, three groups.
  EXPECT_NE(text.find("\nLibrary_Headers3 = unit1.hpp \\\n                   extra.hpp\n"),
            std::string::npos);
  EXPECT_NE(text.find("clean:\n\t-$(WIPE) $(Library_Headers3)\n"), std::string::npos);
  EXPECT_NE(text.find("exp$(DLL): $(Library_Objects) exp.res $(USERTARGETS)\n"), std::string::npos);
  EXPECT_NE(text.find("\t$(CPP) $(C_OPTIMIZE) $(CPP_OPTC) $(INCLUDEPATHS) $(INCL) "
                      "$(QVSYSTEM_TOP)/incl $(USERINCLUDEPATHS) \"unit7$(CPPSUFFIX)\" "
                      "$(C_ALTOBJECT)unit7$(OBJ)\n"),
            std::string::npos);
  EXPECT_EQ(reports.texts.back(), "Makefile generation complete.");
  const std::string command =
      "cd " + folder.string() + " && make -n -B -f Makeexp QVSYSTEM_TOP=/q >make.log 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadText(folder / "make.log");

  codegen::SetMakeDialect(codegen::MakeDialect::kNmake);
  ASSERT_EQ(
      WriteExportLibraryMakefilePart(nullptr, nullptr, nullptr, false, false, true, false, {}, true,
                                     {"ab"}, {}, folder.c_str(), nullptr, nullptr, "exp"),
      0u);
  codegen::SetMakeDialect(codegen::MakeDialect::kGnu);
  const std::string nmake = ReadText(folder / "Makeexp");
  EXPECT_NE(nmake.find("\t-999 $(WIPE) /Q exp$(OLB)\n"), std::string::npos);
  EXPECT_NE(nmake.find("\n!ifdef DYNAMIC_BVDLL\n"), std::string::npos);
  EXPECT_NE(nmake.find("\t$(CPP) $(CPPDEBUG) $(CPP_OPTC)$(INCLUDEPATHS)"), std::string::npos);
  EXPECT_EQ(nmake.find("Library_Headers"), std::string::npos);
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace

namespace {

TEST(Golden, Makefiles) {
  const fs::path folder = FreshFolder("mkgolden");
  const fs::path prefix = MakeInstallation(folder);
  ScopedVariable server("QLNSERVERDIR", (prefix / "bin").c_str());
  ScopedVariable vs2019("VS2019INSTALLDIR", nullptr);
  ScopedVariable vs2017("VS2017INSTALLDIR", nullptr);
  for (auto [dialect, golden] : {std::pair{codegen::MakeDialect::kGnu, "make_procedures_gnu.txt"},
                                 {codegen::MakeDialect::kNmake, "make_procedures_nmake.txt"}}) {
    codegen::SetMakeDialect(dialect);
    MixedLibrary lib;
    ASSERT_EQ(WriteProcedureLibraryMakefilePart(nullptr, &lib.tree, nullptr, false, false, nullptr,
                                                folder.c_str(), nullptr, nullptr, nullptr),
              0u);
    CheckGolden(folder, "MakeUserCode", golden);
  }
  codegen::SetMakeDialect(codegen::MakeDialect::kGnu);
  CNameTree* none = nullptr;
  ASSERT_EQ(WriteProcedureLibraryMakefilePart(nullptr, &none, nullptr, true, false, nullptr,
                                              folder.c_str(), nullptr, nullptr, "tcex1"),
            0u);
  CheckGolden(folder, "Maketcex1", "make_compiled_gnu.txt");
  std::ofstream(prefix / "procedures" / "tanq_defs.inc") << "QVSYSTEM_TOP = /opt/qv\n";
  std::vector<std::string> units;
  for (int i = 1; i <= 61; ++i) units.push_back("u" + std::to_string(i));
  ASSERT_EQ(WriteExportLibraryMakefilePart(nullptr, nullptr, nullptr, false, true, true, true,
                                           {"r1", "r2"}, false, units, {"extra"}, folder.c_str(),
                                           "%tanq_defs.inc", nullptr, "exported"),
            0u);
  CheckGolden(folder, "Makeexported", "make_export_gnu.txt");
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
