// Whether the groups being solved on this thread take one corrector step
// each (a decomposition's IterateCorrector) rather than a whole solve, and
// whether they set up their iteration matrices first. Group methods read it;
// a torn group turns it off for its own inner groups.
#pragma once

class CorrectorIterationScope {
 public:
  CorrectorIterationScope(bool active, bool setup);
  ~CorrectorIterationScope();
  CorrectorIterationScope(const CorrectorIterationScope&) = delete;
  CorrectorIterationScope& operator=(const CorrectorIterationScope&) = delete;

  static bool Active();
  static bool SetUp();

 private:
  bool saved_active_, saved_setup_;
};

// The factor 2 / (1 + c / c_factors) a step with factors made at coefficient
// c_factors takes at coefficient c; 1 when either is 0 (no derivative
// columns in the matrix).
double StaleMatrixScale(double c, double c_factors);
