/* A library without entry points of its own, linked against one that has. */
#include <stdint.h>

int32_t ProviderCalls(void);

int32_t PlainProviderCalls(void) { return ProviderCalls(); }
