// The libraries the engine builds, for a user whose files are
// group-writable by default (umask 002, as with private user groups): they
// must still pass the engine's own loader check, which refuses what others
// could change. Compiled evaluation runs compiled rather than falling back
// unnoticed, and a procedure library built through the engine is found.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <ios>
#include <string>
#include <vector>

#include "framework/libraries/library_loader.h"
#include "tests/codegen/compiled_road_fixture.h"
#include "tests/codegen/proc_files_road.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scoped_umask.h"
#include "tests/support/second_user.h"
#include "tests/tools/tank_event_models.h"

namespace group_umask_road {

using vantor_client::MakeCommand;

class CodegenCompileUnderGroupUmask : public codegen_test::CompiledRoad {
 protected:
  // A fresh engine on the tank, compiled, Gear12 at tolerance 1e-8; its
  // level follows the closed form through the event at t = 1.4.
  void RunTank(const char* what, const std::function<void(modelwriter::Writer&)>& model) {
    CloseEngine();
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    ASSERT_TRUE(
        StartEngine(engine, what) &&
        road_->Expect(MakeCommand(engineroad::kResultsService, 32, {}, {0.5}), "command 32", 0) &&
        IntOption(30, 4) && RealOption(130, 1e-8) && RealOption(131, 1e-8) && IntOption(29, 4) &&
        Conditions(engineroad::TankConditions()) && Load(model))
        << what << ": " << Failure() << "\n"
        << Events();
    ASSERT_TRUE(BeginRun()) << Failure();
    std::vector<double> stops;
    for (int k = 0; k <= 6; ++k) {
      const double t = 0.5 * k;
      ASSERT_TRUE(StepTo(t, &stops)) << what << ": " << Failure() << "\n" << Events();
      EXPECT_NEAR(Value(1), engineroad::WeirLevel(t), 1e-6) << what << " at " << t;
    }
    ASSERT_TRUE(FinishRun()) << Failure();
    EXPECT_EQ(Count("Loaded flowsheet object code library (tcex0)"), 1u) << what << Events();
    EXPECT_EQ(Count(" skipped: "), 0u) << what << Events();
    EXPECT_EQ(Count("Failed to load"), 0u) << what << Events();
    ASSERT_EQ(stops.size(), 1u) << what;
    EXPECT_NEAR(stops[0], engineroad::kEventTime, 1e-6) << what;
  }

  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (const std::string& line : run_.events) n += line.find(text) != std::string::npos;
    return n;
  }

  testsupport::ScopedEnv use_{"QLN_CE_USE", "1"};
};

TEST_F(CodegenCompileUnderGroupUmask, BuiltLibrariesLoadAndRunCompiled) {
  // Set before the engine starts: it, make and the linker inherit it.
  testsupport::ScopedUmask group_writable(002);
  {
    testsupport::ScopedEnv keep("QLN_CE_KEEP", "0");
    RunTank("IF", engineroad::WeirTank);
  }
  if (HasFatalFailure()) return;
  // A second engine, keeping its files: the copy of the library left in
  // the simulation's folder is as closed to others' writes as the one
  // loaded.
  testsupport::ScopedEnv keep("QLN_CE_KEEP", "1");
  RunTank("switch", engineroad::ValveTank);
  struct stat kept {};
  ASSERT_EQ(::stat((work_.path() / "switch" / "tcex0.so").c_str(), &kept), 0) << Events();
  EXPECT_EQ(kept.st_mode & (S_IWGRP | S_IWOTH), 0u) << std::oct << kept.st_mode;
}

bool ModeClosedToOthers(const std::filesystem::path& path) {
  struct stat s {};
  return ::stat(path.c_str(), &s) == 0 && (s.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The procedure of one real input "Twice" in the library "grouplib": the
// template filled in with y = factor x, built through the engine, which
// then names the library's file when asked; the test loads it and calls
// the procedure. A second build after an edit replaces the library.
TEST_F(CodegenCompileUnderGroupUmask, ProcedureLibrariesBuiltThroughTheEngineAreFound) {
  testsupport::ScopedUmask group_writable(002);
  testsupport::ScopedEnv environment("VSENVBATFILE", nullptr);
  const std::filesystem::path folder = work_.path() / "procs";
  std::filesystem::create_directories(folder);
  const std::filesystem::path library = folder / "grouplib.so";
  SUProcDef twice;
  codegen_test::DefineTwice(&twice);
  vantor_client::EngineOptions engine = Engine();
  engine.timeout_ms = testsupport::HangBoundMs(120000);
  ASSERT_TRUE(StartEngine(engine, "Procs") &&
              road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, false),
                            "writing the template", 0))
      << Failure() << "\n"
      << Events();
  std::string source = codegen_test::ReadText(folder / "twice.c");
  codegen_test::Edit(&source, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&source, "      *py = 0.0;", "      *py = 2 * x;");
  for (const double factor : {2.0, 3.0}) {
    if (factor == 3.0) codegen_test::Edit(&source, "*py = 2 * x;", "*py = 3 * x;");
    std::ofstream(folder / "twice.c") << source;
    ASSERT_TRUE(road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, true),
                              "building the library", 0))
        << Failure() << "\n"
        << Events();
    EXPECT_TRUE(ModeClosedToOthers(library)) << factor;
    auto name = std::make_unique<vantor_client::Request>(113);
    name->PutUInt16(5);
    name->PutString(library.c_str());
    Status result = 0;
    std::vector<vantor_client::Message> named;
    ASSERT_TRUE(road_->Exchange(std::move(name), "naming the library", &result, &named))
        << Failure();
    ASSERT_EQ(result, 0u);
    ASSERT_FALSE(named.empty());
    const std::string found = std::filesystem::canonical(library).string();
    const vantor_client::Bytes& body = named.back().body;
    EXPECT_TRUE(std::search(body.begin(), body.end(), found.begin(), found.end()) != body.end())
        << factor;
    XosDynamicLibrary* loaded = XosDynamicLibrary::Load(library.c_str(), nullptr);
    ASSERT_NE(loaded, nullptr) << XosDynamicLibrary::LastErrorText();
    auto entry = reinterpret_cast<codegen_test::NewEntry>(loaded->LookUpSymbol("TWICE", nullptr));
    ASSERT_NE(entry, nullptr);
    int ifail = 0;
    EXPECT_EQ(codegen_test::CallNew(entry, 0, 1.5, &ifail), factor * 1.5);
    EXPECT_EQ(ifail, 1);
    loaded->Release();
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// What the watcher saw, as its exit code.
enum Watched { kNeverWritable = 0, kOpenedForWriting = 1, kNothingBuilt = 2, kNoWatch = 3 };

