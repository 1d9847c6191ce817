// The decomposition object a decomposition server builds through the engine's
// factory and returns: the ordered list of groups, solved in that order.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IDecomposition = EngineIid(0x08);
inline constexpr platform::IID IID_IDecomp12Ex = EngineIid(0x09);
inline constexpr platform::IID IID_IQLNDecomposition = EngineIid(0x0B);
inline constexpr platform::IID IID_IQLNDecomposition20 = EngineIid(0x0D);

// Statuses a decomposition answers.
inline constexpr Status kDecompositionSingular = 0xC0FE0001u;
inline constexpr Status kDecompositionGroupFailedSevere = 0xC0FE0002u;
inline constexpr Status kDecompositionGroupFailed = 0x80FE0002u;
inline constexpr Status kDecompositionOutOfMemory = 0xC0FE0003u;

struct DecompositionStatistics {
  std::uint32_t count;
  std::uint32_t by_type[7];  // group types 1 to 7
};

// IDecomposition and IQLNDecomposition answer with one table; the split of
// its operations between the two was never observable, so all sit here.
class IDecomposition : public platform::IUnknown {
 protected:
  ~IDecomposition() = default;
};

class IQLNDecomposition : public IDecomposition {
 public:
  /* 3 */ virtual Status GetGroupCount(std::int32_t* count) = 0;
  // Takes the group's IQLNESOSolve and numbers it 1, 2, ... by addition.
  /* 4 */ virtual Status AddGroup(platform::IUnknown* group) = 0;
  /* 5 */ virtual Status GetGroup(std::int32_t index, const platform::IID& iid, void** out) = 0;
  /* 6 */ virtual Status GetStatistics(DecompositionStatistics* statistics,
                                       std::uint32_t* largest_size) = 0;
  /* 7 */ virtual Status IsSolved(std::uint32_t* solved) = 0;
  /* 8 */ virtual Status SetSolved(std::uint32_t solved) = 0;
  /* 9 */ virtual Status Reserve(std::int32_t count) = 0;
  /* 10 */ virtual Status SolveGroups(std::int32_t announce, std::int32_t mode,
                                      std::int32_t count_flag, std::int32_t* iterations) = 0;
  /* 11 */ virtual Status ForEachGroup20(std::int32_t a, std::int32_t* b) = 0;

 protected:
  ~IQLNDecomposition() = default;
};

class IDecomp12Ex : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Reserve(std::int32_t count) = 0;

 protected:
  ~IDecomp12Ex() = default;
};

// The corrector of an implicit integrator iterated as one Newton iteration of
// the whole corrector per call: each group in order evaluates its residuals
// once at the values the model holds and takes one step with the factors of
// its iteration matrix, its states' derivatives following. With `setup`
// every group first evaluates its Jacobian there and factorises it (a linear
// set-up); without, a group keeps its factors and scales its step by
// 2 / (1 + c / c_f) when they were made with coefficient c_f and the step
// quantity now gives c. No group judges convergence: the integrator does.
// Statuses as SolveGroups.
inline constexpr platform::IID IID_IQLNCorrectorIteration =
    platform::MakeGuid("{19D76736-3F0D-404D-9251-598546D7F36A}");

class IQLNCorrectorIteration : public platform::IUnknown {
 public:
  /* 3 */ virtual Status IterateCorrector(std::int32_t setup) = 0;

 protected:
  ~IQLNCorrectorIteration() = default;
};

class IQLNDecomposition20 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status ReportIndeterminate() = 0;
  /* 4 */ virtual Status ForEachGroup20() = 0;

 protected:
  ~IQLNDecomposition20() = default;
};
