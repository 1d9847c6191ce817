// Which LD_LIBRARY_PATH entries the engine keeps: only folders named from
// the root; an empty or relative one would be the current folder.
#include "platform/loader_environment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::AbsoluteSearchEntries;
using platform::ToolEnvironment;
using platform::TrustedSearchEntries;

TEST(LoaderEnvironment, OnlyEntriesFromTheRootAreKept) {
  bool dropped = true;
  EXPECT_EQ(AbsoluteSearchEntries("/usr/lib:/opt/x/lib", &dropped), "/usr/lib:/opt/x/lib");
  EXPECT_FALSE(dropped);
  // The loader splits at ';' too.
  EXPECT_EQ(AbsoluteSearchEntries("/a;/b", &dropped), "/a:/b");
  EXPECT_FALSE(dropped);
  for (const auto& [value, kept] :
       std::initializer_list<std::pair<const char*, const char*>>{{"/nonexistent:", "/nonexistent"},
                                                                  {":/usr/lib", "/usr/lib"},
                                                                  {".", ""},
                                                                  {"/a::/b", "/a:/b"},
                                                                  {"lib:/a;./b;", "/a"},
                                                                  {"$ORIGIN", ""}}) {
    dropped = false;
    EXPECT_EQ(AbsoluteSearchEntries(value, &dropped), kept) << value;
    EXPECT_TRUE(dropped) << value;
  }
}

// Entries are judged by where they lead: through /proc (which follows the
// process), to the current folder, or to a folder others can make files
// in, sticky or not, even when it does not exist yet, they are left out.
TEST(LoaderEnvironment, EntriesLeadingWhereOthersWriteAreLeftOut) {
  const testsupport::TempDir work;
  const std::string base = std::filesystem::canonical(work.path()).string();
  const std::string own = base + "/own", open = base + "/open", here = base + "/here";
  for (const std::string& folder : {own, open, here}) ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
  const testsupport::ScopedCurrentFolder in(here);
  std::vector<std::string> dropped;
  const std::string value = own + ":/proc/self/cwd:" + here + ":" + open + ":" + open +
                            "/later:" + own + "/later:/dev/fd";
  EXPECT_EQ(TrustedSearchEntries(value, &dropped), own + ":" + own + "/later");
  ASSERT_EQ(dropped.size(), 5u);
  EXPECT_EQ(dropped[0],
            "\"/proc/self/cwd\": it leads through /proc/self, which follows the process");
  EXPECT_EQ(dropped[1], "\"" + here + "\": it is the current folder");
  EXPECT_EQ(dropped[2],
            "\"" + open + "\": others can make files in the folder " + open + ", sticky as it is");
  EXPECT_EQ(dropped[3],
            "\"" + open + "/later\": it does not exist, and others can make it in " + open);
  EXPECT_EQ(dropped[4], "\"/dev/fd\": it leads through /proc/self, which follows the process");

  // The loader expands $ORIGIN after the check: /$ORIGIN/.. is any folder.
  dropped.clear();
  EXPECT_EQ(TrustedSearchEntries("/$ORIGIN/../" + open + ":${LIB}:" + own, &dropped), own);
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0], "\"/$ORIGIN/../" + open + "\": it holds the loader's tokens ($)");
  EXPECT_EQ(dropped[1], "\"${LIB}\": it is empty or relative");
}

