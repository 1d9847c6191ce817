// Folders shared through POSIX ACLs (setfacl), the usual way to let one
// colleague in: write an ACL grants another user counts as others' write
// for the build folder and the build's PATH, whether the ACL is the
// folder's own or one its default ACL would hand down to what the build
// makes there. A folder whose ACL grants only read builds as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/codegen/compiled_road_fixture.h"
#include "tests/codegen/proc_files_road.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/set_acl.h"

namespace acl_build_folder_road {

namespace fs = std::filesystem;
using codegen_test::CallTwice;

class CodegenCompileAclFolder : public codegen_test::CompiledRoad {
 protected:
  void SetUp() override {
    if (!other_.Available()) GTEST_SKIP() << other_.why_not;
    if (base_.path().empty()) GTEST_SKIP() << base_.why_not;
    CompiledRoad::SetUp();
    codegen_test::DefineTwice(&twice_);
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    ASSERT_TRUE(StartEngine(engine, "Procs")) << Failure();
  }

  // A fresh folder of the engine's user's, mode 0700, with the template's
  // files, its source made to answer twice x; then the ACL options given
  // to setfacl, in order. False (*skip set) when the ACL cannot be set.
  bool MakeFolder(const fs::path& folder, const std::vector<std::string>& acl, bool* skip) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
    if (!Generate(folder, false, "writing the template")) return false;
    std::string text = codegen_test::ReadText(folder / "twice.c");
    codegen_test::Edit(&text, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */",
                       "*pIfail = IFAIL_OK;");
    codegen_test::Edit(&text, "      *py = 0.0;", "      *py = 2 * x;");
    std::ofstream(folder / "twice.c", std::ios::trunc) << text;
    for (const std::string& options : acl) {
      bool unsupported = false;
      if (const std::string failed = testsupport::SetAcl(options, folder, &unsupported);
          !failed.empty()) {
        *skip = unsupported;
        if (!unsupported) ADD_FAILURE() << failed;
        skip_why_ = failed;
        return false;
      }
    }
    return true;
  }
  // Sub-kind 0 with options 0x7: writes the files, and builds when asked.
  bool Generate(const fs::path& folder, bool build, const char* what) {
    return road_->Expect(codegen_test::GenerateProcFiles(folder, {&twice_}, build), what, 0);
  }
  // Builds in the folder and waits for the line that ends the build.
  bool Build(const fs::path& folder, const char* what) {
    from_ = run_.events.size();
    if (!Generate(folder, true, what)) return false;
    client_->WaitFor([&] {
      road_->Collect();
      return Said("command succeeded") || Said("command failed") || Said("The build does not");
    });
    return true;
  }
  // Whether the lines of the last build said the text; a line the engine
  // wrapped is taken whole again.
  bool Said(const std::string& text) const {
    std::string all;
    for (std::size_t i = from_; i < run_.events.size(); ++i) all += run_.events[i];
    return all.find(text) != std::string::npos;
  }
  // Whether the second user can open the file for writing.
  bool OtherCanWrite(const fs::path& file) const {
    const std::string name = file.string();
    return other_.Run([&] {
      const int fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      return fd >= 0 ? 0 : 1;
    }) == 0;
  }
  // A file of the second user's with the text, mode 0755.
  bool PlantAs(const fs::path& file, const std::string& text) const {
    const std::string name = file.string();
    return other_.Run([&] {
      std::ofstream out(name);
      out << text;
      out.close();
      return out.good() && ::chmod(name.c_str(), 0755) == 0 ? 0 : 1;
    }) == 0;
  }
  std::string Uid() const { return std::to_string(other_.uid); }
  std::string Gid() const { return std::to_string(other_.gid); }

  const testsupport::SecondUser other_;
  const testsupport::ReachableFolder base_{other_};
  SUProcDef twice_;
  testsupport::ScopedEnv environment_{"VSENVBATFILE", nullptr};
  std::string skip_why_;
  std::size_t from_ = 0;
};

