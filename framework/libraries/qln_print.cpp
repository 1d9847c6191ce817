// The printer that generated procedures call back into, under the name and
// signature their templates declare. Arguments are passed by address, as
// SuPrint takes them. Kept in an object of its own so that a program which
// brings its own QLN_Print links without a clash.
#include <cstdarg>

#include "foundation/messages/su_print.h"
#include "framework/libraries/library_failure.h"

extern "C" __attribute__((visibility("default"))) void QLN_Print(int status, char* _Zform, ...) {
  libraries::NoteLibraryFailure(static_cast<Status>(status));
  if (_Zform == nullptr) return;
  va_list args;
  va_start(args, _Zform);
  SuPrintV(static_cast<Status>(status), _Zform, args);
  va_end(args);
}
