#include "analysis/services/engine_services.h"

#include <cstring>
#include <vector>

#include "analysis/estimation/time_profile.h"
#include "analysis/optimisation/optimisation_manager.h"
#include "analysis/services/model_variable_ref.h"
#include "control/actions/action_mgr.h"
#include "control/managers/instance_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/delays/delay_mgr.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/variable_drivers.h"
#include "foundation/messages/su_print.h"
#include "results/manager/results_mgr.h"
#include "solve/ifaces/kvs_common.h"
#include "solve/methods/open_solvers.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/solver_loaders.h"
#include "solve/proxies/integrator_server_proxy.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr Status kNoSolver = 0x8028FFFFu;
constexpr Status kNoDelayManager = 0x8026FFFFu;

// An Open NLP estimation solver reached through its factory's parameters
// interface, which names its options and their kinds only.
class KvsEstimationSolver final : public EstOpenNLPSolver, public EstNLPOptions {
 public:
  KvsEstimationSolver(std::string name, platform::IUnknown* factory, KVSParameters* parameters)
      : name_(std::move(name)), factory_(factory), parameters_(parameters) {
    std::int32_t count = 0;
    char** names = nullptr;
    if (parameters_ != nullptr && parameters_->GetCount(&count) == 0 && count > 0 &&
        parameters_->GetNames(&names) == 0 && names != nullptr) {
      // The array and its texts are ours to free.
      for (std::int32_t i = 0; i < count; ++i) names_.push_back(TakeKvsText(names[i]));
      KvsServicesFree(names);
    }
  }
  ~KvsEstimationSolver() {
    if (parameters_ != nullptr) parameters_->Release();
    if (factory_ != nullptr) factory_->Release();
  }

  const char* Name() override { return name_.c_str(); }
  EstNLPOptions* Options() override { return parameters_ != nullptr ? this : nullptr; }
  std::int32_t Count() override { return static_cast<std::int32_t>(names_.size()); }
  Status Describe(std::int32_t index, EstNLPOption* option) override {
    option->name = names_[static_cast<std::size_t>(index)];
    // A text option's value is not listed: the copy the solver hands over
    // belongs to the framework's allocator, which this side does not hold.
    std::int32_t kind = kKvsInteger;
    double value[2] = {0.0, 0.0};
    if (parameters_->GetValue(option->name.c_str(), &kind, value) != 0) kind = kKvsText;
    if (kind == kKvsInteger) {
      option->tag = EstNLPOption::kInteger;
      std::int32_t integer = 0;
      std::memcpy(&integer, value, sizeof integer);
      option->integer[0] = integer;
    } else if (kind == kKvsReal) {
      option->tag = EstNLPOption::kReal;
      option->real[0] = value[0];
    } else {
      option->tag = EstNLPOption::kString;
    }
    return status::kOk;
  }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    const Status s = parameters_->Set(name, kind, value);
    return s == 0 ? status::kOk : kNoSolver;
  }

 private:
  std::string name_;
  platform::IUnknown* factory_;
  KVSParameters* parameters_;
  std::vector<std::string> names_;
};

DAESVariable* ModelVariableOf(AnalysisVariable* variable) {
  auto* adapter = dynamic_cast<ModelVariableRef*>(variable);
  return adapter != nullptr ? adapter->Variable() : nullptr;
}

}  // namespace

EngineAnalysisServices::EngineAnalysisServices(SimProblemMgr& problem, SimResultsMgr* results)
    : problem_(problem), results_(results) {}

EngineAnalysisServices::~EngineAnalysisServices() = default;

AnalysisVariable* EngineAnalysisServices::Adapter(DAESVarTableEntry* entry) {
  auto& slot = adapters_[entry];
  if (!slot) slot = std::make_unique<ModelVariableRef>(entry);
  return slot.get();
}

