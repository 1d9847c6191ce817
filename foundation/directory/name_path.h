// Dotted, indexed name paths as users and the client write them
// ("Plant.Tank(1).Level", "Blocks(\"T 1\").*"), and the match of one path
// component against one node name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Results of MatchNamePattern.
inline constexpr std::int32_t kNameNoMatch = 0;
inline constexpr std::int32_t kNameWildMatch = 1;
inline constexpr std::int32_t kNameExactMatch = 2;
inline constexpr std::int32_t kNameAnyComponent = 3;
inline constexpr std::int32_t kNamePrefixMatch = 4;

// Splits a path into components: the first is the text before the first
// separator, every later one begins with its "." or "(" (an index keeps its
// ")"). Separators inside double quotes do not split, nor does the "(" of a
// "Blocks(" or "Streams(" qualifier at the start or after a ".". A null path
// is the one component "~" (everything); an empty path has none. Returns
// the number of components.
std::int32_t SplitNamePath(const char* text, std::vector<std::string>* components);

// Matches a whole name against a pattern, letters in any case: 3 for the
// pattern "~" alone, 2 when equal, 1 when equal using "?" (any one
// character) or "*" (any run), 4 when prefixes are allowed and the pattern
// matched only the beginning of the name, else 0. Quoted parts of the
// pattern match literally. "*" takes the first occurrence of the character
// after it and never backtracks, so "a*b" does not match "axbyb".
std::int32_t MatchNamePattern(const char* name, const char* pattern, bool allow_prefix);

// ASCII letters in upper case; every other byte as it is.
inline char FoldedLetter(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Equal with letters in any case (how names are compared across two trees).
bool SameNameAnyCase(const char* a, const char* b);
// The text with its letters in upper case, as a key for such comparisons.
std::string FoldedName(const char* text);
