#include "control/engine/end_request.h"

#include <chrono>

#include "control/problem/problem_manager.h"
#include "framework/messaging/message.h"
#include "framework/servers/controller.h"
#include "framework/servers/sending.h"

namespace {

constexpr std::uint32_t kEndCommand = 2;
constexpr auto kReadEvery = std::chrono::milliseconds(50);

// A command's number is the first word of its body; the body is read again
// from the start afterwards.
bool IsEndCommand(DseMessage& m) {
  if (m.type != SimProblemMgr::kProblemService || m.subtype != DseMessage::kCommand) return false;
  std::uint8_t* start = m.Tell();
  std::uint32_t number = 0;
  const Status read = m.GetUInt32(&number);
  m.RereadFrom(start);
  return status::IsSuccess(read) && number == kEndCommand;
}

}  // namespace

bool EngineEndRequested() {
  // Only the thread that polls may read.
  if (!DseOnControllerThread()) return false;
  auto* controller = dynamic_cast<DseController*>(DseCurrentController());
  if (controller == nullptr) return false;
  // The answer stands for a while; what ended the work stays queued.
  thread_local std::chrono::steady_clock::time_point last{};
  thread_local bool asked = false;
  const auto now = std::chrono::steady_clock::now();
  if (now - last < kReadEvery) return asked;
  last = now;
  asked = controller->EndRequested(IsEndCommand);
  return asked;
}
