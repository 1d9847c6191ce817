// The folders a makefile's recipes name to the compiler and linker for
// headers and libraries, read as make and the shell would expand them, so
// that every one can be judged before make runs.
#pragma once

#include <string>
#include <vector>

namespace codegen {

struct MakeSearch {
  // Each folder once, in the order the recipes name them, as written
  // (relative ones against the folder make runs in).
  std::vector<std::string> folders;
  // A recipe line where a search option or its folder is known only when
  // the build runs (a make function or `!=` setting where an option could
  // stand, a shell expansion in a folder), as written.
  std::vector<std::string> unknown;
  // Those of the folders that make itself searches (VPATH, vpath, the
  // folders of the makefiles it includes), not named by a recipe.
  std::vector<std::string> make_folders;
  // The makefiles it includes, as written (relative ones against the
  // folder make runs in): each judged as a file where it is there.
  std::vector<std::string> files;
  // The variables it takes from the environment (set there or not), in
  // name order: what it found is what the build must run with.
  std::vector<std::string> environment;
};

// The folders the recipes of the makefile text search through -I, -L,
// -isystem, -iquote, -idirafter, -B and their long and -Wl, forms. Every
// assignment of a variable counts, whatever conditional holds it; a
// variable the text never sets takes its value from `environment`
// ("NAME=value" entries), as make's does. Make's own compile and link
// rules count as recipes too. So do the folders make itself searches:
// those of VPATH and vpath, and those of the makefiles it includes. A tab
// led line is a recipe only while a rule is open, as make reads it.
MakeSearch MakefileSearchFolders(const std::string& text,
                                 const std::vector<std::string>& environment);

}  // namespace codegen
