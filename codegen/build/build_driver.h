// The build driver: writes the build script "domake_N.sh" for a generated
// makefile, runs it with its output passed line by line to the caller, and
// reports the result; and the summary line that closes a generation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codegen/procedures/generate.h"

namespace codegen {
inline constexpr Status kWarning = 0x40000000u;
inline constexpr const char* kMakeCommand = "make -f ";

// The process-wide warning count beside ErrorCount(); a warning report
// adds one.
std::int32_t WarningCount();
void ResetWarningCount();
void Warning(const CodegenReport& report, const char* format, const char* text1);

// The script text: the environment file sourced when one is given, the
// change to the build folder when one is given, the file-creation mask
// (`mask`, octal), PATH without its empty and relative entries (which
// would find programs in the build folder; with none left, system_path
// and a line saying so, or when that is empty a line and the end of the
// script), then make by its path. After the environment file, each of
// `judged` ("NAME=value", or "NAME" for one unset) that the file changed
// ends the script with a line.
std::string BuildScriptText(const char* environment_file, const char* build_folder,
                            const std::string& make, const std::string& command, std::uint32_t mask,
                            const std::string& system_path,
                            const std::vector<std::string>& judged = {});
// The system's tool folders, as the build's PATH when it is left none:
// those of /usr/local/bin, /usr/bin and /bin that the PATH rule keeps.
std::string SystemPath();
// The mask the build runs under: the engine's, never letting group or
// others write what the compiler and linker make (a library must not be
// opened for writing by someone else before its mode is closed).
std::uint32_t BuildUmask();

// A text as one word of the build script.
std::string ShellQuoted(const std::string& text);
// A name as one word of the build script: as it is when it is a plain file
// token, else in single quotes.
std::string ShellWord(const std::string& text);

// The lowest N from 0 with nothing named "domake_N.sh" in the folder.
int NextScriptNumber(const std::string& folder);

// Before a build: each file it reads that someone besides this user (or
// root) could have changed, by the rule of the library loader, is reported
// with why and the chmod that would mend it: 0x8000FFFF, and the build must
// not run; else 0. A file that is not there is passed over (make says so).
Status RefuseOpenBuildInputs(const CodegenReport& report, const std::vector<std::string>& files);

// Before a build: a source compiled where it lies, outside the build
// folder, whose folder the build folder's rule refuses (the compiler takes
// a header named in quotes from beside the source first) is reported with
// why: 0x8000FFFF, and the build must not run; else 0. A source that is
// not there is passed over.
Status RefuseOpenSourceFolders(const CodegenReport& report, const std::string& build_folder,
                               const std::vector<std::string>& sources);

// Before a build: each folder its compiler and linker search for headers
// and libraries (-I, -L, the folders of the archives linked) that
// someone besides its owner could make names in, sticky or not, by the
// rule of a library search folder, is reported with why and what would
// mend it: 0x8000FFFF, and the build must not run; else 0.
// named_by (may be null) is added to each line, after what is usable.
Status RefuseOpenSearchFolders(const CodegenReport& report, const std::vector<std::string>& folders,
                               const char* named_by = nullptr);

// Before a build: every folder the makefile's compile and link lines have
// searched (the installation's and the user's own, USERINCLUDEPATHS and
// USERLIBPATHS among them), as make in the build folder with that
// environment would expand them, judged as above; and a line whose search
// folder only make could tell is refused, as is a makefile it includes
// that is there and fails the makefile's own check. 0x8000FFFF with a line
// for each, else 0. *from_environment (may be null) gets the variables
// the reading took from the environment.
Status RefuseOpenMakefileSearch(const CodegenReport& report, const std::string& makefile,
                                const std::string& build_folder,
                                const std::vector<std::string>& environment,
                                std::vector<std::string>* from_environment = nullptr);

// Why nothing may be written through the path, or empty: a symbolic link
// on its way (its own name included) that belongs to neither this user nor
// root. Planted in a shared folder, it would lead the writes elsewhere.
// A relative path is taken from the current folder; the walk ends at the
// first name that is not there.
std::string WhyPathLeadsThroughOthersLink(const std::string& path);

// After a build that succeeded: the library it made loses group's and
// others' write permission, which the process's umask may have given it,
// since the loader refuses a library anyone else could change. A library
// that is not there is passed over (a user's makefile may build others);
// one that is a link, not a regular file or not this user's is reported
// and left as it is: 0, else 0x8000FFFF.
Status CloseBuiltLibrary(const CodegenReport& report, const std::string& path);
}  // namespace codegen

// Builds the library's makefile ("Make" + library) in the build folder (the
// current one when null). With the run flag off only the command hint is
// reported. 0, 0xA000FFFF when no compiler is found, 0x8000FFFF when the
// folder is one others can make names in, the script cannot be written or
// run, or make fails. The quiet flag (or no callback) keeps every message
// back. The build runs in a child process of its own folder, so the folder
// to return to is never left; its programs get platform::ToolEnvironment
// (with SystemPath when that leaves no PATH), and make reads the makefile
// that was checked, and the script the environment file (VSENVBATFILE, a
// relative name taken in the build folder), through descriptors.
Status RunNmakeBuild(const CodegenReport& report, const char* return_folder,
                     const char* build_folder, const char* library, bool run, bool delete_makefile,
                     const char* target, bool quiet, bool fortran);

// The closing line "<errors and warnings> <activity>. See above for more
// details.\n" from the counters and the number of referenced libraries;
// nothing when all three are 0.
void SummariseBuildOutput(const CodegenReport& report, const char* activity,
                          std::int32_t libraries);
