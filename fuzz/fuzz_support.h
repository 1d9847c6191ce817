// Shared by the fuzz targets and the seed writer: a collector that drops the
// printer's lines, a place for files made while reading, and the list of
// targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/messages/messages_handler.h"
#include "foundation/values/typed_value.h"

namespace vantor_fuzz {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(const std::uint8_t* data, std::size_t size) {
  return Bytes(data, data + size);
}

// Swallows every line, so that a run prints nothing per input.
class QuietCollector : public QLNMessagesHandler {
 public:
  std::uint32_t AddText(const char*) override { return 0; }
  std::uint32_t EndGroup(Status) override { return 0; }
};

// Installs one quiet collector for the life of the process.
void InstallQuietCollector();

// A private folder for this process below the temporary folder ($TMPDIR,
// else /tmp), made once and removed when the process ends normally; the
// folders that ended runs left there are removed when it is made.
const std::string& ScratchFolder();

// What handlers do with a value read: add to it, look into it, compare.
void ExerciseValue(const SUValue& value);

// Splits at NUL bytes (the words of a command line).
std::vector<std::string> SplitAtNul(const std::uint8_t* data, std::size_t size);

}  // namespace vantor_fuzz
