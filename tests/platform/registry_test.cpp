#include "platform/registry.h"
#include "platform/registry_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/registry_file.h"

namespace {

using namespace platform;

const char kSample[] =
    "; an installation\n"
    "# another comment\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS]\n"
    "1 = 38.0\n"
    "2 = \"  37.5  \"\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization]\n"
    "DebugPropertyCalls = dword:0000002a\n"
    "[hkey_local_machine\\software\\brunvald\\qvsystem\\38.0\\Dir]\n"
    "@ = the default\n"
    "Root = /opt/qvsystem\n"
    "Bin = \"dword:1\"\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fortran\\beta]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fortran\\190.1]\n"
    "ProductDir = /opt/ifort19\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fortran\\_x]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fortran\\ALPHA]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fortran\\170.0]\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\LumetSystem]\n"
    "1 = 12.1\n";

HKEY Open(HKEY root, const char* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
  return key;
}

std::string Text(HKEY key, const char* name) {
  char buffer[256];
  std::uint32_t size = sizeof buffer;
  std::uint32_t type = REG_NONE;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<std::uint8_t*>(buffer),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return "<none>";
  }
  return std::string(buffer, size - 1);
}

std::vector<std::string> Subkeys(HKEY key) {
  std::vector<std::string> names;
  for (std::uint32_t i = 0;; ++i) {
    char name[256];
    std::uint32_t length = sizeof name;
    const auto result = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(length, std::strlen(name));
    names.push_back(name);
  }
  return names;
}

class Registry : public ::testing::Test {
 protected:
  testsupport::RegistryFile file_{kSample};
};

