// The FirstOrder sample model through the real engine with compiled
// evaluation switched on: the engine generates, builds and loads its
// flowsheet library from a test installation, gives the main job's table,
// and its dynamic run agrees with the interpreted one.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "tests/codegen/codegen_helpers.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/first_order.h"

namespace fs = std::filesystem;

namespace {

bool Logged(const vantor_scenario::FirstOrderRun& run, const std::string& text) {
  for (const std::string& line : run.events) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(CodegenCompile, FirstOrderWithCompiledEvaluationGivesTheTable) {
  testsupport::TempDir pipes;
  testsupport::TempDir work;
  const fs::path prefix = codegen_test::MakeInstallation(work.path());
  fs::copy_file(codegen_test::kInstall + "/flowsheetexportstub.cpp",
                prefix / "procedures" / "flowsheetexportstub.cpp");
  testsupport::ScopedEnv pipe_dir("VANTOR_PIPE_DIR", pipes.path().c_str());
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  testsupport::ScopedEnv tools("QLNSERVERDIR", (prefix / "bin").c_str());
  testsupport::ScopedEnv use("QLN_CE_USE", "1");
  testsupport::ScopedEnv keep("QLN_CE_KEEP", "0");

  vantor_scenario::FirstOrderOptions options;
  options.engine.program = VANTOR_ENGINE;
  options.engine.timeout_ms = testsupport::HangBoundMs(60000);
  options.folder = work.path().string();
  options.edit = false;
  vantor_scenario::FirstOrderRun run;
  ASSERT_TRUE(vantor_scenario::RunFirstOrder(options, &run))
      << run.failure << ::testing::PrintToString(run.events);
  EXPECT_TRUE(Logged(run, "Loaded flowsheet object code library (tcex"))
      << ::testing::PrintToString(run.events);
  EXPECT_FALSE(Logged(run, "Failed to load/generate flowsheet object code library"));
  EXPECT_NEAR(run.steady_x, 2.0, 1e-8);
  EXPECT_NEAR(run.steady_y, 4.0, 1e-8);
  ASSERT_EQ(run.samples.size(), 11u);
  for (std::size_t k = 0; k < run.samples.size(); ++k) {
    const double t = 0.1 * static_cast<double>(k);
    const vantor_scenario::Sample& s = run.samples[k];
    EXPECT_NEAR(s.t, t, 1e-9);
    EXPECT_NEAR(s.x, vantor_scenario::ExactX(t), 1e-4 * vantor_scenario::ExactX(t)) << t;
    EXPECT_NEAR(s.y, 2 * vantor_scenario::ExactX(t), 2e-4 * vantor_scenario::ExactX(t)) << t;
  }
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(vantor_scenario::WithinTolerance(run));
  // The build went to the folder its makefile names; with keep off the
  // source is gone after the build.
  std::string makefile;
  for (const std::string& line : run.events) {
    const std::string head = "Generating makefile ";
    if (line.rfind(head, 0) == 0) makefile = line.substr(head.size());
  }
  ASSERT_FALSE(makefile.empty());
  const fs::path built(makefile);
  const std::string library = built.filename().string().substr(4);
  EXPECT_FALSE(fs::exists(built.parent_path() / (library + ".cpp")));
  for (const char* suffix : {".so", ".o", ".res", ".rc", ".cpp"}) {
    fs::remove(built.parent_path() / (library + suffix));
  }
  fs::remove(built);

  // The same run interpreted: the dynamic samples agree to the
  // integrator's tolerance.
  testsupport::TempDir pipes2;
  testsupport::TempDir work2;
  testsupport::ScopedEnv pipe_dir2("VANTOR_PIPE_DIR", pipes2.path().c_str());
  testsupport::ScopedEnv interpreted("QLN_CE_USE", "0");
  options.folder = work2.path().string();
  vantor_scenario::FirstOrderRun plain;
  ASSERT_TRUE(vantor_scenario::RunFirstOrder(options, &plain)) << plain.failure;
  EXPECT_FALSE(Logged(plain, "Generating flowsheet object code"));
  ASSERT_EQ(plain.samples.size(), run.samples.size());
  for (std::size_t k = 0; k < run.samples.size(); ++k) {
    EXPECT_NEAR(run.samples[k].x, plain.samples[k].x, 1e-6 * std::fabs(plain.samples[k].x)) << k;
    EXPECT_NEAR(run.samples[k].y, plain.samples[k].y, 1e-6 * std::fabs(plain.samples[k].y)) << k;
  }
}

}  // namespace
