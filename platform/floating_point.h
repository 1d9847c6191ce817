// Control of the floating-point unit: which exceptions trap, and the two
// resets the engine uses after a floating-point fault.
#pragma once

namespace platform {

// Unmasks (on) or masks (off) the invalid-operation, divide-by-zero and
// overflow exceptions; the other exceptions keep their setting.
void SetFloatingPointTraps(bool on);

// The exceptions that trap now, as FE_* bits.
int EnabledFloatingPointTraps();

// Clears the sticky exception flags.
void ClearFloatingPointStatus();

// Back to the default environment: nothing traps, round to nearest.
void ResetFloatingPoint();

}  // namespace platform
