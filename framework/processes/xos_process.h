// The run-time entry of the engine process: main hands it the server
// function with its argument, the asynchronous (console event) handler and the
// thread-failure handler; it never returns.
#pragma once

#include "framework/runtime/xos_thread.h"
#include "framework/runtime/xos_translate.h"

// Arms the floating-point traps, installs the console handler, runs the
// server function on an XosThread whose failure handler is the given one (also
// the process default), waits for it and ends the process with its exit
// status (0 for success; a failure never ends with 0).
[[noreturn]] void XosProcessMain(XosThreadFunction server, void* argument,
                                 XosAsyncHandler async_handler, XosFailureHandler failure_handler);
