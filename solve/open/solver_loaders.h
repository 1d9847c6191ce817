// The outside solver libraries the user names: one nonlinear (NLA) solver,
// whose loading switches nonlinear groups to the open NLA method, and one
// optimisation (NLP) solver each for estimation and for optimisation. A new
// load replaces the kind's factory and releases the previous one with its
// library; a failed load clears it.
#pragma once

#include <cstdint>
#include <string>

#include "solve/ifaces/kvs_common.h"

inline constexpr Status kKvsLoadMessage = 0x80000038u;
inline constexpr Status kKvsWrongFactory = KvsCode(-5);
inline constexpr Status kKvsNotLoadable = KvsCode(-6);

Status LoadOpenNLASolver(const char* name);
Status LoadOpenNLPSolverForEstimation(const char* name);
Status LoadOpenNLPSolverForOptimisation(const char* name);

// The loaded factories with one reference for the caller; null when none.
platform::IUnknown* OpenNLAFactory();
// kRunOptimisation or kRunEstimation.
platform::IUnknown* OpenNLPFactory(std::int32_t run_type);
// Releases the NLA solver and its library, saying so through the open
// messages handler; the name it was loaded under, empty when none was.
std::string UnloadOpenNLASolver();
// Releases every loaded solver library (tests and shutdown).
void ClearOpenSolvers();
