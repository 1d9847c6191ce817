// The makefile writers: the generic part (switches, the installation's
// stub, the tool folders, a user include file) and the procedure-library
// part written from the name tree. One writer serves both make dialects:
// GNU make, which builds here, and the designed nmake form.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codegen/procedures/generate.h"
#include "platform/safe_write.h"

class CNameTree;
class SUProcDef;

namespace codegen {
enum class MakeDialect { kGnu, kNmake };
// The dialect of every makefile written from now on (GNU make by default).
void SetMakeDialect(MakeDialect dialect);
MakeDialect CurrentMakeDialect();

// A name in a target or prerequisite position: quoted when it holds a blank
// (nmake), or with every blank escaped (GNU make).
std::string MakeTargetName(const std::string& name);

// The tool folder and the procedures folder derived from "QLNSERVERDIR" or
// the server folder (the executable's folder when neither is known).
struct MakeFolders {
  std::string tool;
  std::string procedures;
  std::string quoted_include;
  // The installation's top, which its tanq_defs.inc names QVSYSTEM_TOP.
  std::string top;
};
MakeFolders DeriveMakeFolders(const char* server_folder);
// The folders the makefiles written for the server folder have the
// compiler and linker search: the procedures folder (-I, and the archives
// linked from it), the tool folder (gpp.a, and the resource compiler make
// runs), and for an export the installation's incl (-I) and lib (-L).
std::vector<std::string> BuildSearchFolders(const char* server_folder, bool exported = false);

// A name that make or the shell would read as more than a name (see
// IsPlainFileToken, IsPlainName and IsPlainPath) is refused before
// anything is written for it: reported, counted as an error, 0x8000FFFF;
// else 0.
enum class Plain { kToken, kName, kPath };
Status RefuseUnplainName(const CodegenReport& report, const std::string& name, Plain kind);
// The same for the names of a procedure definition that reach a makefile:
// its library, its name and its source file.
Status RefuseUnplainNames(const CodegenReport& report, const SUProcDef& definition);
}  // namespace codegen

// Opens "Make" + library in the output folder and writes the generic part;
// null when the makefile cannot be opened (reported unless quiet): a link,
// a special file or another user's file under its name is not written.
std::unique_ptr<platform::FileOutStream> WriteMakefileGenericPart(
    const CodegenReport& report, const char* server_folder, const char* output_folder, bool win32,
    const char* user_include, const char* extra_text, const char* library, bool quiet, bool debug,
    bool intel_fortran, bool vs2017, bool vs2019);

// The makefile of every library of the tree (or, with a library name, of
// that one library built from one C++ source of the same name); the tree
// is consumed and *tree left null. *fortran is set when a FORTRAN procedure
// is built. 0, 0xA000FFFF when the makefile cannot be written, 0x8000FFFF
// when a name in the tree is refused (nothing written).
Status WriteProcedureLibraryMakefilePart(const CodegenReport& report, CNameTree** tree,
                                         const char* server_folder, bool debug, bool no_makefile,
                                         bool* fortran, const char* output_folder,
                                         const char* user_include, const char* extra_text,
                                         const char* library);

// The makefile of a library of exported units: objects, sources and
// headers in groups of 30 (units last to first), resources, clean, link
// and compile rules. The name tree is emptied. 0, 0xA000FFFF when the
// makefile cannot be written, 0x8000FFFF when a name is refused (nothing
// written).
Status WriteExportLibraryMakefilePart(const CodegenReport& report, CNameTree** tree,
                                      const char* server_folder, bool debug, bool optimise,
                                      bool quiet, bool resource,
                                      const std::vector<std::string>& resources, bool no_headers,
                                      const std::vector<std::string>& units,
                                      const std::vector<std::string>& extra_headers,
                                      const char* output_folder, const char* user_include,
                                      const char* extra_text, const char* library);
