#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace vantor_fuzz {

void InstallQuietCollector() {
  static QuietCollector collector;
  if (GetMessageCollector() != &collector) SetMessageCollector(&collector);
}

const std::string& ScratchFolder() {
  // Never destroyed, so that the removal at exit still knows the name.
  static const std::string* folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path path =
        std::filesystem::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
        ("vantor-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchFolder(), ignored);
    });
    return new std::string(path.string());
  }();
  return *folder;
}

std::vector<std::string> SplitAtNul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.emplace_back();
    } else {
      words.back().push_back(static_cast<char>(data[i]));
    }
  }
  return words;
}

void ExerciseValue(const SUValue& value) {
  SUValue grown(value);
  grown.AddInt(3);
  grown.AddString("b");
  grown.FindInt(3);
  grown.FindString("b");
  grown.GetIntAt(0);
  grown.GetStringAt(0);
  grown.IsEqual(value);
  grown.IsLess(value);
  SUValue joined(value);
  joined.Add(grown);
  joined.Subtract(value);
  joined.MultiplyBy(grown);
  joined.DivideBy(value);
}

}  // namespace vantor_fuzz
