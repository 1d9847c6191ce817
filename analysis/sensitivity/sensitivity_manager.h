// QLNSensitivityManager: the face through which solvers, the delay manager
// and the analysis managers reach the one sensitivity manager of the
// process. The operations keep the order of the design's dispatch table.
#pragma once

#include <cstdint>

#include "platform/status.h"

class AnalysisVariable;

namespace sens_status {
inline constexpr Status kNotFound = 0x8024FFFFu;
inline constexpr Status kNoParameter = 0xA024FFFFu;
inline constexpr Status kDuplicate = 0x4024026Fu;
inline constexpr Status kNoMemory = 0x80240213u;
// Lists asked to change while a run step computes with them.
inline constexpr Status kBusy = 0x0032000Au;
}  // namespace sens_status

class QLNSensitivityManager {
 public:
  // Clears the published pointer when it names this manager.
  virtual ~QLNSensitivityManager();
  virtual void Enable() = 0;
  virtual void Disable() = 0;
  virtual std::int32_t GetNumParameterElements() = 0;
  virtual std::int32_t GetNumParameters() = 0;
  virtual std::int32_t GetNumMatrixRows() = 0;
  virtual std::int32_t GetNumVariables() = 0;
  virtual Status AddParameter(AnalysisVariable* parameter) = 0;
  virtual Status AddParameterArray(AnalysisVariable* parameter, std::int32_t elements) = 0;
  virtual Status AddVariable(AnalysisVariable* variable) = 0;
  virtual Status SetNumMatrixRows(std::int32_t rows) = 0;
  // The caller keeps i below the count.
  virtual AnalysisVariable* GetParameter(std::int32_t i) = 0;
  virtual AnalysisVariable* GetVariable(std::int32_t i) = 0;
  virtual Status SetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable,
                                double value, std::int32_t element) = 0;
  virtual Status GetSensitivity(AnalysisVariable* parameter, AnalysisVariable* variable,
                                double* value, std::int32_t element, bool multiply,
                                bool divide) = 0;
  virtual Status SetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable,
                                          double value) = 0;
  virtual Status GetSwitchTimeSensitivity(std::int32_t row, AnalysisVariable* variable,
                                          double* value, bool divide) = 0;
  virtual Status AllocateMatrix() = 0;
  virtual std::int32_t IsActiveFor(std::int32_t kind) = 0;
  virtual std::int32_t IsActive() = 0;
  virtual Status GetDelayedSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                                       double time, double* value) = 0;
  virtual Status RecordDelayedSensitivity(AnalysisVariable* variable, AnalysisVariable* parameter,
                                          double time, double value) = 0;
};

// The manager of the process, or null.
QLNSensitivityManager* GetSensitivityManager();
void SetSensitivityManager(QLNSensitivityManager* manager);
