#include "app/engine_add_ons.h"

#include "analysis/analysis_managers.h"
#include "codegen/files/proc_files.h"
#include "codegen/flowsheet/compiled_flowsheet.h"
#include "control/problem/problem_manager.h"
#include "control/problem/run_steps.h"
#include "control/properties/property_mgr.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/status_and_msg.h"
#include "platform/dynamic_library.h"
#include "results/manager/run_results.h"

namespace vantor_app {
namespace {

class EngineAddOns final : public SimEngineAddOns {
 public:
  EngineAddOns(SimProblemMgr& manager, DseServerRegistry* registry, Status* status)
      : manager_(manager), results_(manager, registry, status), files_(FilesContext(manager)),
        analysis_(manager, &results_.Manager(), registry), compiled_(CompiledSettings(manager)) {
    const Status registered = files_.RegisterServices(registry);
    if (status != nullptr && status::IsSuccess(*status)) *status = registered;
    daes::SetCompiledCode(&compiled_);
    manager.SetUpperServices(&upper_);
    // The run steps ask whether the integrator computes sensitivities.
    steps_ = dynamic_cast<SimRunSteps*>(&manager.RunOps());
    if (steps_ != nullptr) {
      SensitivityMgr* sensitivities = &analysis_.Sensitivities();
      steps_->SetSensitivityQuery(
          [sensitivities] { return sensitivities->IsActiveFor(SensitivityMgr::kIntegratorQuery); });
    }
  }
  // The run steps outlive these managers.
  ~EngineAddOns() override {
    manager_.SetUpperServices(nullptr);
    if (steps_ != nullptr) steps_->SetSensitivityQuery(nullptr);
    if (daes::CompiledCode() == &compiled_) daes::SetCompiledCode(nullptr);
  }

 private:
  static codegen::ProcFilesContext FilesContext(SimProblemMgr& manager) {
    codegen::ProcFilesContext context;
    // Generated makefiles find the installation's tool folders from the
    // engine's own folder.
    context.server_folder = platform::ExecutableFolder();
    context.report = [&manager](BvuStatusAndMsg* message) {
      if (message == nullptr) return;
      const char* text = message->GetText();
      manager.Report(message->GetStatus(), text != nullptr ? text : "");
      delete message;
    };
    // Variable references of an export are counted against the problem
    // being run.
    context.problem_variables = []() -> std::int32_t {
      DAESProblem* problem = GetCurrentProblem();
      return problem != nullptr ? problem->VariableCount() : -1;
    };
    context.read_reference = [&manager](BvuBinaryStream& in, codegen::ResolvedReference* out) {
      return manager.ReadObjectReference(in, &out->variable, &out->index);
    };
    context.export_flowsheet = [&manager](const codegen::ExportRequest& request,
                                          std::int32_t* libraries) {
      codegen::FlowsheetGeneration generation = CompiledSettings(manager);
      generation.report = FilesContext(manager).report;
      generation.debug = request.debug;
      generation.optimise = request.optimise;
      generation.build = request.build;
      std::vector<codegen::ExportPort> ports = request.ports;
      codegen::FlowsheetExport exported;
      exported.folder = request.folder;
      exported.name = request.name;
      exported.ports = &ports;
      exported.settings = &request.settings;
      exported.quiet = request.quiet;
      return codegen::GenerateExportCode(generation, GetCurrentProblem(), exported, libraries);
    };
    return context;
  }

  static codegen::FlowsheetGeneration CompiledSettings(SimProblemMgr& manager) {
    codegen::FlowsheetGeneration generation;
    generation.server_folder = platform::ExecutableFolder();
    // The compiled library starts the selected property package itself.
    generation.properties_code = [&manager](std::ostream& out) {
      if (GppiPropertyMgr* properties = manager.Properties()) properties->WritePropertiesCode(out);
    };
    return generation;
  }

  // What the problem manager asks of the analysis: the estimation's reset
  // on a detach. The code export is the compiled flowsheet library's.
  class Upper final : public SimUpperServices {
   public:
    explicit Upper(AnalysisManagers& analysis) : analysis_(analysis) {}
    void ResetEstimation() override { analysis_.Estimation().Clear(); }

   private:
    AnalysisManagers& analysis_;
  };

  SimProblemMgr& manager_;
  SimRunResultsJoin results_;
  SimProcFilesMgr files_;
  AnalysisManagers analysis_;
  Upper upper_{analysis_};
  // Compiled equations of the runs.
  codegen::FlowsheetCompiledCode compiled_;
  SimRunSteps* steps_ = nullptr;
};

}  // namespace

std::unique_ptr<SimEngineAddOns> MakeEngineAddOns(SimProblemMgr& manager,
                                                  DseServerRegistry* registry, Status* status) {
  if (status != nullptr) *status = status::kOk;
  return std::make_unique<EngineAddOns>(manager, registry, status);
}

}  // namespace vantor_app
