#include "tests/support/golden.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

Bytes HexBytes(const std::string& hex) {
  Bytes out;
  int nibbles = 0;
  unsigned value = 0;
  for (char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw std::invalid_argument("HexBytes: not a hex digit in \"" + hex + "\"");
    }
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(c) - 'a' + 10);
    if (++nibbles == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      nibbles = 0;
      value = 0;
    }
  }
  if (nibbles != 0) throw std::invalid_argument("HexBytes: odd number of digits");
  return out;
}

Bytes ToBytes(const std::string& raw) { return Bytes(raw.begin(), raw.end()); }

Bytes ToBytes(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return Bytes(p, p + size);
}

std::string HexDump(const Bytes& bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    out += buf;
    out += (i % 16 == 15) ? '\n' : ' ';
  }
  return out;
}

::testing::AssertionResult SameBytes(const Bytes& expected, const Bytes& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  std::size_t first = 0;
  while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) {
    ++first;
  }
  return ::testing::AssertionFailure()
         << "bytes differ at offset " << first << " (expected " << expected.size() << " bytes, got "
         << actual.size() << ")\nexpected:\n"
         << HexDump(expected) << "\nactual:\n"
         << HexDump(actual);
}

}  // namespace testsupport
