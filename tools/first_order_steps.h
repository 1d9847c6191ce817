// Steps of the FirstOrder road that other roads over the same model share.
#pragma once

#include <cstdint>
#include <string>

#include "tools/road_steps.h"

namespace vantor_scenario {

// Makes the FirstOrder instance node and fills it.
bool Load(Road& road);
// u := 5 through the instance manager.
bool SetU(Road& road);
// RunMode 4.
bool DynamicMode(Road& road);

}  // namespace vantor_scenario
