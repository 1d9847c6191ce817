// Names the code generators and build writers share: folder joins, the
// makefile name, quoting, and the argument and dimension names of generated
// sources.
#pragma once

#include <cstdint>
#include <string>

class SUProcDef;

namespace codegen {
inline constexpr char kPathSep = '/';
inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }
}  // namespace codegen

// Folder, a separator unless the folder is empty or ends in one, the name.
std::string JoinFolderAndName(const char* folder, const char* name);
// A relative path is taken inside the folder; every '\' becomes '/'.
std::string ResolvePathInFolder(const char* folder, const char* path);
// "Make" + the library name ("UserCode" when none), inside the folder.
std::string MakefileName(const char* folder, const char* library);
// Names from a request or a model reach makefiles and the build script,
// where make and the shell would read "$(...)", quotes, separators and line
// breaks as code. A plain token is one file name: letters, digits, bytes of
// non-ASCII characters, '_', '-', '+' and '.', not empty and not starting
// with '-' or '.'. A plain name is a token that may hold blanks between
// its words (an export's name). A plain path adds the folder separators,
// ':', ',', '~', '@' and the blank, and does not end in '\'.
bool IsPlainFileToken(const std::string& name);
bool IsPlainName(const std::string& name);
bool IsPlainPath(const std::string& path);
// The text for a message: line breaks, tabs and other control bytes shown
// as escapes.
std::string ShownName(const std::string& name);
// Path + suffix, in double quotes when the path holds a blank.
std::string QuoteIfSpaced(const char* path, const char* suffix);
// The dimension text, or argument name + "Dim" + number when it starts
// with '*'.
std::string ArgDimensionName(const char* argument, std::int32_t number, const char* text);
// The 1-based input's or output's name, or "InArg%d"/"OutArg%d".
std::string InputArgumentName(const SUProcDef& definition, std::int32_t number);
std::string OutputArgumentName(const SUProcDef& definition, std::int32_t number);
