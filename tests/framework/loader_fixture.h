// Common ground of the loader tests: the folder of the test libraries, the
// protocol library's log, and a loader left as it was found.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "framework/libraries/library_exports.h"
#include "framework/libraries/library_loader.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

class LoaderTest : public ::testing::Test {
 protected:
  static std::string Libs(const std::string& sub = "") {
    return sub.empty() ? std::string(VANTOR_TEST_LIBS) : std::string(VANTOR_TEST_LIBS) + "/" + sub;
  }

  void SetUp() override {
    for (const char* name : {"PROTO_BV", "PROTO_INIT", "PROTO_FINI", "PROTO_FORCE", "QLNSERVERDIR"}) {
      unsetenv(name);
    }
    log_ = dir_ / "proto.log";
    setenv("PROTO_LOG", log_.c_str(), 1);
    XosDynamicLibrary::RemoveSearchPath(nullptr);
    ASSERT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr) << "a library left loaded by an earlier test";
  }

  void TearDown() override {
    EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr) << "the test left a library loaded";
    XosDynamicLibrary::RemoveSearchPath(nullptr);
    ResetLibraryExports();
    unsetenv("PROTO_LOG");
  }

  // The lines the protocol library wrote, emptied for the next look.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    in.close();
    std::remove(log_.c_str());
    return lines;
  }

  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
      if (l == line) return true;
    }
    return false;
  }

  // A function of a loaded library, called through its address.
  template <typename F>
  static F Function(XosDynamicLibrary* library, const char* name) {
    return reinterpret_cast<F>(library->LookUpSymbol(name, nullptr));
  }

  TempDir dir_;
  std::string log_;
};

}  // namespace testsupport
