// A problem side with nothing behind it, for the results manager's tests,
// fuzz targets and benchmarks: no tree, no variables, no run; the solver
// options answer 0 and what is sent is dropped. A fake derives from it and
// answers what its test looks at.
#pragma once

#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"

class QuietProblemSide : public ResultsProblemSide {
 public:
  double CurrentTime() override { return 0.0; }
  std::int32_t RunMode() override { return 4; }
  void ResetRunHooks() override {}
  void SetValuesChanged() override {}
  Status RequestSnapshot(const char*, bool) override { return status::kOk; }
  void PostEvent(std::uint32_t, const char*) override {}
  void Send(DseMessage* message) override { delete message; }
  BvuDirectoryProper* VariableTree() override { return nullptr; }
  Status StoreRestoredValues(const SUPackedValueTable&) override { return status::kOk; }
  bool WantsSnapshotText() override { return false; }
  double Option(std::int32_t) override { return 0.0; }
  bool RestartRequested() override { return false; }
  void Print(Status, const std::string&) override {}
  void NotifyIntegrator() override {}
  void SetStructureChanged() override {}
  Status ConfirmRestore(std::uint32_t, std::int32_t) override { return status::kOk; }
  std::vector<std::uint8_t>* ProblemBlock() override { return nullptr; }
  ResultModel* Model() override { return nullptr; }
  AssignableVariable* VariableAt(std::int32_t) override { return nullptr; }
  std::int32_t ValueIndex(const ResultVariable*) override { return -1; }
  BvuDirectoryProper* EventTree() override { return nullptr; }
  std::vector<std::uint32_t>* EventSchedule() override { return nullptr; }
  Status RestoreEventSchedule(const std::vector<std::uint32_t>&) override { return status::kOk; }
  ResultObject* ResolveObject(const BvuIdPath&) override { return nullptr; }
  ResultObject* ObjectAt(std::int32_t) override { return nullptr; }
  AssignableVariable* Assignable(ResultObject*) override { return nullptr; }
  ResultVariable* PlotVariable(ResultObject*) override { return nullptr; }
  bool RunActive() override { return false; }
  Status QueueSnapshot(const char* name, bool first, bool, bool, const char*) override {
    return RequestSnapshot(name, first);
  }
  void StorePosition(SUPackedValueTable*) override {}
  void SetRestored() override {}
  void SetRestartTime(double) override {}
  void SetScalingSwitches() override {}
  void SpecificationChanged(std::int32_t) override {}
  void NotifyDelayManager() override {}
  void AddRequestBits(std::uint32_t) override {}
  void UpdateMonitors(double) override {}
};
