#include "foundation/directory/name_path.h"

#include <cstring>

namespace {

// The "(" after these stays inside the component.
bool IsQualifier(const std::string& component) {
  const std::string word =
      !component.empty() && component[0] == '.' ? component.substr(1) : component;
  return SameNameAnyCase(word.c_str(), "Blocks") || SameNameAnyCase(word.c_str(), "Streams");
}

}  // namespace

std::int32_t SplitNamePath(const char* text, std::vector<std::string>* components) {
  components->clear();
  if (text == nullptr) {
    components->emplace_back("~");
    return 1;
  }
  std::string current;
  bool quoted = false;
  for (const char* at = text; *at != '\0'; ++at) {
    const char c = *at;
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == '.' || c == '(') && !(c == '(' && IsQualifier(current))) {
      if (!current.empty()) components->push_back(std::move(current));
      current.assign(1, c);
      continue;
    }
    current += c;
  }
  if (!current.empty()) components->push_back(std::move(current));
  return static_cast<std::int32_t>(components->size());
}

std::int32_t MatchNamePattern(const char* name, const char* pattern, bool allow_prefix) {
  if (name == nullptr) name = "";
  if (pattern == nullptr) pattern = "";
  if (std::strcmp(pattern, "~") == 0) return kNameAnyComponent;
  const char* n = name;
  const char* p = pattern;
  bool quoted = false;
  bool wild = false;
  while (*p != '\0') {
    if (!quoted && *p == '~') {
      ++p;
      continue;
    }
    if (!quoted && *p == '?') {
      if (*n == '\0') return kNameNoMatch;
      wild = true;
      ++n;
      ++p;
      continue;
    }
    if (!quoted && *p == '*') {
      wild = true;
      while (*p == '*' || *p == '~') ++p;
      if (*p == '\0') return kNameWildMatch;
      if (*p == '?') continue;
      while (*n != '\0' && FoldedLetter(*n) != FoldedLetter(*p)) ++n;
      if (*n == '\0') return kNameNoMatch;
      continue;
    }
    if (*n == '\0' || FoldedLetter(*n) != FoldedLetter(*p)) return kNameNoMatch;
    if (*p == '"') quoted = !quoted;
    ++n;
    ++p;
  }
  if (*n == '\0') return wild ? kNameWildMatch : kNameExactMatch;
  return allow_prefix ? kNamePrefixMatch : kNameNoMatch;
}

bool SameNameAnyCase(const char* a, const char* b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  while (*a != '\0' && FoldedLetter(*a) == FoldedLetter(*b)) {
    ++a;
    ++b;
  }
  return *a == '\0' && *b == '\0';
}

std::string FoldedName(const char* text) {
  std::string folded(text != nullptr ? text : "");
  for (char& c : folded) c = FoldedLetter(c);
  return folded;
}