bool IsProduct(const char* name) {
  const std::size_t n = std::strlen(name);
  return (n > 3 && std::strcmp(name + n - 3, ".so") == 0) ||
         (n > 2 && std::strcmp(name + n - 2, ".o") == 0);
}

// A member of the engine's group (the second user, with the engine's
// group added) watching `folder`: every time a library or object file
// there is made, renamed into place, written or changed, it tries to open
// it for writing, until `stop` is closed. Ready once its watch is set.
int WatchAsGroupMember(const testsupport::SecondUser& user, gid_t group, const std::string& folder,
                       int ready, int stop) {
  if (::setgroups(1, &group) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0)
    return kNoWatch;
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 ||
      ::inotify_add_watch(watch, folder.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) < 0)
    return kNoWatch;
  if (::write(ready, "r", 1) != 1) return kNoWatch;
  bool seen = false;
  alignas(inotify_event) char events[4096];
  char path[4096];
  for (;;) {
    pollfd fds[2] = {{watch, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t got = ::read(watch, events, sizeof events);
      for (ssize_t at = 0; got > 0 && at < got;) {
        const auto* e = reinterpret_cast<const inotify_event*>(events + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if (e->len == 0 || !IsProduct(e->name)) continue;
        seen = true;
        std::snprintf(path, sizeof path, "%s/%s", folder.c_str(), e->name);
        const int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return kOpenedForWriting;
      }
      continue;
    }
    if (fds[1].revents != 0) return seen ? kNeverWritable : kNothingBuilt;
  }
}

// Under umask 002 the compiler and linker would make the library (and its
// objects) group-writable until the engine closes its mode: a member of the
// group who opened it then could write it after the check. Built through
// the engine with a member of the group watching the folder, which never
// gets a descriptor for writing; the library loads and runs.
TEST_F(CodegenCompileUnderGroupUmask, AGroupMemberNeverOpensWhatTheBuildMakesForWriting) {
  const testsupport::SecondUser other;
  testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  testsupport::ScopedUmask group_writable(002);
  testsupport::ScopedEnv environment("VSENVBATFILE", nullptr);
  const std::filesystem::path folder = shared / "procs";
  std::filesystem::create_directories(folder);
  std::filesystem::permissions(
      folder, std::filesystem::perms::owner_all | std::filesystem::perms::group_all |
                  std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  SUProcDef twice;
  codegen_test::DefineTwice(&twice);
  vantor_client::EngineOptions engine = Engine();
  engine.timeout_ms = testsupport::HangBoundMs(120000);
  ASSERT_TRUE(StartEngine(engine, "Procs") &&
              road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, false),
                            "writing the template", 0))
      << Failure() << "\n"
      << Events();
  std::string source = codegen_test::ReadText(folder / "twice.c");
  codegen_test::Edit(&source, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&source, "      *py = 0.0;", "      *py = 2 * x;");
  std::ofstream(folder / "twice.c") << source;
  int ready[2], stop[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(stop, O_CLOEXEC), 0);
  const std::string watched = folder.string();
  const gid_t group = ::getegid();
  const pid_t watcher = ::fork();
  ASSERT_GE(watcher, 0);
  if (watcher == 0) {
    ::close(stop[1]);
    ::_exit(WatchAsGroupMember(other, group, watched, ready[1], stop[0]));
  }
  ::close(ready[1]);
  ::close(stop[0]);
  char mark = 0;
  const bool watching = ::read(ready[0], &mark, 1) == 1;
  ::close(ready[0]);
  const bool built =
      watching && road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice}, true),
                                "building the library", 0);
  ::close(stop[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(watcher, &status, 0), watcher);
  ASSERT_TRUE(watching) << "the watcher could not watch " << watched;
  ASSERT_TRUE(built) << Failure() << "\n" << Events();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kNeverWritable)
      << "1: a group member opened a product of the build for writing; 2: it saw none";
  const std::filesystem::path library = folder / "grouplib.so";
  EXPECT_TRUE(ModeClosedToOthers(library));
  XosDynamicLibrary* loaded = XosDynamicLibrary::Load(library.c_str(), nullptr);
  ASSERT_NE(loaded, nullptr) << XosDynamicLibrary::LastErrorText();
  auto entry = reinterpret_cast<codegen_test::NewEntry>(loaded->LookUpSymbol("TWICE", nullptr));
  ASSERT_NE(entry, nullptr);
  int ifail = 0;
  EXPECT_EQ(codegen_test::CallNew(entry, 0, 1.5, &ifail), 3.0);
  loaded->Release();
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace group_umask_road
