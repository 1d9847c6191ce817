// Libraries another user plants in the folders the engine searches, under
// the names the engine loads by: the support library of compiled
// evaluation, a property package's set-up library, an optimiser after the
// simulation moved to a second working folder, a library the system's own
// search would find in the run folder, and a user library that the client
// only asks the file of. None of them runs; the engine goes on with its
// own library, or says which file it skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scoped_umask.h"
#include "tests/support/second_user.h"
#include "tests/support/set_acl.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/engine_road_fixture.h"
#include "tests/tools/shell.h"
#include "tools/client.h"

namespace {

namespace fs = std::filesystem;
using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using vantor_client::MakeCommand;
using vantor_client::Request;

constexpr std::uint32_t kPropertyService = 66;
constexpr std::uint32_t kProcFilesService = 113;

class PlantedRoad : public EngineRoad {
 protected:
  void SetUp() override {
    if (base_.path().empty()) GTEST_SKIP() << base_.why_not;
  }

  // A folder every user may write to, sticky or not.
  fs::path OpenFolder(const std::string& name, bool sticky) const {
    const fs::path folder = base_ / name;
    fs::create_directories(folder);
    fs::permissions(folder, sticky ? fs::perms::all | fs::perms::sticky_bit : fs::perms::all);
    return folder;
  }
  // The run folder `name` in the sticky folder shared, made by another user
  // with the mode; empty when it could not be made.
  fs::path TheirRunFolder(const std::string& name, mode_t mode) const {
    const fs::path run = OpenFolder("shared", true) / name;
    const int made = other_.Run(
        [&] { return ::mkdir(run.c_str(), 0777) == 0 && ::chmod(run.c_str(), mode) == 0 ? 0 : 1; });
    return made == 0 ? run : fs::path();
  }
  // Where the library planted as `file` would leave its mark when it ran.
  fs::path Mark(const fs::path& folder, const std::string& file) const {
    return base_ / ("ran-" + folder.filename().string() + "-" + file);
  }
  // A library whose loading leaves its mark: its bytes, empty when it
  // could not be built. gcc's further options (libraries, search paths)
  // go after the source; code is more of it.
  std::string Built(const fs::path& folder, const std::string& file,
                    const std::string& options = "", const std::string& code = "") {
    const fs::path source = work_ / "planted.c", built = work_ / "planted.so";
    std::ofstream(source) << "#include <stdio.h>\n"
                          << code << "__attribute__((constructor)) static void Planted(void) {\n"
                          << "  FILE* f = fopen(\"" << Mark(folder, file).string()
                          << "\", \"w\");\n"
                          << "  if (f) fclose(f);\n}\n";
    const std::string command = "gcc -shared -fPIC -o '" + built.string() + "' '" +
                                source.string() + "' " + options;
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(built, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // In the folder: libdep.so, and `name`, which needs it and whose RUNPATH
  // is `search`, then `further` (":" and more folders, or empty).
  bool BuildBeside(const fs::path& folder, const std::string& further,
                   const std::string& name = "mine.so", const std::string& search = "$ORIGIN",
                   const std::string& code = "") {
    const std::string dep = (folder / "libdep.so").string();
    return Write(Built(folder, "libdep.so"), dep) == 0 &&
           Write(Built(folder, name,
                       "-L'" + folder.string() +
                           "' -Wl,--no-as-needed -ldep -Wl,--enable-new-dtags,-rpath,'" + search +
                           further + "'",
                       code),
                 (folder / name).string()) == 0;
  }
  // Our library `file` in the folder, whose dependencies are named as in
  // `needs` (each one's soname, linked from a stub) and whose RUNPATH is
  // `search` (none when empty).
  bool BuildNeeding(const fs::path& folder, const std::string& file,
                    const std::vector<std::string>& needs, const std::string& search) {
    std::string options = "-Wl,--no-as-needed";
    for (const std::string& need : needs) {
      const fs::path stub = work_ / ("stub" + std::to_string(++stubs_) + ".so");
      const std::string command = "echo 'void Stub(void) {}' | gcc -shared -fPIC -x c - -o '" +
                                  stub.string() + "' -Wl,-soname,'" + need + "'";
      if (std::system(command.c_str()) != 0) return false;
      options += " '" + stub.string() + "'";
    }
    if (!search.empty()) options += " -Wl,--enable-new-dtags,-rpath,'" + search + "'";
    return Write(Built(folder, file, options), (folder / file).string()) == 0;
  }
  // Runs part again and again in a process of the second user holding
  // group 0, which the group file does not list, until Stop() (or two
  // minutes); part must leave things as it found them.
  void Swap(const std::function<void()>& part) {
    testsupport::SecondUser member = other_;
    member.gid = 0;
    const std::string stop = (base_ / "stop").string();
    swapper_ = std::thread([member, part, stop] {
      member.Run([&] {
        const auto until =
            std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::minutes(2));
        while (::access(stop.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < until) {
          part();
        }
        return 0;
      });
    });
  }
  void Stop() {
    std::ofstream(base_ / "stop").close();
    if (swapper_.joinable()) swapper_.join();
    fs::remove(base_ / "stop");
  }
  void TearDown() override {
    Stop();
    EngineRoad::TearDown();
  }
  // Selects the package and unloads it again, up to `loads` times (or a
  // minute), while the mark of the file has not come.
  void LoadAgainAndAgain(int loads, const fs::path& mark) {
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
    for (int i = 0; i < loads && !fs::exists(mark) && std::chrono::steady_clock::now() < until;
         ++i) {
      PackageItem(4);
      PackageItem(9);
    }
  }
  // Writes the bytes as the file, mode 0755.
  static int Write(const std::string& bytes, const std::string& target) {
    std::ofstream out(target, std::ios::binary);
    out << bytes;
    out.close();
    return !bytes.empty() && out.good() && ::chmod(target.c_str(), 0755) == 0 ? 0 : 1;
  }
  // A program that starts `engine` with the settings added to its
  // environment as they are (a variable may come twice) and its standard
  // error appended to `errors`; empty when it could not be built.
  std::string Launcher(const std::string& engine, const std::vector<std::string>& settings,
                       const fs::path& errors) {
    const fs::path source = work_ / "launcher.c", built = work_ / "launcher";
    std::ofstream c(source);
    c << "#include <fcntl.h>\n#include <unistd.h>\nextern char** environ;\n"
      << "int main(int argc, char** argv) {\n  static char* env[8192];\n  int n = 0;\n"
      << "  (void)argc;\n"
      << "  for (char** e = environ; *e != 0 && n < 8000; ++e) env[n++] = *e;\n";
    for (const std::string& setting : settings) c << "  env[n++] = \"" << setting << "\";\n";
    c << "  env[n] = 0;\n  int fd = open(\"" << errors.string()
      << "\", O_WRONLY | O_CREAT | O_APPEND, 0600);\n  if (fd >= 0) dup2(fd, 2);\n"
      << "  execve(\"" << engine << "\", argv, env);\n  return 127;\n}\n";
    c.close();
    const std::string command = "gcc -o '" + built.string() + "' '" + source.string() + "'";
    return std::system(command.c_str()) == 0 ? built.string() : std::string();
  }
  static std::string Text(const fs::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // The bytes written into the file by the second user, who can write to
  // it but not change its mode.
  int WriteAsOther(const std::string& bytes, const fs::path& target) {
    return other_.Run([&] {
      std::ofstream out(target, std::ios::binary);
      out << bytes;
      out.close();
      return !bytes.empty() && out.good() ? 0 : 1;
    });
  }
  // The library put into the folder under `file` by the second user.
  bool Plant(const fs::path& folder, const std::string& file) {
    const std::string bytes = Built(folder, file), target = (folder / file).string();
    return other_.Run([&] { return Write(bytes, target); }) == 0;
  }
  static std::string Skipped(const fs::path& file) {
    return "Library file " + file.string() + " skipped: it belongs to another user";
  }
  // Request 118: the optimiser library of that name chosen; its status and
  // the options it offers (empty when none came back).
  Status Choose(const std::string& library, std::string* options) {
    auto choose = std::make_unique<Request>(kProblemService);
    choose->PutUInt16(118);
    choose->PutString(library.c_str());
    Status chosen = 0xFFFFFFFFu;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(choose), "request 118", &chosen, &replies)) return chosen;
    if (!replies.empty()) options->assign(replies[0].body.begin(), replies[0].body.end());
    return chosen;
  }
  // An engine that adds the folder to its search (command 4) and chooses
  // mine.dll from it.
  bool LoadMineFrom(const fs::path& folder) {
    Status added = 0;
    if (!StartEngine(Engine(), "Beside") ||
        !road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {folder.string()}), "command 4",
                         &added))
      return false;
    std::string options;
    Choose("mine.dll", &options);
    return true;
  }
  // An engine that adds the property package's folder and then `folder`
  // to its search (command 4), its run folder Props in `working`.
  bool StartWithPackageBeside(const fs::path& folder, const std::string& working = {}) {
    Status added = 0;
    return StartEngine(Engine(), "Props", working) &&
           road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {VANTOR_PROPERTIES_DIR}),
                           "command 4", &added) &&
           road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {folder.string()}),
                           "command 4", &added);
  }
  // An item of service 66 with the names "", "Ideal" and "vtprops": kind
  // 4 selects the package, 9 unloads it. The first byte of the answer (2
  // when the package is loaded), or -1 when none came.
  int PackageItem(std::uint16_t kind) {
    auto select = std::make_unique<Request>(kPropertyService, DseMessage::kIdPathRead);
    select->PutDouble(0.0);
    {
      Writer w(*select);
      w.Placement({{1, ""}, {2, "Ideal"}, {3, "vtprops"}});
      w.U16(kind);
      w.U16(0);
    }
    std::uint32_t id = 0;
    if (client_->Send(std::move(select), &id) != 0) return -1;
    client_->WaitFor([&] {
      const vantor_client::Outcome* o = client_->Find(id);
      return o == nullptr || o->complete || !o->replies.empty();
    });
    const vantor_client::Outcome* selected = client_->Find(id);
    const int word = selected != nullptr && !selected->replies.empty() &&
                             !selected->replies[0].body.empty()
                         ? selected->replies[0].body[0]
                         : -1;
    client_->Forget(id);
    return word;
  }
  // Request 5 of the procedure-files service: the file of the library.
  bool FileOf(const char* name, std::string* file) {
    auto request = std::make_unique<Request>(kProcFilesService);
    request->PutUInt16(5);
    request->PutString(name);
    Status asked = 0xFFFFFFFFu;
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), std::string("the file of ") + name, &asked, &replies))
      return false;
    if (asked != 0 || replies.size() != 1) return Fail("no reply with the file");
    engineroad::Reader r(replies[0].body);
    if (r.Get<std::uint16_t>() != 5 || r.Get<std::uint32_t>() != 0) return Fail("another reply");
    *file = r.Text();
    return r.ok() || Fail("the reply does not read");
  }
  // On the engine started: a dynamic run of the decay model (run mode 4,
  // integrator 4) read every second, whose x at t = 1 is the closed form's.
  void RunDecay() {
    ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
                IntOption(30, 4) && IntOption(29, 4))
        << Failure();
    ASSERT_TRUE(Load([](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); }))
        << Failure() << Events();
    ASSERT_TRUE(BeginRun()) << Failure() << Events();
    ASSERT_TRUE(Step(0.0) && Step(1.0)) << Failure() << Events();
    double x = 0.0;
    ASSERT_TRUE(road_->Read(2, &x, "x")) << Failure();
    EXPECT_NEAR(x, std::exp(-0.5), 1e-3 * std::exp(-0.5));
    ASSERT_TRUE(FinishRun()) << Failure() << Events();
  }
  // Waits (within the client's time-out) for an event line holding `text`.
  bool Said(const std::string& text) {
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find(text) != std::string::npos;
    });
    return Events().find(text) != std::string::npos;
  }

  const testsupport::SecondUser other_;
  const testsupport::ReachableFolder base_{other_};
  std::thread swapper_;
  int stubs_ = 0;
};

