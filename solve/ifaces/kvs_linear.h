// The linear solver libraries ("kvs_slu.dll", "kvs_mfl.dll"): the factory
// behind "GetFactoryLASystem", the system it makes and its rank report.
#pragma once

#include <cstdint>

#include "solve/ifaces/kvs_common.h"

// Rank and the 1-based dependent rows and columns beyond it; the arrays
// are the caller's, one entry per equation.
class KVSLinearDependency : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetRank(std::int32_t* rank) = 0;
  /* 4 */ virtual Status GetDependentRows(std::int32_t* rows) = 0;
  /* 5 */ virtual Status GetDependentCols(std::int32_t* cols) = 0;

 protected:
  ~KVSLinearDependency() = default;
};

class KVSLASystem : public platform::IUnknown {
 public:
  // kKvsSingular, another positive value a failure.
  /* 3 */ virtual Status SetMatrixValues(const double* values) = 0;
  /* 4 */ virtual Status SetRHS(const double* rhs) = 0;
  // The solution is written into x (one entry per variable).
  /* 5 */ virtual Status Solve(double* x) = 0;

 protected:
  ~KVSLASystem() = default;
};

class KVSLASystemFactory : public platform::IUnknown {
 public:
  // Rows and columns 1-based, one pair per non-zero.
  /* 3 */ virtual Status CreateSystem(std::int32_t equations, std::int32_t variables,
                                      std::int32_t non_zeros, const std::int64_t* rows,
                                      const std::int64_t* cols, KVSMessagesHandler* handler,
                                      KVSLASystem** out) = 0;

 protected:
  ~KVSLASystemFactory() = default;
};
