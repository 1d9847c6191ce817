#include "platform/registry.h"
#include "platform/registry_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/registry_file.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

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
const char kQv[] = "SOFTWARE\\Brunvald\\QVSystem\\38.0\\";

HKEY Open(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << path;
  return key;
}

// One value query with `room` bytes of buffer (none: data null); the buffer's
// byte after the answer must be untouched.
struct Answer {
  std::int32_t result;
  std::uint32_t type, size;
  std::string data;  // texts without their zero
};

Answer Query(HKEY key, const char* name, std::uint32_t room = 64) {
  std::string buffer(room + 1, '#');
  Answer a{0, REG_NONE, room, ""};
  a.result =
      RegQueryValueExA(key, name, nullptr, &a.type,
                       room == 0 ? nullptr : reinterpret_cast<std::uint8_t*>(&buffer[0]), &a.size);
  if (a.result == ERROR_SUCCESS && room > 0) {
    EXPECT_EQ(buffer[a.size], '#') << "written past the value";
    a.data = buffer.substr(0, a.size);
    if (a.type == REG_SZ && !a.data.empty() && a.data.back() == '\0') a.data.pop_back();
  }
  return a;
}

std::string Text(HKEY key, const char* name) {
  const Answer a = Query(key, name);
  return a.result == ERROR_SUCCESS && a.type == REG_SZ ? a.data : "<none>";
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
  HKEY whole = Open(HKEY_LOCAL_MACHINE, std::string(kQv) + "Compatibility\\KVS");
  HKEY brunvald = Open(HKEY_LOCAL_MACHINE, "software\\BRUNVALD");  // no section of its own
  HKEY stepped = Open(brunvald, "QvSystem\\38.0\\compatibility\\kvs");
  EXPECT_EQ(Text(whole, "1"), "38.0");
  EXPECT_EQ(Text(stepped, "1"), "38.0");
  // An empty or null path opens the key again; the copies close separately.
  HKEY again = Open(stepped, "");
  HKEY once_more = nullptr;
  EXPECT_EQ(RegOpenKeyExA(stepped, nullptr, 0, KEY_READ, &once_more), ERROR_SUCCESS);
  for (HKEY key : {whole, brunvald, stepped, again, once_more}) {
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  // Missing keys, and the roots are separate trees.
  for (const auto& [root, path] :
       {std::pair{HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody"},
        {HKEY_CLASSES_ROOT, "SOFTWARE"},
        {HKEY_CURRENT_USER, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\KVS"}}) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExA(root, path, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << path;
    EXPECT_EQ(key, nullptr);
  }
}

TEST_F(Registry, ValuesAnswerWithTypeSizeAndData) {
  const std::string dir = std::string(kQv) + "Dir", kvs = std::string(kQv) + "Compatibility\\KVS",
                    custom = std::string(kQv) + "Customization";
  const struct {
    const std::string& key;
    const char* name;
    std::uint32_t room;
    std::int32_t result;
    std::uint32_t type, size;
    std::string data;
  } cases[] = {
      {dir, "ROOT", 0, ERROR_SUCCESS, REG_SZ, 14, ""},  // sizes count the zero
      {dir, "Root", 13, ERROR_MORE_DATA, REG_SZ, 14, ""},
      {dir, "Root", 14, ERROR_SUCCESS, REG_SZ, 14, "/opt/qvsystem"},
      // The default value answers both names; quotes keep blanks and make
      // "dword:" a text.
      {dir, nullptr, 64, ERROR_SUCCESS, REG_SZ, 12, "the default"},
      {dir, "", 64, ERROR_SUCCESS, REG_SZ, 12, "the default"},
      {dir, "bin", 64, ERROR_SUCCESS, REG_SZ, 8, "dword:1"},
      {kvs, "2", 64, ERROR_SUCCESS, REG_SZ, 9, "  37.5  "},
      {kvs, "3", 0, ERROR_FILE_NOT_FOUND, REG_NONE, 0, ""},
      {kvs, nullptr, 0, ERROR_FILE_NOT_FOUND, REG_NONE, 0, ""},  // no "@"
      {custom, "debugpropertycalls", 3, ERROR_MORE_DATA, REG_DWORD, 4, ""},
      {custom, "DebugPropertyCalls", 4, ERROR_SUCCESS, REG_DWORD, 4, std::string("*\0\0\0", 4)},
  };
  for (const auto& c : cases) {
    HKEY key = Open(HKEY_LOCAL_MACHINE, c.key);
    const Answer a = Query(key, c.name, c.room);
    const std::string what = c.key + " " + (c.name ? c.name : "(null)");
    EXPECT_EQ(a.result, c.result) << what;
    if (c.result != ERROR_FILE_NOT_FOUND) {
      EXPECT_EQ(a.type, c.type) << what;
      EXPECT_EQ(a.size, c.size) << what;
      EXPECT_EQ(a.data, c.data) << what;
    }
    RegCloseKey(key);
  }
}

TEST_F(Registry, TextValuesReadWithinTheCallersLimit) {
  HKEY dir = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir", 0,
                          KEY_READ, &dir),
            ERROR_SUCCESS);
  std::string text = "kept";
  EXPECT_TRUE(RegQueryText(dir, "Root", 0, &text));
  EXPECT_EQ(text, "/opt/qvsystem");
  // "/opt/qvsystem" takes 14 bytes with its zero.
  EXPECT_TRUE(RegQueryText(dir, "Root", 14, &text));
  text = "kept";
  EXPECT_FALSE(RegQueryText(dir, "Root", 13, &text));
  EXPECT_FALSE(RegQueryText(dir, "Missing", 0, &text));
  EXPECT_EQ(text, "kept");
  RegCloseKey(dir);
  HKEY custom = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization",
                          0, KEY_READ, &custom),
            ERROR_SUCCESS);
  EXPECT_FALSE(RegQueryText(custom, "DebugPropertyCalls", 0, &text));  // a number
  RegCloseKey(custom);
}

