// The system loader's own search, which finds every library's dependencies,
// must never reach the current folder: it is the run folder, which other
// users may write to. An empty or relative entry of LD_LIBRARY_PATH would
// have it look there, as would one that leads there (/proc/self/cwd), so
// the engine never runs with one, nor with one that others can change.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The entries of an LD_LIBRARY_PATH value that name a folder from the root,
// in order; the loader splits the value at ':' and ';'. *dropped (may be
// null) tells whether an empty or relative entry was left out.
std::string AbsoluteSearchEntries(const std::string& value, bool* dropped);

// Why the loader must not search the entry (of LD_LIBRARY_PATH, or a
// search path a library names), or empty: it is judged by where it leads,
// and must be neither empty nor relative, hold none of the loader's tokens
// ($ORIGIN and the like, which it expands after any check), not be the
// current folder, and pass WhySearchFolderIsUntrusted.
std::string WhySearchEntryIsUntrusted(const std::string& entry);

// The entries of a search path as the loader splits it, at any of the
// separators, the empty ones kept: to the loader they are the current
// folder.
std::vector<std::string> SearchPathEntries(const std::string& value, const char* separators);

// The entries of an LD_LIBRARY_PATH value that may be searched, in order,
// judged by WhySearchEntryIsUntrusted. *dropped (may be null) gets a line
// for each one left out, naming it and why. The value is split at the
// separators (PATH has only ':').
std::string TrustedSearchEntries(const std::string& value, std::vector<std::string>* dropped,
                                 const char* separators = ":;");

// The environment for the programs of a build, which run in its folder:
// this process's, PATH and the compiler's search lists (CPATH,
// C_INCLUDE_PATH, CPLUS_INCLUDE_PATH, OBJC_INCLUDE_PATH, LIBRARY_PATH,
// COMPILER_PATH) judged by TrustedSearchEntries (each left out when no
// entry is kept: an empty one is the current folder), GCC_EXEC_PREFIX
// kept only where its folder passes the same judgement, and the entries
// of LD_PRELOAD, LD_AUDIT and GCONV_PATH that would be found from the
// current folder left out, and MAKEFILES and GNUMAKEFLAGS (which make
// reads before the makefile) left out. *dropped gets a line for each entry
// left out, naming the variable, the entry and why.
std::vector<std::string> ToolEnvironment(std::vector<std::string>* dropped);

// Called first in main, before anything is loaded: with an entry in
// LD_LIBRARY_PATH that TrustedSearchEntries leaves out, or with the
// variable set more than once, the program starts itself again with the
// entries kept of the setting the loader took (the last) as its only one
// (the dynamic loader read the variable when the process started, so
// changing it now would not reach the dependencies of later loads), saying
// so on standard error. Returns when there is nothing
// to leave out; when the program cannot start again, it ends with a line
// that says why.
void RestartWithoutRelativeSearchEntries(char** argv);

}  // namespace platform
