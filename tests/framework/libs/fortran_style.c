/* Symbols named as a FORTRAN compiler names them (lower case, trailing
 * underscore), and one known only in upper case. */
#include <stdint.h>

static int32_t initialized = 0;

int32_t dllinitialize_(void) {
  ++initialized;
  return 0;
}

int32_t timesinitialized_(void) { return initialized; }

int32_t compute_(const int32_t* x) { return *x * 2; }

int32_t UPPERONLY(void) { return 11; }
