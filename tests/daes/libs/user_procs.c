/* User procedures the procedure tests call: both calling interfaces, a
 * FORTRAN-layout entry written in C, and entries that fault. The integers
 * of the interfaces are 32-bit; integer argument values are 64-bit in
 * 8-byte slots. */
#include <stdint.h>
#include <string.h>

typedef int32_t I;

#define OLD_ARGS                                                                         \
  double *in, I *insz, double *out, I *outsz, I *inoffs, I *outoffs, I *iflag, I *props, \
      double *work, I *wlen, double *derivs, I *nout, I *nin, I *task
#define UNUSED_OLD (void)insz, (void)outsz, (void)props, (void)work, (void)wlen

int32_t g_calls = 0;

/* Inputs x (real), n (integer), s (text), a (3 reals); outputs
 * y1 = x*n + a1 + 2*a2 + 3*a3 + strlen(s) and y2 = x*x - a1*a3.
 * Derivative columns: x, n, s, a1, a2, a3. */
static void Compute(const double* in, const I* inoffs, int base, double* out, const I* outoffs,
                    double* d, int fortran, I nout, I nin, I task) {
  const double x = in[inoffs[0] - base];
  int64_t n;
  memcpy(&n, &in[inoffs[1] - base], 8);
  const char* s = (const char*)&in[inoffs[2] - base];
  size_t len = 0;
  while (len < 40 && s[len] != 0 && s[len] != ' ') ++len;
  const double* a = &in[inoffs[3] - base];
  out[outoffs[0] - base] = x * (double)n + a[0] + 2 * a[1] + 3 * a[2] + (double)len;
  out[outoffs[1] - base] = x * x - a[0] * a[2];
  if (d != 0 && (task == 3 || task == 4)) {
    const double rows[2][6] = {{(double)n, 0, 0, 1, 2, 3}, {2 * x, 0, 0, -a[2], 0, -a[0]}};
    for (int o = 0; o < nout; ++o)
      for (int i = 0; i < nin; ++i) {
        if (fortran)
          d[o + i * nout] = rows[o][i];
        else
          d[o * nin + i] = rows[o][i];
      }
  }
}

void cproc(OLD_ARGS) {
  UNUSED_OLD;
  ++g_calls;
  Compute(in, inoffs, 0, out, outoffs, derivs, 0, *nout, *nin, *task);
  *iflag = 1;
}

void SU55IF_fproc(OLD_ARGS) {
  UNUSED_OLD;
  ++g_calls;
  Compute(in, inoffs, 1, out, outoffs, derivs, 1, *nout, *nin, *task);
  *iflag = 1;
}

/* y = 2 x through the new interface. */
void nproc(I* task, double* in, I* insz, double* out, I* outsz, I* inoffs, I* outoffs, I* props,
           double* work, I* wlen, I* nout, I* nin, I* count, I* pairs, double* values, I* iflag) {
  (void)task, (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)nout, (void)nin;
  ++g_calls;
  out[outoffs[0]] = 2 * in[inoffs[0]];
  if (*task == 3 || *task == 4) {
    for (I k = 0; k < *count; ++k)
      values[k] = pairs[2 * k] == 1 && pairs[2 * k + 1] == 1 ? 2.0 : 0.0;
  }
  *iflag = 1;
}

/* Asks for a pattern of as many entries as its input says (task 7). */
void npattern(I* task, double* in, I* insz, double* out, I* outsz, I* inoffs, I* outoffs, I* props,
              double* work, I* wlen, I* nout, I* nin, I* count, I* pairs, double* values,
              I* iflag) {
  (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)nout, (void)nin;
  (void)pairs, (void)values;
  out[outoffs[0]] = in[inoffs[0]];
  *count = (I)in[inoffs[0]];
  *task = 7;
  *iflag = 1;
}

/* Sets the fail code to its first input and echoes it. */
void cfail(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  ++g_calls;
  out[outoffs[0]] = in[inoffs[0]];
  *iflag = (I)in[inoffs[0]];
}

