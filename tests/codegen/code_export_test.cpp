// The engine's code export through the problem manager: a request that
// finds no problem prepares one first, the progress lines reach the
// client, the type makefile goes the same way, and the compiled-equation
// check is the code-export object's.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codegen/files/code_export.h"
#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "daes/blocks/solver_block.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/values/packed_value.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/server_registry.h"
#include "fuzz/byte_stream.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/quiet_run_seams.h"

namespace fs = std::filesystem;
using namespace codegen_test;

namespace {

class LineController : public DseMessageController {
 public:
  LineController() { DseSetCurrentController(this); }
  ~LineController() { DseSetCurrentController(nullptr); }
  Status Send(DseMessage* message, std::uint32_t, DseClientCB*, void*, const double*,
              std::int32_t) override {
    delete message;
    return status::kOk;
  }
  Status Poll() override { return 0; }
  bool OutputWaiting() override { return false; }
  Status CancelRequest(std::uint32_t) override { return 21; }
  Status PostEvents(std::uint32_t, std::int32_t count, const std::uint32_t*,
                    const std::uint32_t* counts, const char* const* const* lines,
                    DseSentMark*) override {
    for (std::int32_t g = 0; g < count; ++g)
      for (std::uint32_t i = 0; i < counts[g]; ++i) this->lines.push_back(lines[g][i]);
    return 0;
  }
  std::vector<std::string> lines;
};

// Prepares the tank model when asked.
class TankOps final : public QuietRunOps {
 public:
  Status PrepareSimulation(std::int32_t a, std::int32_t b) override {
    prepared.push_back(a * 10 + b);
    if (GetCurrentProblem() == nullptr) DAESCreateProblem(tree.root, 0, &table);
    return 0;
  }
  Status CheckProblem() override { return 0; }
  Status RecordStep() override { return 0; }
  Status ApplyOptionChanges() override { return 0; }
  Status TakeQueuedSnapshots() override { return 0; }
  Status Rewind() override { return 0; }
  Status RunStep() override { return 0; }
  daestest::Tree tree;
  SUPackedValueTable table;
  std::vector<std::int32_t> prepared;
};

// The engine's wiring of the code-export object.
class ExportServices final : public SimUpperServices {
 public:
  explicit ExportServices(codegen::ProblemCodeExport& exporter) : export_(exporter) {}
  // The export has no estimation beside it.
  void ResetEstimation() override {}
  Status CheckCompiledEquations() override { return export_.CheckCompiledEquations(); }
  Status WriteProblemCode(DAESProblem* problem,
                          const std::function<void(Status, const char*)>& progress) override {
    return export_.WriteProblemCode(problem, progress);
  }
  Status WriteExportMakefile(bool build) override { return export_.WriteMakefile(build); }
  // Nor any manager that holds variables.
  void ForgetVariable(DAESVarTableEntry*) override {}

 private:
  codegen::ProblemCodeExport& export_;
};

class CodeExportTest : public ::testing::Test {
 protected:
  CodeExportTest() {
    ops.tree.Read(daestest::Tank);
    manager.SetRunOps(&ops);
    context.report = reports.Callback();
    context.server_folder = bin.string();
    context.export_flowsheet = [this](const codegen::ExportRequest& request,
                                      std::int32_t* libraries) {
      return exporter.ExportFlowsheet(request, libraries,
                                      [this] { return manager.ExportProblemCode(); });
    };
    context.export_type = [this](const codegen::ExportRequest& request) {
      return exporter.ExportType(request,
                                 [this](bool build) { return manager.WriteExportMakefile(build); });
    };
  }
  ~CodeExportTest() override {
    manager.SetUpperServices(nullptr);
    manager.SetRunOps(nullptr);
    delete GetCurrentProblem();
    // Kept after a failure, for a look.
    if (!HasFailure()) fs::remove_all(folder);
  }

  static codegen::FlowsheetGeneration Settings(const fs::path& bin, Reports* reports) {
    codegen::FlowsheetGeneration generation;
    generation.server_folder = bin.string();
    generation.report = reports->Callback();
    return generation;
  }

  // A request body of sub-kind 1 (no ports, no settings) or 4.
  static std::vector<std::uint8_t> Body(std::uint16_t kind, const fs::path& folder,
                                        const char* name) {
    vantor_fuzz::ByteStream body;
    body.PutUInt16(kind);
    body.PutString(folder.string().c_str());
    body.PutString(name);
    if (kind == 1) body.PutUInt16(0);
    // Optimise, build, debug, clean, resource, resources, quiet, no
    // headers, units (and for a type its extra headers).
    for (std::uint32_t word : {0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u}) body.PutUInt32(word);
    if (kind == 4) body.PutUInt32(0);
    if (kind == 1) body.PutUInt32(0);
    return body.Bytes();
  }

  Status Request(const std::vector<std::uint8_t>& bytes) {
    vantor_fuzz::ByteStream in(bytes);
    return codegen::HandleProcFilesRequest(in, context);
  }