// The build's programs get PATH judged as LD_LIBRARY_PATH is, and no
// library or gconv folder found from their own folder; what nothing
// refuses stays as it was.
TEST(LoaderEnvironment, ToolsGetNothingFoundFromTheirFolder) {
  const testsupport::TempDir work;
  const std::string base = std::filesystem::canonical(work.path()).string();
  const std::string own = base + "/own", open = base + "/open";
  for (const std::string& folder : {own, open}) ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
  const auto setting = [](const std::vector<std::string>& environment, const std::string& name) {
    std::string found = "<none>";
    for (const std::string& entry : environment) {
      if (entry.rfind(name + "=", 0) == 0) found = entry.substr(name.size() + 1);
    }
    return found;
  };
  {
    const testsupport::ScopedEnv path("PATH", (open + ":" + own + "::bin").c_str());
    const testsupport::ScopedEnv preload("LD_PRELOAD", "../x/p.so bare.so:/abs/q.so");
    const testsupport::ScopedEnv audit("LD_AUDIT", "./a.so");
    const testsupport::ScopedEnv gconv("GCONV_PATH", "gconv:/usr/lib/gconv");
    const testsupport::ScopedEnv other("VANTOR_KEPT", "x:./y");
    std::vector<std::string> dropped;
    const std::vector<std::string> environment = ToolEnvironment(&dropped);
    EXPECT_EQ(setting(environment, "PATH"), own);
    EXPECT_EQ(setting(environment, "LD_PRELOAD"), "bare.so:/abs/q.so");
    EXPECT_EQ(setting(environment, "LD_AUDIT"), "<none>");
    EXPECT_EQ(setting(environment, "GCONV_PATH"), "/usr/lib/gconv");
    EXPECT_EQ(setting(environment, "VANTOR_KEPT"), "x:./y");
    // Each left out with its line: the open folder, "", "bin" and the three
    // relative ones.
    EXPECT_EQ(dropped.size(), 6u);
  }
  // The compiler's own search lists, judged entry by entry as PATH is; a
  // list with nothing kept is not set at all (an empty one is the build's
  // folder), and GCC_EXEC_PREFIX goes with its folder.
  for (const char* list : {"CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH",
                           "LIBRARY_PATH", "COMPILER_PATH"}) {
    SCOPED_TRACE(list);
    std::vector<std::string> dropped;
    {
      const testsupport::ScopedEnv mixed(list, (open + ":" + own + "::inc").c_str());
      const std::vector<std::string> environment = ToolEnvironment(&dropped);
      EXPECT_EQ(setting(environment, list), own);
      ASSERT_EQ(dropped.size(), 3u);
      EXPECT_EQ(dropped[0],
                list + (" entry \"" + open + "\": others can make files in the folder " + open +
                        ", sticky as it is"));
    }
    const testsupport::ScopedEnv none(list, (":" + open).c_str());
    EXPECT_EQ(setting(ToolEnvironment(&dropped), list), "<none>");
    const testsupport::ScopedEnv kept(list, own.c_str());
    dropped.clear();
    EXPECT_EQ(setting(ToolEnvironment(&dropped), list), own);
    EXPECT_TRUE(dropped.empty());
  }
  for (const auto& [prefix, kept] : {std::pair{open + "/gcc-", false}, std::pair{open + "/", false},
                                     std::pair{std::string("gcc-"), false},
                                     std::pair{own + "/gcc-", true}, std::pair{own + "/", true}}) {
    SCOPED_TRACE(prefix);
    const testsupport::ScopedEnv exec("GCC_EXEC_PREFIX", prefix.c_str());
    std::vector<std::string> dropped;
    EXPECT_EQ(setting(ToolEnvironment(&dropped), "GCC_EXEC_PREFIX"), kept ? prefix : "<none>");
    EXPECT_EQ(dropped.size(), kept ? 0u : 1u);
  }
  // Nothing to leave out: every value as it was, none added.
  const testsupport::ScopedEnv path("PATH", own.c_str());
  const testsupport::ScopedEnv preload("LD_PRELOAD", "a.so b.so");
  const testsupport::ScopedEnv audit("LD_AUDIT", nullptr);
  const testsupport::ScopedEnv gconv("GCONV_PATH", nullptr);
  std::vector<std::string> dropped;
  const std::vector<std::string> environment = ToolEnvironment(&dropped);
  EXPECT_TRUE(dropped.empty());
  EXPECT_EQ(setting(environment, "PATH"), own);
  EXPECT_EQ(setting(environment, "LD_PRELOAD"), "a.so b.so");
  EXPECT_EQ(setting(environment, "LD_AUDIT"), "<none>");
  // No PATH kept is no PATH, never an empty one.
  const testsupport::ScopedEnv relative("PATH", ".:bin");
  EXPECT_EQ(setting(ToolEnvironment(&dropped), "PATH"), "<none>");
}

// Makefiles make reads before the build's, and options it takes from the
// environment, never reach make: each left out with its line, whatever
// it names; the rest of the environment stays.
TEST(LoaderEnvironment, MakesOwnEnvironmentIsLeftOut) {
  for (const auto& [name, value] :
       {std::pair{"MAKEFILES", "/tmp/evil.mk"}, std::pair{"MAKEFILES", ""},
        std::pair{"GNUMAKEFLAGS", "-I/tmp"}, std::pair{"GNUMAKEFLAGS", "-s"}}) {
    SCOPED_TRACE(std::string(name) + "=" + value);
    const testsupport::ScopedEnv set(name, value);
    const testsupport::ScopedEnv other("VANTOR_KEPT", "1");
    std::vector<std::string> dropped;
    const std::vector<std::string> environment = ToolEnvironment(&dropped);
    for (const std::string& entry : environment)
      EXPECT_NE(entry.rfind(name + std::string("="), 0), 0u);
    EXPECT_NE(std::find(environment.begin(), environment.end(), "VANTOR_KEPT=1"),
              environment.end());
    EXPECT_EQ(dropped, (std::vector<std::string>{std::string(name) + " \"" + value +
                                                 "\": make would read what it names unjudged"}));
  }
}

}  // namespace
