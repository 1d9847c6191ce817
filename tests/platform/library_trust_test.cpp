// Which library files the loader may open: only what no one but this user
// (or root) could have put or changed, on a way no one else controls.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/file_trust.h"
#include "platform/safe_write.h"
#include "tests/support/elf_library.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/second_user.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::WhyLibraryIsUntrusted;

std::string Why(const fs::path& path, std::string* resolved = nullptr) {
  return WhyLibraryIsUntrusted(path.string(), resolved);
}

class LibraryTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::canonical(work_.path());
    fs::create_directory(base_ / "lib");
    lib_ = work_.WriteFile("lib/own.so", "bytes");
    fs::permissions(lib_, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  }
  testsupport::TempDir work_;
  fs::path base_, lib_;
};

TEST_F(LibraryTrust, OwnFilesOnAnOwnWayAreTakenWithTheirLinksFollowed) {
  std::string resolved;
  EXPECT_EQ(Why(lib_, &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  // Relative, through "..", and through our own links to the folder and file.
  testsupport::ScopedCurrentFolder here(base_ / "lib");
  EXPECT_EQ(Why("own.so", &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  EXPECT_EQ(Why("../lib/./own.so"), "");
  fs::create_directory_symlink("lib", base_ / "via");
  fs::create_symlink("../lib/own.so", base_ / "lib" / "alias.so");
  EXPECT_EQ(Why(base_ / "via" / "alias.so", &resolved), "");
  EXPECT_EQ(resolved, lib_.string());
  // A sticky folder others write to: they cannot replace what is ours.
  fs::permissions(base_ / "lib", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_EQ(Why(lib_), "");
}

TEST_F(LibraryTrust, WhatOthersCouldHaveChangedIsRefusedWithTheReason) {
  // Ours in a folder of ours (as gcc writes it under umask 002): the line
  // says how to make it loadable.
  fs::permissions(lib_, fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(Why(lib_),
            "its group or others can write to it (chmod g-w " + lib_.string() + " makes it loadable)");
  fs::permissions(lib_, fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(Why(lib_), "its group or others can write to it (chmod go-w " + lib_.string() +
                           " makes it loadable)");
  fs::permissions(lib_, fs::perms::group_write, fs::perm_options::remove);
  fs::permissions(lib_, fs::perms::others_write, fs::perm_options::remove);

  fs::permissions(base_ / "lib", fs::perms::all);
  EXPECT_EQ(Why(lib_),
            "others can write to the folder " + (base_ / "lib").string() + " and it is not sticky");
  // The folder of a link counts too, not only where it leads.
  fs::permissions(base_ / "lib", fs::perms::owner_all);
  fs::create_directory(base_ / "open");
  fs::permissions(base_ / "open", fs::perms::all);
  fs::create_symlink(lib_, base_ / "open" / "link.so");
  EXPECT_NE(Why(base_ / "open" / "link.so").find("others can write to the folder"),
            std::string::npos);

  EXPECT_EQ(Why(base_ / "lib"), "it is not a regular file");
  EXPECT_EQ(Why(base_ / "lib" / ".." / "lib" / ".."), "it is not a regular file");
  EXPECT_EQ(Why(base_ / "lib" / "own.so" / ".." / "own.so"),
            lib_.string() + " on its way is not a folder");
  EXPECT_NE(Why(base_ / "lib" / "missing.so").find("cannot be examined"), std::string::npos);
  fs::create_symlink("loop.so", base_ / "lib" / "loop.so");
  EXPECT_EQ(Why(base_ / "lib" / "loop.so"), "too many symbolic links on its way");
}

TEST_F(LibraryTrust, AnotherUsersFileFolderOrLinkIsRefused) {
  const testsupport::SecondUser other;
  if (!other.Available()) GTEST_SKIP() << other.why_not;
  ASSERT_EQ(::chown(lib_.c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(lib_), "it belongs to another user");
  ASSERT_EQ(::chown(lib_.c_str(), ::geteuid(), ::getegid()), 0);

  ASSERT_EQ(::chown((base_ / "lib").c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(lib_), "the folder " + (base_ / "lib").string() + " belongs to another user");
  ASSERT_EQ(::chown((base_ / "lib").c_str(), ::geteuid(), ::getegid()), 0);

  // Even a link that leads to our own file: its owner chose where.
  const fs::path link = base_ / "theirs.so";
  fs::create_symlink(lib_, link);
  ASSERT_EQ(::lchown(link.c_str(), other.uid, other.gid), 0);
  EXPECT_EQ(Why(link), "the symbolic link " + link.string() + " belongs to another user");
}

// The loader and the build folders follow one rule: a folder that members
// of its group can write to is refused unless it is sticky, or the group is
// its owner's alone (a private user group, as umask 002 goes with).
TEST_F(LibraryTrust, AFolderItsGroupCanWriteIsRefusedByTheLoaderAndTheBuildAlike) {
  const testsupport::SecondUser other;
  if (!other.Available()) GTEST_SKIP() << other.why_not;
  const fs::path lib = base_ / "lib";
  const auto build_here = [&] {
    std::string made = (lib / "build-XXXXXX").string();
    int error = 0;
    const bool done = platform::MakePrivateFolder(&made, &error);
    if (done) fs::remove(made);
    return done;
  };
  // The second user's group, which is not ours alone.
  ASSERT_EQ(::chown(lib.c_str(), ::geteuid(), other.gid), 0);
  fs::permissions(lib, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EQ(Why(lib_), "members of its group can write to the folder " + lib.string() +
                           " and it is not sticky (chmod g-w " + lib.string() +
                           " makes it usable)");
  // Several such folders on the way are named in one line, to be mended
  // at once.
  const fs::path below = lib / "below";
  fs::create_directory(below);
  const fs::path deep = below / "deep.so";
  fs::copy_file(lib_, deep);
  ASSERT_EQ(::chown(below.c_str(), ::geteuid(), other.gid), 0);
  fs::permissions(below, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_EQ(Why(deep), "members of their groups can write to the folders " + lib.string() +
                           " and " + below.string() + ", which are not sticky (chmod g-w " +
                           lib.string() + " " + below.string() + " makes them usable)");
  fs::remove_all(below);
  platform::CheckedLibrary checked;
  EXPECT_NE(platform::CheckLibraryFile(lib_.string(), &checked), "");
  EXPECT_FALSE(build_here());
  fs::permissions(lib, fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_EQ(Why(lib_), "");
  EXPECT_TRUE(build_here());
  fs::permissions(lib, fs::perms::sticky_bit, fs::perm_options::remove);

  // A group of the owner's own: no one else can write.
  const gid_t own_group = ::getpwuid(::geteuid())->pw_gid;
  if (!platform::GroupIsOwnersAlone(own_group, ::geteuid())) GTEST_SKIP() << "no private group";
  ASSERT_EQ(::chown(lib.c_str(), ::geteuid(), own_group), 0);
  EXPECT_EQ(Why(lib_), "");
  EXPECT_EQ(platform::CheckLibraryFile(lib_.string(), &checked), "");
  EXPECT_EQ(checked.path, lib_.string());
  EXPECT_TRUE(build_here());
  EXPECT_FALSE(platform::GroupIsOwnersAlone(other.gid, ::geteuid()));
}

// What a library names as written, the loader takes as written: every
// entry of its RUNPATH or RPATH without $ORIGIN, and the folder of each
// dependency named with a path, is judged as an LD_LIBRARY_PATH entry is,
// in the library checked and in each one beside it that it needs.
class LibrarySearchEntries : public LibraryTrust {
 protected:
  void SetUp() override {
    LibraryTrust::SetUp();
    for (const char* name : {"own", "open", "sticky"}) fs::create_directory(base_ / name);
    fs::permissions(base_ / "open", fs::perms::all);
    fs::permissions(base_ / "sticky", fs::perms::all | fs::perms::sticky_bit);
  }
  // The library with those names, written as `file`, mode 0755.
  static void Write(const fs::path& file, const testsupport::ElfNames& names) {
    const std::vector<std::uint8_t> bytes = testsupport::ElfLibrary(names);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  }
  std::string Check(const testsupport::ElfNames& names) {
    Write(lib_, names);
    platform::CheckedLibrary checked;
    return platform::CheckLibraryFile(lib_.string(), &checked);
  }
};

TEST_F(LibrarySearchEntries, EntriesTheLoaderTakesAsWrittenAreJudged) {
  const std::string own = (base_ / "own").string(), open = (base_ / "open").string(),
                    sticky = (base_ / "sticky").string();
  const std::string relative = "it is empty or relative";
  const std::string literal =
      "it is relative: the loader reads no token in it ($ORIGIN, $LIB and $PLATFORM stand "
      "alone, before a / or at the end), so it names a folder in the current one";
  const std::string alone = " (a token of the loader's must stand alone, before a / or at the end)";
  const std::string open_why = "others can write to the folder " + open + " and it is not sticky";
  const std::string sticky_why =
      "others can make files in the folder " + sticky + ", sticky as it is";
  const auto searched = [](const char* kind, const std::string& path, const std::string& entry,
                           const std::string& why) {
    return std::string("its ") + kind + " \"" + path + "\" names \"" + entry +
           "\", which must not be searched: " + why;
  };
  struct Case {
    std::int64_t tag;
    std::string text;
    std::string why;  // empty: the library is taken
  };
  const std::vector<Case> cases = {
      {DT_RUNPATH, "$ORIGIN:", searched("RUNPATH", "$ORIGIN:", "", relative)},
      {DT_RUNPATH, ":$ORIGIN", searched("RUNPATH", ":$ORIGIN", "", relative)},
      {DT_RUNPATH, "", searched("RUNPATH", "", "", relative)},
      {DT_RUNPATH, ".", searched("RUNPATH", ".", ".", relative)},
      {DT_RUNPATH, "lib", searched("RUNPATH", "lib", "lib", relative)},
      {DT_RUNPATH, "x$ORIGIN", searched("RUNPATH", "x$ORIGIN", "x$ORIGIN", relative)},
      {DT_RUNPATH, "$ORIGIN:" + open, searched("RUNPATH", "$ORIGIN:" + open, open, open_why)},
      {DT_RUNPATH, sticky, searched("RUNPATH", sticky, sticky, sticky_why)},
      {DT_RUNPATH, sticky + "/$LIB",
       searched("RUNPATH", sticky + "/$LIB", sticky + "/$LIB",
                "it does not exist, and others can make it in " + sticky)},
      {DT_RPATH, "$ORIGIN::/usr/lib", searched("RPATH", "$ORIGIN::/usr/lib", "", relative)},
      {DT_RPATH, ".", searched("RPATH", ".", ".", relative)},
      {DT_RPATH, open, searched("RPATH", open, open, open_why)},
      // Only what the loader reads as a token is one: the rest is a name.
      {DT_RUNPATH, "$ORIGINX", searched("RUNPATH", "$ORIGINX", "$ORIGINX", literal)},
      {DT_RUNPATH, "$ORIGIN_lib", searched("RUNPATH", "$ORIGIN_lib", "$ORIGIN_lib", literal)},
      {DT_RUNPATH, "${ORIGINX}", searched("RUNPATH", "${ORIGINX}", "${ORIGINX}", literal)},
      {DT_RPATH, "$LIBX:/usr/lib", searched("RPATH", "$LIBX:/usr/lib", "$LIBX", literal)},
      {DT_RUNPATH, "$ORIGIN-x",
       searched("RUNPATH", "$ORIGIN-x", "$ORIGIN-x", "\"$ORIGIN\" is followed by \"-\"" + alone)},
      {DT_RUNPATH, "${ORIGIN}_x",
       searched("RUNPATH", "${ORIGIN}_x", "${ORIGIN}_x",
                "\"${ORIGIN}\" is followed by \"_\"" + alone)},
      {DT_NEEDED, "$ORIGINX/libdepx.so",
       "it needs \"$ORIGINX/libdepx.so\", whose folder must not be searched: " + literal},
      {DT_NEEDED, "$PLATFORM.so",
       "it needs \"$PLATFORM.so\", a name the engine refuses: \"$PLATFORM\" is followed by \".\"" +
           alone},
      {DT_NEEDED, "./libdepx.so",
       "it needs \"./libdepx.so\", whose folder must not be searched: " + relative},
      {DT_NEEDED, "sub/libdepx.so",
       "it needs \"sub/libdepx.so\", whose folder must not be searched: " + relative},
      {DT_NEEDED, open + "/libdepx.so",
       "it needs \"" + open + "/libdepx.so\", whose folder must not be searched: " + open_why},
      {DT_NEEDED, sticky + "/libdepx.so",
       "it needs \"" + sticky + "/libdepx.so\", whose folder must not be searched: " + sticky_why},
      // Healthy layouts: $ORIGIN and below it, the system's folders, ours.
      {DT_RUNPATH, "$ORIGIN", ""},
      {DT_RUNPATH, "${ORIGIN}/../lib:/usr/lib:" + own, ""},
      {DT_RUNPATH, own + "/$LIB:/usr/$LIB", ""},
      {DT_RPATH, "$ORIGIN:" + own, ""},
      {DT_NEEDED, own + "/libdepx.so", ""},
      {DT_NEEDED, "$ORIGIN/libdepx.so", ""},
      {DT_NEEDED, "${ORIGIN}/libdepx.so", ""},
      {DT_RUNPATH, "${ORIGIN}:$ORIGIN/:$ORIGIN/$PLATFORM", ""},
      {DT_NEEDED, "libc.so.6", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(Check({{c.tag, c.text}}), c.why) << c.text;
  }
  // One that names $ORIGIN in any entry is loaded by its name, so that the
  // loader's $ORIGIN is its folder.
  for (const auto& [search, beside] : {std::pair<std::string, bool>("/usr/lib:$ORIGIN", true),
                                       {"${ORIGIN}/../lib:" + own, true},
                                       {"/usr/lib:" + own, false}}) {
    Write(lib_, {{DT_RUNPATH, search}});
    platform::CheckedLibrary checked;
    EXPECT_EQ(platform::CheckLibraryFile(lib_.string(), &checked), "");
    EXPECT_EQ(checked.beside, beside) << search;
  }
  // The dependency named from the root is judged as a library file too.
  Write(base_ / "own" / "libdepx.so", {});
  EXPECT_EQ(Check({{DT_NEEDED, own + "/libdepx.so"}}), "");
  fs::permissions(base_ / "own" / "libdepx.so", fs::perms::others_write, fs::perm_options::add);
  EXPECT_EQ(Check({{DT_NEEDED, own + "/libdepx.so"}}),
            "it needs " + own +
                "/libdepx.so, which must not be loaded: its group or others can "
                "write to it (chmod go-w " +
                own + "/libdepx.so makes it loadable)");
}

// A library beside the one checked, which the loader takes for it, names
// the current folder: the line names that library and its entry.
TEST_F(LibrarySearchEntries, TheLibrariesBesideAreJudgedToo) {
  const fs::path dep = base_ / "lib" / "libdep.so";
  Write(dep, {{DT_RUNPATH, "$ORIGIN:."}});
  EXPECT_EQ(Check({{DT_NEEDED, "libdep.so"}, {DT_RUNPATH, "$ORIGIN"}}),
            "the library " + dep.string() +
                " beside it, which it needs, must not be loaded: its RUNPATH \"$ORIGIN:.\" names "
                "\".\", which must not be searched: it is empty or relative");
  Write(dep, {{DT_RUNPATH, "$ORIGIN"}});
  EXPECT_EQ(Check({{DT_NEEDED, "libdep.so"}, {DT_RUNPATH, "$ORIGIN"}}), "");
}

// Every library the loader would map is judged through its own names, at
// every level: found in a folder an entry names as written, named by its
// path, found through the RPATH of a library above it (which the loader
// searches while the one needing it has no RUNPATH), or in LD_LIBRARY_PATH.
TEST_F(LibrarySearchEntries, EveryLevelBelowIsJudgedAsTheLoaderSearchesIt) {
  const fs::path own = base_ / "own", mid = own / "libmid.so", x = own / "libx.so";
  const std::string open = (base_ / "open").string();
  const std::string refused = "its RUNPATH \"" + open + "\" names \"" + open +
                              "\", which must not be searched: others can write to the folder " +
                              open + " and it is not sticky";
  const auto needs = [&](const fs::path& file, const std::string& who) {
    return "the library " + file.string() + ", which " + who + " needs, must not be loaded: ";
  };
  Write(mid, {{DT_RUNPATH, open}});
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}, {DT_RUNPATH, own.string()}}),
            needs(mid, "it") + refused);
  EXPECT_EQ(Check({{DT_NEEDED, mid.string()}}), needs(mid, "it") + refused);
  Write(mid, {{DT_RUNPATH, own.string()}});
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}, {DT_RUNPATH, own.string()}}), "");
  EXPECT_EQ(Check({{DT_NEEDED, mid.string()}}), "");
  // Two levels: libmid.so needs libx.so, found by the RPATH above it.
  Write(mid, {{DT_NEEDED, "libx.so"}});
  Write(x, {{DT_RUNPATH, open}});
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}, {DT_RPATH, own.string()}}),
            needs(x, mid.string()) + refused);
  // A RUNPATH is not searched for the dependencies of its dependencies.
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}, {DT_RUNPATH, own.string()}}), "");
  {
    const testsupport::ScopedEnv path("LD_LIBRARY_PATH", own.c_str());
    EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}}), needs(x, mid.string()) + refused);
  }
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}}), "");
  // Libraries that need each other, each by the other's RPATH, end.
  Write(mid, {{DT_NEEDED, "libx.so"}, {DT_RPATH, own.string()}});
  Write(x, {{DT_NEEDED, "libmid.so"}, {DT_RPATH, "$ORIGIN"}});
  EXPECT_EQ(Check({{DT_NEEDED, "libmid.so"}, {DT_RPATH, own.string()}}), "");
}

