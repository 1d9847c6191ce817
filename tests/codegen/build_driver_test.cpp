// The build driver: script text, the command hint, the summary line, and
// real make runs through the build script.
#include "codegen/build/build_driver.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codegen/output_folder.h"
#include "codegen_helpers.h"
#include "framework/libraries/library_loader.h"
#include "tests/support/temp_dir.h"

using namespace codegen_test;
namespace fs = std::filesystem;

namespace {

// Runs a script with /bin/sh: its exit status, and what it printed.
int RunShell(const std::string& script, std::string* printed) {
  FILE* pipe = ::popen(("/bin/sh -c " + codegen::ShellWord(script)).c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(BuildDriver, ScriptTextPerEnvironment) {
  const std::string path =
      "PATH=$(set -f; IFS=:; kept=; for entry in $PATH; do case $entry in /*) "
      "kept=$kept${kept:+:}$entry;; esac; done; printf %s \"$kept\"); "
      "[ -n \"$PATH\" ] || { PATH='/usr/bin:/bin'; echo \"The build has no PATH entry from the "
      "root: it runs with PATH=/usr/bin:/bin\"; }; export PATH\n";
  EXPECT_EQ(codegen::BuildScriptText("/opt/env.sh", "/b f", "/usr/bin/make", "MakeLib build", 022,
                                     "/usr/bin:/bin"),
            ". \"/opt/env.sh\"\n"
            "cd \"/b f\" || exit 1\n"
            "umask 0022\n" +
                path +
                "unset MAKEFLAGS MFLAGS MAKELEVEL MAKEFILES GNUMAKEFLAGS\n"
                "exec '/usr/bin/make' -f MakeLib build 2>&1\n");
  // A folder the shell would expand inside double quotes.
  EXPECT_EQ(codegen::BuildScriptText(nullptr, "/b/$(rm x)/it's", "/opt/my make", "MakeL", 077,
                                     "/usr/bin:/bin"),
            "cd '/b/$(rm x)/it'\\''s' || exit 1\n"
            "umask 0077\n" +
                path +
                "unset MAKEFLAGS MFLAGS MAKELEVEL MAKEFILES GNUMAKEFLAGS\n"
                "exec '/opt/my make' -f MakeL 2>&1\n");
  EXPECT_EQ(
      codegen::BuildScriptText(nullptr, nullptr, "/bin/make", "MakeUserCode", 027, "/usr/bin:/bin"),
      "umask 0027\n" + path +
          "unset MAKEFLAGS MFLAGS MAKELEVEL MAKEFILES GNUMAKEFLAGS\nexec '/bin/make' -f "
          "MakeUserCode 2>&1\n");
}

// The script's PATH, run by the shell: only the entries from the root,
// whatever empty, relative or glob-like entries come with it; with none
// left (an empty or missing PATH is the current folder to the shell and
// make), the system's folders with a line, or with none of those a line
// and the end of the script.
TEST(BuildDriver, ScriptPathKeepsOnlyEntriesFromTheRoot) {
  const std::string told = "The build has no PATH entry from the root: it runs with PATH=";
  const std::string none =
      "The build has no PATH entry from the root, and no system folder for tools (/usr/local/bin, "
      "/usr/bin, /bin) is usable\n";
  struct Case {
    const char* path;
    const char* system;
    std::string printed;
    int status;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"':bin:/usr/bin::./x:/a*b:.:/c d:'", "/bin", "[/usr/bin:/a*b:/c d]", 0},
           {"':.:bin'", "/usr/bin:/bin", told + "/usr/bin:/bin\n[/usr/bin:/bin]", 0},
           {"''", "/x y", told + "/x y\n[/x y]", 0},
           {"''", "", none, 1},
           {"'./bin'", "", none, 1}}) {
    const std::string text =
        codegen::BuildScriptText(nullptr, nullptr, "/bin/echo", "x", 022, c.system);
    const std::size_t from = text.find("PATH=");
    const std::string line = text.substr(from, text.find('\n', from) + 1 - from);
    // What a program the script starts sees.
    const std::string script =
        "PATH=" + std::string(c.path) + "; " + line + "/bin/sh -c 'printf [%s] \"${PATH-unset}\"'";
    std::string printed;
    const int status = RunShell(script, &printed);
    EXPECT_EQ(status, c.status) << c.path;
    EXPECT_EQ(printed, c.printed) << c.path;
  }
  // What the build gets: the system's folders the PATH rule keeps.
  const std::string system = codegen::SystemPath();
  EXPECT_NE(system.find("/bin"), std::string::npos) << system;
}

// A variable judged before the environment file, run by the shell: the
// file that sets, changes or unsets one ends the script with a line naming
// it; one that leaves them as judged (or sets others) lets make run.
TEST(BuildDriver, TheEnvironmentFileChangesNothingJudged) {
  const testsupport::TempDir work;
  const std::string file = (fs::path(work.path()) / "env.sh").string();
  const std::vector<std::string> judged = {"CPATH", "VPATH=/a", "QUOTED=it's a b"};
  struct Case {
    const char* settings;
    const char* changed;  // empty: make runs
  };
  for (const Case& c : std::initializer_list<Case>{{"", ""},
                                                   {"OTHER=/x; export OTHER", ""},
                                                   {"VPATH=/a; QUOTED=\"it's a b\"", ""},
                                                   {"export CPATH=/x", "CPATH"},
                                                   {"CPATH=", "CPATH"},
                                                   {"VPATH=/b", "VPATH"},
                                                   {"unset VPATH", "VPATH"},
                                                   {"QUOTED=\"it's a\"", "QUOTED"}}) {
    SCOPED_TRACE(c.settings);
    std::ofstream(file, std::ios::trunc) << c.settings << "\n";
    const std::string script = "VPATH=/a QUOTED=\"it's a b\"; export VPATH QUOTED; unset CPATH\n" +
                               codegen::BuildScriptText(file.c_str(), nullptr, "/bin/echo", "ran",
                                                        022, "/usr/bin:/bin", judged);
    std::string printed;
    const int status = RunShell(script, &printed);
    if (*c.changed == '\0') {
      EXPECT_EQ(status, 0);
      EXPECT_EQ(printed, "-f ran\n");
    } else {
      EXPECT_EQ(status, 1);
      EXPECT_EQ(printed, "The build does not run: the environment file changes " +
                             std::string(c.changed) +
                             ", which was judged before it (set it before the engine starts)\n");
    }
  }
}

// The build's mask keeps the engine's own bits and always closes group's
// and others' writes.
TEST(BuildDriver, BuildsNeverLetOthersWrite) {
  for (const mode_t mask : {000, 002, 007, 077}) {
    const mode_t old = ::umask(mask);
    const std::uint32_t build = codegen::BuildUmask();
    ::umask(old);
    EXPECT_EQ(build, static_cast<std::uint32_t>(mask) | 022u) << std::oct << mask;
  }
}

TEST(BuildDriver, NamesAreOneWordOfTheScript) {
  EXPECT_EQ(codegen::ShellWord("MakeLib"), "MakeLib");
  EXPECT_EQ(codegen::ShellWord("Makex$(id)"), "'Makex$(id)'");
  EXPECT_EQ(codegen::ShellWord("Make`id`'s"), "'Make`id`'\\''s'");
  EXPECT_EQ(codegen::ShellWord("a\nb"), "'a\nb'");
}

TEST(BuildDriver, RunFlagOffGivesTheCommandHint) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  Reports reports;
  EXPECT_EQ(RunNmakeBuild(reports.Callback(), nullptr, "/tmp/x", "Lib", false, false, "clean",
                          false, true),
            0u);
  EXPECT_EQ(reports.texts, (std::vector<std::string>{
                               "To build DLL 'Lib', execute the command 'make -f MakeLib clean' "
                               "in directory /tmp/x\n"}));
  Reports plain;
  EXPECT_EQ(RunNmakeBuild(plain.Callback(), nullptr, nullptr, nullptr, false, false, nullptr, false,
                          false),
            0u);
  EXPECT_EQ(
      plain.texts,
      (std::vector<std::string>{"To build DLL '', execute the command 'make -f MakeUserCode'\n"}));
  Reports quiet;
  EXPECT_EQ(
      RunNmakeBuild(quiet.Callback(), nullptr, nullptr, "L", false, false, nullptr, true, false),
      0u);
  EXPECT_TRUE(quiet.texts.empty());
}

