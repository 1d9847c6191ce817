/* The user procedure of the torn-group road: y = x / 2, through the old
 * calling interface in the C layout. The integers of the interface are
 * 32-bit. */
#include <stdint.h>

typedef int32_t I;

int32_t g_half_calls = 0;

void chalf(double* in, I* insz, double* out, I* outsz, I* inoffs, I* outoffs, I* iflag, I* props,
           double* work, I* wlen, double* derivs, I* nout, I* nin, I* task) {
  (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)nout, (void)nin;
  ++g_half_calls;
  out[outoffs[0]] = 0.5 * in[inoffs[0]];
  if (derivs != 0 && (*task == 3 || *task == 4)) derivs[0] = 0.5;
  *iflag = 1;
}
