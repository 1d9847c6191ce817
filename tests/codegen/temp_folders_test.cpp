// Every folder a generator test makes in the temporary area goes with the
// test that made it; only a failed test leaves its folder, for a look.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Process ids come round again: a folder with our id made before we started
// was left by a dead process (a failed or killed test) and is not ours.
std::vector<fs::path> OwnFolders() {
  const std::string prefix = "vantor_codegen_" + std::to_string(::getpid()) + "_";
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
    if (entry.path().filename().string().compare(0, prefix.size(), prefix) == 0) {
      found.push_back(entry.path());
    }
  }
  return found;
}

class NoFoldersLeftBehind : public ::testing::Environment {
 public:
  void SetUp() override {
    std::error_code error;
    for (const fs::path& stale : OwnFolders()) fs::remove_all(stale, error);
  }
  void TearDown() override {
    if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) return;
    std::error_code error;
    for (const fs::path& left : OwnFolders()) {
      ADD_FAILURE() << "a test left " << left;
      fs::remove_all(left, error);
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kCheck =
    ::testing::AddGlobalTestEnvironment(new NoFoldersLeftBehind);

}  // namespace
