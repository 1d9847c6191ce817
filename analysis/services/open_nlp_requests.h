// Request handling the Open NLP managers (optimisation, estimation) share.
#pragma once

#include <cstdint>

#include "framework/messaging/message.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"

class BvuBinaryStream;
class EstOpenNLPSolver;

namespace open_nlp {

// Reads one tagged option value (u16 tag, then a u32, a double or a text)
// from `message` and sets it on `solver`'s options. A bad tag, no solver or
// a refused value answer `failure`; a short message answers the read status.
Status SetSolverOption(EstOpenNLPSolver* solver, const char* name, BvuBinaryStream& message,
                       Status failure);

// Serves a request of subtype 12 through `handle(body, &reply)` and stamps the
// service type on whatever reply it made; other subtypes get the default
// server handling.
template <class Handle>
Status AnswerRequest(DseServerCB& server, std::uint32_t type, DseMessage* request,
                     DseMessage** reply, DseTemplate** kept, Handle&& handle) {
  if (request == nullptr || request->subtype != DseMessage::kRequest) {
    return server.DseServerCB::HandleRequest(type, request, reply, kept);
  }
  DseMessage* made = nullptr;
  const Status result = handle(*request, &made);
  if (made != nullptr) {
    made->type = type;
    *reply = made;
  }
  return result;
}

}  // namespace open_nlp
