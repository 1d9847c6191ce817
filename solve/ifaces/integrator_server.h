// The integrator server ("Brunvald.UnifiedIntegrator") and the enumerators
// it hands out.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IUnifiedIntegrator = EngineIid(0x22);
inline constexpr platform::IID IID_ISensitivityItemEnumerator = EngineIid(0x23);
inline constexpr platform::IID IID_IServerCount = EngineIid(0x24);

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
inline constexpr std::int32_t kRunControlSteadyState = 0;
inline constexpr std::int32_t kRunControlPrepare = 1;
inline constexpr std::int32_t kRunControlSolve = 3;
inline constexpr std::int32_t kRunControlEnd = 5;

class IUnifiedIntegrator : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Initialise(double* time_reached, double time, std::int32_t mode,
                                    std::int32_t sensitivities) = 0;
  /* 4 */ virtual Status GetCapabilities(std::uint32_t* word) = 0;
  /* 5 */ virtual Status SetUp(platform::IUnknown* problem_group,
                               platform::IUnknown* executive) = 0;
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
