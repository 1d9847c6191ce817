// The system's text for a status: the COM failures this layer knows, the
// errno texts for small values (what a failed system call reports), else
// "Unknown error 0x%08X". Texts carry no line break.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace platform {

inline constexpr std::uint32_t FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
inline constexpr std::uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_STRING = 0x0400;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_HMODULE = 0x0800;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

std::string SystemMessageText(Status status);

// Only system texts into the caller's buffer: the text's length without the
// zero, or 0 when flags ask for anything else or the buffer is too small. A
// buffer of at least one byte always ends up holding a terminated text
// (shortened when it did not fit), so a caller that ignores the result never
// prints garbage. source, language and arguments are not used.
std::uint32_t FormatMessageA(std::uint32_t flags, const void* source, std::uint32_t message_id,
                             std::uint32_t language_id, char* buffer, std::uint32_t size,
                             void* arguments);

}  // namespace platform
