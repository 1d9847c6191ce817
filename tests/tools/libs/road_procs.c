/* User procedures that the road tests' models call through the engine.
 * The old calling interface with the C layout unless said otherwise: the
 * integers of the interface are 32-bit, argument values sit in 8-byte
 * slots (integers as 64-bit, texts in 40 bytes). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "framework/libraries/library_api.h"

typedef int32_t I;

#define OLD_ARGS                                                                         \
  double *in, I *insz, double *out, I *outsz, I *inoffs, I *outoffs, I *iflag, I *props, \
      double *work, I *wlen, double *derivs, I *nout, I *nin, I *task
#define UNUSED_OLD (void)insz, (void)outsz, (void)props, (void)work, (void)wlen

static int Derivatives(const double* d, const I* task) {
  return d != 0 && (*task == 3 || *task == 4);
}

/* y = x^2. */
void rsquare(OLD_ARGS) {
  UNUSED_OLD, (void)nout, (void)nin;
  const double x = in[inoffs[0]];
  out[outoffs[0]] = x * x;
  if (Derivatives(derivs, task)) derivs[0] = 2 * x;
  *iflag = 1;
}

/* y = x^2, saying once who first called it for an output (task 0, 3 or
 * 4): a compiled equation library (a file named tcex...) or the engine. */
static int by_library, by_engine;

static int ByLibrary(const void* caller) {
  Dl_info info;
  const char* file = dladdr(caller, &info) != 0 && info.dli_fname != 0 ? info.dli_fname : "";
  const char* base = strrchr(file, '/');
  base = base != 0 ? base + 1 : file;
  return strncmp(base, "tcex", 4) == 0;
}

static void Tell(const void* caller) {
  if (ByLibrary(caller)) {
    if (by_library++ == 0) QLN_Print(0, (char*)"rwho evaluated by the compiled library");
  } else if (by_engine++ == 0) {
    QLN_Print(0, (char*)"rwho evaluated by the engine");
  }
}

void rwho(OLD_ARGS) {
  UNUSED_OLD, (void)nout, (void)nin;
  if (*task == 0 || *task == 3 || *task == 4) Tell(__builtin_return_address(0));
  const double x = in[inoffs[0]];
  out[outoffs[0]] = x * x;
  if (Derivatives(derivs, task)) derivs[0] = 2 * x;
  *iflag = 1;
}

/* r = -k x over the inputs (x, k). */
void rrate(OLD_ARGS) {
  UNUSED_OLD, (void)nout;
  const double x = in[inoffs[0]], k = in[inoffs[1]];
  out[outoffs[0]] = -k * x;
  if (Derivatives(derivs, task)) {
    derivs[0] = -k;
    derivs[*nin - 1] = -x;
  }
  *iflag = 1;
}

/* y(i) = i x for i = 1 .. nout, one array output. */
void rfan(OLD_ARGS) {
  UNUSED_OLD;
  const double x = in[inoffs[0]];
  for (I o = 0; o < *nout; ++o) {
    out[outoffs[0] + o] = (double)(o + 1) * x;
    if (Derivatives(derivs, task)) derivs[o * *nin] = (double)(o + 1);
  }
  *iflag = 1;
}

/* y = n x + the length of s, over an integer and a text parameter. */
void rscale(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  int64_t n;
  memcpy(&n, &in[inoffs[1]], sizeof n);
  const char* s = (const char*)&in[inoffs[2]];
  size_t length = 0;
  while (length < 40 && s[length] != 0) ++length;
  out[outoffs[0]] = (double)n * in[inoffs[0]] + (double)length;
  *iflag = 1;
}

/* y = x, failing with code 3 once x passes 1, counting its failed calls
 * and saying each with its caller. */
static int failed_calls;

void rlimit(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  out[outoffs[0]] = in[inoffs[0]];
  *iflag = in[inoffs[0]] > 1.0 ? 3 : 1;
  if (*iflag == 3) {
    ++failed_calls;
    QLN_Print(0, (char*)"rlimit failed call %d by %s", &failed_calls,
              ByLibrary(__builtin_return_address(0)) ? "the compiled library" : "the engine");
  }
}

/* Counts the calls that open and close the problem and begin and end a
 * run, saying each; its output y = x + 100 precalls + postcalls tells the
 * counts to the model. */
static int precalls, postcalls, opened, closed;

void rprepost(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin;
  switch (*task) {
    case 1:
      ++precalls;
      QLN_Print(0, (char*)"rprepost precall %d", &precalls);
      break;
    case 2:
      ++postcalls;
      QLN_Print(0, (char*)"rprepost postcall %d", &postcalls);
      break;
    case 5:
      ++opened;
      QLN_Print(0, (char*)"rprepost opens problem %d", &opened);
      break;
    case 6:
      ++closed;
      QLN_Print(0, (char*)"rprepost closes problem %d", &closed);
      break;
    default:
      out[outoffs[0]] = in[inoffs[0]] + 100.0 * precalls + postcalls;
  }
  *iflag = 1;
}

