#include "solve/optimisers/kvs_optimisers.h"

#include <algorithm>
#include <cfenv>
#include <cstdio>
#include <cstdlib>

#include "foundation/messages/su_print.h"
#include "platform/fault_guard.h"
#include "solve/methods/open_solvers.h"
#include "solve/open/kvs_guard.h"
#include "solve/open/nlp_eso.h"
#include "solve/open/solver_loaders.h"
#include "solve/optimisers/nlp_step.h"
#include "solve/options/solver_option_table.h"

namespace {

template <class T>
T* Query(platform::IUnknown* object, const platform::IID& iid) {
  void* raw = nullptr;
  if (object == nullptr || object->QueryInterface(iid, &raw) != 0) return nullptr;
  return static_cast<T*>(raw);
}

}  // namespace

std::int32_t GuardedNlpStep(KVSNLPSystem* system, std::int32_t mode) {
  Status result = KvsCode(-1);
  platform::Fault fault;
  const std::uint32_t code = platform::RunGuarded(
      [&] { result = system->Step(mode, QLNCOpenMessagesHandler::Instance()); }, &fault);
  if (code == 0) return static_cast<std::int32_t>(result);
  // The guard gave back the control word of its entry; the status starts clean.
  std::feclearexcept(FE_ALL_EXCEPT);
  std::printf("Enter KVSExceptionHandler(unsigned int %u,_EXCEPTION_POINTERS *%p)\n", code,
              fault.address);
  std::fflush(stdout);
  const std::string text = KvsExceptionText(code);
  SuPrint(kOptimiserUnsupported, "%s\nTry another optimizer", text.c_str());
  // Outside the step table: a failure.
  return -1;
}

// --- the shared run ---

NlpSolverRun::NlpSolverRun(const NlpProblemSizes& sizes) : sizes_(sizes) {
  sizes_.variables = std::max(sizes_.variables, 0);
  sizes_.constraints = std::max(sizes_.constraints, 0);
  sizes_.equalities = std::clamp(sizes_.equalities, 0, sizes_.constraints);
  work_.assign(static_cast<std::size_t>(sizes_.constraints + 2 * sizes_.variables), 0.0);
}

NlpSolverRun::~NlpSolverRun() {
  if (attributes_ != nullptr) attributes_->Release();
  if (result_ != nullptr) result_->Release();
  if (system_ != nullptr) system_->Release();
  if (eso_ != nullptr) eso_->Release();
}

Status NlpSolverRun::Create(platform::IUnknown* factory) {
  auto* nlp_factory = static_cast<KVSNLPSystemFactory*>(factory);
  if (nlp_factory == nullptr) return kKvsNotLoadable;
  eso_ =
      new QLNCNumericNLPESO(sizes_.equalities, sizes_.constraints - sizes_.equalities,
                            sizes_.variables, false, sizes_.variable_list, 0, 0, nullptr, nullptr);
  eso_->AddRef();
  KVSNLPSystem* system = nullptr;
  const Status s = GuardedKvsCall(
      [&] { return nlp_factory->CreateSystem(eso_, QLNCOpenMessagesHandler::Instance(), &system); },
      kOptimiserUnsupported);
  if (s != 0 || system == nullptr) {
    if (system != nullptr) system->Release();
    return s != 0 ? s : kOptimiserUnsupported;
  }
  system_ = system;
  result_ = Query<KVSNLPResult>(system_, IID_KVSNLPResult);
  attributes_ = Query<KVSNLPAttributes>(system_, IID_KVSNLPAttributes);
  return 0;
}

void NlpSolverRun::Start() {
  calls_ = successful_ = evaluations_ = 0;
  previous_ = 0;
}

