#include "codegen/names.h"

#include <algorithm>
#include <cstring>

#include "daes/procedures/su_proc_def.h"

std::string JoinFolderAndName(const char* folder, const char* name) {
  std::string path = folder != nullptr ? folder : "";
  if (!path.empty() && !codegen::IsSeparator(path.back())) path += codegen::kPathSep;
  if (name != nullptr) path += name;
  return path;
}

std::string ResolvePathInFolder(const char* folder, const char* path) {
  std::string given = path != nullptr ? path : "";
  std::string result;
  const bool absolute = given.find(':') != std::string::npos ||
                        (!given.empty() && codegen::IsSeparator(given.front()));
  if (absolute) {
    result = given;
  } else {
    result = JoinFolderAndName(folder, given.c_str());
  }
  std::replace(result.begin(), result.end(), '\\', '/');
  return result;
}

std::string MakefileName(const char* folder, const char* library) {
  std::string name = "Make";
  name += library != nullptr && library[0] != '\0' ? library : "UserCode";
  return JoinFolderAndName(folder, name.c_str());
}

namespace {
bool PlainByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80 ||
         c == '_' || c == '-' || c == '+' || c == '.';
}
}  // namespace

bool IsPlainFileToken(const std::string& name) {
  if (name.empty() || name.front() == '-' || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return PlainByte(static_cast<unsigned char>(c)); });
}

bool IsPlainName(const std::string& name) {
  if (name.empty() || name.back() == ' ' || name.front() == ' ') return false;
  std::string joined = name;
  std::replace(joined.begin(), joined.end(), ' ', '_');
  return IsPlainFileToken(joined);
}

bool IsPlainPath(const std::string& path) {
  if (path.empty() || path.back() == '\\') return false;
  return std::all_of(path.begin(), path.end(), [](char c) {
    return PlainByte(static_cast<unsigned char>(c)) ||
           (c != '\0' && std::strchr("/\\:,~@ ", c) != nullptr);
  });
}

std::string ShownName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      shown += "\\x";
      shown += kHex[u >> 4];
      shown += kHex[u & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string QuoteIfSpaced(const char* path, const char* suffix) {
  std::string text = path != nullptr ? path : "";
  if (suffix != nullptr) text += suffix;
  if (path != nullptr && std::strchr(path, ' ') != nullptr) return "\"" + text + "\"";
  return text;
}

std::string ArgDimensionName(const char* argument, std::int32_t number, const char* text) {
  if (text == nullptr || text[0] == '\0' || text[0] == '*') {
    return std::string(argument != nullptr ? argument : "") + "Dim" + std::to_string(number);
  }
  return text;
}

std::string InputArgumentName(const SUProcDef& definition, std::int32_t number) {
  const char* name = definition.InputName(number - 1);
  return name != nullptr ? std::string(name) : "InArg" + std::to_string(number);
}

std::string OutputArgumentName(const SUProcDef& definition, std::int32_t number) {
  const char* name = definition.OutputName(number - 1);
  return name != nullptr ? std::string(name) : "OutArg" + std::to_string(number);
}
