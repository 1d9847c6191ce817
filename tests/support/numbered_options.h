// The base of the tests' option tables below the solver subsystem: they
// answer the numbered getters their test needs, and, as the built-in
// defaults do, know none of the derived option requests.
#pragma once

#include "foundation/interfaces/solver_options.h"

namespace testsupport {

class NumberedOptions : public SolverOptions {
 public:
  std::int32_t OptionRequest(std::int32_t, std::int32_t* iinfo, double* xinfo,
                             const char** sinfo) override {
    *iinfo = 0;
    *xinfo = 0.0;
    *sinfo = nullptr;
    return -1;
  }
};

}  // namespace testsupport
