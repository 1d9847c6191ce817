// The system loader's own search, which finds every library's dependencies,
// must never reach the current folder: it is the run folder, which other
// users may write to. An empty or relative entry of LD_LIBRARY_PATH would
// have it look there, so the engine never runs with one.
#pragma once

#include <string>

namespace platform {

// The entries of an LD_LIBRARY_PATH value that name a folder from the root,
// in order; the loader splits the value at ':' and ';'. *dropped (may be
// null) tells whether an empty or relative entry was left out.
std::string AbsoluteSearchEntries(const std::string& value, bool* dropped);

// Called first in main, before anything is loaded: with an empty or
// relative entry in LD_LIBRARY_PATH, the program starts itself again
// without those entries (the dynamic loader read the variable when the
// process started, so changing it now would not reach the dependencies of
// later loads), saying so on standard error. Returns when there is nothing
// to leave out; when the program cannot start again, it ends with a line
// that says why.
void RestartWithoutRelativeSearchEntries(char** argv);

}  // namespace platform
