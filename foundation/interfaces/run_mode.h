// What the engine is running now, its phase and the time of the current
// point. Stored here; the problem manager of the control subsystem (control/)
// and the event schedule keep them up to date; the model (the delay manager, the system
// function "Time") reads them from whichever thread evaluates.
#pragma once

#include <cstdint>

inline constexpr std::int32_t kRunSteadyState = 1;
inline constexpr std::int32_t kRunDynamic = 4;
inline constexpr std::int32_t kRunInitialisation = 5;
inline constexpr std::int32_t kRunReinitialisation = 6;

// 0 until the first run.
std::int32_t GetRunMode();
void SetRunMode(std::int32_t mode);

double GetSimulationTime();
void SetSimulationTime(double time);

// The solution phase of the current run step: 0 dynamic integration, 1
// initialisation or steady state, 2 re-initialisation. 0 until the first run.
std::int32_t GetSolutionPhase();
void SetSolutionPhase(std::int32_t phase);

// While one lives on this thread, look-ups of delayed values only probe
// the history (a difference quotient in the lag): the delay manager takes
// their lags for none the model uses.
class DelayProbe {
 public:
  DelayProbe();
  ~DelayProbe();
  DelayProbe(const DelayProbe&) = delete;
  DelayProbe& operator=(const DelayProbe&) = delete;
};
bool InDelayProbe();