TEST_F(Registry, SubkeysEnumerateByUpperCaseNameAndKeepTheirSpelling) {
  HKEY fortran = Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fortran");
  EXPECT_EQ(Subkeys(fortran), (std::vector<std::string>{"170.0", "190.1", "ALPHA", "beta", "_x"}));
  char name[5];
  std::uint32_t length = sizeof name;  // "190.1" needs 6
  EXPECT_EQ(RegEnumKeyExA(fortran, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(length, sizeof name);

  // Subkeys, longest subkey, values, longest value name, longest data.
  const auto info = [](HKEY key) {
    std::vector<std::uint32_t> n(5, 99);
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &n[0], &n[1], nullptr, &n[2], &n[3],
                               &n[4], nullptr, nullptr),
              ERROR_SUCCESS);
    return n;
  };
  EXPECT_EQ(info(fortran), (std::vector<std::uint32_t>{5, 5, 0, 0, 0}));
  HKEY dir = Open(HKEY_LOCAL_MACHINE, std::string(kQv) + "Dir");
  EXPECT_EQ(info(dir), (std::vector<std::uint32_t>{0, 0, 3, 4, 14}));
  RegCloseKey(fortran);
  RegCloseKey(dir);
}

TEST_F(Registry, HandlesAreCheckedAndOnlyReadAccessIsGranted) {
  HKEY key = nullptr;
  for (REGSAM write : {KEY_WRITE, KEY_ALL_ACCESS}) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, write, &key), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0,
                          KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // A closed handle is refused, never used.
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Query(key, "x", 0).result, ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(nullptr, "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, OpenKeysKeepTheirContentsWhenTheFileChanges) {
  HKEY before = Open(HKEY_LOCAL_MACHINE, std::string(kQv) + "Dir");
  file_.Rewrite(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir]\n"
      "Root = /srv/qvsystem-new\n");
  HKEY after = Open(HKEY_LOCAL_MACHINE, std::string(kQv) + "Dir");
  EXPECT_EQ(Text(after, "Root"), "/srv/qvsystem-new");
  EXPECT_EQ(Text(after, "Bin"), "<none>");
  EXPECT_EQ(Text(before, "Root"), "/opt/qvsystem");
  RegCloseKey(before);
  RegCloseKey(after);

  // A missing file is an empty registry.
  setenv("VANTOR_REGISTRY", (file_.path().string() + ".absent").c_str(), 1);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  std::uint32_t subkeys = 1;
  EXPECT_EQ(RegQueryInfoKeyA(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subkeys, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
}

// Unset, the registry is the one beside the executable (the build tree and
// an installation both keep it in ../etc/vantor); a relative name is read
// from the folder the process started in, not from wherever it is now.
TEST(RegistryFile, PathFollowsTheVariableOrTheExecutable) {
  EXPECT_EQ(RegistryFilePathFor(nullptr, "/start", "/p/bin"), "/p/bin/../etc/vantor/registry.ini");
  EXPECT_EQ(RegistryFilePathFor("", "/start", "/p/bin"), "/p/bin/../etc/vantor/registry.ini");
  EXPECT_EQ(RegistryFilePathFor("/etc/r.ini", "/start", "/p/bin"), "/etc/r.ini");
  EXPECT_EQ(RegistryFilePathFor("build/etc/r.ini", "/start", "/p/bin"), "/start/build/etc/r.ini");
  EXPECT_EQ(RegistryFilePathFor("r.ini", "/", "/p/bin"), "/r.ini");

  testsupport::TempDir elsewhere;
  testsupport::ScopedCurrentFolder moved(elsewhere.path());
  testsupport::ScopedEnv relative("VANTOR_REGISTRY", "etc/r.ini");
  const std::string path = RegistryFilePath();
  EXPECT_EQ(path.find(elsewhere.path().string()), std::string::npos) << path;
  EXPECT_TRUE(path.size() > 10 && path.compare(path.size() - 10, 10, "/etc/r.ini") == 0) << path;
}

// A registry that is not there is named once, with the variable that sets
// it, and reads as an empty registry.
TEST(RegistryFile, AMissingOrUnreadableFileIsNamedOnce) {
  testsupport::TempDir folder;
  const std::string missing = (folder.path() / "none.ini").string();
  testsupport::ScopedEnv absent("VANTOR_REGISTRY", missing.c_str());
  ::testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "vantor: " + MissingRegistryText(missing, ENOENT) + "\n");
  EXPECT_NE(said.find("registry file " + missing + ": not found"), std::string::npos);
  EXPECT_NE(said.find("VANTOR_REGISTRY"), std::string::npos);

  // A folder in its place is no file either.
  testsupport::ScopedEnv folder_named("VANTOR_REGISTRY", folder.path().c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(folder.path().string() +
                                                          ": Is a directory (VANTOR_REGISTRY"),
            std::string::npos);
}

