// A stand-in installation for building compiled-evaluation libraries:
// bin/ with the resource compiler and the property-package archive,
// procedures/ with the makefile stub, the headers and the archives (empty:
// the generated libraries need nothing from them). QLNSERVERDIR names bin/.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// Below `folder`; with the flowsheet stub that compiled evaluation
// builds its library from when `flowsheet_stub`.
inline std::filesystem::path MakeCompilerInstallation(const std::filesystem::path& folder,
                                                      bool flowsheet_stub) {
  namespace fs = std::filesystem;
  const fs::path prefix = folder / "prefix";
  const std::string install = std::string(VANTOR_SOURCE_DIR) + "/codegen/install/";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "procedures");
  fs::copy_file(install + "vantor-rc", prefix / "bin" / "vantor-rc");
  for (const char* file : {"makestub.int", "bvdll.h", "bvutcfor.h", "basetsd.h"}) {
    fs::copy_file(install + file, prefix / "procedures" / file);
  }
  if (flowsheet_stub) {
    fs::copy_file(install + "flowsheetexportstub.cpp",
                  prefix / "procedures" / "flowsheetexportstub.cpp");
  }
  for (const fs::path& archive : {prefix / "bin" / "gpp.a", prefix / "procedures" / "libbvdll.a",
                                  prefix / "procedures" / "bvdll_support.a"}) {
    std::ofstream(archive) << "!<arch>\n";
  }
  return prefix;
}

}  // namespace testsupport
