// Small models whose runs fail, or grind on, the way published models do,
// for the road tests of what the engine tells a client about such runs.
#pragma once

#include "tests/tools/engine_road_fixture.h"
#include "tools/model_writer/model_writer.h"

namespace failingmodels {

// x' = -1 from x(0) = 1, and y = SQRT(x): past t = 1 the root cannot be
// taken.
inline void RootOfAFallingState(modelwriter::Writer& w) {
  using namespace modelwriter;
  w.List(4);
  engineroad::ModelVariable(w, kStateVariable, 1, ".x", 1.0, 32);
  engineroad::ModelVariable(w, kRealVariable, 2, ".y", 1.0, 1);
  engineroad::ModelEquation(w, 10, ".rate", Add(Var(0), Real(1.0)), {{2, 1, 1}});
  engineroad::ModelEquation(w, 11, ".root", Sub(Var(0), Sqrt(Var(1))), {{2, 2}, {2, 1}});
}

// x' = 1 from 1, and y1 + y2 = SQRT(x) written twice (the second times 2):
// the linear group of y1 and y2 is singular at every solve, and consistent,
// so the run goes on, one corrector attempt after another.
inline void StalledGroup(modelwriter::Writer& w) {
  using namespace modelwriter;
  w.List(6);
  engineroad::ModelVariable(w, kStateVariable, 1, ".x", 1.0, 32);
  engineroad::ModelVariable(w, kRealVariable, 2, ".y1", 0.5, 1);
  engineroad::ModelVariable(w, kRealVariable, 3, ".y2", 0.5, 1);
  engineroad::ModelEquation(w, 10, ".rate", Sub(Var(0), Real(1.0)), {{2, 1, 1}});
  engineroad::ModelEquation(w, 11, ".split", Sub(Add(Var(0), Var(1)), Sqrt(Var(2))),
                            {{2, 2}, {2, 3}, {2, 1}});
  engineroad::ModelEquation(w, 12, ".twice",
                            Sub(Mul(Real(2.0), Add(Var(0), Var(1))), Mul(Real(2.0), Sqrt(Var(2)))),
                            {{2, 2}, {2, 3}, {2, 1}});
}

}  // namespace failingmodels
