#include "framework/libraries/library_failure.h"

namespace libraries {
namespace {
thread_local Status g_failure = 0;
}  // namespace

void NoteLibraryFailure(Status status) {
  if (status::IsFailure(status)) g_failure = status;
}

Status TakeLibraryFailure() {
  const Status s = g_failure;
  g_failure = 0;
  return s;
}
}  // namespace libraries
