#include "solve/proxies/integrator_server_proxy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "daes/blocks/solver_block.h"
#include "daes/events/implicit_event.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/options/option_descriptors.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/server_host.h"

// From the run-mode header, whose steady-state constant clashes with the
// server's run-control code of the same name.
double GetSimulationTime();
std::int32_t GetRunMode();
std::int32_t GetSolutionPhase();

namespace {

constexpr std::int32_t kOptIntegratorProgId = 151;
constexpr std::int32_t kOptRunMode = 29;
constexpr std::int32_t kOptPrintLevel = 31;
constexpr std::int32_t kOptRcvTornVars = 134;
constexpr std::int32_t kOptItplToComTime = 143;
constexpr std::int32_t kOptLocateIEvents = 144;
// The server's "corrector did not converge although the step was cut".
constexpr Status kServerCorrectorFailed = 0x80FF000Cu;
constexpr std::uint32_t kStateFlag = 0x1;
constexpr std::uint32_t kSeverityBit = 0x40000000u;

std::string Narrow(const char16_t* text) {
  std::string out;
  for (std::size_t i = 0; text != nullptr && text[i] != 0 && i < 4096; ++i) {
    out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

std::string ValueText(const VARIANT& v) {
  if (v.vt == kVariantInt32) return std::to_string(v.lVal);
  char text[32];
  std::snprintf(text, sizeof text, "%g", v.dblVal);
  return text;
}

// Sets the print level for one evaluation and puts it back.
class QuietPrintLevel {
 public:
  QuietPrintLevel() : saved_(SolverOptions::Instance()->GetInt(kOptPrintLevel)) {
    SolverOptions::Instance()->SetInt(kOptPrintLevel, 0);
  }
  ~QuietPrintLevel() { SolverOptions::Instance()->SetInt(kOptPrintLevel, saved_); }
  QuietPrintLevel(const QuietPrintLevel&) = delete;
  QuietPrintLevel& operator=(const QuietPrintLevel&) = delete;

 private:
  std::int32_t saved_;
};

}  // namespace

IntegratorServerProxy::IntegratorServerProxy(std::int32_t kind) : kind_(kind) { Start(); }

void IntegratorServerProxy::Start() {
  ServerProxyHost* host = GetServerProxyHost();
  joined_ = host != nullptr ? host->JoinCom() <= 1 : platform::CoInitializeEx(nullptr, 0) <= 1;
  const char* text = SolverOptionTable::Instance()->GetString(kOptIntegratorProgId);
  const std::string prog_id = text != nullptr ? text : "Brunvald.UnifiedIntegrator";
  platform::CLSID clsid{};
  std::string found;
  Status s = FindServerClass(prog_id, true, &clsid, &found);
  if (s != 0 && platform::RegistryFileUnread()) {
    // The registry file's own line said why; one line says what it stops.
    SuPrint(kProxyFailure,
            "Integrator server could not be started: without the registry file \"%s\" is "
            "not known",
            prog_id.c_str());
    status_ = kProxyFailure;
    return;
  }
  if (s != 0) {
    const std::string system = SystemErrorText(s);
    SuPrint(kProxyFailure,
            "Integrator server could not be started, registry entry \"%s\" not found\nSystem "
            "error was %s",
            prog_id.c_str(), system.c_str());
    status_ = kProxyFailure;
    return;
  }
  void* made = nullptr;
  s = platform::CoCreateInstance(clsid, nullptr, 23, IID_IUnifiedIntegrator, &made);
  if (s != 0 || made == nullptr) {
    const std::string system = SystemErrorText(s != 0 ? s : platform::E_NOINTERFACE);
    SuPrint(kProxyFailure, "Unable to start Integrator Server, system error was %s",
            system.c_str());
    status_ = kProxyFailure;
    return;
  }
  server_ = static_cast<IUnifiedIntegrator*>(made);
  RegisterServerOptions();
  status_ = BuildProblemGroup();
}

IntegratorServerProxy::~IntegratorServerProxy() {
  if (server_ != nullptr) {
    ResetServer();
    server_->Release();
    server_ = nullptr;
  }
  if (group_ != nullptr) static_cast<IQLNESO*>(group_)->Release();
  if (GetCurrentIntegrator() == this) SetCurrentIntegrator(nullptr);
  if (joined_) {
    if (ServerProxyHost* host = GetServerProxyHost()) {
      host->LeaveCom();
    } else {
      platform::CoUninitialize();
    }
  }
}

Status IntegratorServerProxy::RegisterServerOptions() {
  void* list = nullptr;
  Status s = server_->GetInterface(IID_IOptionEnumerator2, &list);
  if (s == 0 && list != nullptr) {
    auto* e = static_cast<IOptionEnumerator2*>(list);
    s = options_.Enumerate(e, this, "Integrator");
    e->Release();
    return s;
  }
  list = nullptr;
  s = server_->GetInterface(IID_IOptionEnumerator1, &list);
  if (s == 0 && list != nullptr) {
    auto* e = static_cast<IOptionEnumerator1*>(list);
    s = options_.Enumerate(e, this, "Integrator");
    e->Release();
    return s;
  }
  return s != 0 ? s : kIntegratorFailed;
}

Status IntegratorServerProxy::ReadCapabilities() {
  std::uint32_t word = 0;
  const Status s = server_->GetCapabilities(&word);
  if (status::IsFailure(s)) word = 0;
  for (int b = 0; b < 4; ++b) caps_[b] = (word & (1u << b)) != 0;
  return s;
}

Status IntegratorServerProxy::BuildProblemGroup() {
  if (server_ == nullptr) return kProxyFailure;
  if (group_ != nullptr) {
    static_cast<IQLNESO*>(group_)->Release();
    group_ = nullptr;
  }
  DAESProblem* problem = GetCurrentProblem();
  ServerProxyHost* host = GetServerProxyHost();
  if (problem == nullptr || host == nullptr || host->Executive() == nullptr) {
    rebuild_ = true;  // built when a problem and an executive exist
    return 0;
  }
  group_ = new QLNESOGroup(problem);
  group_->AddRef();
  void* unknown = nullptr;
  group_->QueryInterface(platform::IID_IUnknown, &unknown);
  const Status s = server_->SetUp(static_cast<platform::IUnknown*>(unknown), host->Executive());
  static_cast<platform::IUnknown*>(unknown)->Release();
  if (status::IsFailure(s)) {
    ReportServerStatus(s);
    rebuild_ = true;
    return kProxyFailure;
  }
  ReadCapabilities();
  quiet_ = false;
  rebuild_ = false;
  return 0;
}

Status IntegratorServerProxy::EnsureGroup() {
  if (server_ == nullptr) return kProxyFailure;
  if (rebuild_ || group_ == nullptr) return BuildProblemGroup();
  return 0;
}

Status IntegratorServerProxy::OptionChanged(std::int32_t number, const void* value) {
  if (server_ == nullptr) return 0x80004005u;
  VARIANT v{};
  Status s = 0;
  if (options_.ValueFor(number, value, &v)) {
    s = server_->SetOption(options_.IdOf(number), v);
    if (status::IsFailure(s)) {
      TellRefused(number, v);
    } else {
      taken_[static_cast<std::size_t>(number)] = v;
    }
  }
  if (number == kOptRcvTornVars || number == kOptItplToComTime || number == kOptLocateIEvents) {
    ReadCapabilities();
  }
  return s;
}

// The table keeps what the client wrote; the server goes on with what it
// took last, and the client learns which.
void IntegratorServerProxy::TellRefused(std::int32_t number, const VARIANT& refused) {
  const OptionDescriptor* row = OptionDescriptorOf(number);
  const std::string name = row != nullptr ? row->name : "option " + std::to_string(number);
  const VARIANT& kept = taken_[static_cast<std::size_t>(number)];
  const std::string was = ValueText(refused);
  const std::string now = kept.vt != 0 ? ValueText(kept) : std::string("its own default");
  SuPrint(0, "The integrator refuses %s = %s and goes on with %s", name.c_str(), was.c_str(),
          now.c_str());
}

void IntegratorServerProxy::ReportServerStatus(Status s) {
  const std::uint32_t facility = (s >> 16) & 0xFF;
  if (facility == 0xFF) {
    char16_t* text = nullptr;
    if (server_ != nullptr && server_->GetErrorText(s, &text) == 0 && text != nullptr) {
      const std::string t = Narrow(text);
      platform::CoTaskMemFree(text);
      SuPrint(quiet_ ? 0 : kProxyFailure, "%s", t.c_str());
      // Named as a steady-state failure names its group.
      if (s == kServerCorrectorFailed) {
        if (QLNDecomposition* corrector = QLNDecomposition::LastCorrector()) {
          corrector->ReportWorstGroup();
          corrector->ReportSingularGroups();
        }
      }
    } else {
      if (text != nullptr) platform::CoTaskMemFree(text);
      SuPrint(kProxyFailure, "Unified Integrator error 0x%x", &s);
    }
  } else if (facility == 0xFE) {
    const Status severity = (s & kSeverityBit) != 0 ? kProxyFailure : 0;
    switch (s & 0xFFFF) {
      case 1:
        SuPrint(severity, "Singular decomposition");
        break;
      case 2:
        SuPrint(severity, "A sub-group in the decomposition failed to solve");
        break;
      case 3:
        SuPrint(severity, "Out of memory in decomposer");
        break;
      case 4:
        SuPrint(severity, "Failed to retrieve activity pattern or non-zero count of an equation");
        break;
      default: {
        std::uint32_t code = s & 0xFFFF;
        SuPrint(severity, "Unknown error from decomposer (0x%x)", &code);
      }
    }
  }
}

Status IntegratorServerProxy::FailureOf(Status server_status) {
  ReportServerStatus(server_status);
  return (server_status & kSeverityBit) != 0 ? kProxyFailure : kIntegratorFailed;
}

Status IntegratorServerProxy::RunInitialise(double* reached, double time, std::int32_t mode) {
  Status s = EnsureGroup();
  if (s != 0) return status_ = s;
  synchronised_ = false;
  ServerProxyHost* host = GetServerProxyHost();
  if (host != nullptr) host->PreInitialise();
  const std::int32_t sensitivities = host != nullptr && host->SensitivityQuery4() == 1 ? 1 : 0;
  double ignored = time;
  s = server_->Initialise(reached != nullptr ? reached : &ignored, time, mode, sensitivities);
  last_server_status_ = s;
  if (status::IsFailure(s)) return status_ = FailureOf(s);
  if (mode == kIntegratorIntegrateTo && s == kIntegratorDiscontinuity) {
    return status_ = kIntegratorDiscontinuityBefore;
  }
  return status_ = 0;
}

Status IntegratorServerProxy::Initialise() { return RunInitialise(nullptr, 0.0, kIntegratorStart); }

Status IntegratorServerProxy::InitialiseAt(double time) {
  return RunInitialise(nullptr, time, kIntegratorInitialiseAt);
}

Status IntegratorServerProxy::IntegrateTo(double* reached, double time) {
  return RunInitialise(reached, time, kIntegratorIntegrateTo);
}

Status IntegratorServerProxy::Reinitialise(double time) {
  if (SolverOptionTable::Instance()->IsVerbose()) SuPrint(0, "Re-Initializing at time %g ", &time);
  const Status s = RunInitialise(nullptr, time, kIntegratorReinitialiseAt);
  // The server's own word tells a structurally singular initialisation.
  if (status::IsFailure(s) && ((last_server_status_ >> 16) & 0xFF) == 0xFE &&
      (last_server_status_ & 0xFFFF) == 1) {
    SuPrint(0,
            "Your simulation may be index > 1.\nUse the Check Legalilty/Index button on "
            "Specification Status to check your simulation.");
  }
  return s;
}

Status IntegratorServerProxy::BeginRun() {
  if (EnsureGroup() != 0) return kBeginRunFailed;
  Status s = 0;
  switch (SolverOptions::Instance()->GetInt(kOptRunMode)) {
    case 1:
      s = server_->RunControl(kRunControlSteadyState);
      break;
    case 4:
      s = server_->RunControl(kRunControlPrepare);
      if (status::IsFailure(s)) return kBeginRunFailed;
      s = server_->RunControl(kRunControlSolve);
      break;
    case 5:
      s = server_->RunControl(kRunControlPrepare);
      break;
    default:
      server_->RunControl(kRunControlPrepare);
      s = server_->RunControl(kRunControlSolve);
  }
  return status::IsFailure(s) ? kBeginRunFailed : kBeginRunDone;
}

Status IntegratorServerProxy::EndRun() {
  if (server_ == nullptr) return kEndRunFailed;
  return status::IsFailure(server_->RunControl(kRunControlEnd)) ? kEndRunFailed : 0;
}

Status IntegratorServerProxy::SynchroniseTime() {
  if (GetCurrentProblem() == nullptr || synchronised_ || server_ == nullptr) return 0;
  const Status s = EnsureGroup();
  if (s != 0) return s;
  server_->SetTime(GetSimulationTime());
  synchronised_ = true;
  return 0;
}

Status IntegratorServerProxy::Finish() {
  if (server_ == nullptr) return status_ = kProxyFailure;
  const Status s = server_->Finish();
  if (status::IsFailure(s)) {
    ReportServerStatus(s);
    return status_ = kProxyFailure;
  }
  return status_ = 0;
}

Status IntegratorServerProxy::EvaluateQuietlyAt(double time) {
  QuietPrintLevel quiet;
  double reached = time;
  return IntegrateTo(&reached, time);
}

Status IntegratorServerProxy::LocateDiscontinuity(double low, double* high_time, double tolerance,
                                                  bool finalise, Status* status) {
  double high = *high_time;
  DAESEventSchedule* schedule = GetCurrentEventSchedule();
  std::int32_t count = 0;
  Status s = 0;
  // A NaN bracket or tolerance ends at once rather than bisecting forever.
  while (std::fabs(high - low) > tolerance && count < kMaxBisections) {
    const double mid = (low + high) * 0.5;
    *high_time = mid;
    ++count;
    double reached = mid;
    s = IntegrateTo(&reached, mid);
    if (status::IsFailure(s)) break;
    if (schedule != nullptr && schedule->AnyEventChanged() != 0) {
      high = mid;
    } else {
      low = mid;
    }
  }
  if (status != nullptr) *status = s;
  if (status::IsFailure(s)) return s;
  if (finalise) {
    SuPrint(0, "Model discontinuity located between %g and %g, after %d bisections", &low, &high,
            &count);
    s = EvaluateQuietlyAt(high);
    if (schedule != nullptr) schedule->ReportChanges(low, high);
  }
  if (status::IsFailure(s)) {
    if (status != nullptr) *status = s;
    return s;
  }
  if (schedule != nullptr && schedule->FirstFiringCount() != 0) {
    double reached = high;
    s = IntegrateTo(&reached, high);
    if (status != nullptr) *status = s;
    schedule->EvaluateAll();
  }
  *high_time = high;
  s = EvaluateQuietlyAt(high);
  if (status != nullptr) *status = s;
  return s;
}

std::uint32_t IntegratorServerProxy::ExchangeGroupStates(void* block) {
  // Explicit groups and solver blocks both come: the block base they share.
  auto* group = static_cast<DAESBlock*>(block);
  DAESProblem* problem = GetCurrentProblem();
  if (group == nullptr || problem == nullptr || server_ == nullptr) return 0;
  state_positions_.clear();
  state_values_.clear();
  std::vector<DAESVarTableEntry*>& variables = state_variables_;
  variables.clear();
  for (std::int32_t i = 0; i < group->VariableCount(); ++i) {
    DAESVarTableEntry* v = group->GetVariable(i);
    if (v == nullptr || (v->GetFlags() & kStateFlag) == 0) continue;
    const std::int32_t position = problem->FindVariable(v) - 1;
    if (position < 0) continue;
    state_positions_.push_back(position);
    // The integrator holds the states scaled, as it reads them.
    state_values_.push_back(v->GetScaledValue());
    variables.push_back(v);
  }
  if (variables.empty()) return 0;
  const Status s = server_->ExchangeStates(static_cast<std::int32_t>(variables.size()),
                                           state_positions_.data(), state_values_.data());
  if (status::IsFailure(s)) return FailureOf(s);
  // The server may move a state (scaled, as it holds them); one it left as
  // it was is not written again.
  for (std::size_t k = 0; k < variables.size(); ++k) {
    if (state_values_[k] != variables[k]->GetScaledValue())
      variables[k]->SetValue(state_values_[k] / variables[k]->GetScale());
  }
  return s;
}

std::uint32_t IntegratorServerProxy::GetServerCount() {
  if (server_ == nullptr) return 0;
  void* p = nullptr;
  if (server_->GetInterface(IID_IServerCount, &p) != 0 || p == nullptr) return 0;
  auto* counter = static_cast<IServerCount*>(p);
  std::uint32_t n = 0;
  if (counter->GetCount(&n) != 0) n = 0;
  counter->Release();
  return n;
}

double IntegratorServerProxy::GetServerValue() {
  double v = 1.0;
  if (server_ == nullptr || status::IsFailure(server_->GetValue(&v))) return 1.0;
  return v;
}

Status IntegratorServerProxy::SetInterpolation(std::int32_t value) {
  if (value == interpolation_) return 0;
  interpolation_ = value;
  if (server_ == nullptr) return kProxyFailure;
  return server_->SetMode(kModeInterpolation, value != 0 ? 1 : 0);
}

Status IntegratorServerProxy::SetQuiet(bool quiet) {
  quiet_ = quiet;
  if (server_ == nullptr) return kProxyFailure;
  return server_->SetMode(kModeQuiet, quiet ? 1 : 0);
}

Status IntegratorServerProxy::GetSensitivityData(double* values, std::int32_t index) {
  if (server_ == nullptr) return kProxyFailure;
  return server_->GetSensitivityData(values, 0, 0, index);
}

Status IntegratorServerProxy::TransferSensitivities(double) {
  SensitivityManagerFace* manager = GetSensitivityManagerFace();
  if (manager == nullptr) return 0;
  if (server_ == nullptr) return kProxyFailure;
  DAESProblem* problem = GetCurrentProblem();
  DAESVarTableEntry* const* variables = problem != nullptr ? problem->GetVariables() : nullptr;
  const std::int32_t count = problem != nullptr ? problem->VariableCount() : 0;
  const Status s =
      TransferServerSensitivities(server_, manager, variables, count, &transfer_columns_);
  if (status::IsFailure(s) && s != kSensitivityTransferFailed) return FailureOf(s);
  return s;
}

Status IntegratorServerProxy::SensitivityInit(double* first, double* second, double* time) {
  if (time == nullptr) return platform::E_INVALIDARG;
  const Status s = ComputeInto(first, second, *time, GetRunMode(), GetSolutionPhase());
  return status::IsFailure(s) ? platform::E_FAIL : s;
}

Status IntegratorServerProxy::SensitivityUpdate(double* first, double* second, double* time) {
  if (time == nullptr) return platform::E_INVALIDARG;
  const Status s = DynamicAt(*time, first, second);
  return status::IsFailure(s) ? platform::E_FAIL : s;
}

Status IntegratorServerProxy::SensitivityJump(double* first, double* second, const double* change,
                                              double* time) {
  if (time == nullptr) return platform::E_INVALIDARG;
  const Status s = SwitchJump(first, second, change, *time);
  return status::IsFailure(s) ? platform::E_FAIL : s;
}

Status SensitivityManagerOps::QueryInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return platform::E_POINTER;
  *out = nullptr;
  if (iid != IID_IQLNSensitivityManager && iid != platform::IID_IUnknown) {
    return platform::E_NOINTERFACE;
  }
  *out = static_cast<IQLNSensitivityManager*>(this);
  return 0;
}

Status SensitivityManagerOps::GetCount(std::int32_t* count) {
  if (count == nullptr) return platform::E_INVALIDARG;
  SensitivityManagerFace* m = GetSensitivityManagerFace();
  *count =
      m != nullptr ? std::max(0, m->MatrixRowCount()) + std::max(0, m->SwitchingRowCount()) : 0;
  return 0;
}

namespace {
IntegratorServerProxy* CurrentServerProxy() {
  return dynamic_cast<IntegratorServerProxy*>(GetCurrentIntegrator());
}
}  // namespace

Status SensitivityManagerOps::SensitivityInit(double* first, double* second, double* time) {
  if (first == nullptr || second == nullptr || time == nullptr) return platform::E_INVALIDARG;
  IntegratorServerProxy* p = CurrentServerProxy();
  return p != nullptr ? p->SensitivityInit(first, second, time) : platform::E_FAIL;
}

Status SensitivityManagerOps::SensitivityUpdate(double* first, double* second, double* time) {
  if (first == nullptr || second == nullptr || time == nullptr) return platform::E_INVALIDARG;
  IntegratorServerProxy* p = CurrentServerProxy();
  return p != nullptr ? p->SensitivityUpdate(first, second, time) : platform::E_FAIL;
}

Status SensitivityManagerOps::SensitivityJump(double* first, double* second, const double* change,
                                              double* time) {
  if (first == nullptr || second == nullptr || change == nullptr || time == nullptr)
    return platform::E_INVALIDARG;
  IntegratorServerProxy* p = CurrentServerProxy();
  return p != nullptr ? p->SensitivityJump(first, second, change, time) : platform::E_FAIL;
}

SensitivityManagerOps* GetSensitivityManagerOps() {
  static SensitivityManagerOps ops;
  return &ops;
}

void IntegratorServerProxy::DropSensitivityStorage() {
  QLNSensitivityCalculator::Release();
  transfer_columns_.clear();
}

Status IntegratorServerProxy::ResetServer() {
  DropSensitivityStorage();
  if (server_ == nullptr) return kProxyFailure;
  return server_->Reset();
}

Status IntegratorServerProxy::ReleaseSolvers() {
  if (server_ != nullptr) server_->ReleaseProblem();
  if (group_ != nullptr) static_cast<IQLNESO*>(group_)->Release();
  group_ = nullptr;
  // The sensitivity systems and the transfer's columns are the problem's
  // too: the next problem builds its own.
  QLNSensitivityCalculator::Release();
  transfer_columns_.clear();
  quiet_ = false;
  return 0;
}

Status IntegratorServerProxy::ReleaseServerGroup() {
  ReleaseSolvers();
  rebuild_ = true;
  return 0;
}

Status IntegratorServerProxy::ProblemEdited() {
  QLNSensitivityCalculator::Release();
  transfer_columns_.clear();
  return BuildProblemGroup();
}

Status IntegratorServerProxy::ForwardToServer15(std::int32_t code, void* data) {
  return server_ != nullptr ? server_->PassThrough15(code, data) : kProxyFailure;
}
Status IntegratorServerProxy::ForwardToServer16(std::int32_t code, void* data) {
  return server_ != nullptr && group_ != nullptr ? server_->PassThrough16(code, data) : 0;
}
Status IntegratorServerProxy::ForwardToServer20(std::int32_t code, void* data) {
  return server_ != nullptr ? server_->PassThrough20(code, data) : kProxyFailure;
}
Status IntegratorServerProxy::ForwardToServer21(std::int32_t code, void* data) {
  return server_ != nullptr ? server_->PassThrough21(code, data) : kProxyFailure;
}

Status IntegratorServerProxy::ServerRow(double* values, std::int32_t row) {
  return server_ != nullptr ? server_->GetSensitivityData(values, 1, 0, row) : kProxyFailure;
}
Status IntegratorServerProxy::ServerInitialRow(double* values) {
  return server_ != nullptr ? server_->GetSensitivityData(values, 0, 1, 0) : kProxyFailure;
}
Status IntegratorServerProxy::ServerExtraRow(double* values) {
  return server_ != nullptr ? server_->GetSensitivityData(values, 1, 1, 0) : kProxyFailure;
}
Status IntegratorServerProxy::ServerInterface(const void* iid, void** out) {
  if (server_ == nullptr || iid == nullptr) return kProxyFailure;
  return server_->GetInterface(*static_cast<const platform::IID*>(iid), out);
}