// Compiled evaluation loads the support library for its generated library,
// which has neither entry point: a copy planted in the shared working
// folder (searched before the installation) is skipped by name, and one in
// a run folder open to all is never reached; the engine's own is loaded and
// the run's values are the closed form's.
TEST_F(PlantedRoad, CompiledEvaluationLoadsTheEnginesOwnSupportLibrary) {
  const fs::path prefix = work_ / "prefix";
  std::string printed;
  ASSERT_EQ(roadtest::RunShell(std::string(VANTOR_CMAKE_COMMAND) + " --install " +
                                   VANTOR_BINARY_DIR + " --prefix " + roadtest::ShellPath(prefix),
                               &printed),
            0)
      << printed;
  const testsupport::ScopedEnv registry("VANTOR_REGISTRY",
                                        (prefix / "etc" / "vantor" / "registry.ini").c_str());
  const testsupport::ScopedEnv compiled("QLN_CE_USE", "1");
  vantor_client::EngineOptions engine = Engine();
  engine.program = (prefix / "bin" / "vantor").string();

  const fs::path shared = OpenFolder("shared", true);
  const fs::path quiet = OpenFolder("quiet", true);
  const fs::path run = OpenFolder("quiet/Decay", false);
  ASSERT_TRUE(Plant(shared, "bvdll_support.so"));
  ASSERT_TRUE(Plant(run, "bvdll_support.so"));
  for (const fs::path& working : {shared, quiet}) {
    SCOPED_TRACE(working.string());
    ASSERT_TRUE(StartEngine(engine, "Decay", working.string())) << Failure();
    ASSERT_NO_FATAL_FAILURE(RunDecay());
    EXPECT_NE(Events().find("Loading flowsheet object code library"), std::string::npos)
        << Events();
    if (working == shared) {
      EXPECT_NE(Events().find(Skipped(shared / "bvdll_support.so")), std::string::npos) << Events();
    }
    run_ = vantor_scenario::FirstOrderRun();
  }
  EXPECT_FALSE(fs::exists(Mark(shared, "bvdll_support.so")));
  EXPECT_FALSE(fs::exists(Mark(run, "bvdll_support.so")));
}

