#include "outside/nvector/fast_serial.h"

#include <cmath>

namespace vantor_nvector {
namespace {

using Real = realtype;

sunindextype Length(N_Vector v) { return NV_LENGTH_S(v); }
Real* Data(N_Vector v) { return NV_DATA_S(v); }

// y += a x, the in-place form of a linear sum.
void Axpy(Real a, N_Vector x, N_Vector y) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* yd = Data(y);
  if (a == 1.0) {
    for (sunindextype i = 0; i < n; ++i) yd[i] += xd[i];
  } else if (a == -1.0) {
    for (sunindextype i = 0; i < n; ++i) yd[i] -= xd[i];
  } else {
    for (sunindextype i = 0; i < n; ++i) yd[i] += a * xd[i];
  }
}

void LinearSum(Real a, N_Vector x, Real b, N_Vector y, N_Vector z) {
  if (b == 1.0 && z == y) return Axpy(a, x, y);
  if (a == 1.0 && z == x) return Axpy(b, y, x);
  const sunindextype n = Length(x);
  Real* zd = Data(z);
  if (a == 1.0 && b == 1.0) {
    const Real *xd = Data(x), *yd = Data(y);
    for (sunindextype i = 0; i < n; ++i) zd[i] = xd[i] + yd[i];
    return;
  }
  // v1 - v2 for (1, -1) and (-1, 1).
  const bool diff_xy = a == 1.0 && b == -1.0, diff_yx = a == -1.0 && b == 1.0;
  if (diff_xy || diff_yx) {
    const Real* v1 = Data(diff_xy ? x : y);
    const Real* v2 = Data(diff_xy ? y : x);
    for (sunindextype i = 0; i < n; ++i) zd[i] = v1[i] - v2[i];
    return;
  }
  // c v1 + v2 where one coefficient is 1.
  if (a == 1.0 || b == 1.0) {
    const Real c = a == 1.0 ? b : a;
    const Real* v1 = Data(a == 1.0 ? y : x);
    const Real* v2 = Data(a == 1.0 ? x : y);
    for (sunindextype i = 0; i < n; ++i) zd[i] = c * v1[i] + v2[i];
    return;
  }
  // c v1 - v2 where one coefficient is -1.
  if (a == -1.0 || b == -1.0) {
    const Real c = a == -1.0 ? b : a;
    const Real* v1 = Data(a == -1.0 ? y : x);
    const Real* v2 = Data(a == -1.0 ? x : y);
    for (sunindextype i = 0; i < n; ++i) zd[i] = c * v1[i] - v2[i];
    return;
  }
  const Real *xd = Data(x), *yd = Data(y);
  if (a == b) {
    for (sunindextype i = 0; i < n; ++i) zd[i] = a * (xd[i] + yd[i]);
  } else if (a == -b) {
    for (sunindextype i = 0; i < n; ++i) zd[i] = a * (xd[i] - yd[i]);
  } else {
    for (sunindextype i = 0; i < n; ++i) zd[i] = a * xd[i] + b * yd[i];
  }
}

void Const(Real c, N_Vector z) {
  const sunindextype n = Length(z);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = c;
}

void Prod(N_Vector x, N_Vector y, N_Vector z) {
  const sunindextype n = Length(x);
  const Real *xd = Data(x), *yd = Data(y);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = xd[i] * yd[i];
}

void Div(N_Vector x, N_Vector y, N_Vector z) {
  const sunindextype n = Length(x);
  const Real *xd = Data(x), *yd = Data(y);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = xd[i] / yd[i];
}

void Scale(Real c, N_Vector x, N_Vector z) {
  const sunindextype n = Length(x);
  Real* zd = Data(z);
  if (z == x) {
    for (sunindextype i = 0; i < n; ++i) zd[i] *= c;
    return;
  }
  const Real* xd = Data(x);
  if (c == 1.0) {
    for (sunindextype i = 0; i < n; ++i) zd[i] = xd[i];
  } else if (c == -1.0) {
    for (sunindextype i = 0; i < n; ++i) zd[i] = -xd[i];
  } else {
    for (sunindextype i = 0; i < n; ++i) zd[i] = c * xd[i];
  }
}

void Abs(N_Vector x, N_Vector z) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = std::fabs(xd[i]);
}

void Inv(N_Vector x, N_Vector z) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = 1.0 / xd[i];
}

void AddConst(N_Vector x, Real b, N_Vector z) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = xd[i] + b;
}

// The reductions keep the stock order of summation: no reassociation.
Real DotProd(N_Vector x, N_Vector y) {
  const sunindextype n = Length(x);
  const Real *xd = Data(x), *yd = Data(y);
  Real sum = 0.0;
  for (sunindextype i = 0; i < n; ++i) sum += xd[i] * yd[i];
  return sum;
}

Real MaxNorm(N_Vector x) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real max = 0.0;
  for (sunindextype i = 0; i < n; ++i)
    if (std::fabs(xd[i]) > max) max = std::fabs(xd[i]);
  return max;
}

