#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codegen/name_tree.h"
#include "codegen/names.h"
#include "codegen/resource_script.h"
#include "codegen_helpers.h"

using namespace codegen_test;

namespace {

int CountNodes(const CNameTree* node) {
  int n = 0;
  for (; node != nullptr; node = node->Next()) n += 1 + CountNodes(node->Child());
  return n;
}

}  // namespace

TEST(NameTree, CaseInsensitiveAtBothLevelsKeepingFirstSpelling) {
  CNameTree root("Lib", 1, "pump");
  EXPECT_EQ(root.Insert("LIB", 2, "PUMP"), nullptr);
  EXPECT_EQ(root.Insert("lib", 3, nullptr), nullptr);
  EXPECT_STREQ(root.Name(), "Lib");
  ASSERT_NE(root.Child(), nullptr);
  EXPECT_STREQ(root.Child()->Name(), "pump");
  EXPECT_EQ(root.Child()->Data(), 1);
  EXPECT_EQ(root.Child()->Next(), nullptr);
  EXPECT_EQ(root.Next(), nullptr);
}

TEST(NameTree, InsertionOrderAtBothLevels) {
  CNameTree root("lib1", 1, "a");
  CNameTree* b = root.Insert("lib2", 2, "b");
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b->Name(), "lib2");
  ASSERT_NE(b->Child(), nullptr);
  EXPECT_STREQ(b->Child()->Name(), "b");
  CNameTree* c = root.Insert("LIB1", 3, "c");
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(c->Name(), "c");
  EXPECT_EQ(c->Data(), 3);
  EXPECT_STREQ(root.Child()->Next()->Name(), "c");
  // A library without procedures gets its first one as child.
  CNameTree* empty = root.Insert("lib3", 4, nullptr);
  ASSERT_NE(empty, nullptr);
  CNameTree* d = root.Insert("Lib3", 5, "d");
  ASSERT_EQ(empty->Child(), d);
  EXPECT_EQ(CountNodes(&root), 7);
}

TEST(NameTree, DeletingTheRootLeavesTheNames) {
  std::string lib = "library", proc = "proc", other = "other";
  auto* root = new CNameTree(lib.c_str(), 0, proc.c_str());
  root->Insert(other.c_str(), 0, proc.c_str());
  std::vector<std::string> many;
  for (int i = 0; i < 2000; ++i) many.push_back(std::to_string(i));
  for (const auto& name : many) root->Insert(name.c_str(), 0, nullptr);
  delete root;  // names above must still be intact (the tree never frees them)
  EXPECT_EQ(lib, "library");
  EXPECT_EQ(proc, "proc");
}

TEST(Names, FoldersAndQuoting) {
  EXPECT_EQ(JoinFolderAndName("/a/b", "c"), "/a/b/c");
  EXPECT_EQ(JoinFolderAndName("/a/b/", "c"), "/a/b/c");
  EXPECT_EQ(JoinFolderAndName("a\\", "c"), "a\\c");
  EXPECT_EQ(JoinFolderAndName("", "c"), "c");
  EXPECT_EQ(JoinFolderAndName(nullptr, "c"), "c");
  EXPECT_EQ(ResolvePathInFolder("/w", "src\\p.c"), "/w/src/p.c");
  EXPECT_EQ(ResolvePathInFolder("/w", "/abs/p.c"), "/abs/p.c");
  EXPECT_EQ(ResolvePathInFolder("/w", "c:\\x\\p.c"), "c:/x/p.c");
  EXPECT_EQ(MakefileName("/b", "lib"), "/b/Makelib");
  EXPECT_EQ(MakefileName("/b", ""), "/b/MakeUserCode");
  EXPECT_EQ(MakefileName(nullptr, nullptr), "MakeUserCode");
  EXPECT_EQ(QuoteIfSpaced("my lib", "$(DLL)"), "\"my lib$(DLL)\"");
  EXPECT_EQ(QuoteIfSpaced("lib", "$(DLL)"), "lib$(DLL)");
  EXPECT_EQ(QuoteIfSpaced("lib", nullptr), "lib");
}

TEST(Names, PlainTokensAndPathsLeaveMakeAndTheShellNothingToRead) {
  for (const char* plain : {"tcex1", "Lag", "plain_1.0", "c++lib", "a-b", "\xC3\xA9t\xC3\xA9"}) {
    EXPECT_TRUE(IsPlainFileToken(plain)) << plain;
    EXPECT_TRUE(IsPlainPath(plain)) << plain;
  }
  for (const char* path : {"sub/lib", "C:\\libs\\lib", "/abs/p.c", "src dir/p.c", "~/x,y@z"}) {
    EXPECT_FALSE(IsPlainFileToken(path)) << path;
    EXPECT_TRUE(IsPlainPath(path)) << path;
  }
  for (const char* code : {"", "x$(id)", "x`id`", "x\n\tid", "x\"y", "x'y", "x;id", "a|b", "a&b",
                           "a>b", "a#b", "a=b", "a%b", "a*b", "a?b", "a(b)", "dir\\", "a\rb"}) {
    EXPECT_FALSE(IsPlainFileToken(code)) << ShownName(code);
    EXPECT_FALSE(IsPlainPath(code)) << ShownName(code);
  }
  // An export's name may hold blanks between its words.
  EXPECT_TRUE(IsPlainName("tank export"));
  EXPECT_FALSE(IsPlainFileToken("tank export"));
  for (const char* name : {" lead", "trail ", "a  b$", "-a b", "a\tb"}) {
    EXPECT_FALSE(IsPlainName(name)) << ShownName(name);
  }
  // A token never starts like an option or a hidden file.
  EXPECT_FALSE(IsPlainFileToken("-rf"));
  EXPECT_FALSE(IsPlainFileToken(".."));
  EXPECT_FALSE(IsPlainPath(std::string("a\0b", 3)));
  EXPECT_EQ(ShownName("x\n\ty\x01\x7F"), "x\\n\\ty\\x01\\x7F");
}

