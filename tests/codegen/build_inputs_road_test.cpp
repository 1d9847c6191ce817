// What a procedure build reads and runs, in a folder other users share:
// a member of the engine's group (umask 002, as with private user groups)
// changes none of the makefile and sources the build reads, even through
// a descriptor held from before; a source or include file the group can
// write is refused with the chmod that mends it; and a make or compiler
// planted in a shared folder is never run, even with an empty entry in PATH.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "codegen/build/build_driver.h"
#include "framework/libraries/library_loader.h"
#include "platform/child_process.h"
#include "tests/codegen/compiled_road_fixture.h"
#include "tests/codegen/proc_files_road.h"
#include "tests/support/compiler_installation.h"
#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scoped_umask.h"
#include "tests/support/second_user.h"
#include "tests/support/set_acl.h"

namespace build_inputs_road {

namespace fs = std::filesystem;
using codegen_test::CallTwice;

// Runs part in a child process as the second user with the engine's group
// added, as a member of that group would be; its exit code, -1 when it
// could not run.
int RunAsGroupMember(const testsupport::SecondUser& user, const std::function<int()>& part) {
  const gid_t group = ::getegid();
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(1, &group) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0)
      ::_exit(120);
    ::_exit(part());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

class CodegenCompileBuildInputs : public codegen_test::CompiledRoad {
 protected:
  // The procedure "Twice" of the library "grouplib", its source twice.c.
  void SetUp() override {
    CompiledRoad::SetUp();
    codegen_test::DefineTwice(&twice_);
  }

  bool Start() {
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    return StartEngine(engine, "Procs");
  }
  // Sub-kind 0 with the options: 0x7 writes the makefile, 0x6 builds with
  // the makefile that is there.
  bool Generate(const fs::path& folder, std::uint32_t options, bool build, const char* what,
                const std::string& include = {}, std::uint32_t answer = 0) {
    auto request = std::make_unique<vantor_client::Request>(113);
    request->PutUInt16(0);
    request->PutUInt32(options);
    request->PutString(folder.c_str());
    request->PutUInt32(1);
    request->PutString(include.c_str());
    request->PutUInt8(build ? 1 : 0);
    twice_.WriteDefinition(*request);
    request->PutUInt32(0);
    return road_->Expect(std::move(request), what, answer);
  }

  // Waits for the line: the lines go out with the next pass of the
  // engine's loop.
  void Told(const std::string& text) {
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find(text) != std::string::npos;
    });
  }

  // Waits for the text among the lines since `from`, read as one text (a
  // long line may come in pieces); whether it came.
  bool SaidSince(std::size_t from, const std::string& text) {
    bool said = false;
    const auto until =
        std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
    client_->WaitFor([&] {
      road_->Collect();
      std::string joined;
      for (std::size_t i = from; i < run_.events.size(); ++i) joined += run_.events[i];
      said = joined.find(text) != std::string::npos;
      return said || std::chrono::steady_clock::now() > until;
    });
    return said;
  }
  bool SaidAfter(std::size_t from, const std::string& text) {
    std::string joined;
    for (const std::string& line : LinesSince(from)) joined += line;
    return joined.find(text) != std::string::npos;
  }
  // The template of twice.c written in the folder, with its body made to
  // return twice its input.
  std::string WorkingSource(const fs::path& folder) {
    if (!Generate(folder, 0x7, false, "writing the template")) return {};
    std::string text = codegen_test::ReadText(folder / "twice.c");
    codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                       "*pIfail = IFAIL_OK;");
    codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
    return text;
  }

  // A fresh folder the second user can reach, links followed; empty when
  // there is none (shared_->why_not says why).
  fs::path SharedBase() {
    shared_ = std::make_unique<testsupport::ReachableFolder>(other_);
    return shared_->path().empty() ? fs::path() : fs::canonical(shared_->path());
  }

  SUProcDef twice_;
  testsupport::ScopedEnv environment_{"VSENVBATFILE", nullptr};
  const testsupport::SecondUser other_;
  std::unique_ptr<testsupport::ReachableFolder> shared_;
};

TEST_F(CodegenCompileBuildInputs, AGroupMemberChangesNothingTheBuildReads) {
  const testsupport::SecondUser other;
  testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  testsupport::ScopedUmask group_writable(002);
  const fs::path folder = shared / "procs";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read |
                              fs::perms::others_exec);

  // A makefile an earlier build left group-writable, which a member of the
  // group opened then and holds open until told to write.
  const fs::path makefile = folder / "MakeUserCode";
  std::ofstream(makefile) << "# an earlier build's\n";
  fs::permissions(makefile, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::group_write | fs::perms::others_read);
  int ready[2], go[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  const std::string held = makefile.string();
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(go[1]);
    ::_exit(RunAsGroupMember(other, [&] {
      const int fd = ::open(held.c_str(), O_WRONLY | O_CLOEXEC);
      char mark = 0;
      if (fd < 0 || ::write(ready[1], "r", 1) != 1 || ::read(go[0], &mark, 1) != 1) return 1;
      struct stat s {};
      const std::string line = "\n$(shell touch ran-make)\n";
      return ::fstat(fd, &s) == 0 && ::pwrite(fd, line.data(), line.size(), s.st_size) ==
                                         static_cast<ssize_t>(line.size())
                 ? 0
                 : 1;
    }));
  }
  ::close(ready[1]);
  ::close(go[0]);
  char mark = 0;
  const bool holding = ::read(ready[0], &mark, 1) == 1;
  ::close(ready[0]);
  ASSERT_TRUE(holding) << "the group member could not open the makefile";

  ASSERT_TRUE(Start() && Generate(folder, 0x7, false, "writing the files")) << Failure() << "\n"
                                                                            << Events();
  // The held descriptor writes now, then make runs the makefile that is there.
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(Generate(folder, 0x6, true, "building with the makefile there")) << Failure() << "\n"
                                                                               << Events();
  EXPECT_FALSE(fs::exists(folder / "ran-make")) << "make ran the group member's line";
  EXPECT_TRUE(fs::exists(folder / "grouplib.so")) << Events();

  // Nothing the engine wrote for the build can a member of the group open
  // for writing: the makefile, the source, the resource script.
  std::vector<std::string> written;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) written.push_back(entry.path().string());
  }
  for (const char* file : {"MakeUserCode", "twice.c", "grouplib.rc"}) {
    EXPECT_NE(std::find(written.begin(), written.end(), (folder / file).string()), written.end())
        << file;
  }
  for (const std::string& file : written) {
    EXPECT_EQ(
        RunAsGroupMember(
            other,
            [&] { return ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC) < 0 ? 0 : 1; }),
        0)
        << file << " can be written by the group";
  }

  // The user's own source, left group-writable (an editor under umask 002),
  // into which a member of the group put a constructor: refused with the
  // chmod that mends it, and the library is not built from it.
  const fs::path source = folder / "twice.c";
  std::string text = codegen_test::ReadText(source);
  codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
  std::ofstream(source) << text;
  ::chmod(source.c_str(), 0664);
  const fs::path ran = shared / "ran-constructor";
  const std::string planted =
      "#include <stdio.h>\n__attribute__((constructor)) static void P(void) {\n"
      "  FILE* f = fopen(\"" +
      ran.string() +
      "\", \"w\");\n"
      "  if (f) fclose(f);\n}\n" +
      text;
  const std::string edited = source.string();
  ASSERT_EQ(RunAsGroupMember(other,
                             [&] {
                               std::ofstream out(edited, std::ios::trunc);
                               out << planted;
                               out.close();
                               return out.good() ? 0 : 1;
                             }),
            0);
  Told("make -f MakeUserCode command succeeded");
  const std::size_t before = run_.events.size();
  ASSERT_TRUE(Generate(folder, 0x7, true, "building from the changed source")) << Failure() << "\n"
                                                                               << Events();
  const std::string shown = fs::canonical(source).string();
  const std::string refused = "The build does not use " + shown +
                              ": its group or others can write to it (chmod g-w " + shown +
                              " makes it usable)";
  Told(refused);
  EXPECT_TRUE(Contains(LinesSince(before), refused)) << Events();
  EXPECT_FALSE(Contains(LinesSince(before), "command succeeded")) << Events();
  // What the library holds is what was built before: loading it runs no
  // one else's code.
  CallTwice(folder / "grouplib.so");
  EXPECT_FALSE(fs::exists(ran)) << "the group member's constructor was built and ran";

  // Mended as the line says, the user's source builds and runs.
  std::ofstream(source, std::ios::trunc) << text;
  ::chmod(source.c_str(), 0644);
  ASSERT_TRUE(Generate(folder, 0x7, true, "building the mended source")) << Failure() << "\n"
                                                                         << Events();
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_FALSE(fs::exists(ran));

  // A user include file the group can write, which a member of the group
  // changed: its text never reaches the makefile.
  const fs::path include = folder / "user.mk";
  std::ofstream(include) << "USERLIBS =\n";
  ::chmod(include.c_str(), 0664);
  const std::string included = include.string();
  ASSERT_EQ(RunAsGroupMember(other,
                             [&] {
                               std::ofstream out(included, std::ios::app);
                               out << "$(shell touch ran-include)\n";
                               out.close();
                               return out.good() ? 0 : 1;
                             }),
            0);
  ASSERT_TRUE(Generate(folder, 0x7, true, "building with the include file", included))
      << Failure() << "\n"
      << Events();
  const std::string named = fs::canonical(include).string();
  Told("chmod g-w " + named + " makes it usable");
  EXPECT_NE(Events().find("The build does not use " + included), std::string::npos) << Events();
  EXPECT_FALSE(fs::exists(folder / "ran-include")) << "make ran the include file's line";
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Code that leaves a mark when it runs, as a C text: a constructor named
// `name` that makes the file `mark`.
std::string MarkingCode(const std::string& name, const fs::path& mark) {
  return "#include <stdio.h>\n__attribute__((constructor)) static void " + name +
         "(void) {\n  FILE* f = fopen(\"" + mark.string() + "\", \"w\");\n  if (f) fclose(f);\n}\n";
}

