#include "framework/libraries/call_context_block.h"

#include <cstddef>
#include <type_traits>

#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/procedure_context.h"
#include "foundation/interfaces/solver_options.h"

// The context is read as a block by the libraries: the same words at the
// same places, and the option table is an options handler at its address.
static_assert(offsetof(QLNInitializationBlock, kind) == offsetof(ProcedureCallContext, mode));
static_assert(offsetof(QLNInitializationBlock, word) == offsetof(ProcedureCallContext, collector));
static_assert(offsetof(QLNInitializationBlock, options_handler) ==
              offsetof(ProcedureCallContext, options));
static_assert(offsetof(QLNInitializationBlock, further_word) ==
              offsetof(ProcedureCallContext, problem_manager));
static_assert(sizeof(QLNInitializationBlock) == sizeof(ProcedureCallContext));
static_assert(std::is_base_of_v<QLNOptionsHandler, SolverOptions>);

const QLNInitializationBlock* ProcedureCallBlock() {
  return reinterpret_cast<const QLNInitializationBlock*>(GetProcedureContext());
}
