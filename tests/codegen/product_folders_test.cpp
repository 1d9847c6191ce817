// Product folders and compatible versions read from a test registry file.
#include "codegen/build/product_folders.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "codegen/build/build_driver.h"
#include "codegen_helpers.h"
#include "foundation/messages/status_and_msg.h"

namespace fs = std::filesystem;

namespace {

class ProductFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = codegen_test::FreshFolder("registry");
    fs::create_directories(folder_ / "qv" / "incl");
    fs::create_directories(folder_ / "tanq2" / "include");
    fs::create_directories(folder_ / "gravik");
    const std::string base = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\";
    std::ofstream(folder_ / "registry.ini")
        << base << "QVSystem\\38.0\\Dir]\nRoot = " << (folder_ / "qv").string() << "/\n"
        << "[HKEY_CURRENT_USER\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\TANQ]\n"
        << "1 = 1.0\n2 = 2.0\n3 = 3.0\n"
        << base << "QVSystem\\38.0\\Compatibility\\Gravik]\n1 = 5.1\n"
        << base << "TANQ\\2.0]\nTANQTOP = " << (folder_ / "tanq2").string() << "\n"
        << base << "Gravik\\5.1\\gravik]\norvtop = " << (folder_ / "gravik").string() << "\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Intel\\Compilers\\Fortran\\170.0]"
           "\nProductDir = /old\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Intel\\Compilers\\Fortran\\191.1]"
           "\nProductDir = /best\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Intel\\Compilers\\Fortran\\190.5]"
           "\nProductDir = /lesser\n";
    if (const char* old = std::getenv("VANTOR_REGISTRY")) old_ = old, had_ = true;
    setenv("VANTOR_REGISTRY", (folder_ / "registry.ini").c_str(), 1);
    codegen::ResetWarningCount();
  }
  void TearDown() override {
    if (had_) {
      setenv("VANTOR_REGISTRY", old_.c_str(), 1);
    } else {
      unsetenv("VANTOR_REGISTRY");
    }
    codegen::ResetWarningCount();
    if (!HasFailure()) fs::remove_all(folder_);
  }
  // The warning's text, or the line when the folder was found.
  static std::string Find(const std::string& text) {
    std::string line = text;
    BvuStatusAndMsg* warning = FindProductFolder(&line);
    if (warning == nullptr) return line;
    EXPECT_EQ(warning->GetStatus(), codegen::kWarning);
    const std::string message = std::string("warning: ") + warning->GetText();
    delete warning;
    return message;
  }
  fs::path folder_;
  std::string old_;
  bool had_ = false;
};

TEST_F(ProductFolders, VersionsInTurnAndMissingFolders) {
  EXPECT_EQ(Find("QVSYSTEM_TOP = %QVSystem"), "QVSYSTEM_TOP = " + (folder_ / "qv").string());
  // Version 1.0 has no key; 2.0 is the first with one.
  EXPECT_EQ(Find("TANQ_TOP = %tanq"), "TANQ_TOP = " + (folder_ / "tanq2").string());
  EXPECT_EQ(Find("G = %Gravik"),
            "warning: Couldn't find folder " + (folder_ / "gravik" / "include").string());
  EXPECT_EQ(Find("L = %LumetSystem"), "warning: Couldn't find a compatible version of LumetSystem");
  EXPECT_EQ(Find("X = %Other"), "warning: Couldn't find a compatible version of Other");
  EXPECT_EQ(codegen::WarningCount(), 3);
  EXPECT_EQ(FindIntelFortranFolder(), "/best");
}

TEST_F(ProductFolders, OwnProductWithoutItsKeyEnds) {
  std::ofstream(folder_ / "registry.ini", std::ios::trunc) << "; empty\n";
  EXPECT_EQ(Find("Q = %QVSystem"),
            "warning: Couldn't find folder SOFTWARE\\Brunvald\\QVSystem\\38.0\\Dir\\Root");
  EXPECT_EQ(FindIntelFortranFolder(), "");
}

TEST_F(ProductFolders, CompatibilityDigitsRunOneToEight) {
  std::ofstream(folder_ / "registry.ini", std::ios::trunc)
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\P]\n"
      << "1 = a\n2 = b\n3 = c\n4 = d\n5 = e\n6 = f\n7 = g\n8 = h\n9 = i\n";
  platform::HKEY key = nullptr;
  char digit = '1';
  std::string version, seen;
  while (ReadCompatibilityKey(&key, "P", &digit, &version) == 0) seen += version;
  EXPECT_EQ(seen, "abcdefgh");
  platform::RegCloseKey(key);
  key = nullptr;
  digit = '1';
  EXPECT_NE(ReadCompatibilityKey(&key, "Missing", &digit, &version), 0u);
}

}  // namespace