TEST(BuildDriver, MissingCompilerStopsBeforeAnyScript) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  ScopedVariable compiler("FC", "/no/such/gfortran");
  const fs::path folder = FreshFolder("nofc");
  codegen::ResetErrorCount();
  Reports reports;
  EXPECT_EQ(RunNmakeBuild(reports.Callback(), nullptr, folder.c_str(), "L", true, false, nullptr,
                          false, true),
            codegen::kFailureReport);
  ASSERT_EQ(reports.texts.size(), 2u);
  EXPECT_EQ(reports.texts[0], "No suitable FORTRAN compiler was found - compilation aborted\n");
  EXPECT_EQ(reports.statuses[0], codegen::kFailureReport);
  EXPECT_EQ(codegen::ErrorCount(), 1);
  EXPECT_TRUE(fs::is_empty(folder));
  fs::remove_all(folder);
}

std::string Summary(std::int32_t errors, std::int32_t warnings, std::int32_t libraries) {
  codegen::ResetErrorCount();
  codegen::ResetWarningCount();
  for (int i = 0; i < errors; ++i) codegen::Failure(nullptr, "e", nullptr);
  for (int i = 0; i < warnings; ++i) codegen::Warning(nullptr, "w", nullptr);
  Reports reports;
  SummariseBuildOutput(reports.Callback(), "generating files", libraries);
  codegen::ResetErrorCount();
  codegen::ResetWarningCount();
  return reports.texts.empty() ? "<none>" : reports.texts[0];
}

