// For work that holds the server thread (a long analysis computing inside
// its request): whether the client has asked the engine to end meanwhile.
#pragma once

// True while command 2 of the problem service waits behind the work, or
// once the client is gone. Reads the connection at most every 50 ms (so a
// loop may ask at every pass) and dispatches nothing: the command is served
// as usual once the work returns. Server thread only; false on any other.
bool EngineEndRequested();
