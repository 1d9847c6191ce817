// The run's integrator in the engine: the integrator server proxy of the
// solve subsystem behind the run steps' seam. It owns the proxy, and gives
// the proxy its subsystem-manager face: the broadcasts that release, edit,
// discard or rewind the problem reach it.
#pragma once

#include <cstdint>
#include <memory>

#include "control/managers/subsystem_manager.h"
#include "control/problem/run_integrator.h"

class IntegratorServerProxy;

class SimServerIntegrator final : public SimRunIntegrator, public QLNSubSystemManager {
 public:
  // Takes the proxy.
  explicit SimServerIntegrator(IntegratorServerProxy* proxy);
  ~SimServerIntegrator() override;
  SimServerIntegrator(const SimServerIntegrator&) = delete;
  SimServerIntegrator& operator=(const SimServerIntegrator&) = delete;

  // Makes the proxy of the integrator choice (CreateIntegrator); null when
  // none could be made, with the reason in *status.
  static std::unique_ptr<SimRunIntegrator> Create(std::int32_t choice, Status* status);

  std::int32_t GetIntegratorKind() const override;
  Status BeginRun() override;
  Status EndRun() override;
  Status InitialiseAt(double time) override;
  Status Initialise() override;
  Status IntegrateTo(double* reached, double time) override;
  Status LocateDiscontinuity(double low, double* high, double tolerance, bool finalise,
                             Status* status) override;
  Status TransferSensitivities(double time) override;
  Status SynchroniseTime() override;
  Status Finish() override;
  Status Reinitialise(double time, bool at_event) override;
  bool HasCapability0() const override;
  bool HasCapability3() const override;
  Status ErrorStatus() const override;
  Status ForwardToServer16(std::int32_t code, void* data) override;
  // Both faces: the server lets go of the problem.
  Status ReleaseSolvers() override;
  UnifiedIntegratorProxy* Proxy() override;
  Status NestedRunsEnded() override;

  Status ProblemEdited() override;
  Status DiscardProblem() override;
  Status RewindTo(double time) override;

 private:
  IntegratorServerProxy* proxy_;
};
