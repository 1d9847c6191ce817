// The process's procedure-call context as the initialisation block the
// loader hands to the libraries it loads for the engine (open solvers,
// outside procedures): their "BVInitialize" receives its address and can
// reach the message collector, the solver option table and the problem
// manager through it.
#pragma once

#include "framework/libraries/library_api.h"

// Kind 3 once the problem manager has filled the context (0 before).
const QLNInitializationBlock* ProcedureCallBlock();