// A built library loses group's and others' write bits; one not built
// passes quietly; a link in its place is reported and left alone.
TEST(BuildDriver, BuiltLibrariesAreClosedToOthersWrites) {
  const fs::path folder = FreshFolder("close_built");
  std::ofstream(folder / "built.so") << "bytes";
  fs::permissions(folder / "built.so", fs::perms::all);
  Reports reports;
  EXPECT_EQ(codegen::CloseBuiltLibrary(reports.Callback(), (folder / "built.so").string()), 0u);
  EXPECT_EQ(fs::status(folder / "built.so").permissions(),
            fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
  EXPECT_EQ(codegen::CloseBuiltLibrary(reports.Callback(), (folder / "missing.so").string()), 0u);
  EXPECT_TRUE(reports.texts.empty());

  std::ofstream(folder / "elsewhere") << "bytes";
  fs::permissions(folder / "elsewhere", fs::perms::all);
  fs::create_symlink(folder / "elsewhere", folder / "linked.so");
  EXPECT_EQ(codegen::CloseBuiltLibrary(reports.Callback(), (folder / "linked.so").string()),
            codegen::kFailed);
  ASSERT_EQ(reports.texts.size(), 1u);
  EXPECT_NE(reports.texts[0].find("linked.so that was built cannot be closed"), std::string::npos)
      << reports.texts[0];
  EXPECT_EQ(fs::status(folder / "elsewhere").permissions(), fs::perms::all);
  fs::remove_all(folder);
}

TEST(BuildDriver, SummaryLines) {
  EXPECT_EQ(Summary(2, 0, 0),
            "2 errors , 0 warnings generating files. See above for more details.\n");
  EXPECT_EQ(Summary(1, 1, 3),
            "1 error , 1 warning generating files and 3 DLLs referenced. See above for more "
            "details.\n");
  EXPECT_EQ(Summary(0, 1, 0), "1 warning generating files. See above for more details.\n");
  EXPECT_EQ(Summary(0, 2, 1),
            "2 warnings generating files and 1 DLL referenced. See above for more details.\n");
  EXPECT_EQ(Summary(0, 0, 1),
            "1 DLL referenced by generating files. See above for more details.\n");
  EXPECT_EQ(Summary(0, 0, 2),
            "2 DLLs referenced by generating files. See above for more details.\n");
  EXPECT_EQ(Summary(0, 0, 0), "<none>");
}

// A failing and a succeeding make run, the second building a library with
// the installation's stub that the engine then loads.
TEST(CodegenCompile, BuildDriverRunsMakeThroughTheScript) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  const fs::path folder = FreshFolder("driver");
  std::ofstream(folder / "domake_0.sh") << "kept\n";
  std::ofstream(folder / "domake_1.sh") << "kept\n";
  EXPECT_EQ(codegen::NextScriptNumber(folder.string()), 2);
  std::ofstream(folder / "MakeBad") << "fail:\n\t@echo first line\n\t@echo second line\n"
                                       "\t@exit 3\n";
  codegen::ResetErrorCount();
  Reports bad;
  EXPECT_EQ(RunNmakeBuild(bad.Callback(), nullptr, folder.c_str(), "Bad", true, true, "fail", false,
                          false),
            codegen::kFailed);
  ASSERT_GE(bad.texts.size(), 3u);
  EXPECT_EQ(bad.texts[0], "first line\n");
  EXPECT_EQ(bad.texts[1], "second line\n");
  EXPECT_EQ(bad.texts.back().rfind("make -f MakeBad fail command failed (return code 2)\n"
                                   "make ran with errors.\n",
                                   0),
            0u)
      << bad.texts.back();
  EXPECT_EQ(bad.statuses.back(), codegen::kFailureReport);
  EXPECT_EQ(codegen::ErrorCount(), 1);
  // The makefile stays after a failure; earlier scripts stay, ours goes.
  EXPECT_TRUE(fs::exists(folder / "MakeBad"));
  EXPECT_TRUE(fs::exists(folder / "domake_0.sh"));
  EXPECT_TRUE(fs::exists(folder / "domake_1.sh"));
  EXPECT_FALSE(fs::exists(folder / "domake_2.sh"));

  std::ofstream(folder / "answer.c")
      << "#include \"bvdll.h\"\n"
         "static int helper(int x) { return 2 * x; }\n"
         "DLL_C_AS_C(int) ANSWER(int x) { return helper(x) + 40; }\n";
  std::ofstream(folder / "MakeGood")
      << "BVUTCFORPATH = " << kInstall << "\n"
      << "include $(BVUTCFORPATH)/makestub.int\n"
         "build: good$(DLL)\n"
         "good$(DLL): answer$(OBJ)\n"
         "\t$(C_LINK) $(C_OPTL) $(ALT_EXECUTABLE)\"good$(DLL)\" answer$(OBJ)\n"
         "answer$(OBJ): answer.c\n"
         "\t$(C) $(C_OPTC) $(CDEBUG) $(INCLUDEPATHS) \"answer.c\" $(C_ALTOBJECT)answer$(OBJ)\n";
  Reports good;
  EXPECT_EQ(RunNmakeBuild(good.Callback(), nullptr, folder.c_str(), "Good", true, true, nullptr,
                          false, false),
            0u);
  ASSERT_FALSE(good.texts.empty());
  EXPECT_EQ(good.texts.back(), "make -f MakeGood command succeeded\n");
  EXPECT_FALSE(fs::exists(folder / "MakeGood"));
  EXPECT_FALSE(fs::exists(folder / "domake_2.sh"));

  CloseToOthers(folder / "good.so");
  XosDynamicLibrary* library = XosDynamicLibrary::Load((folder / "good.so").c_str(), nullptr);
  ASSERT_NE(library, nullptr) << XosDynamicLibrary::LastErrorText();
  auto answer = reinterpret_cast<int (*)(int)>(library->LookUpSymbol("ANSWER", nullptr));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(1), 42);
  // The stub hides what the macros do not export.
  EXPECT_EQ(library->LookUpSymbol("helper", nullptr), nullptr);
  library->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