TEST(Names, ArgumentsAndDimensions) {
  SUProcDef def;
  Define(&def, "p", procdef::kLanguageC, 0, {{4, 0, "Flow"}, {4, 2, nullptr}}, {{4, 0, nullptr}});
  EXPECT_EQ(InputArgumentName(def, 1), "Flow");
  EXPECT_EQ(InputArgumentName(def, 2), "InArg2");
  EXPECT_EQ(OutputArgumentName(def, 1), "OutArg1");
  EXPECT_EQ(ArgDimensionName("X", 2, "*"), "XDim2");
  EXPECT_EQ(ArgDimensionName("X", 1, "NComp"), "NComp");
}

TEST(ResourceScript, TextWithYearAndOneByteCopyrightSign) {
  auto folder = FreshFolder("rc");
  ASSERT_EQ(WriteResourceScript(folder.c_str(), "mylib"), 0u);
  const std::string text = ReadText(folder / "mylib.rc");
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string year = std::to_string(local.tm_year + 1900);
  const std::string expected =
      std::string(77, '/') +
      "\n//Quillon generated resource script\n//\n//\n#define APSTUDIO_READONLY_SYMBOLS\n"
      "#include \"afxres.h\"\n#undef APSTUDIO_READONLY_SYMBOLS\n"
      "#if !defined(AFX_RESOURCE_DLL) || defined(AFX_TARG_ENG)\n"
      "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_UK\n#pragma code_page(1252)\n\n" +
      std::string(77, '/') +
      "\n//\n// DO NOT EDIT ANYTHING ABOVE THIS LINE \n//\n// Version\n//\n"
      "// You should not change the PRODUCTVERSION\n//\n"
      "VS_VERSION_INFO VERSIONINFO\n FILEVERSION 38,0,0,380\n PRODUCTVERSION 38,0,0,0\n"
      " FILEFLAGSMASK 0x3fL\n#ifdef _DEBUG\n FILEFLAGS 0x1L\n#else\n FILEFLAGS 0x0L\n#endif\n"
      " FILEOS 0x40004L\n FILETYPE 0x2L\n FILESUBTYPE 0x0L\nBEGIN\n"
      "    BLOCK \"StringFileInfo\"\n    BEGIN\n        BLOCK \"080904b0\"\n        BEGIN\n"
      "            VALUE \"Comments\", \"\\0\"\n"
      "            VALUE \"CompanyName\",  \"\\0\"\n"
      "            VALUE \"FileDescription\", \"mylib\\0\"\n"
      "            VALUE \"FileVersion\", \"38, 0, 0, 380\\0\"\n"
      "            VALUE \"InternalName\", \"mylib\\0\"\n"
      "            VALUE \"LegalCopyright\", \"Copyright \xA9 " +
      year +
      "\\0\"\n"
      "            VALUE \"LegalTrademarks\", \"\\0\"\n"
      "            VALUE \"OriginalFilename\", \"mylib.so\\0\"\n"
      "            VALUE \"PrivateBuild\", \"\\0\"\n"
      "            VALUE \"ProductName\", \"mylib\\0\"\n"
      "            VALUE \"ProductVersion\", \"38, 0, 0, 0\\0\"\n"
      "            VALUE \"SpecialBuild\", \"\\0\"\n"
      "        END\n    END\n    BLOCK \"VarFileInfo\"\n    BEGIN\n"
      "        VALUE \"Translation\", 0x809, 1200\n    END\nEND\n"
      "#endif // English (U.K.) resources\n";
  EXPECT_EQ(text, expected);
  // One byte, not the two of UTF-8.
  EXPECT_EQ(text.find("\xC2\xA9"), std::string::npos);
  std::filesystem::remove_all(folder);
}

TEST(ResourceScript, ExistingScriptKeptAndUnopenablePathAnswers10) {
  auto folder = FreshFolder("rc_keep");
  const auto path = folder / "lib.rc";
  { std::ofstream(path) << "edited by hand\n"; }
  EXPECT_EQ(WriteResourceScript(folder.c_str(), "lib"), 0u);
  EXPECT_EQ(ReadText(path), "edited by hand\n");
  EXPECT_EQ(WriteResourceScript((folder / "missing" / "deeper").c_str(), "lib"), 10u);
  // Without a folder the script goes to the current folder.
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  EXPECT_EQ(WriteResourceScript(nullptr, "bare"), 0u);
  std::filesystem::current_path(here);
  EXPECT_TRUE(std::filesystem::exists(folder / "bare.rc"));
  std::filesystem::remove_all(folder);
}
