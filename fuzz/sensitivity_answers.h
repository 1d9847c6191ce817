// What an integrator server answers when the engine carries its
// sensitivities: the manager's shape, the problem's variables, a failing
// row, the enumerator's kind and its batches. The fuzz target reads it; the
// seed writer writes our server's well-formed answers with it.
#pragma once

#include <cstdint>
#include <vector>

namespace vantor_fuzz {

struct SensitivityBatch {
  std::uint8_t next_result = 0;
  // (flags byte: bit 0 sensitivity item, position)
  std::vector<std::pair<std::uint8_t, std::uint8_t>> items;
};

struct SensitivityAnswers {
  std::uint8_t shape = 0;  // entries 2 bits, elements 2, switching rows 2, final row, array
  std::uint8_t variables = 0;
  std::uint8_t failing_row = 0;  // 0 none, else row + 1
  std::uint8_t enumerator = 0;   // 0 items, 1 none with success, 2 refused
  std::vector<SensitivityBatch> batches;

  std::vector<std::uint8_t> Encode() const {
    std::vector<std::uint8_t> out = {shape, variables, failing_row, enumerator};
    for (const SensitivityBatch& b : batches) {
      out.push_back(static_cast<std::uint8_t>(b.items.size()));
      out.push_back(b.next_result);
      for (const auto& [flags, position] : b.items) {
        out.push_back(flags);
        out.push_back(position);
      }
    }
    return out;
  }
};

}  // namespace vantor_fuzz
