#include "platform/exit_code.h"

#include <cstdio>
#include <cstdlib>

#include "platform/standard_error.h"
#include "platform/stream_relay.h"

namespace platform {
namespace {

// A reader that takes nothing holds the line back for a bound, never the
// end itself.
void SayExitStatus(Status final_status) {
  char line[64];
  std::snprintf(line, sizeof line, "vantor: exit status 0x%08X\n", final_status);
  SayOnStandardError(line);
}

}  // namespace

int ExitCodeOf(Status final_status) {
  if (status::IsSuccess(final_status)) return 0;
  const int low = static_cast<int>(final_status & 0xFFu);
  return low != 0 ? low : 1;
}

void ExitWithStatus(Status final_status, bool say_failure) {
  FlushStandardErrorIfFree();
  if (say_failure && status::IsFailure(final_status)) SayExitStatus(final_status);
  std::fflush(stdout);
  std::exit(ExitCodeOf(final_status));
}

void AbandonWithStatus(Status final_status) {
  FlushStandardErrorIfFree();
  if (status::IsFailure(final_status)) SayExitStatus(final_status);
  std::fflush(stdout);
  SettleRelayedStreams();
  std::_Exit(ExitCodeOf(final_status));
}

}  // namespace platform
