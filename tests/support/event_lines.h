// The engine's event lines as it wrote them. The message printer cuts a
// line longer than 256 characters at its last word boundary (a blank or
// punctuation, which starts the next line), or at 256 when there is none;
// a phrase holding a long path is then split over two lines. Joining them
// again lets a test look for the phrase whatever the machine's folder
// names.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// True when `next` may be the rest of `line` cut by the printer: together
// they held a full line, and `next` starts where a cut may fall.
inline bool ContinuesLine(const std::string& line, const std::string& next) {
  constexpr std::size_t kFullLine = 256;
  if (line.empty() || next.empty() || line.size() + next.size() < kFullLine) return false;
  if (line.size() == kFullLine) return true;
  const auto c = static_cast<unsigned char>(next[0]);
  const bool word = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  // A UTF-8 sequence is never cut inside: its first byte may start the rest.
  return c >= 0xC0 || (c < 0x80 && !word && c != '"');
}

inline std::vector<std::string> UnwrappedLines(const std::vector<std::string>& lines) {
  std::vector<std::string> joined;
  std::string last;  // the last piece of the line being joined
  for (const std::string& line : lines) {
    if (!joined.empty() && ContinuesLine(last, line)) {
      joined.back() += line;
    } else {
      joined.push_back(line);
    }
    last = line;
  }
  return joined;
}

}  // namespace testsupport
