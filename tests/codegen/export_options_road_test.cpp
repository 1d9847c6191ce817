// A flowsheet exported through the real engine (service 113, sub-kind 1)
// carries the options in force: options a client set before the export
// appear in the library's "SetOptions" script, and its options handler,
// registered when the library starts, answers every option request as the
// engine's option table answers it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "framework/libraries/library_api.h"
#include "platform/dynamic_library.h"
#include "solve/options/solver_option_table.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/engine_road_fixture.h"
#define FAKE_QVF_TYPES_ONLY
#include "tests/codegen/fake_qvf/qvfblock.h"

namespace export_options_road {

namespace fs = std::filesystem;

using engineroad::EngineRoad;
using vantor_client::Request;

constexpr double kRelativeTolerance = 2.5e-7;  // option 130
constexpr std::uint32_t kNewton = 1;           // option 38, a choice

class CodegenCompileExportOptions : public EngineRoad {
 protected:
  // The engine with the two options set, the decay model loaded and
  // exported as "Decay" into `out`.
  bool Export(const fs::path& out) {
    const fs::path prefix = codegen_test::MakeInstallation(work_.path() / "install");
    std::FILE* defs = std::fopen((prefix / "procedures" / "tanq_defs.inc").c_str(), "w");
    if (defs != nullptr) std::fclose(defs);
    testsupport::ScopedEnv tools("QLNSERVERDIR", (prefix / "bin").c_str());
    if (!StartEngine(Engine(), "Exported") || !RealOption(130, kRelativeTolerance) ||
        !IntOption(38, kNewton) ||
        !Load([](modelwriter::Writer& w) { engineroad::DecayModel(w, ".k", 0.5); }))
      return false;
    auto request = std::make_unique<Request>(113);
    request->PutUInt16(1);
    request->PutString(out.string().c_str());
    request->PutString("Decay");
    request->PutUInt16(0);
    for (int i = 0; i < 9; ++i) request->PutUInt32(0);
    request->PutUInt32(0);
    return road_->Expect(std::move(request), "the export (113/1)", 0) && EndEngine();
  }
};

TEST_F(CodegenCompileExportOptions, TheExportCarriesTheOptionsInForce) {
  const fs::path out = work_.path() / "export";
  fs::create_directories(out);
  ASSERT_TRUE(Export(out)) << Failure() << "\n" << Events();
  std::string source = codegen_test::ReadText(out / "Decay.cpp");
  ASSERT_FALSE(source.empty());
  EXPECT_NE(
      source.find("rt_queue_append(pQueue, \"QLNSolver Set Integration.RelErrorTol=2.5e-07\\n\");"),
      std::string::npos);
  EXPECT_NE(
      source.find("rt_queue_append(pQueue, \"QLNSolver Set Nonlinear.Method=\\\"Newton\\\"\\n\");"),
      std::string::npos);

  // Built against the host's headers, with a probe of the script and the
  // handler, as the host reaches them.
  source +=
      "DLL_C_AS_C(rt_queue_tag*) probe_script(const char *id) {\n"
      "  return qln_acquire_script(0, id);\n}\n";
  std::FILE* file = std::fopen((out / "probe.cpp").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs(source.c_str(), file);
  std::fclose(file);
  const fs::path so = out / "decay.so";
  const std::string host = std::string(VANTOR_SOURCE_DIR) + "/tests/codegen/fake_qvf";
  ASSERT_EQ(codegen_test::Shell("g++ -shared -fPIC -O1 -w -std=c++17 -I'" + codegen_test::kInstall +
                                "' -I'" + host + "' -o '" + so.string() + "' '" +
                                (out / "probe.cpp").string() + "'"),
            "");
  platform::LibraryOpen open = platform::OpenLibrary(so.string());
  ASSERT_NE(open.handle, nullptr) << open.error;
  auto script = reinterpret_cast<rt_queue_tag* (*)(const char*)>(
      platform::LibrarySymbol(open.handle, "probe_script"));
  auto start = reinterpret_cast<int (*)()>(platform::LibrarySymbol(open.handle, "DLLINITIALIZE"));
  ASSERT_TRUE(script && start);

  EXPECT_EQ(script("Other"), nullptr);
  std::unique_ptr<rt_queue_tag> lines(script("setoptions"));
  ASSERT_NE(lines, nullptr);
  auto has = [&](const std::string& line) {
    return std::find(lines->lines.begin(), lines->lines.end(), line) != lines->lines.end();
  };
  EXPECT_TRUE(has("QLNSolver Set Integration.RelErrorTol=2.5e-07\n"));
  EXPECT_TRUE(has("QLNSolver Set Nonlinear.Method=\"Newton\"\n"));

  // Started, the library registers its handler: every request the run
  // does not decide is answered as a table with the same options answers;
  // the engine's own answers (time unit, folders) are those of the
  // exporting engine.
  ASSERT_EQ(start(), 0);
  QLNInitializationBlock* block = GetDLLInitializationData();
  ASSERT_NE(block, nullptr);
  ASSERT_NE(block->options_handler, nullptr);
  SolverOptionTable reference;
  reference.SetReal(130, kRelativeTolerance);
  reference.SetInteger(38, kNewton);
  reference.ApplyPendingChanges();
  for (std::int32_t request = 1; request <= 44; ++request) {
    if (request == 18 || request == 31 || request == 35 || request >= 41) continue;
    std::int32_t i = 0, want_i = 0;
    double x = 0.0, want_x = 0.0;
    const char* s = nullptr;
    const char* want_s = nullptr;
    const std::int32_t kind = block->options_handler->OptionRequest(request, &i, &x, &s);
    const std::int32_t want = reference.OptionRequest(request, &want_i, &want_x, &want_s);
    SCOPED_TRACE(request);
    ASSERT_EQ(kind, want);
    EXPECT_EQ(i, want_i);
    EXPECT_EQ(x, want_x);
    EXPECT_EQ(std::string(s != nullptr ? s : ""), std::string(want_s != nullptr ? want_s : ""));
  }
  std::int32_t i = 0;
  double x = 0.0;
  const char* folder = nullptr;
  EXPECT_EQ(block->options_handler->OptionRequest(43, &i, &x, &folder), 3);
  EXPECT_EQ(std::string(folder != nullptr ? folder : "").rfind(work_.path().string(), 0), 0u)
      << (folder != nullptr ? folder : "");
}

}  // namespace export_options_road
