/* bvdll_support.so, the engine's support library. The engine loads it on
 * behalf of a user library that has neither "BVInitialize" nor
 * "SputUtilitiesInit": it hands the initialisation block on to the engine,
 * which keeps the process's copy for the utilities such a library calls.
 * It ships beside the engine so that the load finds this copy. */
#include <dlfcn.h>
#include <stdint.h>

#include "framework/libraries/library_api.h"

typedef int32_t (*InitializeEntry)(const QLNInitializationBlock*);

__attribute__((visibility("protected"))) int32_t BVInitialize(const QLNInitializationBlock* block) {
  if (block == 0 || block->kind < 1 || block->kind > 3) return 0;
  /* The engine's own entry, exported by its executable. */
  InitializeEntry engine = (InitializeEntry)dlsym(RTLD_DEFAULT, "BVInitialize");
  if (engine == 0 || engine == BVInitialize) return 0;
  return engine(block);
}
