/* The setup library of the fake property package: GPP_SETUP answers the
 * level in FAKE_GPP_SETUP_LEVEL (default: leaves the 1 it was given). */
#include <stdint.h>
#include <stdlib.h>

void GPP_SETUP(int64_t* level) {
  const char* wanted = getenv("FAKE_GPP_SETUP_LEVEL");
  if (wanted != NULL) *level = atoll(wanted);
}