// Each layout: the ACL set on a private procedure folder, and whether the
// second user then gets to write there. They put a bvdll.h of theirs
// beside the source, whose code would run when the library is loaded: the
// build is refused with the line that names who can write and the chmod
// that mends it, and nothing of theirs runs. Where the ACL grants only
// read, or its mask takes the write away, the user's library builds and
// answers.
TEST_F(CodegenCompileAclFolder, AFolderAnAclLetsAnotherUserWriteToIsNeverBuiltIn) {
  struct Layout {
    const char* name;
    std::vector<std::string> acl;
    std::string writer;  // who the line names, empty when the build runs
  };
  const std::string user = "user nobody (by an ACL entry) can write to the folder ";
  const std::vector<Layout> layouts = {
      {"named user", {"-m u:" + Uid() + ":rwx"}, user},
      {"named group", {"-m g:" + Gid() + ":rwx"}, "(by an ACL entry) can write to the folder "},
      {"named user, sticky", {"-m u:" + Uid() + ":rwx"}, "others can make files in the folder "},
      {"named user, mask without write", {"-m u:" + Uid() + ":rwx", "-m m::r-x"}, ""},
      {"named user, read only", {"-m u:" + Uid() + ":r-x"}, ""},
      {"no ACL", {}, ""}};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const fs::path folder = fs::canonical(base_.path()) / ("procs" + std::to_string(++n));
    bool skip = false;
    if (!MakeFolder(folder, layout.acl, &skip)) {
      if (skip) GTEST_SKIP() << skip_why_;
      return;
    }
    if (std::string(layout.name).find("sticky") != std::string::npos) {
      fs::permissions(folder, fs::perms::sticky_bit, fs::perm_options::add);
    }
    const fs::path mark = base_ / ("ran-" + std::to_string(n));
    const std::string header =
        codegen_test::ReadText(prefix_ / "procedures" / "bvdll.h") +
        "\n#include <stdio.h>\n__attribute__((constructor)) static void Planted(void) {\n"
        "  FILE* f = fopen(\"" +
        mark.string() + "\", \"w\");\n  if (f) fclose(f);\n}\n";
    const bool planted = PlantAs(folder / "bvdll.h", header);
    EXPECT_EQ(planted, !layout.writer.empty()) << "the second user's write";
    ASSERT_TRUE(Build(folder, "building")) << Failure() << "\n" << Events();
    if (layout.writer.empty()) {
      EXPECT_TRUE(Said("make -f MakeUserCode command succeeded")) << Events();
      EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
    } else {
      // Its inputs there are refused first, or the folder itself.
      EXPECT_TRUE(Said("The build does not ")) << Events();
      EXPECT_TRUE(Said(layout.writer + folder.string())) << Events();
      if (layout.writer != "others can make files in the folder ") {
        EXPECT_TRUE(
            Said("and it is not sticky (chmod g-w " + folder.string() + " makes it usable)"))
            << Events();
      }
      EXPECT_FALSE(Said("command succeeded")) << Events();
      CallTwice(folder / "grouplib.so");
    }
    EXPECT_FALSE(fs::exists(mark)) << "the second user's header was built in and ran";
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// A private procedure folder the second user may only read, whose default
// ACL would give them write to what is made in it (the compiler's objects
// and the library among them, whatever the umask): the build is refused
// with the line that says how to mend it, and no library of theirs to
// rewrite is left. A default ACL that grants only read, or whose mask
// takes the write away, builds; nothing built there can they write to.
// Mended as the line says, the refused folder builds too.
TEST_F(CodegenCompileAclFolder, ADefaultAclThatGivesOthersTheOutputsIsRefused) {
  struct Layout {
    const char* name;
    std::string acl;
    std::string writer;  // who the line names, empty when the build runs
  };
  const std::vector<Layout> layouts = {
      {"named user", "-d -m u:" + Uid() + ":rwx", "user nobody (by an ACL entry)"},
      {"named group", "-d -m g:" + Gid() + ":rwx", "(by an ACL entry) write to what is made"},
      {"others", "-d -m o::rwx", "lets others write"},
      {"named user, mask without write", "-d -m u:" + Uid() + ":rwx,m::r-x", ""},
      {"named user, read only", "-d -m u:" + Uid() + ":r-x", ""}};
  int n = 0;
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const fs::path folder = fs::canonical(base_.path()) / ("private" + std::to_string(++n));
    bool skip = false;
    if (!MakeFolder(folder, {"-m u:" + Uid() + ":r-x", layout.acl}, &skip)) {
      if (skip) GTEST_SKIP() << skip_why_;
      return;
    }
    ASSERT_TRUE(Build(folder, "building")) << Failure() << "\n" << Events();
    if (layout.writer.empty()) {
      EXPECT_TRUE(Said("make -f MakeUserCode command succeeded")) << Events();
      EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
    } else {
      EXPECT_TRUE(Said("The build does not run in " + folder.string() + ": its default ACL lets "))
          << Events();
      EXPECT_TRUE(Said(layout.writer)) << Events();
      EXPECT_TRUE(Said("(setfacl -k " + folder.string() + " makes it usable)")) << Events();
      EXPECT_FALSE(fs::exists(folder / "grouplib.so"));
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      EXPECT_FALSE(OtherCanWrite(entry.path())) << entry.path() << " can be written by them";
    }
    if (!layout.writer.empty()) {
      bool unsupported = false;
      ASSERT_EQ(testsupport::SetAcl("-k", folder, &unsupported), "");
      ASSERT_TRUE(Build(folder, "building the mended folder")) << Failure();
      EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
    }
  }
  EXPECT_TRUE(EndEngine()) << Failure();
}

