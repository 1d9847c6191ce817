#include "codegen/files/code_export.h"

#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/problem/solver_equation.h"
#include "foundation/messages/status_and_msg.h"

namespace codegen {
namespace {

// Holds the request for one call through the problem manager.
class Held {
 public:
  Held(const ExportRequest** slot, const ExportRequest& request) : slot_(slot) { *slot = &request; }
  ~Held() { *slot_ = nullptr; }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  const ExportRequest** slot_;
};

}  // namespace

Status ProblemCodeExport::ExportFlowsheet(const ExportRequest& request, std::int32_t* libraries,
                                          const std::function<Status()>& through) {
  if (!through) return kNoExportRequest;
  Held held(&request_, request);
  flowsheet_ = true;
  libraries_ = 0;
  const Status s = through();
  if (libraries != nullptr) *libraries = libraries_;
  return s;
}

Status ProblemCodeExport::ExportType(const ExportRequest& request,
                                     const std::function<Status(bool)>& through) {
  if (!through) return kNoExportRequest;
  Held held(&request_, request);
  flowsheet_ = false;
  return through(request.build);
}

Status ProblemCodeExport::WriteProblemCode(
    DAESProblem* problem, const std::function<void(Status, const char*)>& progress) {
  if (request_ == nullptr || !flowsheet_) return kNoExportRequest;
  const ExportRequest& request = *request_;
  FlowsheetGeneration generation = generation_;
  generation.debug = request.debug;
  generation.optimise = request.optimise;
  generation.build = request.build;
  if (progress) {
    generation.report = [&progress](BvuStatusAndMsg* message) {
      if (message == nullptr) return;
      const char* text = message->GetText();
      progress(message->GetStatus(), text != nullptr ? text : "");
      delete message;
    };
  }
  // The block layer fills in the ports' block indexes: a copy of its own.
  std::vector<ExportPort> ports = request.ports;
  FlowsheetExport exported;
  exported.folder = request.folder;
  exported.name = request.name;
  exported.ports = &ports;
  exported.settings = &request.settings;
  exported.quiet = request.quiet;
  return GenerateExportCode(generation, problem, exported, &libraries_);
}

Status ProblemCodeExport::WriteMakefile(bool build) {
  if (request_ == nullptr || flowsheet_) return kNoExportRequest;
  ExportRequest request = *request_;
  request.build = build;
  return codegen::WriteExportMakefile(request, generation_.report, server_folder_.c_str());
}

Status ProblemCodeExport::CheckCompiledEquations() const {
  const std::uint32_t word = DAESSolverBlock::CompiledEvaluationWord();
  // Bit 2: compiled evaluation asked for; bit 1: a library took over.
  if ((word & 2u) == 0) return 0;
  if ((word & 1u) == 0 || !daes::CurrentCompiledLibrary().IsLoaded()) return kCompiledNotLoaded;
  return 0;
}
}  // namespace codegen
