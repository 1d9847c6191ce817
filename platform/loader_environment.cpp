#include "platform/loader_environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dynamic_library.h"

extern char** environ;

namespace platform {

namespace {
constexpr char kVariable[] = "LD_LIBRARY_PATH";

bool IsSetting(const char* entry) {
  return std::strncmp(entry, kVariable, sizeof kVariable - 1) == 0 &&
         entry[sizeof kVariable - 1] == '=';
}
}  // namespace

std::string AbsoluteSearchEntries(const std::string& value, bool* dropped) {
  std::string kept;
  bool left_out = false;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = value.find_first_of(":;", begin);
    const std::string entry = value.substr(begin, end == std::string::npos ? end : end - begin);
    if (!entry.empty() && entry[0] == '/') {
      if (!kept.empty()) kept += ':';
      kept += entry;
    } else {
      left_out = true;
    }
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (dropped != nullptr) *dropped = left_out;
  return kept;
}

std::string WhySearchEntryIsUntrusted(const std::string& entry) {
  if (entry.empty() || entry[0] != '/') return "it is empty or relative";
  // Checked here as written, searched as the loader expands it.
  if (entry.find('$') != std::string::npos) return "it holds the loader's tokens ($)";
  std::string resolved;
  if (std::string why = WhySearchFolderIsUntrusted(entry, &resolved); !why.empty()) return why;
  struct stat here {
  }, s{};
  if (!resolved.empty() && ::stat(".", &here) == 0 && ::stat(resolved.c_str(), &s) == 0 &&
      s.st_dev == here.st_dev && s.st_ino == here.st_ino) {
    return "it is the current folder";
  }
  return {};
}

std::vector<std::string> SearchPathEntries(const std::string& value, const char* separators) {
  std::vector<std::string> entries;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = value.find_first_of(separators, begin);
    entries.push_back(value.substr(begin, end == std::string::npos ? end : end - begin));
    if (end == std::string::npos) return entries;
    begin = end + 1;
  }
}

std::string TrustedSearchEntries(const std::string& value, std::vector<std::string>* dropped,
                                 const char* separators) {
  std::string kept;
  for (const std::string& entry : SearchPathEntries(value, separators)) {
    if (const std::string why = WhySearchEntryIsUntrusted(entry); why.empty()) {
      if (!kept.empty()) kept += ':';
      kept += entry;
    } else if (dropped != nullptr) {
      dropped->push_back("\"" + entry + "\": " + why);
    }
  }
  return kept;
}

namespace {

// The value without the entries that `relative` picks out, or the value
// as it is when none is; each one left out gets a line in *dropped.
std::string WithoutRelativeEntries(const char* variable, const std::string& value,
                                   const char* separators, bool (*relative)(const std::string&),
                                   std::vector<std::string>* dropped) {
  std::string kept;
  bool left_out = false;
  for (const std::string& entry : SearchPathEntries(value, separators)) {
    if (relative(entry)) {
      left_out = true;
      if (!entry.empty()) {
        dropped->push_back(std::string(variable) + " entry \"" + entry +
                           "\": it is relative, found from the build's folder");
      }
    } else if (!entry.empty()) {
      if (!kept.empty()) kept += ':';
      kept += entry;
    }
  }
  return left_out ? kept : value;
}

// A library named without a '/' is searched for as a dependency is, never
// in the current folder; one with a '/' is opened as it is written.
bool OpenedFromHere(const std::string& entry) {
  return entry.find('/') != std::string::npos && entry[0] != '/';
}
bool NotFromTheRoot(const std::string& entry) { return entry.empty() || entry[0] != '/'; }

}  // namespace

