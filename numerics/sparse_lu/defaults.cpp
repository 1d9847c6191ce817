#include "numerics/sparse_lu/defaults.h"

void SluSetDefaults(double* CNTL, std::int64_t* ICNTL) {
  CNTL[0] = 0.5;  // density switch to full processing
  CNTL[1] = 0.1;  // pivot threshold
  CNTL[2] = 0.0;  // drop tolerance
  CNTL[3] = 0.0;  // pivot tolerance
  CNTL[4] = 0.5;  // refinement convergence factor
  ICNTL[0] = 6;   // error unit
  ICNTL[1] = 6;   // warning unit
  ICNTL[2] = 2;   // errors and warnings
  ICNTL[3] = 3;   // columns searched for a pivot
  ICNTL[4] = 32;  // block size of the full-matrix code
  ICNTL[5] = 1;   // minimum block order
  ICNTL[6] = 1;   // structural singularity is an error
  ICNTL[7] = 0;   // no changeable columns
  ICNTL[8] = 10;  // refinement passes
}

void SluKernelSetDefaults(double* CNTL, std::int64_t* ICNTL) {
  CNTL[0] = 0.5;
  CNTL[1] = 0.1;
  CNTL[2] = 0.0;
  CNTL[3] = 0.0;
  ICNTL[0] = 6;
  ICNTL[1] = 6;
  ICNTL[2] = 1;  // errors only
  ICNTL[3] = 3;
  ICNTL[4] = 32;
  ICNTL[5] = 0;  // no columns kept last
  ICNTL[6] = 0;  // general threshold pivoting
}
