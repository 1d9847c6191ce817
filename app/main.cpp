#include <cstdio>

#include "analysis/analysis_managers.h"
#include "app/banner.h"
#include "control/engine/engine_handlers.h"
#include "control/engine/server_thread.h"
#include "foundation/messages/math_error.h"
#include "framework/processes/xos_process.h"

namespace {
std::shared_ptr<void> MakeAnalysisManagers(SimProblemMgr& problem, DseServerRegistry* registry) {
  return std::make_shared<AnalysisManagers>(problem, nullptr, registry);
}
}  // namespace

int main(int argc, char** argv) {
  std::printf("%s\n", vantor_app::BannerText().c_str());
  std::fflush(stdout);
  InstallMathErrorHook();
  SetEngineManagersMaker(MakeAnalysisManagers);
  static EngineArguments arguments;
  arguments.argc = argc;
  arguments.argv = argv;
  XosProcessMain(ServerThreadBody, &arguments, Vantor::async_signal_handler, sync_server_handler);
}
