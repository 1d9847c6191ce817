// Byte-exact comparison of file and wire layouts, printed as hex so that a
// mismatch shows where it starts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// Parses "88 88 00 00 FF FF" (blanks optional between pairs).
Bytes HexBytes(const std::string& hex);

Bytes ToBytes(const std::string& raw);
Bytes ToBytes(const void* data, std::size_t size);

// "88 88 00 00 ..." with a line break every 16 bytes.
std::string HexDump(const Bytes& bytes);

// Passes when equal; otherwise names the first differing offset and dumps both.
::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual);

}  // namespace testsupport
