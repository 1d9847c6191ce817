// The block side of compiled evaluation: the record a flowsheet library
// receives when it is loaded, the delayed-value callback registered with
// it, and whether the generated files are kept.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DAESSolverBlock;
class QLNMessagesHandler;
class SolverOptions;

struct CompiledCodeStart {
  std::uint32_t initialised = 0;
  QLNMessagesHandler* collector = nullptr;
  SolverOptions* options = nullptr;
  std::uint64_t reserved = 0;
};

// The one start record, filled on the first call.
CompiledCodeStart* GetCompiledCodeInitData();

// Variable i of the block's table at time t; the variable's status.
extern "C" Status CompiledCodeGetDelayedValue(void* block, std::int32_t i, double t, double* out);

// "QLN_CE_KEEP" when set and short enough (true unless it starts with
// "0"), else option 119.
bool KeepCompiledFiles(SolverOptions* options);
