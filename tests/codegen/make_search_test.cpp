// The folders a makefile's recipes have the compiler and linker search, as
// make and the shell expand them.
#include "codegen/build/make_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using codegen::MakefileSearchFolders;
using Folders = std::vector<std::string>;

TEST(MakeSearch, EveryFormOfASearchOptionNamesItsFolder) {
  const std::string text =
      "INCL = -I\n"
      "TOP = /opt/top\n"
      "USERINCLUDEPATHS = -I/u/a -isystem /u/b \"-iquote/u/c d\" -idirafter'/u/e'\n"
      "USERLIBPATHS = -L /u/f -Wl,-L,/u/g --library-directory=/u/h -B/u/i/\n"
      "a.o: a.c\n"
      "\t@$(CC) $(INCL) $(TOP)/incl $(USERINCLUDEPATHS) -Iinc -c a.c\n"
      "lib.so: a.o ; $(CC) -shared a.o $(USERLIBPATHS) -lm -o $@\n";
  EXPECT_EQ(MakefileSearchFolders(text, {}).folders,
            (Folders{"/opt/top/incl", "/u/a", "/u/b", "/u/c d", "/u/e", "inc", "/u/f", "/u/g",
                     "/u/h", "/u/i/"}));
  EXPECT_TRUE(MakefileSearchFolders(text, {}).unknown.empty());
}

// Make itself searches VPATH's and vpath's folders for prerequisites and
// reads the makefiles it includes: their folders count too, as make
// expands them; one only make could tell is unknown.
TEST(MakeSearch, TheFoldersMakeItselfSearchesCount) {
  const std::string text =
      "SRC = /u/src\n"
      "VPATH = $(SRC):/u/more /u/last\n"
      "vpath %.h /u/headers:$(SRC)\n"
      "include /u/mk/rules.mk local.mk\n"
      "-include $(SRC)/opt.mk\n"
      "a.o: a.c\n"
      "\t$(CC) -c a.c\n";
  const codegen::MakeSearch search = MakefileSearchFolders(text, {});
  EXPECT_EQ(search.folders, (Folders{
                                "/u/src",
                                "/u/more",
                                "/u/last",
                                "/u/headers",
                                "/u/mk",
                                ".",
                            }));
  EXPECT_TRUE(search.unknown.empty());
  // The environment's VPATH, as make takes it.
  EXPECT_EQ(MakefileSearchFolders("a.o: a.c\n\tcc -c a.c\n", {"VPATH=/env/src"}).folders,
            (Folders{"/env/src"}));
  EXPECT_EQ(MakefileSearchFolders("vpath %.c $(shell echo /x)\n", {}).unknown.size(), 1u);
  EXPECT_EQ(MakefileSearchFolders("include $(wildcard /x/*.mk)\n", {}).unknown.size(), 1u);
}

// Make's rules for what a recipe gets: every setting counts, whatever
// conditional holds it; later ones and "+=" add; a continued line is one;
// the environment fills what the text never sets; comments and variables
// no recipe uses count for nothing.
TEST(MakeSearch, EverySettingARecipeMayGetCounts) {
  const std::string text =
      "ifdef DEBUG\n"
      "USERINCLUDEPATHS = -I/debug\n"
      "else\n"
      "USERINCLUDEPATHS = -I/release\n"
      "endif\n"
      "USERINCLUDEPATHS += -I/more \\\n"
      "   -I/continued # -I/commented\n"
      "override USERLIBPATHS := -L$(FROM_ENV)/lib\n"
      "UNUSED = -I/unused\n"
      "define LONG\n"
      "-I/defined\n"
      "endef\n"
      "a.o: USERLIBS = -L/target\n"
      "a.o:\n"
      "\tgcc $(USERINCLUDEPATHS) $(USERLIBPATHS) $(USERLIBS) $(LONG) $(CURDIR) -I$$$$ "
      "'-I/quoted $(x)'\n";
  const auto search = MakefileSearchFolders(text, {"FROM_ENV=/env", "USERLIBS=-L/ignored"});
  Folders folders = search.folders;
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (Folders{"/continued", "/debug", "/defined", "/env/lib", "/more", "/quoted ",
                              "/release", "/target"}));
  // "$$$$" is the shell's "$$": known only when it runs.
  EXPECT_EQ(search.unknown.size(), 1u);
}

