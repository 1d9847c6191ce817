#include "fuzz/fuzz_support.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace vantor_fuzz {

void InstallQuietCollector() {
  static QuietCollector collector;
  if (GetMessageCollector() != &collector) SetMessageCollector(&collector);
}

namespace {

constexpr const char* kScratchPrefix = "vantor-fuzz-";

// A run that ends on a finding, a timeout or a memory limit leaves by
// _Exit and never removes its folder: the next run removes the folders of
// processes that no longer exist.
void RemoveLeftovers(const std::filesystem::path& temp) {
  std::error_code error;
  const std::string prefix = kScratchPrefix;
  for (const auto& entry : std::filesystem::directory_iterator(temp, error)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const pid_t pid = static_cast<pid_t>(std::stol(digits));
    if (pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace

const std::string& ScratchFolder() {
  // Never destroyed, so that the removal at exit still knows the name.
  static const std::string* folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path temp(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    RemoveLeftovers(temp);
    std::filesystem::path path = temp / (kScratchPrefix + std::to_string(::getpid()));
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
