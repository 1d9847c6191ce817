// The dense optimisers that run an open NLP solver library by reverse
// communication: the SQPA and SQPB proxies over "kvs_sqpa.dll" and
// "kvs_sqpb.dll", and the optimiser over the library the user named for
// the run type.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "solve/ifaces/kvs_nlp.h"
#include "solve/open/kvs_proxies.h"
#include "solve/optimisers/dense_optimiser.h"
#include "solve/options/options_client.h"

class QLNCNumericNLPESO;
class QLNVariable;

// The problem's sizes as the factory of dense optimisers gives them.
struct NlpProblemSizes {
  std::int32_t run_type = 0;     // kRunOptimisation or kRunEstimation
  std::int32_t equalities = 0;   // or residuals in an estimation
  std::int32_t constraints = 0;  // equalities included
  std::int32_t variables = 0;
  QLNVariable* const* variable_list = nullptr;  // may be null
};

// What the proxies and the user-named optimiser share: the NLP system over
// the problem adapter, the step and its answers, the counters.
class NlpSolverRun {
 public:
  explicit NlpSolverRun(const NlpProblemSizes& sizes);
  ~NlpSolverRun();
  NlpSolverRun(const NlpSolverRun&) = delete;
  NlpSolverRun& operator=(const NlpSolverRun&) = delete;

  // Makes the adapter and asks `factory` for the system over it.
  Status Create(platform::IUnknown* factory);
  KVSNLPSystem* System() const { return system_; }
  QLNCNumericNLPESO* Problem() const { return eso_; }

  // The common part of Run; `step` runs the solver's step and answers its
  // result (the caller may guard it).
  template <class StepFn>
  std::int32_t Run(DenseOptimiserCall& call, StepFn&& step);
  // Copies in what the request flags ask for, or starts afresh.
  void Prepare(const DenseOptimiserCall& call);
  // The answer for a step result, copying the point and multipliers out.
  std::int32_t Answer(std::int32_t step, DenseOptimiserCall& call);
  void Count(std::int32_t answer);
  void Start();
  double Accuracy();

  std::int32_t Calls() const { return calls_; }
  std::int32_t Successful() const { return successful_; }
  std::int32_t Evaluations() const { return evaluations_; }
  // Constraint multipliers, then per variable the upper and the lower bound's.
  std::vector<double>& Work() { return work_; }
  std::int32_t Constraints() const { return sizes_.constraints; }
  Status ConsistencyConstraints(std::int32_t** list, bool strict);
  Status PassSetting(const char* name, std::int32_t kind, const void* value);

 private:
  NlpProblemSizes sizes_;
  std::vector<double> work_;
  QLNCNumericNLPESO* eso_ = nullptr;
  KVSNLPSystem* system_ = nullptr;
  KVSNLPResult* result_ = nullptr;
  KVSNLPAttributes* attributes_ = nullptr;
  std::int32_t calls_ = 0;
  std::int32_t successful_ = 0;
  std::int32_t evaluations_ = 0;
  std::int32_t previous_ = 0;
};

template <class StepFn>
std::int32_t NlpSolverRun::Run(DenseOptimiserCall& call, StepFn&& step) {
  if (call.mode == kOptimiserStart) Start();
  call.accuracy = -1.0;
  if (system_ == nullptr) return 2;
  Prepare(call);
  const std::int32_t answer = Answer(step(), call);
  call.accuracy = Accuracy();
  Count(answer);
  return answer;
}

class QLNKVSOptimProxy : public QLNDenseOptimiser, public QLNKVSGenericProxy {
 public:
  explicit QLNKVSOptimProxy(const NlpProblemSizes& sizes);
  // Loads the library and makes the system; 0, or why not.
  Status Create();

  using QLNDenseOptimiser::Run;
  std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                   const double* bounds, std::int32_t mode) override;
  std::int32_t Run(DenseOptimiserCall& call) override;
  std::int32_t Iterations() override { return run_.Calls(); }
  std::int32_t Evaluations() override { return run_.Evaluations(); }
  std::int32_t SuccessfulSteps() override { return run_.Successful(); }
  double* SecondWorkPart() override { return run_.Work().data() + run_.Constraints(); }
  double* WorkVector() override { return run_.Work().data(); }
  Status ConsistencyConstraints(std::int32_t** list) override {
    return run_.ConsistencyConstraints(list, false);
  }
  Status PassSetting(const char* name, std::int32_t kind, const void* value) override {
    return run_.PassSetting(name, kind, value);
  }

  const char* FactoryEntry() const override { return kGetFactoryNLPSystem; }
  const platform::IID& FactoryIID() const override { return IID_KVSNLPSystemFactory; }
  NlpSolverRun& SolverRun() { return run_; }

 protected:
  // Settings passed before every step.
  virtual void BeforeStep(const DenseOptimiserCall&) {}
  // After the system exists.
  virtual void Created() {}

 private:
  NlpSolverRun run_;
};

class QLNKVSSqpaProxy : public QLNKVSOptimProxy {
 public:
  using QLNKVSOptimProxy::QLNKVSOptimProxy;
  const char* LibraryName() const override { return "kvs_sqpa.dll"; }

 protected:
  void BeforeStep(const DenseOptimiserCall& call) override;

 private:
  // The last values passed, none before the first.
  std::optional<std::int32_t> print_level_, max_iterations_;
  std::optional<double> max_abs_step_, max_rel_step_, tolerance_;
};

// Its settings are named options of its solver, each change handed on.
class QLNKVSSqpbProxy final : public QLNKVSOptimProxy, public QLNOptionsClient {
 public:
  using QLNKVSOptimProxy::QLNKVSOptimProxy;
  ~QLNKVSSqpbProxy() override;
  const char* LibraryName() const override { return "kvs_sqpb.dll"; }
  Status OptionChanged(std::int32_t, const void*) override { return 0; }
  Status NamedOptionChanged(std::uint32_t id, const SUValue& value) override;

 protected:
  void Created() override;
};

// The library the user named for the run type; its calls run guarded, a
// fault ending the run with "Try another optimizer".
class QLNKVSOptimiser final : public QLNDenseOptimiser {
 public:
  explicit QLNKVSOptimiser(const NlpProblemSizes& sizes);
  Status Create();

  using QLNDenseOptimiser::Run;
  std::int32_t Run(double* point, const double* residuals, const double* jacobian,
                   const double* bounds, std::int32_t mode) override;
  std::int32_t Run(DenseOptimiserCall& call) override;
  std::int32_t Iterations() override { return run_.Calls(); }
  std::int32_t Evaluations() override { return run_.Evaluations(); }
  std::int32_t SuccessfulSteps() override { return run_.Successful(); }
  double* SecondWorkPart() override { return run_.Work().data() + run_.Constraints(); }
  double* WorkVector() override { return run_.Work().data(); }
  Status ConsistencyConstraints(std::int32_t** list) override {
    return run_.ConsistencyConstraints(list, true);
  }
  Status PassSetting(const char* name, std::int32_t kind, const void* value) override {
    return run_.PassSetting(name, kind, value);
  }

 private:
  std::int32_t run_type_;
  NlpSolverRun run_;
};

// Runs one solver step guarded; a fault prints the exception lines and
// "Try another optimizer" (0xA027FFFF) and answers the step as a failure.
std::int32_t GuardedNlpStep(KVSNLPSystem* system, std::int32_t mode);
