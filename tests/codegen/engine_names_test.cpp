// Names from the client reach makefiles and the build script. Through the
// real engine, names that make or the shell would read as commands ("$(...)",
// backticks, a line break with a tab, a quote) are refused before anything
// is written, and no command in them runs, while a plain name still gets its
// makefile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "daes/procedures/su_proc_def.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/first_order.h"
#include "tools/first_order_steps.h"
#include "tools/road.h"

namespace fs = std::filesystem;

namespace {

using vantor_client::Client;
using vantor_client::MakeCommand;
using vantor_client::Request;

constexpr Status kRefused = 0x8000FFFFu;

struct TypeExport {
  std::string name;
  std::vector<std::string> resources, units, headers;
};

// Sub-kind 4, with the build and clean flags on unless asked not to build.
std::unique_ptr<Request> ExportType(const fs::path& folder, const TypeExport& e,
                                    bool build = true) {
  auto request = std::make_unique<Request>(113);
  request->PutUInt16(4);
  request->PutString(folder.c_str());
  request->PutString(e.name.c_str());
  for (std::uint32_t flag : {0u, build ? 1u : 0u, 0u, 1u, 1u}) request->PutUInt32(flag);
  const auto strings = [&](const std::vector<std::string>& list) {
    request->PutUInt32(static_cast<std::uint32_t>(list.size()));
    for (const std::string& s : list) request->PutString(s.c_str());
  };
  strings(e.resources);
  request->PutUInt32(0);  // quiet
  request->PutUInt32(0);  // no headers
  strings(e.units);
  strings(e.headers);
  return request;
}

// Sub-kind 1 of the loaded model, no ports, built.
std::unique_ptr<Request> ExportFlowsheet(const fs::path& folder, const std::string& name) {
  auto request = std::make_unique<Request>(113);
  request->PutUInt16(1);
  request->PutString(folder.c_str());
  request->PutString(name.c_str());
  request->PutUInt16(0);
  for (std::uint32_t word : {0u, 1u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u}) request->PutUInt32(word);
  return request;
}

// Sub-kind 0: one C procedure's template, makefile and build.
std::unique_ptr<Request> Generate(const fs::path& folder, const std::string& library,
                                  const std::string& source) {
  SUProcDef d;
  codegen_test::Define(&d, "Proc", procdef::kLanguageC, 0, {{procdef::kReal, 0, "x"}},
                       {{procdef::kReal, 0, "y"}});
  d.SetLibrary(library.c_str());
  d.SetSourceFile(source.c_str(), false);
  auto request = std::make_unique<Request>(113);
  request->PutUInt16(0);
  request->PutUInt32(0x7);
  request->PutString(folder.c_str());
  request->PutUInt32(1);
  request->PutString("");
  request->PutUInt8(1);
  d.WriteDefinition(*request);
  request->PutUInt32(0);
  return request;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every file below the folder whose name holds the text (any case).
std::vector<std::string> FilesNaming(const fs::path& folder, const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (Lower(name).find(text) != std::string::npos) found.push_back(entry.path().string());
  }
  return found;
}

TEST(EngineExport, NamesThatWouldRunCommandsAreRefusedAndNothingRuns) {
  testsupport::TempDir pipes;
  testsupport::TempDir work;
  const fs::path prefix = codegen_test::MakeInstallation(work.path());
  testsupport::ScopedEnv pipe_dir("VANTOR_PIPE_DIR", pipes.path().c_str());
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  testsupport::ScopedEnv tools("QLNSERVERDIR", (prefix / "bin").c_str());
  testsupport::ScopedEnv environment("VSENVBATFILE", nullptr);
  const fs::path out = work.path() / "export";
  fs::create_directories(out);

  const std::vector<TypeExport> hostile_types = {
      {"x$(touch injected1)", {}, {}, {}},
      {"x`touch injected2`", {}, {}, {}},
      {"x\n\ttouch injected3", {}, {}, {}},
      {"x\"; touch injected4; \"", {}, {}, {}},
      {"unit", {}, {"u\n\ttouch injected5"}, {}},
      {"resource", {"r$(shell touch injected6)"}, {}, {}},
      {"header", {}, {"u"}, {"h'; touch injected7; '"}},
  };

  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(120000);
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  std::unique_ptr<Client> client;
  std::string why;
  ASSERT_FALSE(status::IsFailure(Client::Start(engine, &client, &why))) << why;
  vantor_scenario::FirstOrderRun run;
  vantor_scenario::Road road(*client, &run);
  const std::string folder = work.path().string() + "/";
  const bool ok = [&] {
    if (!road.Expect(MakeCommand(50, 3, {}, {}, {"FirstOrder", folder}), "command 3", 0))
      return false;
    if (!vantor_scenario::Load(road)) return false;
    for (const TypeExport& e : hostile_types) {
      if (!road.Expect(ExportType(out, e), "type export " + e.name, kRefused)) return false;
    }
    if (!road.Expect(ExportFlowsheet(out, "fs$(touch injected8)"), "flowsheet export", kRefused))
      return false;
    if (!road.Expect(Generate(out, "lib`touch injected9`", "proc.c"), "library name", kRefused))
      return false;
    if (!road.Expect(Generate(out, "lib", "s$(shell touch injected10).c"), "source", kRefused))
      return false;
    // A plain name still gets its makefile (not built).
    if (!road.Expect(ExportType(out, {"plain_1.0", {"icon"}, {"unit"}, {"extra"}}, false),
                     "a plain type export", 0))
      return false;
    return road.Expect(MakeCommand(50, 2), "ending the engine", 0x00320024u);
  }();
  if (ok) client->WaitFor([&] { return client->PeerLost(); });
  road.Collect();
  int exit_code = -1;
  client->Close(&exit_code);
  ASSERT_TRUE(ok) << run.failure << ::testing::PrintToString(run.events);
  EXPECT_EQ(exit_code, 0);

  EXPECT_EQ(FilesNaming(work.path(), "injected"), std::vector<std::string>{});
  EXPECT_EQ(FilesNaming(out, "touch"), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(out / "Makeplain_1.0"));
  std::string events;
  for (const std::string& line : run.events) events += line + "\n";
  EXPECT_NE(events.find("\"x\\n\\ttouch injected3\" is not a plain file name"), std::string::npos)
      << events;
}

}  // namespace
