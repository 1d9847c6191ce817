#include "app/engine_add_ons.h"

#include "analysis/analysis_managers.h"
#include "codegen/files/code_export.h"
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
      : manager_(manager), results_(manager, registry, status),
        export_(ExportSettings(manager), platform::ExecutableFolder()),
        files_(FilesContext(manager, &export_)), analysis_(manager, &results_.Manager(), registry),
        compiled_(CompiledSettings(manager)) {
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
  static codegen::FlowsheetGeneration ExportSettings(SimProblemMgr& manager) {
    codegen::FlowsheetGeneration generation = CompiledSettings(manager);
    generation.report = Reporter(manager);
    return generation;
  }

  static CodegenReport Reporter(SimProblemMgr& manager) {
    return [&manager](BvuStatusAndMsg* message) {
      if (message == nullptr) return;
      const char* text = message->GetText();
      manager.Report(message->GetStatus(), text != nullptr ? text : "");
      delete message;
    };
  }

  static codegen::ProcFilesContext FilesContext(SimProblemMgr& manager,
                                                codegen::ProblemCodeExport* exporter) {
    codegen::ProcFilesContext context;
    // Generated makefiles find the installation's tool folders from the
    // engine's own folder.
    context.server_folder = platform::ExecutableFolder();
    context.report = Reporter(manager);
    // Variable references of an export are counted against the problem
    // being run.
    context.problem_variables = []() -> std::int32_t {
      DAESProblem* problem = GetCurrentProblem();
      return problem != nullptr ? problem->VariableCount() : -1;
    };
    context.read_reference = [&manager](BvuBinaryStream& in, codegen::ResolvedReference* out) {
      return manager.ReadObjectReference(in, &out->variable, &out->index);
    };
    // Exports go through the problem manager, which prepares a problem
    // first when there is none.
    context.export_flowsheet = [&manager, exporter](const codegen::ExportRequest& request,
                                                    std::int32_t* libraries) {
      return exporter->ExportFlowsheet(request, libraries,
                                       [&manager] { return manager.ExportProblemCode(); });
    };
    context.export_type = [&manager, exporter](const codegen::ExportRequest& request) {
      return exporter->ExportType(
          request, [&manager](bool build) { return manager.WriteExportMakefile(build); });
    };
    context.release_export = [&manager] { manager.ReleaseExportPreparation(); };
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

  // What the problem manager asks of the analysis (the estimation's reset
  // on a detach, forgetting variables being destroyed) and of the
  // code-export object.
  class Upper final : public SimUpperServices {
   public:
    Upper(AnalysisManagers& analysis, codegen::ProblemCodeExport& exporter)
        : analysis_(analysis), export_(exporter) {}
    void ResetEstimation() override { analysis_.Estimation().Clear(); }
    Status CheckCompiledEquations() override { return export_.CheckCompiledEquations(); }
    Status WriteProblemCode(DAESProblem* problem,
                            const std::function<void(Status, const char*)>& progress) override {
      return export_.WriteProblemCode(problem, progress);
    }
    Status WriteExportMakefile(bool build) override { return export_.WriteMakefile(build); }
    void ForgetVariable(DAESVarTableEntry* entry) override { analysis_.ForgetEntry(entry); }

   private:
    AnalysisManagers& analysis_;
    codegen::ProblemCodeExport& export_;
  };

  SimProblemMgr& manager_;
  SimRunResultsJoin results_;
  codegen::ProblemCodeExport export_;
  SimProcFilesMgr files_;
  AnalysisManagers analysis_;
  Upper upper_{analysis_, export_};
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