Status EngineAnalysisServices::ReadVariableReference(BvuBinaryStream& body,
                                                     AnalysisVariable** variable) {
  SimInstanceMgr* root = problem_.Instances();
  if (root == nullptr) return kNotAVariable;
  BvuDirectoryNode* node = nullptr;
  const Status read = root->ReadIdPath(body, &node);
  if (status::IsFailure(read)) return read;
  auto* entry = dynamic_cast<DAESVarTableEntry*>(node);
  if (entry == nullptr) return kNotAVariable;
  *variable = Adapter(entry);
  return status::kOk;
}

void EngineAnalysisServices::ResetPendingTime() { problem_.SetPendingEventTime(-1.0); }

void EngineAnalysisServices::SetCurrentTime(double time) { problem_.SetCurrentTime(time); }

void EngineAnalysisServices::SetTimeRecord(double time, std::uint16_t) {
  problem_.SetCurrentTime(time);
}

void EngineAnalysisServices::GetTimeRecord(double* time, std::uint16_t* counter) {
  *time = problem_.Record().time;
  *counter = problem_.Record().counter;
}

void EngineAnalysisServices::Print(Status status, const std::string& text) {
  SuPrint(status, "%s", text.c_str());
}

Status EngineAnalysisServices::SetVariableDriver(AnalysisVariable* variable,
                                                 VariableDriver* driver) {
  DAESVariable* model = ModelVariableOf(variable);
  if (model == nullptr) return kNotAVariable;
  const bool held = ::SetVariableDriver(model, driver);
  return driver == nullptr && !held ? kDriverNotHeld : status::kOk;
}

std::int32_t EngineAnalysisServices::ControlValueCount() {
  QLNOptimisationManager* optimisation = GetOptimisationManager();
  return optimisation != nullptr ? optimisation->GetNumControlValues() : 1;
}

std::int32_t EngineAnalysisServices::GetIntOption(std::int32_t number) {
  // Some numbers the analyses keep and restore (SyncSteps) have no getter.
  return static_cast<std::int32_t>(SolverOptionTable::Instance()->ValueInForce(number));
}

void EngineAnalysisServices::SetIntOption(std::int32_t number, std::int32_t value) {
  SolverOptionTable::Instance()->SetInt(number, value);
}

bool EngineAnalysisServices::GetNamedReal(const char* full_name, double* value) {
  SUValue named;
  if (SolverOptionTable::Instance()->GetNamedOption(full_name, &named) != 0 || named.IsSet() ||
      named.IsArray()) {
    return false;
  }
  switch (named.Kind()) {
    case SUValue::kReal:
      *value = named.payload.real;
      return true;
    case SUValue::kInteger:
      *value = static_cast<double>(named.payload.integer);
      return true;
    default:
      return false;
  }
}

void EngineAnalysisServices::SetResultsFlags(std::uint32_t flags) {
  if (results_ != nullptr) results_->SetSuppressFlag(flags, true);
}

void EngineAnalysisServices::ClearResultsFlags(std::uint32_t flags) {
  if (results_ != nullptr) results_->SetSuppressFlag(flags, false);
}

void EngineAnalysisServices::SetCommunicationTime(double time) {
  if (results_ != nullptr) results_->SetCommunicationTime(time);
}

Status EngineAnalysisServices::DeleteSnapshot(std::uint32_t number) {
  return results_ != nullptr ? results_->DeleteSnapshot(number) : status::kOk;
}

Status EngineAnalysisServices::RegisterActionFactory(SimActionFactory* factory) {
  return SimActionMgr::Instance()->RegisterFactory(factory);
}

Status EngineAnalysisServices::CreateAction(const char* name, NewSimAction** action) {
  return SimActionMgr::Instance()->CreateAction(name, 0, action);
}

Status EngineAnalysisServices::RemoveAction(NewSimAction* action) {
  SimActionMgr* actions = SimActionMgr::Existing();
  return actions != nullptr && action != nullptr ? actions->RemoveAction(action) : status::kOk;
}

void EngineAnalysisServices::DumpSensitivity(AnalysisVariable* variable,
                                             AnalysisVariable* parameter, double value) {
  if (variable == nullptr || parameter == nullptr) return;
  problem_.RunResults().WriteSensitivity(variable->ModelEntry(), parameter->ModelEntry(), value);
}

