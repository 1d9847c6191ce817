// The procedure-file manager (service 113): turns procedure definitions
// into sources, a makefile and a built library; lists, unloads and names
// the loaded libraries.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "codegen/flowsheet/export_records.h"
#include "codegen/procedures/generate.h"
#include "framework/servers/server_callback.h"

class BvuBinaryStream;
class CNameTree;
class DseServerRegistry;
class QLNVariable;

namespace codegen {
inline constexpr std::uint32_t kProcFilesService = 113;
inline constexpr std::uint32_t kOptionMakefile = 0x1;
inline constexpr std::uint32_t kOptionFortranEnvironment = 0x10;

// Checks the folder a library will be written to: 0, or 0x8000FFFF after
// the "not found" or "cannot be written to" error.
Status CheckLibraryFolder(const CodegenReport& report, const char* output_folder,
                          const char* library);

// The sources and wrappers of one procedure, then its registration in the
// name tree (created when *tree is null), whose names are kept in *names
// and the definition itself, both to outlive the tree.
Status GenerateProcedureFiles(const SUCodeGenerate& definition, const CodegenReport& report,
                              std::uint32_t options, const char* output_folder, CNameTree** tree,
                              std::deque<std::string>* names);

// The fields of an export request (sub-kinds 1 and 4).
struct ExportRequest {
  std::string folder;
  std::string name;
  std::vector<ExportPort> ports;
  std::vector<ExportVariableSetting> settings;
  bool optimise = false;
  bool build = false;
  bool debug = false;
  bool clean = false;
  bool resource = false;
  bool quiet = false;
  bool no_headers = false;
  std::vector<std::string> resources;
  std::vector<std::string> units;
  std::vector<std::string> extra_headers;
};

// An object reference resolved in the problem's tree: the model object's
// variable (null when the path does not resolve or the object has none)
// and its 1-based index in the current problem (0 without one).
struct ResolvedReference {
  QLNVariable* variable = nullptr;
  std::int32_t index = 0;
};

// What a request needs from its surroundings.
struct ProcFilesContext {
  CodegenReport report;
  // Where the server runs from: the makefile's tool folders derive from it.
  std::string server_folder;
  // Makes the reply (null when none can be made).
  std::function<BvuBinaryStream*()> make_reply;
  // Before libraries are force-unloaded: resets a problem prepared for an
  // export (may be empty).
  std::function<void()> release_export;
  // Reads one object reference (an id path) and resolves it; a read
  // failure is the stream's status. Absent: no reference resolves.
  std::function<Status(BvuBinaryStream&, ResolvedReference*)> read_reference;
  // The number of variables of the current problem, negative when there
  // is none. Absent: no current problem.
  std::function<std::int32_t()> problem_variables;
  // Generates (and with its flag builds) the exported flowsheet; the
  // number of libraries its procedures need in *libraries. Absent: the
  // export is refused as not available.
  std::function<Status(const ExportRequest&, std::int32_t* libraries)> export_flowsheet;
  // Writes (and with its flag builds) the makefile of an exported type.
  // Absent: WriteExportMakefile with this context's report.
  std::function<Status(const ExportRequest&)> export_type;
};

// The makefile of an exported type: the product-folder lines, the export
// library part with the include file "%tanq_defs.inc", then with the build
// flag the build, and with the clean flag after a successful build the
// "clean" target with the makefile deleted. The status of the last step.
Status WriteExportMakefile(const ExportRequest& request, const CodegenReport& report,
                           const char* server_folder);

// One request body, from its 16-bit sub-kind on.
Status HandleProcFilesRequest(BvuBinaryStream& request, const ProcFilesContext& context);
}  // namespace codegen

class SimProcFilesMgr : public DseServerCB {
 public:
  explicit SimProcFilesMgr(codegen::ProcFilesContext context) : context_(std::move(context)) {}
  Status RegisterServices(DseServerRegistry* registry);
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;

 private:
  codegen::ProcFilesContext context_;
};