void NlpSolverRun::Prepare(const DenseOptimiserCall& call) {
  if (call.mode == kOptimiserStart) {
    eso_->ResetRequest();
    eso_->SetPoint(call.point);
    eso_->SetBounds(call.bounds);
    return;
  }
  // The caller could not evaluate the point: nothing of it is taken.
  if (call.mode == kOptimiserPointFailed) return;
  const std::uint32_t flags = eso_->Request();
  if ((flags & kNlpWantsObjective) != 0) eso_->SetObjective(call.objective);
  if ((flags & kNlpWantsConstraints) != 0) eso_->SetConstraints(call.constraints);
  if ((flags & kNlpWantsGradient) != 0 && call.gradients != nullptr) {
    eso_->SetObjectiveGradient(call.gradients);
  }
  if ((flags & kNlpWantsJacobian) != 0 && call.gradients != nullptr) {
    eso_->SetConstraintJacobianColumns(call.gradients, std::max(call.gradient_rows, 1));
  }
  if ((flags & kNlpGivesPoint) != 0) eso_->SetPoint(call.point);
  if ((flags & kNlpUnitScales) != 0) eso_->SetUnitScales();
}

std::int32_t NlpSolverRun::Answer(std::int32_t step, DenseOptimiserCall& call) {
  const std::int32_t answer = NlpStepAnswer(step, eso_->Request(), previous_);
  previous_ = answer;
  // The caller evaluates at the solver's point, and keeps the final one.
  const bool copy_point = answer <= 0 || (answer == 1 && sizes_.run_type == kRunOptimisation);
  if (copy_point && call.point != nullptr) {
    const std::vector<double>& point = eso_->Point();
    std::copy(point.begin(), point.end(), call.point);
  }
  if (answer == 1) {
    const double* variables = nullptr;
    const double* constraints = nullptr;
    eso_->GetMultiplierArrays(&variables, &constraints);
    std::copy(constraints, constraints + sizes_.constraints, work_.begin());
    // A variable's multiplier is positive at its lower bound, negative at its upper.
    for (std::int32_t j = 0; j < sizes_.variables; ++j) {
      const std::size_t at = static_cast<std::size_t>(sizes_.constraints + 2 * j);
      work_[at] = std::max(-variables[j], 0.0);
      work_[at + 1] = std::max(variables[j], 0.0);
    }
  }
  return answer;
}

void NlpSolverRun::Count(std::int32_t answer) {
  ++calls_;
  if (answer == 0 || answer == -2) ++successful_;
  if (answer == 0 || answer == -1) ++evaluations_;
}

double NlpSolverRun::Accuracy() {
  double value = -1.0;
  if (result_ == nullptr) return value;
  const Status s = platform::RunGuarded([&] {
    if (result_->GetResult("OPT_CVRG", &value) != 0) value = -1.0;
  });
  return s == 0 ? value : -1.0;
}

Status NlpSolverRun::ConsistencyConstraints(std::int32_t** list, bool strict) {
  if (attributes_ == nullptr || list == nullptr) return kOptimiserUnsupported;
  const auto m = static_cast<std::size_t>(sizes_.constraints);
  if (*list == nullptr)
    *list =
        static_cast<std::int32_t*>(std::calloc(std::max<std::size_t>(m, 1), sizeof(std::int32_t)));
  if (*list == nullptr) return kOptimiserUnsupported;
  std::fill(*list, *list + m, 0);
  std::size_t found = 0;
  for (std::int32_t i = 0; i < sizes_.constraints; ++i) {
    double value = 0.0;
    const Status s = attributes_->GetConstraintAttribute(i, "Consistency", &value);
    if (s != 0) {
      if (strict) return kOptimiserUnsupported;
      continue;
    }
    if (value != 0.0) (*list)[found++] = i + 1;
  }
  return 0;
}

Status NlpSolverRun::PassSetting(const char* name, std::int32_t kind, const void* value) {
  if (system_ == nullptr || name == nullptr || value == nullptr) return kOptimiserUnsupported;
  auto* parameters = Query<KVSParameters>(system_, IID_KVSParameters);
  if (parameters == nullptr) return kOptimiserUnsupported;
  const Status s = parameters->Set(name, kind, value);
  parameters->Release();
  return s == 0 ? 0 : kOptimiserUnsupported;
}

