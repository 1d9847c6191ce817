#include "platform/exit_code.h"

#include <poll.h>

#include <cstdio>
#include <cstdlib>

#include "platform/stream_relay.h"

namespace platform {
namespace {

// Standard error is not relayed: a reader that takes nothing holds the
// line back at most half a second, never the end itself.
void SayExitStatus(Status final_status) {
  pollfd ready{2, POLLOUT, 0};
  if (::poll(&ready, 1, 500) == 1 && (ready.revents & POLLOUT) != 0)
    std::fprintf(stderr, "vantor: exit status 0x%08X\n", final_status);
}

}  // namespace

int ExitCodeOf(Status final_status) {
  if (status::IsSuccess(final_status)) return 0;
  const int low = static_cast<int>(final_status & 0xFFu);
  return low != 0 ? low : 1;
}

void ExitWithStatus(Status final_status, bool say_failure) {
  std::fflush(stderr);
  if (say_failure && status::IsFailure(final_status)) SayExitStatus(final_status);
  std::fflush(stdout);
  std::exit(ExitCodeOf(final_status));
}

void AbandonWithStatus(Status final_status) {
  std::fflush(stderr);
  if (status::IsFailure(final_status)) SayExitStatus(final_status);
  std::fflush(stdout);
  SettleRelayedStreams();
  std::_Exit(ExitCodeOf(final_status));
}

}  // namespace platform
