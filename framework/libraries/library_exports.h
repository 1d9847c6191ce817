// The engine's side of the exported library functions' process-wide state.
#pragma once

// Forgets the initialization block and any registered options handler, as at
// process start. For a process that hosts one engine after another (a test
// run); libraries must not be loaded when it is called.
void ResetLibraryExports();
