// Where the messages actions send to the client go. Monitors and the
// synchronisation action send with the action manager as client and
// themselves as context; an action that goes away while its message waits
// for a reply cancels the request, so that no reply reaches a freed action.
// The default sends through the controller; tests put a recorder here.
// Server thread only.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseClientCB;
class DseMessage;

class SimActionSender {
 public:
  // Sends the message (taken, whatever the outcome). With a client, *id
  // (may be null) gets the id the request stays pending under, else 0.
  virtual Status Send(DseMessage* message, DseClientCB* client, void* context,
                      std::uint32_t* id) = 0;
  // Forgets a pending request; its replies go nowhere.
  virtual void Cancel(std::uint32_t id) = 0;

 protected:
  ~SimActionSender() = default;
};

SimActionSender& ActionSender();
// Null restores the controller. Not owned.
void SetActionSender(SimActionSender* sender);
