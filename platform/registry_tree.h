// The registry held in memory: the keys and values read from one registry
// text file. A tree is built once per read of the file and never changes
// afterwards, so open keys may share it across threads. Owned through a
// shared pointer by the registry loader and by every key handle opened in it.
//
// The file is lines of text:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Brunvald\QVSystem\38.0\Dir]   a key path
//   Root = /opt/qvsystem                                        a text value
//   DebugPropertyCalls = dword:00000001                         a number
//   @ = text                                                    the key's default value
// Blank lines and lines starting with ';' or '#' are comments. A text value
// may be enclosed in double quotes, which are removed (for leading or trailing
// blanks, or a text that starts with "dword:"). A section creates the keys on
// its path, so the keys below a section are its subsections.
//
// A bad line never stops the reading: it is skipped and noted in problems.
// Bad lines are those over kMaxLineLength bytes, those holding control
// characters other than tab, a section without its closing ']', with an
// unknown root or a key name over 255 bytes, a value line without '=' or
// without a name, and a dword that is not 1 to 8 hexadecimal digits. After a
// bad section line the value lines up to the next good section are skipped
// too, so that they never land in the key before.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct RegistryValue {
  std::string name;        // as written; empty for the default value
  std::uint32_t type = 0;  // REG_SZ or REG_DWORD
  std::string data;        // a text with its terminating zero, or 4 bytes little-endian
};

struct RegistryKey {
  std::string name;  // as first written
  // Keyed by the upper-case form of the name: the enumeration order.
  std::map<std::string, std::unique_ptr<RegistryKey>> subkeys;
  std::map<std::string, RegistryValue> values;

  const RegistryKey* FindSubkey(std::string_view name) const;
  const RegistryValue* FindValue(std::string_view name) const;
};

class RegistryTree {
 public:
  static constexpr std::size_t kMaxLineLength = 8192;
  static constexpr std::size_t kMaxKeyNameLength = 255;
  static constexpr int kRootCount = 3;

  RegistryTree();

  // Never fails; each skipped line adds "line N: reason" to problems.
  static std::shared_ptr<const RegistryTree> Parse(std::string_view text,
                                                   std::vector<std::string>* problems);

  // 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE.
  const RegistryKey& Root(int index) const { return roots_[index]; }

 private:
  RegistryKey roots_[kRootCount];
};

// Upper-case form used to compare key and value names.
std::string FoldName(std::string_view name);

}  // namespace platform
