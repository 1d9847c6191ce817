// The code-export object: what the problem manager's export operations
// call to write the problem's loadable code and the export makefile, and
// its check of the compiled equations. An export request of the
// procedure-file manager is handed through the problem manager, which
// prepares a problem first when there is none; the request is held here
// for the length of that call.
#pragma once

#include <cstdint>
#include <functional>

#include "codegen/files/proc_files.h"
#include "codegen/flowsheet/compiled_flowsheet.h"

namespace codegen {
inline constexpr Status kNoExportRequest = 0x8031FFFFu;
inline constexpr Status kCompiledNotLoaded = 0x8031000Bu;

class ProblemCodeExport {
 public:
  // The generation settings of every export (the request's flags replace
  // debug, optimise and build); the makefile's tool folders derive from
  // `server_folder`.
  ProblemCodeExport(FlowsheetGeneration generation, std::string server_folder)
      : generation_(std::move(generation)), server_folder_(std::move(server_folder)) {}

  // A flowsheet (sub-kind 1) or type (sub-kind 4) export: `through` is the
  // problem manager's operation, which calls back here.
  Status ExportFlowsheet(const ExportRequest& request, std::int32_t* libraries,
                         const std::function<Status()>& through);
  Status ExportType(const ExportRequest& request, const std::function<Status(bool build)>& through);

  // The problem manager's calls. Outside an export request there is
  // nothing to write: 0x8031FFFF.
  Status WriteProblemCode(DAESProblem* problem,
                          const std::function<void(Status, const char*)>& progress);
  Status WriteMakefile(bool build);
  // 0 when the equations are interpreted, or compiled evaluation is on
  // and its library is loaded and bound; 0x8031000B when it was asked for
  // and no library evaluates.
  Status CheckCompiledEquations() const;

 private:
  FlowsheetGeneration generation_;
  std::string server_folder_;
  const ExportRequest* request_ = nullptr;
  bool flowsheet_ = false;
  std::int32_t libraries_ = 0;
};
}  // namespace codegen