// Selecting a property package looks for its set-up library first: the one
// planted in the working folder is skipped by name, and the package is
// loaded and offers its components.
TEST_F(PlantedRoad, APropertyPackageSetUpPlantedByAnotherUserNeverRuns) {
  const fs::path shared = OpenFolder("shared", true);
  ASSERT_TRUE(Plant(shared, "vtprops_setup.so"));
  ASSERT_TRUE(StartEngine(Engine(), "Props", shared.string())) << Failure();
  Status added = 0;
  ASSERT_TRUE(road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {VANTOR_PROPERTIES_DIR}),
                              "command 4", &added))
      << Failure();
  EXPECT_EQ(PackageItem(4), 2) << "the package is loaded";

  auto offer = std::make_unique<Request>(kPropertyService);
  offer->PutUInt16(2);
  Status offered = 0xFFFFFFFFu;
  std::vector<vantor_client::Message> replies;
  ASSERT_TRUE(road_->Exchange(std::move(offer), "request 2", &offered, &replies)) << Failure();
  EXPECT_EQ(offered, 0u);
  ASSERT_EQ(replies.size(), 1u);
  const std::string body(replies[0].body.begin(), replies[0].body.end());
  EXPECT_NE(body.find("NITROGEN"), std::string::npos);
  EXPECT_TRUE(Said(Skipped(shared / "vtprops_setup.so"))) << Events();
  EXPECT_FALSE(fs::exists(Mark(shared, "vtprops_setup.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The set-up library of a property package, in a folder of ours the
// client named, has other code swapped in and out under its name while the
// package is selected and unloaded again and again (that code others can write to, so
// the check refuses it). The engine loads the file it checked, never what
// the name led to a moment later: the other code never runs.
TEST_F(PlantedRoad, ALibrarySwappedWhileTheEngineLoadsItNeverRuns) {
  const fs::path folder = base_ / "own", own = folder / "own.so", other = folder / "other.so",
                 staged = folder / "staged.so", target = folder / "vtprops_setup.so";
  fs::create_directories(folder);
  ASSERT_EQ(Write(Built(folder, "own.so"), own.string()), 0);
  ASSERT_EQ(Write(Built(folder, "vtprops_setup.so"), other.string()), 0);
  fs::permissions(other, fs::perms::all);
  fs::copy_file(own, target);
  ASSERT_TRUE(StartWithPackageBeside(folder)) << Failure();
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (unsigned n = 0; !stop.load(); ++n) {
      ::link((n % 2 == 0 ? other : own).c_str(), staged.c_str());
      ::rename(staged.c_str(), target.c_str());
    }
  });
  int loaded = 0;
  // Which file a load meets is the scheduler's choice: load on until the
  // library checked has run at least once.
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
  for (int i = 0; (i < 300 || !fs::exists(Mark(folder, "own.so"))) &&
                  !fs::exists(Mark(folder, "vtprops_setup.so")) &&
                  std::chrono::steady_clock::now() < until;
       ++i) {
    loaded += PackageItem(4) == 2;
    PackageItem(9);
  }
  stop = true;
  swapper.join();
  EXPECT_FALSE(fs::exists(Mark(folder, "vtprops_setup.so"))) << "after " << loaded << " loads";
  EXPECT_TRUE(fs::exists(Mark(folder, "own.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Our own library that its group can write to (as gcc writes it under
// umask 002) is skipped, and the line says how to make it loadable; after
// that chmod it is found.
TEST_F(PlantedRoad, AGroupWritableLibraryOfOursIsSkippedWithTheChmodThatFixesIt) {
  const fs::path own = base_ / "own", mine = own / "mine.so";
  fs::create_directories(own);
  ASSERT_EQ(Write(Built(own, "mine.so"), mine.string()), 0);
  fs::permissions(mine, fs::perms::group_write, fs::perm_options::add);
  ASSERT_TRUE(StartEngine(Engine(), "Look")) << Failure();
  Status added = 0;
  ASSERT_TRUE(
      road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {own.string()}), "command 4", &added))
      << Failure();
  std::string file = "unasked";
  ASSERT_TRUE(FileOf("mine", &file)) << Failure();
  EXPECT_EQ(file, "");
  const std::string path = fs::canonical(mine).string();
  EXPECT_TRUE(Said("Library file " + path + " skipped: its group or others can write to it (chmod g-w " +
                   path + " makes it loadable)"))
      << Events();
  fs::permissions(mine, fs::perms::group_write, fs::perm_options::remove);
  ASSERT_TRUE(FileOf("mine", &file)) << Failure();
  EXPECT_EQ(file, path);
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Our library needs libdep.so, which lies beside it, and its search path
// names another folder after its own, with a copy of libdep.so too: the
// copy beside it loads, as a load by name would take it.
TEST_F(PlantedRoad, ALibraryLoadsTheDependencyBesideIt) {
  const fs::path own = base_ / "own", elsewhere = base_ / "elsewhere";
  fs::create_directories(own);
  fs::create_directories(elsewhere);
  ASSERT_EQ(Write(Built(elsewhere, "libdep.so"), (elsewhere / "libdep.so").string()), 0);
  ASSERT_TRUE(BuildBeside(own, ":" + elsewhere.string()));
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  EXPECT_TRUE(fs::exists(Mark(own, "mine.so"))) << Events();
  EXPECT_TRUE(fs::exists(Mark(own, "libdep.so"))) << Events();
  EXPECT_FALSE(fs::exists(Mark(elsewhere, "libdep.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Our library needs libdep.so beside it, a file of ours left open to all,
// and another user wrote their code into it. The library is skipped with a
// line that names the file beside it: neither runs.
TEST_F(PlantedRoad, ADependencyBesideThatOthersCanWriteToNeverRuns) {
  const fs::path own = base_ / "own", dep = own / "libdep.so", theirs = base_ / "theirs";
  fs::create_directories(own);
  ASSERT_TRUE(BuildBeside(own, ""));
  fs::permissions(dep, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write | fs::perms::others_read |
                           fs::perms::others_write);
  ASSERT_EQ(WriteAsOther(Built(theirs, "libdep.so"), dep), 0);
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  const fs::path folder = fs::canonical(own);
  EXPECT_TRUE(Said("Library file " + (own / "mine.so").string() + " skipped: the library " +
                   (folder / "libdep.so").string() +
                   " beside it, which it needs, must not be loaded: its group or others can "
                   "write to it"))
      << Events();
  EXPECT_FALSE(fs::exists(Mark(theirs, "libdep.so")));
  EXPECT_FALSE(fs::exists(Mark(own, "mine.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A property package's set-up library of root's that finds its dependency
// beside it, in a folder of root's group made under umask 002: a process
// holding group 0, which the group file does not list, swaps its own code
// in and out under the library's name while the engine loads it again and
// again. The folder is refused with the chmod that mends it, and their
// code never runs; mended, the library loads.
TEST_F(PlantedRoad, ALibraryBesideOthersInAGroupFolderIsNeverSwapped) {
  const fs::path folder = base_ / "group", target = folder / "vtprops_setup.so",
                 theirs = folder / "theirs.so", aside = folder / "aside.so";
  fs::create_directories(folder);
  ASSERT_TRUE(BuildBeside(folder, "", "vtprops_setup.so"));
  ::chmod(folder.c_str(), 0775);
  const std::string code = Built(folder, "theirs.so");
  testsupport::SecondUser member = other_;
  member.gid = 0;
  ASSERT_EQ(member.Run([&] { return Write(code, theirs.string()); }), 0);
  ASSERT_TRUE(StartWithPackageBeside(folder)) << Failure();
  Swap([&] {
    ::rename(target.c_str(), aside.c_str());
    ::rename(theirs.c_str(), target.c_str());
    ::rename(target.c_str(), theirs.c_str());
    ::rename(aside.c_str(), target.c_str());
  });
  LoadAgainAndAgain(1000, Mark(folder, "theirs.so"));
  Stop();
  EXPECT_FALSE(fs::exists(Mark(folder, "theirs.so")));
  EXPECT_TRUE(Said("it finds libraries beside it: members of its group can write to the folder " +
                   folder.string()))
      << Events();
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(PackageItem(4), 2);
  EXPECT_TRUE(fs::exists(Mark(folder, "vtprops_setup.so"))) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The set-up library's dependency is missing beside it, in a sticky folder
// open to all, and found in a folder of ours after it; another user makes
// it beside the library and takes it away again while the engine loads
// the library again and again. Theirs never runs: a folder others can make
// names in is refused. Closed, the library loads with ours.
TEST_F(PlantedRoad, ADependencyMadeBesideDuringTheLoadNeverRuns) {
  const fs::path sticky = OpenFolder("sticky", true), elsewhere = base_ / "elsewhere",
                 made = sticky / "libdep.so", staged = sticky / "staged.so";
  fs::create_directories(elsewhere);
  ASSERT_TRUE(BuildBeside(sticky, ":" + elsewhere.string(), "vtprops_setup.so"));
  fs::remove(made);
  ASSERT_EQ(Write(Built(elsewhere, "libdep.so"), (elsewhere / "libdep.so").string()), 0);
  const std::string code = Built(sticky, "libdep.so");
  ASSERT_EQ(other_.Run([&] { return Write(code, staged.string()); }), 0);
  ASSERT_TRUE(StartWithPackageBeside(sticky)) << Failure();
  Swap([&] {
    ::rename(staged.c_str(), made.c_str());
    ::rename(made.c_str(), staged.c_str());
  });
  LoadAgainAndAgain(1000, Mark(sticky, "libdep.so"));
  Stop();
  EXPECT_FALSE(fs::exists(Mark(sticky, "libdep.so")));
  EXPECT_TRUE(Said("others can make files in the folder " + sticky.string() + ", sticky as it is"))
      << Events();
  ::chmod(sticky.c_str(), 0755);
  EXPECT_EQ(PackageItem(4), 2);
  EXPECT_TRUE(fs::exists(Mark(sticky, "vtprops_setup.so"))) << Events();
  EXPECT_TRUE(fs::exists(Mark(elsewhere, "libdep.so"))) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Our library, loaded and then handed the search folders, loads a plugin
// by name then: the loader looks for it beside the library, in its real
// folder, and finds it.
TEST_F(PlantedRoad, ALibraryFindsAPluginBesideItAfterItsLoad) {
  // The thread sanitizer's dlopen calls the loader from its own runtime,
  // so the loader takes that caller's search path instead of the library's.
  if (testsupport::kUnderThreadSanitizer) GTEST_SKIP() << "the sanitizer's dlopen hides its caller";
  const fs::path own = base_ / "own";
  fs::create_directories(own);
  ASSERT_TRUE(BuildBeside(own, "", "mine.so", "$ORIGIN",
                          "#include <dlfcn.h>\n"
                          "int AddDLLSearchPath(const char* folder) {\n"
                          "  (void)folder;\n"
                          "  return dlopen(\"libplugin.so\", RTLD_NOW) != 0 ? 0 : 1;\n}\n"));
  ASSERT_EQ(Write(Built(own, "libplugin.so"), (own / "libplugin.so").string()), 0);
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  EXPECT_TRUE(fs::exists(Mark(own, "mine.so"))) << Events();
  EXPECT_TRUE(fs::exists(Mark(own, "libplugin.so"))) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The loader looks for a dependency in $ORIGIN/$LIB, and in each folder's
// glibc-hwcaps/<level> (an LD_LIBRARY_PATH entry's too) before the folder
// itself. Another user's code there never runs: a file others can write
// to or a folder they can make names in is refused. Our own there loads.
TEST_F(PlantedRoad, DependenciesInTheLoadersSubfoldersAreJudgedToo) {
  const fs::path own = base_ / "own", lib = own / "lib" / "x86_64-linux-gnu";
  fs::create_directories(lib);
  ASSERT_TRUE(BuildBeside(own, ":$ORIGIN", "mine.so", "$ORIGIN/$LIB"));
  ASSERT_EQ(Write(Built(lib, "libdep.so"), (lib / "libdep.so").string()), 0);
  ::chmod((lib / "libdep.so").c_str(), 0666);
  ASSERT_EQ(WriteAsOther(Built(base_ / "theirs", "libdep.so"), lib / "libdep.so"), 0);
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  EXPECT_TRUE(Said("the library " + (lib / "libdep.so").string() +
                   " beside it, which it needs, must not be loaded: its group or others can "
                   "write to it"))
      << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
  EXPECT_FALSE(fs::exists(Mark(base_ / "theirs", "libdep.so")));
  EXPECT_FALSE(fs::exists(Mark(own, "mine.so")));
  run_ = vantor_scenario::FirstOrderRun();

  ASSERT_EQ(Write(Built(lib, "libdep.so"), (lib / "libdep.so").string()), 0);
  ::chmod((lib / "libdep.so").c_str(), 0755);
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  EXPECT_TRUE(fs::exists(Mark(own, "mine.so"))) << Events();
  EXPECT_TRUE(fs::exists(Mark(lib, "libdep.so"))) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
  run_ = vantor_scenario::FirstOrderRun();

  // A hwcaps folder open to all, beside the library and in an entry.
  const fs::path beside = base_ / "beside", entry = base_ / "entry";
  fs::create_directories(beside);
  ASSERT_TRUE(BuildBeside(beside, ""));
  for (const fs::path& folder : {beside, entry}) {
    const fs::path level = folder / "glibc-hwcaps" / "x86-64-v2";
    fs::create_directories(level);
    fs::permissions(level, fs::perms::all);
    ASSERT_TRUE(Plant(level, "libdep.so"));
  }
  ASSERT_TRUE(LoadMineFrom(beside)) << Failure();
  EXPECT_TRUE(Said("others can write to the folder " +
                   (beside / "glibc-hwcaps" / "x86-64-v2").string() + " and it is not sticky"))
      << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
  EXPECT_FALSE(fs::exists(Mark(beside / "glibc-hwcaps" / "x86-64-v2", "libdep.so")));
  EXPECT_FALSE(fs::exists(Mark(beside, "mine.so")));
  run_ = vantor_scenario::FirstOrderRun();

  fs::remove(Mark(own, "mine.so"));
  const testsupport::ScopedEnv path("LD_LIBRARY_PATH", entry.c_str());
  ASSERT_TRUE(LoadMineFrom(own)) << Failure();
  EXPECT_TRUE(EndEngine()) << Failure();
  EXPECT_FALSE(fs::exists(Mark(entry / "glibc-hwcaps" / "x86-64-v2", "libdep.so")));
  EXPECT_TRUE(fs::exists(Mark(own, "mine.so"))) << Events();
}

// A property package's set-up library of ours needs libdep.so, and its
// RUNPATH ends in an empty entry (as "-rpath '$ORIGIN:'" writes it), or
// starts with one, which the loader takes as the current folder: the run
// folder, which another user made open to all and put their libdep.so in.
// The library is refused with a line naming the entry, and their code
// never runs. Its RUNPATH $ORIGIN, or $ORIGIN and a folder of ours
// holding libdep.so, loads as before.
TEST_F(PlantedRoad, ALibraryWhoseSearchPathHasAnEmptyEntryIsRefused) {
  const fs::path run = TheirRunFolder("Props", 0777), shared = run.parent_path();
  ASSERT_FALSE(run.empty());
  ASSERT_TRUE(Plant(run, "libdep.so"));
  const fs::path elsewhere = base_ / "elsewhere";
  fs::create_directories(elsewhere);
  ASSERT_EQ(Write(Built(elsewhere, "libdep.so"), (elsewhere / "libdep.so").string()), 0);
  struct Layout {
    std::string search;
    bool beside;  // libdep.so lies beside the library
    bool loads;
  };
  const Layout layouts[] = {{"$ORIGIN:", false, false},
                            {":$ORIGIN", true, false},
                            {"$ORIGIN::" + elsewhere.string(), false, false},
                            {"$ORIGIN", true, true},
                            {"$ORIGIN:" + elsewhere.string(), false, true}};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.search);
    fs::remove(Mark(run, "libdep.so"));
    const fs::path own = base_ / ("own" + std::to_string(++n));
    fs::create_directories(own);
    ASSERT_TRUE(BuildBeside(own, "", "vtprops_setup.so", layout.search));
    if (!layout.beside) fs::remove(own / "libdep.so");
    ASSERT_TRUE(StartWithPackageBeside(own, shared.string())) << Failure();
    EXPECT_EQ(PackageItem(4), 2) << "the package is loaded";
    if (layout.loads) {
      EXPECT_TRUE(fs::exists(Mark(own, "vtprops_setup.so"))) << Events();
    } else {
      EXPECT_TRUE(Said("Library file " + (own / "vtprops_setup.so").string() +
                       " skipped: its RUNPATH \"" + layout.search +
                       "\" names \"\", which must not be searched: it is empty or relative"))
          << Events();
      EXPECT_FALSE(fs::exists(Mark(own, "vtprops_setup.so")));
    }
    EXPECT_FALSE(fs::exists(Mark(run, "libdep.so")));
    EXPECT_TRUE(EndEngine()) << Failure();
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// The loader reads $ORIGIN (or ${ORIGIN}) as the library's folder only
// where no letter, digit or '_' follows: "$ORIGINX" and "$ORIGIN_lib" are
// names in the current folder, the run folder, where another user put
// their libdep.so and libdepx.so. A set-up library of ours whose RUNPATH
// or dependency says so is refused with a line naming the entry; theirs
// never runs. $ORIGIN, $ORIGIN/../lib and ${ORIGIN} load as before.
TEST_F(PlantedRoad, ANameThatOnlyLooksLikeOriginIsRefused) {
  const fs::path run = TheirRunFolder("Props", 0777), shared = run.parent_path();
  ASSERT_FALSE(run.empty());
  for (const char* folder : {"$ORIGINX", "$ORIGIN_lib"}) {
    const fs::path theirs = run / folder;
    ASSERT_EQ(other_.Run([&] { return ::mkdir(theirs.c_str(), 0777) == 0 ? 0 : 1; }), 0);
    ASSERT_TRUE(Plant(theirs, "libdep.so"));
    ASSERT_TRUE(Plant(theirs, "libdepx.so"));
  }
  const std::string relative =
      "it is relative: the loader reads no token in it ($ORIGIN, $LIB and $PLATFORM stand "
      "alone, before a / or at the end), so it names a folder in the current one";
  struct Layout {
    std::string search;  // the RUNPATH; libdep.so lies there when it loads
    std::string needs;   // a dependency named with a path, or empty
    std::string said;    // what the refusal says after "skipped: "
  };
  const Layout layouts[] = {
      {"$ORIGINX", "",
       "its RUNPATH \"$ORIGINX\" names \"$ORIGINX\", which must not be searched: " + relative},
      {"$ORIGIN_lib", "",
       "its RUNPATH \"$ORIGIN_lib\" names \"$ORIGIN_lib\", which must not be searched: " +
           relative},
      {"$ORIGIN", "$ORIGINX/libdepx.so",
       "it needs \"$ORIGINX/libdepx.so\", whose folder must not be searched: " + relative},
      {"$ORIGIN", "", ""},
      {"$ORIGIN/../lib", "", ""},
      {"${ORIGIN}", "", ""}};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.search + " " + layout.needs);
    const fs::path own = base_ / ("own" + std::to_string(++n)), pkg = own / "pkg",
                   lib = layout.search == "$ORIGIN/../lib" ? own / "lib" : pkg;
    fs::create_directories(pkg);
    fs::create_directories(lib);
    fs::remove(Mark(pkg, "vtprops_setup.so"));
    fs::remove(Mark(lib, "libdep.so"));
    for (const char* folder : {"$ORIGINX", "$ORIGIN_lib"}) {
      for (const char* file : {"libdep.so", "libdepx.so"}) fs::remove(Mark(run / folder, file));
    }
    ASSERT_EQ(Write(Built(lib, "libdep.so"), (lib / "libdep.so").string()), 0);
    std::vector<std::string> needs{"libdep.so"};
    if (!layout.needs.empty()) needs.push_back(layout.needs);
    ASSERT_TRUE(BuildNeeding(pkg, "vtprops_setup.so", needs, layout.search));
    ASSERT_TRUE(StartWithPackageBeside(pkg, shared.string())) << Failure();
    EXPECT_EQ(PackageItem(4), 2) << "the package is loaded";
    if (layout.said.empty()) {
      EXPECT_TRUE(fs::exists(Mark(pkg, "vtprops_setup.so"))) << Events();
      EXPECT_TRUE(fs::exists(Mark(lib, "libdep.so"))) << Events();
    } else {
      EXPECT_TRUE(
          Said("Library file " + (pkg / "vtprops_setup.so").string() + " skipped: " + layout.said))
          << Events();
      EXPECT_FALSE(fs::exists(Mark(pkg, "vtprops_setup.so")));
    }
    EXPECT_TRUE(EndEngine()) << Failure();
    for (const char* folder : {"$ORIGINX", "$ORIGIN_lib"}) {
      for (const char* file : {"libdep.so", "libdepx.so"}) {
        EXPECT_FALSE(fs::exists(Mark(run / folder, file))) << folder << "/" << file;
      }
    }
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// Our set-up library finds libmid.so in a folder of ours its RUNPATH
// names, or names it there by its path; libmid.so's own RUNPATH names a
// folder open to all, where another user put their libdep.so. The loader
// takes libmid.so's entries for its own dependencies: the set-up library
// is refused with a line naming libmid.so and its entry, and their code
// never runs. A chain of our own folders, two levels deep, loads.
TEST_F(PlantedRoad, EveryLevelOfALibrarysSearchIsJudged) {
  const fs::path open = OpenFolder("open", false);
  ASSERT_TRUE(Plant(open, "libdep.so"));
  struct Layout {
    std::string name;
    bool by_path;  // the set-up library names libmid.so by its path
    bool loads;    // libmid.so's RUNPATH names a folder of ours
  };
  const Layout layouts[] = {{"found", false, false}, {"named", true, false}, {"ours", false, true}};
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const fs::path own = base_ / layout.name, pkg = own / "pkg", mid = own / "mid",
                   deps = layout.loads ? own / "deps" : open, libmid = mid / "libmid.so";
    for (const fs::path& folder : {pkg, mid}) fs::create_directories(folder);
    fs::remove(Mark(pkg, "vtprops_setup.so"));
    fs::remove(Mark(mid, "libmid.so"));
    fs::remove(Mark(open, "libdep.so"));
    if (layout.loads) {
      fs::create_directories(deps);
      ASSERT_EQ(Write(Built(deps, "libdep.so"), (deps / "libdep.so").string()), 0);
    }
    ASSERT_TRUE(BuildNeeding(mid, "libmid.so", {"libdep.so"}, deps.string()));
    ASSERT_TRUE(BuildNeeding(pkg, "vtprops_setup.so",
                             {layout.by_path ? libmid.string() : std::string("libmid.so")},
                             layout.by_path ? std::string() : mid.string()));
    ASSERT_TRUE(StartWithPackageBeside(pkg)) << Failure();
    EXPECT_EQ(PackageItem(4), 2) << "the package is loaded";
    if (layout.loads) {
      for (const fs::path& file : {pkg / "vtprops_setup.so", libmid, deps / "libdep.so"}) {
        EXPECT_TRUE(fs::exists(Mark(file.parent_path(), file.filename().string()))) << file << "\n"
                                                                                    << Events();
      }
    } else {
      EXPECT_TRUE(Said("Library file " + (pkg / "vtprops_setup.so").string() +
                       " skipped: the library " + libmid.string() +
                       ", which it needs, must not be loaded: its RUNPATH \"" + open.string() +
                       "\" names \"" + open.string() +
                       "\", which must not be searched: others can write to the folder " +
                       open.string() + " and it is not sticky"))
          << Events();
      EXPECT_FALSE(fs::exists(Mark(pkg, "vtprops_setup.so")));
      EXPECT_FALSE(fs::exists(Mark(mid, "libmid.so")));
    }
    EXPECT_TRUE(EndEngine()) << Failure();
    EXPECT_FALSE(fs::exists(Mark(open, "libdep.so")));
    run_ = vantor_scenario::FirstOrderRun();
  }
}

#ifdef VANTOR_NLP_LIBRARIES
// A second command 3 names a second working folder, open to all: the
// optimiser planted there under the name of the engine's own never runs,
// and the engine's own is chosen (its options come back). The installation
// is searched first, so the planted file is not even looked at.
TEST_F(PlantedRoad, AnOptimiserPlantedInASecondWorkingFolderNeverRuns) {
  const fs::path first = OpenFolder("first", true), second = OpenFolder("second", true);
  ASSERT_TRUE(Plant(second, "kvs_sqpa.so"));
  ASSERT_TRUE(StartEngine(Engine(), "Opt", first.string())) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 3, {}, {}, {"Opt", second.string() + "/"}),
                            "the second command 3", 0))
      << Failure();
  std::string options;
  EXPECT_EQ(Choose("kvs_sqpa.dll", &options), 0u) << Failure() << Events();
  EXPECT_NE(options.find("MaxIterations"), std::string::npos);
  EXPECT_FALSE(fs::exists(Mark(second, "kvs_sqpa.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Our own copy under the optimiser's name, one the trust check takes, in
// the folder a second command 3 names: the installation's is still found
// first, as it is after the first naming.
TEST_F(PlantedRoad, ASecondNamingKeepsTheInstallationAheadOfTheWorkingFolder) {
  const fs::path first = base_ / "first", second = base_ / "second";
  fs::create_directories(first);
  fs::create_directories(second);
  ASSERT_EQ(Write(Built(second, "kvs_sqpa.so"), (second / "kvs_sqpa.so").string()), 0);
  ASSERT_TRUE(StartEngine(Engine(), "Opt", first.string())) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 3, {}, {}, {"Opt", second.string() + "/"}),
                            "the second command 3", 0))
      << Failure();
  std::string options;
  EXPECT_EQ(Choose("kvs_sqpa.dll", &options), 0u) << Events();
  EXPECT_NE(options.find("MaxIterations"), std::string::npos);
  EXPECT_FALSE(fs::exists(Mark(second, "kvs_sqpa.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}
#endif

// Another user made the run folder, open to all, and put a library in it.
// An empty or relative entry of LD_LIBRARY_PATH would have the system's
// own search look in the current folder, which is the run folder: the
// engine leaves such entries out. An absolute entry is still searched.
TEST_F(PlantedRoad, TheSystemSearchNeverLooksInTheRunFolder) {
  const fs::path run = TheirRunFolder("Sim", 0777), shared = run.parent_path();
  ASSERT_FALSE(run.empty());
  ASSERT_TRUE(Plant(run, "userlib.so"));
  for (const char* entries : {"/nonexistent:", ":/nonexistent", "."}) {
    SCOPED_TRACE(entries);
    const testsupport::ScopedEnv path("LD_LIBRARY_PATH", entries);
    ASSERT_TRUE(StartEngine(Engine(), "Sim", shared.string())) << Failure();
    // The engine started again without the entry.
    std::string options;
    Choose("userlib.dll", &options);
    EXPECT_FALSE(fs::exists(Mark(run, "userlib.so")));
    fs::remove(Mark(run, "userlib.so"));
    EXPECT_TRUE(EndEngine()) << Failure();
    run_ = vantor_scenario::FirstOrderRun();
  }
  const fs::path own = base_ / "own";
  fs::create_directories(own);
  ASSERT_EQ(Write(Built(own, "mine.so"), (own / "mine.so").string()), 0);
  const testsupport::ScopedEnv path("LD_LIBRARY_PATH", own.c_str());
  ASSERT_TRUE(StartEngine(Engine(), "Sim")) << Failure();
  std::string options;
  Choose("mine.dll", &options);
  EXPECT_TRUE(fs::exists(Mark(own, "mine.so"))) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The libraries of the integrator server's own that the system loader
// finds for it (NEEDED entries naming "libsundials"), read from its file.
std::vector<std::string> IntegratorDependencies() {
  std::string printed;
  roadtest::RunShell("readelf -d " + roadtest::ShellPath(fs::path(VANTOR_BINARY_DIR) / "outside" /
                                                         "vantor_integrator.so"),
                     &printed);
  std::vector<std::string> names;
  for (std::size_t at = printed.find("[libsundials"); at != std::string::npos;
       at = printed.find("[libsundials", at + 1)) {
    names.push_back(printed.substr(at + 1, printed.find(']', at) - at - 1));
  }
  return names;
}

// Another user's integrator core, under the name the integrator server
// needs, in a sticky run folder open to all: the system loader looks for
// it in the server's own folder and in the system's, never in the current
// folder, whatever LD_LIBRARY_PATH holds. The run integrates with the
// engine's own and the planted code never runs.
TEST_F(PlantedRoad, ADependencyPlantedInTheRunFolderNeverRuns) {
  const std::vector<std::string> needed = IntegratorDependencies();
  ASSERT_FALSE(needed.empty()) << "the integrator server names no integrator core";
  const fs::path run = TheirRunFolder("Decay", 01777), shared = run.parent_path();
  ASSERT_FALSE(run.empty());
  for (const std::string& file : needed) ASSERT_TRUE(Plant(run, file)) << file;
  // Each as the engine's environment has it: /proc/self/cwd is the run
  // folder once the run starts; of two settings the loader takes the last;
  // /$ORIGIN/.. climbs from the engine's own folder to the root, and is a
  // name missing under the root until the loader expands it.
  const fs::path engine_folder = fs::canonical(VANTOR_ENGINE).parent_path().relative_path();
  std::string origin = "/$ORIGIN";
  for (auto name = engine_folder.begin(); name != engine_folder.end(); ++name) origin += "/..";
  const std::vector<std::vector<std::string>> settings = {
      {},
      {"LD_LIBRARY_PATH=/nonexistent:"},
      {"LD_LIBRARY_PATH=."},
      {"LD_LIBRARY_PATH=:/usr/lib"},
      {"LD_LIBRARY_PATH=/proc/self/cwd"},
      {"LD_LIBRARY_PATH=/usr/lib", "LD_LIBRARY_PATH=."},
      {"LD_LIBRARY_PATH=" + origin + run.string()}};
  const testsupport::ScopedEnv unset("LD_LIBRARY_PATH", nullptr);
  for (const std::vector<std::string>& added : settings) {
    std::string trace = "LD_LIBRARY_PATH unset";
    if (!added.empty()) trace.clear();
    for (const std::string& setting : added) trace += setting + " ";
    SCOPED_TRACE(trace);
    const fs::path errors = work_ / "errors";
    fs::remove(errors);
    vantor_client::EngineOptions engine = Engine();
    engine.program = Launcher(VANTOR_ENGINE, added, errors);
    ASSERT_FALSE(engine.program.empty());
    ASSERT_TRUE(StartEngine(engine, "Decay", shared.string())) << Failure();
    ASSERT_NO_FATAL_FAILURE(RunDecay());
    for (const std::string& file : needed) EXPECT_FALSE(fs::exists(Mark(run, file))) << file;
    EXPECT_EQ(Text(errors).find("starting again") != std::string::npos, !added.empty())
        << Text(errors);
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// The engine started with LD_LIBRARY_PATH naming a folder of its user's
// that an ACL lets the second user write to, where they put their code
// under the names the integrator server needs: the engine starts again
// without the entry, saying why, and integrates with the system's own
// integrator core; theirs never runs. With an ACL that grants only read,
// the entry is kept and the run is the same.
TEST_F(PlantedRoad, AnLdLibraryPathEntryAnAclOpensToAnotherUserIsLeftOut) {
  const std::vector<std::string> needed = IntegratorDependencies();
  ASSERT_FALSE(needed.empty()) << "the integrator server names no integrator core";
  const fs::path folder = fs::canonical(base_.path()) / "lib";
  fs::create_directories(folder);
  const testsupport::ScopedEnv unset("LD_LIBRARY_PATH", nullptr);
  for (const bool writable : {true, false}) {
    SCOPED_TRACE(writable ? "the ACL grants write" : "the ACL grants read");
    for (const std::string& file : needed) fs::remove(folder / file);
    bool unsupported = false;
    const std::string failed =
        testsupport::SetAcl("-b -m u:" + std::to_string(other_.uid) + (writable ? ":rwx" : ":r-x"),
                            folder, &unsupported);
    if (unsupported) GTEST_SKIP() << failed;
    ASSERT_EQ(failed, "");
    for (const std::string& file : needed) EXPECT_EQ(Plant(folder, file), writable) << file;
    const fs::path errors = work_ / "errors";
    fs::remove(errors);
    vantor_client::EngineOptions engine = Engine();
    engine.program = Launcher(VANTOR_ENGINE, {"LD_LIBRARY_PATH=" + folder.string()}, errors);
    ASSERT_FALSE(engine.program.empty());
    ASSERT_TRUE(StartEngine(engine, "Decay")) << Failure();
    ASSERT_NO_FATAL_FAILURE(RunDecay());
    for (const std::string& file : needed) EXPECT_FALSE(fs::exists(Mark(folder, file))) << file;
    const std::string said = Text(errors);
    if (writable) {
      EXPECT_NE(
          said.find("LD_LIBRARY_PATH entry \"" + folder.string() +
                    "\": user nobody (by an ACL entry) can write to the folder " + folder.string() +
                    " and it is not sticky (chmod g-w " + folder.string() + " makes it usable)"),
          std::string::npos)
          << said;
      EXPECT_NE(said.find("starting again without it"), std::string::npos) << said;
    } else {
      EXPECT_EQ(said.find("starting again"), std::string::npos) << said;
    }
    run_ = vantor_scenario::FirstOrderRun();
  }
}

// An installation made under umask 002 whose folder lib/vantor, then
// etc/vantor, has a group the second user is in and its write. A member
// put their code in place of the integrator server; then they wrote the
// registry, naming their own library. Neither runs: the engine says what
// it did not load or read, and the chmod that makes the folder usable.
TEST_F(PlantedRoad, AGroupMemberCannotSwapAnOutsideServerOrTheRegistry) {
  const fs::path prefix = base_ / "prefix";
  {
    const testsupport::ScopedUmask loose(002);
    std::string printed;
    ASSERT_EQ(roadtest::RunShell(std::string(VANTOR_CMAKE_COMMAND) + " --install " +
                                     VANTOR_BINARY_DIR + " --prefix " + roadtest::ShellPath(prefix),
                                 &printed),
              0)
        << printed;
  }
  const fs::path lib = fs::canonical(prefix / "lib" / "vantor"),
                 etc = fs::canonical(prefix / "etc" / "vantor"),
                 server = lib / "vantor_integrator.so", registry = etc / "registry.ini",
                 kept = base_ / "kept.so";
  for (const fs::path& folder : {lib, etc}) {
    fs::permissions(folder, fs::perms::group_write, fs::perm_options::add);
  }
  const testsupport::ScopedEnv named("VANTOR_REGISTRY", registry.c_str());
  const fs::path errors = work_ / "errors";
  // A dynamic run, as far as it goes.
  const auto run = [&] {
    vantor_client::EngineOptions engine = Engine();
    engine.program = Launcher((prefix / "bin" / "vantor").string(), {}, errors);
    if (engine.program.empty() || !StartEngine(engine, "Decay")) return;
    if (road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
        IntOption(30, 4) && IntOption(29, 4) &&
        Load([](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); }) && BeginRun()) {
      Step(0.0);
    }
    CloseEngine();
  };
  const auto usable = [](const fs::path& folder) {
    return "members of its group can write to the folder " + folder.string() +
           " and it is not sticky (chmod g-w " + folder.string() + " makes it usable)";
  };

  fs::copy_file(server, kept);
  ASSERT_EQ(::chown(lib.c_str(), 0, other_.gid), 0);
  const std::string staged = (lib / "staged.so").string();
  const std::string planted = Built(lib, "vantor_integrator.so");
  ASSERT_EQ(other_.Run([&] {
    return Write(planted, staged) == 0 && ::rename(staged.c_str(), server.c_str()) == 0 ? 0 : 1;
  }),
            0);
  run();
  EXPECT_FALSE(fs::exists(Mark(lib, "vantor_integrator.so")));
  EXPECT_NE(Text(errors).find("in-process server " + server.string()), std::string::npos)
      << Text(errors);
  EXPECT_NE(Text(errors).find(" not loaded: " + usable(lib)), std::string::npos) << Text(errors);

  fs::rename(kept, server);
  ASSERT_EQ(::chown(lib.c_str(), 0, 0), 0);
  ASSERT_EQ(::chown(etc.c_str(), 0, other_.gid), 0);
  fs::remove(errors);
  std::string text = Text(registry);
  const std::size_t at = text.find(server.string());
  ASSERT_NE(at, std::string::npos) << text;
  const fs::path theirs = etc / "theirs.so";
  text.replace(at, server.string().size(), theirs.string());
  const std::string their_code = Built(etc, "theirs.so");
  const std::string written = (etc / "registry.new").string();
  ASSERT_EQ(other_.Run([&] {
    std::ofstream(written) << text;
    return Write(their_code, theirs.string()) == 0 &&
                   ::rename(written.c_str(), registry.c_str()) == 0
               ? 0
               : 1;
  }),
            0);
  run();
  EXPECT_FALSE(fs::exists(Mark(etc, "theirs.so")));
  EXPECT_NE(Text(errors).find("registry file " + registry.string() + " not read: " + usable(etc)),
            std::string::npos)
      << Text(errors);
}

// The search paths (RUNPATH or RPATH) written into a program or library,
// or "" when it is no ELF file or has none.
std::string SearchPathOf(const fs::path& file) {
  char magic[4] = {};
  std::ifstream(file, std::ios::binary).read(magic, sizeof magic);
  if (std::string(magic, 4) != "\x7f" "ELF") return {};
  std::string printed;
  roadtest::RunShell("readelf -d " + roadtest::ShellPath(file), &printed);
  const std::size_t at = printed.find("path: [");
  return at == std::string::npos ? std::string()
                                 : printed.substr(at + 7, printed.find(']', at) - at - 7);
}

// The entries of a search path that the system loader would take as the
// current folder or below it: empty, or not from the root or $ORIGIN.
std::vector<std::string> RelativeEntries(const std::string& path) {
  std::vector<std::string> relative;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = path.find(':', begin);
    const std::string entry = path.substr(begin, end == std::string::npos ? end : end - begin);
    const bool origin = entry.rfind("$ORIGIN", 0) == 0 || entry.rfind("${ORIGIN}", 0) == 0;
    if (entry.empty() || (entry[0] != '/' && !origin)) relative.push_back(entry);
    if (end == std::string::npos) return relative;
    begin = end + 1;
  }
}

// No program or library of the build tree or of an installation tells the
// system loader to look in the current folder, the run folder.
TEST(BuiltSearchPaths, NoProgramOrLibraryLooksInTheCurrentFolder) {
  const testsupport::TempDir work;
  const fs::path prefix = work.path() / "prefix";
  std::string printed;
  ASSERT_EQ(roadtest::RunShell(std::string(VANTOR_CMAKE_COMMAND) + " --install " +
                                   VANTOR_BINARY_DIR + " --prefix " + roadtest::ShellPath(prefix),
                               &printed),
            0)
      << printed;
  int with_path = 0;
  for (const fs::path& tree : {fs::path(VANTOR_BINARY_DIR), prefix}) {
    // Other tests may make and remove files meanwhile: what goes is passed.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
      if (it->path().string().find("/CMakeFiles/") != std::string::npos) continue;
      const std::string path = SearchPathOf(it->path());
      if (path.empty()) continue;
      ++with_path;
      EXPECT_TRUE(RelativeEntries(path).empty()) << it->path() << ": [" << path << "]";
    }
  }
  // The servers and solver libraries find each other through $ORIGIN.
  EXPECT_GT(with_path, 0);
}

// The procedure-files service's "library file name" request finds the file
// without loading it: one another user planted is skipped by name and the
// answer is empty; one of our own is answered with its path, and its code
// does not run either.
TEST_F(PlantedRoad, AskingALibrarysFileRunsNoLibrary) {
  const fs::path shared = OpenFolder("shared", true);
  const fs::path own = base_ / "own";
  fs::create_directories(own);
  ASSERT_TRUE(Plant(shared, "userlib.so"));
  ASSERT_EQ(Write(Built(own, "mine.so"), (own / "mine.so").string()), 0);
  ASSERT_TRUE(StartEngine(Engine(), "Look", shared.string())) << Failure();
  Status added = 0;
  ASSERT_TRUE(
      road_->Exchange(MakeCommand(kProblemService, 4, {}, {}, {own.string()}), "command 4", &added))
      << Failure();
  std::string file = "unasked";
  ASSERT_TRUE(FileOf("userlib", &file)) << Failure();
  EXPECT_EQ(file, "");
  EXPECT_TRUE(Said(Skipped(shared / "userlib.so"))) << Events();
  ASSERT_TRUE(FileOf("mine", &file)) << Failure();
  EXPECT_EQ(file, fs::canonical(own / "mine.so").string());
  EXPECT_FALSE(fs::exists(Mark(shared, "userlib.so")));
  EXPECT_FALSE(fs::exists(Mark(own, "mine.so")));
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace
