// The analysis managers of an engine, built with its problem manager: the
// sensitivity manager (service 64), the estimation manager (service 110),
// the optimisation manager (service 112), the homotopy manager (service 69),
// the control-design manager (service 114) and the outside-procedure action
// (service 115) over the engine's services. The owner builds it after the problem manager
// (and the results manager, when there is one) and destroys it before them.
#pragma once

#include <memory>

#include "analysis/control_design/cdi_mgr.h"
#include "analysis/estimation/engine_run_services.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/homotopy/homotopy_mgr.h"
#include "analysis/optimisation/engine_opt_run.h"
#include "analysis/optimisation/opt_manager.h"
#include "analysis/optimisation/opt_runs.h"
#include "analysis/outside/sax_action.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "analysis/services/continuation_services.h"
#include "analysis/services/engine_services.h"
#include "analysis/services/outside_services.h"
#include "daes/model/services.h"

class DseServerRegistry;

// It is also the control-design manager's hook for variables being
// destroyed, which it installs for the process while it exists.
class AnalysisManagers final : public DAESControlDesignServices {
 public:
  // Registers services 64, 110, 112, 69, 114 and 115 when a registry is
  // given; *status (may be null) is 0 or the failure of a registration.
  // The current delay manager, when there is one, takes the sensitivity
  // parameters' names for its second history.
  AnalysisManagers(SimProblemMgr& problem, SimResultsMgr* results, DseServerRegistry* registry,
                   Status* status = nullptr);
  ~AnalysisManagers();
  AnalysisManagers(const AnalysisManagers&) = delete;
  AnalysisManagers& operator=(const AnalysisManagers&) = delete;

  SensitivityMgr& Sensitivities() { return sensitivities_; }
  EstimationMgr& Estimation() { return estimation_; }
  OptimisationMgr& Optimisation() { return optimisation_; }
  SAXAction& Outside() { return sax_; }
  HomotopyMgr& Homotopy() { return homotopy_; }
  CDIManager& ControlDesign() { return control_design_; }
  EngineAnalysisServices& Services() { return services_; }

  // A model entry is being destroyed: every manager lets go of it, whether
  // a problem is built or not, and its adapter reaches it no more.
  void ForgetEntry(DAESVarTableEntry* entry);
  // The control-design manager's part of that.
  void ForgetVariable(DAESVariable* variable) override;

 private:
  // Joins the master after the managers, so that on an edit or a detach the
  // variable adapters go only once the managers have let go of them.
  class AdapterRelease final : public QLNSubSystemManager {
   public:
    explicit AdapterRelease(EngineAnalysisServices& services) : services_(services) {}
    Status ProblemEdited() override;
    Status DetachProblem(const char* folder, const char* sub_folder) override;

   private:
    EngineAnalysisServices& services_;
  };

  EngineAnalysisServices services_;
  SensitivityMgr sensitivities_;
  // Before the estimation manager, which holds on to it.
  EngineEstimationRunServices estimation_run_;
  EstimationMgr estimation_;
  EngineOptimisationRun optimisation_run_;
  OptimisationRunFactory optimisation_runs_;
  OptimisationMgr optimisation_;
  EngineHomotopyServices homotopy_services_;
  HomotopyMgr homotopy_;
  EngineCdiServices cdi_services_;
  CDIManager control_design_;
  EngineSaxServices sax_services_;
  SAXAction sax_;
  AdapterRelease release_;
};
