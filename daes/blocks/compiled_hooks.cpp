#include "daes/blocks/compiled_hooks.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "daes/blocks/solver_block.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/messages_handler.h"

namespace {
CompiledCodeStart g_start;
std::mutex g_start_lock;
constexpr std::size_t kKeepBuffer = 10;
}  // namespace

CompiledCodeStart* GetCompiledCodeInitData() {
  std::lock_guard<std::mutex> hold(g_start_lock);
  if (g_start.initialised == 0) {
    g_start.initialised = 1;
    g_start.collector = GetMessageCollector();
    g_start.options = SolverOptions::Instance();
    g_start.reserved = 0;
  }
  return &g_start;
}

extern "C" Status CompiledCodeGetDelayedValue(void* block, std::int32_t i, double t, double* out) {
  // Generated code passes these; none of them is trusted.
  if (out == nullptr) return daes::kBlockUnsupported;
  auto* b = static_cast<DAESSolverBlock*>(block);
  DAESVarTableEntry* v = b != nullptr ? b->GetVariable(i) : nullptr;
  if (v == nullptr) {
    *out = 0.0;
    return daes::kBlockUnsupported;
  }
  return v->DelayedValue(t, out);
}

bool KeepCompiledFiles(SolverOptions* options) {
  const char* value = std::getenv("QLN_CE_KEEP");
  if (value != nullptr && std::strlen(value) < kKeepBuffer) return value[0] != '0';
  return options != nullptr && options->GetBool(kOptKeepCompiledEvaluationFiles);
}
