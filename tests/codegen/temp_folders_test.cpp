// Every folder a generator test makes in the temporary area goes with the
// test that made it; only a failed test leaves its folder, for a look.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

class NoFoldersLeftBehind : public ::testing::Environment {
 public:
  void TearDown() override {
    if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) return;
    const std::string prefix = "vantor_codegen_" + std::to_string(::getpid()) + "_";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      ADD_FAILURE() << "a test left " << entry.path();
      fs::remove_all(entry.path(), error);
    }
  }
};

[[maybe_unused]] ::testing::Environment* const kCheck =
    ::testing::AddGlobalTestEnvironment(new NoFoldersLeftBehind);

}  // namespace
