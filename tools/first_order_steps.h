// Steps of the FirstOrder road that other roads over the same model share.
#pragma once

#include <cstdint>
#include <string>

#include "tools/road.h"

namespace vantor_scenario {

// Command 6, then the notification with the four preparation bits.
bool Prepare(Road& road, const std::string& what);
// Makes the FirstOrder instance node and fills it.
bool Load(Road& road);
// u := 5 through the instance manager.
bool SetU(Road& road);
// An integer solver option through service 53.
bool SetOption(Road& road, std::uint16_t number, std::uint32_t value, const std::string& what);
// RunMode 4.
bool DynamicMode(Road& road);

}  // namespace vantor_scenario
