// Compiled evaluation with a run folder that other users write to: what
// they plant there under the names of the build's files is never built on,
// loaded, written through or waited on; the build happens in a folder of
// the engine's own, and the kept files reach the run folder as new files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "codegen/build/build_driver.h"
#include "codegen/build/makefile_writer.h"
#include "codegen/flowsheet/compiled_flowsheet.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/values/packed_value.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/daes/daes_helpers.h"
#include "tests/support/planted_links.h"
#include "tests/support/second_user.h"

namespace fs = std::filesystem;
using namespace codegen_test;

namespace {

// More names than any generation of this process reaches.
constexpr int kNames = 200;

struct SharedRun {
  // In a fresh folder of the temporary folder, or below `base`.
  explicit SharedRun(const fs::path& base = {}) {
    folder = base.empty() ? FreshFolder("shared") : base / "shared";
    fs::create_directories(folder);
    generation.server_folder = (MakeInstallation(folder) / "bin").string();
    fs::copy_file(kInstall + "/flowsheetexportstub.cpp",
                  folder / "prefix" / "procedures" / "flowsheetexportstub.cpp");
    run = folder / "run";
    fs::create_directories(run);
    generation.folder = run.string();
    generation.report = reports.Callback();
  }
  bool MakeProblem() {
    if (tree.Read(daestest::Tank) != 0) return false;
    problem.reset(DAESCreateProblem(tree.root, 0, &table));
    return problem != nullptr;
  }
  ~SharedRun() { codegen::LoadCompiledLibrary(nullptr, nullptr); }

  // Generates and loads; the status of the load.
  Status BuildAndLoad(std::string* library) {
    const Status made = codegen::GenerateCompiledCode(generation, problem.get(), library, nullptr);
    if (made != 0) return made;
    return codegen::LoadCompiledLibrary(problem.get(), library->c_str());
  }

  fs::path folder, run;
  Reports reports;
  codegen::FlowsheetGeneration generation;
  daestest::Tree tree;
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem;
};

// A library that leaves a mark when it is loaded.
fs::path PlantedLibrary(const fs::path& folder, const fs::path& mark) {
  const fs::path source = folder / "planted.c", library = folder / "planted.so";
  std::ofstream(source) << "#include <stdio.h>\n"
                        << "__attribute__((constructor)) static void Planted(void) {\n"
                        << "  FILE* f = fopen(\"" << mark.string() << "\", \"w\");\n"
                        << "  if (f) fclose(f);\n}\n";
  const std::string command =
      "gcc -shared -fPIC -o '" + library.string() + "' '" + source.string() + "'";
  return std::system(command.c_str()) == 0 ? library : fs::path();
}

// Another user plants libraries under every name the build may choose, in
// a sticky folder open to all, dated in the future so that make would take
// them as up to date: none of them is loaded, and the run's own is.
TEST(CodegenCompileShared, LibrariesPlantedByAnotherUserAreNeverLoaded) {
  const testsupport::SecondUser other;
  const testsupport::ReachableFolder base(other);
  if (base.path().empty()) GTEST_SKIP() << base.why_not;
  SharedRun shared(base.path());
  ASSERT_TRUE(shared.MakeProblem());
  const fs::path mark = shared.folder / "planted-code-ran";
  const fs::path planted = PlantedLibrary(shared.folder, mark);
  ASSERT_FALSE(planted.empty());
  // Sticky: the installation below it is read for the build, and no one
  // else may swap it.
  fs::permissions(shared.folder, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(shared.run, fs::perms::all | fs::perms::sticky_bit);
  const std::string from = planted.string(), into = shared.run.string();
  ASSERT_EQ(other.Run([&] {
    std::ifstream in(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const timespec later[2] = {{std::time(nullptr) + 86400, 0}, {std::time(nullptr) + 86400, 0}};
    for (int n = 0; n < kNames; ++n) {
      const std::string name = into + "/tcex" + std::to_string(n) + ".so";
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0755);
      if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        return 1;
      ::futimens(fd, later);
      ::close(fd);
    }
    return 0;
  }),
            0);

  ScopedVariable use("QLN_CE_USE", "1");
  ScopedVariable keep("QLN_CE_KEEP", "0");
  std::string library;
  const Status loaded = shared.BuildAndLoad(&library);
  EXPECT_FALSE(fs::exists(mark));
  ASSERT_EQ(loaded, 0u) << ::testing::PrintToString(shared.reports.texts);
  EXPECT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  // Built and loaded in a folder of its own that only this user can enter.
  const fs::path built = codegen::CompiledBuildFolder();
  EXPECT_NE(fs::weakly_canonical(built), fs::weakly_canonical(shared.run));
  struct stat info {};
  ASSERT_EQ(::stat(built.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::exists(built / (library + ".so")));
  codegen::LoadCompiledLibrary(nullptr, nullptr);
  // With keep off the build folder goes whole.
  EXPECT_FALSE(fs::exists(built));
  if (!HasFailure()) fs::remove_all(shared.folder);
}

// Links planted by the test itself under the build's names, some leading
// to missing names outside and some to files there: nothing outside is
// made or changed, and with keep on the kept files are the run folder's own
// new files under a name no link holds.
TEST(CodegenCompileShared, LinksUnderTheBuildNamesLeadNowhere) {
  SharedRun shared;
  ASSERT_TRUE(shared.MakeProblem());
  std::vector<testsupport::PlantedLinks::Plant> plants;
  for (int n = 0; n < kNames; ++n) {
    const std::string name = "tcex" + std::to_string(n);
    plants.push_back({"Make" + name, "made" + std::to_string(n), "", 0});
    plants.push_back({name + ".so", "own" + std::to_string(n), "someone's own file", 0600});
  }
  testsupport::PlantedLinks links(shared.run, plants);

  ScopedVariable use("QLN_CE_USE", "1");
  ScopedVariable keep("QLN_CE_KEEP", "1");
  std::string library;
  ASSERT_EQ(shared.BuildAndLoad(&library), 0u) << ::testing::PrintToString(shared.reports.texts);
  EXPECT_TRUE(daes::CurrentCompiledLibrary().IsLoaded());
  EXPECT_EQ(links.State(), links.Before());
  for (const std::string& kept : {library + ".cpp", "Make" + library, library + ".so"}) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(shared.run / kept))) << kept;
  }
  EXPECT_EQ(ReadText(shared.run / (library + ".so")),
            ReadText(fs::path(codegen::CompiledBuildFolder()) / (library + ".so")));
  codegen::LoadCompiledLibrary(nullptr, nullptr);
  EXPECT_EQ(links.State(), links.Before());
  if (!HasFailure()) fs::remove_all(shared.folder);
}

