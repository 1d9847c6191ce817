// The status word returned by nearly every operation of the engine: a 32-bit
// value laid out like a COM HRESULT. Bit 31 marks a failure; bits 31 and 29
// together a severe failure that ends the control loop.
#pragma once

#include <cstdint>

using Status = std::uint32_t;

namespace status {

inline constexpr Status kOk = 0x00000000u;
// A request that no server handles, or a command number nobody decodes.
inline constexpr Status kUnhandled = 0x8000FFFFu;
inline constexpr Status kGeneralFailure = 0xA000FFFFu;
// An operation a server callback does not support.
inline constexpr Status kNotSupported = 0x80000028u;
inline constexpr Status kBadArguments = 0x8000020Fu;
inline constexpr Status kComFailure = 0x80004005u;

inline constexpr Status kFailureBit = 0x80000000u;
inline constexpr Status kSevereMask = 0xA0000000u;
inline constexpr Status kInformationBit = 0x40000000u;

constexpr bool IsFailure(Status s) { return (s & kFailureBit) != 0; }
constexpr bool IsSuccess(Status s) { return (s & kFailureBit) == 0; }
constexpr bool IsSevere(Status s) { return (s & kSevereMask) == kSevereMask; }
// Bits 16-27: the subsystem that produced the status.
constexpr std::uint32_t Facility(Status s) { return (s >> 16) & 0x0FFFu; }
constexpr std::uint32_t Code(Status s) { return s & 0xFFFFu; }

}  // namespace status
