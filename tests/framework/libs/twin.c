/* Built twice with different ids into two folders under the same name. */
#include <stdint.h>

int32_t TwinId(void) { return TWIN_ID; }
