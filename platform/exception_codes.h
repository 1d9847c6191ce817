// The structured-exception codes the engine speaks in. Our fault guards
// report a caught signal as one of these, so the layers above translate
// every failure by one table, whatever raised it.
#pragma once

#include <cstdint>

namespace platform::exception {

inline constexpr std::uint32_t kAccessViolation = 0xC0000005u;
inline constexpr std::uint32_t kDataMisalignment = 0x80000002u;
inline constexpr std::uint32_t kArrayBoundsExceeded = 0xC000008Cu;
inline constexpr std::uint32_t kBreakpoint = 0x80000003u;
inline constexpr std::uint32_t kSingleStep = 0x80000004u;
inline constexpr std::uint32_t kFloatDenormalOperand = 0xC000008Du;
inline constexpr std::uint32_t kFloatDivideByZero = 0xC000008Eu;
inline constexpr std::uint32_t kFloatInexactResult = 0xC000008Fu;
inline constexpr std::uint32_t kFloatInvalidOperation = 0xC0000090u;
inline constexpr std::uint32_t kFloatOverflow = 0xC0000091u;
inline constexpr std::uint32_t kFloatStackCheck = 0xC0000092u;
inline constexpr std::uint32_t kFloatUnderflow = 0xC0000093u;
inline constexpr std::uint32_t kIntegerDivideByZero = 0xC0000094u;
inline constexpr std::uint32_t kIntegerOverflow = 0xC0000095u;
inline constexpr std::uint32_t kPrivilegedInstruction = 0xC0000096u;
inline constexpr std::uint32_t kNoncontinuableException = 0xC0000025u;
// Not in the engine's table; reported as an unknown exception.
inline constexpr std::uint32_t kIllegalInstruction = 0xC000001Du;

}  // namespace platform::exception