// Each kind of bad line between good ones: the bad one goes, the rest stay.
TEST(RegistryFile, BadLinesAreSkippedAndTheRestKept) {
  const std::string long_name(300, 'k');
  const std::string text =
      "\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\A]\r\n"  // byte-order mark, Windows line ends
      "good1 = one\r\n"
      "no equals sign here\n"
      "bad1 = dword:12345678 9\n"  // not only hex digits
      "bad2 = dword:123456789\n"   // nine digits
      "bad3 = dword:\n"
      " = nameless\n"
      "bad4 = \x01\x02\n"
      "bad5 = " +
      std::string(RegistryTree::kMaxLineLength, 'v') +
      "\n"
      "[HKEY_LOCAL_MACHINE\\A\\Unterminated\n"
      "bad6 = lands nowhere\n"
      "[HKEY_SOMEWHERE\\A]\n"
      "bad7 = lands nowhere\n"
      "[HKEY_LOCAL_MACHINE\\" +
      long_name +
      "]\n"
      "bad8 = lands nowhere\n"
      "[HKEY_LOCAL_MACHINE\\A\\\\B\\]\n"  // empty pieces are dropped
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
      ASSERT_TRUE(value.type == REG_DWORD
                      ? value.data.size() == 4
                      : value.type == REG_SZ && value.data.find('\0') == value.data.size() - 1);
    }
  };
  const auto check_all = [&](const std::string& text) {
    auto tree = RegistryTree::Parse(text, nullptr);
    for (int root = 0; root < RegistryTree::kRootCount; ++root) check(tree->Root(root));
    return tree;
  };
  for (int round = 0; round < 400; ++round) {
    // Good entries, each behind garbage and its own section line.
    std::string text;
    const int entries = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < entries; ++i) {
      text += garbage(false) + "\n[HKEY_CURRENT_USER\\Good\\K" + std::to_string(i) +
              "]\nvalue = " + std::to_string(i) + "\n";
    }
    auto tree = check_all(text + garbage(true));
    const RegistryKey* good = tree->Root(1).FindSubkey("Good");
    ASSERT_NE(good, nullptr);
    for (int i = 0; i < entries; ++i) {
      const RegistryKey* key = good->FindSubkey(std::string("K").append(std::to_string(i)));
      ASSERT_NE(key, nullptr);
      const RegistryValue* value = key->FindValue("value");
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(value->data, std::to_string(i) + '\0');
    }
    // The sample with bytes overwritten at random.
    std::string damaged = kSample;
    for (int i = 0; i < 20; ++i) damaged[random() % damaged.size()] = static_cast<char>(random());
    check_all(damaged);
  }
}

}  // namespace