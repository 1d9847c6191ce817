// The decomposition server ("Brunvald.Decomposer"): what CoCreateInstance
// hands out, and the decompose call at either interface level.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"
#include "solve/ifaces/decomposition.h"

inline constexpr platform::IID IID_IDecomposer = EngineIid(0x0A);
inline constexpr platform::IID IID_IQLNDecomposer = EngineIid(0x0C);
inline constexpr platform::IID IID_IDecomposerCreation = EngineIid(0x1C);

// A server of version 12.
class IDecomposer : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Decompose12(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                     IQLNDecomposition** out) = 0;

 protected:
  ~IDecomposer() = default;
};

// A server of version 13 or later. `proxy` is the engine's own decomposer
// object that forwards the option.
class IQLNDecomposer : public IDecomposer {
 public:
  /* 4 */ virtual Status SetOption(std::uint32_t server_id, VARIANT value,
                                   platform::IUnknown* proxy) = 0;
  /* 5 */ virtual Status Reserved5() = 0;  // E_FAIL
  /* 6 */ virtual Status Decompose(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                   std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                   IQLNDecomposition** out) = 0;

 protected:
  ~IQLNDecomposer() = default;
};

// What CoCreateInstance hands out; the version is read with atoi.
inline constexpr int kDecomposerVersionChars = 24;
class IDecomposerCreation : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetVersion(char16_t* text /* kDecomposerVersionChars */) = 0;

 protected:
  ~IDecomposerCreation() = default;
};
