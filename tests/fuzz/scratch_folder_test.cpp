// The fuzz targets' scratch folder: made below $TMPDIR, and the folders
// that runs ended by a finding or a limit left behind are removed when the
// next one is made, while those of live processes stay.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"

namespace fs = std::filesystem;

namespace {

// A process id that no process has any more.
pid_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(ScratchFolder, LeftoversOfEndedRunsGoAndLiveOnesStay) {
  const fs::path temp =
      fs::temp_directory_path() / ("vantor_scratch_test_" + std::to_string(::getpid()));
  fs::remove_all(temp);
  fs::create_directories(temp);
  const fs::path ended = temp / ("vantor-fuzz-" + std::to_string(EndedProcess()));
  const fs::path live = temp / ("vantor-fuzz-" + std::to_string(::getppid()));
  const fs::path other = temp / "vantor-fuzz-notes";
  for (const fs::path& folder : {ended, live, other}) {
    fs::create_directories(folder / "plot");
    std::ofstream(folder / "plot" / "PlotData.cpd") << "x";
  }
  ASSERT_EQ(::setenv("TMPDIR", temp.c_str(), 1), 0);

  const fs::path own = vantor_fuzz::ScratchFolder();
  EXPECT_EQ(own, temp / ("vantor-fuzz-" + std::to_string(::getpid())));
  EXPECT_TRUE(fs::is_directory(own));
  EXPECT_FALSE(fs::exists(ended));
  EXPECT_TRUE(fs::exists(live / "plot" / "PlotData.cpd"));
  EXPECT_TRUE(fs::exists(other / "plot" / "PlotData.cpd"));
  fs::remove_all(live);
  fs::remove_all(other);
  // The folder of this process goes at its exit; the test's own goes with it.
  static const std::string made = temp.string();
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(made, ignored);
  });
}

}  // namespace
