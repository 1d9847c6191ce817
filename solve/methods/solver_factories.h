// The factories of the solver objects the rest of the engine holds only
// through their abstract classes: the method of a group kind, the dense
// optimiser of an optimisation or estimation run, the integrator of a
// dynamic run.
//
// Each factory first decides which class the request calls for (the Select
// functions, free of side effects except the integrator's substitution) and
// then makes it. A class that is not part of this build yet gives null with
// kSolverClassUnavailable, so a caller can tell it from a bad request
// (status::kBadArguments).
#pragma once

#include <cstdint>

#include "foundation/interfaces/group_method.h"
#include "platform/status.h"

class QLNDenseOptimiser;
class QLNVariable;
class UnifiedIntegratorProxy;

inline constexpr Status kSolverClassUnavailable = status::kNotSupported;

enum GroupMethodCode : std::int32_t {
  kMethodExplicit = 10,
  kMethodLinear20 = 20,
  kMethodLinear30 = 30,
  kMethodNonlinear40 = 40,
  kMethodNonlinear60 = 60,
  kMethodTorn = 100,
  kMethodWegstein = 101,
};

// The LinearSolver choice that picks the MFL libraries.
inline constexpr std::int32_t kLinearSolverMfl = 5;

enum class GroupMethodClass {
  kNone,
  kExplicitSolve,
  kKVSSluProxy,
  kKVSMflProxy,
  kKVSSparseProxy,
  kKVSSparseMflProxy,
  kOpenNLASolver,
  kTornSolve,
  kWegsteinStrategy,
};

GroupMethodClass SelectGroupMethod(std::int32_t code, std::int32_t linear_solver_choice);
// Null for an unknown code, a class not built or a failed allocation; the
// reason goes to *status when given.
QLNGroupMethod* CreateGroupMethod(std::int32_t code, std::int32_t linear_solver_choice,
                                  Status* status = nullptr);

// Optimiser kinds with a class of their own.
inline constexpr std::int32_t kOptimiserSqpa = 1;
inline constexpr std::int32_t kOptimiserNls = 2;
inline constexpr std::int32_t kOptimiserSqpb = 10;
// The open NLP solver on runs without sensitivities: its gradients are
// differences of runs (DifferencingOptimiser).
inline constexpr std::int32_t kOptimiserDifferenced = 3;

enum class DenseOptimiserClass {
  kKVSSqpaProxy,
  kNlsOptimiser,
  kKVSSqpbProxy,
  kKVSOptimiser,
};

// Any other kind runs the library named for the run type, SQPB when that
// name is "kvs_sqpb.dll" in any case. Sizes: equalities (residuals), all
// constraints, unknowns. An NLP optimiser whose library cannot be loaded or
// gives no system is still made (its Run answers 2), the reason in *status.
DenseOptimiserClass SelectDenseOptimiser(std::int32_t run_type, std::int32_t kind);
QLNDenseOptimiser* CreateDenseOptimiser(std::int32_t run_type, std::int32_t kind,
                                        std::int32_t size1, std::int32_t size2, std::int32_t size3,
                                        QLNVariable* const* variables, Status* status = nullptr);

// Integrator kinds: 1 Euler, 2 RK4, 3 ImplicitEuler, 4 Gear12. The script
// values 5 (VSIE), 6 (ImpEuler) and 7 (Gear) of older versions are replaced
// by 3, 3 and 4 with a warning, and the replacement is requested for the
// Integrator option. 0 for a choice outside 1..7. CreateIntegrator makes the
// integrator server proxy of the kind; *status is its creation status.
std::int32_t SelectIntegratorKind(std::int32_t choice);
UnifiedIntegratorProxy* CreateIntegrator(std::int32_t choice, Status* status = nullptr);
