#include "foundation/interfaces/problem_manager_hooks.h"

#include <atomic>

namespace {
std::atomic<ProblemManagerHooks*> g_hooks{nullptr};
}  // namespace

ProblemManagerHooks* GetProblemManagerHooks() { return g_hooks.load(std::memory_order_acquire); }

void SetProblemManagerHooks(ProblemManagerHooks* hooks) {
  g_hooks.store(hooks, std::memory_order_release);
}