void cdivzero(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task, (void)inoffs;
  volatile double zero = 0.0, big = 1e308;
  out[outoffs[0]] = in[0] / zero;
  out[outoffs[0]] = big * 10.0; /* an overflow too: division is reported first */
  *iflag = 1;
}

void coverflow(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task, (void)in, (void)inoffs;
  volatile double big = 1e308;
  out[outoffs[0]] = big * 10.0;
  *iflag = 1;
}

void cintdiv(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task, (void)inoffs;
  volatile int zero = 0;
  out[outoffs[0]] = (double)(((int)in[0]) / zero);
  *iflag = 1;
}

void csegv(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task, (void)in, (void)inoffs,
      (void)outoffs, (void)out;
  *(volatile int*)(uintptr_t)0 = 1;
  *iflag = 1;
}

/* Echoes its first input. */
void cecho(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  ++g_calls;
  out[outoffs[0]] = in[inoffs[0]];
  *iflag = 1;
}

/* y1 = x1 x2 + p, y2 = x1 - 3 x2 p over inputs (x1, p, x2), with their
 * derivatives; the C and the FORTRAN layout. A negative x1 fails with
 * code 3. */
static void Pair(const double* in, const I* inoffs, int base, double* out, const I* outoffs,
                 double* d, int fortran, I nout, I nin, I task, I* iflag) {
  const double x1 = in[inoffs[0] - base], p = in[inoffs[1] - base], x2 = in[inoffs[2] - base];
  out[outoffs[0] - base] = x1 * x2 + p;
  out[outoffs[1] - base] = x1 - 3 * x2 * p;
  if (d != 0 && (task == 3 || task == 4)) {
    const double rows[2][3] = {{x2, 1, x1}, {1, -3 * x2, -3 * p}};
    for (int o = 0; o < nout; ++o)
      for (int i = 0; i < nin; ++i) d[fortran ? o + i * nout : o * nin + i] = rows[o][i];
  }
  *iflag = x1 < 0 ? 3 : 1;
}

void cpair(OLD_ARGS) {
  UNUSED_OLD;
  ++g_calls;
  Pair(in, inoffs, 0, out, outoffs, derivs, 0, *nout, *nin, *task, iflag);
}

void SU55IF_fpair(OLD_ARGS) {
  UNUSED_OLD;
  ++g_calls;
  Pair(in, inoffs, 1, out, outoffs, derivs, 1, *nout, *nin, *task, iflag);
}

/* Inputs x (real), n (3 integers) and t (2 texts): 14 slots. Outputs
 * y1 = x + n1 + 10 n2 + 100 n3 and y2 = a hash of every input byte, so
 * that two callers agree only when they pack the same bytes. */
static uint32_t InputHash(const double* in, int slots) {
  const unsigned char* p = (const unsigned char*)in;
  uint32_t h = 2166136261u;
  for (int i = 0; i < slots * 8; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

static void Bytes(const double* in, const I* inoffs, int base, double* out, const I* outoffs) {
  int64_t n[3];
  memcpy(n, &in[inoffs[1] - base], sizeof n);
  out[outoffs[0] - base] = in[inoffs[0] - base] + (double)n[0] + 10.0 * (double)n[1] +
                           100.0 * (double)n[2];
  out[outoffs[1] - base] = (double)InputHash(in, 14);
}

void cbytes(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  ++g_calls;
  Bytes(in, inoffs, 0, out, outoffs);
  *iflag = 1;
}

void SU55IF_fbytes(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  ++g_calls;
  Bytes(in, inoffs, 1, out, outoffs);
  *iflag = 1;
}

/* One input x, its outputs y(i) = i x (i from 1) in one array argument,
 * with their derivatives. */
void cfan(OLD_ARGS) {
  UNUSED_OLD;
  ++g_calls;
  const double x = in[inoffs[0]];
  for (I o = 0; o < *nout; ++o) {
    out[outoffs[0] + o] = (double)(o + 1) * x;
    if (derivs != 0 && (*task == 3 || *task == 4)) derivs[o * *nin] = (double)(o + 1);
  }
  *iflag = 1;
}
