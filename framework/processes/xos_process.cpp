#include "framework/processes/xos_process.h"

#include <cstdio>

#include "framework/messaging/io_queue.h"
#include "platform/console_events.h"
#include "platform/exit_code.h"

void XosProcessMain(XosThreadFunction server, void* argument, XosAsyncHandler async_handler,
                    XosFailureHandler failure_handler) {
  XosSetAsyncHandler(async_handler);
  XosSetDefaultFailureHandler(failure_handler);
  XosSetFloatingPointTraps(1);
  // Before the server thread exists, so that it inherits the blocked console
  // signals and only the listener receives them.
  if (!platform::StartConsoleEvents(XosConsoleControlHandler)) {
    std::fputs("Could not install Control Handler Function\n", stderr);
    platform::ExitWithStatus(status::kGeneralFailure);
  }
  Status exit_status;
  {
    XosThread server_thread(server, argument, failure_handler, 1);
    if (server_thread.Wait(XosThread::kInfinite) == XosThread::kNotStarted) {
      exit_status = status::kGeneralFailure;
    } else {
      exit_status = server_thread.GetExitCode();
    }
  }
  // A client that closes its connection ends the engine that way: the
  // exit code tells it, and a line on standard error would read as a fault.
  platform::ExitWithStatus(exit_status, exit_status != DseIOQueue::kPeerLost);
}