std::vector<std::string> ToolEnvironment(std::vector<std::string>* dropped) {
  struct Judged {
    const char* name;
    const char* separators;
    bool (*relative)(const std::string&);
  };
  // The loader splits LD_PRELOAD at spaces too.
  static constexpr Judged kJudged[] = {{"LD_PRELOAD", ": ", OpenedFromHere},
                                       {"LD_AUDIT", ":", OpenedFromHere},
                                       {"GCONV_PATH", ":", NotFromTheRoot}};
  const auto named = [](const char* entry, const char* name) {
    const std::size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
  };
  // Folders the shell finds programs in and the compiler finds headers,
  // libraries and its own parts in: each one judged as a search folder.
  // An empty entry is the current folder to each of them.
  static constexpr const char* kFolderLists[] = {
      "PATH",         "CPATH",        "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH",
      "LIBRARY_PATH", "COMPILER_PATH"};
  // Makefiles make reads before the build's, and options (-I, -f) it
  // takes as given: neither is judged, so neither reaches make.
  static constexpr const char* kMakes[] = {"MAKEFILES", "GNUMAKEFLAGS"};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool judged = named(*entry, "GCC_EXEC_PREFIX");
    for (const char* make : kMakes) {
      if (!named(*entry, make)) continue;
      judged = true;
      dropped->push_back(std::string(make) + " \"" + (*entry + std::strlen(make) + 1) +
                         "\": make would read what it names unjudged");
    }
    for (const char* list : kFolderLists) judged = judged || named(*entry, list);
    for (const Judged& variable : kJudged) judged = judged || named(*entry, variable.name);
    if (!judged) environment.emplace_back(*entry);
  }
  // getenv's value, the first setting: the one the engine itself goes by.
  for (const char* list : kFolderLists) {
    const char* value = std::getenv(list);
    if (value == nullptr) continue;
    std::vector<std::string> left_out;
    const std::string kept = TrustedSearchEntries(value, &left_out, ":");
    for (const std::string& line : left_out) dropped->push_back(list + (" entry " + line));
    if (!kept.empty()) environment.push_back(list + ("=" + kept));
  }
  // A prefix the compiler puts before the names of its own programs: its
  // folder judged as one.
  if (const char* prefix = std::getenv("GCC_EXEC_PREFIX"); prefix != nullptr) {
    const std::string value = prefix;
    const std::size_t cut = value.rfind('/');
    const std::string folder = cut == std::string::npos ? std::string() : value.substr(0, cut + 1);
    if (const std::string why = WhySearchEntryIsUntrusted(folder); why.empty()) {
      environment.push_back("GCC_EXEC_PREFIX=" + value);
    } else {
      dropped->push_back("GCC_EXEC_PREFIX \"" + value + "\": " + why);
    }
  }
  for (const Judged& variable : kJudged) {
    const char* value = std::getenv(variable.name);
    if (value == nullptr) continue;
    const std::string kept = WithoutRelativeEntries(variable.name, value, variable.separators,
                                                    variable.relative, dropped);
    if (!kept.empty()) environment.push_back(std::string(variable.name) + "=" + kept);
  }
  return environment;
}

void RestartWithoutRelativeSearchEntries(char** argv) {
  // The dynamic loader took the last of several settings; getenv sees the
  // first.
  const char* value = nullptr;
  int settings = 0;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (IsSetting(*entry)) {
      value = *entry + sizeof kVariable;
      ++settings;
    }
  }
  if (settings == 0) return;
  std::vector<std::string> dropped;
  const std::string kept = TrustedSearchEntries(value, &dropped);
  // An empty value names no folder at all.
  if (settings == 1 && (*value == '\0' || dropped.empty())) return;
  const std::string again = kept.empty() ? "without it" : "with \"" + kept + "\"";
  if (settings > 1) {
    std::fprintf(stderr, "vantor: LD_LIBRARY_PATH is set %d times; the loader took \"%s\"\n",
                 settings, value);
  }
  for (const std::string& entry : dropped) {
    std::fprintf(stderr, "vantor: LD_LIBRARY_PATH entry %s\n", entry.c_str());
  }
  std::fprintf(stderr,
               "vantor: LD_LIBRARY_PATH \"%s\" would load libraries from the current folder or "
               "one others can change; starting again %s\n",
               value, again.c_str());
  std::fflush(stderr);
  // The environment as it is, the variable replaced (or left out when
  // nothing is kept).
  const std::string setting = std::string(kVariable) + "=" + kept;
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsSetting(*entry)) environment.push_back(*entry);
  }
  if (!kept.empty()) environment.push_back(const_cast<char*>(setting.c_str()));
  environment.push_back(nullptr);
  ::execve("/proc/self/exe", argv, environment.data());
  std::fprintf(stderr, "vantor: cannot start again without those entries (%s); not starting\n",
               std::strerror(errno));
  std::exit(1);
}

}  // namespace platform
