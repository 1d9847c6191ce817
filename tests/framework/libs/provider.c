/* A dependency that happens to export a protocol entry point. */
#include <stdint.h>
#include <stdlib.h>

int32_t provider_calls = 0;

int32_t AddDLLSearchPath(const char* folder) {
  (void)folder;
  ++provider_calls;
  return 0;
}

int32_t ProviderCalls(void) { return provider_calls; }
