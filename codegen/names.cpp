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
