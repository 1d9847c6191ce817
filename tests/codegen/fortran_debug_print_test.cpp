// FORTRAN procedures built with their debug lines as code call the engine's
// QLN_PRINT with the argument lists the templates write: they load under
// immediate binding and print numbers, texts and characters as asked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/libraries/library_loader.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/support/capture_sink.h"

namespace fs = std::filesystem;

namespace {

using namespace codegen_test;

TEST(CodegenCompile, FortranDebugLinesPrintThroughTheEngine) {
  const fs::path folder = FreshFolder("fdebug");
  // The call forms of the template's debug lines, one of each.
  std::ofstream(folder / "shows.f") << "      SUBROUTINE SHOWS(N, X, S, CH)\n"
                                       "      INTEGER N\n"
                                       "      DOUBLE PRECISION X\n"
                                       "      CHARACTER*40 S\n"
                                       "      CHARACTER*1 CH\n"
                                       "      CALL QLN_PRINT(0,'  n=%d',N,0,0,0,0)\n"
                                       "      CALL QLN_PRINT(0,'  x=%g',X,0,0,0,0)\n"
                                       "      CALL QLN_PRINT(0,'  s=''%s''',S,0,0,0)\n"
                                       "      CALL QLN_PRINT(0,'  b=TRUE ',0,0,0,0,0)\n"
                                       "      CALL QLN_PRINT(0,'  M(%d,*)',N,0,0,0,0)\n"
                                       "      CALL QLN_PRINT(0,'%c%d',CH,N,0,0)\n"
                                       "      CALL QLN_PRINT(0,'%c''%s''',CH,S,0)\n"
                                       "      END\n";
  const fs::path library = folder / "shows.so";
  const std::string command = "gfortran -shared -fPIC -ffixed-form -fallow-argument-mismatch -o " +
                              library.string() + " " + (folder / "shows.f").string() + " >" +
                              (folder / "build.log").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadText(folder / "build.log");
  CloseToOthers(library);
  XosDynamicLibrary* lib = XosDynamicLibrary::Load(library.c_str(), nullptr);
  ASSERT_NE(lib, nullptr) << XosDynamicLibrary::LastErrorText();
  using Shows = void (*)(int*, double*, char*, char*, std::size_t, std::size_t);
  auto shows = reinterpret_cast<Shows>(lib->LookUpSymbol("shows_", nullptr));
  ASSERT_NE(shows, nullptr);
  int n = 7;
  double x = 2.5;
  char s[40];
  std::string text = "abc";
  text.resize(40, ' ');
  std::memcpy(s, text.data(), 40);
  char ch = '=';
  testsupport::CaptureSink sink;
  shows(&n, &x, s, &ch, 40, 1);
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"  n=7", "  x=2.5", "  s='abc'", "  b=TRUE",
                                                    "  M(7,*)", "=7", "='abc'"}));
  lib->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
