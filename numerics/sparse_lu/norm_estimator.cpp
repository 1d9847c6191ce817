#include "numerics/sparse_lu/norm_estimator.h"

#include <cmath>

#include "numerics/sparse_lu/blas.h"

namespace {

constexpr std::int64_t kIterationLimit = 5;

// Zero counts as positive.
std::int64_t SignOf(double x) { return x >= 0.0 ? 1 : -1; }

void UnitVector(std::int64_t n, std::int64_t j, double* x) {
  for (std::int64_t i = 0; i < n; ++i) x[i] = 0.0;
  x[j - 1] = 1.0;
}

}  // namespace

void NormEst1(const std::int64_t* N, std::int64_t* REQUEST, double* X, double* ESTIMATE, double* V,
              std::int64_t* SIGNS, std::int64_t* STATE) {
  const std::int64_t n = *N;
  if (n < 1) {
    *REQUEST = -1;
    return;
  }
  if (*REQUEST == 0) {
    for (std::int64_t i = 0; i < n; ++i) X[i] = 1.0 / static_cast<double>(n);
    *REQUEST = 1;
    STATE[0] = 1;
    STATE[1] = 0;
    STATE[2] = 0;
    STATE[3] = 0;
    return;
  }

  std::int64_t step = STATE[0];
  std::int64_t iteration = STATE[1];
  std::int64_t j = STATE[2];
  std::int64_t previous = STATE[3];
  if (step < 2 || step > 5) step = 1;
  auto leave = [&](std::int64_t request, std::int64_t next_step) {
    *REQUEST = request;
    STATE[0] = next_step;
    STATE[1] = iteration;
    STATE[2] = j;
    STATE[3] = previous;
  };
  auto ask_unit_vector = [&] {
    UnitVector(n, j, X);
    leave(1, 3);
  };

  bool final_test = false;
  switch (step) {
    case 1:  // X = B x0
      if (n == 1) {
        V[0] = X[0];
        *ESTIMATE = std::fabs(X[0]);
        leave(0, 1);
        return;
      }
      for (std::int64_t i = 0; i < n; ++i) {
        SIGNS[i] = SignOf(X[i]);
        X[i] = static_cast<double>(SIGNS[i]);
      }
      leave(2, 2);
      return;
    case 2:  // X = B^T signs
      j = slu_blas::Idamax(n, X, 1);
      iteration = 2;
      ask_unit_vector();
      return;
    case 3: {  // X = B e_j
      bool same_signs = true;
      for (std::int64_t i = 0; i < n; ++i) {
        V[i] = X[i];
        if (SignOf(X[i]) != SIGNS[i]) same_signs = false;
      }
      if (same_signs) {
        final_test = true;
        break;
      }
      for (std::int64_t i = 0; i < n; ++i) {
        SIGNS[i] = SignOf(X[i]);
        X[i] = static_cast<double>(SIGNS[i]);
      }
      leave(2, 4);
      return;
    }
    case 4:  // X = B^T signs
      previous = j;
      j = slu_blas::Idamax(n, X, 1);
      if (std::fabs(X[previous - 1]) != std::fabs(X[j - 1]) && iteration < kIterationLimit) {
        ++iteration;
        ask_unit_vector();
        return;
      }
      final_test = true;
      break;
    case 5: {  // X = B times the alternating test vector
      double sum = 0.0;
      for (std::int64_t i = 0; i < n; ++i) sum += std::fabs(X[i]);
      const double t = 2.0 * sum / static_cast<double>(3 * n);
      if (t > *ESTIMATE) {
        for (std::int64_t i = 0; i < n; ++i) V[i] = X[i];
        *ESTIMATE = t;
      }
      leave(0, 5);
      return;
    }
  }

  if (final_test) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) sum += std::fabs(V[i]);
    *ESTIMATE = sum;
    double sign = 1.0;
    for (std::int64_t i = 0; i < n; ++i) {
      X[i] = sign * (1.0 + static_cast<double>(i) / static_cast<double>(n - 1));
      sign = -sign;
    }
    leave(1, 5);
  }
}