// gcc's output for the C text with the options, empty when it failed.
std::string Compiled(const fs::path& work, const std::string& text, const std::string& options) {
  const fs::path source = work / "planted.c", built = work / "planted.out";
  std::ofstream(source) << text;
  fs::remove(built);
  const std::string command =
      "gcc " + options + " -o '" + built.string() + "' '" + source.string() + "'";
  return std::system(command.c_str()) == 0 ? codegen_test::ReadText(built) : std::string();
}

// Writes the bytes as the second user, in a file of theirs with the mode
// and dated a day ahead (make then takes it as newer than its sources).
int PlantAs(const testsupport::SecondUser& user, const fs::path& file, const std::string& bytes,
            mode_t mode) {
  const std::string target = file.string();
  return user.Run([&] {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return 1;
    const bool written =
        ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    const timespec later[2] = {{std::time(nullptr) + 86400, 0}, {std::time(nullptr) + 86400, 0}};
    const bool dated = ::futimens(fd, later) == 0 && ::fchmod(fd, mode) == 0;
    ::close(fd);
    return written && dated ? 0 : 1;
  });
}

// Another user planted, in a sticky folder all users share, a make and a
// gcc of theirs, the headers twice.c and twice.h name in quotes (which the
// compiler takes from beside the source first) and an object twice.o dated
// ahead (which make takes as made): the build is refused there, naming
// the folder and what is usable, and nothing of theirs runs, even with an
// empty entry in PATH (PATH=$EXTRA:$PATH with EXTRA unset). In a folder of
// the engine's user's own the same build is made with the real tools.
TEST_F(CodegenCompileBuildInputs, NothingIsBuiltInAFolderOthersCanMakeNamesIn) {
  const testsupport::SecondUser other;
  testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const fs::path folder = fs::canonical(shared.path()) / "procs";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit);
  std::vector<fs::path> marks;
  for (const std::string tool : {"make", "gcc", "cc"}) {
    marks.push_back(shared / ("ran-" + tool));
    ASSERT_EQ(PlantAs(other, folder / tool,
                      "#!/bin/sh\ntouch '" + marks.back().string() + "'\nexit 0\n", 0755),
              0)
        << tool;
  }
  const fs::path procedures = prefix_ / "procedures";
  for (const std::string header : {"bvdll.h", "bvutcfor.h"}) {
    marks.push_back(shared / ("ran-" + header));
    const std::string text = codegen_test::ReadText(procedures / header) + "\n" +
                             MarkingCode(header == "bvdll.h" ? "P1" : "P2", marks.back());
    ASSERT_EQ(PlantAs(other, folder / header, text, 0644), 0) << header;
  }
  marks.push_back(shared / "ran-twice.o");
  const std::string object = Compiled(work_.path(), MarkingCode("P3", marks.back()), "-c -fPIC");
  ASSERT_FALSE(object.empty());
  ASSERT_EQ(PlantAs(other, folder / "twice.o", object, 0644), 0);

  const char* path = std::getenv("PATH");
  testsupport::ScopedEnv empty_entry("PATH",
                                     (":" + std::string(path != nullptr ? path : "")).c_str());
  ASSERT_TRUE(Start() && Generate(folder, 0x7, true, "building")) << Failure() << "\n" << Events();
  Told("The build does not run in " + folder.string() + ": others can make files in the folder " +
       folder.string() +
       ", sticky as it is (only a folder that no one but its owner can make names in is usable)");
  EXPECT_EQ(Events().find("command succeeded"), std::string::npos) << Events();
  EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
  // A library left there would run their code when loaded.
  CallTwice(folder / "grouplib.so");
  for (const fs::path& mark : marks) EXPECT_FALSE(fs::exists(mark)) << mark << " ran";

  const fs::path own = shared / "own";
  fs::create_directories(own);
  fs::permissions(own, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  ASSERT_TRUE(Generate(own, 0x7, false, "writing the template")) << Failure();
  std::string text = codegen_test::ReadText(own / "twice.c");
  codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
  std::ofstream(own / "twice.c", std::ios::trunc) << text;
  ASSERT_TRUE(Generate(own, 0x7, true, "building")) << Failure() << "\n" << Events();
  EXPECT_EQ(CallTwice(own / "grouplib.so"), 3.0) << Events();
  for (const fs::path& mark : marks) EXPECT_FALSE(fs::exists(mark)) << mark << " ran";
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The engine started with a PATH whose first entry is a sticky folder all
// users share, where another user put a make and compilers of theirs: the
// build leaves that entry out with a line saying why, and keeps the next,
// a folder of the engine's user's own whose make runs the real one.
TEST_F(CodegenCompileBuildInputs, ToolsOnAPathEntryOthersCanWriteToNeverRun) {
  const testsupport::SecondUser other;
  testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const fs::path base = fs::canonical(shared.path());
  const fs::path open = base / "bin", own = base / "ownbin", folder = base / "procs";
  for (const fs::path& made : {open, own, folder}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  std::vector<fs::path> marks;
  for (const std::string tool : {"make", "gcc", "cc", "g++"}) {
    marks.push_back(base / ("ran-" + tool));
    ASSERT_EQ(PlantAs(other, open / tool,
                      "#!/bin/sh\ntouch '" + marks.back().string() + "'\nexit 0\n", 0755),
              0)
        << tool;
  }
  const std::string make = platform::LocateProgram("make");
  ASSERT_EQ(make.front(), '/');
  const fs::path ran_own = base / "ran-own-make";
  std::ofstream(own / "make") << "#!/bin/sh\ntouch '" << ran_own.string() << "'\nexec '" << make
                              << "' \"$@\"\n";
  fs::permissions(own / "make", fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);

  const char* path = std::getenv("PATH");
  testsupport::ScopedEnv ahead(
      "PATH", (open.string() + ":" + own.string() + ":" + (path != nullptr ? path : "")).c_str());
  ASSERT_TRUE(Start() && Generate(folder, 0x7, false, "writing the template")) << Failure();
  std::string text = codegen_test::ReadText(folder / "twice.c");
  codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
  std::ofstream(folder / "twice.c", std::ios::trunc) << text;
  ASSERT_TRUE(Generate(folder, 0x7, true, "building")) << Failure() << "\n" << Events();
  Told("make -f MakeUserCode command succeeded");
  EXPECT_NE(Events().find("The build leaves out PATH entry \"" + open.string() +
                          "\": others can make files in the folder " + open.string() +
                          ", sticky as it is"),
            std::string::npos)
      << Events();
  for (const fs::path& mark : marks) EXPECT_FALSE(fs::exists(mark)) << mark << " ran";
  EXPECT_TRUE(fs::exists(ran_own)) << "the make of the entry kept did not run";
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The engine started with relative LD_PRELOAD and LD_AUDIT entries that,
// from the build's folder, lead to libraries another user put in a shared
// folder, and a relative GCONV_PATH entry: the build's programs get none
// of them, each left out with a line, and keep the absolute ones.
TEST_F(CodegenCompileBuildInputs, RelativePreloadsAreNeverFoundFromTheBuildFolder) {
  // The address sanitizer's runtime must be the first library an engine
  // loads; a preload set for the engine itself puts another first.
  if (testsupport::kUnderAddressSanitizer) GTEST_SKIP() << "the engine's own preload comes first";
  const testsupport::SecondUser other;
  testsupport::ReachableFolder shared(other);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  const fs::path base = fs::canonical(shared.path());
  const fs::path open = base / "shared", folder = base / "procs";
  for (const fs::path& made : {open, folder}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  std::vector<fs::path> marks;
  for (const std::string library : {"preload.so", "audit.so"}) {
    marks.push_back(base / ("ran-" + library));
    const std::string bytes = Compiled(
        work_.path(),
        MarkingCode("P", marks.back()) + "unsigned int la_version(unsigned int v) { return v; }\n",
        "-shared -fPIC");
    ASSERT_FALSE(bytes.empty());
    ASSERT_EQ(PlantAs(other, open / library, bytes, 0755), 0) << library;
  }
  const fs::path kept = base / "kept.so";
  {
    const std::string bytes = Compiled(work_.path(), "int kept;\n", "-shared -fPIC");
    ASSERT_FALSE(bytes.empty());
    std::ofstream(kept, std::ios::binary) << bytes;
  }
  // Make tells what its environment holds.
  const fs::path include = folder / "user.mk";
  std::ofstream(include) << "$(info build sees LD_PRELOAD=[$(LD_PRELOAD)] LD_AUDIT=[$(LD_AUDIT)] "
                            "GCONV_PATH=[$(GCONV_PATH)])\n";
  {
    const testsupport::ScopedEnv preload("LD_PRELOAD",
                                         ("../shared/preload.so " + kept.string()).c_str());
    const testsupport::ScopedEnv audit("LD_AUDIT", "../shared/audit.so");
    const testsupport::ScopedEnv gconv("GCONV_PATH", "../shared:/usr/lib/gconv");
    ASSERT_TRUE(Start()) << Failure();
  }
  ASSERT_TRUE(Generate(folder, 0x7, false, "writing the template")) << Failure();
  std::string text = codegen_test::ReadText(folder / "twice.c");
  codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                     "*pIfail = IFAIL_OK;");
  codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
  std::ofstream(folder / "twice.c", std::ios::trunc) << text;
  ASSERT_TRUE(Generate(folder, 0x7, true, "building", include.string())) << Failure() << "\n"
                                                                         << Events();
  Told("make -f MakeUserCode command succeeded");
  for (const fs::path& mark : marks) EXPECT_FALSE(fs::exists(mark)) << mark << " ran";
  for (const std::string line :
       {"LD_PRELOAD entry \"../shared/preload.so\"", "LD_AUDIT entry \"../shared/audit.so\"",
        "GCONV_PATH entry \"../shared\""}) {
    EXPECT_NE(Events().find("The build leaves out " + line +
                            ": it is relative, found from the build's folder"),
              std::string::npos)
        << line << "\n"
        << Events();
  }
  EXPECT_NE(Events().find("build sees LD_PRELOAD=[" + kept.string() +
                          "] LD_AUDIT=[] GCONV_PATH=[/usr/lib/gconv]"),
            std::string::npos)
      << Events();
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The environment file the build sources (VSENVBATFILE), named through a
// link of the user's that is pointed at one folder after another: another
// user's file in a sticky folder all users share, the user's own file that
// their group can write to, and the user's own file in a folder anyone can
// write to are each refused with a line, and nothing in them runs; the
// user's own file in their own folder is sourced, and the library builds
// and runs.
TEST_F(CodegenCompileBuildInputs, TheEnvironmentFileIsSourcedOnlyAsChecked) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path open = base / "open", group = base / "group", anyone = base / "anyone",
                 own = base / "own", folder = base / "procs", named = base / "env";
  for (const fs::path& made : {open, group, anyone, own, folder}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(anyone, fs::perms::all);
  const fs::path ran = base / "ran-env";
  const std::string text =
      "touch '" + ran.string() + "'\nVANTOR_FROM_ENV=sourced; export VANTOR_FROM_ENV\n";
  ASSERT_EQ(PlantAs(other_, open / "env.sh", text, 0644), 0);
  for (const auto& [where, mode] : std::initializer_list<std::pair<fs::path, int>>{
           {group, 0664}, {anyone, 0644}, {own, 0644}}) {
    std::ofstream(where / "env.sh") << text;
    ::chmod((where / "env.sh").c_str(), static_cast<mode_t>(mode));
  }
  fs::create_directory_symlink(open, named);
  const testsupport::ScopedEnv environment("VSENVBATFILE", (named / "env.sh").c_str());
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;
  // Make tells what its environment holds.
  const fs::path include = folder / "user.mk";
  std::ofstream(include) << "$(info build sees VANTOR_FROM_ENV=[$(VANTOR_FROM_ENV)])\n";

  const std::string refused = "The build does not use " + (named / "env.sh").string() + ": ";
  struct Case {
    fs::path target;
    std::string why;  // empty: sourced
  };
  for (const Case& c :
       {Case{open, "it belongs to another user"},
        Case{group, "its group or others can write to it"},
        Case{anyone, "others can write to the folder " + anyone.string() + " and it is not sticky"},
        Case{own, ""}}) {
    SCOPED_TRACE(c.target.string());
    fs::remove(named);
    fs::create_directory_symlink(c.target, named);
    fs::remove(ran);
    fs::remove(folder / "grouplib.so");
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(Generate(folder, 0x7, true, "building", include.string())) << Failure();
    if (!c.why.empty()) {
      EXPECT_TRUE(SaidSince(before, refused + c.why)) << Events();
      EXPECT_FALSE(SaidAfter(before, "command succeeded")) << Events();
      EXPECT_FALSE(fs::exists(ran)) << "the environment file ran";
      EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
    } else {
      EXPECT_TRUE(SaidSince(before, "make -f MakeUserCode command succeeded")) << Events();
      EXPECT_TRUE(SaidAfter(before, "build sees VANTOR_FROM_ENV=[sourced]")) << Events();
      EXPECT_FALSE(SaidAfter(before, refused)) << Events();
      EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
    }
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A procedure's source kept outside the build folder is compiled where it
// lies, where the compiler takes a header named in quotes from first: in a
// sticky folder all users share, beside another user's bvdll.h, it is
// refused with a line and their code never runs. In the user's own folders
// (beside the build folder, below it, inside the shared one, or reached
// through a link of theirs) it builds and runs.
TEST_F(CodegenCompileBuildInputs, ASourceIsCompiledOnlyWhereNoOneElseCanPutAHeader) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path open = base / "open", folder = base / "procs", own = base / "own",
                 inside = open / "mine", below = folder / "sources", linked = base / "linked";
  for (const fs::path& made : {open, folder, own}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  for (const fs::path& made : {inside, below}) fs::create_directories(made);
  fs::create_directory_symlink(own, linked);
  const fs::path mark = base / "ran-header";
  ASSERT_EQ(PlantAs(other_, open / "bvdll.h",
                    codegen_test::ReadText(prefix_ / "procedures" / "bvdll.h") + "\n" +
                        MarkingCode("P1", mark),
                    0644),
            0);
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  fs::remove(folder / "twice.c");

  for (const auto& [where, why] : std::initializer_list<std::pair<fs::path, std::string>>{
           {open, "others can make files in the folder " + open.string() + ", sticky as it is"},
           {own, ""},
           {below, ""},
           {inside, ""},
           {linked, ""}}) {
    SCOPED_TRACE(where.string());
    const fs::path file = where / "twice.c";
    if (!fs::exists(file)) std::ofstream(file) << source;
    twice_.SetSourceFile(file.c_str(), false);
    fs::remove(folder / "grouplib.so");
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(Generate(folder, 0x7, true, "building")) << Failure();
    if (!why.empty()) {
      EXPECT_TRUE(SaidSince(
          before, "The build does not compile " + file.string() + " where it lies: " + why))
          << Events();
      EXPECT_FALSE(SaidAfter(before, "command succeeded")) << Events();
      EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
      // A library left there would run their code when loaded.
      CallTwice(folder / "grouplib.so");
    } else {
      EXPECT_TRUE(SaidSince(before, "make -f MakeUserCode command succeeded")) << Events();
      EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
    }
    EXPECT_FALSE(fs::exists(mark)) << "their header was compiled in and ran";
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The procedure folder of the template request, or the folder of its
// source, reached through another user's link in a sticky folder all users
// share, as the last name or on the way: nothing is written where the link
// leads (the makefile there stays as it was, no source is made), and a line
// names the link. Through a link of the user's own the same request writes
// the files and builds.
TEST_F(CodegenCompileBuildInputs, NothingIsWrittenThroughAnotherUsersLink) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path open = base / "open", target = base / "target", own = base / "own";
  for (const fs::path& made : {open, target, own}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  const std::string kept = "# the user's own makefile\n";
  std::ofstream(target / "MakeUserCode") << kept;
  const fs::path last = open / "procs", way = open / "way", mine = open / "mine";
  ASSERT_EQ(other_.Run([&] {
    return ::symlink(target.c_str(), last.c_str()) == 0 && ::symlink(base.c_str(), way.c_str()) == 0
               ? 0
               : 1;
  }),
            0);
  fs::create_directory_symlink(target, mine);
  ASSERT_TRUE(Start()) << Failure();

  struct Case {
    fs::path folder, source, link;
  };
  for (const Case& c : {Case{last, "twice.c", last}, Case{way / "target", "twice.c", way},
                        Case{own, (last / "twice.c").string(), last},
                        Case{own, (way / "target" / "twice.c").string(), way}}) {
    SCOPED_TRACE(c.folder.string() + " " + c.source.string());
    twice_.SetSourceFile(c.source.c_str(), false);
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(Generate(c.folder, 0x7, true, "writing and building", {}, 0x8000FFFFu))
        << Failure();
    EXPECT_TRUE(SaidSince(
        before, "the symbolic link " + c.link.string() + " on its way belongs to another user"))
        << Events();
    EXPECT_EQ(codegen_test::ReadText(target / "MakeUserCode"), kept);
    for (const char* file : {"twice.c", "grouplib.rc", "domake_0.sh"}) {
      EXPECT_FALSE(fs::exists(target / file)) << file;
    }
    EXPECT_FALSE(SaidAfter(before, "command succeeded")) << Events();
  }

  // A type's export, which writes its makefile in the folder.
  {
    auto request = std::make_unique<vantor_client::Request>(113);
    request->PutUInt16(4);
    request->PutString(last.c_str());
    request->PutString("Tank");
    // No flags (not built), no resources, not quiet, headers, no units or
    // extra headers.
    for (int word = 0; word < 10; ++word) request->PutUInt32(0);
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(road_->Expect(std::move(request), "exporting a type", 0x8000FFFFu)) << Failure();
    EXPECT_TRUE(SaidSince(before, "Nothing is written through " + last.string() +
                                      ": the symbolic link " + last.string() +
                                      " on its way belongs to another user"))
        << Events();
    EXPECT_FALSE(fs::exists(target / "MakeTank"));
  }

  twice_.SetSourceFile("twice.c", false);
  const std::size_t before = run_.events.size();
  ASSERT_TRUE(Generate(mine, 0x7, true, "writing and building")) << Failure();
  EXPECT_TRUE(SaidSince(before, "make -f MakeUserCode command succeeded")) << Events();
  EXPECT_TRUE(fs::exists(target / "twice.c"));
  EXPECT_NE(codegen_test::ReadText(target / "MakeUserCode"), kept);
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The files of a private folder of the engine's user, each with its bytes.
std::vector<std::pair<std::string, std::string>> Listing(const fs::path& folder) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    files.emplace_back(entry.path().filename().string(), codegen_test::ReadText(entry.path()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Another user exchanges, again and again, their procedure folder in a
// sticky folder all users share with their link to a private folder of
// the engine's user, while the engine writes and builds there (ten times
// and more):
// every file of the private folder keeps its bytes and nothing is added
// to it, whichever of the two each request met. The user's own link to
// a folder of theirs still takes the files and the build.
TEST_F(CodegenCompileBuildInputs, AFolderSwappedWithALinkAfterTheCheckTakesNoWrite) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path open = base / "open", mine = base / "private", procs = open / "procs",
                 swap = open / "swap", stop = base / "stop";
  fs::create_directories(open);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  fs::create_directories(mine);
  fs::permissions(mine, fs::perms::owner_all);
  std::ofstream(mine / "twice.c") << "/* the user's own twice.c */\n";
  std::ofstream(mine / "twice.h") << "/* the user's own twice.h */\n";
  std::ofstream(mine / "MakeUserCode") << "# the user's own makefile\n";
  std::ofstream(mine / "grouplib.rc") << "// the user's own script\n";
  const auto before = Listing(mine);
  ASSERT_EQ(other_.Run([&] {
    return ::mkdir(procs.c_str(), 0777) == 0 && ::chmod(procs.c_str(), 0777) == 0 &&
                   ::symlink(mine.c_str(), swap.c_str()) == 0
               ? 0
               : 1;
  }),
            0);
  ASSERT_TRUE(Start()) << Failure();
  // Three processes exchange, so that a busy machine still changes the
  // names often within one request.
  const testsupport::SecondUser swapper_user = other_;
  std::vector<std::thread> swappers;
  for (int k = 0; k < 3; ++k) {
    swappers.emplace_back([&] {
      swapper_user.Run([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (::access(stop.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < until) {
          ::renameat2(AT_FDCWD, procs.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
        }
        return 0;
      });
    });
  }
  // The requests go once the exchanges have begun: at least ten, and more
  // for a minute while the private folder is as it was.
  const auto begun = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!fs::is_symlink(procs) && std::chrono::steady_clock::now() < begun) {
    std::this_thread::yield();
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  int requests = 0;
  for (; requests < 200 && (requests < 10 || std::chrono::steady_clock::now() < until) &&
         Listing(mine) == before;
       ++requests) {
    SCOPED_TRACE(requests);
    auto request = codegen_test::GenerateProcFiles(procs, {&twice_}, true);
    Status answer = 0;
    if (!road_->Exchange(std::move(request), "writing and building while swapped", &answer)) break;
  }
  std::ofstream(stop).close();
  for (std::thread& swapper : swappers) swapper.join();
  EXPECT_GE(requests, 10);
  EXPECT_EQ(Listing(mine), before) << Events();
  EXPECT_EQ(Events().find("command succeeded"), std::string::npos) << Events();

  const fs::path own = base / "own", linked = base / "linked";
  fs::create_directories(own);
  fs::create_directory_symlink(own, linked);
  const std::size_t from = run_.events.size();
  ASSERT_TRUE(Generate(linked, 0x7, true, "writing and building through the user's own link"))
      << Failure();
  EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
  EXPECT_TRUE(fs::exists(own / "twice.c"));
  EXPECT_TRUE(fs::exists(own / "MakeUserCode"));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// An installation whose procedures folder, the compiler's -I folder, is
// sticky and open to all: beside the engine's own headers another user
// put a stddef.h of theirs, which the compiler takes ahead of the
// system's. The build is refused with a line naming the folder and what
// is usable, and their code never runs; so is one whose tool folder is
// open. The same installation closed to others' writes builds and runs
// the procedure.
TEST_F(CodegenCompileBuildInputs, AnIncludeFolderOthersCanMakeNamesInIsNeverSearched) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path prefix = testsupport::MakeCompilerInstallation(base / "install", true),
                 procedures = prefix / "procedures", folder = base / "procs",
                 mark = base / "ran-stddef";
  const testsupport::ScopedEnv installation("QLNSERVERDIR", (prefix / "bin").c_str());
  fs::create_directories(folder);
  fs::permissions(procedures, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_EQ(PlantAs(other_, procedures / "stddef.h",
                    "#ifndef PLANTED_STDDEF\n#define PLANTED_STDDEF\n#include_next <stddef.h>\n" +
                        MarkingCode("P4", mark) + "#endif\n",
                    0644),
            0);
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;

  std::size_t from = run_.events.size();
  ASSERT_TRUE(Generate(folder, 0x7, true, "building")) << Failure();
  EXPECT_TRUE(SaidSince(from, "The build does not search " + procedures.string() +
                                  " for headers or libraries: others can make files in the "
                                  "folder " +
                                  procedures.string() +
                                  ", sticky as it is (only a folder that no one but its owner "
                                  "can make names in is usable)"))
      << Events();
  EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
  EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
  // A library left there would run their code when loaded.
  CallTwice(folder / "grouplib.so");
  EXPECT_FALSE(fs::exists(mark)) << "their stddef.h was compiled in and ran";

  const fs::perms closed = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
  fs::remove(procedures / "stddef.h");
  fs::permissions(procedures, closed);
  // The tool folder, whose archive is linked and whose resource compiler
  // make runs, likewise.
  const fs::path bin = prefix / "bin";
  fs::permissions(bin, fs::perms::all | fs::perms::sticky_bit);
  from = run_.events.size();
  ASSERT_TRUE(Generate(folder, 0x7, true, "building with an open tool folder")) << Failure();
  EXPECT_TRUE(SaidSince(from, "The build does not search " + bin.string() +
                                  " for headers or libraries: others can make files in the "
                                  "folder " +
                                  bin.string() + ", sticky as it is"))
      << Events();
  EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
  fs::permissions(bin, closed);

  from = run_.events.size();
  ASSERT_TRUE(Generate(folder, 0x7, true, "building in a closed installation")) << Failure();
  EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_FALSE(fs::exists(mark));
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A type's export, whose compile line searches the installation's incl
// folder and whose link line its lib folder: either one sticky and open to
// all, with another user's stddef.h or libm.so in it, is refused with a
// line naming it, and their code never runs. Closed, the same
// installation builds the export and its library answers.
TEST_F(CodegenCompileBuildInputs, AnExportsSearchFoldersOthersCanMakeNamesInAreRefused) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path prefix = testsupport::MakeCompilerInstallation(base / "install", true),
                 incl = prefix / "incl", lib = prefix / "lib", folder = base / "export",
                 mark = base / "ran-planted";
  for (const fs::path& made : {incl, lib, folder}) fs::create_directories(made);
  std::ofstream(prefix / "procedures" / "qlnexp.a") << "!<arch>\n";
  std::ofstream(prefix / "procedures" / "tanq_defs.inc")
      << "QVSYSTEM_TOP = " << prefix.string() << "\n";
  std::ofstream(folder / "seven.cpp")
      << "#include <stddef.h>\nextern \"C\" __attribute__((visibility(\"default\"))) int "
         "SEVEN() { return sizeof(size_t) - 1; }\n";
  const testsupport::ScopedEnv installation("QLNSERVERDIR", (prefix / "bin").c_str());
  const std::string header =
      "#ifndef PLANTED_STDDEF\n#define PLANTED_STDDEF\n"
      "#include_next <stddef.h>\n" +
      MarkingCode("P5", mark) + "#endif\n";
  const std::string library = Compiled(work_.path(), MarkingCode("P6", mark), "-shared -fPIC");
  ASSERT_FALSE(library.empty());
  ASSERT_TRUE(Start()) << Failure();
  auto exported = [&](const char* what, Status* answer) {
    auto request = std::make_unique<vantor_client::Request>(113);
    request->PutUInt16(4);
    request->PutString(folder.c_str());
    request->PutString("typelib");
    // Optimised and built; no debug, clean or resources; not quiet, headers.
    for (std::uint32_t word : {1u, 1u, 0u, 0u, 0u, 0u, 0u, 0u}) request->PutUInt32(word);
    request->PutUInt32(1);
    request->PutString("seven");
    request->PutUInt32(0);
    return road_->Exchange(std::move(request), what, answer);
  };
  const auto open = fs::perms::all | fs::perms::sticky_bit;
  for (const auto& [opened, planted, bytes] : {std::make_tuple(incl, incl / "stddef.h", header),
                                               std::make_tuple(lib, lib / "libm.so", library)}) {
    SCOPED_TRACE(opened.string());
    fs::permissions(opened, open);
    ASSERT_EQ(PlantAs(other_, planted, bytes, 0755), 0);
    fs::remove(folder / "typelib.so");
    const std::size_t from = run_.events.size();
    Status answer = 0;
    ASSERT_TRUE(exported("exporting beside their file", &answer)) << Failure();
    EXPECT_TRUE(SaidSince(from, "The build does not search " + opened.string() +
                                    " for headers or libraries: others can make files in the "
                                    "folder " +
                                    opened.string() + ", sticky as it is"))
        << Events();
    EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
    EXPECT_FALSE(fs::exists(folder / "typelib.so"));
    fs::remove(planted);
    fs::permissions(opened, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }
  const std::size_t from = run_.events.size();
  Status answer = 1;
  ASSERT_TRUE(exported("exporting in a closed installation", &answer)) << Failure();
  EXPECT_EQ(answer, 0u) << Events();
  EXPECT_TRUE(SaidSince(from, "make -f Maketypelib command succeeded")) << Events();
  void* loaded = ::dlopen((folder / "typelib.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(loaded, nullptr) << ::dlerror();
  auto seven = reinterpret_cast<int (*)()>(::dlsym(loaded, "SEVEN"));
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven(), 7);
  ::dlclose(loaded);
  EXPECT_FALSE(fs::exists(mark)) << "their code ran";
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The user's own search folders, named by USERINCLUDEPATHS and
// USERLIBPATHS in the include file the request names: one that another
// user can make names in (open, sticky, open to others alone, or by an
// ACL entry), with their stddef.h or libm.so in it, is refused with a line
// naming it and what to change, and their code never runs. The same
// folders the user keeps to themselves (0755, 0700, their own group's
// 0775, an ACL entry that reads only or whose mask takes the write away)
// build and the procedure answers.
TEST_F(CodegenCompileBuildInputs, TheUsersOwnSearchFoldersAreJudgedAsTheInstallations) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path folder = base / "procs", include = base / "user.mk", incl = base / "userincl",
                 lib = base / "userlib", mark = base / "ran-planted";
  for (const fs::path& made : {folder, incl, lib}) fs::create_directories(made);
  std::ofstream(include) << "USERINCLUDEPATHS = -I" << incl.string() << "\nUSERLIBPATHS = -L "
                         << lib.string() << "\n";
  const std::string header =
      "#ifndef PLANTED_STDDEF\n#define PLANTED_STDDEF\n#include_next <stddef.h>\n" +
      MarkingCode("P7", mark) + "#endif\n";
  const std::string library = Compiled(work_.path(), MarkingCode("P8", mark), "-shared -fPIC");
  ASSERT_FALSE(library.empty());
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;

  const std::string who = std::to_string(other_.uid);
  struct Layout {
    const char* name;
    mode_t mode;
    std::vector<std::string> acl;
    std::string why;  // the start of the reason given, empty when it builds
  };
  const std::vector<Layout> layouts = {
      {"open", 0777, {}, "others can write to the folder "},
      {"sticky", 01777, {}, "others can make files in the folder "},
      {"open to others alone", 0757, {}, "others can write to the folder "},
      {"an ACL entry", 0755, {"-m u:" + who + ":rwx"}, "user nobody (by an ACL entry) can write"},
      {"the user's own", 0755, {}, ""},
      {"private", 0700, {}, ""},
      {"the user's own group", 0775, {}, ""},
      {"an ACL entry that reads", 0755, {"-m u:" + who + ":r-x"}, ""},
      {"an ACL mask without write", 0755, {"-m u:" + who + ":rwx", "-m m::r-x"}, ""}};
  const auto closed = static_cast<fs::perms>(0755);
  for (const Layout& layout : layouts) {
    for (const auto& [opened, planted, bytes] : {std::make_tuple(incl, incl / "stddef.h", header),
                                                 std::make_tuple(lib, lib / "libm.so", library)}) {
      SCOPED_TRACE(std::string(layout.name) + " " + opened.string());
      fs::permissions(opened, static_cast<fs::perms>(layout.mode));
      bool skip = false;
      for (const std::string& options : layout.acl) {
        if (const std::string failed = testsupport::SetAcl(options, opened, &skip);
            !failed.empty()) {
          if (skip) GTEST_SKIP() << failed;
          FAIL() << failed;
        }
      }
      EXPECT_EQ(PlantAs(other_, planted, bytes, 0755) == 0, !layout.why.empty())
          << "the second user's write";
      fs::remove(folder / "grouplib.so");
      fs::remove(folder / "twice.o");
      const std::size_t from = run_.events.size();
      ASSERT_TRUE(Generate(folder, 0x7, true, "building", include.string())) << Failure();
      if (layout.why.empty()) {
        EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
        EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
      } else {
        EXPECT_TRUE(SaidSince(from, "The build does not search " + opened.string() +
                                        " for headers or libraries: " + layout.why))
            << Events();
        EXPECT_TRUE(SaidAfter(from,
                              "the makefile names it: take it out of USERINCLUDEPATHS "
                              "or USERLIBPATHS, or close it)"))
            << Events();
        EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
        EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
        CallTwice(folder / "grouplib.so");
      }
      EXPECT_FALSE(fs::exists(mark)) << "their code was built in and ran";
      fs::remove(planted);
      if (!layout.acl.empty()) {
        EXPECT_EQ(testsupport::SetAcl("-b", opened, &skip), "");
      }
      fs::permissions(opened, closed);
    }
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A user include file whose makefile lines have make itself read another
// makefile (include, -include) or look for prerequisites (VPATH) in a
// folder another user can make names in: refused with a line naming the
// folder, and the makefile they put there is never read (it would run
// their command as the user). The same lines into a folder of the user's
// own build.
TEST_F(CodegenCompileBuildInputs, TheFoldersMakeItselfSearchesAreJudgedToo) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path folder = base / "procs", include = base / "user.mk", open = base / "mk",
                 own = base / "ownmk", mark = base / "ran-planted";
  for (const fs::path& made : {folder, open, own}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_EQ(
      PlantAs(other_, open / "extra.mk", "X := $(shell touch '" + mark.string() + "')\n", 0644), 0);
  std::ofstream(own / "extra.mk") << "OWN_EXTRA = 1\n";
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;
  for (const std::string& line :
       {"include " + (open / "extra.mk").string(), "-include " + (open / "extra.mk").string(),
        "sinclude $(MKDIR)/extra.mk\nMKDIR = " + open.string(), "VPATH = /usr:" + open.string(),
        "vpath %.h " + open.string(),
        // A tab-led line after a setting is no recipe: make reads it.
        "A = 1\n\tinclude " + (open / "extra.mk").string(),
        // A setting named as a directive.
        "include = -I" + open.string() + "\nUSERINCLUDEPATHS = $(include)",
        // vpath's folders given by a variable with its pattern.
        "P = %.h " + open.string() + "\nvpath $(P)"}) {
    SCOPED_TRACE(line);
    std::ofstream(include, std::ios::trunc) << line << "\n";
    fs::remove(folder / "grouplib.so");
    std::size_t from = run_.events.size();
    ASSERT_TRUE(Generate(folder, 0x7, true, "building", include.string())) << Failure();
    EXPECT_TRUE(SaidSince(from, "The build does not search " + open.string() +
                                    " for headers or libraries: others can make files in the "
                                    "folder " +
                                    open.string() + ", sticky as it is"))
        << Events();
    // The line says where the folder is named.
    EXPECT_TRUE(SaidAfter(from, line.find("USERINCLUDEPATHS") != std::string::npos
                                    ? "the makefile names it: take it out of USERINCLUDEPATHS"
                                    : "make itself searches it for the makefile's VPATH, vpath "
                                      "or include line: take it out of that line, or close it"))
        << Events();
    EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
    EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
    EXPECT_FALSE(fs::exists(mark)) << "their makefile was read";

    std::string mended = line;
    mended.replace(mended.find(open.string()), open.string().size(), own.string());
    std::ofstream(include, std::ios::trunc) << mended << "\n";
    from = run_.events.size();
    ASSERT_TRUE(Generate(folder, 0x7, true, "building from the user's own", include.string()))
        << Failure();
    EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
    EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// Ways for make to read a makefile nobody judged: the engine started with
// MAKEFILES naming another user's makefile and GNUMAKEFLAGS adding their
// folder to make's include search (each left out with a line: the build
// runs without their file); an environment file that sets CPATH to their
// folder after the judgement (refused with a line, an environment file
// that sets only its own variable builds); a makefile the user includes
// that others can write to, or that is a link into their folder; an
// include make would glob or an eval (each refused with its line). None
// of their code runs, and the user's own include still builds.
TEST_F(CodegenCompileBuildInputs, MakeReadsNoMakefileNobodyJudged) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path folder = base / "procs", include = base / "user.mk", open = base / "mk",
                 own = base / "ownmk", mark = base / "ran-planted", environment = base / "env.sh";
  for (const fs::path& made : {folder, open, own}) fs::create_directories(made);
  fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  const std::string planted = "X := $(shell touch '" + mark.string() + "')\n";
  ASSERT_EQ(PlantAs(other_, open / "extra.mk", planted, 0644), 0);
  ASSERT_EQ(PlantAs(other_, open / "stddef.h",
                    "#ifndef PLANTED_STDDEF\n#define PLANTED_STDDEF\n#include_next <stddef.h>\n" +
                        MarkingCode("P14", mark) + "#endif\n",
                    0644),
            0);
  std::ofstream(own / "extra.mk") << "OWN_EXTRA = 1\n";
  std::ofstream(own / "open.mk") << "OWN_EXTRA = 1\n";
  ::chmod((own / "open.mk").c_str(), 0666);
  fs::create_symlink(open / "extra.mk", own / "linked.mk");
  std::ofstream(environment) << "VANTOR_OWN=1; export VANTOR_OWN\n";
  const testsupport::ScopedEnv makefiles("MAKEFILES", (open / "extra.mk").c_str());
  const testsupport::ScopedEnv flags("GNUMAKEFLAGS", ("-I" + open.string()).c_str());
  const testsupport::ScopedEnv named("VSENVBATFILE", environment.c_str());
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;
  const auto build = [&](const std::string& included, const std::string& settings) {
    std::ofstream(include, std::ios::trunc) << included;
    std::ofstream(environment, std::ios::trunc) << settings;
    fs::remove(folder / "grouplib.so");
    fs::remove(folder / "twice.o");
    const std::size_t from = run_.events.size();
    EXPECT_TRUE(Generate(folder, 0x7, true, "building", include.string())) << Failure();
    return from;
  };

  // Make's own variables left out; extra.mk, found only through their -I,
  // is not read.
  std::size_t from = build("-include extra.mk\n", "VANTOR_OWN=1; export VANTOR_OWN\n");
  EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
  for (const std::string& left : {"MAKEFILES \"" + (open / "extra.mk").string() + "\"",
                                  "GNUMAKEFLAGS \"-I" + open.string() + "\""}) {
    EXPECT_TRUE(SaidAfter(
        from, "The build leaves out " + left + ": make would read what it names unjudged"))
        << Events();
  }
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_FALSE(fs::exists(mark)) << "make read their makefile";

  // The environment file changes a judged variable after the judgement.
  for (const std::string& setting :
       {"CPATH=" + open.string() + "; export CPATH", "export C_INCLUDE_PATH=" + open.string()}) {
    SCOPED_TRACE(setting);
    from = build("", setting + "\n");
    const std::string name = setting.find("CPATH=") == 0 ? "CPATH" : "C_INCLUDE_PATH";
    EXPECT_TRUE(SaidSince(from, "The build does not run: the environment file changes " + name +
                                    ", which was judged before it"))
        << Events();
    EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
    EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
  }

  struct Case {
    std::string line;
    std::string said;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"include " + (own / "open.mk").string(),
            "The build does not read " + (own / "open.mk").string() +
                ", which the makefile includes: its group or others can write to it"},
           {"include " + (own / "linked.mk").string(), "The build does not read " +
                                                           (own / "linked.mk").string() +
                                                           ", which the makefile includes: "},
           {"include " + base.string() + "/m*/extra.mk",
            "The build does not run the makefile's line \"include " + base.string() +
                "/m*/extra.mk\": a folder make itself searches, or a makefile it reads, is known "
                "only when make runs"},
           {"$(eval include " + (open / "extra.mk").string() + ")",
            "The build does not run the makefile's line \"$(eval include " +
                (open / "extra.mk").string() + ")\": make would read lines only it works out"}}) {
    SCOPED_TRACE(c.line);
    from = build(c.line + "\n", "");
    EXPECT_TRUE(SaidSince(from, c.said)) << Events();
    EXPECT_FALSE(SaidAfter(from, "command succeeded")) << Events();
    EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
  }
  EXPECT_FALSE(fs::exists(mark)) << "their makefile was read";
  from =
      build("include " + (own / "extra.mk").string() + "\n", "VANTOR_OWN=1; export VANTOR_OWN\n");
  EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_FALSE(fs::exists(mark)) << "their code ran";
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The engine started with the compiler's own search lists naming folders
// another user can make names in, beside folders of the user's own:
// CPATH and C_INCLUDE_PATH with their stddef.h, LIBRARY_PATH with their
// libm.so (a linker script that links their object in). The build leaves
// each of their entries out with a line saying why and builds; the user's
// own entries are still searched (their own header and libm.so, which
// leave marks of their own, are built in).
TEST_F(CodegenCompileBuildInputs, TheCompilersSearchListsLeaveOutFoldersOthersCanMakeNamesIn) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path folder = base / "procs", cpath = base / "cpath", cinclude = base / "cinclude",
                 libpath = base / "libpath", own_incl = base / "ownincl", own_lib = base / "ownlib",
                 mark = base / "ran-planted", own_mark = base / "ran-own";
  for (const fs::path& made : {folder, cpath, cinclude, libpath, own_incl, own_lib})
    fs::create_directories(made);
  for (const fs::path& open : {cpath, cinclude, libpath})
    fs::permissions(open, fs::perms::all | fs::perms::sticky_bit);
  const auto header = [](const std::string& guard, const std::string& code) {
    return "#ifndef " + guard + "\n#define " + guard + "\n#include_next <stddef.h>\n" + code +
           "#endif\n";
  };
  ASSERT_EQ(
      PlantAs(other_, cpath / "stddef.h", header("CPATH_STDDEF", MarkingCode("P9", mark)), 0644),
      0);
  ASSERT_EQ(PlantAs(other_, cinclude / "stddef.h",
                    header("CINCLUDE_STDDEF", MarkingCode("P10", mark)), 0644),
            0);
  const std::string object = Compiled(work_.path(), MarkingCode("P11", mark), "-c -fPIC");
  ASSERT_FALSE(object.empty());
  ASSERT_EQ(PlantAs(other_, libpath / "m.o", object, 0644), 0);
  ASSERT_EQ(
      PlantAs(other_, libpath / "libm.so", "INPUT ( " + (libpath / "m.o").string() + " )\n", 0644),
      0);
  std::ofstream(own_incl / "stddef.h") << header("OWN_STDDEF", MarkingCode("P12", own_mark));
  std::ofstream(own_lib / "m.o") << Compiled(work_.path(), MarkingCode("P13", own_mark),
                                             "-c -fPIC");
  std::ofstream(own_lib / "libm.so") << "INPUT ( " << (own_lib / "m.o").string() << " )\n";

  const testsupport::ScopedEnv c_path("CPATH", (cpath.string() + ":" + own_incl.string()).c_str());
  const testsupport::ScopedEnv c_include("C_INCLUDE_PATH", cinclude.c_str());
  const testsupport::ScopedEnv library_path("LIBRARY_PATH",
                                            (libpath.string() + ":" + own_lib.string()).c_str());
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;
  const std::size_t from = run_.events.size();
  ASSERT_TRUE(Generate(folder, 0x7, true, "building")) << Failure();
  for (const auto& [list, open] : {std::pair{"CPATH", cpath}, std::pair{"C_INCLUDE_PATH", cinclude},
                                   std::pair{"LIBRARY_PATH", libpath}}) {
    EXPECT_TRUE(SaidSince(from, std::string("The build leaves out ") + list + " entry \"" +
                                    open.string() + "\": others can make files in the folder " +
                                    open.string() + ", sticky as it is"))
        << Events();
  }
  EXPECT_TRUE(SaidSince(from, "make -f MakeUserCode command succeeded")) << Events();
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_FALSE(fs::exists(mark)) << "their code was built in and ran";
  EXPECT_TRUE(fs::exists(own_mark)) << "the user's own entries were not searched";
  EXPECT_TRUE(EndEngine()) << Failure();
}

// An environment file of the user's own that leaves PATH with no entry
// from the root (relative, empty, or none): the build runs the system's
// tools, saying so, and never the gcc and cc in its folder, which make
// would run with no PATH at all.
TEST_F(CodegenCompileBuildInputs, ABuildLeftNoPathRunsTheSystemsTools) {
  const fs::path base = SharedBase();
  if (base.empty()) GTEST_SKIP() << shared_->why_not;
  const fs::path folder = base / "procs", environment = base / "env.sh";
  fs::create_directories(folder);
  std::ofstream(environment) << "PATH=.\n";
  const testsupport::ScopedEnv named("VSENVBATFILE", environment.c_str());
  ASSERT_TRUE(Start()) << Failure();
  const std::string source = WorkingSource(folder);
  ASSERT_FALSE(source.empty()) << Failure() << Events();
  std::ofstream(folder / "twice.c", std::ios::trunc) << source;
  const fs::path mark = base / "ran-tool";
  for (const char* tool : {"gcc", "cc", "g++", "echo"}) {
    std::ofstream(folder / tool) << "#!/bin/sh\ntouch '" << mark.string() << "'\nexit 1\n";
    ::chmod((folder / tool).c_str(), 0755);
  }
  for (const char* setting : {"PATH=.", "PATH=", "PATH=bin:.:", "unset PATH"}) {
    SCOPED_TRACE(setting);
    std::ofstream(environment, std::ios::trunc) << setting << "\n";
    fs::remove(folder / "grouplib.so");
    fs::remove(folder / "twice.o");
    const std::size_t before = run_.events.size();
    ASSERT_TRUE(Generate(folder, 0x7, true, "building")) << Failure();
    EXPECT_TRUE(SaidSince(before, "make -f MakeUserCode command succeeded")) << Events();
    EXPECT_TRUE(SaidAfter(before, "The build has no PATH entry from the root: it runs with PATH=" +
                                      codegen::SystemPath()))
        << Events();
    EXPECT_FALSE(fs::exists(mark)) << "a tool in the build folder ran";
    EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A build folder of root's group, made under umask 002: a process holding
// group 0, which the group file does not list, swaps its own makefile in
// and out under the engine's while the engine builds again and again.
// make reads the makefile checked, never theirs.
TEST_F(CodegenCompileBuildInputs, AMakefileSwappedAfterTheCheckIsNeverRead) {
  testsupport::SecondUser member;
  testsupport::ReachableFolder shared(member);
  if (shared.path().empty()) GTEST_SKIP() << shared.why_not;
  member.gid = 0;
  const fs::path folder = shared / "procs", makefile = folder / "MakeUserCode",
                 theirs = folder / "theirs.mk", aside = folder / "aside.mk",
                 ran = shared / "ran-make", stop = shared / "stop";
  fs::create_directories(folder);
  ::chmod(folder.c_str(), 0775);
  ASSERT_TRUE(Start() && Generate(folder, 0x7, false, "writing the files")) << Failure();
  const std::string text = "$(shell touch " + ran.string() + ")\nall:\n\t@true\n";
  ASSERT_EQ(member.Run([&] {
    std::ofstream out(theirs);
    out << text;
    return out.good() ? 0 : 1;
  }),
            0);
  std::thread swapper([&] {
    member.Run([&] {
      const auto until =
          std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::minutes(2));
      while (::access(stop.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < until) {
        ::rename(makefile.c_str(), aside.c_str());
        ::rename(theirs.c_str(), makefile.c_str());
        ::rename(makefile.c_str(), theirs.c_str());
        ::rename(aside.c_str(), makefile.c_str());
      }
      return 0;
    });
  });
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(90));
  for (int i = 0; i < 30 && !fs::exists(ran) && std::chrono::steady_clock::now() < until; ++i) {
    Generate(folder, 0x6, true, "building while the makefile is swapped");
  }
  std::ofstream(stop).close();
  swapper.join();
  EXPECT_FALSE(fs::exists(ran)) << "make read their makefile";
  ASSERT_TRUE(Generate(folder, 0x6, true, "building after")) << Failure() << Events();
  EXPECT_TRUE(fs::exists(folder / "grouplib.so")) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace build_inputs_road