Real WSqrSum(N_Vector x, N_Vector w) {
  const sunindextype n = Length(x);
  const Real *xd = Data(x), *wd = Data(w);
  Real sum = 0.0;
  for (sunindextype i = 0; i < n; ++i) {
    const Real p = xd[i] * wd[i];
    sum += p * p;
  }
  return sum;
}

Real WSqrSumMask(N_Vector x, N_Vector w, N_Vector id) {
  const sunindextype n = Length(x);
  const Real *xd = Data(x), *wd = Data(w), *idd = Data(id);
  Real sum = 0.0;
  for (sunindextype i = 0; i < n; ++i) {
    if (idd[i] > 0.0) {
      const Real p = xd[i] * wd[i];
      sum += p * p;
    }
  }
  return sum;
}

Real WrmsNorm(N_Vector x, N_Vector w) {
  return std::sqrt(WSqrSum(x, w) / static_cast<Real>(Length(x)));
}

Real WrmsNormMask(N_Vector x, N_Vector w, N_Vector id) {
  return std::sqrt(WSqrSumMask(x, w, id) / static_cast<Real>(Length(x)));
}

Real Min(N_Vector x) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real min = xd[0];
  for (sunindextype i = 1; i < n; ++i)
    if (xd[i] < min) min = xd[i];
  return min;
}

Real WL2Norm(N_Vector x, N_Vector w) { return std::sqrt(WSqrSum(x, w)); }

Real L1Norm(N_Vector x) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real sum = 0.0;
  for (sunindextype i = 0; i < n; ++i) sum += std::fabs(xd[i]);
  return sum;
}

void Compare(Real c, N_Vector x, N_Vector z) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* zd = Data(z);
  for (sunindextype i = 0; i < n; ++i) zd[i] = std::fabs(xd[i]) >= c ? 1.0 : 0.0;
}

booleantype InvTest(N_Vector x, N_Vector z) {
  const sunindextype n = Length(x);
  const Real* xd = Data(x);
  Real* zd = Data(z);
  booleantype no_zero = SUNTRUE;
  for (sunindextype i = 0; i < n; ++i) {
    if (xd[i] == 0.0)
      no_zero = SUNFALSE;
    else
      zd[i] = 1.0 / xd[i];
  }
  return no_zero;
}

// m_i = 1 where x_i breaks constraint c_i (2: > 0, 1: >= 0, -1: <= 0,
// -2: < 0); true when none does.
booleantype ConstrMask(N_Vector c, N_Vector x, N_Vector m) {
  const sunindextype n = Length(x);
  const Real *cd = Data(c), *xd = Data(x);
  Real* md = Data(m);
  booleantype all = SUNTRUE;
  for (sunindextype i = 0; i < n; ++i) {
    md[i] = 0.0;
    if (cd[i] == 0.0) continue;
    const bool broken = (std::fabs(cd[i]) > 1.5 && xd[i] * cd[i] <= 0.0) ||
                        (std::fabs(cd[i]) > 0.5 && xd[i] * cd[i] < 0.0);
    if (broken) {
      all = SUNFALSE;
      md[i] = 1.0;
    }
  }
  return all;
}

Real MinQuotient(N_Vector num, N_Vector denom) {
  const sunindextype n = Length(num);
  const Real *nd = Data(num), *dd = Data(denom);
  Real min = BIG_REAL;
  bool first = true;
  for (sunindextype i = 0; i < n; ++i) {
    if (dd[i] == 0.0) continue;
    const Real q = nd[i] / dd[i];
    min = first ? q : (min < q ? min : q);
    first = false;
  }
  return min;
}

}  // namespace

bool UseFastSerialOps(N_Vector v) {
  if (v == nullptr || v->ops == nullptr || N_VGetVectorID(v) != SUNDIALS_NVEC_SERIAL) return false;
  N_Vector_Ops o = v->ops;
  o->nvlinearsum = LinearSum;
  o->nvconst = Const;
  o->nvprod = Prod;
  o->nvdiv = Div;
  o->nvscale = Scale;
  o->nvabs = Abs;
  o->nvinv = Inv;
  o->nvaddconst = AddConst;
  o->nvdotprod = DotProd;
  o->nvmaxnorm = MaxNorm;
  o->nvwrmsnorm = WrmsNorm;
  o->nvwrmsnormmask = WrmsNormMask;
  o->nvmin = Min;
  o->nvwl2norm = WL2Norm;
  o->nvl1norm = L1Norm;
  o->nvcompare = Compare;
  o->nvinvtest = InvTest;
  o->nvconstrmask = ConstrMask;
  o->nvminquotient = MinQuotient;
  o->nvdotprodlocal = DotProd;
  o->nvmaxnormlocal = MaxNorm;
  o->nvminlocal = Min;
  o->nvl1normlocal = L1Norm;
  o->nvinvtestlocal = InvTest;
  o->nvconstrmasklocal = ConstrMask;
  o->nvminquotientlocal = MinQuotient;
  o->nvwsqrsumlocal = WSqrSum;
  o->nvwsqrsummasklocal = WSqrSumMask;
  return true;
}

}  // namespace vantor_nvector
