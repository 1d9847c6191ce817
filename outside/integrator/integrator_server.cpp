#include "outside/integrator/integrator_server.h"

#include <cmath>

#include "platform/com_status.h"
#include "solve/ifaces/option_enumerator.h"

namespace integrator {

namespace {

using outside::QueryRef;

struct ErrorText {
  Status status;
  const char* text;
};

const ErrorText kErrorTexts[] = {
    {kStatusNoDynamicCore,
     "Dynamic integration is not available: the time integrator (SUNDIALS IDA) could not be "
     "created"},
    {kStatusNotSetUp, "The integrator server has no problem to solve (set up was not called)"},
    {kStatusBadArgument, "The integrator server was called with an argument out of range"},
    {kStatusUnknownOption, "The integrator server has no option with this id"},
    {kStatusBadOptionValue,
     "An option value of the wrong type or out of range was sent to the integrator server"},
    {kStatusNoStep, "The integrator server has no integration step in progress"},
    {kStatusNoSensitivities, "This integrator server does not supply sensitivities"},
    {kStatusDecomposerFailed, "The decomposition server could not decompose the problem"},
    {kStatusProblemUnreadable, "The structure of the problem could not be read"},
    {kStatusNoInterface,
     "The problem group or the executive lacks an interface the integrator server needs"},
    {kStatusTargetBeforeStep,
     "The integrator server cannot go back before its last step: the target time lies before "
     "it"},
    {kStatusCorrectorFailed,
     "The corrector did not converge although the integration step was cut repeatedly"},
    {kStatusTooMuchWork, "The integrator server took too many steps without reaching the target"},
    {kStatusErrorTestFailed,
     "The integration error test failed repeatedly: the step size became too small"},
    {kStatusIntegrationFailed, "The time integrator failed (SUNDIALS IDA reported an error)"},
    {kStatusValuesUnreadable, "The integrator server could not read or write variable values"},
};

// {00380024}: the number of steps taken.
class StepCounter final : public IServerCount {
 public:
  explicit StepCounter(std::uint32_t steps) : steps_(steps) { ++outside::LiveObjects(); }
  Status QueryInterface(const platform::IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid != platform::IID_IUnknown && iid != IID_IServerCount) {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    *object = static_cast<IServerCount*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  Status GetCount(std::uint32_t* count) override {
    if (count == nullptr) return platform::E_POINTER;
    *count = steps_;
    return 0;
  }

 private:
  ~StepCounter() { --outside::LiveObjects(); }
  std::atomic<std::uint32_t> refs_{0};
  std::uint32_t steps_;
};

}  // namespace

IntegratorServer::IntegratorServer() { ++outside::LiveObjects(); }

IntegratorServer::~IntegratorServer() {
  ReleaseProblem();
  --outside::LiveObjects();
}

Status IntegratorServer::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return platform::E_POINTER;
  if (iid == platform::IID_IUnknown || iid == IID_IUnifiedIntegrator) {
    *object = static_cast<IUnifiedIntegrator*>(this);
    AddRef();
    return platform::S_OK;
  }
  *object = nullptr;
  return platform::E_NOINTERFACE;
}

std::uint32_t IntegratorServer::AddRef() { return ++refs_; }

std::uint32_t IntegratorServer::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status IntegratorServer::Initialise(double* time_reached, double time, std::int32_t mode,
                                    std::int32_t sensitivities) {
  if (time_reached == nullptr || (sensitivities != 0 && sensitivities != 1) || !std::isfinite(time))
    return kStatusBadArgument;
  if (!problem_) return kStatusNotSetUp;
  switch (mode) {
    case kIntegratorStart: {
      *time_reached = 0.0;
      const Status s = SolveSteadyState();
      if (s == 0) time_ = 0.0;
      return s;
    }
    case kIntegratorInitialiseAt:
    case kIntegratorReinitialiseAt: {
      *time_reached = time;
      const Status s =
          SolveInitialisation(time, mode == kIntegratorInitialiseAt ? kDecomposeInitialisation
                                                                    : kDecomposeReinitialisation);
      if (s != 0) return s;
      time_ = time;
      if (core_) core_->Restart(time);
      return 0;
    }
    case kIntegratorIntegrateTo: {
      *time_reached = time_;
      if (!core_) return kStatusNoDynamicCore;
      const Status s = core_->IntegrateTo(time, time_reached);
      if (status::IsSuccess(s)) time_ = *time_reached;
      return s;
    }
    default:
      return kStatusBadArgument;
  }
}

Status IntegratorServer::GetCapabilities(std::uint32_t* word) {
  if (word == nullptr) return kStatusBadArgument;
  // Bit 0: it can return inside its last step, so the engine may locate events.
  std::uint32_t w = kCapInterpolates;
  if (options_.Get(kOptionRcvTornVars) != 0) w |= kCapTornVariables;
  if (options_.Get(kOptionItplToComTime) != 0) w |= kCapImplicitEvents;
  *word = w;
  return 0;
}

Status IntegratorServer::SetUp(platform::IUnknown* problem_group, platform::IUnknown* executive) {
  if (problem_group == nullptr || executive == nullptr) return kStatusBadArgument;
  auto problem = QueryRef<IQLNESO>(problem_group, IID_IQLNESO);
  auto factory = QueryRef<IQLNESOFactory>(executive, IID_IQLNESOFactory);
  if (!problem || !factory) return kStatusNoInterface;
  std::int32_t variables = 0, states = 0;
  if (problem->GetVariableCounts(&variables, &states) != 0 || variables < 0 || states < 0 ||
      states > variables)
    return kStatusProblemUnreadable;
  std::vector<std::int32_t> types(static_cast<std::size_t>(variables)),
      partners(static_cast<std::size_t>(variables));
  if (variables > 0 && problem->GetAllVariableTypes(types.data(), partners.data()) != 0)
    return kStatusProblemUnreadable;
  for (const std::int32_t p : partners) {
    if (p < -1 || p >= variables) return kStatusProblemUnreadable;
  }

  ReleaseProblem();
  problem_group->AddRef();
  problem_unknown_ = outside::Ref<platform::IUnknown>(problem_group);
  executive->AddRef();
  executive_unknown_ = outside::Ref<platform::IUnknown>(executive);
  problem_ = std::move(problem);
  executive_ = std::move(factory);
  // Optional: the dynamic core tells these of each accepted step.
  delays_ = QueryRef<IQLNDelayManager>(executive, IID_IQLNDelayManager);
  implicit_events_ = QueryRef<IQLNImplicitEventMgr>(executive, IID_IQLNImplicitEventMgr);
  variable_count_ = variables;
  variable_types_ = std::move(types);
  partners_ = std::move(partners);
  core_ = MakeDynamicCore(this);
  return 0;
}

Status IntegratorServer::GetValue(double* value) {
  if (value == nullptr) return kStatusBadArgument;
  *value = 0.0;
  if (!core_) return kStatusNoStep;
  return core_->StepQuantity(value);
}

Status IntegratorServer::ExchangeStates(std::int32_t count, const std::int32_t* positions,
                                        double* values) {
  if (count < 0 || (count > 0 && (positions == nullptr || values == nullptr)))
    return kStatusBadArgument;
  if (!problem_) return kStatusNotSetUp;
  for (std::int32_t i = 0; i < count; ++i) {
    if (positions[i] < 0 || positions[i] >= variable_count_) return kStatusBadArgument;
  }
  if (!core_) return kStatusNoStep;
  return core_->ExchangeStates(count, positions, values);
}

Status IntegratorServer::GetErrorText(Status status, char16_t** text) {
  if (text == nullptr) return kStatusBadArgument;
  *text = nullptr;
  for (const ErrorText& e : kErrorTexts) {
    if (e.status != status) continue;
    *text = outside::WideCopy(e.text);
    return *text == nullptr ? platform::E_OUTOFMEMORY : 0;
  }
  return kStatusBadArgument;
}

Status IntegratorServer::Finish() { return core_ ? core_->Finish() : 0; }

Status IntegratorServer::SetOption(std::uint32_t server_id, VARIANT value) {
  const outside::PublishedOption* option = FindOption(server_id);
  if (option == nullptr) return kStatusUnknownOption;
  if (outside::CheckOptionValue(*option, value) != 0) return kStatusBadOptionValue;
  options_.Set(option->engine_number, outside::OptionNumber(value));
  return 0;
}

Status IntegratorServer::GetInterface(const platform::IID& iid, void** out) {
  if (out == nullptr) return kStatusBadArgument;
  *out = nullptr;
  if (iid == IID_IOptionEnumerator2) {
    auto* e =
        new (std::nothrow) outside::OptionEnumerator(PublishedOptions(), PublishedOptionCount());
    if (e == nullptr) return platform::E_OUTOFMEMORY;
    return e->QueryInterface(iid, out);
  }
  if (iid == IID_IServerCount) {
    auto* c = new (std::nothrow) StepCounter(core_ ? core_->StepCount() : 0);
    if (c == nullptr) return platform::E_OUTOFMEMORY;
    return c->QueryInterface(iid, out);
  }
  return platform::E_NOINTERFACE;
}

Status IntegratorServer::SetTime(double time) {
  time_ = time;
  if (core_) core_->Synchronise(time);
  return 0;
}

Status IntegratorServer::ReleaseProblem() {
  core_.reset();
  DropDecompositions();
  implicit_events_.Reset();
  delays_.Reset();
  executive_.Reset();
  problem_.Reset();
  executive_unknown_.Reset();
  problem_unknown_.Reset();
  variable_count_ = 0;
  variable_types_.clear();
  partners_.clear();
  return 0;
}

Status IntegratorServer::RunControl(std::int32_t code) {
  if (code != kRunControlSteadyState && code != kRunControlPrepare && code != kRunControlSolve && code != kRunControlEnd)
    return kStatusBadArgument;
  run_.control = code;
  if (code == kRunControlEnd && core_) return core_->Finish();
  return 0;
}

Status IntegratorServer::PassThrough15(std::int32_t, void*) { return 0; }
Status IntegratorServer::PassThrough16(std::int32_t, void*) { return 0; }
Status IntegratorServer::PassThrough20(std::int32_t, void*) { return 0; }
Status IntegratorServer::PassThrough21(std::int32_t, void*) { return 0; }

Status IntegratorServer::SetMode(std::int32_t selector, std::int32_t flag) {
  if (flag != 0 && flag != 1) return kStatusBadArgument;
  if (selector == kModeInterpolation) {
    run_.interpolation = flag != 0;
  } else if (selector == kModeQuiet) {
    run_.quiet = flag != 0;
  } else {
    return kStatusBadArgument;
  }
  return 0;
}

Status IntegratorServer::Reset() {
  DropDecompositions();
  return core_ ? core_->Finish() : 0;
}

Status IntegratorServer::GetSensitivityData(double*, std::int32_t, std::int32_t, std::int32_t) {
  return kStatusNoSensitivities;
}

}  // namespace integrator

extern "C" VANTOR_SERVER_EXPORT Status DllGetClassObject(const platform::CLSID& clsid,
                                                         const platform::IID& iid, void** object) {
  static outside::ClassFactory<integrator::IntegratorServer> factory;
  if (object == nullptr) return platform::E_POINTER;
  *object = nullptr;
  if (clsid != integrator::CLSID_UnifiedIntegrator) return platform::CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, object);
}

extern "C" VANTOR_SERVER_EXPORT std::int64_t VantorServerLiveObjects() {
  return outside::LiveObjects().load();
}