// A build for a request runs only in the folder the request wrote its
// files in: its path led elsewhere by then (moved aside, another put in
// its place), nothing runs; the folder now there, once written in, builds.
TEST(CodegenCompile, BuildDriverRunsOnlyWhereTheFilesWereWritten) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  const fs::path base = FreshFolder("written"), folder = base / "procs";
  fs::create_directories(folder);
  const std::string makefile = "build:\n\t@touch ran\n";
  std::ofstream(folder / "MakeOk") << makefile;
  {
    const codegen::OutputFolder held(folder.string());
    ASSERT_TRUE(held.opened());
    fs::rename(folder, base / "aside");
    fs::create_directories(folder);
    std::ofstream(folder / "MakeOk") << makefile;
    Reports moved;
    EXPECT_EQ(RunNmakeBuild(moved.Callback(), nullptr, folder.c_str(), "Ok", true, false, nullptr,
                            false, false),
              codegen::kFailed);
    ASSERT_FALSE(moved.texts.empty());
    EXPECT_EQ(moved.texts.back(), "The build does not run in " + folder.string() +
                                      ": it no longer leads to the folder the files were "
                                      "written in\n");
    EXPECT_FALSE(fs::exists(folder / "ran"));
    EXPECT_FALSE(fs::exists(base / "aside" / "ran"));
  }
  const codegen::OutputFolder held(folder.string());
  Reports built;
  EXPECT_EQ(RunNmakeBuild(built.Callback(), nullptr, folder.c_str(), "Ok", true, false, nullptr,
                          false, false),
            0u);
  EXPECT_TRUE(fs::exists(folder / "ran"));
  if (!HasFailure()) fs::remove_all(base);
}

