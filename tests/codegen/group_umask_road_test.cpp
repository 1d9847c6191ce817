// The libraries the engine builds, for a user whose files are
// group-writable by default (umask 002, as with private user groups): they
// must still pass the engine's own loader check, which refuses what others
// could change. Compiled evaluation runs compiled rather than falling back
// unnoticed, and a procedure library built through the engine is found.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <ios>
#include <string>
#include <vector>

#include "framework/libraries/library_loader.h"
#include "tests/codegen/compiled_road_fixture.h"
#include "tests/codegen/proc_files_road.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scoped_umask.h"
#include "tests/tools/tank_event_models.h"

namespace group_umask_road {

using vantor_client::MakeCommand;

class CodegenCompileUnderGroupUmask : public codegen_test::CompiledRoad {
 protected:
  // A fresh engine on the tank, compiled, Gear12 at tolerance 1e-8; its
  // level follows the closed form through the event at t = 1.4.
  void RunTank(const char* what, const std::function<void(modelwriter::Writer&)>& model) {
    CloseEngine();
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = 120000;
    ASSERT_TRUE(
        StartEngine(engine, what) &&
        road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {0.5}), "command 32", 0) &&
        IntOption(30, 4) && RealOption(130, 1e-8) && RealOption(131, 1e-8) && IntOption(29, 4) &&
        Conditions(engineroad::TankConditions()) && Load(model))
        << what << ": " << Failure() << "\n"
        << Events();
    ASSERT_TRUE(BeginRun()) << Failure();
    std::vector<double> stops;
    for (int k = 0; k <= 6; ++k) {
      const double t = 0.5 * k;
      ASSERT_TRUE(StepTo(t, &stops)) << what << ": " << Failure() << "\n" << Events();
      EXPECT_NEAR(Value(1), engineroad::WeirLevel(t), 1e-6) << what << " at " << t;
    }
    ASSERT_TRUE(FinishRun()) << Failure();
    EXPECT_EQ(Count("Loaded flowsheet object code library (tcex0)"), 1u) << what << Events();
    EXPECT_EQ(Count(" skipped: "), 0u) << what << Events();
    EXPECT_EQ(Count("Failed to load"), 0u) << what << Events();
    ASSERT_EQ(stops.size(), 1u) << what;
    EXPECT_NEAR(stops[0], engineroad::kEventTime, 1e-6) << what;
  }

  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : run_.events) n += line.find(text) != std::string::npos;
    return n;
  }

  testsupport::ScopedEnv use_{"QLN_CE_USE", "1"};
};

TEST_F(CodegenCompileUnderGroupUmask, BuiltLibrariesLoadAndRunCompiled) {
  // Set before the engine starts: it, make and the linker inherit it.
  testsupport::ScopedUmask group_writable(002);
  {
    testsupport::ScopedEnv keep("QLN_CE_KEEP", "0");
    RunTank("IF", engineroad::WeirTank);
  }
  if (HasFatalFailure()) return;
  // A second engine, keeping its files: the copy of the library left in
  // the simulation's folder is as closed to others' writes as the one
  // loaded.
  testsupport::ScopedEnv keep("QLN_CE_KEEP", "1");
  RunTank("switch", engineroad::ValveTank);
  struct stat kept {};
  ASSERT_EQ(::stat((work_.path() / "switch" / "tcex0.so").c_str(), &kept), 0) << Events();
  EXPECT_EQ(kept.st_mode & (S_IWGRP | S_IWOTH), 0u) << std::oct << kept.st_mode;
}

bool ModeClosedToOthers(const std::filesystem::path& path) {
  struct stat s {};
  return ::stat(path.c_str(), &s) == 0 && (s.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The procedure of one real input "Twice" in the library "grouplib": the
// template filled in with y = factor x, built through the engine, which
// then names the library's file when asked; the test loads it and calls
// the procedure. A second build after an edit replaces the library.
TEST_F(CodegenCompileUnderGroupUmask, ProcedureLibrariesBuiltThroughTheEngineAreFound) {
  testsupport::ScopedUmask group_writable(002);
  testsupport::ScopedEnv environment("VSENVBATFILE", nullptr);
  const std::filesystem::path folder = work_.path() / "procs";
  std::filesystem::create_directories(folder);
  const std::filesystem::path library = folder / "grouplib.so";
  SUProcDef twice;
  codegen_test::Define(&twice, "Twice", procdef::kLanguageC, 0, {{procdef::kReal, 0, "x"}},
                       {{procdef::kReal, 0, "y"}});
  twice.SetLibrary("grouplib");
  twice.SetSourceFile("twice.c", false);
  vantor_client::EngineOptions engine = Engine();
  engine.timeout_ms = 120000;
  ASSERT_TRUE(StartEngine(engine, "Procs") &&
              road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, false),
                            "writing the template", 0))
      << Failure() << "\n"
      << Events();
  std::string source = codegen_test::ReadText(folder / "twice.c");
  codegen_test::Edit(&source, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&source, "      *py = 0.0;", "      *py = 2 * x;");
  for (const double factor : {2.0, 3.0}) {
    if (factor == 3.0) codegen_test::Edit(&source, "*py = 2 * x;", "*py = 3 * x;");
    std::ofstream(folder / "twice.c") << source;
    ASSERT_TRUE(road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, true),
                              "building the library", 0))
        << Failure() << "\n"
        << Events();
    EXPECT_TRUE(ModeClosedToOthers(library)) << factor;
    auto name = std::make_unique<vantor_client::Request>(113);
    name->PutUInt16(5);
    name->PutString(library.c_str());
    Status result = 0;
    std::vector<vantor_client::Message> named;
    ASSERT_TRUE(road_->Exchange(std::move(name), "naming the library", &result, &named))
        << Failure();
    ASSERT_EQ(result, 0u);
    ASSERT_FALSE(named.empty());
    const std::string found = std::filesystem::canonical(library).string();
    const vantor_client::Bytes& body = named.back().body;
    EXPECT_TRUE(std::search(body.begin(), body.end(), found.begin(), found.end()) != body.end())
        << factor;
    XosDynamicLibrary* loaded = XosDynamicLibrary::Load(library.c_str(), nullptr);
    ASSERT_NE(loaded, nullptr) << XosDynamicLibrary::LastErrorText();
    auto entry = reinterpret_cast<codegen_test::NewEntry>(loaded->LookUpSymbol("TWICE", nullptr));
    ASSERT_NE(entry, nullptr);
    int ifail = 0;
    EXPECT_EQ(codegen_test::CallNew(entry, 0, 1.5, &ifail), factor * 1.5);
    EXPECT_EQ(ifail, 1);
    loaded->Release();
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace group_umask_road