  fs::path folder = FreshFolder("code_export");
  fs::path bin = MakeInstallation(folder) / "bin";
  LineController controller;
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
  TankOps ops;
  Reports reports;
  codegen::ProblemCodeExport exporter{Settings(bin, &reports), bin.string()};
  ExportServices services{exporter};
  codegen::ProcFilesContext context;
};

TEST_F(CodeExportTest, AFlowsheetExportWithoutAProblemPreparesOneFirst) {
  delete GetCurrentProblem();
  // Without the code-export object nothing is prepared or written.
  EXPECT_EQ(Request(Body(1, folder, "Plant")), SimUpperServices::kNotAvailable);
  EXPECT_FALSE(fs::exists(folder / "Plant.cpp"));
  delete GetCurrentProblem();
  ops.prepared.clear();

  manager.SetUpperServices(&services);
  ASSERT_EQ(Request(Body(1, folder, "Plant")), 0u) << ::testing::PrintToString(controller.lines);
  EXPECT_EQ(ops.prepared, std::vector<std::int32_t>{0});
  ASSERT_NE(GetCurrentProblem(), nullptr);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  EXPECT_TRUE(fs::exists(folder / "Plant.cpp"));
  EXPECT_NE(ReadText(folder / "MakePlant").find("tanq_defs.inc"), std::string::npos);
  // The generator's lines went to the client as they were written, not
  // to the request's own report.
  EXPECT_FALSE(controller.lines.empty());

  // A second export uses the problem it finds.
  ASSERT_EQ(Request(Body(1, folder, "Plant2")), 0u);
  EXPECT_EQ(ops.prepared.size(), 1u);
  EXPECT_TRUE(fs::exists(folder / "Plant2.cpp"));

  // A force-unload resets a problem prepared for an export.
  manager.ReleaseExportPreparation();
  EXPECT_EQ(manager.PreparationNeeded(), 3);
}

TEST_F(CodeExportTest, ATypeExportWritesItsMakefileThroughTheProblemManager) {
  const fs::path type_folder = folder / "type";
  fs::create_directories(type_folder);
  EXPECT_EQ(Request(Body(4, type_folder, "Pump")), SimUpperServices::kNotAvailable);
  EXPECT_TRUE(fs::is_empty(type_folder));
  manager.SetUpperServices(&services);
  ASSERT_EQ(Request(Body(4, type_folder, "Pump")), 0u) << ::testing::PrintToString(reports.texts);
  EXPECT_FALSE(fs::is_empty(type_folder));
  // A type export prepares nothing.
  EXPECT_TRUE(ops.prepared.empty());
}

TEST_F(CodeExportTest, OutsideARequestThereIsNothingToWrite) {
  DAESProblem* problem = DAESCreateProblem(ops.tree.root, 0, &ops.table);
  ASSERT_NE(problem, nullptr);
  EXPECT_EQ(exporter.WriteProblemCode(problem, nullptr), codegen::kNoExportRequest);
  EXPECT_EQ(exporter.WriteMakefile(false), codegen::kNoExportRequest);
  // Each request is held only for its own kind of call.
  codegen::ExportRequest request;
  request.folder = folder.string();
  request.name = "Mixed";
  EXPECT_EQ(exporter.ExportType(request,
                                [&](bool) { return exporter.WriteProblemCode(problem, nullptr); }),
            codegen::kNoExportRequest);
  std::int32_t libraries = -1;
  EXPECT_EQ(
      exporter.ExportFlowsheet(request, &libraries, [&] { return exporter.WriteMakefile(false); }),
      codegen::kNoExportRequest);
  EXPECT_FALSE(fs::exists(folder / "Mixed.cpp"));
}

TEST_F(CodeExportTest, TheCompiledEquationCheckIsTheCodeExportObjects) {
  DAESProblem* problem = DAESCreateProblem(ops.tree.root, 0, &ops.table);
  ASSERT_NE(problem, nullptr);
  problem->SetCompiledEvaluation(0, nullptr);
  // Without the object: its own answer, not a failure to the executive.
  EXPECT_EQ(manager.CheckCompiledEquations(), 0x0032000Au);
  EXPECT_EQ(manager.Executive().CheckCompiledEquations(), 0u);
  manager.SetUpperServices(&services);
  // Interpreted equations: nothing to check.
  EXPECT_EQ(manager.CheckCompiledEquations(), 0u);
  // Compiled evaluation asked for, but no library took over.
  problem->SetCompiledEvaluation(2, nullptr);
  EXPECT_EQ(manager.CheckCompiledEquations(), codegen::kCompiledNotLoaded);
  EXPECT_EQ(manager.Executive().CheckCompiledEquations(), 0x80004005u);
  problem->SetCompiledEvaluation(0, nullptr);
  EXPECT_EQ(DAESSolverBlock::CompiledEvaluationWord(), 0u);
}

}  // namespace