TEST_F(Registry, KeysOpenWholeOrStepByStepInAnyCase) {
  HKEY whole = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS");
  HKEY brunvald = Open(HKEY_LOCAL_MACHINE, "software\\BRUNVALD");  // no section of its own
  HKEY stepped = Open(brunvald, "QvSystem\\38.0\\compatibility\\kvs");
  EXPECT_EQ(Text(whole, "1"), "38.0");
  EXPECT_EQ(Text(stepped, "1"), "38.0");
  // An empty or null path opens the key again; the copies close separately.
  HKEY again = Open(stepped, "");
  HKEY once_more = Open(stepped, nullptr);
  for (HKEY key : {whole, brunvald, stepped, again, once_more}) {
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
}

TEST_F(Registry, MissingKeysAndValuesAreNotFound) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  // The roots are separate trees.
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "SOFTWARE\\Brunvald", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  HKEY user = Open(HKEY_CURRENT_USER, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility");
  EXPECT_EQ(RegOpenKeyExA(user, "KVS", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);

  HKEY kvs = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS");
  std::uint32_t size = 99;
  EXPECT_EQ(RegQueryValueExA(kvs, "3", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  // A key without "@" has no default value.
  EXPECT_EQ(RegQueryValueExA(kvs, nullptr, nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(kvs);
  RegCloseKey(user);
}

TEST_F(Registry, TextSizesCountTheZeroAndNumbersAreFourLittleEndianBytes) {
  HKEY dir = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir");
  std::uint32_t type = REG_NONE;
  std::uint32_t size = 0;
  ASSERT_EQ(RegQueryValueExA(dir, "ROOT", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, std::strlen("/opt/qvsystem") + 1);

  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  std::uint32_t short_size = size - 1;  // no room for the zero
  EXPECT_EQ(RegQueryValueExA(dir, "Root", nullptr, nullptr,
                             reinterpret_cast<std::uint8_t*>(buffer), &short_size),
            ERROR_MORE_DATA);
  EXPECT_EQ(short_size, size);
  ASSERT_EQ(RegQueryValueExA(dir, "Root", nullptr, nullptr,
                             reinterpret_cast<std::uint8_t*>(buffer), &short_size),
            ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "/opt/qvsystem");
  EXPECT_EQ(buffer[size], '#');  // nothing written past the value

  // The default value answers both the null and the empty name; quotes keep
  // blanks and make "dword:" a text.
  EXPECT_EQ(Text(dir, nullptr), "the default");
  EXPECT_EQ(Text(dir, ""), "the default");
  EXPECT_EQ(Text(dir, "bin"), "dword:1");
  HKEY kvs = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS");
  EXPECT_EQ(Text(kvs, "2"), "  37.5  ");

  HKEY custom = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization");
  std::uint8_t bytes[4] = {};
  size = 3;
  EXPECT_EQ(RegQueryValueExA(custom, "debugpropertycalls", nullptr, &type, bytes, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
  ASSERT_EQ(RegQueryValueExA(custom, "DebugPropertyCalls", nullptr, &type, bytes, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24, 42);
  for (HKEY key : {dir, kvs, custom}) RegCloseKey(key);
}

TEST_F(Registry, SubkeysEnumerateByUpperCaseNameAndKeepTheirSpelling) {
  HKEY fortran = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fortran");
  EXPECT_EQ(Subkeys(fortran),
            (std::vector<std::string>{"170.0", "190.1", "ALPHA", "beta", "_x"}));
  char name[5];
  std::uint32_t length = sizeof name;  // "190.1" needs 6
  EXPECT_EQ(RegEnumKeyExA(fortran, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(length, sizeof name);

  std::uint32_t subkeys = 0, longest_subkey = 0, values = 9;
  ASSERT_EQ(RegQueryInfoKeyA(fortran, nullptr, nullptr, nullptr, &subkeys, &longest_subkey,
                             nullptr, &values, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 5u);
  EXPECT_EQ(longest_subkey, 5u);
  EXPECT_EQ(values, 0u);
  RegCloseKey(fortran);

  HKEY dir = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir");
  std::uint32_t longest_name = 0, longest_data = 0;
  ASSERT_EQ(RegQueryInfoKeyA(dir, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             &values, &longest_name, &longest_data, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(longest_name, 4u);  // "Root"
  EXPECT_EQ(longest_data, std::strlen("/opt/qvsystem") + 1);
  RegCloseKey(dir);
}

TEST_F(Registry, HandlesAreCheckedAndOnlyReadAccessIsGranted) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_WRITE, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0,
                          KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // A closed handle is refused, never used.
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  std::uint32_t size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(nullptr, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, OpenKeysKeepTheirContentsWhenTheFileChanges) {
  HKEY before = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir");
  file_.Rewrite(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir]\n"
      "Root = /srv/qvsystem-new\n");
  HKEY after = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir");
  EXPECT_EQ(Text(after, "Root"), "/srv/qvsystem-new");
  EXPECT_EQ(Text(after, "Bin"), "<none>");
  EXPECT_EQ(Text(before, "Root"), "/opt/qvsystem");
  RegCloseKey(before);
  RegCloseKey(after);
}

TEST(RegistryFile, MissingFileIsAnEmptyRegistry) {
  testsupport::RegistryFile file("");
  setenv("VANTOR_REGISTRY", (file.path().string() + ".absent").c_str(), 1);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  std::uint32_t subkeys = 1;
  EXPECT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subkeys, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
}

// Each kind of bad line between good ones: the bad one goes, the rest stay.
TEST(RegistryFile, BadLinesAreSkippedAndTheRestKept) {
  const std::string long_name(300, 'k');
  const std::string text =
      "\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\A]\r\n"       // byte-order mark, Windows line ends
      "good1 = one\r\n"
      "no equals sign here\n"
      "bad1 = dword:12345678 9\n"                     // not only hex digits
      "bad2 = dword:123456789\n"                      // nine digits
      "bad3 = dword:\n"
      " = nameless\n"
      "bad4 = \x01\x02\n"
      "bad5 = " + std::string(RegistryTree::kMaxLineLength, 'v') + "\n"
      "[HKEY_LOCAL_MACHINE\\A\\Unterminated\n"
      "bad6 = lands nowhere\n"
      "[HKEY_SOMEWHERE\\A]\n"
      "bad7 = lands nowhere\n"
      "[HKEY_LOCAL_MACHINE\\" + long_name + "]\n"
      "bad8 = lands nowhere\n"
      "[HKEY_LOCAL_MACHINE\\A\\\\B\\]\n"              // empty pieces are dropped
      "good2 = dword:FFFFFFFF\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "good1 = later lines win\n"
      "tail = no line break";
  std::vector<std::string> problems;
  auto tree = RegistryTree::Parse(text, &problems);
  const RegistryKey& root = tree->Root(2);
  const RegistryKey* a = root.FindSubkey("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(root.subkeys.size(), 1u);
  ASSERT_EQ(a->values.size(), 2u);
  EXPECT_EQ(a->FindValue("GOOD1")->data, std::string("later lines win", 16));
  EXPECT_EQ(a->FindValue("tail")->data, std::string("no line break", 14));
  ASSERT_EQ(a->subkeys.size(), 1u);
  const RegistryKey* b = a->FindSubkey("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->FindValue("good2")->data, "\xFF\xFF\xFF\xFF");
  EXPECT_EQ(b->values.size(), 1u);
  EXPECT_EQ(problems.size(), 13u);
  EXPECT_EQ(problems.front(), "line 3: no '=' in value line");
}

// The reader must survive any bytes and keep every line that is good.
TEST(RegistryFile, RandomBytesNeverBreakTheReader) {
  std::mt19937 random(20240611);
  const auto garbage = [&](bool allow_newlines) {
    std::string bytes(random() % 300, '\0');
    for (char& c : bytes) {
      c = static_cast<char>(random() % 256);
      if (!allow_newlines && c == '\n') c = '[';
    }
    return bytes;
  };
  std::function<void(const RegistryKey&)> check = [&](const RegistryKey& key) {
    for (const auto& [folded, subkey] : key.subkeys) {
      ASSERT_EQ(folded, FoldName(subkey->name));
      ASSERT_FALSE(subkey->name.empty());
      ASSERT_LE(subkey->name.size(), RegistryTree::kMaxKeyNameLength);
      ASSERT_EQ(subkey->name.find('\\'), std::string::npos);
      check(*subkey);
    }
    for (const auto& [folded, value] : key.values) {
      ASSERT_EQ(folded, FoldName(value.name));
      if (value.type == REG_DWORD) {
        ASSERT_EQ(value.data.size(), 4u);
      } else {
        ASSERT_EQ(value.type, REG_SZ);
        ASSERT_EQ(value.data.find('\0'), value.data.size() - 1);
      }
    }
  };
  for (int round = 0; round < 400; ++round) {
    // Good entries, each behind garbage and its own section line.
    std::string text;
    const int entries = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < entries; ++i) {
      text += garbage(false) + "\n[HKEY_CURRENT_USER\\Good\\K" + std::to_string(i) +
              "]\nvalue = " + std::to_string(i) + "\n";
    }
    text += garbage(true);
    auto tree = RegistryTree::Parse(text, nullptr);
    for (int root = 0; root < RegistryTree::kRootCount; ++root) check(tree->Root(root));
    const RegistryKey* good = tree->Root(1).FindSubkey("Good");
    ASSERT_NE(good, nullptr);
    for (int i = 0; i < entries; ++i) {
      const RegistryKey* key = good->FindSubkey("K" + std::to_string(i));
      ASSERT_NE(key, nullptr);
      const RegistryValue* value = key->FindValue("value");
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->data, std::to_string(i) + '\0');
    }
    // The sample with bytes overwritten at random.
    std::string damaged = kSample;
    for (int i = 0; i < 20; ++i) damaged[random() % damaged.size()] = static_cast<char>(random());
    auto damaged_tree = RegistryTree::Parse(damaged, nullptr);
    for (int root = 0; root < RegistryTree::kRootCount; ++root) check(damaged_tree->Root(root));
  }
}

}  // namespace
