// For tests that fault on purpose, which need our own signal handlers, not the sanitizer's.
#pragma once

#include <gtest/gtest.h>

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

// Death-test children start afresh (fork and exec), so that threads of the
// parent do not matter and signal masks start clean.
inline void UseThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

}  // namespace testsupport

// The sanitizer installs its own SIGSEGV/SIGFPE handlers and turns integer
// division by zero into a report; faults on purpose only make sense without it.
#define VANTOR_SKIP_FAULTS_UNDER_ASAN()                                                      \
  do {                                                                                       \
    if (testsupport::kUnderAddressSanitizer)                                                 \
      GTEST_SKIP() << "deliberate faults need our own signal handlers, not the sanitizer's"; \
  } while (0)

namespace testsupport {

// Each of these faults when called; compiled apart so nothing folds them away.
void WriteThroughNull();
int DivideIntegers(int numerator, int denominator);
double DivideReals(double numerator, double denominator);
// Recurses until the stack runs out.
int ExhaustStack(int depth);

}  // namespace testsupport
