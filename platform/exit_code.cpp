#include "platform/exit_code.h"

#include <cstdio>
#include <cstdlib>

#include "platform/stream_relay.h"

namespace platform {

int ExitCodeOf(Status final_status) {
  if (status::IsSuccess(final_status)) return 0;
  const int low = static_cast<int>(final_status & 0xFFu);
  return low != 0 ? low : 1;
}

void ExitWithStatus(Status final_status, bool say_failure) {
  if (say_failure && status::IsFailure(final_status)) {
    std::fprintf(stderr, "vantor: exit status 0x%08X\n", final_status);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::exit(ExitCodeOf(final_status));
}

void AbandonWithStatus(Status final_status) {
  if (status::IsFailure(final_status)) {
    std::fprintf(stderr, "vantor: exit status 0x%08X\n", final_status);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  SettleRelayedStreams();
  std::_Exit(ExitCodeOf(final_status));
}

}  // namespace platform
