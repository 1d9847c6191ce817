// The engine's integrator: the outside integrator server, found by ProgID,
// handed the current problem as one equation-set group and the problem
// manager as its executive. Server statuses become messages and the
// engine's own codes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "foundation/interfaces/integrator_proxy.h"
#include "platform/bstr.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/options/options_client.h"
#include "solve/proxies/sensitivity_calculator.h"
#include "solve/proxies/sensitivity_transfer.h"
#include "solve/proxies/server_class.h"

class DAESVarTableEntry;
class QLNESOGroup;

// The sensitivity manager as servers see it through the executive: counts
// from the manager, the two matrix operations to the current integrator.
// One per process; no reference counting.
class SensitivityManagerOps final : public IQLNSensitivityManager {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override;
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status GetCount(std::int32_t* count) override;
  Status SensitivityInit(double* first, double* second, double* time) override;
  Status SensitivityUpdate(double* first, double* second, double* time) override;
  Status SensitivityJump(double* first, double* second, const double* change,
                         double* time) override;
};
SensitivityManagerOps* GetSensitivityManagerOps();

inline constexpr Status kIntegratorDiscontinuityBefore = 601;
inline constexpr Status kBeginRunFailed = 617;
inline constexpr Status kBeginRunDone = 618;
inline constexpr Status kEndRunFailed = 620;
inline constexpr Status kIntegratorFailed = 0x8000FFFFu;
inline constexpr int kMaxBisections = 60;

class IntegratorServerProxy final : public UnifiedIntegratorProxy,
                                    public QLNOptionsClient,
                                    public QLNSensitivityCalculator {
 public:
  // Starts the server of option 151; without one, Status() tells why and
  // every operation finds no server.
  explicit IntegratorServerProxy(std::int32_t kind);
  ~IntegratorServerProxy() override;
  IntegratorServerProxy(const IntegratorServerProxy&) = delete;
  IntegratorServerProxy& operator=(const IntegratorServerProxy&) = delete;

  Status GetStatus() const { return status_; }
  bool HasServer() const { return server_ != nullptr; }

  // --- the integrator operations ---
  std::int32_t GetIntegratorKind() const { return kind_; }
  Status ForwardToServer15(std::int32_t code, void* data);
  Status ForwardToServer16(std::int32_t code, void* data);
  Status ForwardToServer20(std::int32_t code, void* data);
  Status ForwardToServer21(std::int32_t code, void* data);
  Status ResetServer();
  std::uint32_t ExchangeGroupStates(void* block) override;
  bool HasCapability0() const { return caps_[0]; }
  bool HasCapability1() override { return caps_[1]; }
  // Groups are announced by the decomposition's own solve, not asked here.
  bool ShouldAnnounce(const void*) override { return false; }
  bool HasCapability2() const { return caps_[2]; }
  bool HasCapability3() const { return caps_[3]; }
  // The bit of value 2 is bit 1.
  std::uint32_t GetCapabilityBit2() override { return caps_[1] ? 1u : 0u; }
  Status BeginRun();
  Status EndRun();
  Status SynchroniseTime();
  bool IsVerbose() override { return verbose_; }
  void SetVerbose(bool on) override { verbose_ = on; }
  Status Initialise();
  Status InitialiseAt(double time);
  Status IntegrateTo(double* reached, double time);
  Status Reinitialise(double time);
  Status LocateDiscontinuity(double low, double* high, double tolerance, bool finalise,
                             Status* status);
  std::uint32_t GetServerCount();
  double GetServerValue() override;
  Status Finish();
  Status SetInterpolation(std::int32_t value);
  std::int32_t GetInterpolation() override { return interpolation_; }
  void SetAuxWord(std::uint32_t word) { aux_word_ = word; }
  std::uint32_t GetAuxWord() override { return aux_word_; }
  Status GetSensitivityData(double* values, std::int32_t index);
  // The server's sensitivities at the time reached, to the sensitivity
  // manager.
  Status TransferSensitivities(double time);
  // The server's calls through the sensitivity manager: the current run
  // kind's sensitivities into its matrices, and the dynamic update. A
  // failure answers 0x80004005.
  Status SensitivityInit(double* first, double* second, double* time);
  Status SensitivityJump(double* first, double* second, const double* change, double* time);
  Status SensitivityUpdate(double* first, double* second, double* time);
  // The sensitivity lists changed or went: the calculator's systems and
  // the transfer columns are made again when next needed.
  void DropSensitivityStorage();
  bool ExplicitIntegrator() override { return IsKind1Or2(); }
  double StepQuantity() override { return GetServerValue(); }
  Status SetQuiet(bool quiet);
  Status ReleaseServerGroup();
  bool IsKind1Or2() const { return kind_ == 1 || kind_ == 2; }

  // --- the subsystem-manager face ---
  Status ReleaseSolvers();
  Status ProblemEdited();
  // The rewind broadcast.
  Status RewindTo() { return Finish(); }

  // --- options ---
  Status OptionChanged(std::int32_t number, const void* value) override;
  Status NamedOptionChanged(std::uint32_t, const SUValue&) override { return 0x80004001u; }
  const ServerOptionMap& Options() const { return options_; }

  // --- the sensitivity calculator's server data ---
  Status ServerRow(double* values, std::int32_t row) override;
  Status ServerInitialRow(double* values) override;
  Status ServerExtraRow(double* values) override;
  Status ServerInterface(const void* iid, void** out) override;

  // Prints the server's status as its facility asks.
  void ReportServerStatus(Status s);

 private:
  void Start();
  Status RegisterServerOptions();
  Status BuildProblemGroup();
  Status ReadCapabilities();
  Status EnsureGroup();
  Status RunInitialise(double* reached, double time, std::int32_t mode);
  Status FailureOf(Status server_status);
  Status EvaluateQuietlyAt(double time);
  void TellRefused(std::int32_t number, const VARIANT& refused);

  Status status_ = 0;
  Status last_server_status_ = 0;
  std::int32_t interpolation_ = 0;
  std::uint32_t aux_word_ = 1;
  QLNESOGroup* group_ = nullptr;
  bool caps_[4] = {false, false, false, false};
  bool synchronised_ = true;
  bool quiet_ = false;
  bool rebuild_ = false;
  bool verbose_ = false;
  bool joined_ = false;
  IUnifiedIntegrator* server_ = nullptr;
  ServerOptionMap options_;
  // What the server took last per option number (vt 0: nothing yet).
  std::array<VARIANT, ServerOptionMap::kNumbers> taken_{};
  std::int32_t kind_;
  std::vector<std::int32_t> state_positions_;
  std::vector<double> state_values_;
  std::vector<DAESVarTableEntry*> state_variables_;
  std::vector<SensitivityColumn> transfer_columns_;
};