// A library name the shell would expand reaches make as the makefile's
// name, and nothing in it runs.
TEST(CodegenCompile, BuildDriverNeverLetsTheShellReadTheName) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  const fs::path folder = FreshFolder("shellname");
  const std::string library = "x$(touch ran1)`touch ran2`";
  std::ofstream(folder / ("Make" + library)) << "show:\n\t@echo made\n";
  Reports reports;
  EXPECT_EQ(RunNmakeBuild(reports.Callback(), nullptr, folder.c_str(), library.c_str(), true, false,
                          "show", false, false),
            0u);
  ASSERT_FALSE(reports.texts.empty());
  EXPECT_EQ(reports.texts.front(), "made\n");
  EXPECT_FALSE(fs::exists(folder / "ran1"));
  EXPECT_FALSE(fs::exists(folder / "ran2"));
  EXPECT_FALSE(fs::exists(folder / "domake_0.sh"));
  if (!HasFailure()) fs::remove_all(folder);
}

// An engine whose PATH keeps no entry (relative or empty ones only): the
// build runs the system's make and tools, saying so, never those in its
// folder; an environment file that leaves PATH so is mended the same way.
TEST(CodegenCompile, BuildDriverLeftNoPathRunsTheSystemsTools) {
  const fs::path folder = FreshFolder("nopath");
  ::chmod(folder.c_str(), 0755);
  std::ofstream(folder / "MakeNone") << "show:\n\t@echo [$$PATH]\n\techo planted-too\n";
  std::ofstream(folder / "echo") << "#!/bin/sh\ntouch ran-echo\n";
  ::chmod((folder / "echo").c_str(), 0755);
  std::ofstream(folder / "env.sh") << "PATH=.:bin\n";
  ::chmod((folder / "env.sh").c_str(), 0644);
  const std::string told =
      "The build has no PATH entry from the root: it runs with PATH=" + codegen::SystemPath() +
      "\n";
  const std::string seen = std::string("[").append(codegen::SystemPath()).append("]\n");
  for (const char* environment : {static_cast<const char*>(nullptr), "env.sh"}) {
    for (const char* path : {".", ":bin:", ""}) {
      SCOPED_TRACE(std::string(path) + (environment != nullptr ? " env.sh" : ""));
      ScopedVariable sourced("VSENVBATFILE", environment);
      ScopedVariable search("PATH", path);
      Reports reports;
      EXPECT_EQ(RunNmakeBuild(reports.Callback(), nullptr, folder.c_str(), "None", true, false,
                              "show", false, false),
                0u);
      EXPECT_NE(std::find(reports.texts.begin(), reports.texts.end(), told), reports.texts.end());
      EXPECT_NE(std::find(reports.texts.begin(), reports.texts.end(), seen), reports.texts.end());
      EXPECT_FALSE(fs::exists(folder / "ran-echo"));
    }
  }
  if (!HasFailure()) fs::remove_all(folder);
}

// The environment file is sourced before make, in a folder the shell would
// expand inside double quotes.
TEST(CodegenCompile, BuildDriverSourcesTheEnvironmentFile) {
  const fs::path folder = FreshFolder("env $HOME");
  std::ofstream(folder / "env.sh") << "VANTOR_FROM_ENV=sourced; export VANTOR_FROM_ENV\n";
  ScopedVariable environment("VSENVBATFILE", (folder / "env.sh").c_str());
  std::ofstream(folder / "MakeEnv") << "show:\n\t@echo $$VANTOR_FROM_ENV in $$(pwd)\n";
  Reports reports;
  EXPECT_EQ(RunNmakeBuild(reports.Callback(), nullptr, folder.c_str(), "Env", true, true, "show",
                          false, true),
            0u);
  ASSERT_EQ(reports.texts.size(), 2u);
  EXPECT_EQ(reports.texts[0], "sourced in " + fs::canonical(folder).string() + "\n");
  EXPECT_FALSE(fs::exists(folder / "MakeEnv"));
  // Without the flag a successful build keeps its makefile.
  std::ofstream(folder / "MakeEnv") << "show:\n\t@echo again\n";
  Reports kept;
  EXPECT_EQ(RunNmakeBuild(kept.Callback(), nullptr, folder.c_str(), "Env", true, false, "show",
                          false, true),
            0u);
  EXPECT_EQ(kept.texts.back(), "make -f MakeEnv show command succeeded\n");
  EXPECT_TRUE(fs::exists(folder / "MakeEnv"));
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
