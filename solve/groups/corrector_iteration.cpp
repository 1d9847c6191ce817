#include "solve/groups/corrector_iteration.h"

namespace {

thread_local bool t_active = false;
thread_local bool t_setup = false;

}  // namespace

CorrectorIterationScope::CorrectorIterationScope(bool active, bool setup)
    : saved_active_(t_active), saved_setup_(t_setup) {
  t_active = active;
  t_setup = active && setup;
}

CorrectorIterationScope::~CorrectorIterationScope() {
  t_active = saved_active_;
  t_setup = saved_setup_;
}

bool CorrectorIterationScope::Active() { return t_active; }
bool CorrectorIterationScope::SetUp() { return t_setup; }

double StaleMatrixScale(double c, double c_factors) {
  if (c <= 0.0 || c_factors <= 0.0 || c == c_factors) return 1.0;
  return 2.0 / (1.0 + c / c_factors);
}
