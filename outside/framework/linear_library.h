// The linear solver library ("kvs_mfl" on UMFPACK, "kvs_slu" on our sparse
// LU drivers): the factory behind "GetFactoryLASystem" and its systems.
//
// kvs_mfl: the matrix is factorised block by block in its block triangular
// form; "DropTolerance", "PivotTolerance", "ScaleMatrix", "RePivot" and
// "PivotSearch" govern the sparse LU of blocks above order 32, smaller
// blocks take dense LU with partial pivoting.
// kvs_slu: the drivers find the block triangular form and choose the pivots
// in one analysis per pattern, made on the first values and again when
// "PivotTolerance" or "ScaleMatrix" changes; later values are factorised
// with the kept pivots ("RePivot" "YES": a new analysis every time).
// "PivotSearch" has no effect there. Each solve refines with SluSolve for
// up to "MaxRefineIter" steps against its backward error before the
// refinement against "ErrorTol" below.
//
// Parameters (names without a prefix; the engine sets them per system):
//   "Triangularisation"  text "Yes"/"No": accepted; the block triangular
//                        form is always used for the rank analysis only.
//   "DropTolerance"      real >= 0 (0): entries of the factors below it are
//                        dropped; refinement then makes up the accuracy.
//   "PivotTolerance"     real 0..1 (0.1): threshold of the partial pivoting;
//                        1 is strict partial pivoting, 0 takes any non-zero.
//   "UseTranspose"       "YES"/"NO" (NO): factorise the transpose and solve
//                        with the transposed factors (other pivots, same x).
//   "ScaleMatrix"        "YES"/"NO" (YES): rows scaled by their largest entry
//                        inside the factorisation (kvs_slu: the entries of
//                        the values analysed, kept while later values are
//                        factorised with the kept pivots).
//   "RePivot"            "YES"/"NO" (NO): a fresh ordering for every set of
//                        values instead of the one of the first.
//   "PivotSearch"        integer 0..2 (0): ordering strategy, 0 automatic,
//                        1 unsymmetric, 2 symmetric.
//   "ErrorTol"           real >= 0 (1e-10): refinement stops once the largest
//                        residual magnitude is at most this.
//   "MaxRefineIter"      integer >= 0 (0): refinement steps at most.
//   "PrintLevel"         integer (0): 2 and above report singular matrices.
// A reciprocal condition estimate below 1e-14 sends the matrix to the rank
// analysis. SetMatrixValues: 0; 3 singular (rank and dependent rows and columns from
// KVSLinearDependency: rows[rank..n-1] pairs with cols[rank..n-1]; solves
// then give the dependent variables 0 and ignore the dependent rows);
// 1 bad input or a failed factorisation. Solve: 0; 16 a solution that is
// not finite or fails a backward error of sqrt(eps) (badly scaled or posed);
// 1 no values or right-hand side yet, or bad input.
#pragma once

#include <functional>
#include <memory>

#include "outside/framework/component.h"
#include "outside/framework/sparse_lu.h"
#include "solve/ifaces/kvs_linear.h"

namespace kvs {

using LuMaker = std::function<std::unique_ptr<SparseLu>()>;

// The object "GetFactoryLASystem" hands out (one reference).
platform::IUnknown* MakeLinearFactory(const LibraryTexts& texts, LuMaker lu);

}  // namespace kvs
