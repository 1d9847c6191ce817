// The damped Newton and dogleg driver both nonlinear libraries run over
// their sparse LU ("kvs_sparse_mfl": UMFPACK; "kvs_sparse": ours), working
// only through the engine's equation set (KVSNumericAlgebraicESO).
//
// Parameters (component "_KVS_SPARSE"; defaults in brackets):
//   "NewtonMethod"   "Hybrid" [default]: Powell's dogleg in a trust region
//                    measured in variables scaled by the Jacobian's column
//                    norms; a new Jacobian after every accepted step.
//                    "Newton": the Newton step, halved up to "MaxStepRed"
//                    times until the residual norm falls. "Fast Newton":
//                    Newton keeping its factors for up to "MaxFNIterations"
//                    steps while each step at least halves the residual
//                    norm; otherwise a fresh Jacobian.
//   "DogLeg"         "YES" [YES]: Hybrid blends the Newton and the steepest
//                    descent step; "NO": Hybrid shortens the Newton step.
//   "ResTol" [1e-8]  residual test: every |F_i| <= ResTol.
//   "AbsTol", "RelTol" [1e-8, 1e-8]  variable test: the last step was a full,
//                    unclipped Newton step on a Jacobian of full rank with
//                    every |dx_i| <= AbsTol + RelTol |x_i|.
//   "ConvTest" [0]   0 residual test, 1 variable test, 2 both, 3 either.
//   "Iterations" [100]  Jacobian evaluations (Hybrid, Newton) or steps
//                    (Fast Newton) at most before failure.
//   "MinimumIterations" [0]  steps taken before a test may pass.
//   "MaxVarStep" [1e6]  no variable moves more than MaxVarStep max(1,|x_i|)
//                    in one step (the whole step is shortened).
//   "HiVarSteps" [20]  that many steps in a row shortened by MaxVarStep
//                    end the solve with failure (a step on a singular,
//                    perturbed Jacobian does not count); 0: no bound.
//   "RangeFrac" [1]  no variable with two finite bounds moves more than
//                    RangeFrac (upper - lower) in one step.
//   "BoundFrac" [0.9]  a step that would cross a bound stops this fraction of
//                    the way to it.
//   "ClipFactor" [0.1]  when cutting the whole step to respect the bounds
//                    would leave less than this fraction of it, each
//                    offending variable is cut alone (others keep their
//                    step). Starting values outside the bounds are moved
//                    onto them first.
//   "MinNonZero" [0]  Jacobian entries smaller in magnitude are taken as 0.
//   "SingulFactor" [0.01]  the Jacobian's rank is decided on its
//                    equilibrated pivots at round-off (kKvsRankFloor); a
//                    singular one has its dependent pivots perturbed by
//                    SingulFactor (of the equilibrated scale, near 1) so
//                    that the step is still a Newton step, and is reported
//                    singular only when the solve fails. 0: no
//                    perturbation; the step then holds the dependent
//                    variables and ignores the dependent rows, and the
//                    singularity is reported at once. A corrector step is
//                    never perturbed: it fails for the integrator to
//                    shorten its step.
//   "IndetHandle" [0]  1: the dependent equations of a singular Jacobian
//                    are marked "Indeterminate" through the decomposition
//                    extension, when the equation set offers one (after
//                    perturbed steps: when the solve fails, or when it
//                    converges to a root whose Jacobian is singular).
//   "MaxDivSteps" [10]  Newton and Fast Newton: that many accepted steps in
//                    a row that raise the residual norm (or leave it above
//                    "HiRes") end the solve with failure.
//   "HiRes" [1e20]   a residual norm above it counts as divergence; 0: no bound.
//   "CreepIter", "CreepSize" [0, 0.1]  Newton: when no halving lowers the
//                    residual, up to CreepIter steps of CreepSize times the
//                    Newton step are taken anyway (each one counts as
//                    divergence) before the solve fails.
//   "BestAfterFailure" "YES"/"NO" [YES]  on failure, leave the variables at
//                    the point of least residual norm seen, else at the last.
//   "PrintLevel" [0]  1 failures, 2 a line per iteration (every "MPrint"
//                    [1] iterations), 3 the steps cut by bounds.
//   "IpConvInfo" [0] non-zero: a closing line with the iterations and the
//                    residual, whatever the print level.
//   "CorrectorStep" [0]  1: one step of an integrator's corrector iteration
//                    instead of a solve: the residuals once, a step on the
//                    factors held (made on the first such step), no test of
//                    convergence; 2: the same after a fresh Jacobian.
//   "CorrectorCoefficient" [0]  the derivative coefficient c of the
//                    corrector's matrix; a step on factors made at another
//                    c_f is scaled by 2 / (1 + c / c_f).
//   "SLU.DropTolerance", "SLU.PivotTolerance", "SLU.UseTranspose",
//   "SLU.ScaleMatrix", "SLU.RePivot", "SLU.PivotSearch",
//   "SLU.Triangularisation": the linear solver's settings as in
//                    linear_library.h.
//
// Solve(call, detail): the whole iteration in one call (call 0 or 1 alike);
// 0 converged, kKvsSevere when the equation set reports a severe status,
// else a positive failure: 2 iteration limit, 4 no progress or divergence,
// 5 an equation set of bad size or structure, 6 the linear solver failed,
// 7 the starting point cannot be evaluated. *detail (when given) takes the
// equation set's last failing status, else 0.
#pragma once

#include <cstdint>

#include "outside/framework/component.h"
#include "outside/framework/linear_library.h"
#include "solve/ifaces/kvs_nonlinear.h"

namespace kvs {

inline constexpr Status kNlaIterationLimit = 2;
inline constexpr Status kNlaNoProgress = 4;
inline constexpr Status kNlaBadProblem = 5;
inline constexpr Status kNlaLinearFailed = 6;
inline constexpr Status kNlaBadStart = 7;

// The object "GetFactoryNLASystem" hands out (one reference).
platform::IUnknown* MakeNonlinearFactory(const LibraryTexts& texts, LuMaker lu);

}  // namespace kvs
