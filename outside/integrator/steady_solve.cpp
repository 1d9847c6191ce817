// Steady state and (re-)initialisation: one decomposition per kind, made
// through the executive's decomposer, attached to the executive's solver
// slot and solved group by group.
#include <vector>

#include "outside/integrator/integrator_server.h"
#include "platform/com_status.h"
#include "solve/ifaces/decomposition.h"

namespace integrator {

namespace {

constexpr std::int32_t kTypeState = 0x1;
constexpr std::int32_t kTypeAlgebraic = 0x2;
constexpr std::int32_t kTypeDerivative = 0x4;
constexpr std::int32_t kTypeFixed = 0x60;
constexpr std::uint32_t kFlagTearing = 0x2;

// Decomposer and group statuses (facility 0xFE) reach the engine as they
// are, so it prints their designed texts; anything else is the server's.
Status AsRunStatus(Status s, Status otherwise) {
  if (status::IsSuccess(s)) return 0;
  return status::Facility(s) == 0xFE ? s : otherwise;
}

}  // namespace

void IntegratorServer::DropDecompositions() {
  if (executive_) {
    if (steady_) executive_->DetachSolverObject(kSlotSteadyState);
    if (initial_) executive_->DetachSolverObject(kSlotInitialisation);
    if (corrector_) executive_->DetachSolverObject(kSlotCorrector);
    if (stages_) executive_->DetachSolverObject(kSlotExplicitStage);
  }
  steady_.Reset();
  initial_.Reset();
  corrector_.Reset();
  stages_.Reset();
}

Status IntegratorServer::FixDerivativesAtZero() {
  std::vector<QLNVariable*> variables;
  for (std::int32_t i = 0; i < variable_count_; ++i) {
    const std::int32_t type = variable_types_[static_cast<std::size_t>(i)];
    if ((type & kTypeDerivative) == 0 || (type & (kTypeState | kTypeAlgebraic)) != 0 ||
        (type & kTypeFixed) == kTypeFixed)
      continue;
    QLNVariable* v = nullptr;
    if (problem_->GetVariable(i, &v) != 0 || v == nullptr) return kStatusProblemUnreadable;
    variables.push_back(v);
  }
  if (variables.empty()) return 0;
  const std::vector<double> zeros(variables.size(), 0.0);
  const Status s = problem_->SetVariableValues(static_cast<std::int32_t>(variables.size()),
                                               variables.data(), zeros.data());
  return status::IsSuccess(s) ? 0 : kStatusProblemUnreadable;
}

Status IntegratorServer::DecompositionFor(std::uint32_t kind, std::int32_t slot,
                                          outside::Ref<IQLNDecomposition>* held,
                                          IQLNDecomposition** out) {
  if (*held) {
    *out = held->get();
    return 0;
  }
  outside::Ref<platform::IUnknown> made;
  Status s = executive_->CreateDecomposerObject(made.Out());
  if (status::IsFailure(s) || !made) return kStatusDecomposerFailed;
  auto decomposer = outside::QueryRef<IQLNDecomposer>(made.get(), IID_IQLNDecomposer);
  if (!decomposer) return kStatusDecomposerFailed;
  const std::uint32_t flags = options_.Get(kOptionTearing) > 0 ? kFlagTearing : 0;
  outside::Ref<IQLNDecomposition> decomposition;
  s = decomposer->Decompose(executive_unknown_.get(), problem_unknown_.get(), kind, 0, flags,
                            decomposition.Out());
  if (status::IsFailure(s)) return AsRunStatus(s, kStatusDecomposerFailed);
  if (!decomposition) return kStatusDecomposerFailed;
  s = executive_->AttachSolverObject(decomposition.get(), slot);
  if (status::IsFailure(s)) return kStatusDecomposerFailed;
  *held = std::move(decomposition);
  *out = held->get();
  return 0;
}

Status IntegratorServer::SolveDecomposition(IQLNDecomposition* decomposition) {
  std::int32_t iterations = 0;
  const Status s = decomposition->SolveGroups(1, 0, 0, &iterations);
  return AsRunStatus(s, kDecompositionGroupFailedSevere);
}

Status IntegratorServer::SolveSteadyState() {
  Status s = FixDerivativesAtZero();
  if (s != 0) return s;
  IQLNDecomposition* decomposition = nullptr;
  if ((s = DecompositionFor(kDecomposeSteadyState, kSlotSteadyState, &steady_, &decomposition)) !=
      0)
    return s;
  return SolveDecomposition(decomposition);
}

Status IntegratorServer::SolveInitialisation(double time, std::uint32_t kind) {
  if (status::IsFailure(executive_->SetSimulationTime(time))) return kStatusBadArgument;
  if (initial_ && initial_kind_ != kind) {
    executive_->DetachSolverObject(kSlotInitialisation);
    initial_.Reset();
  }
  IQLNDecomposition* decomposition = nullptr;
  const Status s = DecompositionFor(kind, kSlotInitialisation, &initial_, &decomposition);
  if (s != 0) return s;
  initial_kind_ = kind;
  return SolveDecomposition(decomposition);
}

}  // namespace integrator
