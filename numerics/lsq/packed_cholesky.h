// Cholesky factorisation, condition estimate and inverse of a symmetric
// positive definite matrix held packed: the upper triangle by columns,
// a(i,j) with i <= j at AP(i + j(j-1)/2), 1-based. The factor R (A = R^T R)
// overwrites the triangle. Used by the least-squares optimiser's covariance
// step; arguments by reference, 64-bit integers.
#pragma once

#include <cstdint>

// Factors AP in place. INFO = 0 on success, else the column j whose pivot
// was not positive (the factor is then incomplete).
void PackedCholeskyFactor(double* ap, const std::int64_t& n, std::int64_t& info);

// Factors AP in place and estimates the reciprocal of its 1-norm condition
// number into RCOND (0 when the factor fails or A is zero). Z(N) is work and
// ends holding an approximate null vector of A when RCOND is small.
void PackedCholeskyCondition(double* ap, const std::int64_t& n, double& rcond, double* z,
                             std::int64_t& info);

// The condition estimate alone, from a factor R with a positive diagonal
// and the 1-norm ANORM of A = R^T R (a factor that came from elsewhere).
void PackedCholeskyEstimate(const double* ap, const std::int64_t& n, const double& anorm,
                            double& rcond, double* z);

// From the factor left by the two routines above. JOB = ab in decimal digits:
// b != 0 overwrites AP with the upper triangle of the inverse of A; a != 0
// stores the determinant as DET(1) * 10^DET(2) with 1 <= DET(1) < 10 (DET(1)
// = 0 for a zero determinant). DET may be null when a = 0.
void PackedCholeskyInverse(double* ap, const std::int64_t& n, double* det, const std::int64_t& job);
