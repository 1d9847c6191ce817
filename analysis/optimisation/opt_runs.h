// The run objects the optimisation manager drives, made over its
// definition: the reduced-space run over ReducedSpaceDriver and the
// full-space run over FullSpaceOptimisation on the model the engine gives.
// Server thread; no lock.
#pragma once

#include <functional>
#include <memory>

#include "analysis/optimisation/full_space.h"
#include "analysis/optimisation/opt_run_object.h"
#include "analysis/optimisation/optimisation_layout.h"
#include "analysis/optimisation/reduced_driver.h"

class OptDefinition;

// The layout of a definition: list entries with their kinds, names and
// scales, controls, constraint records, objective and horizon.
optimisation::Layout LayoutOf(const OptDefinition& definition, std::int32_t optimizer);

class OptReducedSpaceRun final : public OptReducedRun {
 public:
  // Null when the driver cannot be made.
  static std::unique_ptr<OptReducedSpaceRun> Make(
      OptRunHost& host, ReducedSpaceDriver::OptimiserFactory factory = nullptr);
  // values: K objectives, then the R constraint values c; rows carry the
  // sign of c. The driver takes the constrained values themselves.
  std::int32_t Step(std::int32_t code, const double* values, const double* gradients,
                    std::int32_t* reply, DseMessage* progress) override;
  ReducedSpaceDriver& Driver() { return *driver_; }

 private:
  OptReducedSpaceRun(OptRunHost& host, std::unique_ptr<ReducedSpaceDriver> driver);
  OptRunHost& host_;
  std::unique_ptr<ReducedSpaceDriver> driver_;
  std::vector<double> values_, gradients_;
};

class OptFullSpaceOptimisationRun final : public OptFullSpaceRun {
 public:
  // `model` stays alive as long as the run; its columns name the
  // definition's variables through their ids.
  OptFullSpaceOptimisationRun(OptRunHost& host, std::unique_ptr<FullSpaceModel> model);
  Status Pass(std::int32_t code) override;
  Status GetMultipliers(AnalysisVariable* variable, double* upper, double* lower) override;
  FullSpaceOptimisation& Optimisation() { return *optimisation_; }

 private:
  std::int32_t ColumnOf(AnalysisVariable* variable);
  void CopyMultipliers();

  OptRunHost& host_;
  std::unique_ptr<FullSpaceModel> model_;
  std::unique_ptr<FullSpaceOptimisation> optimisation_;
  bool first_ = true;
};

// The manager's factory of run objects. Without a model maker full-space
// runs are made over the engine's current problem (none without one).
class OptimisationRunFactory final : public OptRunFactory {
 public:
  using ModelMaker = std::function<std::unique_ptr<FullSpaceModel>(OptRunHost&)>;
  explicit OptimisationRunFactory(ModelMaker maker = nullptr) : maker_(std::move(maker)) {}
  std::unique_ptr<OptReducedRun> MakeReduced(OptRunHost& host) override;
  std::unique_ptr<OptFullSpaceRun> MakeFullSpace(OptRunHost& host) override;

 private:
  ModelMaker maker_;
};
