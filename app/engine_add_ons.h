// The engine's managers above the control layer, made at start-up beside
// the problem manager: the results manager joined to the control loop, and
// the procedure-file manager.
#pragma once

#include <memory>

#include "control/engine/server_thread.h"

namespace vantor_app {

std::unique_ptr<SimEngineAddOns> MakeEngineAddOns(SimProblemMgr& manager,
                                                  DseServerRegistry* registry, Status* status);

}  // namespace vantor_app
