#include "outside/integrator/integrator_server.h"

#include <algorithm>
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
    {kStatusSensitivityFailed, "The engine could not compute the sensitivities: the run stops"},
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
    {kStatusStepTooSmall, "The integration step became too small to move time on"},
    {kStatusIntegrationFailed, "The time integrator failed (SUNDIALS IDA reported an error)"},
    {kStatusValuesUnreadable, "The integrator server could not read or write variable values"},
};

// {00380024}: the number of steps taken.
// One item per problem variable in order; states, derivatives and
// algebraic unknowns are the sensitivity items.
class SensitivityItems final : public ISensitivityItemEnumerator {
 public:
  explicit SensitivityItems(std::vector<std::uint32_t> flags) : flags_(std::move(flags)) {
    ++outside::LiveObjects();
  }
  ~SensitivityItems() { --outside::LiveObjects(); }
  Status QueryInterface(const platform::IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    if (iid != platform::IID_IUnknown && iid != IID_ISensitivityItemEnumerator) {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    *object = static_cast<ISensitivityItemEnumerator*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  Status Next(std::uint32_t count, SensitivityItem* items, std::uint32_t* fetched) override {
    if (fetched == nullptr || (count > 0 && items == nullptr)) return platform::E_POINTER;
    std::uint32_t done = 0;
    while (done < count && next_ < flags_.size()) {
      items[done++] = {flags_[next_], static_cast<std::int32_t>(next_)};
      ++next_;
    }
    *fetched = done;
    return done < count ? 1u : 0u;
  }

 private:
  std::atomic<std::uint32_t> refs_{0};
  std::vector<std::uint32_t> flags_;
  std::size_t next_ = 0;
};

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
  if (mode != kIntegratorIntegrateTo) {
    sens_on_ = sensitivities == 1 && sensitivity_ && SensitivityMethod();
    if (sens_on_) SizeSensitivities();
  }
  switch (mode) {
    case kIntegratorStart: {
      *time_reached = 0.0;
      const Status s = SolveSteadyState();
      if (s != 0) return s;
      time_ = 0.0;
      return sens_on_ ? StartSensitivities(0.0) : 0;
    }
    case kIntegratorInitialiseAt:
    case kIntegratorReinitialiseAt: {
      *time_reached = time;
      if (mode == kIntegratorReinitialiseAt && core_) {
        if (core_->ReadValues(&before_reinit_) != 0) before_reinit_.clear();
        // The leg ends here as at a restart: the sensitivity rows the solve
        // starts from are those at this time, not at the last step's end.
        if (const Status ended = core_->Finish(); ended != 0) return ended;
      }
      const Status s =
          SolveInitialisation(time, mode == kIntegratorInitialiseAt ? kDecomposeInitialisation
                                                                    : kDecomposeReinitialisation);
      if (s != 0) return s;
      time_ = time;
      if (core_) core_->Restart(time);
      const Status started = sens_on_ ? StartSensitivities(time) : 0;
      if (started != 0 || !core_) return started;
      // The engine initialises afresh where it stopped a leg to switch
      // controls; states carry over, so the switch's jump is due all the same.
      return core_->JumpSensitivities();
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
  // Bit 0: it can return inside its last step, so the engine may locate
  // events. Bit value 2 asks the engine to report implicit-event state
  // changes; the torn-equation detail it also opens is not read here.
  std::uint32_t w = kCapInterpolates | kCapTornVariables;
  if (options_.Get(kOptionItplToComTime) != 0) w |= kCapImplicitEvents;
  if (SensitivityMethod()) w |= kCapSensitivities;
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
  delay_jumps_ = QueryRef<IQLNDelayJumps>(executive, IID_IQLNDelayJumps);
  implicit_events_ = QueryRef<IQLNImplicitEventMgr>(executive, IID_IQLNImplicitEventMgr);
  sensitivity_ = QueryRef<IQLNSensitivityManager>(executive, IID_IQLNSensitivityManager);
  sens_on_ = false;
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
  if (iid == IID_ISensitivityItemEnumerator) {
    std::vector<std::uint32_t> flags(variable_types_.size(), 0);
    for (std::size_t i = 0; i < flags.size(); ++i) {
      const std::int32_t type = variable_types_[i];
      // A state is integrated even when its initial value is given (its
      // type then carries the fixed bits too), as the dynamic core takes it.
      const bool fixed = (type & 0x60) == 0x60;
      if ((type & 0x5) != 0 || (!fixed && (type & 0x2) != 0)) flags[i] = 0x200;
    }
    auto* e = new (std::nothrow) SensitivityItems(std::move(flags));
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
  delay_jumps_.Reset();
  sensitivity_.Reset();
  sens_on_ = false;
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
  if (code != kRunControlSteadyState && code != kRunControlPrepare && code != kRunControlSolve &&
      code != kRunControlEnd)
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

bool IntegratorServer::SensitivityMethod() const {
  // Implicit Euler and Gear12 (and the old implicit kinds taken as them).
  const auto method = static_cast<int>(options_.Get(kOptionIntegrator));
  return method != 1 && method != 2;
}

void IntegratorServer::SizeSensitivities() {
  std::int32_t count = 0;
  if (!sensitivity_ || sensitivity_->GetCount(&count) != 0 || count < 0) count = 0;
  const std::size_t n = variable_types_.size();
  sens_column_.assign(n, 0);
  sens_derivative_.assign(n, false);
  sens_first_width_ = sens_second_width_ = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sens_derivative_[i] = (variable_types_[i] & 0x4) != 0;
    sens_column_[i] = sens_derivative_[i] ? sens_second_width_++ : sens_first_width_++;
  }
  // Never empty: the engine refuses a null matrix, and a steady-state model
  // has no derivative columns.
  const auto cells = [count](std::int32_t width) {
    return std::max<std::size_t>(1,
                                 static_cast<std::size_t>(count) * static_cast<std::size_t>(width));
  };
  if (count != sens_count_ || sens_first_.size() != cells(sens_first_width_) ||
      sens_second_.size() != cells(sens_second_width_)) {
    sens_count_ = count;
    sens_first_.assign(cells(sens_first_width_), 0.0);
    sens_second_.assign(cells(sens_second_width_), 0.0);
  }
}

// After a successful initialise: the engine fills the rows the next leg
// starts from.
Status IntegratorServer::StartSensitivities(double time) {
  if (sens_count_ == 0) return 0;
  double t = time;
  const Status s = sensitivity_->SensitivityInit(sens_first_.data(), sens_second_.data(), &t);
  return status::IsFailure(s) ? kStatusSensitivityFailed : 0;
}

Status IntegratorServer::GetSensitivityData(double* values, std::int32_t a, std::int32_t b,
                                            std::int32_t index1) {
  if (values == nullptr) return kStatusBadArgument;
  if (!problem_) return kStatusNotSetUp;
  const std::size_t n = variable_types_.size();
  if (a == 1 && b == 0) {
    if (!sens_on_ || index1 < 1 || index1 > sens_count_) return platform::E_INVALIDARG;
    if (core_ && core_->SensitivityRow(index1 - 1, values) == 0) return 0;
    // No leg yet: the rows of the last initialise.
    const auto row = static_cast<std::size_t>(index1 - 1);
    for (std::size_t i = 0; i < n; ++i) {
      values[i] = sens_derivative_[i] ? sens_second_[row * sens_second_width_ + sens_column_[i]]
                                      : sens_first_[row * sens_first_width_ + sens_column_[i]];
    }
    return 0;
  }
  if (a == 1 && b == 1 && index1 == 0) {
    if (!core_) return kStatusNoStep;
    return core_->TimeDerivatives(values);
  }
  if (a == 0 && b == 1 && index1 == 0) {
    for (std::size_t i = 0; i < n; ++i)
      values[i] = i < before_reinit_.size() ? before_reinit_[i] : 0.0;
    return 0;
  }
  return platform::E_INVALIDARG;
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