// What only make or the shell can tell is reported by its line, never
// taken as harmless; what is plainly no search option is passed over.
TEST(MakeSearch, AFolderKnownOnlyWhenTheBuildRunsIsReported) {
  for (const std::string& line : std::vector<std::string>{
           "gcc -I$(shell echo /tmp)", "gcc $(addprefix -I,/tmp)", "gcc $(DIRS:%=-I%)",
           "gcc -I$$HOME/inc", "gcc $(COMPUTED)", "gcc -I $$X"}) {
    SCOPED_TRACE(line);
    const auto search =
        MakefileSearchFolders("COMPUTED != echo -I/tmp\nDIRS = /tmp\nx:\n\t" + line + "\n", {});
    EXPECT_EQ(search.unknown, (Folders{line})) << search.folders.size();
  }
  for (const std::string& line :
       std::vector<std::string>{"$(ECHO) Compiling a.c", "cp a.o a.o.$$$$",
                                "@echo $$FROM in $$(pwd)", "gcc -o $@ $<", "echo $(VERSION) -O2"}) {
    SCOPED_TRACE(line);
    const auto search = MakefileSearchFolders("x:\n\t" + line + "\n", {});
    EXPECT_TRUE(search.unknown.empty());
    EXPECT_TRUE(search.folders.empty());
  }
}

// Make's own rules build what has no recipe, with the flags set in the
// text or the environment.
TEST(MakeSearch, MakesOwnRulesCount) {
  EXPECT_EQ(MakefileSearchFolders("CPPFLAGS = -I/pp\nuser: user.o\n", {"LDFLAGS=-L/ld"}).folders,
            (Folders{"/pp", "/ld"}));
}

// Settings that refer to themselves, or nest past any sense, end.
TEST(MakeSearch, SelfReferenceAndDepthEnd) {
  EXPECT_EQ(MakefileSearchFolders("A = $(A) -I/a\nx:\n\tgcc $(A)\n", {}).folders, (Folders{"/a"}));
  std::string text = "V0 = -I/deep\n";
  for (int i = 1; i < 40; ++i) {
    text.append("V").append(std::to_string(i)).append(" = $(V");
    text.append(std::to_string(i - 1)).append(")\n");
  }
  text += "x:\n\tgcc $(V39)\n";
  EXPECT_EQ(MakefileSearchFolders(text, {}).unknown.size(), 1u);
  std::string many;
  for (int i = 0; i < 20; ++i) many.append("W = ").append(std::to_string(i)).append("\n");
  many += "x:\n\tgcc -I/$(W)$(W)$(W)\n";
  EXPECT_EQ(MakefileSearchFolders(many, {}).unknown.size(), 1u);
}

// A tab-led line is a recipe only while a rule is open: after a setting,
// a directive or a definition, or before any rule, make reads it as any
// other line. Blank lines, comments and conditionals keep a rule open.
TEST(MakeSearch, ATabLedLineIsARecipeOnlyInARule) {
  for (const std::string& before :
       {std::string(), std::string("x:\n\ttrue\nA = 1\n"),
        std::string("x:\n\ttrue\ninclude /own/a.mk\n"), std::string("x: X = 1\n"),
        std::string("x:\n\ttrue\ndefine D\nendef\n")}) {
    for (const std::string& line :
         {std::string("\tinclude /open/extra.mk\n"), std::string("\tvpath %.c /open\n"),
          std::string("\tCFLAGS += -I/open\nuser: user.o\n")}) {
      SCOPED_TRACE(before + line);
      const Folders folders = MakefileSearchFolders(before + line, {}).folders;
      EXPECT_NE(std::find(folders.begin(), folders.end(), "/open"), folders.end());
    }
  }
  // Where a conditional may leave the rule open or closed, a tab-led line
  // is read both ways.
  for (const std::string& text :
       {std::string("x:\nifdef NEVER\nA = 1\nendif\n\tgcc -I/open -c a.c\n"),
        std::string("A = 1\nifdef NEVER\nx:\nendif\n\tinclude /open/x.mk\n"),
        std::string("ifdef D\nx: X = 1\nelse\nx:\nendif\n\ttrue\n\tvpath %.c /open\n")}) {
    SCOPED_TRACE(text);
    const Folders folders = MakefileSearchFolders(text, {}).folders;
    EXPECT_NE(std::find(folders.begin(), folders.end(), "/open"), folders.end());
  }
  // Within a rule, however it is broken up, a tab-led line is its recipe.
  const std::string rule =
      "x: y\n\n# note\nifdef D\n\techo include /not/read.mk\nendif\n\tgcc -I/inc -c y.c\n";
  EXPECT_EQ(MakefileSearchFolders(rule, {}).folders, (Folders{"/inc"}));
  // Another recipe prefix changes which lines are recipes.
  EXPECT_EQ(MakefileSearchFolders(".RECIPEPREFIX = >\nx:\n> true\n", {}).unknown,
            (Folders{".RECIPEPREFIX = >"}));
}

