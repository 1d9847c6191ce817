// What the compiled-evaluation road tests share: the real engine through
// the client, with an installation of its own (the resource compiler, the
// headers, the flowsheet stub and the archives) named by QLNSERVERDIR.
#pragma once

#include <filesystem>
#include <memory>

#include "tests/codegen/codegen_helpers.h"
#include "tests/support/compiler_installation.h"
#include "tests/support/scoped_env.h"
#include "tests/tools/engine_road_fixture.h"

namespace codegen_test {

class CompiledRoad : public engineroad::EngineRoad {
 protected:
  void SetUp() override {
    prefix_ = testsupport::MakeCompilerInstallation(work_.path() / "install", true);
    tools_ = std::make_unique<testsupport::ScopedEnv>("QLNSERVERDIR", (prefix_ / "bin").c_str());
  }

  std::filesystem::path prefix_;
  std::unique_ptr<testsupport::ScopedEnv> tools_;
};

}  // namespace codegen_test
