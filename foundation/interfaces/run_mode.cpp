#include "foundation/interfaces/run_mode.h"

#include <atomic>

namespace {
// Written by the run thread, read by the server thread between passes.
std::atomic<std::int32_t> g_run_mode{0};
std::atomic<double> g_simulation_time{0.0};
std::atomic<std::int32_t> g_solution_phase{0};
}  // namespace

std::int32_t GetRunMode() { return g_run_mode.load(std::memory_order_relaxed); }
void SetRunMode(std::int32_t mode) { g_run_mode.store(mode, std::memory_order_relaxed); }

double GetSimulationTime() { return g_simulation_time.load(std::memory_order_relaxed); }
void SetSimulationTime(double time) { g_simulation_time.store(time, std::memory_order_relaxed); }

std::int32_t GetSolutionPhase() { return g_solution_phase.load(std::memory_order_relaxed); }
void SetSolutionPhase(std::int32_t phase) {
  g_solution_phase.store(phase, std::memory_order_relaxed);
}

namespace {
thread_local int t_delay_probes = 0;
}  // namespace

DelayProbe::DelayProbe() { ++t_delay_probes; }
DelayProbe::~DelayProbe() { --t_delay_probes; }
bool InDelayProbe() { return t_delay_probes > 0; }
