// The failure a library last printed through QLN_Print on this thread: the
// compiled equation library tells a failed procedure call only so, and the
// engine takes its status from it instead of calling the procedure again.
// An object of its own, apart from the printer, which a program may bring.
#pragma once

#include "platform/status.h"

namespace libraries {
void NoteLibraryFailure(Status status);
// The failure noted since the last take, 0 when none; clears it.
Status TakeLibraryFailure();
}  // namespace libraries