// Make tries a setting before a directive: "include = ..." and
// "vpath = ..." set variables a recipe may use; "include a=b" includes.
TEST(MakeSearch, ASettingNamedAsADirectiveIsASetting) {
  for (const auto& [setting, name] :
       {std::pair{"include", "include"}, std::pair{"-include", "-include"},
        std::pair{"sinclude", "sinclude"}, std::pair{"vpath", "vpath"},
        std::pair{"override vpath", "vpath"}}) {
    SCOPED_TRACE(setting);
    const std::string text =
        std::string(setting) + " = -I/open\nx:\n\tgcc $(" + name + ") -c a.c\n";
    EXPECT_EQ(MakefileSearchFolders(text, {}).folders, (Folders{"/open"}));
  }
  EXPECT_EQ(MakefileSearchFolders("include /open/a=b.mk\n", {}).folders, (Folders{"/open"}));
  EXPECT_EQ(MakefileSearchFolders("include /open/a.mk\n", {}).files, (Folders{"/open/a.mk"}));
}

// vpath's line is expanded whole, then split: its first word the pattern.
// Text only make knows is unknown as a whole.
TEST(MakeSearch, AVpathLineIsExpandedBeforeItIsSplit) {
  EXPECT_EQ(MakefileSearchFolders("P = %.h /open\nvpath $(P)\n", {}).folders, (Folders{"/open"}));
  EXPECT_EQ(MakefileSearchFolders("P = %.h\nvpath $(P) /a:/b /c\n", {}).folders,
            (Folders{"/a", "/b", "/c"}));
  EXPECT_TRUE(MakefileSearchFolders("vpath %.h\n", {}).folders.empty());
  // Told apart from the folders a recipe names.
  const auto both = MakefileSearchFolders("vpath %.h /v\ninclude /i/a.mk\nx:\n\tgcc -I/r\n", {});
  EXPECT_EQ(both.folders, (Folders{"/r", "/v", "/i"}));
  EXPECT_EQ(both.make_folders, (Folders{"/v", "/i"}));
  for (const std::string line : {"vpath $(shell cat dirs)", "vpath %.h $(dir /x/y) /z"}) {
    SCOPED_TRACE(line);
    const auto search = MakefileSearchFolders(line + "\n", {});
    EXPECT_TRUE(search.folders.empty());
    EXPECT_EQ(search.unknown, (Folders{line}));
  }
  // An unknown VPATH is shown as set.
  EXPECT_EQ(MakefileSearchFolders("VPATH = $(shell echo /x)\n", {}).unknown,
            (Folders{"VPATH = $(shell echo /x)"}));
}

// Text make may evaluate as makefile lines is unknown wherever it stands;
// a function that only prints is not.
TEST(MakeSearch, EvaluatedTextIsUnknown) {
  for (const std::string line :
       {"$(eval include /open/x.mk)", "${eval VPATH = /open}", "all: $(eval X = 1)",
        "X := $(eval include /x.mk)", "$($(E) include /x.mk)"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(MakefileSearchFolders(line + "\n", {}).unknown, (Folders{line}));
  }
  const auto search = MakefileSearchFolders("$(info evaluated)\nX = $(Y_$(Z))\n", {});
  EXPECT_TRUE(search.unknown.empty());
}

// Make expands a glob or '~' in an included name itself: unknown. The
// variables read from the environment are named, set there or not.
TEST(MakeSearch, IncludedNamesAndTheEnvironmentRead) {
  for (const std::string line :
       {"include /x/*/extra.mk", "-include /x/a?.mk", "include [ab].mk", "include ~/x.mk"}) {
    SCOPED_TRACE(line);
    const auto search = MakefileSearchFolders(line + "\n", {});
    EXPECT_EQ(search.unknown, (Folders{line}));
    EXPECT_TRUE(search.files.empty());
  }
  const auto search =
      MakefileSearchFolders("A = $(B)\nx:\n\tgcc $(A) $(C)\n", {"C=-I/c", "D=unused"});
  Folders names = search.environment;
  EXPECT_NE(std::find(names.begin(), names.end(), "B"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "C"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "VPATH"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "A"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "D"), names.end());
}

}  // namespace
