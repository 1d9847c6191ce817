#include "solve/methods/solver_factories.h"

#include <strings.h>

#include <memory>
#include <new>
#include <string>

#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "platform/com_status.h"
#include "solve/methods/group_solvers.h"
#include "solve/methods/open_solvers.h"
#include "solve/open/kvs_proxies.h"
#include "solve/optimisers/differencing_optimiser.h"
#include "solve/optimisers/kvs_optimisers.h"
#include "solve/optimisers/nls_optimiser.h"
#include "solve/proxies/integrator_server_proxy.h"

namespace {

void Report(Status* out, Status value) {
  if (out != nullptr) *out = value;
}

}  // namespace

GroupMethodClass SelectGroupMethod(std::int32_t code, std::int32_t linear_solver_choice) {
  const bool mfl = linear_solver_choice == kLinearSolverMfl;
  switch (code) {
    case kMethodExplicit:
      return GroupMethodClass::kExplicitSolve;
    case kMethodLinear20:
    case kMethodLinear30:
      return mfl ? GroupMethodClass::kKVSMflProxy : GroupMethodClass::kKVSSluProxy;
    case kMethodNonlinear40:
    case kMethodNonlinear60:
      if (IsOpenNLASolverLoaded()) return GroupMethodClass::kOpenNLASolver;
      return mfl ? GroupMethodClass::kKVSSparseMflProxy : GroupMethodClass::kKVSSparseProxy;
    case kMethodTorn:
      return GroupMethodClass::kTornSolve;
    case kMethodWegstein:
      return GroupMethodClass::kWegsteinStrategy;
    default:
      return GroupMethodClass::kNone;
  }
}

QLNGroupMethod* CreateGroupMethod(std::int32_t code, std::int32_t linear_solver_choice,
                                  Status* status) {
  switch (SelectGroupMethod(code, linear_solver_choice)) {
    case GroupMethodClass::kNone:
      Report(status, status::kBadArguments);
      return nullptr;
    case GroupMethodClass::kExplicitSolve:
      Report(status, 0);
      return new (std::nothrow) ExplicitSolve();
    case GroupMethodClass::kTornSolve:
      Report(status, 0);
      return new (std::nothrow) TornSolve();
    case GroupMethodClass::kWegsteinStrategy:
      Report(status, 0);
      return new (std::nothrow) WegsteinStrategy();
    case GroupMethodClass::kKVSSluProxy:
      Report(status, 0);
      return new (std::nothrow) QLNKVSSluProxy();
    case GroupMethodClass::kKVSMflProxy:
      Report(status, 0);
      return new (std::nothrow) QLNKVSMflProxy();
    case GroupMethodClass::kKVSSparseProxy:
      Report(status, 0);
      return new (std::nothrow) QLNKVSSparseProxy();
    case GroupMethodClass::kKVSSparseMflProxy:
      Report(status, 0);
      return new (std::nothrow) QLNKVSSparseMflProxy();
    case GroupMethodClass::kOpenNLASolver:
      Report(status, 0);
      return new (std::nothrow) QLNCOpenNLASolver();
    // The method classes join this build one by one.
    default:
      Report(status, kSolverClassUnavailable);
      return nullptr;
  }
}

DenseOptimiserClass SelectDenseOptimiser(std::int32_t run_type, std::int32_t kind) {
  switch (kind) {
    case kOptimiserSqpa:
      return DenseOptimiserClass::kKVSSqpaProxy;
    case kOptimiserNls:
      return DenseOptimiserClass::kNlsOptimiser;
    case kOptimiserSqpb:
      return DenseOptimiserClass::kKVSSqpbProxy;
    default:
      break;
  }
  if (run_type == kRunOptimisation || run_type == kRunEstimation) {
    const std::string name = OpenNLPSolverName(run_type);
    if (strcasecmp(name.c_str(), "kvs_sqpb.dll") == 0) return DenseOptimiserClass::kKVSSqpbProxy;
  }
  return DenseOptimiserClass::kKVSOptimiser;
}

QLNDenseOptimiser* CreateDenseOptimiser(std::int32_t run_type, std::int32_t kind,
                                        std::int32_t size1, std::int32_t size2, std::int32_t size3,
                                        QLNVariable* const* variables, Status* status) {
  if (kind == kOptimiserDifferenced &&
      (run_type == kRunOptimisation || run_type == kRunEstimation)) {
    std::unique_ptr<QLNDenseOptimiser> inner(
        CreateDenseOptimiser(run_type, 0, size1, size2, size3, variables, status));
    if (inner == nullptr) return nullptr;
    // An estimation's solver sees the objective alone.
    const std::int32_t constraints = run_type == kRunEstimation ? 0 : size2;
    return new (std::nothrow) DifferencingOptimiser(std::move(inner), size3, constraints);
  }
  const NlpProblemSizes sizes{run_type, size1, size2, size3, variables};
  // Without its library an NLP optimiser is still made; its Run answers 2.
  switch (SelectDenseOptimiser(run_type, kind)) {
    case DenseOptimiserClass::kNlsOptimiser:
      // Residuals and parameters.
      Report(status, 0);
      return new (std::nothrow) NlsOptimiser(size1, size3);
    case DenseOptimiserClass::kKVSSqpaProxy: {
      auto* made = new (std::nothrow) QLNKVSSqpaProxy(sizes);
      Report(status, made != nullptr ? made->Create() : platform::E_OUTOFMEMORY);
      return made;
    }
    case DenseOptimiserClass::kKVSSqpbProxy: {
      auto* made = new (std::nothrow) QLNKVSSqpbProxy(sizes);
      Report(status, made != nullptr ? made->Create() : platform::E_OUTOFMEMORY);
      return made;
    }
    case DenseOptimiserClass::kKVSOptimiser: {
      auto* made = new (std::nothrow) QLNKVSOptimiser(sizes);
      Report(status, made != nullptr ? made->Create() : platform::E_OUTOFMEMORY);
      return made;
    }
  }
  Report(status, status::kBadArguments);
  return nullptr;
}

std::int32_t SelectIntegratorKind(std::int32_t choice) {
  // The older integrators' script values. The warning of 5 names ImpEuler
  // and that of 6 VSIE, although the option's choice list has them the
  // other way round: clients and logs match on these texts as they are.
  const char* warning = nullptr;
  std::int32_t kind = choice;
  switch (choice) {
    case 1:
    case 2:
    case 3:
    case 4:
      return choice;
    case 5:
      kind = 3;
      warning = "Warning: ImpEuler 11.1 integrator specified in script, substituting ImplicitEuler";
      break;
    case 6:
      kind = 3;
      warning = "Warning: VSIE 11.1 integrator specified in script, substituting ImplicitEuler";
      break;
    case 7:
      kind = 4;
      warning = "Warning: Gear 11.1 integrator specified in script, substituting Gear12";
      break;
    default:
      return 0;
  }
  // Requested, not in force: the table applies it with the other staged values.
  SolverOptions::Instance()->SetInt(kOptIntegrator, kind);
  SuPrint(status::kOk, warning);
  return kind;
}

UnifiedIntegratorProxy* CreateIntegrator(std::int32_t choice, Status* status) {
  const std::int32_t kind = SelectIntegratorKind(choice);
  if (kind == 0) {
    Report(status, status::kBadArguments);
    return nullptr;
  }
  auto* proxy = new (std::nothrow) IntegratorServerProxy(kind);
  if (proxy == nullptr) {
    Report(status, kSolverClassUnavailable);
    return nullptr;
  }
  // A proxy without its server is still handed out: its status tells why.
  Report(status, proxy->GetStatus());
  return proxy;
}
