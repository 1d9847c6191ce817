#include "platform/math.h"

#include <math.h>
#include <atomic>
#include <cerrno>
#include <cfenv>
#include <cmath>

namespace platform {
namespace {

std::atomic<MathErrorHandler> g_handler{nullptr};

constexpr int kWatched = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;

std::int32_t Classify(double result, int raised, int error) {
  if ((raised & FE_INVALID) != 0 || error == EDOM) return kMathDomain;
  if ((raised & FE_DIVBYZERO) != 0) return kMathSingularity;
  if ((raised & FE_OVERFLOW) != 0) return kMathOverflow;
  // An underflow that still gave a normal number lost nothing worth a report.
  if ((raised & FE_UNDERFLOW) != 0 && (result == 0.0 || std::fpclassify(result) == FP_SUBNORMAL)) {
    return kMathUnderflow;
  }
  return 0;
}

// Runs one library call with the traps held and reports its failure. The
// volatile copies keep the compiler from moving the computation (which it may
// inline as a single instruction) out of the held environment.
template <typename Call>
double Guarded(const char* name, double x, double y, Call call) {
  fenv_t held;
  feholdexcept(&held);
  const int caller_errno = errno;
  errno = 0;
  volatile double in_x = x;
  volatile double in_y = y;
  volatile double out = call(in_x, in_y);
  double result = out;
  const int raised = fetestexcept(kWatched);
  const int error = errno;

  bool handled = false;
  if (const std::int32_t kind = Classify(result, raised, error); kind != 0) {
    if (MathErrorHandler handler = g_handler.load(std::memory_order_acquire)) {
      MathErrorRecord record{kind, name, x, y, result};
      handled = handler(&record) != 0;
      result = record.retval;
    }
  } else {
    handled = true;
  }
  // Back to the caller's traps and flags; feupdateenv would raise what we held.
  fesetenv(&held);
  // An unhandled failure leaves errno as the library set it, like the C run-time.
  if (handled) errno = caller_errno;
  return result;
}

}  // namespace

MathErrorHandler SetMathErrorHandler(MathErrorHandler handler) {
  return g_handler.exchange(handler, std::memory_order_acq_rel);
}

MathErrorHandler GetMathErrorHandler() { return g_handler.load(std::memory_order_acquire); }

double Sin(double x) {
  return Guarded("sin", x, 0.0, [](double a, double) { return ::sin(a); });
}
double Cos(double x) {
  return Guarded("cos", x, 0.0, [](double a, double) { return ::cos(a); });
}
double Tan(double x) {
  return Guarded("tan", x, 0.0, [](double a, double) { return ::tan(a); });
}
double Asin(double x) {
  return Guarded("asin", x, 0.0, [](double a, double) { return ::asin(a); });
}
double Acos(double x) {
  return Guarded("acos", x, 0.0, [](double a, double) { return ::acos(a); });
}
double Atan(double x) {
  return Guarded("atan", x, 0.0, [](double a, double) { return ::atan(a); });
}
double Atan2(double y, double x) {
  return Guarded("atan2", y, x, [](double a, double b) { return ::atan2(a, b); });
}
double Sinh(double x) {
  return Guarded("sinh", x, 0.0, [](double a, double) { return ::sinh(a); });
}
double Cosh(double x) {
  return Guarded("cosh", x, 0.0, [](double a, double) { return ::cosh(a); });
}
double Tanh(double x) {
  return Guarded("tanh", x, 0.0, [](double a, double) { return ::tanh(a); });
}
double Sqrt(double x) {
  return Guarded("sqrt", x, 0.0, [](double a, double) { return ::sqrt(a); });
}
double Exp(double x) {
  return Guarded("exp", x, 0.0, [](double a, double) { return ::exp(a); });
}
double Log(double x) {
  return Guarded("log", x, 0.0, [](double a, double) { return ::log(a); });
}
double Log10(double x) {
  return Guarded("log10", x, 0.0, [](double a, double) { return ::log10(a); });
}
double Pow(double x, double y) {
  return Guarded("pow", x, y, [](double a, double b) { return ::pow(a, b); });
}
double Fmod(double x, double y) {
  return Guarded("fmod", x, y, [](double a, double b) { return ::fmod(a, b); });
}

}  // namespace platform
