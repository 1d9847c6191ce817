// What the fake integrator and decomposition servers of the proxy tests do,
// set by the test through the module's exported ProxyFakeScript().
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "solve/ifaces/com_types.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/integrator_server.h"

namespace proxyfake {

// Class ids the test registry names; the last digit tells them apart.
inline constexpr platform::CLSID kClass1 =
    platform::MakeGuid("{7E1A0001-5D1C-4F7B-9C2E-0A1B2C3D4E51}");
inline constexpr platform::CLSID kClass2 =
    platform::MakeGuid("{7E1A0001-5D1C-4F7B-9C2E-0A1B2C3D4E52}");
inline constexpr platform::CLSID kClass3 =
    platform::MakeGuid("{7E1A0001-5D1C-4F7B-9C2E-0A1B2C3D4E53}");
inline constexpr platform::CLSID kClass4 =
    platform::MakeGuid("{7E1A0001-5D1C-4F7B-9C2E-0A1B2C3D4E54}");

struct Option {
  const char* name;  // null sends a null name
  std::uint32_t number;
  std::uint32_t id;
  std::uint16_t vt;
};

struct Script {
  // Which class made the last object: 1..4.
  int made_by = 0;
  std::vector<std::string> calls;
  std::vector<Option> options;
  std::int32_t negative_fetched = 0;  // Next reports this count instead
  bool null_enumerator = false;       // get-interface succeeds with null
  std::uint32_t capabilities = 0;
  std::function<Status(double* reached, double time, std::int32_t mode)> initialise;
  Status run_control = 0;
  Status set_up = 0;
  Status finish = 0;
  double value = 1.0;
  std::u16string error_text;  // empty: no text
  bool error_text_null = false;
  std::function<void(std::int32_t n, const std::int32_t* positions, double* values)> exchange;
  // Sensitivities: op 19 fills from `sensitivity_data`; the item
  // enumerator hands out `items`, or the same item forever when endless.
  std::function<Status(double* values, std::int32_t a, std::int32_t b, std::int32_t index)>
      sensitivity_data;
  std::vector<SensitivityItem> items;
  bool endless_items = false;
  std::uint32_t items_fetched_override = 0;
  bool no_items = false;
  // Decomposer.
  char16_t version[24] = {u'1', u'3'};
  Status decompose = 0;
  std::vector<std::uint32_t> decompose_args;  // kind, mode, flags per call
  // Builds the decomposition from the caller's factory and equation set;
  // without it none is made.
  std::function<Status(platform::IUnknown* factory, platform::IUnknown* set,
                       IQLNDecomposition** out)>
      build;
  std::int32_t live = 0;
  void Reset() { *this = Script(); }
};

using ScriptFunction = Script* (*)();

}  // namespace proxyfake
