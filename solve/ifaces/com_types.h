// What every cross-boundary interface of the solvers shares: the identifier
// family of the engine's own interfaces, the 16-byte variant that carries an
// option value, and the opaque model objects a server only hands back.
//
// Rules for every interface under solve/ifaces/: abstract classes whose pure
// virtual operations stand in exactly the order the servers were built
// against (the order comments count from 0 with QueryInterface), no data
// members, no virtual destructor (g++ gives one two slots), fixed-width
// arguments, 32-bit results. An object ends itself in Release, or through a
// named DeleteThis() where the interface has a deleting operation.
//
// Memory: texts and arrays a COM server hands out are malloc-ed and freed by
// the engine with CoTaskMemFree; wide texts are char16_t. Texts crossing the
// solver framework boundary use KvsServicesAlloc / KvsServicesFree.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/unknown.h"

// {003800NN-07A4-463A-A513-F2F46FF75FB8}: the engine's interface family.
consteval platform::IID EngineIid(std::uint8_t nn) {
  platform::IID iid = platform::MakeGuid("{00380000-07A4-463A-A513-F2F46FF75FB8}");
  iid.Data1 |= nn;
  return iid;
}

// Variant types an option value is sent with.
inline constexpr std::uint16_t kVariantInt32 = 3;
inline constexpr std::uint16_t kVariantDouble = 5;

struct VARIANT {
  std::uint16_t vt;
  std::uint16_t reserved1;
  std::uint16_t reserved2;
  std::uint16_t reserved3;
  union {
    std::int32_t lVal;
    double dblVal;
  };
};
static_assert(sizeof(VARIANT) == 16);

VARIANT VariantOfInt(std::int32_t value);
VARIANT VariantOfReal(double value);

// Model objects a server receives as handles and only passes back.
class QLNVariable;
class QLNEquation;
class DAESEqnRow;
