// A flowsheet export asked of the real engine before anything prepared the
// model: the engine prepares the problem itself, writes the export source
// and makefile, and a later command 6 still prepares the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

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

TEST(EngineExport, AnExportBeforeAnyPreparationPreparesTheProblem) {
  testsupport::TempDir pipes;
  testsupport::TempDir work;
  const fs::path prefix = codegen_test::MakeInstallation(work.path());
  testsupport::ScopedEnv pipe_dir("VANTOR_PIPE_DIR", pipes.path().c_str());
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  testsupport::ScopedEnv tools("QLNSERVERDIR", (prefix / "bin").c_str());
  const fs::path out = work.path() / "export";
  fs::create_directories(out);

  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(60000);
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
    // Sub-kind 1: no ports, every flag off, no variable settings.
    auto request = std::make_unique<Request>(113);
    request->PutUInt16(1);
    request->PutString(out.string().c_str());
    request->PutString("Lag");
    request->PutUInt16(0);
    for (int i = 0; i < 9; ++i) request->PutUInt32(0);
    request->PutUInt32(0);
    if (!road.Expect(std::move(request), "exporting the flowsheet", 0)) return false;
    return vantor_scenario::Prepare(road, "preparing after the export (command 6)") &&
           road.Expect(MakeCommand(50, 2), "ending the engine", 0x00320024u);
  }();
  if (ok) client->WaitFor([&] { return client->PeerLost(); });
  road.Collect();
  int exit_code = -1;
  client->Close(&exit_code);
  ASSERT_TRUE(ok) << run.failure << ::testing::PrintToString(run.events);
  EXPECT_EQ(exit_code, 0);
  const std::string source = codegen_test::ReadText(out / "Lag.cpp");
  EXPECT_NE(source.find("DefineEqns"), std::string::npos);
  EXPECT_NE(codegen_test::ReadText(out / "MakeLag").find("tanq_defs.inc"), std::string::npos);
}

}  // namespace