/* y = x^3 through the newer interface, its derivative given in the
 * sparse pattern the engine hands over. */
void rcube(I* task, double* in, I* insz, double* out, I* outsz, I* inoffs, I* outoffs, I* props,
           double* work, I* wlen, I* nout, I* nin, I* count, I* pairs, double* values, I* iflag) {
  (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)nout, (void)nin;
  const double x = in[inoffs[0]];
  out[outoffs[0]] = x * x * x;
  if (*task == 3 || *task == 4) {
    for (I k = 0; k < *count; ++k)
      values[k] = pairs[2 * k] == 1 && pairs[2 * k + 1] == 1 ? 3 * x * x : 0.0;
  }
  *iflag = 1;
}

/* y = x^3 through the newer interface, counting and saying its pre- and
 * post-calls; its derivative by differences. */
static int cube_precalls, cube_postcalls;

void rcubeprepost(I* task, double* in, I* insz, double* out, I* outsz, I* inoffs, I* outoffs,
                  I* props, double* work, I* wlen, I* nout, I* nin, I* count, I* pairs,
                  double* values, I* iflag) {
  (void)insz, (void)outsz, (void)props, (void)work, (void)wlen, (void)nout, (void)nin;
  (void)count, (void)pairs, (void)values;
  *iflag = 1;
  switch (*task) {
    case 0:
      out[outoffs[0]] = in[inoffs[0]] * in[inoffs[0]] * in[inoffs[0]];
      break;
    case 1:
      ++cube_precalls;
      QLN_Print(0, (char*)"rcubeprepost precall %d", &cube_precalls);
      break;
    case 2:
      ++cube_postcalls;
      QLN_Print(0, (char*)"rcubeprepost postcall %d", &cube_postcalls);
      break;
    case 5:
    case 6:
      break;
    default:
      QLN_Print(0, (char*)"rcubeprepost asked for task %d", task);
      *iflag = 4;
  }
}

void rlin2(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  const double* x = &in[inoffs[0]];
  out[outoffs[0]] = 2 * x[0] + x[1];
  out[outoffs[0] + 1] = 0.5 * x[0] + 3 * x[1];
  *iflag = 1;
}

void rlin2s(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  const double x1 = in[inoffs[0]], x2 = in[inoffs[1]];
  out[outoffs[0]] = 2 * x1 + x2;
  out[outoffs[1]] = 0.5 * x1 + 3 * x2;
  *iflag = 1;
}

/* y = x^2 with a wrong derivative, 3x. */
void rbadslope(OLD_ARGS) {
  UNUSED_OLD, (void)nout, (void)nin;
  const double x = in[inoffs[0]];
  out[outoffs[0]] = x * x;
  if (Derivatives(derivs, task)) derivs[0] = 3 * x;
  *iflag = 1;
}

/* y = x over the inputs (x, n), saying at every evaluation which call of
 * a cycle of n it is: each line back again n calls later; and at every
 * thousandth call how many it has passed, a line that never comes again. */
static int tallied;

void rtally(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  const int cycle = (int)in[inoffs[1]];
  int call = tallied % (cycle > 0 ? cycle : 1) + 1;
  QLN_Print(0, (char*)"rtally call %d", &call);
  if (++tallied % 1000 == 0) QLN_Print(0, (char*)"rtally passed %d calls", &tallied);
  out[outoffs[0]] = in[inoffs[0]];
  *iflag = 1;
}

/* Ends the engine at its first call, as a sanitizer or a failed check
 * does: a report of 100 numbered lines in one write on standard error,
 * then abort() for the input 1 and _exit(3) for any other. */
void rlastwords(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task, (void)out, (void)outoffs,
      (void)iflag;
  char report[100 * 64];
  size_t length = 0;
  for (int line = 1; line <= 100; ++line)
    length += (size_t)snprintf(report + length, sizeof report - length,
                               "rlastwords report line %03d of 100\n", line);
  ssize_t written = write(2, report, length);
  (void)written;
  if (in[inoffs[0]] == 1.0) abort();
  _exit(3);
}

/* y = x, after 100,000 lines on standard error: more than a pipe nobody
 * reads holds, so the call waits in its write for as long as that lasts. */
void rchatter(OLD_ARGS) {
  UNUSED_OLD, (void)derivs, (void)nout, (void)nin, (void)task;
  for (int line = 1; line <= 100000; ++line)
    fprintf(stderr, "rchatter line %06d of 100000 to stderr\n", line);
  out[outoffs[0]] = in[inoffs[0]];
  *iflag = 1;
}
