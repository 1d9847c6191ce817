// Client commands with random numbers and argument lists, one after another,
// against a problem manager of its own. Commands naming folders are left
// out: they would create and delete real folders wherever the input says.
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "fuzz/byte_stream.h"

namespace {

bool TakesAFolder(std::uint32_t command) {
  return command == 3 || command == 4 || command == 5 || command == 141;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  SimProblemMgr manager(nullptr);
  for (int command_index = 0; command_index < 64; ++command_index) {
    std::uint32_t number = 0;
    std::uint8_t strings = 0, integers = 0, reals = 0;
    if (body.GetUInt32(&number) != 0 || body.GetUInt8(&strings) != 0) break;
    std::vector<std::string> texts;
    for (std::uint8_t i = 0; i < strings % 5; ++i) {
      std::vector<char> text(257, '\0');
      if (body.GetStringInto(text.data(), 256) != 0) break;
      texts.emplace_back(text.data());
    }
    std::vector<std::int32_t> ints;
    if (body.GetUInt8(&integers) == 0) {
      for (std::uint8_t i = 0; i < integers % 5; ++i) {
        std::uint32_t value = 0;
        if (body.GetUInt32(&value) != 0) break;
        ints.push_back(static_cast<std::int32_t>(value));
      }
    }
    std::vector<double> values;
    if (body.GetUInt8(&reals) == 0) {
      for (std::uint8_t i = 0; i < reals % 5; ++i) {
        double value = 0.0;
        if (body.GetFloatAsDouble(&value) != 0) break;
        values.push_back(value);
      }
    }
    if (TakesAFolder(number)) continue;
    std::vector<const char*> pointers;
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    manager.HandleCommand(SimProblemMgr::kProblemService, number,
                          static_cast<std::uint32_t>(pointers.size()), pointers.data(),
                          static_cast<std::uint32_t>(ints.size()), ints.data(),
                          static_cast<std::uint32_t>(values.size()), values.data());
  }
  return 0;
}
