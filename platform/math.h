// The C library's mathematical functions as the engine calls them. Each call
// runs with the floating-point traps held, so that log(0) on a thread with
// traps armed reports instead of raising SIGFPE; a failure is classified and
// handed to the error handler the engine installed, which may change the
// value returned. glibc has no math-error hook of its own, so this is it.
#pragma once

#include <cstdint>

namespace platform {

// Kinds of math error, numbered as the handler expects them.
inline constexpr std::int32_t kMathDomain = 1;
inline constexpr std::int32_t kMathSingularity = 2;
inline constexpr std::int32_t kMathOverflow = 3;
inline constexpr std::int32_t kMathUnderflow = 4;
inline constexpr std::int32_t kMathTotalLoss = 5;
inline constexpr std::int32_t kMathPartialLoss = 6;

// What the handler learns of one failed call. `retval` holds the library's
// result on entry; the wrapper returns whatever the handler leaves there.
struct MathErrorRecord {
  std::int32_t kind;
  const char* name;
  double arg1;
  double arg2;
  double retval;
};

// Answers non-zero when it handled the error (the engine's always does).
using MathErrorHandler = std::int32_t (*)(MathErrorRecord* record);

// Installs the handler for every thread; null removes it. Returns the previous one.
MathErrorHandler SetMathErrorHandler(MathErrorHandler handler);
MathErrorHandler GetMathErrorHandler();

double Sin(double x);
double Cos(double x);
double Tan(double x);
double Asin(double x);
double Acos(double x);
double Atan(double x);
double Atan2(double y, double x);
double Sinh(double x);
double Cosh(double x);
double Tanh(double x);
double Sqrt(double x);
double Exp(double x);
double Log(double x);
double Log10(double x);
double Pow(double x, double y);
double Fmod(double x, double y);

}  // namespace platform
