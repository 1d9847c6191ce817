#include "analysis/analysis_managers.h"

#include "daes/delays/delay_mgr.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/servers/server_registry.h"

AnalysisManagers::AnalysisManagers(SimProblemMgr& problem, SimResultsMgr* results,
                                   DseServerRegistry* registry, Status* status)
    : services_(problem, results), sensitivities_(services_), estimation_run_(problem, results),
      estimation_(services_), optimisation_run_(problem, results),
      optimisation_(services_, &optimisation_run_),
      homotopy_services_(problem, results, services_), homotopy_(homotopy_services_),
      cdi_services_(problem, services_), control_design_(cdi_services_),
      sax_services_(problem, services_), sax_(sax_services_), release_(services_) {
  if (status != nullptr) *status = status::kOk;
  estimation_.SetRunServices(&estimation_run_);
  optimisation_.SetRunFactory(&optimisation_runs_);
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->SetSensitivityItems(&sensitivities_);
  daes::SetControlDesignServices(this);
  if (registry == nullptr) return;
  const std::pair<std::uint32_t, DseServerCB*> services[] = {
      {SensitivityMgr::kService, &sensitivities_},
      {EstimationMgr::kService, &estimation_},
      {OptimisationMgr::kService, &optimisation_},
      {HomotopyMgr::kService, &homotopy_},
      {CDIManager::kService, &control_design_},
      {SAXAction::kService, &sax_},
  };
  for (const auto& [id, server] : services) {
    const Status registered = registry->Register(id, server);
    if (status::IsFailure(registered) && status != nullptr) *status = registered;
  }
}

AnalysisManagers::~AnalysisManagers() {
  if (DelayMgr* delays = GetCurrentDelayMgr()) delays->SetSensitivityItems(nullptr);
  if (daes::ControlDesignServices() == this) daes::SetControlDesignServices(nullptr);
}

void AnalysisManagers::ForgetEntry(DAESVarTableEntry* entry) {
  AnalysisVariable* adapter = services_.FindAdapter(entry);
  if (adapter == nullptr) return;
  sensitivities_.ForgetVariable(adapter);
  estimation_.ForgetVariable(adapter);
  optimisation_.ForgetVariable(adapter);
  homotopy_.ForgetVariable(adapter);
  control_design_.ForgetVariable(adapter);
  services_.RetireAdapter(entry);
}

void AnalysisManagers::ForgetVariable(DAESVariable* variable) {
  if (AnalysisVariable* adapter = services_.FindAdapter(variable)) {
    control_design_.ForgetVariable(adapter);
  }
}

Status AnalysisManagers::AdapterRelease::ProblemEdited() {
  services_.DropAdapters();
  return status::kOk;
}

Status AnalysisManagers::AdapterRelease::DetachProblem(const char*, const char*) {
  services_.DropAdapters();
  return status::kOk;
}
