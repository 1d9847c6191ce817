// The COM results that the in-process COM layer and the engine's COM-style
// objects give, under their usual names. All are status words.
#pragma once

#include "platform/status.h"

namespace platform {

inline constexpr Status S_OK = 0x00000000u;
inline constexpr Status S_FALSE = 0x00000001u;
inline constexpr Status E_NOTIMPL = 0x80004001u;
inline constexpr Status E_NOINTERFACE = 0x80004002u;
inline constexpr Status E_POINTER = 0x80004003u;
inline constexpr Status E_FAIL = 0x80004005u;
inline constexpr Status E_OUTOFMEMORY = 0x8007000Eu;
inline constexpr Status E_INVALIDARG = 0x80070057u;
inline constexpr Status RPC_E_CHANGED_MODE = 0x80010106u;
inline constexpr Status CLASS_E_NOAGGREGATION = 0x80040110u;
inline constexpr Status CLASS_E_CLASSNOTAVAILABLE = 0x80040111u;
inline constexpr Status REGDB_E_CLASSNOTREG = 0x80040154u;
inline constexpr Status CO_E_NOTINITIALIZED = 0x800401F0u;
inline constexpr Status CO_E_CLASSSTRING = 0x800401F3u;
inline constexpr Status CO_E_DLLNOTFOUND = 0x800401F8u;
inline constexpr Status CO_E_ERRORINDLL = 0x800401F9u;

static_assert(E_FAIL == status::kComFailure);

}  // namespace platform
