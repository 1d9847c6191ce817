// The two dense LAPACK routines control design uses, called through the
// Fortran ABI of the system's liblapack.
#pragma once

#include <cstdint>

// Singular values of the n x n column-major matrix `a` (overwritten),
// descending, into s(n); LAPACK's INFO.
std::int32_t LapackSingularValues(std::int32_t n, double* a, double* s);

// Eigenvalues of the n x n column-major matrix `a` (overwritten): real parts
// into wr(n), imaginary parts into wi(n), a complex pair adjacent with the
// positive imaginary part first; LAPACK's INFO.
std::int32_t LapackEigenvalues(std::int32_t n, double* a, double* wr, double* wi);