// The engine started with a PATH whose first entry is a folder of the
// engine's user's shared with the second user by an ACL, where they put
// a make of theirs: the build leaves the entry out with a line saying
// why, builds with the system's make, and theirs never runs.
TEST_F(CodegenCompileAclFolder, AMakeOnAPathEntryAnAclOpensNeverRuns) {
  const fs::path base = fs::canonical(base_.path()), bin = base / "bin", folder = base / "procs";
  fs::create_directories(bin);
  bool unsupported = false;
  const std::string failed = testsupport::SetAcl("-m u:" + Uid() + ":rwx", bin, &unsupported);
  if (unsupported) GTEST_SKIP() << failed;
  ASSERT_EQ(failed, "");
  const fs::path mark = base / "ran-make";
  ASSERT_TRUE(PlantAs(bin / "make", "#!/bin/sh\ntouch '" + mark.string() + "'\nexit 0\n"));
  CloseEngine();
  const char* path = std::getenv("PATH");
  {
    const testsupport::ScopedEnv ahead(
        "PATH", (bin.string() + ":" + (path != nullptr ? path : "")).c_str());
    vantor_client::EngineOptions engine = Engine();
    engine.timeout_ms = testsupport::HangBoundMs(120000);
    ASSERT_TRUE(StartEngine(engine, "Procs")) << Failure();
  }
  bool skip = false;
  ASSERT_TRUE(MakeFolder(folder, {}, &skip)) << Failure();
  ASSERT_TRUE(Build(folder, "building")) << Failure() << "\n" << Events();
  EXPECT_TRUE(Said("make -f MakeUserCode command succeeded")) << Events();
  EXPECT_TRUE(Said("The build leaves out PATH entry \"" + bin.string() +
                   "\": user nobody (by an ACL entry) can write to the folder " + bin.string() +
                   " and it is not sticky (chmod g-w " + bin.string() + " makes it usable)"))
      << Events();
  EXPECT_FALSE(fs::exists(mark)) << "their make ran";
  EXPECT_EQ(CallTwice(folder / "grouplib.so"), 3.0) << Events();
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace acl_build_folder_road
