#include "platform/registry_tree.h"

#include <array>

#include "platform/registry.h"

namespace platform {

namespace {

constexpr std::array<std::string_view, RegistryTree::kRootCount> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool HasControlCharacters(std::string_view line) {
  for (unsigned char c : line) {
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  }
  return false;
}

bool StartsWithFolded(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && FoldName(s.substr(0, prefix.size())) == prefix;
}

// Exactly 1 to 8 hexadecimal digits.
bool ParseDword(std::string_view digits, std::uint32_t* value) {
  if (digits.empty() || digits.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : digits) {
    std::uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    v = (v << 4) | d;
  }
  *value = v;
  return true;
}

class Parser {
 public:
  Parser(RegistryKey* roots, std::vector<std::string>* problems)
      : roots_(roots), problems_(problems) {}

  void Line(std::size_t number, std::string_view raw) {
    number_ = number;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (raw.size() > RegistryTree::kMaxLineLength) return Skip("line too long");
    if (HasControlCharacters(raw)) return Skip("control characters");
    const std::string_view line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') return;
    if (line[0] == '[') return Section(line);
    Value(line);
  }

 private:
  void Skip(const char* reason) {
    if (problems_ != nullptr) {
      problems_->push_back("line " + std::to_string(number_) + ": " + reason);
    }
  }

  void Section(std::string_view line) {
    current_ = nullptr;  // until this header proves good
    if (line.back() != ']') return Skip("section without ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    std::vector<std::string_view> pieces;
    while (!path.empty()) {
      const auto cut = path.find('\\');
      const std::string_view piece = path.substr(0, cut);
      if (piece.size() > RegistryTree::kMaxKeyNameLength) return Skip("key name too long");
      if (!piece.empty()) pieces.push_back(piece);
      if (cut == std::string_view::npos) break;
      path.remove_prefix(cut + 1);
    }
    RegistryKey* key = nullptr;
    for (int i = 0; i < RegistryTree::kRootCount && !pieces.empty(); ++i) {
      if (FoldName(pieces[0]) == kRootNames[i]) key = &roots_[i];
    }
    if (key == nullptr) return Skip("unknown root key");
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      auto& slot = key->subkeys[FoldName(pieces[i])];
      if (!slot) {
        slot = std::make_unique<RegistryKey>();
        slot->name = std::string(pieces[i]);
      }
      key = slot.get();
    }
    current_ = key;
  }

  void Value(std::string_view line) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return Skip("no '=' in value line");
    std::string_view name = Trim(line.substr(0, equals));
    std::string_view text = Trim(line.substr(equals + 1));
    if (name.empty()) return Skip("value without a name");
    if (current_ == nullptr) return Skip("value outside a good section");
    if (name == "@") name = {};

    RegistryValue value;
    value.name = std::string(name);
    if (StartsWithFolded(text, "DWORD:")) {
      std::uint32_t number = 0;
      if (!ParseDword(text.substr(6), &number)) return Skip("bad dword");
      value.type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) {
        value.data.push_back(static_cast<char>((number >> shift) & 0xFFu));
      }
    } else {
      if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
      }
      value.type = REG_SZ;
      value.data = std::string(text);
      value.data.push_back('\0');
    }
    current_->values[FoldName(name)] = std::move(value);  // a later line wins
  }

  RegistryKey* roots_;
  std::vector<std::string>* problems_;
  RegistryKey* current_ = nullptr;
  std::size_t number_ = 0;
};

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

const RegistryKey* RegistryKey::FindSubkey(std::string_view name) const {
  const auto it = subkeys.find(FoldName(name));
  return it == subkeys.end() ? nullptr : it->second.get();
}

const RegistryValue* RegistryKey::FindValue(std::string_view name) const {
  const auto it = values.find(FoldName(name));
  return it == values.end() ? nullptr : &it->second;
}

RegistryTree::RegistryTree() {
  for (int i = 0; i < kRootCount; ++i) roots_[i].name = std::string(kRootNames[i]);
}

std::shared_ptr<const RegistryTree> RegistryTree::Parse(std::string_view text,
                                                        std::vector<std::string>* problems) {
  auto tree = std::make_shared<RegistryTree>();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Parser parser(tree->roots_, problems);
  std::size_t number = 1;
  while (!text.empty()) {
    const auto end = text.find('\n');
    parser.Line(number++, text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return tree;
}

}  // namespace platform
