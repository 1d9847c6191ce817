// The integrator server and what it may call back on the engine's executive
// (the problem manager, reached by QueryInterface on the IUnknown the server
// receives at set-up).
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IUnifiedIntegrator = EngineIid(0x22);
inline constexpr platform::IID IID_ISensitivityItemEnumerator = EngineIid(0x23);
inline constexpr platform::IID IID_IServerCount = EngineIid(0x24);
inline constexpr platform::IID IID_IQLNESOFactory = EngineIid(0x19);
inline constexpr platform::IID IID_IQLNDelayManager = EngineIid(0x1F);
inline constexpr platform::IID IID_IQLNExplicitEventMgr = EngineIid(0x20);
inline constexpr platform::IID IID_IQLNImplicitEventMgr = EngineIid(0x21);
inline constexpr platform::IID IID_IQLNSensitivityManager = EngineIid(0x25);
inline constexpr platform::IID IID_IQLNPropertiesManager =
    platform::MakeGuid("{AA68DE17-495F-4ED4-A57A-30BFFB20ABC7}");

// Initialise modes.
inline constexpr std::int32_t kIntegratorStart = 0;
inline constexpr std::int32_t kIntegratorInitialiseAt = 1;
inline constexpr std::int32_t kIntegratorReinitialiseAt = 2;
inline constexpr std::int32_t kIntegratorIntegrateTo = 3;
// Initialise answer in mode 3: a discontinuity lies before the target.
inline constexpr Status kIntegratorDiscontinuity = 1;

// Capability bits; 0 and 2 are our own servers' reading.
inline constexpr std::uint32_t kCapInterpolates = 0x1;
inline constexpr std::uint32_t kCapTornVariables = 0x2;
inline constexpr std::uint32_t kCapImplicitEvents = 0x4;
inline constexpr std::uint32_t kCapSensitivities = 0x8;

// Set-mode selectors.
inline constexpr std::int32_t kModeInterpolation = 1;
inline constexpr std::int32_t kModeQuiet = 2;

// Run-control codes.
inline constexpr std::int32_t kRunSteadyState = 0;
inline constexpr std::int32_t kRunPrepare = 1;
inline constexpr std::int32_t kRunSolve = 3;
inline constexpr std::int32_t kRunEnd = 5;

class IUnifiedIntegrator : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Initialise(double* time_reached, double time, std::int32_t mode,
                                    std::int32_t sensitivities) = 0;
  /* 4 */ virtual Status GetCapabilities(std::uint32_t* word) = 0;
  /* 5 */ virtual Status SetUp(platform::IUnknown* problem_group, platform::IUnknown* executive) = 0;
  // The step quantity: corrector Jacobians take 1/value as partner coefficient.
  /* 6 */ virtual Status GetValue(double* value) = 0;
  // Positions are 0-based in the problem; the server may change the values.
  /* 7 */ virtual Status ExchangeStates(std::int32_t count, const std::int32_t* positions,
                                        double* values) = 0;
  /* 8 */ virtual Status GetErrorText(Status status, char16_t** text) = 0;
  /* 9 */ virtual Status Finish() = 0;
  /* 10 */ virtual Status SetOption(std::uint32_t server_id, VARIANT value) = 0;
  /* 11 */ virtual Status GetInterface(const platform::IID& iid, void** out) = 0;
  /* 12 */ virtual Status SetTime(double time) = 0;
  /* 13 */ virtual Status ReleaseProblem() = 0;
  /* 14 */ virtual Status RunControl(std::int32_t code) = 0;
  // 15, 16, 20 and 21 are passed through unchanged from the engine; no
  // engine caller uses them, and our server answers 0.
  /* 15 */ virtual Status PassThrough15(std::int32_t code, void* data) = 0;
  /* 16 */ virtual Status PassThrough16(std::int32_t code, void* data) = 0;
  /* 17 */ virtual Status SetMode(std::int32_t selector, std::int32_t flag) = 0;
  /* 18 */ virtual Status Reset() = 0;
  // (1,0,k) row k; (0,1,0); (1,1,0) the extra row.
  /* 19 */ virtual Status GetSensitivityData(double* values, std::int32_t a, std::int32_t b,
                                            std::int32_t index1) = 0;
  /* 20 */ virtual Status PassThrough20(std::int32_t code, void* data) = 0;
  /* 21 */ virtual Status PassThrough21(std::int32_t code, void* data) = 0;

 protected:
  ~IUnifiedIntegrator() = default;
};

// One sensitivity item; the engine stores items whose flags have 0x200.
struct SensitivityItem {
  std::uint32_t flags;
  std::int32_t position;  // 0-based in the problem
};

class ISensitivityItemEnumerator : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, SensitivityItem* items,
                              std::uint32_t* fetched) = 0;

 protected:
  ~ISensitivityItemEnumerator() = default;
};

// Optional; absent means 0.
class IServerCount : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetCount(std::uint32_t* count) = 0;

 protected:
  ~IServerCount() = default;
};

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

// Answer 1 with result 0 means yes.
class IQLNImplicitEventMgr : public platform::IUnknown {
 public:
  /* 3 */ virtual Status QueryA(std::int32_t flag, std::int32_t* answer) = 0;
  /* 4 */ virtual Status QueryB(std::int32_t flag, std::int32_t* answer) = 0;

 protected:
  ~IQLNImplicitEventMgr() = default;
};

class IQLNDelayManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status RecordTime() = 0;

 protected:
  ~IQLNDelayManager() = default;
};

class IQLNSensitivityManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetCount(std::int32_t* count) = 0;
  /* 4 */ virtual Status SetValue1(const char* name1, const char* name2, double* value) = 0;
  /* 5 */ virtual Status SetValue2(const char* name1, const char* name2, double* value) = 0;

 protected:
  ~IQLNSensitivityManager() = default;
};

class IQLNPropertiesManager : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Forward(std::uint32_t code, void* data) = 0;

 protected:
  ~IQLNPropertiesManager() = default;
};
