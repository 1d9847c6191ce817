// Starting, watching and stopping child processes, and what the system says
// about this machine's user and version. A command line is one text split
// into words as Windows splits it, so that command lines composed for the
// engine's children read the same on both platforms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Words of a command line: blanks and tabs separate them, double quotes
// group, a quote preceded by backslashes keeps one backslash per pair and is
// a literal quote when their number is odd, backslashes elsewhere are
// literal, and "" inside quotes is a literal quote. The first word (the
// program) knows quotes but no backslash escapes.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The program as an absolute path: a path with a folder is made absolute
// against the current folder; a bare name is looked for along PATH only
// (never in the current folder, which may be a folder others write in;
// empty and relative PATH entries are skipped). Unchanged when nothing is
// found.
std::string LocateProgram(const std::string& program);
// The same along the PATH value given.
std::string LocateProgram(const std::string& program, const std::string& path);

// The folder part of a path ("" when it has none); '\' counts as '/'.
std::string FolderOf(const std::string& path);

// Starts argv[0] (searched as LocateProgram does when it has no folder;
// ENOENT when it is not found) with the words
// as its arguments, in the given folder when one is given, with the
// default signal mask and dispositions, in a process group of its own. The
// process id, or -1 with *error set when it cannot be started.
int SpawnProcess(const std::vector<std::string>& argv, const std::string& folder, int* error);

// True once the child has ended (its status is collected then; *exit_code
// is its exit code, or 128 + the signal that ended it).
bool ChildHasEnded(int pid, int* exit_code);

// Kills the child with its process group and waits for it; *exit_code as
// above.
void KillChild(int pid, int* exit_code);

// The name of the user running this process.
std::string CurrentUserName();

// The release of the running kernel as major and minor numbers.
bool SystemVersion(int* major, int* minor);

// The process id of this process's parent; a process whose parent ended is
// handed to another one, so a change tells that the parent is gone.
int ParentProcessId();
// Tests stand in a parent id; 0 goes back to the real one.
void SetParentProcessIdForTesting(int pid);

}  // namespace platform
