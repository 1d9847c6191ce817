#include <cstdio>

#include "app/banner.h"
#include "app/engine_add_ons.h"
#include "control/engine/engine_handlers.h"
#include "control/engine/server_thread.h"
#include "foundation/messages/math_error.h"
#include "framework/processes/xos_process.h"
#include "platform/loader_environment.h"
#include "platform/stream_relay.h"

int main(int argc, char** argv) {
  // Before anything is loaded, even the banner's output buffered.
  platform::RestartWithoutRelativeSearchEntries(argv);
  // A client that never reads the engine's output must not hang the engine.
  platform::RelayStandardOutput();
  std::printf("%s\n", vantor_app::BannerText().c_str());
  if (vantor_app::AsksForHelp(argc, argv)) {
    std::fputs(vantor_app::kUsage, stdout);
    return 0;
  }
  std::fflush(stdout);
  InstallMathErrorHook();
  SetEngineAddOnMaker(vantor_app::MakeEngineAddOns);
  static EngineArguments arguments;
  arguments.argc = argc;
  arguments.argv = argv;
  XosProcessMain(ServerThreadBody, &arguments, Vantor::async_signal_handler, sync_server_handler);
}