// A chain of libraries each needing the next beside it is judged 16 levels
// below the one loaded, and refused with a line past that.
TEST_F(LibrarySearchEntries, TheLevelsJudgedAreBounded) {
  const auto chain = [&](int levels) {
    for (int i = 1; i <= levels; ++i) {
      testsupport::ElfNames names{{DT_RUNPATH, "$ORIGIN"}};
      if (i < levels) names.push_back({DT_NEEDED, "libl" + std::to_string(i + 1) + ".so"});
      Write(base_ / "lib" / ("libl" + std::to_string(i) + ".so"), names);
    }
    return Check({{DT_NEEDED, "libl1.so"}, {DT_RUNPATH, "$ORIGIN"}});
  };
  EXPECT_EQ(chain(16), "");
  const fs::path last = base_ / "lib" / "libl17.so";
  EXPECT_EQ(chain(17), "the library " + last.string() + ", which " +
                           (base_ / "lib" / "libl16.so").string() +
                           " needs, must not be loaded: it lies more than 16 levels of "
                           "dependencies below the library loaded, deeper than the engine judges");
}

// The names a load has the loader look for are bounded too: each needed
// name in each folder searched counts.
TEST_F(LibrarySearchEntries, TheNamesLookedForAreBounded) {
  const auto needing = [&](int count) {
    testsupport::ElfNames names{{DT_RUNPATH, "$ORIGIN:" + (base_ / "own").string()}};
    for (int i = 0; i < count; ++i) names.push_back({DT_NEEDED, "lib" + std::to_string(i) + ".so"});
    return Check(names);
  };
  EXPECT_EQ(needing(32768), "");
  EXPECT_EQ(needing(32769),
            "it has the loader look for more than 65536 files, more than the engine judges");
}

// An absolute entry that is the current folder (the run folder, once the
// engine runs there) is refused as an LD_LIBRARY_PATH entry is.
TEST_F(LibrarySearchEntries, TheCurrentFolderIsRefusedByItsAbsoluteNameToo) {
  const fs::path own = base_ / "own";
  const testsupport::ScopedCurrentFolder here(own);
  EXPECT_EQ(Check({{DT_RUNPATH, own.string()}}),
            "its RUNPATH \"" + own.string() + "\" names \"" + own.string() +
                "\", which must not be searched: it is the current folder");
}

}  // namespace
