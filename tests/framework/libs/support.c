/* Stands in for the engine's support library "bvdll_support": accepts a
 * block whose word is not 0. */
#include <stdint.h>

#include "framework/libraries/library_api.h"

__attribute__((visibility("protected"))) int32_t BVInitialize(const QLNInitializationBlock* block) {
  return block != 0 && block->word != 0 ? 1 : 0;
}