// --- the proxies ---

QLNKVSOptimProxy::QLNKVSOptimProxy(const NlpProblemSizes& sizes) : run_(sizes) {}

Status QLNKVSOptimProxy::Create() {
  platform::IUnknown* factory = SolverObject();
  if (factory == nullptr) return kKvsNotLoadable;
  const Status s = run_.Create(factory);
  if (s == 0) Created();
  return s;
}

std::int32_t QLNKVSOptimProxy::Run(double* point, const double* residuals, const double* jacobian,
                                   const double* bounds, std::int32_t mode) {
  DenseOptimiserCall call = PlainOptimiserCall(point, residuals, jacobian, bounds, mode);
  return Run(call);
}

std::int32_t QLNKVSOptimProxy::Run(DenseOptimiserCall& call) {
  if (run_.System() != nullptr) BeforeStep(call);
  return run_.Run(call, [&] { return GuardedNlpStep(run_.System(), call.mode); });
}

void QLNKVSSqpaProxy::BeforeStep(const DenseOptimiserCall& call) {
  auto pass = [&](auto& last, auto value, const char* name, std::int32_t kind) {
    if (last.has_value() && *last == value) return;
    last = value;
    PassSetting(name, kind, &value);
  };
  pass(print_level_, std::max(call.print_level - 2, 0), "PrintLevel", kKvsInteger);
  pass(max_iterations_, call.max_iterations, "MaxIterations", kKvsInteger);
  pass(max_abs_step_, call.max_abs_step, "MaxAbsStep", kKvsReal);
  pass(max_rel_step_, call.max_rel_step, "MaxRelStep", kKvsReal);
  // A run without a tolerance of its own (least squares) keeps the solver's.
  if (call.tolerance > 0.0) pass(tolerance_, call.tolerance, "OptTol", kKvsReal);
}

QLNKVSSqpbProxy::~QLNKVSSqpbProxy() {
  if (SolverOptionTable* table = SolverOptionTable::Existing()) table->RemoveClient(this);
}

void QLNKVSSqpbProxy::Created() { PublishParameters(SolverRun().System(), false, this); }

Status QLNKVSSqpbProxy::NamedOptionChanged(std::uint32_t id, const SUValue& value) {
  return NamedParameterChanged(id, value, SolverRun().System());
}

// --- the user-named optimiser ---

QLNKVSOptimiser::QLNKVSOptimiser(const NlpProblemSizes& sizes)
    : run_type_(sizes.run_type), run_(sizes) {}

Status QLNKVSOptimiser::Create() {
  platform::IUnknown* factory = OpenNLPFactory(run_type_);
  if (factory == nullptr) return kKvsNotLoadable;
  const Status s = run_.Create(factory);
  factory->Release();
  return s;
}

std::int32_t QLNKVSOptimiser::Run(double* point, const double* residuals, const double* jacobian,
                                  const double* bounds, std::int32_t mode) {
  DenseOptimiserCall call = PlainOptimiserCall(point, residuals, jacobian, bounds, mode);
  return Run(call);
}

std::int32_t QLNKVSOptimiser::Run(DenseOptimiserCall& call) {
  // Without a library the run fails at its first call: say why, or the
  // user sees only a failure to converge after one evaluation.
  if (run_.System() == nullptr && call.mode == kOptimiserStart) {
    const char* run = run_type_ == kRunEstimation ? "estimation" : "optimisation";
    SuPrint(0, "No open NLP solver is loaded for %s: choose its library before the run", run);
  }
  // The tolerance the client chose, for a library that takes one by the
  // name the built-in ones use; one that refuses it keeps its own.
  if (run_.System() != nullptr && call.mode == kOptimiserStart && call.tolerance > 0.0) {
    run_.PassSetting("OptTol", kKvsReal, &call.tolerance);
  }
  return run_.Run(call, [&] { return GuardedNlpStep(run_.System(), call.mode); });
}
