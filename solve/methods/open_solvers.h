// The names of the open solver libraries the user chose, once loaded: the
// nonlinear (NLA) solver, whose presence switches nonlinear groups to it, and
// the optimisation (NLP) solvers for estimation and for optimisation. Set by
// the library loaders on the server thread; read when solvers are made.
#pragma once

#include <cstdint>
#include <string>

// Run types of the dense optimisers.
inline constexpr std::int32_t kRunOptimisation = 1;
inline constexpr std::int32_t kRunEstimation = 2;

// Empty when no open NLA solver is loaded.
std::string OpenNLASolverName();
void SetOpenNLASolverName(const std::string& name);
inline bool IsOpenNLASolverLoaded() { return !OpenNLASolverName().empty(); }

// The NLP library named for a run type; empty for none or another run type.
std::string OpenNLPSolverName(std::int32_t run_type);
// A run type other than the two is ignored.
void SetOpenNLPSolverName(std::int32_t run_type, const std::string& name);
