// Serial N_Vector operations compiled with our own flags. Debian's SUNDIALS
// is built without optimisation, so its serial kernels (linear sums, norms,
// weights) run several times slower than the same loops optimised. These
// keep the stock arithmetic and special cases operation for operation, so
// results do not change by a bit; fused and vector-array operations stay
// off, as in the stock build.
#pragma once

#include <nvector/nvector_serial.h>

namespace vantor_nvector {

// Installs the optimised operations in a serial vector's table. Clones copy
// the table, so a vector handed to IDAInit passes them on to every vector
// the integrator makes from it. Returns false for a vector that is not
// serial (its table is left alone).
bool UseFastSerialOps(N_Vector v);

}  // namespace vantor_nvector
