// The integrator server "Brunvald.UnifiedIntegrator". Steady state and
// (re-)initialisation are solved by a decomposition that the engine's
// executive makes through the decomposition server, its groups solved in
// order; time integration belongs to the dynamic core (dynamic_core.h).
// One object per engine proxy, used on the run thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "outside/integrator/dynamic_core.h"
#include "outside/integrator/integrator_options.h"
#include "outside/server_com.h"
#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/integrator_server.h"

namespace integrator {

// {AC1847BA-D680-4403-BE96-6FCEC4EF061B}
inline constexpr platform::CLSID CLSID_UnifiedIntegrator =
    platform::MakeGuid("{AC1847BA-D680-4403-BE96-6FCEC4EF061B}");

// Server statuses (facility 0xFF), with texts through GetErrorText.
inline constexpr Status kStatusNoDynamicCore = 0xC0FF0001u;
inline constexpr Status kStatusNotSetUp = 0xC0FF0002u;
inline constexpr Status kStatusBadArgument = 0x80FF0003u;
inline constexpr Status kStatusUnknownOption = 0x80FF0004u;
inline constexpr Status kStatusBadOptionValue = 0x80FF0005u;
inline constexpr Status kStatusNoStep = 0x80FF0006u;
inline constexpr Status kStatusNoSensitivities = 0x80FF0007u;
inline constexpr Status kStatusDecomposerFailed = 0xC0FF0008u;
inline constexpr Status kStatusProblemUnreadable = 0xC0FF0009u;
inline constexpr Status kStatusNoInterface = 0xC0FF000Au;
inline constexpr Status kStatusTargetBeforeStep = 0x80FF000Bu;
inline constexpr Status kStatusCorrectorFailed = 0x80FF000Cu;
inline constexpr Status kStatusTooMuchWork = 0x80FF000Du;
inline constexpr Status kStatusErrorTestFailed = 0x80FF000Eu;
inline constexpr Status kStatusIntegrationFailed = 0xC0FF000Fu;
inline constexpr Status kStatusValuesUnreadable = 0xC0FF0010u;
inline constexpr Status kStatusSensitivityFailed = 0xC0FF0011u;
inline constexpr Status kStatusStepTooSmall = 0x80FF0012u;

// Decomposition kinds this server asks for.
inline constexpr std::uint32_t kDecomposeSteadyState = 0;
inline constexpr std::uint32_t kDecomposeInitialisation = 1;
inline constexpr std::uint32_t kDecomposeReinitialisation = 2;
// Solver-object slots of the executive.
inline constexpr std::int32_t kSlotSteadyState = 0;
inline constexpr std::int32_t kSlotInitialisation = 1;
inline constexpr std::int32_t kSlotCorrector = 2;
inline constexpr std::int32_t kSlotExplicitStage = 3;
inline constexpr std::uint32_t kDecomposeCorrector = 3;
inline constexpr std::uint32_t kDecomposeExplicitStage = 7;

class IntegratorServer final : public IUnifiedIntegrator {
 public:
  IntegratorServer();

  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  Status Initialise(double* time_reached, double time, std::int32_t mode,
                    std::int32_t sensitivities) override;
  Status GetCapabilities(std::uint32_t* word) override;
  Status SetUp(platform::IUnknown* problem_group, platform::IUnknown* executive) override;
  Status GetValue(double* value) override;
  Status ExchangeStates(std::int32_t count, const std::int32_t* positions, double* values) override;
  Status GetErrorText(Status status, char16_t** text) override;
  Status Finish() override;
  Status SetOption(std::uint32_t server_id, VARIANT value) override;
  Status GetInterface(const platform::IID& iid, void** out) override;
  Status SetTime(double time) override;
  Status ReleaseProblem() override;
  Status RunControl(std::int32_t code) override;
  Status PassThrough15(std::int32_t code, void* data) override;
  Status PassThrough16(std::int32_t code, void* data) override;
  Status SetMode(std::int32_t selector, std::int32_t flag) override;
  Status Reset() override;
  Status GetSensitivityData(double* values, std::int32_t a, std::int32_t b,
                            std::int32_t index1) override;
  Status PassThrough20(std::int32_t code, void* data) override;
  Status PassThrough21(std::int32_t code, void* data) override;

  // The time-stepping core, made at set-up.
  void AttachCore(std::unique_ptr<DynamicCore> core) { core_ = std::move(core); }

 private:
  friend class Stepper;
  ~IntegratorServer();

  // steady_solve.cpp
  Status SolveSteadyState();
  Status SolveInitialisation(double time, std::uint32_t kind);
  Status DecompositionFor(std::uint32_t kind, std::int32_t slot,
                          outside::Ref<IQLNDecomposition>* held, IQLNDecomposition** out);
  Status SolveDecomposition(IQLNDecomposition* decomposition);
  Status FixDerivativesAtZero();
  void DropDecompositions();

  // Sensitivities: on when the engine asks at initialise, has a
  // sensitivity manager and the method is implicit.
  bool SensitivityMethod() const;
  void SizeSensitivities();
  Status StartSensitivities(double time);
  // The rows as the engine's matrices lay them out: `first` over the
  // problem variables that are not derivatives, `second` over those that
  // are, each in problem order.
  outside::Ref<IQLNSensitivityManager> sensitivity_;
  bool sens_on_ = false;
  std::int32_t sens_count_ = 0;
  std::vector<std::int32_t> sens_column_;
  std::vector<bool> sens_derivative_;
  std::int32_t sens_first_width_ = 0, sens_second_width_ = 0;
  std::vector<double> sens_first_, sens_second_;
  std::vector<double> before_reinit_;

  std::atomic<std::uint32_t> refs_{0};
  OptionValues options_;
  outside::Ref<platform::IUnknown> problem_unknown_, executive_unknown_;
  outside::Ref<IQLNESO> problem_;
  outside::Ref<IQLNESOFactory> executive_;
  outside::Ref<IQLNDelayManager> delays_;
  outside::Ref<IQLNDelayJumps> delay_jumps_;
  outside::Ref<IQLNImplicitEventMgr> implicit_events_;
  std::int32_t variable_count_ = 0;
  std::vector<std::int32_t> variable_types_, partners_;
  outside::Ref<IQLNDecomposition> steady_, initial_, corrector_, stages_;
  std::uint32_t initial_kind_ = 0;
  std::unique_ptr<DynamicCore> core_;
  double time_ = 0.0;
  // What the engine has asked for; the dynamic core reads it.
  struct RunSettings {
    std::int32_t control = -1;  // last run-control code
    bool interpolation = false;
    bool quiet = false;
  } run_;
};

}  // namespace integrator
