// The library's own default controls: SluSetDefaults for the driver arrays
// (CNTL of 5, ICNTL of 9) and SluKernelSetDefaults for the kernel arrays
// (CNTL of 4, ICNTL of 7). Each writes exactly its lengths. The engine does
// not call them: its sparse linear interface fills the driver arrays itself.
#pragma once

#include <cstdint>

void SluSetDefaults(double* CNTL, std::int64_t* ICNTL);
void SluKernelSetDefaults(double* CNTL, std::int64_t* ICNTL);
