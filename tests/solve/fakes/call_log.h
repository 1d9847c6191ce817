// The record both sides of the interface test write: a fake operation logs
// its own name and arguments, the test builds the line it expects with the
// same formatter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "platform/guid.h"
#include "solve/ifaces/com_types.h"

inline constexpr std::uint32_t kFakeResult = 0x600DF00Du;

inline void AppendArg(std::string* out, const platform::IID& iid) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "iid%08X", iid.Data1);
  *out += buf;
}

inline void AppendArg(std::string* out, const VARIANT& v) {
  char buf[48];
  if (v.vt == kVariantDouble) {
    std::snprintf(buf, sizeof buf, "vt5:%g", v.dblVal);
  } else {
    std::snprintf(buf, sizeof buf, "vt%u:%d", v.vt, v.lVal);
  }
  *out += buf;
}

template <typename T>
void AppendArg(std::string* out, T value) {
  char buf[32];
  if constexpr (std::is_pointer_v<T>) {
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(value));
  } else if constexpr (std::is_floating_point_v<T>) {
    std::snprintf(buf, sizeof buf, "%g", value);
  } else {
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
  }
  *out += buf;
}

template <typename... Args>
std::string CallLine(const char* name, const Args&... args) {
  std::string line = name;
  line += '(';
  bool first = true;
  ((line += first ? "" : ",", first = false, AppendArg(&line, args)), ...);
  line += ')';
  return line;
}

// Names the .inc list can call with a parenthesised argument list:
// CallLineOf{"Name"}(a, b).
struct CallLineOf {
  const char* name;
  template <typename... Args>
  std::string operator()(const Args&... args) const {
    return CallLine(name, args...);
  }
};

// The parameter types the list writes.
using I32 = std::int32_t;
using U32 = std::uint32_t;
using I64 = std::int64_t;
using U8 = std::uint8_t;

// The solver systems have no identifier of their own; the fakes answer these.
inline constexpr platform::IID kFakeLASystemIid =
    platform::MakeGuid("{0000000A-0000-0000-0000-000000000001}");
inline constexpr platform::IID kFakeNLASystemIid =
    platform::MakeGuid("{0000000A-0000-0000-0000-000000000002}");
inline constexpr platform::IID kFakeNLPSystemIid =
    platform::MakeGuid("{0000000A-0000-0000-0000-000000000003}");

// Exported by the fake library.
extern "C" {
using MakeFakeFunction = platform::IUnknown* (*)(const platform::IID* iid);
using MakeFakePlainFunction = void* (*)(const char* name);
using LastCallFunction = const char* (*)();
}
