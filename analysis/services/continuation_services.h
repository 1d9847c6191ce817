// The homotopy and control-design managers' services over the engine's own
// objects: the problem manager, the results manager (may be absent), the
// solver option table, the action manager, the current problem and its
// linearisation. Server thread, as the managers are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/control_design/cdi_mgr.h"
#include "analysis/homotopy/homotopy_mgr.h"

class DelayMgr;
class EngineAnalysisServices;
class SimProblemMgr;
class SimResultsMgr;

// Option values by the names the managers use.
std::int32_t EngineIntOption(const char* name);
double EngineDoubleOption(const char* name);

class EngineHomotopyServices final : public HomotopyServices {
 public:
  EngineHomotopyServices(SimProblemMgr& problem, SimResultsMgr* results,
                         EngineAnalysisServices& services)
      : problem_(problem), results_(results), services_(services) {}

  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override;
  void Print(Status status, const std::string& text) override;
  double DoubleOption(const char* name) override { return EngineDoubleOption(name); }
  std::int32_t IntOption(const char* name) override { return EngineIntOption(name); }
  void SetErrorReporting(bool on) override;
  void EnterNestedMode() override;
  void LeaveNestedMode() override;
  void RaiseRunRequest(std::uint32_t bit) override;
  std::int32_t MaxBlockIterations() override;
  Status TakeNamedSnapshot(const char* name, bool by_caller, std::int32_t* id) override;
  Status RestoreSnapshot(std::int32_t id, double* time) override;
  Status DeleteSnapshot(std::int32_t id) override;
  void TakeProblemSnapshot(const char* name) override;
  void SetCurrentTime(double time) override;
  bool HasVariableDrivers() override;
  void ApplyVariableDrivers(double time) override;
  void GetLastSolutionTimeRecord(double* time, std::uint16_t* flag) override;
  void SetCurrentSolutionTimeRecord(double time, std::uint16_t flag) override;
  void SetCurrentSolutionTimeFlag(std::uint16_t) override {}
  void SetSnapshotFlags(std::uint32_t flags) override;
  void ClearSnapshotFlags(std::uint32_t flags) override;
  Status RegisterActionFactory(SimActionFactory* factory) override;
  Status CreateAction(const char* name, NewSimAction** action) override;
  Status RemoveAction(NewSimAction* action) override;
  std::int32_t CurrentHookPoint() override;

 private:
  SimProblemMgr& problem_;
  SimResultsMgr* results_;
  EngineAnalysisServices& services_;
};

class EngineCdiServices final : public CdiServices {
 public:
  // A linearisation mode entered by this call answers a status with this
  // code part; one already entered answers 0.
  static constexpr Status kEnteredNow = 0x00320001u;

  EngineCdiServices(SimProblemMgr& problem, EngineAnalysisServices& services)
      : problem_(problem), services_(services) {}

  Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) override;
  void Print(Status status, const std::string& text) override;
  std::int32_t IntOption(const char* name) override { return EngineIntOption(name); }
  Status EnterLinearisationMode() override;
  void LeaveLinearisationMode() override;
  Status CreateLinearisation(std::unique_ptr<CdiLinearisation>* object) override;
  // The current delay manager is suspended while the hold is up: delayed
  // values read as the present ones.
  void RaiseDelayHold() override;
  void LowerDelayHold() override;
  double LastSolutionTime() override;
  void FlushMessages() override;
  bool StopRequested() override;
  bool StepComputing() override;

  std::int32_t DelayHold() const { return static_cast<std::int32_t>(held_.size()); }
  bool InLinearisationMode() const { return linearising_ > 0; }

 private:
  SimProblemMgr& problem_;
  EngineAnalysisServices& services_;
  std::int32_t linearising_ = 0;
  // Per raise, the manager it suspended (null when there was none).
  std::vector<DelayMgr*> held_;
};
