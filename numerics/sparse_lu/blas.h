// The BLAS routines the dense kernels call, in the LP64 form that Debian's
// libblas provides (32-bit integers, character arguments with hidden
// lengths). Our routines count in 64-bit integers; every dimension crosses
// into BLAS through BlasInt, which refuses what does not fit.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
int idamax_(const int* n, const double* x, const int* incx);
void dswap_(const int* n, double* x, const int* incx, double* y, const int* incy);
void dscal_(const int* n, const double* a, double* x, const int* incx);
void daxpy_(const int* n, const double* a, const double* x, const int* incx, double* y,
            const int* incy);
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t trans_len);
void dtrsv_(const char* uplo, const char* trans, const char* diag, const int* n, const double* a,
            const int* lda, double* x, const int* incx, std::size_t uplo_len, std::size_t trans_len,
            std::size_t diag_len);
void dtrsm_(const char* side, const char* uplo, const char* transa, const char* diag, const int* m,
            const int* n, const double* alpha, const double* a, const int* lda, double* b,
            const int* ldb, std::size_t side_len, std::size_t uplo_len, std::size_t transa_len,
            std::size_t diag_len);
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const double* alpha, const double* a, const int* lda, const double* b, const int* ldb,
            const double* beta, double* c, const int* ldc, std::size_t transa_len,
            std::size_t transb_len);
}

namespace slu_blas {

// Narrows a dimension or stride for the LP64 interface. A value beyond 32
// bits would need a dense block of more than 2^31 rows, which no caller can
// allocate; it ends the process rather than let BLAS read out of bounds.
int BlasInt(std::int64_t value);

// 1-based index of the first entry of largest modulus, as IDAMAX.
std::int64_t Idamax(std::int64_t n, const double* x, std::int64_t incx);
void Dswap(std::int64_t n, double* x, std::int64_t incx, double* y, std::int64_t incy);
void Dscal(std::int64_t n, double a, double* x, std::int64_t incx);
void Daxpy(std::int64_t n, double a, const double* x, std::int64_t incx, double* y,
           std::int64_t incy);
double Ddot(std::int64_t n, const double* x, std::int64_t incx, const double* y, std::int64_t incy);
// y := alpha op(A) x + beta y.
void Dgemv(char trans, std::int64_t m, std::int64_t n, double alpha, const double* a,
           std::int64_t lda, const double* x, std::int64_t incx, double beta, double* y,
           std::int64_t incy);
void Dtrsv(char uplo, char trans, char diag, std::int64_t n, const double* a, std::int64_t lda,
           double* x, std::int64_t incx);
// B := alpha op(A)^-1 B with A on the left.
void DtrsmLeft(char uplo, char transa, char diag, std::int64_t m, std::int64_t n, double alpha,
               const double* a, std::int64_t lda, double* b, std::int64_t ldb);
// C := alpha op(A) op(B) + beta C.
void Dgemm(char transa, char transb, std::int64_t m, std::int64_t n, std::int64_t k, double alpha,
           const double* a, std::int64_t lda, const double* b, std::int64_t ldb, double beta,
           double* c, std::int64_t ldc);

}  // namespace slu_blas
