// QLNOptimisationManager: the face through which integrators, solver
// proxies, the sensitivity manager and the results layer reach the one
// optimisation manager of the process. The operations keep the order of
// the design's dispatch table (the destructor is slot 2).
#pragma once

#include <cstdint>

#include "foundation/collections/mixins.h"
#include "platform/status.h"

class AnalysisVariable;

namespace opt_status {
inline constexpr Status kFailure = 0x8027FFFFu;
inline constexpr Status kNoValue = 0xA027FFFFu;
inline constexpr Status kCannotProceed = 0x8027025Du;
inline constexpr Status kRunAgain = 0x802700D3u;
inline constexpr Status kStartRefused = 0x802701FBu;
inline constexpr Status kBadHookPoint = 0x8027002Cu;
inline constexpr Status kNotAControl = 0xFFFFFFFFu;
}  // namespace opt_status

class QLNOptimisationManager : public BvuError {
 public:
  // Clears the published pointer when it names this manager.
  ~QLNOptimisationManager() override;
  virtual std::int32_t GetNumControlValues() = 0;
  virtual std::int32_t GetNumElements() = 0;
  virtual std::int32_t GetNumControls() = 0;
  virtual double GetCurrentElementLength() = 0;
  virtual std::int32_t GetCurrentElement() = 0;
  virtual double GetElementStartTime() = 0;
  virtual double GetElementEndTime() = 0;
  virtual double GetNextElementEndTime() = 0;
  // The control's values at the start and the end of the current element;
  // opt_status::kNotAControl (outputs untouched) when the variable drives
  // no control.
  virtual Status GetControlValues(AnalysisVariable* variable, double* start, double* end) = 0;
  virtual std::int32_t GetMovingElements() = 0;
  virtual std::int32_t GetNumMovableLengths() = 0;
  virtual std::int32_t GetPiecewiseLinear() = 0;
  virtual double GetFinalTime() = 0;
  virtual std::uint8_t GetElementBoundaryPassed() = 0;
  // The variable's upper and lower bound multipliers of the last solution;
  // opt_status::kNoValue (outputs untouched) when it is no optimisation
  // variable or there are none.
  virtual Status GetMultipliers(AnalysisVariable* variable, double* upper, double* lower) = 0;

 protected:
  QLNOptimisationManager() : BvuError(0) {}
};

// The manager of the process, or null.
QLNOptimisationManager* GetOptimisationManager();
void SetOptimisationManager(QLNOptimisationManager* manager);
