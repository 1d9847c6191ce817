// QLNEstimationManager: the face through which the experiments and the
// estimation solver driver reach the one estimation manager of the process.
// The operations keep the order of the design's dispatch table.
#pragma once

#include <cstdint>

#include "foundation/collections/mixins.h"
#include "platform/status.h"

class AnalysisVariable;
class DataRecVar;

namespace est_status {
inline constexpr Status kFailure = 0x8028FFFFu;
inline constexpr Status kSevere = 0xA028FFFFu;
inline constexpr Status kContinueRefused = 0x802801FBu;
}  // namespace est_status

namespace est_objective {
inline constexpr std::int32_t kLeastSquares = 1;
inline constexpr std::int32_t kMaximumLikelihood = 2;
}  // namespace est_objective

class QLNEstimationManager : public BvuError {
 public:
  // Clears the published pointer when it names this manager.
  ~QLNEstimationManager() override;
  virtual std::int32_t GetObjectiveType() = 0;
  virtual std::int32_t GetNumEstimated() = 0;
  virtual std::int32_t GetNumReconciled() = 0;
  virtual AnalysisVariable* const* GetEstimatedVariables() = 0;
  virtual DataRecVar* const* GetReconciledVariables() = 0;
};

// The manager of the process, or null.
QLNEstimationManager* GetEstimationManager();
void SetEstimationManager(QLNEstimationManager* manager);