void EngineAnalysisServices::DumpSwitchTimeSensitivity(AnalysisVariable* variable,
                                                       std::int32_t row, double value) {
  if (variable == nullptr) return;
  problem_.RunResults().WriteSwitchTimeSensitivity(variable->ModelEntry(), row, value);
}

bool EngineAnalysisServices::StepComputing() { return problem_.StepScheduled(); }

bool EngineAnalysisServices::IntegrationGoesOn() { return problem_.IntegrationGoesOn(); }

void EngineAnalysisServices::DropSensitivityStorage() {
  if (problem_.StepScheduled()) return;
  auto* integrator = dynamic_cast<IntegratorServerProxy*>(GetCurrentIntegrator());
  if (integrator != nullptr) integrator->DropSensitivityStorage();
}

Status EngineAnalysisServices::SizeSensitivityHistory(std::int32_t elements) {
  DelayMgr* delays = GetCurrentDelayMgr();
  if (delays == nullptr) return status::kOk;
  return delays->InitSubHistory(static_cast<std::uint32_t>(elements < 0 ? 0 : elements));
}

Status EngineAnalysisServices::GetDelayedSensitivity(AnalysisVariable* variable,
                                                     std::int32_t parameter, double time,
                                                     double* value) {
  DelayMgr* delays = GetCurrentDelayMgr();
  DAESVariable* model = ModelVariableOf(variable);
  if (delays == nullptr || model == nullptr) return kNoDelayManager;
  return delays->GetSubDelayedValue(model, parameter, time, value);
}

Status EngineAnalysisServices::RecordDelayedSensitivity(AnalysisVariable* variable,
                                                        std::int32_t parameter, double time,
                                                        double value) {
  DelayMgr* delays = GetCurrentDelayMgr();
  DAESVariable* model = ModelVariableOf(variable);
  if (delays == nullptr || model == nullptr) return kNoDelayManager;
  return delays->RecordSubValue(model, parameter, time, value);
}

Status EngineAnalysisServices::LoadOpenNLPEstimationSolver(const char* name,
                                                           EstOpenNLPSolver** solver) {
  return LoadOpenNLP(kRunEstimation, name, solver);
}

Status EngineAnalysisServices::LoadOpenNLPOptimisationSolver(const char* name,
                                                             EstOpenNLPSolver** solver) {
  return LoadOpenNLP(kRunOptimisation, name, solver);
}

Status EngineAnalysisServices::LoadOpenNLP(std::int32_t run_type, const char* name,
                                           EstOpenNLPSolver** solver) {
  const Status loaded = run_type == kRunEstimation ? LoadOpenNLPSolverForEstimation(name)
                                                   : LoadOpenNLPSolverForOptimisation(name);
  if (status::IsFailure(loaded)) return loaded;
  platform::IUnknown* factory = OpenNLPFactory(run_type);
  if (factory == nullptr) return kNoSolver;
  void* raw = nullptr;
  KVSParameters* parameters = nullptr;
  if (factory->QueryInterface(IID_KVSParameters, &raw) == 0 && raw != nullptr) {
    parameters = static_cast<KVSParameters*>(raw);
  }
  *solver = new KvsEstimationSolver(name, factory, parameters);
  return status::kOk;
}

void EngineAnalysisServices::ReleaseOpenNLPSolver(EstOpenNLPSolver* solver) {
  delete static_cast<KvsEstimationSolver*>(solver);
}

void EngineAnalysisServices::PrintOpenMessage(const std::string& text) {
  SuPrint(0, "%s", text.c_str());
}

AnalysisVariable* EngineAnalysisServices::FindAdapter(DAESVarTableEntry* entry) const {
  const auto found = adapters_.find(entry);
  return found != adapters_.end() ? found->second.get() : nullptr;
}

void EngineAnalysisServices::RetireAdapter(DAESVarTableEntry* entry) {
  const auto found = adapters_.find(entry);
  if (found == adapters_.end()) return;
  found->second->Detach();
  retired_.push_back(std::move(found->second));
  adapters_.erase(found);
}

void EngineAnalysisServices::DropAdapters() {
  adapters_.clear();
  retired_.clear();
}