// With TMPDIR a folder that others may write to without the sticky bit,
// they could move the build folder aside and put theirs in its place: no
// build is made there, the message says why, and no library is loaded.
TEST(CodegenCompileShared, NoBuildBelowAFolderOthersCanSwapItIn) {
  SharedRun shared;
  ASSERT_TRUE(shared.MakeProblem());
  const fs::path open = shared.folder / "open";
  fs::create_directories(open);
  fs::permissions(open, fs::perms::all);
  ScopedVariable tmpdir("TMPDIR", open.c_str());
  ScopedVariable use("QLN_CE_USE", "1");
  ScopedVariable keep("QLN_CE_KEEP", "0");
  std::string library;
  EXPECT_NE(shared.BuildAndLoad(&library), 0u);
  EXPECT_FALSE(daes::CurrentCompiledLibrary().IsLoaded());
  EXPECT_TRUE(fs::is_empty(open));
  bool said = false;
  for (const std::string& text : shared.reports.texts) {
    said = said || (text.find(open.string()) != std::string::npos &&
                    text.find("sticky") != std::string::npos);
  }
  EXPECT_TRUE(said) << ::testing::PrintToString(shared.reports.texts);
  if (!HasFailure()) fs::remove_all(shared.folder);
}

// Runs the call on a thread; a FIFO under a name it opens would hold it,
// so after the wait the FIFO is opened from here to let it go. Whether it
// ended within the wait.
template <typename Call>
bool EndsWithoutWaitingOn(const std::vector<fs::path>& fifos, Call call) {
  auto done = std::async(std::launch::async, call);
  if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return true;
  while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    for (const fs::path& fifo : fifos) {
      const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      for (int fd : {reader, writer}) {
        if (fd >= 0) ::close(fd);
      }
    }
  }
  return false;
}

// FIFOs put where the build driver and the makefile writer look for or
// write their files stop neither.
TEST(CodegenCompileShared, FifosUnderTheBuildNamesHoldNothing) {
  const fs::path folder = FreshFolder("fifos");
  const fs::path script = folder / "domake_0.sh", makefile = folder / "MakeHeld";
  ASSERT_EQ(::mkfifo(script.c_str(), 0666), 0);
  ASSERT_EQ(::mkfifo(makefile.c_str(), 0666), 0);
  ScopedVariable environment("VSENVBATFILE", nullptr);
  Status built = 0;
  EXPECT_TRUE(EndsWithoutWaitingOn({script}, [&] {
    built = RunNmakeBuild(CodegenReport{}, nullptr, folder.c_str(), "Missing", true, false, nullptr,
                          true, false);
  }));
  EXPECT_EQ(built, codegen::kFailed);
  bool opened = true;
  Reports reports;
  EXPECT_TRUE(EndsWithoutWaitingOn({makefile}, [&] {
    opened =
        WriteMakefileGenericPart(reports.Callback(), nullptr, folder.c_str(), false, nullptr,
                                 nullptr, "Held", false, false, false, false, false) != nullptr;
  }));
  EXPECT_FALSE(opened);
  EXPECT_TRUE(fs::is_fifo(script));
  EXPECT_TRUE(fs::is_fifo(makefile));
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
