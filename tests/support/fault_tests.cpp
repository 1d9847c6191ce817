#include "tests/support/fault_tests.h"

namespace testsupport {

namespace {
volatile int* volatile g_null = nullptr;
volatile bool g_never = false;
}  // namespace

void WriteThroughNull() { *g_null = 1; }

int DivideIntegers(int numerator, int denominator) {
  volatile int n = numerator;
  volatile int d = denominator;
  return n / d;
}

double DivideReals(double numerator, double denominator) {
  volatile double n = numerator;
  volatile double d = denominator;
  return n / d;
}

int ExhaustStack(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (g_never) return frame[0];
  return ExhaustStack(depth + 1) + frame[0];
}

}  // namespace testsupport
