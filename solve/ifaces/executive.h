// What the integrator server may call back on the engine's executive (the
// problem manager, reached by QueryInterface on the IUnknown the server
// receives at set-up): the factory of groups, decompositions and
// decomposers, and the event, delay, sensitivity and properties managers.
#pragma once

#include <cstdint>

#include "platform/com_status.h"
#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IQLNESOFactory = EngineIid(0x19);
inline constexpr platform::IID IID_IQLNDelayManager = EngineIid(0x1F);
inline constexpr platform::IID IID_IQLNExplicitEventMgr = EngineIid(0x20);
inline constexpr platform::IID IID_IQLNImplicitEventMgr = EngineIid(0x21);
inline constexpr platform::IID IID_IQLNSensitivityManager = EngineIid(0x25);
inline constexpr platform::IID IID_IQLNDelayJumps =
    platform::MakeGuid("{9F47EF7B-FCC7-4F7F-A409-79F8C1958431}");
inline constexpr platform::IID IID_IQLNPropertiesManager =
    platform::MakeGuid("{AA68DE17-495F-4ED4-A57A-30BFFB20ABC7}");

// The executive and the factory through which servers make groups,
// decompositions and decomposers.
class IQLNESOFactory : public platform::IUnknown {
 public:
  /* 3 */ virtual Status SetSimulationTime(double time) = 0;
  // Texts may hold "@E" placeholders, filled in order from `objects`.
  /* 4 */ virtual Status PostSolverMessage(Status status, std::int32_t text_count,
                                           const char* const* texts, std::int32_t object_count,
                                           void* const* objects) = 0;
  /* 5 */ virtual Status SetNestedMode(std::int32_t on) = 0;
  /* 6 */ virtual Status CreateGroupTable(std::int32_t count, const double* first,
                                          const double* second) = 0;
  /* 7 */ virtual Status SetGroupValues(std::int32_t count, const double* values) = 0;
  // Slot 0 steady state, 1 initialisation; 0..7.
  /* 8 */ virtual Status AttachSolverObject(platform::IUnknown* object, std::int32_t index) = 0;
  /* 9 */ virtual Status DetachSolverObject(std::int32_t index) = 0;
  /* 10 */ virtual Status CheckCompiledEquations() = 0;
  /* 11 */ virtual Status CreateDecomposerObject(platform::IUnknown** out) = 0;
  /* 12 */ virtual Status CreateESOGroupObject(std::int32_t type, platform::IUnknown** out) = 0;
  /* 13 */ virtual Status CreateDecompositionObject(platform::IUnknown** out) = 0;

 protected:
  ~IQLNESOFactory() = default;
};

class IQLNExplicitEventMgr : public platform::IUnknown {
 public:
  // Merging into an event at the same time answers 0x00320000.
  /* 3 */ virtual Status AddEvent(std::uint32_t kind, double time, double tolerance,
                                  void** event) = 0;
  /* 4 */ virtual Status GetTolerance(double* tolerance) = 0;
  /* 5 */ virtual Status LowerTolerance(double tolerance) = 0;
  /* 6 */ virtual Status FirstEvent(std::int32_t remove, void** event) = 0;
  /* 7 */ virtual Status NotImplemented7() = 0;

 protected:
  ~IQLNExplicitEventMgr() = default;
};

// Answer 1 with result 0 means yes. Events registered are implicit-event
// objects made by the implicit-event factory (QLNImplicitEvent).
class IQLNImplicitEventMgr : public platform::IUnknown {
 public:
  /* 3 */ virtual Status QueryA(std::int32_t flag, std::int32_t* answer) = 0;
  /* 4 */ virtual Status QueryB(std::int32_t flag, std::int32_t* answer) = 0;
  /* 5 */ virtual Status RegisterEvent(void* event) = 0;
  /* 6 */ virtual Status UnregisterEvent(void* event) = 0;

 protected:
  ~IQLNImplicitEventMgr() = default;
};

class IQLNDelayManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status RecordTime() = 0;

 protected:
  ~IQLNDelayManager() = default;
};

// Where delayed values jump: the values recorded before and after an event
// or a re-initialisation share a time, and a look-up a lag back sees the
// jump that much later. A step that passed over one could never meet its
// error test: the integrator ends its steps just before such a time and
// starts again at it.
class IQLNDelayJumps : public platform::IUnknown {
 public:
  // The first such time in (after, until]: 0 with *at, 1 when none.
  /* 3 */ virtual Status NextJump(double after, double until, double* at) = 0;
  // The values now, at the simulation time, are those before a jump: the
  // next recording at this time keeps them and holds those after it.
  /* 4 */ virtual Status KeepBeforeJump() = 0;
  // *on 1 where an integrator ends a step on the jump at `at` (a time
  // NextJump gave) and goes on without starting again; 0 where it starts
  // again there.
  /* 5 */ virtual Status GoesOnAt(double at, std::int32_t* on) = 0;

 protected:
  ~IQLNDelayJumps() = default;
};

// Rows: parameter elements, then switching-time rows (GetCount of them).
// `first` holds one row per sensitivity over the problem variables without
// flag 4, `second` over those with it (the derivatives), each in problem
// order, row-major. The server fills them with its current rows (predicted
// ones for an update) and the engine overwrites them.
class IQLNSensitivityManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetCount(std::int32_t* count) = 0;
  // After a successful initialise with sensitivities on: the steady-state or
  // initialisation sensitivities of the current run kind at *time.
  /* 4 */ virtual Status SensitivityInit(double* first, double* second, double* time) = 0;
  // The dynamic sensitivities of the corrector's converged point.
  /* 5 */ virtual Status SensitivityUpdate(double* first, double* second, double* time) = 0;
  // Where a leg restarts at *time (after an initialisation, or after the
  // integration was ended there, the controls perhaps switched): `change`
  // holds, by problem variable, each derivative's value where the last leg
  // ended less its value now, zero when no leg ended at *time. The engine
  // overwrites the rows as the next leg is to start from them.
  /* 6 */ virtual Status SensitivityJump(double* first, double* second, const double* change,
                                         double* time) = 0;

 protected:
  ~IQLNSensitivityManager() = default;
};

class IQLNPropertiesManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Forward(std::uint32_t code, void* data) = 0;

 protected:
  ~IQLNPropertiesManager() = default;
};
