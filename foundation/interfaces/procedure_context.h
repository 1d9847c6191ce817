// The procedure-call context: one block per process whose address outside
// procedure libraries receive when they are loaded. Its layout is shared with
// the libraries built from outside/, which include this header, so it holds
// only the block and its layout checks. The table of current objects owns the
// block; the problem manager (control/) fills it once at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

class QLNMessagesHandler;
class SolverOptions;
class ProblemManagerHooks;

// The mode a filled block carries; 0 until then.
inline constexpr std::uint32_t kProcedureContextFilled = 3;

struct ProcedureCallContext {
  std::uint32_t mode;
  QLNMessagesHandler* collector;
  SolverOptions* options;
  ProblemManagerHooks* problem_manager;
};

static_assert(sizeof(void*) == 8, "the block is laid out for 64-bit libraries");
static_assert(offsetof(ProcedureCallContext, mode) == 0);
static_assert(offsetof(ProcedureCallContext, collector) == 8);
static_assert(offsetof(ProcedureCallContext, options) == 16);
static_assert(offsetof(ProcedureCallContext, problem_manager) == 24);
static_assert(sizeof(ProcedureCallContext) == 32);
