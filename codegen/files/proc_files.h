// The procedure-file manager (service 113): turns procedure definitions
// into sources, a makefile and a built library; lists, unloads and names
// the loaded libraries.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "codegen/procedures/generate.h"
#include "framework/servers/server_callback.h"

class BvuBinaryStream;
class CNameTree;
class DseServerRegistry;

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
};

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
