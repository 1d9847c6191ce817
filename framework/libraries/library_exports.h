// The engine's side of the exported library functions' process-wide state.
#pragma once

#include "framework/libraries/library_api.h"

// Forgets the initialization block and any registered options handler, as at
// process start. For a process that hosts one engine after another (a test
// run); libraries must not be loaded when it is called.
void ResetLibraryExports();

// The engine's own options handler in the process's initialisation block:
// what QLN_Rqst asks, and what a library that registers a handler of its
// own finds answering first. A block without a kind becomes kind 1. Null
// takes it away. Returns the handler it replaced.
QLNOptionsHandler* SetEngineOptionsHandler(QLNOptionsHandler* handler);
// The handler set there now (before any library's own), or null.
QLNOptionsHandler* EngineOptionsHandler();
