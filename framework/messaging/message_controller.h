// What the process-wide sending entry points need of the one message
// controller of the process. The controller implements it and publishes
// itself with DseSetCurrentController; the entry points reach it through
// DseCurrentController. It belongs to the server thread.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseClientCB;
class DseMessage;
class DseSentMark;

class DseMessageController {
 public:
  // Prepares, packs and routes the message. With a client, a successful send
  // leaves the request pending under its id (readable from the message at
  // once) until its replies complete or it is cancelled; otherwise the
  // message is the controller's from now on.
  virtual Status Send(DseMessage* message, std::uint32_t options, DseClientCB* client,
                      void* context, const double* interval, std::int32_t timeout_ms) = 0;
  // One polling round: reads the peers and dispatches what arrived.
  virtual Status Poll() = 0;
  // Forgets a pending request (telling its server when a peer serves it):
  // 0, or 21 when no request with this id is pending.
  virtual Status CancelRequest(std::uint32_t id) = 0;
  // Sends count events of this code, event i with values[i] and its
  // line_counts[i] lines; the status of the last send (0 for no event).
  // A mark, when given, is set on the last event.
  virtual Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                            const std::uint32_t* line_counts, const char* const* const* lines,
                            DseSentMark* mark) = 0;
  // Whether output queued for a peer still waits for room on its
  // connection: what is sent now goes out behind it.
  virtual bool OutputWaiting() = 0;

 protected:
  ~DseMessageController() = default;
};

// The controller of this process, or null.
DseMessageController* DseCurrentController();
// Publishes (or, with null, withdraws) the controller. The calling thread
// becomes the one thread allowed to send and poll.
void DseSetCurrentController(DseMessageController* controller);
