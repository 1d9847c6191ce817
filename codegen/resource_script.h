// The version resource script of a generated library, written once so the
// modeller may edit it.
#pragma once

#include <cstdint>

// 0 when the script exists already or was written, 10 when it cannot be
// opened (no report).
std::uint32_t WriteResourceScript(const char* folder, const char* library);
