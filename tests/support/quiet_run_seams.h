// The run seams' operations that a control-loop fake does not look at,
// answered as an engine without run steps or a results manager answers
// them (the problem manager's plain stand-ins): no time message left, no
// records, snapshots or value dump, the plain communication schedule; and
// an integrator's, answered as one without a server. A fake derives from
// these and supplies what its test looks at.
#pragma once

#include <cstdint>

#include "control/problem/run_integrator.h"
#include "control/problem/run_ops.h"

// Not SimPlainRunOps itself: the engine would take a fake for the
// stand-in and put its run steps in its place.
using QuietRunOps = SimPlainRunAnswers;

class QuietRunResults : public SimPlainRecordAnswers {
 public:
  Status TakeDescribedSnapshot(const char* text, std::int32_t, std::int32_t, std::int32_t,
                               const char*) override {
    return TakeSnapshot(text);
  }
  Status TakeInitialSpecificationSnapshot() override {
    return TakeSnapshot("Initial Specification");
  }
  void CloseValueDump() override { FreeDumpTables(); }
};

// Every run step's call finds no server; the rest succeeds doing nothing.
class QuietRunIntegrator : public SimRunIntegrator {
 public:
  Status InitialiseAt(double) override { return kNoServer; }
  Status Initialise() override { return kNoServer; }
  Status IntegrateTo(double*, double) override { return kNoServer; }
  Status LocateDiscontinuity(double, double*, double, bool, Status* status) override {
    if (status != nullptr) *status = kNoServer;
    return kNoServer;
  }
  Status TransferSensitivities(double) override { return status::kOk; }
  Status SynchroniseTime() override { return status::kOk; }
  Status Finish() override { return kNoServer; }
  Status Reinitialise(double, bool) override { return kNoServer; }
  bool HasCapability0() const override { return false; }
  bool HasCapability3() const override { return false; }
  Status ErrorStatus() const override { return status::kOk; }
  Status ForwardToServer16(std::int32_t, void*) override { return status::kOk; }
  Status ReleaseSolvers() override { return status::kOk; }
  Status NestedRunsEnded() override { return status::kOk; }
  UnifiedIntegratorProxy* Proxy() override { return nullptr; }
};
