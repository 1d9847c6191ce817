// The problem manager's faces to the integrator server and other outside
// components that call it back on the run thread: the timed events, the
// implicit-event questions and the executive. Each forwards its IUnknown to
// the problem manager, which owns them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "control/actions/action_mgr.h"
#include "solve/ifaces/executive.h"

class SimProblemMgr;

class SimExplicitEventService final : public IQLNExplicitEventMgr {
 public:
  static constexpr Status kNotImplemented = 0x80004001u;

  explicit SimExplicitEventService(SimProblemMgr& manager) : manager_(manager) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  // *event gets the list's element, valid while it stays in the list.
  Status AddEvent(std::uint32_t kind, double time, double tolerance, void** event) override;
  Status GetTolerance(double* tolerance) override;
  Status LowerTolerance(double tolerance) override;
  // A removed event is handed out as a copy kept until the next removal.
  Status FirstEvent(std::int32_t remove, void** event) override;
  Status NotImplemented7() override { return kNotImplemented; }

 private:
  SimProblemMgr& manager_;
  SimExplicitEvent removed_;
};

class SimImplicitEventService final : public IQLNImplicitEventMgr {
 public:
  explicit SimImplicitEventService(SimProblemMgr& manager) : manager_(manager) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  // The current event schedule's questions. A: whether an external event
  // has fired (flag 0; the integrator asks this after its steps) or whether
  // there are external events at all (flag set). B: whether any event
  // (flag 0) or an external event (flag set) changed. Without a schedule
  // the answer is no: 0, result 1.
  Status QueryA(std::int32_t flag, std::int32_t* answer) override;
  Status QueryB(std::int32_t flag, std::int32_t* answer) override;
  // The event (a QLNImplicitEvent) joins or leaves the current schedule;
  // 0x80004005 without one, for null or for an event the engine did not make.
  Status RegisterEvent(void* event) override;
  Status UnregisterEvent(void* event) override;

 private:
  SimProblemMgr& manager_;
};

class SimDelayService final : public IQLNDelayManager {
 public:
  explicit SimDelayService(SimProblemMgr& manager) : manager_(manager) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  // The current delay manager records its variables at the simulation time
  // the integrator reached; 0 with or without one.
  Status RecordTime() override;

 private:
  SimProblemMgr& manager_;
};

class SimDelayJumpService final : public IQLNDelayJumps {
 public:
  explicit SimDelayJumpService(SimProblemMgr& manager) : manager_(manager) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  // The current delay manager's answers; without one there are no jumps.
  Status NextJump(double after, double until, double* at) override;
  Status KeepBeforeJump() override;
  Status GoesOnAt(double at, std::int32_t* on) override;

 private:
  SimProblemMgr& manager_;
};

class SimExecutiveService final : public IQLNESOFactory {
 public:
  static constexpr std::int32_t kSlots = 8;
  static constexpr std::uint32_t kSolversChanged = 0x800;

  explicit SimExecutiveService(SimProblemMgr& manager) : manager_(manager) {}
  ~SimExecutiveService();
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  Status SetSimulationTime(double time) override;
  Status PostSolverMessage(Status status, std::int32_t text_count, const char* const* texts,
                           std::int32_t object_count, void* const* objects) override;
  Status SetNestedMode(std::int32_t on) override;
  Status CreateGroupTable(std::int32_t count, const double* first, const double* second) override;
  Status SetGroupValues(std::int32_t count, const double* values) override;
  Status AttachSolverObject(platform::IUnknown* object, std::int32_t index) override;
  Status DetachSolverObject(std::int32_t index) override;
  // The problem manager's check; a failure is 0x80004005.
  Status CheckCompiledEquations() override;
  // A new decomposer proxy, equation-set group or decomposition, each with
  // one reference for the caller.
  Status CreateDecomposerObject(platform::IUnknown** out) override;
  Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) override;
  Status CreateDecompositionObject(platform::IUnknown** out) override;

  platform::IUnknown* SolverObject(std::int32_t index) const {
    return index >= 0 && index < kSlots ? slots_[index] : nullptr;
  }
  // Releases every solver object.
  void ReleaseAll();

  // "@E" in a text takes the name of the next object, an equation row.
  static std::string Expand(const char* text, std::int32_t object_count, void* const* objects,
                            std::int32_t* next);

 private:
  SimProblemMgr& manager_;
  std::array<platform::IUnknown*, kSlots> slots_{};
  std::vector<double> group_first_;
  std::vector<double> group_second_;
  std::vector<double> group_values_;
};

// Made by command 6 at the start of every prepared problem: at the first
// hook point the results manager takes the "Initial Specification"
// snapshot (when the client's snapshot flags ask for it), unless the run
// position was already counted.
class SimInitSpecAction final : public SimSingleAction {
 public:
  static constexpr char kName[] = "Initial Specification Snapshot Action";
  static constexpr char kSnapshot[] = "Initial Specification";

  explicit SimInitSpecAction(SimProblemMgr& manager);
  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;

 private:
  SimProblemMgr& manager_;
};
