#include "foundation/interfaces/solver_options.h"

#include <atomic>
#include <mutex>

namespace {

// The values the engine starts from for the options read below the solver subsystem.
class DefaultSolverOptions final : public SolverOptions {
 public:
  std::int32_t GetInt(std::int32_t number) override {
    switch (number) {
      case kOptPrintLevel:
        return 2;
      case kOptCheckProcDerivs:
        return 0;
      case kOptTearing:
        return 1;
      default:
        return 0;
    }
  }

  double GetReal(std::int32_t number) override {
    switch (number) {
      case kOptEqnTol:
        return 1.0e-5;
      case kOptAbsPerturb:
        return 1.0e-5;
      case kOptRelPerturb:
        return 1.0e-5;
      case kOptDerivRelTol:
        return 0.1;
      case kOptDerivAbsTol:
        return 0.001;
      case kOptEquationSensTol:
        return 1.0e10;
      case kOptRelativeSingularityTol:
        return 1.0e-2;
      case kOptAbsoluteSingularityTol:
        return 1.0e-4;
      default:
        return 0.0;
    }
  }

  bool GetBool(std::int32_t number) override {
    return number == kOptCompression || number == kOptListEquivalenceVariables;
  }

  // Built in: they take no values.
  Status SetInt(std::int32_t, std::int32_t) override { return status::kNotSupported; }

  // The numbered requests are derived by the solver subsystem's table;
  // without it none is known.
  std::int32_t OptionRequest(std::int32_t, std::int32_t* iinfo, double* xinfo,
                             const char** sinfo) override {
    if (iinfo != nullptr) *iinfo = 0;
    if (xinfo != nullptr) *xinfo = 0.0;
    if (sinfo != nullptr) *sinfo = nullptr;
    return -1;
  }
};

std::atomic<SolverOptions*> g_installed{nullptr};
std::once_flag g_defaults_made;
// Lives for the process: the procedure-call context hands its address out.
SolverOptions* g_defaults = nullptr;

}  // namespace

SolverOptions* SolverOptions::Instance() {
  if (SolverOptions* table = g_installed.load(std::memory_order_acquire)) return table;
  std::call_once(g_defaults_made, [] { g_defaults = new DefaultSolverOptions; });
  return g_defaults;
}

SolverOptions* SolverOptions::Install(SolverOptions* table) {
  return g_installed.exchange(table, std::memory_order_acq_rel);
}
