// The option lists the integrator and decomposition servers publish.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IOptionEnumerator1 = EngineIid(0x1A);
inline constexpr platform::IID IID_IOptionEnumerator2 = EngineIid(0x1B);

// The servers' option lists, ten entries a call until Next answers non-zero.
// Engine option number 0 asks the engine to find the option by its name.
struct OptionEntry {
  char16_t* name;  // freed by the engine with CoTaskMemFree
  std::uint32_t engine_number;
  std::uint32_t server_id;
  std::uint16_t vt;
};
static_assert(sizeof(OptionEntry) == 24);

struct OptionEntry1 {
  std::uint8_t unused[8];
  std::uint32_t engine_number;
  std::uint32_t server_id;
  std::uint16_t vt;
  std::uint8_t tail[6];
};
static_assert(sizeof(OptionEntry1) == 24);

class IOptionEnumerator2 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, OptionEntry* entries,
                              std::uint32_t* fetched) = 0;

 protected:
  ~IOptionEnumerator2() = default;
};

// The older form hands out one array per batch, freed by the engine with
// CoTaskMemFree.
class IOptionEnumerator1 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, OptionEntry1** entries,
                              std::uint32_t* fetched) = 0;

 protected:
  ~IOptionEnumerator1() = default;
};
