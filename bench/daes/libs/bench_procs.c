/* The user procedure the procedure benchmark calls: y = x * x + n. */
#include <stdint.h>
#include <string.h>

void bproc(double *in, int32_t *insz, double *out, int32_t *outsz, int32_t *inoffs,
           int32_t *outoffs, int32_t *iflag, int32_t *props, double *work, int32_t *wlen,
           double *derivs, int32_t *nout, int32_t *nin, int32_t *task) {
  (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)derivs, (void)nout,
      (void)nin, (void)task;
  int64_t n;
  memcpy(&n, &in[inoffs[1]], 8);
  out[outoffs[0]] = in[inoffs[0]] * in[inoffs[0]] + (double)n;
  *iflag = 1;
}
