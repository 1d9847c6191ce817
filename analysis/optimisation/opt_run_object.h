// The run objects the optimisation manager owns and drives: the
// reduced-space driver (the model is simulated at every point) and the
// full-space steady-state optimisation (one large NLP). The manager makes
// them through an OptRunFactory; they reach the problem and the manager's
// results only through OptRunHost.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/status.h"

class AnalysisServices;
class AnalysisVariable;
class DseMessage;
class OptDefinition;

// Codes of an optimiser pass.
namespace opt_pass {
inline constexpr std::int32_t kFirst = 7;
inline constexpr std::int32_t kPointFailed = 8;
inline constexpr std::int32_t kPointEvaluated = 9;
}  // namespace opt_pass

class OptRunHost {
 public:
  virtual OptDefinition& Definition() = 0;
  virtual AnalysisServices& Services() = 0;
  // Two per optimisation variable in list order, upper first, then one per
  // constraint record: 2P + R doubles.
  virtual std::vector<double>& Multipliers() = 0;
  // An optimum: result available := 1 with its evaluation count and
  // objective; a failed or new start: result available := 0.
  virtual void SetResult(bool available, std::int32_t evaluations, double objective) = 0;

 protected:
  ~OptRunHost() = default;
};

class OptReducedRun {
 public:
  virtual ~OptReducedRun() = default;
  // One evaluated point. code: opt_pass. values: K objective values then R
  // constraint values c (then the final time when it is minimised);
  // gradients: K + R rows of P entries (row r at r x P), d(value)/d(list
  // entry). *reply := 1 when the caller keeps a reply for the client.
  // progress already holds u16 158. Answer: >= 1 finished, 0 another
  // point is wanted, < 0 failure.
  virtual std::int32_t Step(std::int32_t code, const double* values, const double* gradients,
                            std::int32_t* reply, DseMessage* progress) = 0;
};

class OptFullSpaceRun {
 public:
  virtual ~OptFullSpaceRun() = default;
  // One pass (opt_pass code) of the whole-model NLP; the status goes through
  // the action's result mapping (0 optimum, 0x802700D3 go on, 0x8027025D
  // failed).
  virtual Status Pass(std::int32_t code) = 0;
  // The variable's multipliers in the full-space array (lower at i, upper
  // at n + i); opt_status::kNoValue when it is no column of the NLP.
  virtual Status GetMultipliers(AnalysisVariable* variable, double* upper, double* lower) = 0;
};

class OptRunFactory {
 public:
  virtual std::unique_ptr<OptReducedRun> MakeReduced(OptRunHost& host) = 0;
  virtual std::unique_ptr<OptFullSpaceRun> MakeFullSpace(OptRunHost& host) = 0;

 protected:
  ~OptRunFactory() = default;
};
