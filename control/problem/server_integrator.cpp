#include "control/problem/server_integrator.h"

#include "foundation/interfaces/current_objects.h"
#include "solve/methods/solver_factories.h"
#include "solve/proxies/integrator_server_proxy.h"

SimServerIntegrator::SimServerIntegrator(IntegratorServerProxy* proxy) : proxy_(proxy) {}

SimServerIntegrator::~SimServerIntegrator() {
  if (GetCurrentIntegrator() == proxy_) SetCurrentIntegrator(nullptr);
  delete proxy_;
}

std::unique_ptr<SimRunIntegrator> SimServerIntegrator::Create(std::int32_t choice, Status* status) {
  Status made = status::kOk;
  UnifiedIntegratorProxy* proxy = CreateIntegrator(choice, &made);
  auto* server = dynamic_cast<IntegratorServerProxy*>(proxy);
  if (server == nullptr) {
    delete proxy;
    if (status != nullptr) *status = status::IsFailure(made) ? made : SimRunIntegrator::kNoServer;
    return nullptr;
  }
  if (status != nullptr) *status = made;
  return std::make_unique<SimServerIntegrator>(server);
}

std::int32_t SimServerIntegrator::GetIntegratorKind() const { return proxy_->GetIntegratorKind(); }
Status SimServerIntegrator::BeginRun() { return proxy_->BeginRun(); }
Status SimServerIntegrator::EndRun() { return proxy_->EndRun(); }
Status SimServerIntegrator::InitialiseAt(double time) { return proxy_->InitialiseAt(time); }
Status SimServerIntegrator::Initialise() { return proxy_->Initialise(); }
Status SimServerIntegrator::IntegrateTo(double* reached, double time) {
  return proxy_->IntegrateTo(reached, time);
}
Status SimServerIntegrator::LocateDiscontinuity(double low, double* high, double tolerance,
                                                bool finalise, Status* status) {
  return proxy_->LocateDiscontinuity(low, high, tolerance, finalise, status);
}
Status SimServerIntegrator::TransferSensitivities(double time) {
  return proxy_->TransferSensitivities(time);
}
Status SimServerIntegrator::SynchroniseTime() { return proxy_->SynchroniseTime(); }

Status SimServerIntegrator::NestedRunsEnded() { return proxy_->SetQuiet(false); }
Status SimServerIntegrator::Finish() { return proxy_->Finish(); }
// The server tells a re-initialisation at an event from its own state.
Status SimServerIntegrator::Reinitialise(double time, bool) { return proxy_->Reinitialise(time); }
bool SimServerIntegrator::HasCapability0() const { return proxy_->HasCapability0(); }
bool SimServerIntegrator::HasCapability3() const { return proxy_->HasCapability3(); }
Status SimServerIntegrator::ErrorStatus() const { return proxy_->GetStatus(); }
Status SimServerIntegrator::ForwardToServer16(std::int32_t code, void* data) {
  return proxy_->ForwardToServer16(code, data);
}
Status SimServerIntegrator::ReleaseSolvers() { return proxy_->ReleaseServerGroup(); }
UnifiedIntegratorProxy* SimServerIntegrator::Proxy() { return proxy_; }

Status SimServerIntegrator::ProblemEdited() { return proxy_->ProblemEdited(); }
Status SimServerIntegrator::DiscardProblem() { return proxy_->ReleaseServerGroup(); }
Status SimServerIntegrator::RewindTo(double) { return proxy_->RewindTo(); }
